#include "driver/effects/format_channels.h"

namespace
{
constexpr float kCentre = 0.707f;
constexpr float kFill = 1e-12f; // keeps new channels out of denormals
constexpr int32_t kMaxChannels = 8;

enum Channel
{
    FL,
    FR,
    FC,
    LFE,
    BL,
    BR,
    SL,
    SR
};

struct Weights
{
    float d, e;
};

void Fill(float *const *ch, int32_t from, int32_t to, int32_t samples)
{
    for (int32_t c = from; c < to; ++c)
        for (int32_t n = 0; n < samples; ++n)
            ch[c][n] = kFill;
}

void Copy(float *dst, const float *src, int32_t samples)
{
    for (int32_t n = 0; n < samples; ++n)
        dst[n] = src[n];
}

// The fronts of the 8 -> 4 and 6 -> 4 rows: centre and LFE folded into both.
void FoldCentreIntoFronts(float *const *ch, int32_t n)
{
    const float c = kCentre * (ch[LFE][n] + ch[FC][n]);
    ch[FL][n] = c + ch[FL][n];
    ch[FR][n] = c + ch[FR][n];
}

bool FoldDown(float *const *ch, int32_t in, int32_t out, int32_t samples, bool plain)
{
    const Weights w = plain ? Weights{1.0f, 0.0f} : Weights{0.871f, 0.49f};
    const float hd = w.d / 2, he = w.e / 2;
    const int32_t pair = in * 10 + out;
    switch (pair)
    {
    case 86:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float bl = ch[BL][n], br = ch[BR][n], sl = ch[SL][n], sr = ch[SR][n];
            ch[BL][n] = plain ? bl + sl : w.d * bl + sl + w.e * br;
            ch[BR][n] = plain ? br + sr : sr + w.e * bl + w.d * br;
        }
        return true;
    case 84:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float bl = ch[BL][n], br = ch[BR][n], sl = ch[SL][n], sr = ch[SR][n];
            FoldCentreIntoFronts(ch, n);
            ch[FC][n] = plain ? bl + sl : w.d * bl + sl + w.e * br;
            ch[LFE][n] = plain ? br + sr : w.e * bl + sr + w.d * br;
        }
        return true;
    case 64:
        for (int32_t n = 0; n < samples; ++n)
            FoldCentreIntoFronts(ch, n);
        Copy(ch[2], ch[BL], samples);
        Copy(ch[3], ch[BR], samples);
        return true;
    case 82:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], c = ch[FC][n], lfe = ch[LFE][n];
            const float bl = ch[BL][n], br = ch[BR][n], sl = ch[SL][n], sr = ch[SR][n];
            ch[FL][n] = plain ? kCentre * c + lfe + bl + sl + l
                              : kCentre * (c + lfe) - hd * (bl + sl) - he * (br + sr) + l;
            ch[FR][n] = kCentre * c + lfe + br + sr + ch[FR][n];
        }
        return true;
    case 62:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], c = ch[FC][n], lfe = ch[LFE][n], bl = ch[BL][n], br = ch[BR][n];
            ch[FL][n] = plain ? kCentre * c + lfe + bl + l : kCentre * (c + lfe) - w.d * bl - w.e * br + l;
            ch[FR][n] = kCentre * c + lfe + br + ch[FR][n];
        }
        return true;
    case 42:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], r = ch[FR][n], a = ch[2][n], b = ch[3][n];
            // Plain mode adds the rear left: subtracting it would invert it and cancel equal
            // front and rear content.
            ch[FL][n] = plain ? l + a : l - (w.d * a + w.e * b);
            ch[FR][n] = plain ? r + b : w.e * a + w.d * b + r;
        }
        return true;
    case 81:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], r = ch[FR][n], c = ch[FC][n], lfe = ch[LFE][n];
            const float bl = ch[BL][n], br = ch[BR][n], sl = ch[SL][n], sr = ch[SR][n];
            const float centre = kCentre * (c + lfe);
            const float rear = hd * (bl + sl) + he * (br + sr);
            const float left = plain ? centre + rear + l : centre - rear + l;
            const float right = he * (bl + sl) + kCentre * (c + lfe) + hd * (br + sr) + r;
            ch[FR][n] = right;
            ch[FL][n] = (right + left) * 0.5f;
        }
        return true;
    case 61:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], r = ch[FR][n], c = ch[FC][n], lfe = ch[LFE][n];
            const float bl = ch[BL][n], br = ch[BR][n];
            const float centre = kCentre * (c + lfe);
            const float rear = w.d * bl + w.e * br;
            const float left = plain ? centre + rear + l : centre - rear + l;
            const float right = kCentre * (c + lfe) + w.e * bl + w.d * br + r;
            ch[FR][n] = right;
            ch[FL][n] = (right + left) * 0.5f;
        }
        return true;
    case 41:
        for (int32_t n = 0; n < samples; ++n)
        {
            const float l = ch[FL][n], r = ch[FR][n], a = ch[2][n], b = ch[3][n];
            const float right = w.e * a + w.d * b + r;
            const float left = plain ? l + a : l - (w.e * b + w.d * a);
            ch[FR][n] = right;
            ch[FL][n] = (right + left) * 0.5f;
        }
        return true;
    case 21:
        for (int32_t n = 0; n < samples; ++n)
            ch[FL][n] = (ch[FR][n] + ch[FL][n]) * 0.5f;
        return true;
    default:
        return false;
    }
}

bool UpMix(float *const *ch, int32_t in, int32_t out, int32_t samples)
{
    switch (in)
    {
    case 1:
        // The right channel would otherwise keep stale data from an earlier block.
        Copy(ch[FR], ch[FL], samples);
        Fill(ch, 2, out, samples);
        return true;
    case 2:
        Fill(ch, 2, out, samples);
        return true;
    case 4:
        if (out < 6)
            return false; // no BL/BR to move the rear pair to
        Copy(ch[BL], ch[2], samples);
        Copy(ch[BR], ch[3], samples);
        Fill(ch, FC, BL, samples);
        Fill(ch, 6, out, samples);
        return true;
    case 6:
        Fill(ch, 6, out, samples);
        return true;
    default:
        return false;
    }
}
} // namespace

bool FormatChannels(float *const *channels, int32_t inCount, int32_t outCount, int32_t samples, int32_t plain)
{
    if (!channels || inCount == outCount || samples <= 0 || inCount < 1 || outCount < 1 ||
        inCount > kMaxChannels || outCount > kMaxChannels)
        return false;
    const int32_t used = inCount > outCount ? inCount : outCount;
    for (int32_t c = 0; c < used; ++c)
        if (!channels[c])
            return false;
    return inCount > outCount ? FoldDown(channels, inCount, outCount, samples, plain != 0)
                              : UpMix(channels, inCount, outCount, samples);
}
