// Control transfers on the default pipe: injected faults first, then the device's handler table.
// Answers are capped at wLength; TransferBufferLength gives the bytes returned.
#include "usb_bus_internal.h"

#include <sim/kernel_sim.h>

namespace usbsim
{

NTSTATUS Bus::Impl::Control(PortState &p, PIRP irp, PURB urb, uint64_t seq, ControlRequest req)
{
    auto &r = urb->UrbControlVendorClassRequest;
    if (r.TransferBufferLength && r.TransferBuffer == nullptr)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, ULONG(0));
    if (r.TransferBufferLength > 0xFFFF)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, ULONG(0));
    if (!req.in)
    {
        const auto *b = static_cast<const uint8_t *>(r.TransferBuffer);
        req.data.assign(b, b + req.wLength);
    }

    Held h;
    h.irp = irp;
    h.urb = urb;
    h.kind = HeldKind::Control;
    h.port = p.number;
    h.seq = seq;
    h.due = sim::Now();
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        if (p.power != PowerDeviceD0)
        {
            // A suspended device takes no control transfer.
            return Finish(irp, urb, seq, kLowPowerStatus, USBD_STATUS_NOT_SUPPORTED, ULONG(0));
        }
        // The first live fault that matches decides; FailAfter lets its first `value` through.
        const ControlFault *fault = nullptr;
        for (auto it = faults.begin(); it != faults.end(); ++it)
        {
            FaultEntry &f = it->second;
            if (f.port != p.number || f.fault.times == 0 || !f.match.Matches(req))
                continue;
            if (f.fault.kind == FaultKind::FailAfter && f.passed < f.fault.value)
            {
                ++f.passed;
                break;
            }
            if (f.fault.times > 0)
                --f.fault.times;
            fault = &f.fault;
            break;
        }
        const FaultKind kind = fault ? fault->kind : FaultKind::Delay;
        const bool refused =
            fault && (kind == FaultKind::Stall || kind == FaultKind::Fail || kind == FaultKind::FailAfter);
        ControlReply reply;
        if (!refused)
            reply = p.device->Handle(req);
        if (refused || reply.stall)
        {
            const bool stall = !fault || kind == FaultKind::Stall;
            h.usbd = stall ? USBD_STATUS_STALL_PID : fault->usbdStatus;
            h.status = stall ? STATUS_UNSUCCESSFUL : fault->status;
            h.reportedLength = 0;
        }
        else
        {
            if (req.in)
            {
                if (reply.data.size() > req.wLength)
                    reply.data.resize(req.wLength);
                h.data = std::move(reply.data);
                h.reportedLength = ULONG(h.data.size());
            }
            else
            {
                h.reportedLength = req.wLength;
            }
            if (fault && kind == FaultKind::Short && h.data.size() > fault->value)
            {
                h.data.resize(fault->value);
                h.reportedLength = fault->value;
            }
            if (fault && kind == FaultKind::WrongLength)
                h.reportedLength = fault->value;
        }
        if (fault && kind == FaultKind::Delay)
            h.due = sim::Now() + LONGLONG(fault->value) * 10000;
        if (fault && kind == FaultKind::NoAnswer)
            h.due = -1;
        Bytes logged = req.in ? h.data : req.data;
        UpdateEvent(seq, [&](Event &e) { e.data = std::move(logged); });
    }
    return Answer(std::move(h));
}

} // namespace usbsim
