// Small numeric routines of the float effects: a table square root for the panner's gains and
// the table power routine the level maths use for gain = 10^(dB/20).
//
// Both are pure functions of their arguments, safe at any IRQL inside a floating-point save.
#pragma once

// Square root from a 33-entry table of sqrt(1 + k/32), interpolated linearly over the five
// mantissa bits below the top (bits 18..22) with the low 18 bits as the fraction; within
// 3.1e-5 relative of the true root for normal inputs and exact at powers of four and at 2.
// +0 and anything not positive (negative, -0, NaN) give +0, so a rounding of 1 - r just below
// zero still yields a silent gain; +inf gives +inf; subnormals are scaled into the normal range.
float FastSqrt(float x);

// base^exponent for bases 2 and 10; any other base, and a NaN exponent, gives 0.
// - Base 2: n = exponent rounded half away from zero, clamped to [-126, 127]; returns 2^n exactly.
// - Base 10: the exponent is clamped to [-45, 38] (beyond that a float underflows to 0 or would
//   overflow); i = floor(x), f = x - i, the table entry 10^(round(200 f)/200) multiplied by 10
//   i times, or divided by 10 -i times. Steps of 0.1 dB: within 0.05 dB of 10^x.
float tablePower(float base, float exponent);

// x rounded to an integer, halves away from zero (the effects' one rounding rule).
float RoundHalfAway(float x);

// A finite azimuth in degrees wrapped into [-180, 180] by whole turns (190 -> -170).
float WrapAzimuth(float azimuth);
