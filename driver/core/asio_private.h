// The adapter's private streaming interface: the operations behind the requests a low-latency client
// sends on "\SVASIOPrivateInterface". Every operation takes the client's file object first; the
// request operations work on the request's system buffer (inLength bytes in, at most outLength bytes
// out, *information the bytes written). Stop has no data: its `buffer` is the request (IRP) itself,
// which the adapter may hold pending while the device is not in D0 and complete later.
#pragma once

#include <ntkernel.h>
#include <pc_unknown.h>

// {DB4D55AC-CB0E-4611-8CEB-16E32336876D}
inline constexpr GUID IID_IAsioPrivate = {
    0xDB4D55AC, 0xCB0E, 0x4611, {0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D}};

#define ASIO_PRIVATE_REQUEST(name)                                                                           \
    virtual NTSTATUS name(PFILE_OBJECT file, PVOID buffer, ULONG inLength, ULONG outLength,                  \
                          PULONG_PTR information) = 0

struct IAsioPrivate : IUnknown
{
    virtual NTSTATUS Open(PFILE_OBJECT file) = 0;   // a client record for the file (PASSIVE_LEVEL)
    virtual NTSTATUS Unused(PFILE_OBJECT file) = 0; // always STATUS_UNSUCCESSFUL
    virtual NTSTATUS Close(PFILE_OBJECT file) = 0;  // the file's client record goes
    ASIO_PRIVATE_REQUEST(GetDriverName);
    ASIO_PRIVATE_REQUEST(GetChannels);
    ASIO_PRIVATE_REQUEST(GetChannelInfo);
    ASIO_PRIVATE_REQUEST(SetNotifyEvent);
    ASIO_PRIVATE_REQUEST(ClearNotifyEvent);
    ASIO_PRIVATE_REQUEST(GetOwnerActive);
    ASIO_PRIVATE_REQUEST(GetSampleTypes);
    ASIO_PRIVATE_REQUEST(GetLatencyList);
    ASIO_PRIVATE_REQUEST(SetSampleType);
    ASIO_PRIVATE_REQUEST(SetLatency);
    ASIO_PRIVATE_REQUEST(GetLatencies);
    ASIO_PRIVATE_REQUEST(GetSampleRate);
    ASIO_PRIVATE_REQUEST(CanSampleRate);
    ASIO_PRIVATE_REQUEST(SetSampleRate);
    ASIO_PRIVATE_REQUEST(GetBufferSize);
    ASIO_PRIVATE_REQUEST(CreateBuffers);
    ASIO_PRIVATE_REQUEST(DisposeBuffers);
    ASIO_PRIVATE_REQUEST(Start);
    ASIO_PRIVATE_REQUEST(Stop);
    ASIO_PRIVATE_REQUEST(CanIoFormat);
    ASIO_PRIVATE_REQUEST(SetIoFormat);
    ASIO_PRIVATE_REQUEST(GetIoFormat);
};
typedef IAsioPrivate *PASIOPRIVATE;

#undef ASIO_PRIVATE_REQUEST
