// Test face of the I/O manager: live IRPs and device objects, and injected power-request failures.
#pragma once

#include <cstddef>

#include <ntkernel.h>

namespace sim::io {

size_t LiveIrps();    // allocated and not yet freed
size_t LiveDevices(); // created and not yet deleted
// The n-th PoRequestPowerIrp from now (1 = the next) returns `status` without sending anything.
void FailPowerRequest(unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
size_t PowerRequests(); // PoRequestPowerIrp calls since the last reset

} // namespace sim::io
