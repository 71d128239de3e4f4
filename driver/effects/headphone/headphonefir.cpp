#include "driver/effects/headphone/headphonefir.h"

#include "driver/effects/fx_assert.h"
#include "driver/effects/fx_simd.h"
#include "driver/effects/headphone/hp_tables.h"
#include "driver/effects/headphone/qvr_memory.h"
#include "dsp/dispatch/primitives.h"
#include "dsp/fft/spec.h"

#include <bit>
#include <cstring>

namespace
{
constexpr int32_t N = HEADPHONEFIR_N;
constexpr int32_t L = headphonefir::FFT_LEN;
constexpr int32_t FFT_ORDER = 10;
constexpr int32_t FFT_WORK_BYTES = 16384; // above what any variant's order-10 real transform asks
constexpr int32_t MAX_TAIL_LEN = headphonefir::TAIL_PARTS * N;

// Channel of head input c (L, R, C, RL, RR).
constexpr int32_t kHeadChannel[headphonefir::HEAD_INPUTS] = {0, 1, 2, 4, 5};
constexpr int32_t LFE = 3;
constexpr int32_t kCtcCodes[5] = {5, 10, 15, 20, 30};

// Floats of the arrays in the one "QVRP" block, in order.
constexpr int32_t kHeadFloats = headphonefir::HEAD_FILTERS * headphonefir::HEAD_PARTS * L;
constexpr int32_t kTailFloats = 2 * headphonefir::TAIL_PARTS * L;
constexpr int32_t kHeadRingFloats = headphonefir::HEAD_INPUTS * headphonefir::HEAD_PARTS * L;
constexpr int32_t kTailRingFloats = headphonefir::TAIL_PARTS * L;
constexpr int32_t kBlockFloats = headphonefir::HEAD_INPUTS * N;
constexpr int32_t kTotalFloats = kHeadFloats + kTailFloats + kHeadRingFloats + kTailRingFloats +
                                 2 * kBlockFloats + 2 * L + L + 2 * L + FFT_WORK_BYTES / 4;

bool ValidAngle(int32_t angle)
{
    switch (angle)
    {
    case 24:
    case 25:
    case 29:
    case 30:
    case 31:
    case 34:
    case 35:
    case 39:
    case 40:
        return true;
    default:
        return false;
    }
}

// A float array of the tables or of a caller, read by bytes (the tables are bit patterns).
void CopyFloats(float *dst, const void *src, int32_t offset, int32_t count)
{
    std::memcpy(dst, static_cast<const unsigned char *>(src) + size_t(offset) * 4, size_t(count) * 4);
}
} // namespace

dsp::Status SpectrumMulAcc(const float *a, const float *b, float *dst, int32_t len)
{
    if (!a || !b || !dst)
        return dsp::kErrNullPointer;
    if (len <= 0)
        return dsp::kErrBadLength;
    dst[0] = dst[0] + a[0] * b[0];
    int32_t i = 1;
    if (len % 2 == 0)
    {
        dst[1] = dst[1] + a[1] * b[1];
        i = 2;
    }
#if ZELKO_FX_SSE
    // Two pairs at a time: the same products, sums and order per lane as the scalar pairs below
    // (x - y is x + (-y) exactly), so the results are the same bits. Each group reads all its
    // inputs before writing, which keeps dst == a or dst == b safe.
    const __m128 negateRe = _mm_castsi128_ps(_mm_set_epi32(0, int32_t(0x80000000u), 0, int32_t(0x80000000u)));
    for (; i + 3 < len; i += 4)
    {
        const __m128 va = _mm_loadu_ps(a + i), vb = _mm_loadu_ps(b + i);
        const __m128 re = _mm_shuffle_ps(va, va, _MM_SHUFFLE(2, 2, 0, 0));
        const __m128 im = _mm_shuffle_ps(va, va, _MM_SHUFFLE(3, 3, 1, 1));
        const __m128 swapped = _mm_shuffle_ps(vb, vb, _MM_SHUFFLE(2, 3, 0, 1));
        const __m128 sum = _mm_add_ps(_mm_mul_ps(re, vb), _mm_xor_ps(_mm_mul_ps(im, swapped), negateRe));
        _mm_storeu_ps(dst + i, _mm_add_ps(_mm_loadu_ps(dst + i), sum));
    }
#endif
    for (; i + 1 < len; i += 2)
    {
        const float are = a[i], aim = a[i + 1], bre = b[i], bim = b[i + 1];
        const float re = are * bre - aim * bim;
        const float im = are * bim + aim * bre;
        dst[i] = dst[i] + re;
        dst[i + 1] = dst[i + 1] + im;
    }
    return dsp::kOk;
}

