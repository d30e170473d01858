// Host launchers of the state-vector gate families, one per gate and element
// type (float for complex64 states, double for complex128). Each validates its
// control lists, picks the kernel variant for the mode and the gate's shape,
// launches on `stream` and checks the launch. Modes: 0 AllState, 2 PairAuto,
// anything else Pair.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"

namespace stavex {

using zorvane::CuComplex;
using QubitList = std::vector<int64_t>;

// Kernel strategies; PairAutoFusion is a circuit-level strategy of the run
// flow and, passed to a launcher, behaves as Pair.
enum KernelMode : int32_t {
  AllState = 0,
  Pair = 1,
  PairAuto = 2,
  PairAutoFusion = 3,
};

#define STAVEX_DECLARE_FIXED_LAUNCHER(name)                                                                 \
  template <class T>                                                                                        \
  void name(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,                     \
            const QubitList& control_state, cudaStream_t stream, int32_t mode);

STAVEX_DECLARE_FIXED_LAUNCHER(cu_x)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_y)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_z)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_h)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_s)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_sdag)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_sqrtx)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_sqrtxdag)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_sqrty)
STAVEX_DECLARE_FIXED_LAUNCHER(cu_sqrtydag)
#undef STAVEX_DECLARE_FIXED_LAUNCHER

template <class T>
void cu_swap(uint64_t n, CuComplex<T>* state, int32_t q1, int32_t q2, const QubitList& controls,
             const QubitList& control_state, cudaStream_t stream, int32_t mode);

#define STAVEX_DECLARE_ROTATION_LAUNCHER(name)                                                              \
  template <class T>                                                                                        \
  void name(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,                     \
            const QubitList& control_state, T angle, cudaStream_t stream, int32_t mode);

STAVEX_DECLARE_ROTATION_LAUNCHER(cu_rx)
STAVEX_DECLARE_ROTATION_LAUNCHER(cu_ry)
STAVEX_DECLARE_ROTATION_LAUNCHER(cu_rz)
STAVEX_DECLARE_ROTATION_LAUNCHER(cu_phase)
#undef STAVEX_DECLARE_ROTATION_LAUNCHER

template <class T>
void cu_u(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
          const QubitList& control_state, T theta, T phi, T lambda, cudaStream_t stream, int32_t mode);

template <class T>
void cu_global_phase(uint64_t n, CuComplex<T>* state, const QubitList& controls, const QubitList& control_state,
                     T phi, cudaStream_t stream);

// Dense 2^k × 2^k matrix (row-major, complex double) on k targets; local bit j
// of a row or column index stands for targets[j].
template <class T>
void cu_unitary(uint64_t n, CuComplex<T>* state, const QubitList& targets, const QubitList& controls,
                const QubitList& control_state, const std::vector<std::complex<double>>& matrix,
                int64_t matrix_dim, cudaStream_t stream, int32_t mode);

}  // namespace stavex
