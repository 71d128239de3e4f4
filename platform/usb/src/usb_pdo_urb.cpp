// URBs on the PDO: decoding, selections with their length checks, pipe handles, pipe requests, bulk
// and interrupt transfers, and the hand-over of isochronous transfers to the port's engine.
#include "usb_bus_internal.h"

#include <sim/kernel_sim.h>
#include <usbd_lib.h>

namespace usbsim
{

namespace
{

// Calls f(descriptor) for each well-formed descriptor after an interface descriptor, up to the next
// interface.
template <typename F> void ForEachAfterInterface(const Bytes &cfg, const USB_INTERFACE_DESCRIPTOR *iface, F f)
{
    const uint8_t *at = reinterpret_cast<const uint8_t *>(iface) + iface->bLength;
    while (const USB_COMMON_DESCRIPTOR *d = usbd::ParseDescriptorsBounded(cfg.data(), cfg.size(), at, -1))
    {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        f(d);
        at = reinterpret_cast<const uint8_t *>(d) + d->bLength;
    }
}

// The endpoints a selection of setting `iface` opens as pipes: the endpoint descriptors that follow it,
// up to the next interface, as many as its bNumEndpoints names. False when fewer follow: the stack
// parses a setting as it is selected and refuses one whose endpoints are missing or cut off, instead of
// opening fewer pipes than the setting names.
bool PipeEndpoints(const Bytes &cfg, const USB_INTERFACE_DESCRIPTOR *iface,
                   std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps)
{
    eps.clear();
    ForEachAfterInterface(cfg, iface,
                          [&](const USB_COMMON_DESCRIPTOR *d)
                          {
                              if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                                  d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                                  eps.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d));
                          });
    if (eps.size() < iface->bNumEndpoints)
        return false;
    eps.resize(std::min<size_t>(iface->bNumEndpoints, USBD_MAX_PIPES_PER_INTERFACE));
    return true;
}

// Whether an endpoint of an alternate carries feedback rather than audio: its usage bits say explicit
// feedback (1), or a data endpoint of the same alternate names it in bSynchAddress (audio class 1.0
// leaves a feedback endpoint's usage bits 0). Implicit-feedback data endpoints (usage 2) carry audio.
bool IsFeedbackEndpoint(const USB_ENDPOINT_DESCRIPTOR *ep,
                        const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps)
{
    if ((ep->bmAttributes & 0x30) == 0x10)
        return true;
    for (const USB_ENDPOINT_DESCRIPTOR *data : eps)
    {
        // bSynchAddress is the ninth byte, present only in the audio-class 1.0 form.
        const uint8_t synch = data->bLength >= 9 ? reinterpret_cast<const uint8_t *>(data)[8] : 0;
        if (data != ep && synch != 0 && synch == ep->bEndpointAddress)
            return true;
    }
    return false;
}

// Channels and bytes per sample of an alternate setting's format (UAC1 format type I, or the UAC2
// AS general and format type descriptors); zero when the alternate carries none.
IsoStreamFormat FormatOf(const Bytes &cfg, const USB_INTERFACE_DESCRIPTOR *iface)
{
    IsoStreamFormat f;
    f.channels = 0;
    f.bytesPerSample = 0;
    const bool uac2 = iface->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UAC2;
    ForEachAfterInterface(cfg, iface,
                          [&](const USB_COMMON_DESCRIPTOR *d)
                          {
                              const auto *b = reinterpret_cast<const uint8_t *>(d);
                              if (d->bDescriptorType != USB_CS_INTERFACE_DESCRIPTOR_TYPE || d->bLength < 3)
                                  return;
                              if (!uac2 && b[2] == 0x02 && d->bLength >= 6)
                              {
                                  f.channels = b[4];
                                  f.bytesPerSample = b[5];
                              }
                              else if (uac2 && b[2] == 0x01 && d->bLength >= 11)
                              {
                                  f.channels = b[10];
                              }
                              else if (uac2 && b[2] == 0x02 && d->bLength >= 5)
                              {
                                  f.bytesPerSample = b[4];
                              }
                          });
    return f;
}

