// The audio-path half every effect node shares: the engine part hands it each chunk of a render
// stream (ProcessBuffers), and it runs the node's effect on a copy of the chunk beside an
// unprocessed ("dry") copy, chooses which of the two the stream hears and crossfades between them
// when the node is switched on or off, so a toggle never clicks.
//
// The node class supplies the stages (what runs on each copy) and says whether it is enabled; this
// class owns the two sets of eight 512-sample working buffers, the node lock and the crossfade.
//
// Threading: RunEntry runs at DISPATCH_LEVEL on the engine's path, the setters on the property path
// at PASSIVE_LEVEL; both take the node lock (an in-stack queued spin lock in the IRQL's form), so the
// stages never run beside a setter. RunEntry allocates nothing.
#pragma once

#include <nt_types.h>
#include <ntkernel.h>
#include <pc_wave_format.h>

class CEffectPath
{
public:
    static constexpr ULONG CHANNELS = 8;
    static constexpr ULONG CHUNK_FRAMES = 512; // 2048-byte buffers

    // Crossfade states: steady, fading to the processed output, fading to the dry signal.
    enum : LONG
    {
        FADE_STEADY = 1,
        FADE_TO_WET = 2,
        FADE_TO_DRY = 3,
    };
    // Which copy a stream hears, by its channel count:
    // - EQ node: the processed one while enabled;
    // - surround node: the same, and for 6 to 8 channels also while a toggle fades;
    // - node 139: its effect is meant for 6- and 8-channel streams only; others stay dry.
    enum OutputRule : ULONG
    {
        OUTPUT_WHEN_ENABLED,
        OUTPUT_WHILE_FADING,
        OUTPUT_SIX_OR_EIGHT,
    };

    CEffectPath(ULONG poolTag, OutputRule rule);
    virtual ~CEffectPath();
    CEffectPath(const CEffectPath &) = delete;
    CEffectPath &operator=(const CEffectPath &) = delete;

    // The two arrays of eight buffer pointers and their buffers (non-paged, the node's tag).
    // STATUS_INSUFFICIENT_RESOURCES on the first failure; what was allocated stays until destruction.
    NTSTATUS AllocateSets();
    BOOLEAN SetsReady() const;

    // One chunk: the PCM channels in `buffers` (one per channel of `format`), processed in place.
    // Other sample types, and streams of 0 or more than eight channels, pass untouched. Chunks longer
    // than the buffers are worked in pieces. Always STATUS_SUCCESS.
    NTSTATUS RunEntry(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames);

    LONG FadeState() const { return m_Fade; }
    KSPIN_LOCK &NodeLock() { return m_NodeLock; }

protected:
    // Called before every chunk: TRUE when a toggle is pending (and is now taken); the node's enabled
    // state is then current.
    virtual BOOLEAN TakeToggle() = 0;
    virtual BOOLEAN IsEnabled() const = 0;
    // FALSE while the node's effect engines are missing: the chunk passes untouched.
    virtual BOOLEAN EffectsReady() const = 0;
    // The stages, under the node lock, on `frames` (at most CHUNK_FRAMES) samples of CHANNELS buffers;
    // channels at or above `channels` hold silence.
    virtual void BeforeCopy(float *const *buffers, ULONG channels, ULONG frames);
    virtual void DryStages(float *const *dry, ULONG channels, ULONG frames) = 0;
    virtual void WetStages(float *const *wet, ULONG channels, ULONG frames) = 0;
    virtual void AfterStages(float *const *wet, ULONG channels, ULONG frames);
    // The dry set's fold to the stereo pair (ConvertChannels, plain rule). The channels it folded in
    // are silenced: the block now carries two channels, and a later node that folds again must not
    // count centre, LFE and the surrounds twice.
    static void FoldToStereo(float *const *set, ULONG channels, ULONG frames);

private:
    void RunPiece(ULONG rate, ULONG channels, float *const *buffers, ULONG frames);
    BOOLEAN HearsWet(ULONG channels, BOOLEAN enabled) const;
    void Crossfade(ULONG rate, float *const *output, ULONG channels, ULONG frames);
    void FreeSets();

    ULONG m_PoolTag;
    OutputRule m_Rule;
    KSPIN_LOCK m_NodeLock;
    float **m_Dry;
    float **m_Wet;
    LONG m_Fade;
    ULONG m_FadePosition; // samples of the current fade done, carried across chunks
};
