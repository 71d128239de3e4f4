// The render path of the virtual-surround endpoint as benchmarks and tests build it: the driver's
// surround node (CEffectNode140, or a class derived from it to look inside) set up as the adapter
// does with its switch on (or off), and the DSP render class's step of a transfer (its chain through
// the stream engine's chunked float pass, then its pack to two channels) over a stream object that
// never starts.
#pragma once

#include "driver/core/usb_audio_stream.h"
#include "driver/effects/effect_nodes.h"
#include "driver/filters/stream_engine.h"

#include <cstdint>
#include <vector>

namespace surround_path
{

// The same stream as 32-bit float, as the chains take it.
inline WAVEFORMATEXTENSIBLE FloatOf(const WAVEFORMATEXTENSIBLE &pcm)
{
    WAVEFORMATEXTENSIBLE f = pcm;
    f.Format.wBitsPerSample = 32;
    f.Samples.wValidBitsPerSample = 32;
    f.Format.nBlockAlign = USHORT(pcm.Format.nChannels * 4);
    f.Format.nAvgBytesPerSec = pcm.Format.nSamplesPerSec * f.Format.nBlockAlign;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
    return f;
}

// The switch unit the surround node reads its on/off from, held in one position: on, the stream
// hears the wet set; off, the dry set.
class FixedSwitch : public ISwitchControl, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit FixedSwitch(UCHAR on) : CUnknownBase(nullptr), m_On(on) {}
    NTSTATUS GetSwitchChannels(UCHAR, PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetSwitch(UCHAR, ULONG, PUCHAR value) override
    {
        *value = m_On;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetSwitch(UCHAR, ULONG, UCHAR) override { return STATUS_SUCCESS; }

private:
    UCHAR m_On;
};

inline NTSTATUS FixedSwitch::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<ISwitchControl *>(this),
                           {{IID_ISwitchControl, static_cast<ISwitchControl *>(this)}});
}

// The surround node as the adapter sets it up (its switch on, or off when `on` is false; no stored
// parameters), given the stream's format as the stream does when it starts; one reference the
// caller releases. Null when any step fails.
template <class Node = CEffectNode140> Node *MakeSurroundNode(const WAVEFORMATEXTENSIBLE &pcm, bool on = true)
{
    auto *unit = new (NonPagedPool, PoolTag::TAVO) FixedSwitch(on ? 1 : 0);
    auto *node = new (NonPagedPool, PoolTag::TAVO) Node(nullptr, 140);
    if (unit)
        unit->AddRef();
    if (node)
        node->AddRef();
    const NodeSettings settings{nullptr, nullptr};
    const bool ok = unit && node &&
                    node->Init140(static_cast<ISwitchControl *>(unit), 5, settings, 3) == STATUS_SUCCESS &&
                    node->SetEffectFormat(&pcm) == STATUS_SUCCESS && node->ActiveSwitch() == (on ? 1 : 0);
    if (unit)
        unit->Release();
    if (!ok && node)
    {
        node->Release();
        return nullptr;
    }
    return node;
}

// The DSP render class's step of a transfer: the engine's chunked float pass running the class's
// chain (as its SubmitTransfer hands it), then the class's own pack to two channels over the
// transfer's ten packets. Hold it by its non-delegating unknown.
class RenderClassChain : public CUac1DspRenderStream
{
public:
    static constexpr ULONG kPackets = 10;
    // Sees each chunk's channels after the chain, before they are converted back to PCM.
    typedef void (*PFN_OBSERVE)(PVOID context, float *const *channels, ULONG channelCount, ULONG frames);

    RenderClassChain()
        : CUac1DspRenderStream(nullptr, 0, 0),
          m_Urb(sizeof(URB) + kPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    {
    }

    bool Setup(const WAVEFORMATEXTENSIBLE &pcm, CStreamEngine *engine)
    {
        const WAVEFORMATEXTENSIBLE f = FloatOf(pcm);
        if (!DspChainInit(&m_Chain))
            return false;
        DspChainSetFormat(&m_Chain, &f);
        m_CurrentFormat = pcm;
        m_Render = engine;
        return true;
    }
    void Observe(PFN_OBSERVE observe, PVOID context)
    {
        m_Observe = observe;
        m_ObserveContext = context;
    }

    // `frames` frames of `block` in place, `frames` a multiple of kPackets: the chain, then the
    // first two channels of every frame packed from the start of the block. Returns the packed bytes.
    ULONG Run(uint8_t *block, ULONG frames)
    {
        m_Render->ProcessChunks(block, frames * m_CurrentFormat.Format.nBlockAlign, RunChain, this);
        auto *urb = reinterpret_cast<PURB>(m_Urb.data());
        const ULONG packetBytes = frames / kPackets * m_CurrentFormat.Format.nBlockAlign;
        for (ULONG i = 0; i < kPackets; ++i)
        {
            urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * packetBytes;
            urb->UrbIsochronousTransfer.IsoPacket[i].Length = packetBytes;
        }
        return PackToStereo(urb, block, kPackets);
    }

    const DspChain &Chain() const { return m_Chain; }

private:
    static void RunChain(PVOID context, float *const *channels, ULONG channelCount, ULONG frames)
    {
        auto *self = static_cast<RenderClassChain *>(context);
        DspChainProcess(&self->m_Chain, channels, int32_t(frames));
        if (self->m_Observe)
            self->m_Observe(self->m_ObserveContext, channels, channelCount, frames);
    }

    DspChain m_Chain;
    CStreamEngine *m_Render = nullptr;
    std::vector<uint8_t> m_Urb;
    PFN_OBSERVE m_Observe = nullptr;
    PVOID m_ObserveContext = nullptr;
};

} // namespace surround_path