// The URB functions that are control transfers on the default pipe, with their request type and
// recipient (the descriptor reads are standard GET_DESCRIPTOR requests).
struct ControlFunction
{
    USHORT function;
    RequestType type;
    Recipient recipient;
};
constexpr ControlFunction kControlFunctions[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, RequestType::Standard, Recipient::Device},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, RequestType::Standard, Recipient::Interface},
    {URB_FUNCTION_VENDOR_DEVICE, RequestType::Vendor, Recipient::Device},
    {URB_FUNCTION_VENDOR_INTERFACE, RequestType::Vendor, Recipient::Interface},
    {URB_FUNCTION_VENDOR_ENDPOINT, RequestType::Vendor, Recipient::Endpoint},
    {URB_FUNCTION_VENDOR_OTHER, RequestType::Vendor, Recipient::Other},
    {URB_FUNCTION_CLASS_DEVICE, RequestType::Class, Recipient::Device},
    {URB_FUNCTION_CLASS_INTERFACE, RequestType::Class, Recipient::Interface},
    {URB_FUNCTION_CLASS_ENDPOINT, RequestType::Class, Recipient::Endpoint},
    {URB_FUNCTION_CLASS_OTHER, RequestType::Class, Recipient::Other},
};

const ControlFunction *ControlFunctionOf(USHORT f)
{
    for (const ControlFunction &c : kControlFunctions)
        if (c.function == f)
            return &c;
    return nullptr;
}

} // namespace

NTSTATUS Bus::Impl::SubmitUrb(PortState &p, PIRP irp, PURB urb, bool live)
{
    const USHORT fn = urb->UrbHeader.Function;
    Event e;
    e.kind = EventKind::Urb;
    e.port = p.number;
    e.function = fn;
    const ControlFunction *cf = ControlFunctionOf(fn);
    ControlRequest req;
    // Both control URB layouts share the header, TransferBufferLength and TransferBuffer offsets.
    const bool control = cf && urb->UrbHeader.Length >= sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
                         urb->UrbHeader.Length >= sizeof(URB_CONTROL_DESCRIPTOR_REQUEST);
    if (control)
    {
        auto &r = urb->UrbControlVendorClassRequest;
        e.wLength = uint16_t(r.TransferBufferLength > 0xFFFF ? 0xFFFF : r.TransferBufferLength);
        req.type = cf->type;
        req.recipient = cf->recipient;
        if (cf->type == RequestType::Standard)
        {
            auto &d = urb->UrbControlDescriptorRequest;
            req.in = true;
            req.bRequest = USB_REQUEST_GET_DESCRIPTOR;
            req.wValue = uint16_t(d.DescriptorType << 8 | d.Index);
            req.wIndex = d.LanguageId;
        }
        else
        {
            req.in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
            req.bRequest = r.Request;
            req.wValue = r.Value;
            req.wIndex = r.Index;
        }
    }
    switch (fn)
    {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ISOCH_TRANSFER:
        if (urb->UrbHeader.Length >= sizeof(URB_PIPE_REQUEST))
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            if (const Pipe *pipe = p.FindPipe(urb->UrbPipeRequest.PipeHandle))
                e.endpoint = pipe->endpoint;
        }
        if (fn == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbHeader.Length >= sizeof(URB_BULK_OR_INTERRUPT_TRANSFER))
            e.wLength =
                uint16_t(std::min<ULONG>(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 0xFFFF));
        if (fn == URB_FUNCTION_ISOCH_TRANSFER &&
            urb->UrbHeader.Length >= offsetof(URB_ISOCH_TRANSFER, IsoPacket))
            e.wLength = uint16_t(std::min<ULONG>(urb->UrbIsochronousTransfer.TransferBufferLength, 0xFFFF));
        break;
    default:
        break;
    }
    if (control)
    {
        req.wLength = e.wLength;
        e.bmRequestType = req.bmRequestType();
        e.bRequest = req.bRequest;
        e.wValue = req.wValue;
        e.wIndex = req.wIndex;
    }
    uint64_t seq;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        seq = AddEvent(e);
    }
    if (!live)
        return Finish(irp, urb, seq, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, std::nullopt);

    switch (fn)
    {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(p, irp, urb, seq);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(p, irp, urb, seq);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(p, irp, urb, seq);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    {
        if (urb->UrbHeader.Length < sizeof(URB_GET_CURRENT_FRAME_NUMBER))
            return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER,
                          std::nullopt);
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            urb->UrbGetCurrentFrameNumber.FrameNumber = Engine(p).CurrentFrame();
        }
        return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
        return Transfer(p, irp, urb, seq);
    default:
        break;
    }
    if (cf == nullptr)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION,
                      std::nullopt);
    if (!control)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, std::nullopt);
    return Control(p, irp, urb, seq, std::move(req));
}

