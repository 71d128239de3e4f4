// The private streaming requests of a low-latency client.
#include "driver/core/driver_entry.h"

// No request is served yet: each one is refused with nothing written.
NTSTATUS DispatchPrivateRequest(PAUDIOHAL, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    return STATUS_NOT_SUPPORTED;
}
