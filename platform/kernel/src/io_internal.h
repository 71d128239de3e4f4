// Shared bookkeeping of the I/O manager files.
#pragma once

#include <string>

#include <ntkernel.h>

namespace sim::io::detail
{

void ResetIrps();
std::string IrpCheck();
void ResetDevices();
std::string DeviceCheck();
void ResetPower();

} // namespace sim::io::detail