NTSTATUS Bus::Impl::SelectConfiguration(PortState &p, PIRP irp, PURB urb, uint64_t seq)
{
    auto &sc = urb->UrbSelectConfiguration;
    auto fail = [&](NTSTATUS status)
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        Note(EventKind::SelectConfiguration, p.number, status);
        return status;
    };
    if (urb->UrbHeader.Length < offsetof(URB_SELECT_CONFIGURATION, Interface))
        return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                      std::nullopt);
    if (sc.ConfigurationDescriptor == nullptr)
    {
        ClosePipes(p, [](const Pipe &) { return true; });
        std::lock_guard<std::recursive_mutex> g(mu);
        p.configuration = nullptr;
        p.configurationValue = 0;
        p.alternates.clear();
        p.interfaceHandles.clear();
        Note(EventKind::SelectConfiguration, p.number, STATUS_SUCCESS);
        sc.ConfigurationHandle = nullptr;
        return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
    }
    Bytes cfg;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        cfg = p.device->Descriptors().configuration;
    }
    if (cfg.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        sc.ConfigurationDescriptor->bConfigurationValue != cfg[5])
        return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                      std::nullopt);

    // Check every record against the bytes the URB has before writing any.
    struct Selection
    {
        PUSBD_INTERFACE_INFORMATION info;
        const USB_INTERFACE_DESCRIPTOR *d;
        std::vector<const USB_ENDPOINT_DESCRIPTOR *> eps;
    };
    std::vector<Selection> sels;
    auto *base = reinterpret_cast<uint8_t *>(urb);
    size_t at = offsetof(URB_SELECT_CONFIGURATION, Interface);
    const size_t end = urb->UrbHeader.Length;
    // One record per interface of the configuration, each wholly inside the URB.
    const unsigned interfaces = cfg[4];
    for (unsigned i = 0; i < interfaces; ++i)
    {
        if (end < at || end - at < offsetof(USBD_INTERFACE_INFORMATION, Pipes))
            return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                          std::nullopt);
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + at);
        const USB_INTERFACE_DESCRIPTOR *d = usbd::ParseInterfaceBounded(
            cfg.data(), cfg.size(), cfg.data(), info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        std::vector<const USB_ENDPOINT_DESCRIPTOR *> eps;
        if (d == nullptr || !PipeEndpoints(cfg, d, eps))
            return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                          std::nullopt);
        const size_t need = GET_USBD_INTERFACE_SIZE(eps.size());
        if (info->Length < need || end - at < need)
            return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                          std::nullopt);
        sels.push_back({info, d, std::move(eps)});
        at += info->Length;
    }
    if (sels.empty())
        return Finish(irp, urb, seq, fail(STATUS_INVALID_PARAMETER), USBD_STATUS_INVALID_PARAMETER,
                      std::nullopt);

    ClosePipes(p, [](const Pipe &) { return true; });
    std::vector<Pipe> pipes;
    std::map<uint8_t, uint8_t> alternates;
    std::map<uint8_t, USBD_INTERFACE_HANDLE> ifaceHandles;
    USBD_CONFIGURATION_HANDLE config;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        config = NewHandle();
        for (Selection &s : sels)
        {
            FillInterface(s.info, s.d, s.eps, pipes);
            ifaceHandles[s.d->bInterfaceNumber] = s.info->InterfaceHandle;
            alternates[s.d->bInterfaceNumber] = s.d->bAlternateSetting;
        }
    }
    for (Selection &s : sels)
        SetStreamFormats(p, cfg, s.d, s.eps);
    OpenIsoPipes(p, pipes);
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        p.pipes = std::move(pipes);
        p.alternates = std::move(alternates);
        p.interfaceHandles = std::move(ifaceHandles);
        p.configuration = config;
        p.configurationValue = cfg[5];
        sc.ConfigurationHandle = config;
        Event e;
        e.kind = EventKind::SelectConfiguration;
        e.port = p.number;
        e.configurationValue = cfg[5];
        e.interfaceNumber = uint8_t(sels.size());
        e.status = STATUS_SUCCESS;
        AddEvent(e);
    }
    return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
}

