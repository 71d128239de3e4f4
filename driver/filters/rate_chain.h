// The sample-rate chain a wave stream converts through when its own format and the device's differ.
// The effects layer, above the filters, implements it; the driver's start code registers the
// creator, so the stream sees only this interface.
//
// Threading: creation and destruction at PASSIVE_LEVEL; everything else under the stream's spin
// lock at DISPATCH_LEVEL, with no allocation, wait or lock of its own.
#pragma once

#include <nt_types.h>
#include <pc_wave_format.h>

// The staging area every chain lends its stream: 8 planes of 1920 floats and 1920 interleaved frames
// of 8 floats (10 ms at 192 kHz each).
inline constexpr ULONG RATE_CHAIN_STAGE_FRAMES = 1920;
inline constexpr ULONG RATE_CHAIN_STAGE_CHANNELS = 8;
inline constexpr ULONG RATE_CHAIN_WORK_BYTES = 2 * RATE_CHAIN_STAGE_FRAMES * RATE_CHAIN_STAGE_CHANNELS * 4;

class IRateChain
{
public:
    // Frees the chain and everything it holds.
    virtual ~IRateChain() = default;
    // `first` is the side the samples come from: render passes (stream, device), capture (device,
    // stream). False leaves the chain moving nothing until a SetFormat succeeds.
    virtual bool SetFormat(WAVEFORMATEXTENSIBLE first, WAVEFORMATEXTENSIBLE second) = 0;
    // Forgets every sample held, before a SetFormat.
    virtual void ResetStages() = 0;
    // Planar float frames of the first format (±1.0); returns the frames taken, fewer only when a
    // ring is full (offer the rest again after a Drain).
    virtual ULONG Feed(const float *const in[], ULONG frames) = 0;
    // Converted frames ready for Drain.
    virtual ULONG Available() const = 0;
    // Up to maxFrames converted frames into one plane per channel of the second format.
    virtual ULONG Drain(float *const out[], ULONG maxFrames) = 0;
    // The further input frames after which Available() >= outFrames.
    virtual ULONG InputFor(ULONG outFrames) const = 0;
    // RATE_CHAIN_WORK_BYTES of non-paged, 16-byte aligned scratch for the stream's conversions.
    virtual float *WorkBuffer() const = 0;
};

// Makes and initialises a chain (non-paged pool, "CCST"). STATUS_INSUFFICIENT_RESOURCES, with
// nothing left allocated, on any failure. PASSIVE_LEVEL.
typedef NTSTATUS (*PFN_CREATE_RATE_CHAIN)(IRateChain **chain);

// The creator every wave stream made from now on uses. Null (the default) gives streams without a
// chain: they play and record silence wherever the two formats differ. Set once at driver entry.
void SetRateChainCreator(PFN_CREATE_RATE_CHAIN create);
PFN_CREATE_RATE_CHAIN RateChainCreator();
