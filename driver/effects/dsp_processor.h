// The processing stages of the sample-rate chain: one abstract processor and its four kinds, the
// format stage (CDspSplit with its CChannelConversion), the factor-2 and factor-4 converters and
// the 147:160 converter between the 44.1 kHz and 48 kHz families.
//
// A processor works per channel, for up to eight channels, on planar 32-bit float samples, and
// appends its output to a ring of DSP_RING_LENGTH floats kept for each channel. Every buffer is
// allocated once, by AllocateBuffers, from non-paged pool tagged "SRCX"; Reset and Process run at
// DISPATCH_LEVEL under the owning stream's lock and allocate nothing.
#pragma once

#include <nt_types.h>
#include <pc_wave_format.h>

#include "driver/base/pool_memory.h"

namespace dsp
{
struct FirState;
}

inline constexpr ULONG MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;
inline constexpr ULONG DSP_RING_LENGTH = 7680; // floats per channel ring

class CDspProcessor : public CPoolObject
{
public:
    CDspProcessor() = default;
    CDspProcessor(const CDspProcessor &) = delete;
    CDspProcessor &operator=(const CDspProcessor &) = delete;

    // Bytes of one channel's converter state, interpolating (up) and decimating (down); 0 when the
    // processor has none (the base).
    virtual ULONG UpStateSize();
    virtual ULONG DownStateSize();
    // Consumes samples of `channel` from input (*count of them) and appends the results to that
    // channel's ring; *count becomes the number consumed, fewer when the ring fills (not an error).
    // The base converts nothing and returns false.
    virtual bool Process(ULONG channel, const float *input, ULONG *count);
    // Rebuilds each channel's state for the current direction and empties the rings.
    virtual void Reset();
    // Frees, per channel, the ring and both state buffers; missing ones are skipped.
    virtual ~CDspProcessor();

    // Per channel: down state, up state and ring, channel by channel. False at the first failed
    // allocation (what was made stays for the destructor), when already allocated, or when either
    // state size is 0.
    bool AllocateBuffers();

    void SetDirection(bool up) { m_bUp = up ? 1 : 0; }
    bool IsUp() const { return m_bUp != 0; }

    // The ring of `channel` and how many samples it holds from its start.
    const float *Ring(ULONG channel) const { return m_pRing[channel]; }
    ULONG WritePosition(ULONG channel) const { return m_WritePosition[channel]; }
    // Appends up to `count` samples unchanged; returns how many fitted.
    ULONG Append(ULONG channel, const float *input, ULONG count);
    // Drops the first `count` samples of the ring and moves the rest to its start.
    void Consume(ULONG channel, ULONG count);

protected:
    ULONG RingFree(ULONG channel) const { return m_RingLength - m_WritePosition[channel]; }

    PVOID m_pUpState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    PVOID m_pDownState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    dsp::FirState *m_pState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    float *m_pRing[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    ULONG m_WritePosition[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    ULONG m_RingLength = 0;
    UCHAR m_bUp = 0;
    UCHAR m_bBuffersAllocated = 0;
};

// Keeps the float formats of the format stage; it converts no channels.
class CChannelConversion : public CPoolObject
{
public:
    // Both formats must be float (sample type 3) with at most 8 channels; refusals are logged with
    // "CChannelConversion::SetFormat" and store nothing.
    bool SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat);

private:
    WAVEFORMATEXTENSIBLE m_InFormat{};
    WAVEFORMATEXTENSIBLE m_OutFormat{};
    UCHAR m_bInitialized = 0;
};

// Stage 0 of every chain: describes the stream as float and lets samples through untouched.
class CDspSplit : public CDspProcessor
{
public:
    ULONG UpStateSize() override { return 4; }
    ULONG DownStateSize() override { return 4; }
    bool Process(ULONG, const float *, ULONG *) override { return false; }
    ~CDspSplit() override;
    // Creates the CChannelConversion ("SRCX") first, then the buffers.
    bool AllocateBuffers();

    // Stores both formats and hands their float versions (FxFloatFormat) to the conversion.
    bool SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat);

private:
    CChannelConversion *m_pConversion = nullptr;
    WAVEFORMATEXTENSIBLE m_InFormat{};
    WAVEFORMATEXTENSIBLE m_OutFormat{};
};

// Interpolation by F (up) or decimation by F (down) through a multi-rate FIR per channel.
class CSrcIntegerFactor : public CDspProcessor
{
public:
    ULONG UpStateSize() override;
    ULONG DownStateSize() override;
    // Up: n inputs give n x F outputs, multiplied by F to make up the interpolation's gain. Down:
    // whole groups of F inputs only; a shorter tail stays unconsumed.
    bool Process(ULONG channel, const float *input, ULONG *count) override;
    void Reset() override;

    ULONG Factor() const { return m_Factor; }

protected:
    CSrcIntegerFactor(ULONG factor, const float *taps, ULONG tapCount)
        : m_Factor(factor), m_pTaps(taps), m_TapCount(tapCount)
    {
    }

private:
    ULONG StateSize(ULONG up, ULONG down) const;

    ULONG m_Factor;
    const float *m_pTaps;
    ULONG m_TapCount;
};

class CSrcFactor2 : public CSrcIntegerFactor
{
public:
    static constexpr ULONG TAPS = 66;
    CSrcFactor2();
    static const float *Taps();
};

class CSrcFactor4 : public CSrcIntegerFactor
{
public:
    static constexpr ULONG TAPS = 132;
    CSrcFactor4();
    static const float *Taps();
};

// 147:160 between the 44.1 kHz family (fs_L) and the 48 kHz family, one sample at a time through
// polyphase rows of a filter running at 160 fs_L: up (x160/147) and down (x147/160).
class CSrc44k48k : public CDspProcessor
{
public:
    static constexpr ULONG UP_PHASES = 160, UP_TAPS = 20;
    static constexpr ULONG DOWN_PHASES = 147, DOWN_TAPS = 24;

    ULONG UpStateSize() override;
    ULONG DownStateSize() override;
    bool Process(ULONG channel, const float *input, ULONG *count) override;
    void Reset() override;

    // The phase counter of `channel`: up 0..159; down 0..146, or 147..159 while the input that
    // the next output skips has not arrived yet.
    ULONG Phase(ULONG channel) const { return m_Phase[channel]; }

    static const float *UpRows();   // 160 x 20
    static const float *DownRows(); // 147 x 24

private:
    void ProcessUp(ULONG channel, const float *input, ULONG *count);
    void ProcessDown(ULONG channel, const float *input, ULONG *count);
    void Push(ULONG channel, float sample);

    ULONG m_Phase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
    // 24 taps held twice, so any 24 consecutive entries are one window (2 x 20 used up).
    float m_Delay[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][2 * DOWN_TAPS] = {};
    int32_t m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
};
