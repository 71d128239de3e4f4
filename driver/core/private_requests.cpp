// The private streaming requests of a low-latency client: one table gives, per request, the
// operation of the adapter's private interface, the input and output lengths it accepts, and whether
// the variable-size protocol applies (the operation then answers a zero length with the length it
// needs and STATUS_BUFFER_OVERFLOW, and a short buffer with STATUS_BUFFER_TOO_SMALL).
#include "driver/core/asio_private.h"
#include "driver/core/driver_entry.h"

namespace
{

#define ASIO_CODE(function, access) CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, access)

enum class Length : UCHAR
{
    Any,
    Exactly,
    AtLeast,
    Absent, // no input: served when In is 0 (or there is no buffer), refused otherwise
};

using AsioOperation = NTSTATUS (IAsioPrivate::*)(PFILE_OBJECT, PVOID, ULONG, ULONG, PULONG_PTR);

struct AsioRequestRow
{
    ULONG Code;
    AsioOperation Operation;
    AsioOperation Then; // a second operation with the same buffer, whose result is the request's
    Length In;
    ULONG InBytes;
    Length Out;
    ULONG OutBytes;
};

// Rows whose output check is Any and that write a variable record apply the size protocol in
// their operation.
const AsioRequestRow kAsioRequests[] = {
    {ASIO_CODE(0x800, FILE_READ_ACCESS), &IAsioPrivate::GetDriverName, nullptr, Length::Any, 0, Length::Any,
     0},
    {ASIO_CODE(0x801, FILE_READ_ACCESS), &IAsioPrivate::GetChannels, nullptr, Length::Any, 0, Length::Exactly,
     16},
    {ASIO_CODE(0x802, FILE_READ_ACCESS | FILE_WRITE_ACCESS), &IAsioPrivate::GetChannelInfo, nullptr,
     Length::AtLeast, 8, Length::Exactly, 52},
    {ASIO_CODE(0x803, FILE_READ_ACCESS), &IAsioPrivate::GetSampleTypes, nullptr, Length::Any, 0, Length::Any,
     0},
    {ASIO_CODE(0x804, FILE_READ_ACCESS), &IAsioPrivate::GetLatencyList, nullptr, Length::Any, 0, Length::Any,
     0},
    {ASIO_CODE(0x805, FILE_WRITE_ACCESS), &IAsioPrivate::SetNotifyEvent, nullptr, Length::Exactly, 4,
     Length::Any, 0},
    {ASIO_CODE(0x806, FILE_READ_ACCESS), &IAsioPrivate::GetOwnerActive, nullptr, Length::Any, 0, Length::Any,
     0},
    {ASIO_CODE(0x807, FILE_WRITE_ACCESS), &IAsioPrivate::SetSampleType, nullptr, Length::AtLeast, 4,
     Length::Any, 0},
    {ASIO_CODE(0x808, FILE_WRITE_ACCESS), &IAsioPrivate::SetLatency, nullptr, Length::AtLeast, 4, Length::Any,
     0},
    {ASIO_CODE(0x809, FILE_READ_ACCESS), &IAsioPrivate::GetLatencies, nullptr, Length::Any, 0,
     Length::AtLeast, 8},
    {ASIO_CODE(0x80A, FILE_READ_ACCESS), &IAsioPrivate::GetSampleRate, nullptr, Length::Any, 0,
     Length::AtLeast, 4},
    {ASIO_CODE(0x80B, FILE_WRITE_ACCESS), &IAsioPrivate::CanSampleRate, nullptr, Length::AtLeast, 4,
     Length::Any, 0},
    {ASIO_CODE(0x80C, FILE_WRITE_ACCESS), &IAsioPrivate::SetSampleRate, nullptr, Length::AtLeast, 4,
     Length::Any, 0},
    {ASIO_CODE(0x80D, FILE_READ_ACCESS), &IAsioPrivate::GetBufferSize, nullptr, Length::Any, 0,
     Length::AtLeast, 16},
    {ASIO_CODE(0x80E, FILE_READ_ACCESS | FILE_WRITE_ACCESS), &IAsioPrivate::CreateBuffers, nullptr,
     Length::AtLeast, 12, Length::Any, 0},
    {ASIO_CODE(0x80F, FILE_WRITE_ACCESS), &IAsioPrivate::DisposeBuffers, nullptr, Length::Any, 0, Length::Any,
     0},
    {ASIO_CODE(0x810, FILE_WRITE_ACCESS), &IAsioPrivate::Start, nullptr, Length::Exactly, 4, Length::Any, 0},
    {ASIO_CODE(0x811, FILE_WRITE_ACCESS), &IAsioPrivate::Stop, nullptr, Length::Absent, 0, Length::Any, 0},
    {ASIO_CODE(0x813, FILE_WRITE_ACCESS), &IAsioPrivate::ClearNotifyEvent, nullptr, Length::Absent, 0,
     Length::Any, 0},
    {ASIO_CODE(0x814, FILE_WRITE_ACCESS), &IAsioPrivate::CanIoFormat, &IAsioPrivate::SetIoFormat,
     Length::AtLeast, 4, Length::Any, 0},
    {ASIO_CODE(0x815, FILE_WRITE_ACCESS), &IAsioPrivate::SetIoFormat, nullptr, Length::AtLeast, 4,
     Length::Any, 0},
    {ASIO_CODE(0x816, FILE_READ_ACCESS), &IAsioPrivate::GetIoFormat, nullptr, Length::Any, 0, Length::AtLeast,
     4},
};

bool Fits(Length rule, ULONG expected, ULONG length)
{
    switch (rule)
    {
    case Length::Exactly:
        return length == expected;
    case Length::AtLeast:
        return length >= expected;
    case Length::Absent:
        return length == 0;
    default:
        return true;
    }
}

} // namespace

NTSTATUS DispatchPrivateRequest(PAUDIOHAL adapter, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    const AsioRequestRow *row = nullptr;
    for (const AsioRequestRow &candidate : kAsioRequests)
        if (candidate.Code == code)
            row = &candidate;
    if (!row)
        return STATUS_NOT_SUPPORTED; // 0xC00000BB, what clients of this interface expect
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    // A request without input is served as such when no buffer came with it.
    if (row->In == Length::Absent && !buffer)
        in = 0;
    // Every failed check, or a length without its buffer, changes nothing and writes nothing.
    if (!Fits(row->In, row->InBytes, in) || !Fits(row->Out, row->OutBytes, out) || ((in || out) && !buffer))
        return STATUS_INVALID_PARAMETER;
    auto *asio = QueryAs<IAsioPrivate>(adapter, IID_IAsioPrivate);
    if (!asio)
        return STATUS_INVALID_PARAMETER;
    // Stop takes no data: the request itself goes in its place, so it can be held while the
    // device sleeps.
    PVOID argument = row->Operation == &IAsioPrivate::Stop ? static_cast<PVOID>(Irp) : buffer;
    ULONG_PTR information = 0;
    NTSTATUS status = (asio->*(row->Operation))(location->FileObject, argument, in, out, &information);
    if (row->Then)
    {
        information = 0;
        status = (asio->*(row->Then))(location->FileObject, argument, in, out, &information);
    }
    asio->Release();
    if (status == STATUS_PENDING)
        return status;
    // Only a zero-length size question may report more than fits; an error reports nothing.
    if (NT_ERROR(status) || (information > out && !(status == STATUS_BUFFER_OVERFLOW && out == 0)))
        information = 0;
    Irp->IoStatus.Information = information;
    return status;
}
