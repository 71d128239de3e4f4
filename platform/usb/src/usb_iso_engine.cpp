// The isochronous engine: URB checks, frame scheduling, cancellation and completion.
//
// Transfers wait in their pipe's queue in frame order. Packets are served lazily: whenever the engine
// looks at a pipe (its DPC at the end of a transfer's last frame, an abort, a cancel) every packet of a
// frame that has ended is served, so a transfer cut short still delivered what its elapsed frames
// carried. Ended transfers move to one completion list that only the engine's DPC empties, which keeps
// completions in order per pipe and always on the DPC thread at DISPATCH_LEVEL.
#include "usb_iso_internal.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <unordered_map>

#include <sim/kernel_sim.h>

namespace usbsim
{

namespace
{

constexpr LONGLONG kTicksPerFrame = 10000; // 1 ms in 100 ns units
constexpr int64_t kScheduleHorizon = 1024; // frames ahead a start frame may lie

struct Transfer
{
    PIRP irp;
    PURB urb;
    IsoPipeId pipe;
    uint8_t endpoint;
    uint64_t startAbs; // absolute frame (virtual ms since boot)
    uint32_t packets;
    uint32_t perFrame;
    uint32_t served = 0;
    uint64_t firstPacketSeq;
    bool failScripted = false;
    USBD_STATUS failStatus = USBD_STATUS_SUCCESS;
    USBD_STATUS firstError = USBD_STATUS_SUCCESS;
    uint32_t errors = 0;
    uint64_t bytes = 0;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    NTSTATUS irpStatus = STATUS_SUCCESS;
    bool cancelRace = false; // our cancel-routine exchange lost: the cancel routine is on its way
    bool cancelSeen = false; // ... and has arrived
    uint64_t LastAbs() const { return startAbs + packets / perFrame - 1; }
};

struct Pipe
{
    IsoPipeDesc desc;
    uint32_t perFrame;
    uint32_t maxBytes;
    std::deque<Transfer *> queue;
    bool hasSchedule = false;
    uint64_t lastAbs = 0; // last frame scheduled, when hasSchedule
};

const char *DirectionName(uint8_t endpoint)
{
    return (endpoint & 0x80) ? "in" : "out";
}

std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Synchronous completions started from inside a synchronous completion wait here, so that a driver
// resubmitting from its completion routine does not recurse without bound.
struct SyncCompletion
{
    PIRP irp;
    NTSTATUS status;
};
thread_local int t_syncDepth = 0;
thread_local std::deque<SyncCompletion> t_syncPending;

void CompleteAtDispatch(PIRP irp, NTSTATUS status)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

} // namespace

struct IsoEngine::State
{
    mutable KSPIN_LOCK lock;
    KTIMER timer;
    KDPC dpc;
    KEVENT drained; // notification: set after completions, cleared by waiters under the lock

    std::map<IsoPipeId, Pipe> pipes;
    IsoPipeId nextPipe = 1;
    std::map<uint8_t, iso::Endpoint> endpoints;
    std::deque<Transfer *> completions;
    std::unordered_map<PIRP, Transfer *> byIrp; // every transfer the engine holds
    uint64_t movedToCompletion = 0, completed = 0;

    bool armed = false;
    LONGLONG armedDue = 0;
    bool dpcQueued = false, dpcRunning = false, closing = false;
    bool refusing = false;
    NTSTATUS refuseIrp = STATUS_SUCCESS;
    USBD_STATUS refuseUrb = USBD_STATUS_SUCCESS;
    bool synchronous = false;
    ULONG origin = 0;
    bool keepOut = true;
    LogSink sink;
    SubmitHook submitHook;
    std::vector<std::string> log, pendingLines; // pendingLines: for the sink, delivered outside the lock
    std::atomic<bool> flushing{false};

    struct Guard
    {
        explicit Guard(const State &s) : lock(&s.lock) { KeAcquireSpinLock(lock, &old); }
        ~Guard() { KeReleaseSpinLock(lock, old); }
        PKSPIN_LOCK lock;
        KIRQL old;
    };

    static uint64_t AbsNow() { return uint64_t(sim::Now()) / kTicksPerFrame; }
    ULONG BusFrame(uint64_t abs) const { return ULONG(abs + origin); }

    void LogLocked(std::string line) { (sink ? pendingLines : log).push_back(std::move(line)); }

