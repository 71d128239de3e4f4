#include "driver/effects/speaker_panner.h"

#include "driver/effects/fast_math.h"
#include "dsp/dispatch/primitives.h"

#include <cmath>
#include <cstring>

namespace
{
// Slot order FL, FR, BL, BR, FC, SL, SR; the azimuth of each speaker in degrees.
constexpr float kSpeakerAzimuth[SpeakerPanner::SOURCES] = {-30.0f, 30.0f,   -150.0f, 150.0f,
                                                           0.0f,   -100.0f, 100.0f};
// WAVE channel of each slot (FL, FR, BL, BR, FC, SL, SR, LFE).
constexpr int32_t kSlotChannel[SpeakerPanner::SLOTS] = {0, 1, 4, 5, 2, 6, 7, 3};
constexpr float kSilent = 1e-12f; // a gain of exactly 0 would let denormals in
constexpr float kEpsilon = 1.1920929e-7f;
constexpr float kReferenceDistance = 30.0f;

// Into [0, 360).
float Modulo360(float x)
{
    if (x < 0.0f)
        x += 360.0f;
    if (x >= 360.0f)
        x -= 360.0f;
    return x;
}

// The slot whose angle, taken as `a - speaker` (or `speaker - a` when !forward) modulo 360, is
// smallest; a later slot wins only when strictly smaller.
int32_t Nearest(const float *speakers, float a, bool forward)
{
    int32_t best = 0;
    float bestAngle = 1e30f;
    for (int32_t k = 0; k < SpeakerPanner::SOURCES; ++k)
    {
        const float angle = Modulo360(forward ? a - speakers[k] : speakers[k] - a);
        if (angle < bestAngle)
        {
            bestAngle = angle;
            best = k;
        }
    }
    return best;
}

float DistanceGain(float distance)
{
    if (!(distance > 0.0f) || std::isinf(distance))
        return SpeakerPanner::MAX_DISTANCE_GAIN;
    const float ratio = kReferenceDistance / distance;
    const float g = ratio * ratio;
    return g < SpeakerPanner::MAX_DISTANCE_GAIN ? g : SpeakerPanner::MAX_DISTANCE_GAIN;
}
} // namespace

SpeakerPanner::SpeakerPanner()
{
    std::memcpy(m_Speakers, kSpeakerAzimuth, sizeof(m_Speakers));
    std::memcpy(m_SpeakersCopy, kSpeakerAzimuth, sizeof(m_SpeakersCopy));
    for (int32_t s = 0; s < SOURCES; ++s)
    {
        m_Source[s].azimuth = kSpeakerAzimuth[s];
        m_Source[s].now = {s, s, 1.0f, kSilent};
        m_Source[s].before = m_Source[s].now;
    }
}

SpeakerPanner::~SpeakerPanner()
{
    Free();
}

void SpeakerPanner::Free()
{
    for (float *&w : m_Work)
    {
        dsp::freeAligned(w);
        w = nullptr;
    }
}

bool SpeakerPanner::Allocate()
{
    if (IsAllocated())
        return true;
    for (float *&w : m_Work)
    {
        w = dsp::allocF32(BLOCK);
        if (!w)
        {
            Free();
            return false;
        }
    }
    return true;
}

bool SpeakerPanner::SetSource(int32_t index, float distance, float azimuth)
{
    if (index < 0 || index >= SLOTS || (index != LFE && !std::isfinite(azimuth)))
        return false;
    m_PrevLfeGain = m_LfeGain;
    const float g = DistanceGain(distance);
    Source &s = m_Source[index];
    s.distance = distance;
    s.azimuth = azimuth;
    if (index == LFE)
    {
        m_LfeGain = g;
        m_Dirty = true;
        return true;
    }
    const float a = WrapAzimuth(azimuth);
    Routing r;
    r.first = Nearest(m_Speakers, a, true);
    r.second = Nearest(m_Speakers, a, false);
    const float e = Modulo360(a - m_Speakers[r.first]);
    const float f = Modulo360(m_Speakers[r.second] + e - a);
    if (f <= kEpsilon)
    {
        r.firstGain = 1.0f;
        r.secondGain = kSilent;
    }
    else
    {
        const float ratio = e / f;
        r.firstGain = FastSqrt(1.0f - ratio);
        r.secondGain = FastSqrt(ratio);
    }
    r.firstGain *= g;
    r.secondGain *= g;
    if (r.firstGain == 0.0f)
        r.firstGain = kSilent;
    if (r.secondGain == 0.0f)
        r.secondGain = kSilent;
    s.now = r;
    m_Dirty = true;
    return true;
}