dsp::Status GainsToSpectrum(const float *gains, float *dst, int32_t n)
{
    if (!gains || !dst)
        return dsp::kErrNullPointer;
    if (n != headphonefir::GAINS)
        return dsp::kErrBadLength;
    dst[0] = gains[0];
    dst[1] = gains[n - 1];
    for (int32_t k = 1; k < L / 2; ++k)
        dst[2 * k] = dst[2 * k + 1] = gains[k / 2];
    return dsp::kOk;
}

bool headphonefir::Create()
{
    Destroy();
    m_pMem = QvrAllocFloats(kTotalFloats);
    m_pFade = QvrAllocFloats(2 * N, PoolTag::HFIR);
    if (!m_pMem || !m_pFade ||
        dsp::fftCreateReal(&m_pSpec, FFT_ORDER, dsp::generic::kFftScaleInverse, 0) != dsp::kOk)
    {
        m_pSpec = nullptr;
        Destroy();
        return false;
    }
    float *p = m_pMem;
    auto take = [&p](int32_t n)
    {
        float *r = p;
        p += n;
        return r;
    };
    m_pHead = take(kHeadFloats);
    m_pTail = take(kTailFloats);
    m_pHeadRing = take(kHeadRingFloats);
    m_pTailRing = take(kTailRingFloats);
    m_pPrev = take(kBlockFloats);
    m_pCur = take(kBlockFloats);
    m_pEar[0] = take(L);
    m_pEar[1] = take(L);
    m_pTmp = take(L);
    m_pGs = take(L);
    m_pGd = take(L);
    m_pFftWork = take(FFT_WORK_BYTES / 4);
    for (int32_t i = 0; i < L; ++i)
        m_pGs[i] = m_pGd[i] = 1.0f;
    m_bUnityGains = true;
    m_nCTCAngle = CTCANGLE_UNDEFINED;
    m_nRoom = ROOMSIZE_UNDEFINED;
    m_nAngle = SPEAKERANGLE_UNDEFINED;
    m_bLoaded = false;
    m_nHeadParts = m_nTailParts = m_nHeadFilters = 0;
    m_ReqFilters.store(0);
    m_bReqTail.store(false);
    Reset();
    return true;
}

void headphonefir::Destroy()
{
    if (m_pSpec)
        dsp::fftFreeReal(m_pSpec);
    m_pSpec = nullptr;
    QvrFree(m_pMem);
    QvrFree(m_pFade);
    m_pHead = m_pTail = m_pHeadRing = m_pTailRing = m_pPrev = m_pCur = m_pTmp = m_pGs = m_pGd = nullptr;
    m_pEar[0] = m_pEar[1] = nullptr;
    m_pFftWork = nullptr;
    m_bLoaded = false;
}

void headphonefir::Reset()
{
    if (!m_pMem)
        return;
    std::memset(m_pHeadRing, 0, sizeof(float) * kHeadRingFloats);
    std::memset(m_pTailRing, 0, sizeof(float) * kTailRingFloats);
    std::memset(m_pPrev, 0, sizeof(float) * kBlockFloats);
    m_nHeadPos = m_nTailPos = 0;
}

void headphonefir::RequestFilters(int32_t room, int32_t angle)
{
    if (!FX_CHECK_AS(room >= 1 && room <= 3, "m_nRoom>=1 && m_nRoom<=3"))
        room = 2;
    if (!FX_CHECK_AS(ValidAngle(angle), "CheckAngle(m_nAngle)"))
        angle = 24;
    m_ReqFilters.store(0x80000000u | uint32_t(room) << 8 | uint32_t(angle));
}

void headphonefir::RequestTail(int32_t nCTCAngle)
{
    m_ReqTail.store(nCTCAngle);
    m_bReqTail.store(true);
}

bool headphonefir::LoadTable(int32_t room, int32_t angle)
{
    FX_CHECK_AS(room != ROOMSIZE_UNDEFINED && angle != SPEAKERANGLE_UNDEFINED,
                "m_nRoom!=ROOMSIZE_UNDEFINED && m_nAngle!=SPEAKERANGLE_UNDEFINED");
    if (!FX_CHECK_AS(room >= 1 && room <= 3, "m_nRoom>=1 && m_nRoom<=3"))
        room = 2;
    if (!FX_CHECK_AS(ValidAngle(angle), "CheckAngle(m_nAngle)"))
        angle = 24;
    HpTableSet set{};
    if (!HpFindSet(room, angle, &set) || !Load(set.head, HEAD_FILTERS, 1024, set.tail, set.tailLen / 2))
        return false;
    m_nRoom = room;
    m_nAngle = angle;
    return true;
}

