// Multi-rate ("FI03") records: mode choice, sizes, layout and the tables the run walks.
//
// Positions. The joined sequence of a run is the H history samples followed by the call's input,
// so joined[n] is x[n - H]. Shifted up-sampled coordinates put the first tap of output m at
// m D + pd: joined[n] sits at (n - 1) U + ((L - 1) mod U) + pu. The phase walk (s, n) steps
// through the joined samples in that coordinate; "advance to u" finds the first one at or after u.
#include "dsp/filters/fir_multirate.h"

#include <algorithm>
#include <cstring>

#include "dsp/core/vector.h"

namespace dsp::generic
{
namespace
{

constexpr int64_t kHeaderBytes = sizeof(FirState);
constexpr int64_t kMinWorkspace = 16384;

int64_t ceilDiv(int64_t a, int64_t b)
{
    return (a + b - 1) / b;
}

struct PhaseWalk
{
    int64_t step; // U
    int64_t s;    // shifted position of joined[n]
    int64_t n;

    PhaseWalk(int64_t L, int64_t U, int64_t pu) : step(U), s((L - 1) % U + pu), n(1)
    {
        if (s >= U)
        {
            s -= U;
            n = 0;
        }
    }

    void advanceTo(int64_t u)
    {
        while (s < u)
        {
            s += step;
            ++n;
        }
    }

    // n of the first joined sample at or after u (the walk itself stays where it is).
    int64_t indexAt(int64_t u) const { return s < u ? n + ceilDiv(u - s, step) : n; }
};

// Mode 1: U groups of W1 quads; quad j of group t holds the taps of the group's four outputs
// for window sample j. Fills the index table with the window starts and advances.
void buildSharedWindow(const FirMultirateShape &sh, const float *rev, int64_t L, int64_t U, int64_t D,
                       int64_t pu, int64_t pd, float *tapTable, int32_t *index, float *work)
{
    const int64_t M = sh.span;
    const int64_t W1 = sh.window;
    // Row k holds the reversed taps shifted by kD: row_k[j] = r[j - kD], 0.0 outside.
    zeroF32(tapTable, int32_t(4 * M));
    for (int64_t k = 0; k < 4; ++k)
        copyF32(rev, tapTable + k * (M + D), int32_t(L));
    for (int64_t j = 0; j < M; ++j)
        for (int64_t k = 0; k < 4; ++k)
            work[4 * j + k] = tapTable[k * M + j];

    PhaseWalk walk(L, U, pu);
    int64_t first = 0, previous = 0;
    for (int64_t t = 0; t < U; ++t)
    {
        const int64_t u = pd + 4 * t * D;
        walk.advanceTo(u);
        const int64_t v = walk.s - u; // 0 <= v < U
        for (int64_t j = 0; j < W1; ++j)
            std::memcpy(tapTable + (t * W1 + j) * 4, work + (v + j * U) * 4, 16);
        if (t == 0)
            first = walk.n;
        index[t] = int32_t(t == 0 ? walk.n : walk.n - previous);
        previous = walk.n;
    }
    const int64_t end = walk.indexAt(pd + 4 * U * D);
    index[U] = int32_t(end - first - previous);
}

// Modes 2 and 3: per output of the first period the absolute window start (4U entries) and the
// per-period advance; U groups of H rows of four taps, 0.0 where an output has fewer than H.
void buildPolyphase(const FirMultirateShape &sh, const float *taps, int64_t L, int64_t U, int64_t D,
                    int64_t pu, int64_t pd, float *tapTable, int32_t *index, int32_t *work)
{
    const int64_t M = sh.span;
    const int64_t H = sh.history;
    int32_t *runs = work;         // P1: per output (t, k), its taps' indices into h
    int32_t *rows = work + 4 * M; // P2: row k, column j: index of r[j - kD] into h, or -1
    fillWords32(0xFFFFFFFFu, index, int32_t(4 * U));
    fillWords32(0xFFFFFFFFu, work, int32_t(8 * M));
    for (int64_t k = 0; k < 4; ++k)
        for (int64_t i = 0; i < L; ++i)
            rows[k * (M + D) + i] = int32_t(L - 1 - i);

    PhaseWalk walk(L, U, pu);
    walk.advanceTo(pd);
    const int64_t firstN = walk.n;
    for (int64_t t = 0; t < U; ++t)
    {
        const int64_t u = pd + 4 * t * D;
        walk.advanceTo(u);
        const int64_t w = walk.s - u;
        for (int64_t k = 0; k < 4; ++k)
        {
            int32_t *run = runs + k * U * H + t * H;
            int64_t count = 0;
            int64_t p = walk.n;
            for (int64_t v = w; v < M; v += U, ++p)
            {
                const int32_t tap = rows[k * M + v];
                if (tap < 0)
                    continue;
                run[count++] = tap;
                if (index[4 * t + k] < 0)
                    index[4 * t + k] = int32_t(p);
            }
        }
    }
    const int64_t end = walk.indexAt(pd + 4 * U * D);
    if (index[0] < 0)
        index[0] = int32_t(firstN);
    index[4 * U] = int32_t(end - index[0]);
    for (int64_t j = 1; j < 4 * U; ++j)
        if (index[j] < 0)
            index[j] = index[j - 1];

    // Lane-interleave the runs, then look the taps up.
    for (int64_t i = 0; i < U * H; ++i)
        for (int64_t k = 0; k < 4; ++k)
            rows[4 * i + k] = runs[k * U * H + i];
    zeroF32(tapTable, int32_t(4 * M));
    for (int64_t i = 0; i < 4 * U * H; ++i)
        if (rows[i] >= 0)
            std::memcpy(tapTable + i, taps + rows[i], sizeof(float));
}

} // namespace

Status firMultirateShape(int32_t tapCount, int32_t upFactor, int32_t downFactor, FirMultirateShape *shape)
{
    const int64_t L = tapCount, U = upFactor, D = downFactor;
    if (L + 3 * D > INT32_MAX)
        return kErrFirFactor;
    // The ratio L / (L + 3D) against 0.5 (U = 1) or the double 0.3 (U > 1), in exact integers;
    // the exact tie 7L = 9D goes to mode 3, the double-precision reading.
    int64_t mode;
    if (U == 1)
        mode = L > 3 * D ? 1 : 2;
    else
        mode = 7 * L > 9 * D ? 1 : 3;
    const int64_t H = ceilDiv(L, U);
    const int64_t M = ceilDiv(L + 3 * D, U) * U;
    const int64_t W1 = M / U;
    const int64_t b = mode == 1 ? W1 : H;
    int64_t T = (b / (4 * D) + 1) * (4 * D) + 1; // first multiple of 4D above b, plus 1
    int64_t K = U * ceilDiv(H, D);
    while (K % (4 * U) != 0)
    {
        K += U;
        T += D;
    }
    const int64_t tapsBytes = firTapsBytes(L);
    const int64_t tapTableBytes = 16 * M;
    const int64_t indexBytes = firRoundDown16((mode == 1 ? 4 * U : 16 * U) + 19);
    const int64_t delayBytes = firRoundDown16(4 * (H + T) + 19);
    const int64_t workBytes = mode == 1 ? 16 * M : 32 * M;
    const int64_t workReserved = std::max(workBytes, kMinWorkspace);
    const int64_t size =
        kHeaderBytes + 16 + tapsBytes + tapTableBytes + indexBytes + delayBytes + workReserved;
    if (size > INT32_MAX)
        return kErrFirFactor; // every other quantity is below the size
    *shape = FirMultirateShape{
        int32_t(mode),       int32_t(H),          int32_t(M),         int32_t(W1),
        int32_t(T),          int32_t(K),          int32_t(tapsBytes), int32_t(tapTableBytes),
        int32_t(indexBytes), int32_t(delayBytes), int32_t(workBytes), int32_t(workReserved),
        int32_t(size)};
    return kOk;
}

Status firMultirateGetStateSize(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t *size)
{
    if (!size)
        return kErrNullPointer;
    if (tapCount <= 0)
        return kErrFirLength;
    if (upFactor <= 0 || downFactor <= 0)
        return kErrFirFactor;
    if (upFactor == 1 && downFactor == 1)
        return firGetStateSize(tapCount, size);
    FirMultirateShape shape;
    if (Status s = firMultirateShape(tapCount, upFactor, downFactor, &shape))
        return s;
    *size = shape.size;
    return kOk;
}

Status firMultirateInit(FirState **state, const float *taps, int32_t tapCount, int32_t upFactor,
                        int32_t upPhase, int32_t downFactor, int32_t downPhase, const float *delayLine,
                        void *buffer)
{
    if (!state || !taps || !buffer)
        return kErrNullPointer;
    if (tapCount <= 0)
        return kErrFirLength;
    if (upFactor <= 0 || downFactor <= 0)
        return kErrFirFactor;
    const bool singleRate = upFactor == 1 && downFactor == 1;
    FirMultirateShape sh{};
    if (!singleRate)
        if (Status s = firMultirateShape(tapCount, upFactor, downFactor, &sh))
            return s;
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor)
        return kErrFirPhase;
    if (singleRate)
        return firInit(state, taps, tapCount, delayLine, buffer);

