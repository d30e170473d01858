// The element type of every state buffer and device matrix, and the complex
// arithmetic the kernels share.
//
// CuComplex<T> is byte-compatible with NumPy's complex64 (T = float) and
// complex128 (T = double): real part, then imaginary part, aligned to its own
// size so one amplitude moves as one vector access.
#pragma once

#include <math.h>

#include <cuda_runtime.h>

namespace zorvane {

template <class T>
struct alignas(2 * sizeof(T)) CuComplex {
  T x;  // real part
  T y;  // imaginary part
};

static_assert(sizeof(CuComplex<float>) == 8 && alignof(CuComplex<float>) == 8, "complex64 layout");
static_assert(sizeof(CuComplex<double>) == 16 && alignof(CuComplex<double>) == 16, "complex128 layout");

// Complex product in T: (x1·x2 − y1·y2, x1·y2 + y1·x2).
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> cmul(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x};
}

// Product with a conjugate in T, a·conj(b): (x1·x2 + y1·y2, y1·x2 − x1·y2).
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> cmul_conj(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.x * b.x + a.y * b.y, a.y * b.x - a.x * b.y};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> cadd(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.x + b.x, a.y + b.y};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> csub(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.x - b.x, a.y - b.y};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> cscale(CuComplex<T> a, T s) {
  return CuComplex<T>{a.x * s, a.y * s};
}

// Row of a 2×2 matrix applied to a pair: m0·a0 + m1·a1.
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> cdot2(CuComplex<T> m0, CuComplex<T> a0, CuComplex<T> m1,
                                                     CuComplex<T> a1) {
  return cadd(cmul(m0, a0), cmul(m1, a1));
}

// Accurate sine and cosine of the element type (never the fast intrinsics).
__host__ __device__ __forceinline__ void sin_cos(float angle, float* s, float* c) { sincosf(angle, s, c); }
__host__ __device__ __forceinline__ void sin_cos(double angle, double* s, double* c) { sincos(angle, s, c); }

}  // namespace zorvane