bool headphonefir::LoadFilters(const float *head, int32_t nhead, int32_t headlen, const float *tail,
                               int32_t ntail, int32_t tailen)
{
    bool ok = FX_CHECK_AS(nhead == 5 || nhead == 10, "nhead==5 || nhead==10");
    ok = FX_CHECK_AS(headlen % HEADPHONEFIR_N == 0, "headlen%HEADPHONEFIR_N==0") && ok;
    ok = FX_CHECK_AS(ntail == 2, "ntail==2") && ok;
    ok = FX_CHECK_AS(tailen % HEADPHONEFIR_N == 0, "tailen%HEADPHONEFIR_N==0") && ok;
    ok = FX_CHECK_AS(tailen <= MAX_TAIL_LEN, "tailen<=7*HEADPHONEFIR_N") && ok;
    if (!ok || !head || headlen <= 0 || headlen > HEAD_PARTS * N || tailen < 0 || (tailen > 0 && !tail))
        return false;
    return Load(head, nhead, headlen, tail, tailen);
}

bool headphonefir::Load(const void *head, int32_t nhead, int32_t headlen, const void *tail, int32_t tailen)
{
    if (!m_pMem)
        return false;
    const int32_t headParts = (headlen + N - 1) / N;
    const int32_t tailParts = (tailen + N - 1) / N;
    auto transform = [this](float *spec, const void *src, int32_t offset, int32_t count)
    {
        std::memset(spec, 0, sizeof(float) * L);
        if (count > 0)
            CopyFloats(spec, src, offset, count);
        dsp::fftForwardRealInPlace(spec, m_pSpec, m_pFftWork);
    };
    for (int32_t p = 0; p < headParts; ++p)
    {
        const int32_t count = headlen - p * N < N ? headlen - p * N : N;
        if (nhead == HEAD_FILTERS)
        {
            for (int32_t f = 0; f < HEAD_FILTERS; ++f)
                transform(HeadSpec(f, p), head, f * headlen + p * N, count);
            continue;
        }
        // 5 filters: front ipsi, front contra, centre, rear ipsi, rear contra. Each pair is kept
        // as Hs = (ipsi + contra) / 2 and Hd = (ipsi - contra) / 2 in slots 0, 1 and 3, 4.
        for (int32_t f = 0; f < 5; ++f)
            transform(HeadSpec(f, p), head, f * headlen + p * N, count);
        for (int32_t pair : {0, 3})
        {
            float *s = HeadSpec(pair, p), *d = HeadSpec(pair + 1, p);
            for (int32_t i = 0; i < L; ++i)
            {
                const float ipsi = s[i], contra = d[i];
                s[i] = 0.5f * (ipsi + contra);
                d[i] = 0.5f * (ipsi - contra);
            }
        }
    }
    for (int32_t p = 0; p < tailParts; ++p)
    {
        const int32_t count = tailen - p * N < N ? tailen - p * N : N;
        transform(TailSpec(0, p), tail, p * N, count);
        transform(TailSpec(1, p), tail, tailen + p * N, count);
    }
    if (m_nHeadFilters != 0 && m_nHeadFilters != nhead)
        ConvertRings(m_nHeadFilters, nhead);
    m_nHeadFilters = nhead;
    m_nHeadParts = headParts;
    m_nTailParts = tailParts;
    m_bLoaded = true;
    return true;
}

void headphonefir::ConvertRings(int32_t from, int32_t to)
{
    // 10 filters keep L, R per pair in the rings, 5 filters S = L + R, D = L - R.
    const float w = from == HEAD_FILTERS ? 1.0f : 0.5f;
    (void)to;
    for (int32_t pair : {0, 3})
        for (int32_t slot = 0; slot < HEAD_PARTS; ++slot)
        {
            float *a = HeadRing(pair, slot), *b = HeadRing(pair + 1, slot);
            for (int32_t i = 0; i < L; ++i)
            {
                const float x = a[i], y = b[i];
                a[i] = w * (x + y);
                b[i] = w * (x - y);
            }
        }
}