    // Hands pending lines to the sink in order, without the engine's lock, so the sink may take locks
    // of its own or call the engine. Nobody waits here: whoever finds a flush running (on another
    // thread, or further up its own stack) leaves its lines to it.
    void FlushLog()
    {
        for (;;)
        {
            bool idle = false;
            if (!flushing.compare_exchange_strong(idle, true))
                return;
            for (;;)
            {
                std::vector<std::string> lines;
                LogSink to;
                {
                    Guard g(*this);
                    lines.swap(pendingLines);
                    if (!lines.empty())
                        to = sink;
                }
                if (lines.empty())
                    break;
                for (const std::string &l : lines)
                    to(l);
            }
            flushing.store(false);
            Guard g(*this);
            if (pendingLines.empty())
                return;
        }
    }
    struct FlushOnExit
    {
        State &s;
        ~FlushOnExit() { s.FlushLog(); }
    };

    iso::Endpoint &Ep(uint8_t address) { return endpoints[address]; }

    // ---- Serving packets ----
    void ServePacketLocked(Pipe &pipe, Transfer &t, uint32_t i)
    {
        iso::Endpoint &ep = Ep(t.endpoint);
        URB_ISOCH_TRANSFER &u = t.urb->UrbIsochronousTransfer;
        USBD_ISO_PACKET_DESCRIPTOR &pk = u.IsoPacket[i];
        iso::PacketContext ctx;
        ctx.frame = BusFrame(t.startAbs + i / t.perFrame);
        ctx.microframe = pipe.desc.highSpeed ? uint8_t((i % t.perFrame) * (8 / t.perFrame)) : 0;
        ctx.sequence = t.firstPacketSeq + i;
        ctx.perFrame = t.perFrame;
        ctx.highSpeed = pipe.desc.highSpeed;
        ctx.feedbackPipe = pipe.desc.feedback || (pipe.desc.bmAttributes & 0x30) == 0x10;
        ctx.buffer = static_cast<uint8_t *>(u.TransferBuffer) + pk.Offset;
        const ULONG end = i + 1 < u.NumberOfPackets ? u.IsoPacket[i + 1].Offset : u.TransferBufferLength;
        ctx.slot = end - pk.Offset;
        ctx.maxBytes = pipe.maxBytes;
        ctx.keepOut = keepOut;
        ctx.failed = t.failScripted;
        iso::PacketResult r = (t.endpoint & 0x80) ? iso::ServeIn(ep, ctx) : iso::ServeOut(ep, ctx, pk.Length);
        if (t.endpoint & 0x80)
            pk.Length = r.length;
        pk.Status = r.status;
        if (USBD_ERROR(r.status))
        {
            if (t.errors++ == 0)
                t.firstError = r.status;
        }
        else
        {
            t.bytes += r.length;
        }
    }

    // Serves, in queue order, every packet whose frame ended before `uptoAbs`.
    void ServePipeLocked(Pipe &pipe, uint64_t uptoAbs)
    {
        for (Transfer *t : pipe.queue)
        {
            while (t->served < t->packets && t->startAbs + t->served / t->perFrame < uptoAbs)
                ServePacketLocked(pipe, *t, t->served++);
            if (t->served < t->packets)
                break;
        }
    }

    // Decides the transfer's statuses and writes the URB's results. Packets not served were never sent.
    void FinishLocked(Transfer &t, bool ended, NTSTATUS irpStatus)
    {
        URB_ISOCH_TRANSFER &u = t.urb->UrbIsochronousTransfer;
        for (uint32_t i = t.served; i < t.packets; ++i)
        {
            if (t.endpoint & 0x80)
                u.IsoPacket[i].Length = 0;
            u.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
            ++t.errors;
        }
        if (!ended)
        {
            t.irpStatus = irpStatus;
            t.urbStatus = IsoUrbStatusFor(irpStatus);
        }
        else if (t.failScripted)
        {
            t.urbStatus = t.failStatus;
            t.irpStatus = IsoIrpStatusFor(t.failStatus);
        }
        else
        {
            t.urbStatus = t.firstError;
            t.irpStatus = IsoIrpStatusFor(t.firstError);
        }
        u.Hdr.Status = t.urbStatus;
        u.ErrorCount = t.errors;
        u.TransferBufferLength = ULONG(t.bytes);
        LogLocked(Format(
            "iso complete pipe %u ep 0x%02X start %lu packets %u status 0x%08X urb 0x%08X bytes %" PRIu64
            " errors %u",
            t.pipe, t.endpoint, (unsigned long)BusFrame(t.startAbs), t.packets, unsigned(t.irpStatus),
            unsigned(t.urbStatus), t.bytes, t.errors));
    }

