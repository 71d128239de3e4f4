#include "driver/effects/room_virtualizer.h"

#include <cmath>
#include <cstring>

namespace
{
#include "driver/effects/room_tables.inc"

using RoomRate = RoomRateTable;

constexpr RoomRate kRate48000 = {
    3588,
    {{{600, 0.380371f}, {601, 0.380371f}},
     {{872, 0.33606f}, {873, 0.33606f}},
     {{779, 0.350586f}, {780, 0.350586f}},
     {{1033, 0.312256f}, {1034, 0.312256f}}},
    {2, 2, 2, 2},
    0.981323f,
    -1.96252f,
    1.96204f,
    -0.963196f,
    {16, 20, 18},
    kRoomShuffler0,
    {{0.278351f, 0.00827026f, -0.147308f},
     {0.412476f, -0.019043f, -0.127808f},
     {0.501892f, -0.0055542f, -0.0502319f},
     {0.428223f, -0.0499268f, -0.026062f}},
};
constexpr RoomRate kRate44100 = {
    3307,
    {{{551, 0.507263f}, {552, 0.253601f}},
     {{801, 0.448059f}, {802, 0.22406f}},
     {{716, 0.467407f}, {717, 0.233704f}},
     {{949, 0.416382f}, {950, 0.208191f}}},
    {2, 2, 2, 2},
    0.979675f,
    -1.95923f,
    1.9585f,
    -0.959961f,
    {15, 19, 17},
    kRoomShuffler1,
    {{0.288147f, -0.0181885f, -0.0695496f},
     {0.432251f, -0.0688477f, -0.0119629f},
     {0.507385f, -0.0272217f, -0.0474243f},
     {0.417847f, -0.0422363f, -0.0427856f}},
};
constexpr RoomRate kRate32000 = {
    2408,
    {{{400, 0.629761f}, {401, 0.144836f}, {402, -0.013855f}},
     {{581, 0.556458f}, {582, 0.127991f}, {583, -0.0122681f}},
     {{519, 0.580566f}, {520, 0.133545f}, {521, -0.0127563f}},
     {{688, 0.517212f}, {689, 0.118958f}, {690, -0.0113525f}}},
    {3, 3, 3, 3},
    0.972046f,
    -1.94379f,
    1.94257f,
    -0.945251f,
    {10, 13, 12},
    kRoomShuffler2,
    {{0.319397f, -0.101288f, 0.21701f},
     {0.423279f, -0.0933838f, 0.222168f},
     {0.509827f, -0.0512695f, 0.0494995f},
     {0.423645f, -0.0696411f, -0.00598145f}},
};
constexpr RoomRate kRate96000 = {
    7155,
    {{{1200, 0.227112f}, {1201, 0.204407f}, {1202, 0.227112f}, {1203, 0.102173f}},
     {{1744, 0.200623f}, {1745, 0.180542f}, {1746, 0.200623f}, {1747, 0.090271f}},
     {{1558, 0.20929f}, {1559, 0.188354f}, {1560, 0.20929f}, {1561, 0.0941772f}},
     {{2065, 0.186462f}, {2066, 0.167847f}, {2067, 0.186462f}, {2068, 0.0839233f}}},
    {4, 4, 4, 4},
    0.990631f,
    -1.98123f,
    1.98108f,
    -0.981384f,
    {34, 42, 38},
    kRoomShuffler16,
    {{0.205536f, 0.0769043f, 0.0506592f},
     {0.295837f, 0.105652f, 0.0637817f},
     {0.33606f, 0.136536f, 0.0855103f},
     {0.36499f, 0.02948f, 0.0212402f}},
};
constexpr RoomRate kRate88200 = {
    6595,
    {{{1103, 0.237732f}, {1104, 0.22583f}, {1105, 0.237732f}, {1106, 0.0594482f}},
     {{1603, 0.209961f}, {1604, 0.199463f}, {1605, 0.209961f}, {1606, 0.0524902f}},
     {{1431, 0.219116f}, {1432, 0.208191f}, {1433, 0.219116f}, {1434, 0.0548096f}},
     {{1898, 0.19519f}, {1899, 0.185425f}, {1900, 0.19519f}, {1901, 0.0487671f}}},
    {4, 4, 4, 4},
    0.989807f,
    -1.97958f,
    1.97943f,
    -0.979797f,
    {32, 40, 36},
    kRoomShuffler17,
    {{0.209869f, 0.0811157f, 0.0454102f},
     {0.30188f, 0.111023f, 0.0545044f},
     {0.343689f, 0.14447f, 0.0814209f},
     {0.367432f, 0.0308838f, 0.0206299f}},
};

// The 18 rate codes; only five have a table (the others give a memory length of 0).
const RoomRate *RateFor(int32_t code)
{
    switch (code)
    {
    case 0:
        return &kRate48000;
    case 1:
        return &kRate44100;
    case 2:
        return &kRate32000;
    case 16:
        return &kRate96000;
    case 17:
        return &kRate88200;
    default:
        return nullptr;
    }
}

int32_t CodeForRate(int32_t rate)
{
    switch (rate)
    {
    case 48000:
        return 0;
    case 44100:
        return 1;
    case 32000:
        return 2;
    case 96000:
        return 16;
    case 88200:
        return 17;
    default:
        return 1;
    }
}

// The reverb lines' input matrix: rows L1..L4 over u1..u4 (orthonormal).
constexpr float kLineMix[4][4] = {{0.93689f, -0.152466f, -0.100342f, 0.298096f},
                                  {-0.00787354f, -0.905762f, 0.21106f, -0.367432f},
                                  {-0.0516968f, 0.0162964f, 0.882202f, 0.467712f},
                                  {-0.345642f, -0.395081f, -0.408752f, 0.746582f}};

// Which tap count of a rate filter f (Cv, Fm, Fs, Sm, Ss, Bm, Bs) has.
int32_t CountIndex(int32_t f)
{
    return f < 3 ? 0 : (f < 5 ? 1 : 2);
}

// Every signal with a history in the delay memory.
enum Signal
{
    L1,
    L2,
    L3,
    L4,
    CV,
    FM,
    FS,
    SM,
    SS,
    BM,
    BS, // shuffler inputs (Cv also feeds the centre's direct path)
    HX0,
    HX1,
    HX2,
    HX3, // high-pass inputs: R, L, SL, SR
    HY0,
    HY1,
    HY2,
    HY3, // high-pass outputs
    EL,
    ER,
    DFL,
    DFR,
    DSL,
    DSR,
    DBL,
    DBR, // direct paths of the speaker feeds
    SIGNALS
};

// The delay memory of one rate: each signal keeps its last K values (K its longest delay) in a
// region of its own, at a fixed offset from the write position. All of a sample's reads come
// before its writes, so reading x[n - K] from the slot the next region writes next is safe.
class Lines
{
public:
    Lines(const RoomRate &rate, float *memory) : m_Memory(memory), m_Length(rate.memoryLength)
    {
        int32_t k[SIGNALS];
        for (int32_t i = 0; i < 4; ++i)
            k[L1 + i] = rate.taps[i][rate.tapCount[i] - 1].delay;
        for (int32_t f = 0; f < RoomVirtualizer::SHUFFLERS; ++f)
            k[CV + f] = 2 * rate.counts[CountIndex(f)];
        for (int32_t s = HX0; s < SIGNALS; ++s)
            k[s] = 2;
        int32_t start = 0;
        for (int32_t s = 0; s < SIGNALS; ++s)
        {
            start += k[s];
            m_Top[s] = start - 1;
        }
    }
    void At(int32_t position) { m_Pos = position; }
    float Past(Signal s, int32_t k) const { return m_Memory[Wrap(m_Pos + m_Top[s] - k)]; }
    void Store(Signal s, float v) { m_Memory[Wrap(m_Pos + m_Top[s])] = v; }

private:
    int32_t Wrap(int32_t i) const { return i < 0 ? i + m_Length : (i >= m_Length ? i - m_Length : i); }
    float *m_Memory;
    int32_t m_Length;
    int32_t m_Pos = 0;
    int32_t m_Top[SIGNALS];
};

constexpr double kHalf = 0.5;

float HighPass(const RoomRate &r, const Lines &m, Signal x, Signal y, float in)
{
    return float(double(r.b0) * in + double(r.b1) * m.Past(x, 1) + double(r.b0) * m.Past(x, 2) +
                 double(r.a1) * m.Past(y, 1) + double(r.a2) * m.Past(y, 2));
}

double Direct(const float *d, const Lines &m, Signal s, float now)
{
    return double(d[0]) * now + double(d[1]) * m.Past(s, 1) + double(d[2]) * m.Past(s, 2);
}

float Shuffle(const float *taps, int32_t n, const Lines &m, Signal s)
{
    double acc = 0.0;
    for (int32_t k = 1; k <= n; ++k)
        acc += double(taps[k - 1]) * m.Past(s, 2 * k);
    return float(acc);
}

float LineTap(const RoomRate &r, const Lines &m, int32_t line)
{
    double acc = 0.0;
    for (int32_t t = 0; t < r.tapCount[line]; ++t)
        acc += double(r.taps[line][t].weight) * m.Past(Signal(L1 + line), r.taps[line][t].delay);
    return float(acc);
}

float Quantised(float y)
{
    const int16_t s = int16_t(uint16_t(uint32_t(RoomVirtualizer::ToSample16(y)) & 0xFFFF));
    return float(s) * 0.000030517578125f;
}
} // namespace

