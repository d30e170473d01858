// Small gate matrices handed to kernels by value: row-major, one CuComplex<T>
// per entry, so a launch copies them into the kernel's parameters and no
// device allocation is needed for one- and two-qubit matrices.
#pragma once

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"

namespace stavex {

template <class T>
struct GateMatrix2x2 {
  zorvane::CuComplex<T> m00, m01, m10, m11;
};

// A dense one-target UNITARY matrix: the same layout and the same update.
template <class T>
using Unitary2x2 = GateMatrix2x2<T>;

template <class T>
struct Unitary4x4 {
  zorvane::CuComplex<T> m[16];
};

// a0' = m00·a0 + m01·a1, a1' = m10·a0 + m11·a1.
template <class T>
__host__ __device__ __forceinline__ void apply_matrix_2x2(const GateMatrix2x2<T>& m, zorvane::CuComplex<T>& a0,
                                                          zorvane::CuComplex<T>& a1) {
  const zorvane::CuComplex<T> b0 = zorvane::cdot2(m.m00, a0, m.m01, a1);
  const zorvane::CuComplex<T> b1 = zorvane::cdot2(m.m10, a0, m.m11, a1);
  a0 = b0;
  a1 = b1;
}

}  // namespace stavex