    // Hands an ended transfer to the DPC. cancelCleared: the caller already took the cancel routine back.
    void MoveToCompletionLocked(Transfer *t, bool cancelCleared)
    {
        if (!cancelCleared && IoSetCancelRoutine(t->irp, nullptr) == nullptr)
            t->cancelRace = true;
        completions.push_back(t);
        ++movedToCompletion;
        QueueDpcLocked();
    }

    // A running DPC looks at the list again before it returns, so it needs no second run.
    void QueueDpcLocked()
    {
        if (!dpcQueued && !dpcRunning)
        {
            dpcQueued = true;
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
        }
    }

    // Ends every transfer of the pipe now (abort, close, unplug, reset); returns how many.
    size_t EndPipeLocked(Pipe &pipe, NTSTATUS irpStatus)
    {
        ServePipeLocked(pipe, AbsNow());
        size_t n = pipe.queue.size();
        for (Transfer *t : pipe.queue)
        {
            FinishLocked(*t, false, irpStatus);
            MoveToCompletionLocked(t, false);
        }
        pipe.queue.clear();
        pipe.hasSchedule = false;
        return n;
    }

    // ClosePipe and AbortPipe: end the pipe's transfers, and wait for their completion.
    NTSTATUS EndPipe(IsoPipeId id, NTSTATUS irpStatus, bool close)
    {
        FlushOnExit f{*this};
        uint64_t target;
        {
            Guard g(*this);
            auto it = pipes.find(id);
            if (it == pipes.end())
                return STATUS_INVALID_PARAMETER;
            const size_t n = EndPipeLocked(it->second, irpStatus);
            LogLocked(Format("iso %s pipe %u ep 0x%02X transfers %zu", close ? "close" : "abort", id,
                             it->second.desc.bEndpointAddress, n));
            if (close)
                pipes.erase(it);
            ArmLocked();
            target = movedToCompletion;
        }
        WaitCompleted(target);
        return STATUS_SUCCESS;
    }

    void ArmLocked()
    {
        bool any = false;
        uint64_t next = 0;
        for (auto &[id, pipe] : pipes)
            if (!pipe.queue.empty())
            {
                uint64_t due = pipe.queue.front()->LastAbs() + 1;
                if (!any || due < next)
                    next = due;
                any = true;
            }
        if (!any || closing)
        {
            if (armed)
                KeCancelTimer(&timer);
            armed = false;
            return;
        }
        const LONGLONG dueTicks = LONGLONG(next) * kTicksPerFrame;
        if (armed && armedDue == dueTicks)
            return;
        LARGE_INTEGER rel;
        rel.QuadPart = -std::max<LONGLONG>(dueTicks - sim::Now(), 1);
        KeSetTimer(&timer, rel, &dpc);
        armed = true;
        armedDue = dueTicks;
    }

    // Waits (at PASSIVE_LEVEL only) until the first `target` transfers handed to the DPC are completed.
    void WaitCompleted(uint64_t target)
    {
        if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
            return;
        for (;;)
        {
            {
                Guard g(*this);
                if (completed >= target)
                    return;
                KeClearEvent(&drained);
            }
            KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, nullptr);
        }
    }

    void Dpc(PKEVENT flush)
    {
        {
            Guard g(*this);
            dpcQueued = false;
            dpcRunning = true;
            armed = false;
            const uint64_t now = AbsNow();
            for (auto &[id, pipe] : pipes)
            {
                ServePipeLocked(pipe, now);
                while (!pipe.queue.empty() && pipe.queue.front()->LastAbs() < now)
                {
                    Transfer *t = pipe.queue.front();
                    pipe.queue.pop_front();
                    FinishLocked(*t, true, STATUS_SUCCESS);
                    MoveToCompletionLocked(t, false);
                }
            }
            ArmLocked();
        }
        // Once dpcRunning is clear the engine may be destroyed: nothing of it is touched after that.
        for (;;)
        {
            Transfer *t = nullptr;
            {
                Guard g(*this);
                const bool blocked = !completions.empty() && completions.front()->cancelRace &&
                                     !completions.front()->cancelSeen; // its cancel routine queues us again
                if (!completions.empty() && !blocked)
                {
                    t = completions.front();
                    completions.pop_front();
                    byIrp.erase(t->irp);
                }
                else if (pendingLines.empty() || flushing.load())
                {
                    KeSetEvent(&drained, IO_NO_INCREMENT, FALSE);
                    dpcRunning = false;
                    break;
                }
            }
            if (t == nullptr)
            {
                FlushLog();
                continue;
            }
            PIRP irp = t->irp;
            NTSTATUS status = t->irpStatus;
            delete t;
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            Guard g(*this);
            ++completed;
        }
        if (flush)
            KeSetEvent(flush, IO_NO_INCREMENT, FALSE);
    }

