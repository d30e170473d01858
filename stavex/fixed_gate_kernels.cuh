// The kernels, kernel table and launcher of a fixed single-qubit gate whose
// kernels follow the common naming, generated from its update functor:
//
//   STAVEX_FIXED_GATE(s, SUpdate)
//
// defines cu_s_kernel_all_state<T>, cu_s_kernel_pair<T>,
// s_autopair::{target0_no_control, no_control, target0_compact, compact}<T>
// (each a thin wrapper over the shared mappings of pair_kernels.cuh) and the
// launcher cu_s for float and double, whose launch failures read
// "cu_s kernel launch failed: ...". Gates that depart from the common scheme
// (H's names, X's state scan) spell their kernels out instead.
#pragma once

#include "pair_kernels.cuh"

#define STAVEX_FIXED_GATE(g, Update)                                                                         \
  template <class T>                                                                                          \
  __global__ void cu_##g##_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target,                  \
                                            uint64_t control_mask, uint64_t control_value) {                  \
    all_state_pairs(n, state, target, control_mask, control_value, Update<T>{});                             \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void cu_##g##_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask, \
                                       uint64_t control_value) {                                              \
    grid_stride_pairs(n, state, target, control_mask, control_value, Update<T>{});                           \
  }                                                                                                           \
  namespace g##_autopair {                                                                                    \
  template <class T>                                                                                          \
  __global__ void target0_no_control(uint64_t count, CuComplex<T>* state) {                                   \
    autopair_target0_no_control(count, state, Update<T>{});                                                  \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit) {                            \
    autopair_no_control(count, state, tbit, Update<T>{});                                                     \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,                  \
                                  uint64_t control_value) {                                                   \
    autopair_target0_compact(count, state, insert_mask, control_value, Update<T>{});                          \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,  \
                          uint64_t tbit) {                                                                    \
    autopair_compact(count, state, insert_mask, control_value, tbit, Update<T>{});                            \
  }                                                                                                           \
  }                                                                                                           \
  template <class T>                                                                                          \
  struct g##_kernels {                                                                                        \
    static constexpr const char* family = "cu_" #g;                                                           \
    static constexpr auto all_state = &cu_##g##_kernel_all_state<T>;                                          \
    static constexpr auto pair = &cu_##g##_kernel_pair<T>;                                                    \
    static constexpr auto target0_no_control = &g##_autopair::target0_no_control<T>;                          \
    static constexpr auto no_control = &g##_autopair::no_control<T>;                                          \
    static constexpr auto target0_compact = &g##_autopair::target0_compact<T>;                                \
    static constexpr auto compact = &g##_autopair::compact<T>;                                                \
  };                                                                                                          \
  template <class T>                                                                                          \
  void cu_##g(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,                     \
              const QubitList& control_state, cudaStream_t stream, int32_t mode) {                            \
    launch_pair_family<g##_kernels<T>>(n, state, target,                                                      \
                                       plan_pair_launch(n, target, controls, control_state, mode), stream,     \
                                       std::tuple<>{}, std::tuple<>{});                                       \
  }                                                                                                           \
  template void cu_##g<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&,       \
                              cudaStream_t, int32_t);                                                         \
  template void cu_##g<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&,     \
                               cudaStream_t, int32_t);
