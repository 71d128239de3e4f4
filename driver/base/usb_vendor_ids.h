// USB vendor identifiers the driver itself decides by.
#pragma once

#include <nt_types.h>

// The chip maker's own vendor identifier. Its devices get device-specific treatment (which strings
// are published, which capability bits are cleared); it is kept apart from every other vendor's
// identifier the driver tests for.
inline constexpr USHORT SalvineVendorId = 0x5A4C;
