// What the port half asks of the adapter half: the version object every port answers
// IID_IPortClsVersion with, and the sub-device limit of an adapter device.
#pragma once

#include <pc_adapter.h>

// Hands out the version object with a reference, or STATUS_INVALID_PARAMETER and null when the
// framework is set to lack it.
NTSTATUS PcQueryPortClsVersion(PVOID *object);

// The sub-devices `device` may hold as PcAddAdapterDevice set it; 0 (no limit) for a device the
// adapter half did not make.
ULONG PcAdapterMaxObjects(PDEVICE_OBJECT device);