bool SpeakerPanner::GetSource(int32_t index, float *distance, float *azimuth) const
{
    if (index < 0 || index >= SLOTS || !distance || !azimuth)
        return false;
    *distance = m_Source[index].distance;
    *azimuth = m_Source[index].azimuth;
    return true;
}

void SpeakerPanner::Accumulate(const Routing &r, const float *in, int32_t count, Fade fade)
{
    float *first = m_Work[SLOTS + r.first];
    float *second = m_Work[SLOTS + r.second];
    const float *up = m_Work[RAMP];
    for (int32_t n = 0; n < count; ++n)
    {
        const float w = fade == Fade::None ? 1.0f : fade == Fade::In ? up[n] : 1.0f - up[n];
        first[n] += in[n] * r.firstGain * w;
        second[n] += in[n] * r.secondGain * w;
    }
}

void SpeakerPanner::Process(const float *const *in, float *const *out, int32_t count)
{
    if (!IsAllocated() || !in || !out || count <= 0 || count > BLOCK)
        return;
    for (int32_t k = 0; k < SLOTS; ++k)
        if (!in[k] || !out[k])
            return;
    for (int32_t k = 0; k < SOURCES; ++k)
        std::memset(m_Work[SLOTS + k], 0, BLOCK * sizeof(float));
    // Every input is read before any output is written, so in and out may share blocks; the LFE
    // is scaled element by element in place. The ramp lives in the spare block, not on the stack.
    if (!m_Dirty)
    {
        for (int32_t s = 0; s < SOURCES; ++s)
            Accumulate(m_Source[s].now, in[s], count, Fade::None);
        for (int32_t n = 0; n < count; ++n)
            out[LFE][n] = in[LFE][n] * m_LfeGain;
    }
    else
    {
        // One block crossfades the old routing out and the new one in.
        float *up = m_Work[RAMP];
        for (int32_t n = 0; n < count; ++n)
            up[n] = float(n) / float(count);
        for (int32_t s = 0; s < SOURCES; ++s)
        {
            Accumulate(m_Source[s].before, in[s], count, Fade::Out);
            Accumulate(m_Source[s].now, in[s], count, Fade::In);
        }
        for (int32_t n = 0; n < count; ++n)
            out[LFE][n] = in[LFE][n] * m_PrevLfeGain * (1.0f - up[n]) + in[LFE][n] * m_LfeGain * up[n];
        for (int32_t s = 0; s < SOURCES; ++s)
            m_Source[s].before = m_Source[s].now;
        m_PrevLfeGain = m_LfeGain;
        m_Dirty = false;
    }
    for (int32_t k = 0; k < SOURCES; ++k)
        std::memcpy(out[k], m_Work[SLOTS + k], count * sizeof(float));
    for (int32_t k = 0; k < SLOTS; ++k)
        out[k][0] += kSilent;
}

void SpeakerPanner::PanChannels(const float *const *in, float *const *out, int32_t count)
{
    if (!IsAllocated() || !in || !out || count <= 0)
        return;
    for (int32_t k = 0; k < SLOTS; ++k)
        if (!in[k] || !out[k])
            return;
    for (int32_t done = 0; done < count; done += BLOCK)
    {
        const int32_t piece = count - done < BLOCK ? count - done : BLOCK;
        for (int32_t k = 0; k < SLOTS; ++k)
            std::memcpy(m_Work[k], in[kSlotChannel[k]] + done, piece * sizeof(float));
        Process(m_Work, m_Work, piece);
        for (int32_t k = 0; k < SLOTS; ++k)
            std::memcpy(out[kSlotChannel[k]] + done, m_Work[k], piece * sizeof(float));
    }
}
