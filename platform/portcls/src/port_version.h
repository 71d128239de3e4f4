// The framework-wide version object that every port answers IID_IPortClsVersion with.
#pragma once

#include <pc_adapter.h>

// Hands out the version object with a reference, or STATUS_INVALID_PARAMETER and null when the
// framework is set to lack it.
NTSTATUS PcQueryPortClsVersion(PVOID *object);
