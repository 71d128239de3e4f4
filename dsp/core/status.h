// Status codes of the primitive library: 0 success, positive a completed operation with special
// values in its output, negative an error (nothing written unless the operation says otherwise).
#pragma once

#include <cstdint>

namespace dsp
{

using Status = int32_t;

inline constexpr Status kOk = 0;
// Warnings: the operation completed.
inline constexpr Status kWarnMisaligned = 2;   // interleave/deinterleave: a pointer not 16-byte aligned
inline constexpr Status kWarnSqrtNegative = 3; // a negative square-root input became NaN
inline constexpr Status kWarnDivByZero = 6;    // a zero divisor gave an infinity or NaN
inline constexpr Status kWarnLnZero = 7;       // first special input to ln was zero (-inf)
inline constexpr Status kWarnLnNegative = 8;   // first special input to ln was negative (NaN)
inline constexpr Status kWarnDomain = 19;      // powF32: a domain error or pole in some element
inline constexpr Status kWarnCpuUnknown = 20;  // probe found no CPUID or another vendor
// Errors.
inline constexpr Status kErrBadLength = -6;
inline constexpr Status kErrNullPointer = -8;
inline constexpr Status kErrNoMemory = -9;
inline constexpr Status kErrDivByZero = -10;
inline constexpr Status kErrFftOrder = -15;
inline constexpr Status kErrFftFlag = -16;
inline constexpr Status kErrBadTag = -17;
inline constexpr Status kErrIirOrder = -25;
inline constexpr Status kErrFirLength = -26;
inline constexpr Status kErrFirPhase = -28;
inline constexpr Status kErrFirFactor = -29;
inline constexpr Status kErrPhase = -30;
inline constexpr Status kErrFactor = -31;
inline constexpr Status kErrChannels = -53;

} // namespace dsp