NTSTATUS Bus::Impl::SelectInterface(PortState &p, PIRP irp, PURB urb, uint64_t seq)
{
    auto &si = urb->UrbSelectInterface;
    auto log = [&](NTSTATUS status, uint8_t iface, uint8_t alt)
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        Event e;
        e.kind = EventKind::SelectInterface;
        e.port = p.number;
        e.configurationValue = p.configurationValue;
        e.interfaceNumber = iface;
        e.alternateSetting = alt;
        e.status = status;
        AddEvent(e);
        return status;
    };
    const size_t head = offsetof(URB_SELECT_INTERFACE, Interface);
    if (urb->UrbHeader.Length < head + offsetof(USBD_INTERFACE_INFORMATION, Pipes))
        return Finish(irp, urb, seq, log(STATUS_INVALID_PARAMETER, 0, 0), USBD_STATUS_INVALID_PARAMETER,
                      std::nullopt);
    PUSBD_INTERFACE_INFORMATION info = &si.Interface;
    const uint8_t number = info->InterfaceNumber, alt = info->AlternateSetting;
    Bytes cfg;
    bool stale;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        cfg = p.device->Descriptors().configuration;
        stale = p.configuration == nullptr || si.ConfigurationHandle != p.configuration;
    }
    if (stale)
        return Finish(irp, urb, seq, log(STATUS_INVALID_PARAMETER, number, alt),
                      USBD_STATUS_INVALID_PARAMETER, std::nullopt);
    const USB_INTERFACE_DESCRIPTOR *d =
        usbd::ParseInterfaceBounded(cfg.data(), cfg.size(), cfg.data(), number, alt, -1, -1, -1);
    std::vector<const USB_ENDPOINT_DESCRIPTOR *> eps;
    if (d == nullptr || !PipeEndpoints(cfg, d, eps))
        return Finish(irp, urb, seq, log(STATUS_INVALID_PARAMETER, number, alt),
                      USBD_STATUS_INVALID_PARAMETER, std::nullopt);
    const size_t need = GET_USBD_INTERFACE_SIZE(eps.size());
    if (info->Length < need || urb->UrbHeader.Length < head + need)
        return Finish(irp, urb, seq, log(STATUS_INVALID_PARAMETER, number, alt),
                      USBD_STATUS_INVALID_PARAMETER, std::nullopt);

    ClosePipes(p, [number](const Pipe &pipe) { return pipe.interfaceNumber == number; });
    std::vector<Pipe> pipes;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        FillInterface(info, d, eps, pipes);
    }
    SetStreamFormats(p, cfg, d, eps);
    OpenIsoPipes(p, pipes);
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        for (Pipe &pipe : pipes)
            p.pipes.push_back(pipe);
        p.alternates[number] = alt;
        p.interfaceHandles[number] = info->InterfaceHandle;
    }
    log(STATUS_SUCCESS, number, alt);
    return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
}