    static VOID DpcRoutine(PKDPC, PVOID context, PVOID arg1, PVOID)
    {
        static_cast<State *>(context)->Dpc(static_cast<PKEVENT>(arg1));
    }

    // Runs on the canceller's thread; what it logs, the DPC it queues hands to the sink.
    void OnCancel(PIRP irp)
    {
        Guard g(*this);
        auto it = byIrp.find(irp);
        if (it == byIrp.end())
            return;
        Transfer *t = it->second;
        auto p = pipes.find(t->pipe);
        if (p != pipes.end())
        {
            auto q = std::find(p->second.queue.begin(), p->second.queue.end(), t);
            if (q != p->second.queue.end())
            {
                ServePipeLocked(p->second, AbsNow());
                p->second.queue.erase(q);
                FinishLocked(*t, false, STATUS_CANCELLED);
                LogLocked(Format("iso cancel pipe %u ep 0x%02X", t->pipe, t->endpoint));
                MoveToCompletionLocked(t, true);
                t->cancelSeen = true;
                ArmLocked();
                return;
            }
        }
        // Already ended: the DPC held it back for us; its own status stands.
        t->cancelSeen = true;
        QueueDpcLocked();
    }

    static VOID CancelRoutine(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        static_cast<State *>(irp->Tail.Overlay.DriverContext[0])->OnCancel(irp);
    }

    // ---- Submission ----
    struct Verdict
    {
        std::string violation;
        USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
        NTSTATUS irpStatus = STATUS_SUCCESS;
    };