void headphonefir::SelectTail(int32_t nCTCAngle)
{
    FX_CHECK_AS(nCTCAngle != CTCANGLE_UNDEFINED, "nCTCAngle!=CTCANGLE_UNDEFINED");
    if (!m_pMem || nCTCAngle == m_nCTCAngle)
        return;
    m_nCTCAngle = nCTCAngle;
    int32_t table = -1;
    for (int32_t i = 0; i < 5; ++i)
        if (kCtcCodes[i] == nCTCAngle)
            table = i;
    float gs[GAINS], gd[GAINS];
    if (const uint32_t *words = HpTailGainWords(table))
    {
        for (int32_t i = 0; i < GAINS; ++i)
        {
            const float a = std::bit_cast<float>(words[2 * i]), b = std::bit_cast<float>(words[2 * i + 1]);
            gs[i] = a + b;
            gd[i] = a - b;
        }
        m_bUnityGains = false;
    }
    else
    {
        for (int32_t i = 0; i < GAINS; ++i)
            gs[i] = gd[i] = 1.0f;
        m_bUnityGains = true;
    }
    GainsToSpectrum(gs, m_pGs, GAINS);
    GainsToSpectrum(gd, m_pGd, GAINS);
    Reset();
}

void headphonefir::Spectra(float *const *in, int32_t nInCh)
{
    if (nInCh == 8)
        for (int32_t i = 0; i < N; ++i)
        {
            const float rl = in[4][i], rr = in[5][i];
            in[4][i] = (0.95f * rl + 0.312f * rr) + in[6][i];
            in[5][i] = (0.312f * rl + 0.95f * rr) + in[7][i];
        }
    const int32_t heads = nInCh == 2 ? 2 : HEAD_INPUTS;
    for (int32_t c = 0; c < heads; ++c)
    {
        float *cur = m_pCur + c * N;
        const float *x = in[kHeadChannel[c]];
        if (c < 2 && nInCh >= 6)
            for (int32_t i = 0; i < N; ++i)
                cur[i] = x[i] + in[LFE][i];
        else
            std::memcpy(cur, x, sizeof(float) * N);
    }
    m_nHeadPos = (m_nHeadPos + 1) % HEAD_PARTS;
    m_nTailPos = (m_nTailPos + 1) % TAIL_PARTS;
    for (int32_t c = 0; c < heads; ++c)
    {
        float *frame = HeadRing(c, m_nHeadPos);
        const int32_t pairStart = c == 1 || c == 4 ? c - 1 : c;
        const bool pair = m_nHeadFilters == 5 && c != 2;
        if (!pair)
        {
            std::memcpy(frame, m_pPrev + c * N, sizeof(float) * N);
            std::memcpy(frame + N, m_pCur + c * N, sizeof(float) * N);
        }
        else
        {
            // Slot pairStart holds the sum, pairStart + 1 the difference.
            const float sign = c == pairStart ? 1.0f : -1.0f;
            const float *pa = m_pPrev + pairStart * N, *pb = m_pPrev + (pairStart + 1) * N;
            const float *ca = m_pCur + pairStart * N, *cb = m_pCur + (pairStart + 1) * N;
            for (int32_t i = 0; i < N; ++i)
            {
                frame[i] = pa[i] + sign * pb[i];
                frame[N + i] = ca[i] + sign * cb[i];
            }
        }
    }
    std::memcpy(m_pPrev, m_pCur, sizeof(float) * N * heads);
    float *tailIn = TailRing(m_nTailPos);
    std::memset(tailIn, 0, sizeof(float) * L);
    for (int32_t c = 0; c < heads; ++c)
    {
        float *frame = HeadRing(c, m_nHeadPos);
        dsp::fftForwardRealInPlace(frame, m_pSpec, m_pFftWork);
        // The tail hears every head input once: L + R is the sum slot itself with 5 filters.
        const bool skip = m_nHeadFilters == 5 && (c == 1 || c == 4);
        if (!skip)
            dsp::addInPlaceF32(frame, tailIn, L);
    }
}

