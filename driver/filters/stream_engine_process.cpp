// The engine's per-block float path: PCM to planar float, the processing passes, and back.
#include "driver/filters/stream_engine.h"
#include "driver/filters/pcm_float.h"

#include "dsp/dispatch/primitives.h"

#include <immintrin.h>

namespace
{

constexpr unsigned kMxcsrFlushToZero = 0x8000;
constexpr unsigned kMxcsrRoundingBits = 0x6000; // cleared: round to nearest

// Widths the float path converts; a block in another width is left as it came.
bool IsConvertedWidth(USHORT type, USHORT bits)
{
    if (type == WAVE_FORMAT_PCM)
        return bits == 16 || bits == 24 || bits == 32;
    return type == WAVE_FORMAT_IEEE_FLOAT && bits == 32;
}

// The primitives' warnings (positive) mean the work was done; only errors end the block.
bool Failed(dsp::Status status)
{
    return status < 0;
}

} // namespace

void CStreamEngine::LogRefusedFormat(const WAVEFORMATEXTENSIBLE &format, const char *why)
{
    if (m_FormatLogged && RtlCompareMemory(&m_LoggedFormat, &format, sizeof(format)) == sizeof(format))
        return;
    RtlCopyMemory(&m_LoggedFormat, &format, sizeof(format));
    m_FormatLogged = TRUE;
    DbgPrint("ProcessBlock %s (tag %u, %u channels, %u bits, block %u)\n", why,
             unsigned(SampleTypeOf(format)), unsigned(format.Format.nChannels),
             unsigned(format.Format.wBitsPerSample), unsigned(format.Format.nBlockAlign));
}

void CStreamEngine::LogBlockSize(ULONG bytes, ULONG blockAlign)
{
    if (m_BlockSizeLogged)
        return;
    m_BlockSizeLogged = TRUE;
    DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", int(bytes),
             int(blockAlign));
}

NTSTATUS CStreamEngine::CheckBlock(const WAVEFORMATEXTENSIBLE &format, ULONG bytes, ULONG *frames,
                                   BOOLEAN *runnable)
{
    const USHORT blockAlign = format.Format.nBlockAlign;
    const USHORT channels = format.Format.nChannels;
    const USHORT bits = format.Format.wBitsPerSample;
    const USHORT type = SampleTypeOf(format);
    *frames = 0;
    *runnable = FALSE;
    if (blockAlign == 0)
    {
        LogRefusedFormat(format, "no format");
        return STATUS_UNSUCCESSFUL;
    }
    if (channels == 0 || channels > ENGINE_MAX_CHANNELS)
    {
        LogRefusedFormat(format, "channel count not supported");
        return STATUS_UNSUCCESSFUL;
    }
    const bool converted = IsConvertedWidth(type, bits);
    // The chunk arithmetic relies on the frame size the header promises.
    if (converted && ULONG(blockAlign) != ULONG(channels) * bits / 8)
    {
        LogRefusedFormat(format, "block size does not match the channels");
        return STATUS_UNSUCCESSFUL;
    }
    if (!m_Scratch || !m_ChannelBuffers)
    {
        LogRefusedFormat(format, "buffers not prepared");
        return STATUS_UNSUCCESSFUL;
    }
    if (bytes % blockAlign != 0)
    {
        LogBlockSize(bytes, blockAlign);
        return STATUS_UNSUCCESSFUL;
    }
    *frames = bytes / blockAlign;
    *runnable = converted ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RunPass(CItemList *list, BOOLEAN stopped, float **buffers, ULONG frames)
{
    if (!list)
        return STATUS_SUCCESS;
    for (CItemList::PNODE node = list->FirstNode(); node; node = node->Next)
    {
        auto *object = static_cast<IProcessingNode *>(node->Item);
        if (!object)
            continue;
        const NTSTATUS status = stopped ? object->StreamStopped(&m_CurrentWaveFormat, buffers, frames)
                                        : object->ProcessBuffers(&m_CurrentWaveFormat, buffers, frames);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RunProcessingNodes(const EngineBlock *block)
{
    if (!block)
        return STATUS_INVALID_PARAMETER;
    return RunPass(m_ProcessingNodes, FALSE, block->Buffers, block->Frames);
}

NTSTATUS CStreamEngine::RunFirstStage(ULONG frames)
{
    return RunPass(m_Stage1, FALSE, m_ChannelBuffers, frames);
}

NTSTATUS CStreamEngine::RunSecondStage(ULONG frames)
{
    return RunPass(m_Stage2, TRUE, m_ChannelBuffers, frames);
}

NTSTATUS CStreamEngine::RunChunks(PUCHAR buffer, ULONG frames, ULONG passes, const ChunkHook *hook)
{
    const WAVEFORMATEXTENSIBLE &format = m_CurrentWaveFormat;
    const ULONG blockAlign = format.Format.nBlockAlign;
    const ULONG channels = format.Format.nChannels;
    const USHORT bits = format.Format.wBitsPerSample;
    const bool pcm = SampleTypeOf(format) == WAVE_FORMAT_PCM;
    auto *const *planes = reinterpret_cast<uint32_t *const *>(m_ChannelBuffers);
    auto *scratch = reinterpret_cast<uint32_t *>(m_Scratch);

    NTSTATUS status = STATUS_SUCCESS;
    while (frames)
    {
        const ULONG chunk = frames < ENGINE_CHUNK_FRAMES ? frames : ENGINE_CHUNK_FRAMES;
        const int32_t samples = int32_t(chunk * channels);
        if (!pcm)
        {
            // Float blocks are worked on in place, interleaved.
            float *interleaved[1] = {reinterpret_cast<float *>(buffer)};
            if (passes & PASS_NODES)
            {
                const EngineBlock block{interleaved, chunk};
                status = RunProcessingNodes(&block);
                if (!NT_SUCCESS(status))
                    return status;
            }
        }
        else
        {
            if (!PcmToFloat(buffer, bits, false, m_Scratch, samples) ||
                Failed(dsp::deinterleave32(scratch, int32_t(channels), int32_t(chunk), planes)))
                return STATUS_UNSUCCESSFUL;

            if (passes & PASS_NODES)
            {
                const EngineBlock block{m_ChannelBuffers, chunk};
                status = RunProcessingNodes(&block);
            }
            if (NT_SUCCESS(status) && (passes & PASS_STAGE1))
                status = RunFirstStage(chunk);
            if (NT_SUCCESS(status) && (passes & PASS_STAGE2))
                status = RunSecondStage(chunk);
            if (NT_SUCCESS(status) && (passes & PASS_CHUNK_HOOK))
                hook->Process(hook->Context, m_ChannelBuffers, channels, chunk);
            if (!NT_SUCCESS(status))
                return status;

            if (Failed(dsp::interleave32(planes, int32_t(channels), int32_t(chunk), scratch)) ||
                !FloatToPcm(m_Scratch, bits, false, buffer, samples, 0))
                return STATUS_UNSUCCESSFUL;
        }
        buffer += SIZE_T(chunk) * blockAlign;
        frames -= chunk;
    }
    return status;
}

NTSTATUS CStreamEngine::ProcessWithFpu(PVOID buffer, ULONG bytes, ULONG passes, BOOLEAN locked,
                                       const ChunkHook *hook)
{
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (!buffer || !m_ProcessingNodes || !m_Stage1 || !m_Stage2)
        return STATUS_INVALID_PARAMETER;

    KFLOATING_SAVE fpu;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&fpu)))
    {
        DbgPrint("Save FPU error\n");
        return STATUS_SUCCESS;
    }
    const unsigned mxcsr = _mm_getcsr();
    _mm_setcsr((mxcsr | kMxcsrFlushToZero) & ~kMxcsrRoundingBits);
    if (locked)
        KefAcquireSpinLockAtDpcLevel(&m_SpinLock);

    // Checked and run under the one acquisition, so a format change cannot come between the two.
    ULONG frames = 0;
    BOOLEAN runnable = FALSE;
    NTSTATUS status = CheckBlock(m_CurrentWaveFormat, bytes, &frames, &runnable);
    // A pass with nothing listed is dropped once per block rather than tested again for every chunk.
    if (m_ProcessingNodes->IsEmpty())
        passes &= ~ULONG(PASS_NODES);
    if (m_Stage1->IsEmpty())
        passes &= ~ULONG(PASS_STAGE1);
    if (m_Stage2->IsEmpty())
        passes &= ~ULONG(PASS_STAGE2);
    if (NT_SUCCESS(status) && runnable && passes != 0)
        status = RunChunks(static_cast<PUCHAR>(buffer), frames, passes, hook);

    if (locked)
        KefReleaseSpinLockFromDpcLevel(&m_SpinLock);
    _mm_setcsr(mxcsr);
    KeRestoreFloatingPointState(&fpu);
    return status;
}

