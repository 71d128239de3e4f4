// The multi-rate run: the three forms that walk the tables of fir_multirate.cpp.
//
// A call appends its input behind the history in the delay area (all of it in the short form,
// the first T samples in the long form, whose later windows read the source block directly),
// computes its outputs and keeps the last H inputs as the next call's history. Outputs go in
// groups of four (four accumulators); whatever does not fill a whole period (modes 1 and 3) or
// group (mode 2) is computed one output at a time with the same positions and tap columns.
#include <algorithm>

#include "dsp/core/vector.h"
#include "dsp/filters/fir_multirate.h"

namespace dsp::generic
{
namespace
{

struct Record
{
    int64_t mode, U, D, H, T, K, W1;
    const int32_t *index;
    const float *taps;
    float *delay;
};

// joined[P] is base[P - shift]: the delay area (shift 0) or, past the head of a long block,
// the source (shift H).
struct Samples
{
    const float *base;
    int64_t shift;
    const float *at(int64_t p) const { return base + (p - shift); }
};

// Four outputs: output m adds w[m][i] * q[4 i + m] for i < n, oldest sample first.
void group4(const float *const w[4], const float *q, int64_t n, float *out)
{
    double a0 = +0.0, a1 = +0.0, a2 = +0.0, a3 = +0.0;
    for (int64_t i = 0; i < n; ++i)
    {
        const float *t = q + 4 * i;
        a0 += double(w[0][i]) * double(t[0]);
        a1 += double(w[1][i]) * double(t[1]);
        a2 += double(w[2][i]) * double(t[2]);
        a3 += double(w[3][i]) * double(t[3]);
    }
    out[0] = float(a0);
    out[1] = float(a1);
    out[2] = float(a2);
    out[3] = float(a3);
}

// One output from the window at pos: joined[pos + i] * q[4 i] for i < n (n <= 0: +0.0).
float single(Samples in, int64_t pos, const float *q, int64_t n)
{
    double a = +0.0;
    if (n <= 0)
        return float(a);
    const float *w = in.at(pos);
    for (int64_t i = 0; i < n; ++i)
        a += double(w[i]) * double(q[4 * i]);
    return float(a);
}

// ---- Mode 1: four outputs of a group share one window of W1 samples ---------------------------

void sharedPeriods(const Record &r, Samples in, int64_t p0, int64_t p1, float *dst)
{
    for (int64_t p = p0; p < p1; ++p)
    {
        int64_t pos = 4 * r.D * p;
        for (int64_t t = 0; t < r.U; ++t)
        {
            pos += r.index[t];
            const float *w = in.at(pos);
            const float *const windows[4] = {w, w, w, w};
            group4(windows, r.taps + 4 * t * r.W1, r.W1, dst + 4 * (p * r.U + t));
        }
    }
}

// Outputs first..last-1 (first at a period boundary), windows cut at position limit.
void sharedTail(const Record &r, Samples in, int64_t first, int64_t last, int64_t limit, float *dst)
{
    int64_t pos = 4 * r.D * (first / (4 * r.U));
    for (int64_t o = first; o < last;)
    {
        for (int64_t t = 0; t < r.U && o < last; ++t)
        {
            pos += r.index[t];
            const int64_t n = std::min(r.W1, limit - pos);
            for (int64_t m = 0; m < 4 && o < last; ++m, ++o)
                dst[o] = single(in, pos, r.taps + 4 * t * r.W1 + m, n);
        }
        pos += r.index[r.U];
    }
}

// ---- Mode 2: one tap set, window starts a constant step apart ---------------------------------

void decimateGroups(const Record &r, Samples in, int64_t first, int64_t last, float *dst)
{
    const int64_t step = r.index[1] - r.index[0];
    for (int64_t o = first; o < last; o += 4)
    {
        const int64_t pos = r.index[0] + o * step;
        const float *const windows[4] = {in.at(pos), in.at(pos + step), in.at(pos + 2 * step),
                                         in.at(pos + 3 * step)};
        float out[4];
        // Lanes are equal in every row; lane 0 serves all four outputs.
        double a[4] = {+0.0, +0.0, +0.0, +0.0};
        for (int64_t i = 0; i < r.H; ++i)
        {
            const double tap = r.taps[4 * i];
            for (int m = 0; m < 4; ++m)
                a[m] += double(windows[m][i]) * tap;
        }
        for (int m = 0; m < 4; ++m)
            out[m] = float(a[m]);
        std::copy(out, out + 4, dst + o);
    }
}

void decimateTail(const Record &r, Samples in, int64_t first, int64_t last, float *dst)
{
    const int64_t step = r.index[1] - r.index[0];
    for (int64_t o = first; o < last; ++o)
        dst[o] = single(in, r.index[0] + o * step, r.taps, r.H);
}

// ---- Mode 3: a window of H samples and a tap column per output --------------------------------

void polyphasePeriods(const Record &r, Samples in, int64_t p0, int64_t p1, float *dst)
{
    const int64_t advance = r.index[4 * r.U];
    for (int64_t p = p0; p < p1; ++p)
    {
        const int64_t base = p * advance;
        for (int64_t t = 0; t < r.U; ++t)
        {
            const int32_t *e = r.index + 4 * t;
            const float *const windows[4] = {in.at(base + e[0]), in.at(base + e[1]), in.at(base + e[2]),
                                             in.at(base + e[3])};
            group4(windows, r.taps + 4 * t * r.H, r.H, dst + 4 * (p * r.U + t));
        }
    }
}

void polyphaseTail(const Record &r, Samples in, int64_t first, int64_t last, int64_t limit, float *dst)
{
    const int64_t advance = r.index[4 * r.U];
    for (int64_t o = first; o < last; ++o)
    {
        const int64_t p = o / (4 * r.U);
        const int64_t t = o % (4 * r.U) / 4;
        const int64_t m = o % 4;
        const int64_t pos = p * advance + r.index[4 * t + m];
        dst[o] = single(in, pos, r.taps + 4 * t * r.H + m, std::min(r.H, limit - pos));
    }
}

// The three forms: grouped outputs [first, last) (whole periods or groups), then one at a time
// [last, end).
void mrFirSharedWindow(const Record &r, Samples in, int64_t first, int64_t last, int64_t end, int64_t limit,
                       float *dst)
{
    const int64_t period = 4 * r.U;
    sharedPeriods(r, in, first / period, last / period, dst);
    sharedTail(r, in, last, end, limit, dst);
}

void mrFirDecimate(const Record &r, Samples in, int64_t first, int64_t last, int64_t end, float *dst)
{
    decimateGroups(r, in, first, last, dst);
    decimateTail(r, in, last, end, dst);
}

void mrFirPolyphase(const Record &r, Samples in, int64_t first, int64_t last, int64_t end, int64_t limit,
                    float *dst)
{
    const int64_t period = 4 * r.U;
    polyphasePeriods(r, in, first / period, last / period, dst);
    polyphaseTail(r, in, last, end, limit, dst);
}

void compute(const Record &r, Samples in, int64_t first, int64_t last, int64_t end, int64_t limit, float *dst)
{
    switch (r.mode)
    {
    case 1:
        mrFirSharedWindow(r, in, first, last, end, limit, dst);
        break;
    case 2:
        mrFirDecimate(r, in, first, last, end, dst);
        break;
    default:
        mrFirPolyphase(r, in, first, last, end, limit, dst);
        break;
    }
}

// One call of `cycles` cycles, src and dst not overlapping unless the block takes the short
// form (which has read all of its input before it writes).
void runCycles(const Record &r, const float *src, float *dst, int64_t cycles)
{
    const int64_t nIn = cycles * r.D;
    const int64_t nOut = cycles * r.U;
    const int64_t unit = r.mode == 2 ? 4 : 4 * r.U; // outputs per group or period
    const int64_t limit = r.H + nIn;                // first joined position past the data
    const Samples joined{r.delay, 0};
    const bool shortForm = r.mode == 2 ? nIn < r.T : nIn <= r.T;
    if (shortForm)
    {
        copyF32(src, r.delay + r.H, int32_t(nIn));
        // The last windows of a short block may reach one slot past its data, where every tap
        // is 0.0; a stale inf or NaN left there by older input would still make the sum NaN.
        if (r.mode != 2)
            r.delay[limit] = +0.0f;
        compute(r, joined, 0, nOut / unit * unit, nOut, limit, dst);
        copyF32Bytewise(r.delay + nIn, r.delay, int32_t(r.H));
        return;
    }
    copyF32(src, r.delay + r.H, int32_t(r.T));
    compute(r, joined, 0, r.K, r.K, limit, dst);
    copyF32(src + (nIn - r.H), r.delay, int32_t(r.H));
    // The last whole unit goes to the one-at-a-time part, whose windows stop at the end of the
    // source; the grouped ones never reach past it.
    const int64_t units = (nOut - r.K) / unit;
    const int64_t grouped = r.K + std::max<int64_t>(units - 1, 0) * unit;
    compute(r, Samples{src, r.H}, r.K, grouped, nOut, limit, dst);
}

} // namespace

Status firFilterBlockMultirate(const float *src, float *dst, int32_t length, FirState *state)
{
    const int64_t U = state->upFactor;
    const int64_t D = state->downFactor;
    if (U < 1 || D < 1 || state->mode < 1 || state->mode > 3 || state->history < 1)
        return kErrBadTag; // not a record this library built
    const int64_t nIn = int64_t(length) * D;
    const int64_t nOut = int64_t(length) * U;
    if (nIn > INT32_MAX || nOut > INT32_MAX)
        return kErrBadLength;
    const uintptr_t s0 = reinterpret_cast<uintptr_t>(src);
    const uintptr_t d0 = reinterpret_cast<uintptr_t>(dst);
    const bool inPlace = s0 == d0;
    const bool overlap = s0 < d0 + uintptr_t(nOut) * 4 && d0 < s0 + uintptr_t(nIn) * 4;
    // In place works only while outputs stay behind the inputs still to be read (U <= D).
    if (inPlace ? U > D : overlap)
        return kErrNullPointer;

    const Record r{state->mode,
                   U,
                   D,
                   state->history,
                   state->blockLimit,
                   state->headOutputs,
                   state->windowLength,
                   firArea<int32_t>(state, state->indexTable),
                   firArea<float>(state, state->tapTable),
                   firArea<float>(state, state->delay)};
    if (!inPlace)
    {
        runCycles(r, src, dst, length);
        return kOk;
    }
    // In place: consecutive short-form calls of whole cycles.
    const int64_t chunk = r.mode == 2 ? (r.T - 1) / D : r.T / D;
    for (int64_t done = 0; done < length;)
    {
        const int64_t cycles = std::min<int64_t>(chunk, length - done);
        runCycles(r, src + done * D, dst + done * U, cycles);
        done += cycles;
    }
    return kOk;
}

} // namespace dsp::generic
