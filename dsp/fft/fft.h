// The FFT folder's public face for the rest of the library and the driver's effects.
//
// Typical use (long FIR overlap-save, headphone surround), real FFT of order n:
//   int32_t specBytes, initBytes, workBytes;
//   fftRealGetSize(n, kFftScaleInverse, 0, &specBytes, &initBytes, &workBytes);
//   FftSpec* spec; fftRealInit(&spec, n, kFftScaleInverse, 0, specBuf, initBufOrNull);
//   // or fftCreateReal(&spec, n, flag, 0) ... fftFreeReal(spec)
//   fftRealForward(x, X, spec, work);         // packed spectrum
//   mulPackSpectrumInPlace(H, X, 1 << n);     // X *= H
//   fftRealInverse(X, y, spec, work);         // circular convolution, 1/N applied by flag 2
// With a work buffer of workBytes (or workBytes == 0) no transform allocates.
#pragma once

#include "dsp/fft/entries.h"
#include "dsp/fft/spec.h"
#include "dsp/fft/transform.h"