    FirState *rec = firRecordAt(buffer);
    const int32_t revOffset = int32_t(kHeaderBytes);
    const int32_t tapTableOffset = revOffset + sh.tapsBytes;
    const int32_t indexOffset = tapTableOffset + sh.tapTableBytes;
    const int32_t delayOffset = indexOffset + sh.indexBytes;
    const int32_t workOffset = delayOffset + sh.delayBytes;

    rec->tag = kFirTagMultirate;
    rec->revTaps = revOffset;
    rec->delay = delayOffset;
    rec->tapCount = tapCount;
    rec->upFactor = upFactor;
    rec->blockLimit = sh.threshold;
    rec->downFactor = downFactor;
    rec->headOutputs = sh.headOutputs;
    rec->fftSpec = 0;
    rec->tapSpectrum = 0;
    rec->fftLength = -1;
    rec->delayOffset = 0;
    rec->indexTable = indexOffset;
    rec->tapTable = tapTableOffset;
    if (sh.mode == 1)
        rec->windowLength = sh.window;
    rec->mode = sh.mode;
    rec->history = sh.history;
    rec->workspace = workOffset;
    rec->owned = 0;
    rec->upPhase = upPhase;
    rec->downPhase = downPhase;

    float *rev = firArea<float>(rec, revOffset);
    firStoreReversed(taps, tapCount, rev);
    float *tapTable = firArea<float>(rec, tapTableOffset);
    int32_t *index = firArea<int32_t>(rec, indexOffset);
    if (sh.mode == 1)
        buildSharedWindow(sh, rev, tapCount, upFactor, downFactor, upPhase, downPhase, tapTable, index,
                          firArea<float>(rec, workOffset));
    else
        buildPolyphase(sh, taps, tapCount, upFactor, downFactor, upPhase, downPhase, tapTable, index,
                       firArea<int32_t>(rec, workOffset));

    float *delay = firArea<float>(rec, delayOffset);
    zeroF32(delay, sh.history + sh.threshold + 1);
    if (delayLine)
        firStoreReversed(delayLine, sh.history, delay);
    *state = rec;
    return kOk;
}

} // namespace dsp::generic
