// The software mute of a stream: a one-byte control node that silences the stream's blocks while
// its byte is set. The device attaches it to a stream engine, which runs it on every chunk.
#pragma once

#include "driver/filters/node_values.h"

class CDspNode : public IProcessingNode, public CByteControlNode
{
public:
    DECLARE_STD_UNKNOWN();
    CDspNode(PUNKNOWN outerUnknown, ULONG id);

    // Only a size of 1 is provided for: a 2-byte table (non-paged, "DSPs") and the one source. Any
    // other size gives STATUS_INSUFFICIENT_RESOURCES and leaves the node as it was.
    NTSTATUS Init(ULONG sourceId, ULONG size) override;

    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    // Nothing to configure or reset: the mute keeps no state besides its byte.
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS ResetEffect() override { return STATUS_SUCCESS; }
    // While byte 0 is set: PCM blocks get every channel buffer zeroed, other formats get frames x
    // nBlockAlign bytes of buffers[0] cleared. DISPATCH_LEVEL; no allocation. For PCM the table must
    // hold one buffer per channel, as the engine's node and in-block stage passes give it; the node
    // is attached as a processing node, never listed for the whole-block stage calls, which hand PCM
    // over interleaved in a one-entry table.
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override;
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *, float **, ULONG) override { return STATUS_SUCCESS; }
};

// The engine's per-channel buffers hold at most this many channels.
inline constexpr ULONG DSP_NODE_MAX_CHANNELS = 8;

// Silences one block as the software mute does: for PCM the `nChannels` buffers (at most
// DSP_NODE_MAX_CHANNELS) are zeroed over `frames`, for other formats frames x nBlockAlign bytes of
// buffers[0]. DISPATCH_LEVEL; no allocation.
NTSTATUS SilenceBlock(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames);
