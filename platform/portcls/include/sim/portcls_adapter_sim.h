// Test face of the port-class stand-in's adapter half: the version the ports report, failure of the
// driver registration, the log of IRPs the framework's dispatch saw, and the adapter devices alive.
// The kernel's per-test reset clears it; its end-of-test check reports adapter devices never removed
// and power registrations never released.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <ntkernel.h>

namespace sim::portcls
{

// What IPortClsVersion::GetVersion answers (default 11); with `available` false no port answers
// IID_IPortClsVersion at all.
void SetPortClsVersion(ULONG version, bool available = true);
// The next PcInitializeAdapterDriver returns `status` and installs nothing.
void FailNextInitializeAdapterDriver(NTSTATUS status);

// One line per PcDispatchIrp call, in call order: "PNP 0x02", "POWER 0x02 D3", "CREATE \Name",
// "CLOSE", "DEVICE_CONTROL", "MJ 0x17", each followed by " -> 0x%08X" with the status returned.
std::vector<std::string> DispatchLog();
void ClearDispatchLog();

size_t AdapterDevices();     // functional devices PcAddAdapterDevice made that are not yet removed
size_t PowerRegistrations(); // adapter power interfaces held

} // namespace sim::portcls