const RoomRateTable *RoomVirtualizer::Coefficients(int32_t code)
{
    return RateFor(code);
}

void RoomVirtualizer::Restart(int32_t code)
{
    const RoomRate *rate = RateFor(code);
    m_CurrentCode = code;
    m_MemoryLength = rate ? rate->memoryLength : 0;
    m_MemoryStart = m_Memory;
    m_WritePosition = m_Memory;
    std::memset(m_Memory, 0, size_t(m_MemoryLength) * sizeof(float));
}

void RoomVirtualizer::Init()
{
    m_CurrentCode = m_CurrentMode = m_RequestedCode = m_RequestedMode = 0;
    Restart(0);
}

void RoomVirtualizer::Configure(int32_t rate, int32_t mode)
{
    m_RequestedCode = CodeForRate(rate);
    m_RequestedMode = mode;
}

bool RoomVirtualizer::FormatPending() const
{
    return m_RequestedCode != m_CurrentCode || m_RequestedMode != m_CurrentMode;
}

bool RoomVirtualizer::FormatValid() const
{
    return RateFor(m_RequestedCode) && m_RequestedMode >= 0 && m_RequestedMode <= 7;
}

void RoomVirtualizer::ApplyFormat()
{
    if (!FormatValid())
    {
        m_RequestedCode = m_CurrentCode;
        m_RequestedMode = m_CurrentMode;
        return;
    }
    m_CurrentMode = m_RequestedMode;
    Restart(m_RequestedCode);
}