    // The checks on the URB itself; "" when it is well formed.
    static std::string CheckUrb(const Pipe &pipe, const URB_ISOCH_TRANSFER &u)
    {
        const bool in = (pipe.desc.bEndpointAddress & 0x80) != 0;
        if ((pipe.desc.bmAttributes & 3) != 1)
            return Format("endpoint 0x%02X is not isochronous", pipe.desc.bEndpointAddress);
        if (bool(u.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != in)
            return Format("%s transfer on %s endpoint 0x%02X", in ? "OUT" : "IN", in ? "IN" : "OUT",
                          pipe.desc.bEndpointAddress);
        if (u.NumberOfPackets == 0 || u.NumberOfPackets % pipe.perFrame != 0)
            return Format("%u packets is not a non-zero multiple of %u per frame",
                          unsigned(u.NumberOfPackets), pipe.perFrame);
        const size_t need = offsetof(URB_ISOCH_TRANSFER, IsoPacket) +
                            size_t(u.NumberOfPackets) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
        if (u.Hdr.Length < need)
            return Format("header Length %u below %zu for %u packets", unsigned(u.Hdr.Length), need,
                          unsigned(u.NumberOfPackets));
        if (u.TransferBuffer == nullptr)
            return u.TransferBufferMDL ? "MDL transfer buffers are not supported" : "no transfer buffer";
        for (ULONG i = 0; i < u.NumberOfPackets; ++i)
        {
            const USBD_ISO_PACKET_DESCRIPTOR &p = u.IsoPacket[i];
            if (i > 0 && p.Offset < u.IsoPacket[i - 1].Offset)
                return Format("packet %u Offset %u below the previous packet's", unsigned(i),
                              unsigned(p.Offset));
            if (p.Offset > u.TransferBufferLength)
                return Format("packet %u Offset %u past TransferBufferLength %u", unsigned(i),
                              unsigned(p.Offset), unsigned(u.TransferBufferLength));
            if (in)
                continue;
            if (p.Length > pipe.maxBytes)
                return Format("packet %u Length %u above wMaxPacketSize %u", unsigned(i), unsigned(p.Length),
                              pipe.maxBytes);
            if (uint64_t(p.Offset) + p.Length > u.TransferBufferLength)
                return Format("packet %u ends at %" PRIu64 ", past TransferBufferLength %u", unsigned(i),
                              uint64_t(p.Offset) + p.Length, unsigned(u.TransferBufferLength));
            if (i + 1 < u.NumberOfPackets && p.Offset + p.Length > u.IsoPacket[i + 1].Offset)
                return Format("packet %u overlaps packet %u", unsigned(i), unsigned(i + 1));
        }
        return "";
    }
};

// ---- Free functions ---------------------------------------------------------------------------------

uint32_t IsoPacketsPerFrame(const IsoPipeDesc &desc)
{
    if (!desc.highSpeed)
        return 1;
    const unsigned interval = std::clamp<unsigned>(desc.bInterval, 1, 4);
    return 8u >> (interval - 1);
}

uint32_t IsoMaxPacketBytes(const IsoPipeDesc &desc)
{
    const uint32_t base = desc.wMaxPacketSize & 0x7FF;
    return desc.highSpeed ? base * (1 + ((desc.wMaxPacketSize >> 11) & 3)) : base;
}

NTSTATUS IsoIrpStatusFor(USBD_STATUS s)
{
    if (USBD_SUCCESS(s))
        return STATUS_SUCCESS;
    switch (s)
    {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

USBD_STATUS IsoUrbStatusFor(NTSTATUS s)
{
    if (NT_SUCCESS(s))
        return USBD_STATUS_SUCCESS;
    switch (s)
    {
    case STATUS_CANCELLED:
        return USBD_STATUS_CANCELED;
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_NO_SUCH_DEVICE:
        return USBD_STATUS_DEVICE_GONE;
    case STATUS_INVALID_PARAMETER:
        return USBD_STATUS_INVALID_PARAMETER;
    default:
        return USBD_STATUS_REQUEST_FAILED;
    }
}

// ---- Engine -----------------------------------------------------------------------------------------

IsoEngine::IsoEngine() : m(std::make_unique<State>())
{
    KeInitializeSpinLock(&m->lock);
    KeInitializeTimer(&m->timer);
    KeInitializeDpc(&m->dpc, &State::DpcRoutine, m.get());
    KeInitializeEvent(&m->drained, NotificationEvent, FALSE);
}

IsoEngine::~IsoEngine()
{
    bool busy;
    {
        State::Guard g(*m);
        m->closing = true;
        for (auto &[id, pipe] : m->pipes)
            m->EndPipeLocked(pipe, STATUS_CANCELLED);
        busy = m->armed || m->dpcQueued || m->dpcRunning || !m->completions.empty();
        if (m->armed)
            KeCancelTimer(&m->timer);
        m->armed = false;
    }
    // One more run of the DPC with a flush event: the DPC thread runs them one at a time, so once it
    // signals, no earlier run is still on its way.
    for (int round = 0; busy && round < 100; ++round)
    {
        KeRemoveQueueDpc(&m->dpc);
        KEVENT flush;
        KeInitializeEvent(&flush, NotificationEvent, FALSE);
        {
            State::Guard g(*m);
            m->dpcQueued = true;
            KeInsertQueueDpc(&m->dpc, &flush, nullptr);
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10 * 1000 * kTicksPerFrame; // 10 s
        if (KeWaitForSingleObject(&flush, Executive, KernelMode, FALSE, &timeout) != STATUS_WAIT_0)
        {
            sim::ReportViolation("isochronous engine destroyed while its DPC could not run");
            break;
        }
        State::Guard g(*m);
        busy = !m->completions.empty();
    }
    m->FlushLog();
    State::Guard g(*m);
    for (Transfer *t : m->completions)
        delete t;
    m->completions.clear();
}

IsoPipeId IsoEngine::OpenPipe(const IsoPipeDesc &desc)
{
    State::FlushOnExit f{*m};
    State::Guard g(*m);
    IsoPipeId id = m->nextPipe++;
    Pipe &p = m->pipes[id];
    p.desc = desc;
    p.perFrame = IsoPacketsPerFrame(desc);
    p.maxBytes = IsoMaxPacketBytes(desc);
    m->LogLocked(Format("iso open pipe %u ep 0x%02X max %u interval %u packets/frame %u", id,
                        desc.bEndpointAddress, p.maxBytes, desc.bInterval, p.perFrame));
    return id;
}

NTSTATUS IsoEngine::ClosePipe(IsoPipeId id, NTSTATUS irpStatus)
{
    return m->EndPipe(id, irpStatus, true);
}

NTSTATUS IsoEngine::AbortPipe(IsoPipeId id)
{
    return m->EndPipe(id, STATUS_CANCELLED, false);
}

void IsoEngine::FailAll(NTSTATUS irpStatus)
{
    State::FlushOnExit f{*m};
    uint64_t target;
    {
        State::Guard g(*m);
        size_t n = 0;
        for (auto &[id, pipe] : m->pipes)
            n += m->EndPipeLocked(pipe, irpStatus);
        m->LogLocked(Format("iso end-all status 0x%08X transfers %zu", unsigned(irpStatus), n));
        m->ArmLocked();
        target = m->movedToCompletion;
    }
    m->WaitCompleted(target);
}

void IsoEngine::CancelAll()
{
    FailAll(STATUS_CANCELLED);
}

bool IsoEngine::PipeOpen(IsoPipeId id) const
{
    State::Guard g(*m);
    return m->pipes.count(id) != 0;
}

size_t IsoEngine::Outstanding(IsoPipeId id) const
{
    State::Guard g(*m);
    size_t n = 0;
    for (const auto &[irp, t] : m->byIrp)
        if (t->pipe == id)
            ++n;
    return n;
}

size_t IsoEngine::Outstanding() const
{
    State::Guard g(*m);
    return m->byIrp.size();
}

NTSTATUS IsoEngine::Submit(IsoPipeId pipeId, PIRP irp, PURB urb)
{
    State::FlushOnExit f{*m};
    SubmitHook hook;
    {
        State::Guard g(*m);
        hook = m->submitHook;
    }
    if (hook)
        hook(pipeId, urb);
    if (irp == nullptr)
    {
        sim::ReportViolation("isochronous URB: submitted without an IRP");
        return STATUS_INVALID_PARAMETER;
    }
    State::Verdict v;
    bool completeNow = false, pending = false, atDispatch = false;
    {
        State::Guard g(*m);
        auto it = m->pipes.find(pipeId);
        const uint8_t epAddr = it != m->pipes.end() ? it->second.desc.bEndpointAddress : 0;
        auto reject = [&](USBD_STATUS urbStatus, std::string why, bool violation)
        {
            v.urbStatus = urbStatus;
            v.irpStatus = IsoIrpStatusFor(urbStatus);
            m->LogLocked(Format("iso reject pipe %u ep 0x%02X: ", pipeId, epAddr) + why);
            if (violation)
                v.violation = "isochronous URB: " + why;
            completeNow = true;
        };
        if (m->refusing)
        {
            v.urbStatus = m->refuseUrb;
            v.irpStatus = m->refuseIrp;
            m->LogLocked(Format("iso refused pipe %u ep 0x%02X status 0x%08X", pipeId, epAddr,
                                unsigned(m->refuseIrp)));
            completeNow = true;
        }
        else if (urb == nullptr)
        {
            reject(USBD_STATUS_INVALID_PARAMETER, "no URB", true);
        }
        else if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER)
        {
            reject(USBD_STATUS_INVALID_URB_FUNCTION,
                   Format("function 0x%04X is not URB_FUNCTION_ISOCH_TRANSFER", urb->UrbHeader.Function),
                   true);
        }
        else if (urb->UrbHeader.Length < offsetof(URB_ISOCH_TRANSFER, IsoPacket))
        {
            reject(USBD_STATUS_INVALID_PARAMETER,
                   Format("header Length %u below the fixed part", unsigned(urb->UrbHeader.Length)), true);
        }
        else if (it == m->pipes.end())
        {
            reject(USBD_STATUS_INVALID_PIPE_HANDLE,
                   pipeId == 0            ? std::string("stale or unknown pipe handle")
                   : pipeId < m->nextPipe ? Format("stale pipe handle (pipe %u closed)", pipeId)
                                          : Format("unknown pipe handle (pipe %u)", pipeId),
                   true);
        }
        else if (std::string why = State::CheckUrb(it->second, urb->UrbIsochronousTransfer); !why.empty())
        {
            reject(USBD_STATUS_INVALID_PARAMETER, why, true);
        }
        if (!completeNow)
        {
            Pipe &pipe = it->second;
            URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
            iso::Endpoint &ep = m->Ep(epAddr);
            const uint64_t now = State::AbsNow();
            const bool asap = (u.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0;
            const ULONG cur = m->BusFrame(now);
            // Frames ahead of the running one; the 32-bit numbers compare across their wrap.
            int64_t ahead;
            if (asap)
                ahead = int64_t((pipe.hasSchedule ? std::max(pipe.lastAbs + 1, now + 1) : now + 1) - now);
            else
                ahead = int32_t(u.StartFrame - cur);
            const uint64_t start = now + uint64_t(ahead);
            const uint64_t frames = u.NumberOfPackets / pipe.perFrame;
            if (ahead < 0)
            {
                reject(USBD_STATUS_BAD_START_FRAME,
                       Format("start frame %lu is in the past (current %lu)", (unsigned long)u.StartFrame,
                              (unsigned long)cur),
                       false);
            }
            else if (ahead >= kScheduleHorizon)
            {
                reject(USBD_STATUS_BAD_START_FRAME,
                       Format("start frame %lu is 1024 or more frames ahead (current %lu)",
                              (unsigned long)m->BusFrame(start), (unsigned long)cur),
                       false);
            }
            else if (!asap && pipe.hasSchedule && start <= pipe.lastAbs)
            {
                reject(USBD_STATUS_BAD_START_FRAME,
                       Format("start frame %lu overlaps the pipe's schedule (last %lu)",
                              (unsigned long)u.StartFrame, (unsigned long)m->BusFrame(pipe.lastAbs)),
                       false);
            }
            else
            {
                const uint64_t seq = ep.nextTransferSeq++;
                auto fail = ep.transferFailures.find(seq);
                bool failNow = false;
                auto *t = new Transfer{};
                t->irp = irp;
                t->urb = urb;
                t->pipe = pipeId;
                t->endpoint = epAddr;
                t->startAbs = start;
                t->packets = u.NumberOfPackets;
                t->perFrame = pipe.perFrame;
                t->firstPacketSeq = ep.nextPacketSeq;
                ep.nextPacketSeq += u.NumberOfPackets;
                if (fail != ep.transferFailures.end())
                {
                    t->failScripted = true;
                    t->failStatus = fail->second.urbStatus;
                    failNow = fail->second.atSubmission;
                    ep.transferFailures.erase(fail);
                }
                if (failNow)
                {
                    v.urbStatus = t->failStatus;
                    delete t;
                    v.irpStatus = IsoIrpStatusFor(v.urbStatus);
                    m->LogLocked(Format("iso fail pipe %u ep 0x%02X urb 0x%08X", pipeId, epAddr,
                                        unsigned(v.urbStatus)));
                    completeNow = true;
                }
                else
                {
                    u.StartFrame = m->BusFrame(start);
                    u.Hdr.Status = USBD_STATUS_PENDING;
                    u.ErrorCount = 0;
                    pipe.hasSchedule = true;
                    pipe.lastAbs = start + frames - 1;
                    m->LogLocked(Format("iso submit pipe %u ep 0x%02X %s start %lu packets %u bytes %u%s",
                                        pipeId, epAddr, DirectionName(epAddr), (unsigned long)u.StartFrame,
                                        unsigned(u.NumberOfPackets), unsigned(u.TransferBufferLength),
                                        asap ? " asap" : ""));
                    if (m->synchronous)
                    {
                        pipe.queue.push_back(t);
                        m->ServePipeLocked(pipe, t->LastAbs() + 1);
                        pipe.queue.pop_back();
                        m->FinishLocked(*t, true, STATUS_SUCCESS);
                        v.irpStatus = t->irpStatus;
                        delete t;
                        if (t_syncDepth > 0)
                        {
                            IoMarkIrpPending(irp);
                            t_syncPending.push_back({irp, v.irpStatus});
                            pending = true;
                        }
                        else
                        {
                            completeNow = atDispatch = true;
                        }
                    }
                    else
                    {
                        irp->Tail.Overlay.DriverContext[0] = m.get();
                        IoMarkIrpPending(irp);
                        m->byIrp[irp] = t;
                        pipe.queue.push_back(t);
                        IoSetCancelRoutine(irp, &State::CancelRoutine);
                        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
                        {
                            pipe.queue.pop_back();
                            m->FinishLocked(*t, false, STATUS_CANCELLED);
                            m->MoveToCompletionLocked(t, true);
                        }
                        m->ArmLocked();
                        pending = true;
                    }
                }
            }
        }
    }
    if (!v.violation.empty())
        sim::ReportViolation(v.violation);
    if (pending || !completeNow)
        return STATUS_PENDING;
    if (urb != nullptr)
        urb->UrbHeader.Status = v.urbStatus;
    if (atDispatch)
    {
        // Inline completion at DISPATCH_LEVEL; ones started by its routine follow before we return.
        ++t_syncDepth;
        CompleteAtDispatch(irp, v.irpStatus);
        while (!t_syncPending.empty())
        {
            SyncCompletion c = t_syncPending.front();
            t_syncPending.pop_front();
            CompleteAtDispatch(c.irp, c.status);
        }
        --t_syncDepth;
        return v.irpStatus;
    }
    irp->IoStatus.Status = v.irpStatus;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return v.irpStatus;
}

void IsoEngine::Refuse(NTSTATUS irpStatus, USBD_STATUS urbStatus)
{
    State::Guard g(*m);
    m->refusing = true;
    m->refuseIrp = irpStatus;
    m->refuseUrb = urbStatus;
}

void IsoEngine::StopRefusing()
{
    State::Guard g(*m);
    m->refusing = false;
}

void IsoEngine::SetSynchronous(bool synchronous)
{
    State::Guard g(*m);
    m->synchronous = synchronous;
}

ULONG IsoEngine::CurrentFrame() const
{
    State::Guard g(*m);
    return m->BusFrame(State::AbsNow());
}

void IsoEngine::SetFrameOrigin(ULONG origin)
{
    State::Guard g(*m);
    m->origin = origin;
}

// ---- Endpoint behaviour -----------------------------------------------------------------------------

void IsoEngine::SetStreamFormat(uint8_t endpoint, const IsoStreamFormat &format)
{
    State::Guard g(*m);
    iso::Endpoint &ep = m->Ep(endpoint);
    ep.format = format;
    ep.accumulator = 0;
}

void IsoEngine::SetStreamRate(uint8_t endpoint, uint32_t sampleRate)
{
    State::FlushOnExit f{*m};
    State::Guard g(*m);
    iso::Endpoint &ep = m->Ep(endpoint);
    ep.format.sampleRate = sampleRate;
    ep.accumulator = 0;
    m->LogLocked(Format("iso rate ep 0x%02X %u", endpoint, sampleRate));
}

IsoStreamFormat IsoEngine::StreamFormat(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? IsoStreamFormat{} : it->second.format;
}

void IsoEngine::SetPattern(uint8_t endpoint, IsoPattern pattern, double frequencyHz, double amplitude)
{
    State::Guard g(*m);
    iso::Endpoint &ep = m->Ep(endpoint);
    ep.pattern = pattern;
    ep.frequency = frequencyHz;
    ep.amplitude = amplitude;
}

void IsoEngine::SetFeedbackValue(uint8_t endpoint, uint32_t value)
{
    State::Guard g(*m);
    iso::Endpoint &ep = m->Ep(endpoint);
    ep.feedbackSet = true;
    ep.feedback = value;
}

uint64_t IsoEngine::NextPacketSequence(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? 0 : it->second.nextPacketSeq;
}

void IsoEngine::ScriptPacket(uint8_t endpoint, uint64_t sequence, IsoPacketScript kind, uint32_t bytes,
                             USBD_STATUS status)
{
    State::Guard g(*m);
    m->Ep(endpoint).packetScripts[sequence] = iso::PacketScriptEntry{kind, bytes, status};
}

uint64_t IsoEngine::NextTransferSequence(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? 0 : it->second.nextTransferSeq;
}

void IsoEngine::ScriptTransferFailure(uint8_t endpoint, uint64_t sequence, bool atSubmission,
                                      USBD_STATUS urbStatus)
{
    State::Guard g(*m);
    m->Ep(endpoint).transferFailures[sequence] = iso::TransferFailure{atSubmission, urbStatus};
}

std::vector<IsoOutPacket> IsoEngine::OutPackets(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? std::vector<IsoOutPacket>{} : it->second.out;
}

uint64_t IsoEngine::OutBytes(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? 0 : it->second.outBytes;
}

uint64_t IsoEngine::OutPacketCount(uint8_t endpoint) const
{
    State::Guard g(*m);
    auto it = m->endpoints.find(endpoint);
    return it == m->endpoints.end() ? 0 : it->second.outPackets;
}

void IsoEngine::ClearOutPackets(uint8_t endpoint)
{
    State::Guard g(*m);
    m->Ep(endpoint).out.clear();
}

std::vector<IsoOutPacket> IsoEngine::TakeOutPackets(uint8_t endpoint)
{
    State::Guard g(*m);
    std::vector<IsoOutPacket> taken;
    taken.swap(m->Ep(endpoint).out);
    return taken;
}

void IsoEngine::KeepOutPackets(bool keep)
{
    State::Guard g(*m);
    m->keepOut = keep;
}

void IsoEngine::SetSubmitHook(SubmitHook hook)
{
    State::Guard g(*m);
    m->submitHook = std::move(hook);
}

void IsoEngine::SetLogSink(LogSink sink)
{
    State::Guard g(*m);
    m->sink = std::move(sink);
}

std::vector<std::string> IsoEngine::Log() const
{
    State::Guard g(*m);
    return m->log;
}

void IsoEngine::ClearLog()
{
    State::Guard g(*m);
    m->log.clear();
}

} // namespace usbsim
