// Two small processing stages a chip family's render streams carry: the hardware-mute stage, which
// follows the headset's mute switch in software, and the channel-swap stage, which trades the back and
// side pairs of a 7.1 block for chips that wire them the other way round.
#pragma once

#include "driver/filters/node_values.h"
#include "driver/filters/unit_interfaces.h"

// Both act on PCM blocks only, at DISPATCH_LEVEL under the engine lock, without allocating.
class CRenderStageBase : public IProcessingNode, public CUnknownBase
{
public:
    explicit CRenderStageBase(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {}
    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS ResetEffect() override { return STATUS_SUCCESS; }
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *, float **, ULONG) override { return STATUS_SUCCESS; }
};

// Mode 1 attenuates every channel to a quarter, mode 2 silences it, other modes pass the block.
class CHardwareMuteStage : public IHardwareMuteStage, public CRenderStageBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CHardwareMuteStage(PUNKNOWN outerUnknown) : CRenderStageBase(outerUnknown), m_Mode(0) {}
    void SetMode(ULONG mode) override { InterlockedExchange(&m_Mode, LONG(mode)); }
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override;

private:
    volatile LONG m_Mode;
};

// An 8-channel block's channels 4, 5 trade samples with 6, 7. The buffer table is the engine's and
// stays as it is: swapping its pointers would swap back on every other chunk.
class CChannelSwapStage : public CRenderStageBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CChannelSwapStage(PUNKNOWN outerUnknown) : CRenderStageBase(outerUnknown) {}
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override;
};