void Bus::Impl::FillInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR *d,
                              const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps,
                              std::vector<Pipe> &pipes)
{
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->InterfaceHandle = NewHandle();
    info->NumberOfPipes = ULONG(eps.size());
    for (size_t k = 0; k < eps.size(); ++k)
    {
        const USB_ENDPOINT_DESCRIPTOR *ep = eps[k];
        Pipe pipe;
        pipe.handle = NewHandle();
        pipe.endpoint = ep->bEndpointAddress;
        pipe.attributes = ep->bmAttributes;
        pipe.interval = ep->bInterval;
        pipe.maxPacket = ep->wMaxPacketSize;
        pipe.type = USBD_PIPE_TYPE(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe.interfaceNumber = d->bInterfaceNumber;
        pipe.alternate = d->bAlternateSetting;
        pipe.feedback = IsFeedbackEndpoint(ep, eps);
        auto &pi = info->Pipes[k];
        pi.MaximumPacketSize = pipe.maxPacket;
        pi.EndpointAddress = pipe.endpoint;
        pi.Interval = pipe.interval;
        pi.PipeType = pipe.type;
        pi.PipeHandle = pipe.handle;
        pipes.push_back(pipe);
    }
}

// Stream formats of the isochronous data endpoints, so IN packets follow the alternate and its rate.
void Bus::Impl::SetStreamFormats(PortState &p, const Bytes &cfg, const USB_INTERFACE_DESCRIPTOR *d,
                                 const std::vector<const USB_ENDPOINT_DESCRIPTOR *> &eps)
{
    if (d->bInterfaceClass != USB_DEVICE_CLASS_AUDIO ||
        d->bInterfaceSubClass != USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
        return;
    IsoStreamFormat f = FormatOf(cfg, d);
    if (!f.channels || !f.bytesPerSample)
        return;
    std::lock_guard<std::recursive_mutex> g(mu);
    for (const USB_ENDPOINT_DESCRIPTOR *ep : eps)
        if ((ep->bmAttributes & 3) == USB_ENDPOINT_TYPE_ISOCHRONOUS && !IsFeedbackEndpoint(ep, eps))
        {
            f.sampleRate = p.device->EndpointRate(ep->bEndpointAddress);
            Engine(p).SetStreamFormat(ep->bEndpointAddress, f);
        }
}

void Bus::Impl::OpenIsoPipes(PortState &p, std::vector<Pipe> &pipes)
{
    IsoEngine *engine;
    bool highSpeed;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        engine = &Engine(p);
        highSpeed = p.device->GetSpeed() == Speed::High;
    }
    for (Pipe &pipe : pipes)
        if (pipe.type == UsbdPipeTypeIsochronous)
        {
            IsoPipeDesc desc;
            desc.bEndpointAddress = pipe.endpoint;
            desc.bmAttributes = pipe.attributes;
            desc.wMaxPacketSize = pipe.maxPacket;
            desc.bInterval = pipe.interval;
            desc.feedback = pipe.feedback;
            desc.highSpeed = highSpeed;
            pipe.iso = engine->OpenPipe(desc);
        }
}

void Bus::Impl::ClosePipes(PortState &p, const std::function<bool(const Pipe &)> &which)
{
    std::vector<IsoPipeId> iso;
    std::vector<uint8_t> endpoints;
    IsoEngine *engine;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        engine = &Engine(p);
        for (auto it = p.pipes.begin(); it != p.pipes.end();)
        {
            if (which(*it))
            {
                if (it->iso)
                    iso.push_back(it->iso);
                endpoints.push_back(it->endpoint);
                it = p.pipes.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    EndHeld(
        p.number,
        [&endpoints](const Held &h)
        {
            return h.kind == HeldKind::Transfer &&
                   std::find(endpoints.begin(), endpoints.end(), h.endpoint) != endpoints.end();
        },
        STATUS_CANCELLED, USBD_STATUS_CANCELED);
    for (IsoPipeId id : iso)
        engine->ClosePipe(id, STATUS_CANCELLED);
}

NTSTATUS Bus::Impl::PipeRequest(PortState &p, PIRP irp, PURB urb, uint64_t seq)
{
    if (urb->UrbHeader.Length < sizeof(URB_PIPE_REQUEST))
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, std::nullopt);
    Pipe pipe;
    NTSTATUS resetFailure = STATUS_SUCCESS;
    IsoEngine *engine;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        const Pipe *found = p.FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (found == nullptr)
            return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE,
                          std::nullopt);
        pipe = *found;
        engine = &Engine(p);
        if (auto f = p.syncResetFailure.find(pipe.endpoint); f != p.syncResetFailure.end())
            resetFailure = f->second;
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE)
    {
        const uint8_t ep = pipe.endpoint;
        EndHeld(
            p.number, [ep](const Held &h) { return h.kind == HeldKind::Transfer && h.endpoint == ep; },
            STATUS_CANCELLED, USBD_STATUS_CANCELED);
        if (pipe.iso)
            engine->AbortPipe(pipe.iso);
        return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
    }
    if (!NT_SUCCESS(resetFailure))
        return Finish(irp, urb, seq, resetFailure, USBD_STATUS_REQUEST_FAILED, std::nullopt);
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        p.halted.erase(pipe.endpoint);
    }
    return Finish(irp, urb, seq, STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::nullopt);
}