void headphonefir::Render(float *left, float *right, int32_t heads)
{
    std::memset(left, 0, sizeof(float) * L);
    std::memset(right, 0, sizeof(float) * L);
    for (int32_t p = 0; p < m_nHeadParts; ++p)
    {
        const int32_t slot = (m_nHeadPos - p + HEAD_PARTS) % HEAD_PARTS;
        for (int32_t c = 0; c < heads; ++c)
        {
            const float *x = HeadRing(c, slot);
            if (m_nHeadFilters == HEAD_FILTERS)
            {
                SpectrumMulAcc(x, HeadSpec(2 * c, p), left, L);
                SpectrumMulAcc(x, HeadSpec(2 * c + 1, p), right, L);
            }
            else // sums into left, differences into right, combined below
                SpectrumMulAcc(x, HeadSpec(c, p), c == 1 || c == 4 ? right : left, L);
        }
    }
    if (m_nHeadFilters == 5)
    {
        for (int32_t i = 0; i < L; ++i)
        {
            const float a = left[i], b = right[i];
            left[i] = a + b;
            right[i] = a - b;
        }
    }
    for (int32_t p = 0; p < m_nTailParts; ++p)
    {
        const float *x = TailRing((m_nTailPos - p + TAIL_PARTS) % TAIL_PARTS);
        SpectrumMulAcc(x, TailSpec(0, p), left, L);
        SpectrumMulAcc(x, TailSpec(1, p), right, L);
    }
    if (!m_bUnityGains)
    {
        // Sum and difference of the ears, each by its gains: YL' = (S gs + D gd) / 2,
        // YR' = (S gs - D gd) / 2.
        float *s = m_pTmp;
        for (int32_t i = 0; i < L; ++i)
        {
            const float yl = left[i], yr = right[i];
            s[i] = (yl + yr) * m_pGs[i];
            right[i] = (yl - yr) * m_pGd[i];
        }
        for (int32_t i = 0; i < L; ++i)
        {
            const float sg = s[i], dg = right[i];
            left[i] = 0.5f * (sg + dg);
            right[i] = 0.5f * (sg - dg);
        }
    }
    dsp::fftInverseRealInPlace(left, m_pSpec, m_pFftWork);
    dsp::fftInverseRealInPlace(right, m_pSpec, m_pFftWork);
    for (int32_t i = 0; i < N; ++i)
    {
        left[i] = 2.0f * left[N + i];
        right[i] = 2.0f * right[N + i];
    }
}

bool headphonefir::Process(float *const *in, int32_t nInCh, float *const *out, int32_t nOutCh, int32_t len)
{
    bool ok = FX_CHECK_AS(nOutCh == 2, "CheckNumOutChans(nOutCh)");
    ok = FX_CHECK_AS(nInCh == 2 || nInCh == 6 || nInCh == 8, "CheckNumInChans(nInCh)") && ok;
    ok = FX_CHECK_AS(len == HEADPHONEFIR_N, "CheckDataLen(len)") && ok;
    if (!ok || !m_pMem || !in || !out || !out[0] || !out[1])
        return false;
    for (int32_t c = 0; c < nInCh; ++c)
        if (!in[c])
            return false;

    if (m_bReqTail.exchange(false))
        SelectTail(m_ReqTail.load());
    const uint32_t req = m_ReqFilters.exchange(0);
    const int32_t room = int32_t(req >> 8 & 0xFF), angle = int32_t(req & 0xFF);
    const bool change = (req & 0x80000000u) && (!m_bLoaded || room != m_nRoom || angle != m_nAngle);

    Spectra(in, nInCh);
    const int32_t heads = nInCh == 2 ? 2 : HEAD_INPUTS;
    if (change && !m_bLoaded)
        LoadTable(room, angle);
    Render(m_pEar[0], m_pEar[1], heads);
    if (change && m_bLoaded && (room != m_nRoom || angle != m_nAngle) && LoadTable(room, angle))
    {
        // The block once more with the new filters, faded in linearly over the block.
        float *oldL = m_pEar[0], *oldR = m_pEar[1];
        std::memcpy(m_pFade, oldL, sizeof(float) * N);
        std::memcpy(m_pFade + N, oldR, sizeof(float) * N);
        Render(m_pEar[0], m_pEar[1], heads);
        for (int32_t i = 0; i < N; ++i)
        {
            const float wNew = float(i) / float(N), wOld = float(N - i) / float(N);
            oldL[i] = wOld * m_pFade[i] + wNew * oldL[i];
            oldR[i] = wOld * m_pFade[N + i] + wNew * oldR[i];
        }
        ++m_nCrossfades;
    }
    std::memcpy(out[0], m_pEar[0], sizeof(float) * N);
    std::memcpy(out[1], m_pEar[1], sizeof(float) * N);
    ++m_nRuns;
    return true;
}
