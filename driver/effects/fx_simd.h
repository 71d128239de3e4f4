// Whether the effects' own inner loops take SSE2 steps: when the build targets SSE2 (x86-64, or
// 32-bit x86 built for it); otherwise their plain loops run. Such a loop computes each sample
// with the same float operations in the same order as its plain form, so both give the same bits.
#pragma once

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define ZELKO_FX_SSE 1
#else
#define ZELKO_FX_SSE 0
#endif