NTSTATUS CStreamEngine::ProcessBlock(PVOID buffer, ULONG bytes)
{
    return ProcessWithFpu(buffer, bytes, PASS_NODES | PASS_STAGE1 | PASS_STAGE2, TRUE);
}

NTSTATUS CStreamEngine::ProcessChunks(PVOID buffer, ULONG bytes, PFN_PROCESS_CHUNK process, PVOID context)
{
    if (!process)
        return STATUS_INVALID_PARAMETER;
    const ChunkHook hook{process, context};
    return ProcessWithFpu(buffer, bytes, PASS_CHUNK_HOOK, TRUE, &hook);
}

NTSTATUS CStreamEngine::ProcessNodes(PVOID buffer, ULONG bytes)
{
    if (bytes == 0 || !m_ProcessingNodes || m_ProcessingNodes->IsEmpty())
        return STATUS_SUCCESS;
    return ProcessWithFpu(buffer, bytes, PASS_NODES, FALSE);
}

NTSTATUS CStreamEngine::ProcessWholeStage(CItemList *list, BOOLEAN stopped, PVOID buffer, ULONG bytes)
{
    if (!list)
        return STATUS_SUCCESS;
    // The stage lists and the format are guarded by the engine lock. Callers come at PASSIVE or
    // DISPATCH_LEVEL, so the lock is taken with a raise rather than at DPC level.
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_SpinLock, &oldIrql);
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    if (list->IsEmpty() || SampleTypeOf(m_CurrentWaveFormat) != WAVE_FORMAT_PCM)
        status = STATUS_SUCCESS;
    else if (blockAlign == 0)
        status = STATUS_UNSUCCESSFUL;
    else if (bytes % blockAlign != 0)
    {
        LogBlockSize(bytes, blockAlign);
        status = STATUS_UNSUCCESSFUL;
    }
    else
    {
        float *whole[1] = {static_cast<float *>(buffer)};
        status = RunPass(list, stopped, whole, bytes / blockAlign);
    }
    KeReleaseSpinLock(&m_SpinLock, oldIrql);
    return status;
}

NTSTATUS CStreamEngine::ProcessFirstStage(PVOID buffer, ULONG bytes)
{
    return ProcessWholeStage(m_Stage1, FALSE, buffer, bytes);
}

NTSTATUS CStreamEngine::ProcessSecondStage(PVOID buffer, ULONG bytes)
{
    return ProcessWholeStage(m_Stage2, TRUE, buffer, bytes);
}
