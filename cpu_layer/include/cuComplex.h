// Complex types of the CUDA toolkit for the CPU execution layer: the vector
// types float2 and double2 under their complex names, with the helpers that
// code written against cuComplex.h uses.
#pragma once

#include <cmath>

#include <cuda_runtime.h>

typedef float2 cuFloatComplex;
typedef cuFloatComplex cuComplex;
typedef double2 cuDoubleComplex;

inline float cuCrealf(cuFloatComplex x) { return x.x; }
inline float cuCimagf(cuFloatComplex x) { return x.y; }
inline cuFloatComplex make_cuFloatComplex(float r, float i) { return cuFloatComplex{r, i}; }
inline cuComplex make_cuComplex(float r, float i) { return cuComplex{r, i}; }
inline cuFloatComplex cuConjf(cuFloatComplex x) { return cuFloatComplex{x.x, -x.y}; }
inline cuFloatComplex cuCaddf(cuFloatComplex a, cuFloatComplex b) { return cuFloatComplex{a.x + b.x, a.y + b.y}; }
inline cuFloatComplex cuCsubf(cuFloatComplex a, cuFloatComplex b) { return cuFloatComplex{a.x - b.x, a.y - b.y}; }
inline cuFloatComplex cuCmulf(cuFloatComplex a, cuFloatComplex b) {
  return cuFloatComplex{a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x};
}
inline float cuCabsf(cuFloatComplex x) { return std::hypot(x.x, x.y); }

inline double cuCreal(cuDoubleComplex x) { return x.x; }
inline double cuCimag(cuDoubleComplex x) { return x.y; }
inline cuDoubleComplex make_cuDoubleComplex(double r, double i) { return cuDoubleComplex{r, i}; }
inline cuDoubleComplex cuConj(cuDoubleComplex x) { return cuDoubleComplex{x.x, -x.y}; }
inline cuDoubleComplex cuCadd(cuDoubleComplex a, cuDoubleComplex b) { return cuDoubleComplex{a.x + b.x, a.y + b.y}; }
inline cuDoubleComplex cuCsub(cuDoubleComplex a, cuDoubleComplex b) { return cuDoubleComplex{a.x - b.x, a.y - b.y}; }
inline cuDoubleComplex cuCmul(cuDoubleComplex a, cuDoubleComplex b) {
  return cuDoubleComplex{a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x};
}
inline double cuCabs(cuDoubleComplex x) { return std::hypot(x.x, x.y); }