void RoomVirtualizer::ClearHistory()
{
    Restart(RateFor(m_RequestedCode) ? m_RequestedCode : m_CurrentCode);
}

int32_t RoomVirtualizer::ToSample16(float value)
{
    double y = std::isnan(value) ? 0.0 : double(value);
    if (y >= double(0.99998474f))
        y = 32767.0 / 32768.0;
    if (y < -double(0.99998474f))
        y = -1.0;
    // In double the sum is exact, so halves round up as promised.
    return int32_t(65536.5 + 32768.0 * y);
}

const float *RoomVirtualizer::ShufflerTaps(int32_t code, int32_t filter, int32_t *count)
{
    const RoomRate *r = RateFor(code);
    if (!r || filter < 0 || filter >= SHUFFLERS || !count)
        return nullptr;
    const float *taps = r->shuffler;
    for (int32_t f = 0; f < filter; ++f)
        taps += r->counts[CountIndex(f)];
    *count = r->counts[CountIndex(filter)];
    return taps;
}

void RoomVirtualizer::Render(const float *const *in, float *const *out, int32_t count)
{
    if (FormatPending())
        ApplyFormat();
    const RoomRate *rate = RateFor(m_CurrentCode);
    if (count <= 0 || !rate || !m_MemoryStart || !in || !out || !out[0] || !out[1])
        return;
    const int32_t used = m_CurrentMode == 7 ? 8 : (m_CurrentMode == 5 ? 6 : 0);
    for (int32_t c = 0; c < used; ++c)
        if (!in[c])
            return;
    const float *shuffler[SHUFFLERS];
    int32_t taps[SHUFFLERS];
    for (int32_t f = 0; f < SHUFFLERS; ++f)
        shuffler[f] = ShufflerTaps(m_CurrentCode, f, &taps[f]);
    const float(&d)[4][3] = rate->direct;
    int32_t position = int32_t(m_WritePosition - m_MemoryStart);
    Lines m(*rate, m_MemoryStart);

    for (int32_t n = 0; n < count; ++n)
    {
        position = position + 1 == m_MemoryLength ? 0 : position + 1;
        m.At(position);
        const float r1 = LineTap(*rate, m, 0), r2 = LineTap(*rate, m, 1);
        const float r3 = LineTap(*rate, m, 2), r4 = LineTap(*rate, m, 3);

        float x[8] = {};
        for (int32_t c = 0; c < used; ++c)
            x[c] = in[c][n];
        const float fl = x[0], fr = x[1], fc = x[2], lfe = x[3], bl = x[4], br = x[5], sl = x[6], sr = x[7];
        const float a = float(double(fl) + lfe);
        const float b = float(double(fr) + lfe);

        const float hx[4] = {float(double(-0.551703f) * b + double(0.618946f) * br),
                             float(double(0.551703f) * a + double(0.618946f) * bl),
                             float(double(0.329646f) * fc + double(0.565152f) * sl),
                             float(double(0.329646f) * fc + double(0.565152f) * sr)};
        float hy[4];
        for (int32_t i = 0; i < 4; ++i)
            hy[i] = HighPass(*rate, m, Signal(HX0 + i), Signal(HY0 + i), hx[i]);
        const float hR = hy[0], hL = hy[1], hSL = hy[2], hSR = hy[3];

        const float cv = fc;
        const float flv = float(double(a) + double(0.840663f) * r4);
        const float frv = float(double(b) + double(0.840663f) * r1);
        const float slv = float(double(0.820007f) * sl);
        const float srv = float(double(0.820007f) * sr);
        const float blv = float(double(0.909973f) * bl + r2);
        const float brv = float(double(0.909973f) * br + r3);

        const float u[4] = {float(double(r4) + hSR), float(double(r1) + hR), float(double(r2) + hL),
                            float(double(r3) + hSL)};

        const float inputs[SHUFFLERS] = {cv,
                                         float(kHalf * (double(flv) + frv)),
                                         float(kHalf * (double(flv) - frv)),
                                         float(kHalf * (double(slv) + srv)),
                                         float(kHalf * (double(slv) - srv)),
                                         float(kHalf * (double(blv) + brv)),
                                         float(kHalf * (double(blv) - brv))};
        float y[SHUFFLERS];
        for (int32_t f = 0; f < SHUFFLERS; ++f)
            y[f] = Shuffle(shuffler[f], taps[f], m, Signal(CV + f));
        const float el = float(double(y[0]) + y[1] + y[2] + y[3] + y[4] + y[5] + y[6]);
        const float er = float(double(y[0]) + y[1] - y[2] + y[3] - y[4] + y[5] - y[6]);

        float line[4];
        for (int32_t i = 0; i < 4; ++i)
            line[i] = float(double(kLineMix[i][0]) * u[0] + double(kLineMix[i][1]) * u[1] +
                            double(kLineMix[i][2]) * u[2] + double(kLineMix[i][3]) * u[3]);

        const float left =
            float(kHalf * el + m.Past(EL, 1) + kHalf * m.Past(EL, 2) + Direct(d[0], m, CV, cv) +
                  Direct(d[1], m, DFL, flv) + Direct(d[2], m, DSL, slv) + Direct(d[3], m, DBL, blv));
        const float right =
            float(kHalf * er + m.Past(ER, 1) + kHalf * m.Past(ER, 2) + Direct(d[0], m, CV, cv) +
                  Direct(d[1], m, DFR, frv) + Direct(d[2], m, DSR, srv) + Direct(d[3], m, DBR, brv));

        for (int32_t i = 0; i < 4; ++i)
        {
            m.Store(Signal(L1 + i), line[i]);
            m.Store(Signal(HX0 + i), hx[i]);
            m.Store(Signal(HY0 + i), hy[i]);
        }
        for (int32_t f = 0; f < SHUFFLERS; ++f)
            m.Store(Signal(CV + f), inputs[f]);
        m.Store(EL, el);
        m.Store(ER, er);
        m.Store(DFL, flv);
        m.Store(DFR, frv);
        m.Store(DSL, slv);
        m.Store(DSR, srv);
        m.Store(DBL, blv);
        m.Store(DBR, brv);

        out[0][n] = Quantised(left);
        out[1][n] = Quantised(right);
    }
    m_WritePosition = m_MemoryStart + position;
}