NTSTATUS Bus::Impl::Transfer(PortState &p, PIRP irp, PURB urb, uint64_t seq)
{
    const bool iso = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    if (urb->UrbHeader.Length < sizeof(URB_PIPE_REQUEST) ||
        (!iso && urb->UrbHeader.Length < sizeof(URB_BULK_OR_INTERRUPT_TRANSFER)))
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, std::nullopt);
    Pipe pipe;
    bool found, halted;
    IsoEngine *engine;
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        const Pipe *f = p.FindPipe(urb->UrbPipeRequest.PipeHandle);
        found = f != nullptr;
        if (f)
            pipe = *f;
        halted = found && p.halted.count(pipe.endpoint) && p.halted[pipe.endpoint];
        engine = &Engine(p);
    }
    if (iso)
    {
        // The engine checks the rest, a stale handle (pipe 0) and the low-power refusal included.
        if (halted)
            return Finish(irp, urb, seq, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, std::nullopt);
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            UpdateEvent(seq, [](Event &e) { e.status = STATUS_PENDING; });
        }
        return engine->Submit(found ? pipe.iso : 0, irp, urb);
    }
    auto &t = urb->UrbBulkOrInterruptTransfer;
    if (!found)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, ULONG(0));
    if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, ULONG(0));
    if (halted)
        return Finish(irp, urb, seq, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, ULONG(0));
    if (t.TransferBufferLength && t.TransferBuffer == nullptr)
        return Finish(irp, urb, seq, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, ULONG(0));
    Held h;
    h.irp = irp;
    h.urb = urb;
    h.kind = HeldKind::Transfer;
    h.port = p.number;
    h.endpoint = pipe.endpoint;
    h.seq = seq;
    if (USB_ENDPOINT_DIRECTION_OUT(pipe.endpoint))
    {
        const auto *b = static_cast<const uint8_t *>(t.TransferBuffer);
        {
            std::lock_guard<std::recursive_mutex> g(mu);
            p.outData[pipe.endpoint].push_back(Bytes(b, b + t.TransferBufferLength));
            UpdateEvent(seq, [&](Event &e) { e.data = Bytes(b, b + t.TransferBufferLength); });
        }
        h.due = sim::Now();
        h.reportedLength = t.TransferBufferLength;
        return Answer(std::move(h));
    }
    // IN: data posted before the read answers it at once; otherwise the read waits.
    {
        std::lock_guard<std::recursive_mutex> g(mu);
        auto &q = p.inData[pipe.endpoint];
        if (!q.empty())
        {
            Bytes chunk = std::move(q.front());
            q.pop_front();
            if (chunk.size() > t.TransferBufferLength)
            {
                h.status = STATUS_UNSUCCESSFUL;
                h.usbd = USBD_STATUS_DATA_OVERRUN;
                h.reportedLength = 0;
            }
            else
            {
                h.reportedLength = ULONG(chunk.size());
                UpdateEvent(seq, [&](Event &e) { e.data = chunk; });
                h.data = std::move(chunk);
            }
            h.due = sim::Now();
        }
    }
    return Answer(std::move(h));
}

void Bus::Impl::DeliverIn(PortState &p, uint8_t endpoint)
{
    auto &q = p.inData[endpoint];
    bool changed = false;
    for (Held &h : held)
    {
        if (q.empty())
            break;
        if (h.port != p.number || h.kind != HeldKind::Transfer || h.endpoint != endpoint || h.due >= 0)
            continue;
        Bytes chunk = std::move(q.front());
        q.pop_front();
        const ULONG room = h.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (chunk.size() > room)
        {
            h.status = STATUS_UNSUCCESSFUL;
            h.usbd = USBD_STATUS_DATA_OVERRUN;
            h.reportedLength = 0;
        }
        else
        {
            h.reportedLength = ULONG(chunk.size());
            UpdateEvent(h.seq, [&](Event &e) { e.data = chunk; });
            h.data = std::move(chunk);
        }
        h.due = sim::Now();
        changed = true;
    }
    if (changed)
        ArmTimer();
}

} // namespace usbsim
