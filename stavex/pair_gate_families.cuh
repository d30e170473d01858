// The kernels, kernel table and launcher of a single-target gate family that
// follows the common naming, generated from its update functor.
//
//   STAVEX_FIXED_GATE(s, SUpdate)
//
// defines cu_s_kernel_all_state<T>, cu_s_kernel_pair<T>,
// s_autopair::{target0_no_control, no_control, target0_compact, compact}<T>
// (thin wrappers over the shared mappings of pair_kernels.cuh) and the
// launcher cu_s for float and double, whose launch failures read
// "cu_s kernel launch failed: ...".
//
//   STAVEX_ANGLE_GATE(rx, RxUpdate, (CuComplex<T> c, CuComplex<T> d), (c, d))
//
// does the same for a gate of one angle. Its grid-stride kernels take the
// angle and build the update per thread with Update::from_angle on the device;
// its PairAuto kernels take the values the host computed once (the
// parameters given, in order) and build Update{values...}; the launcher passes
// Update::from_angle(angle).values() to them.
//
// Gates that depart from the common scheme (H's and U's names, X's state scan,
// SWAP, the dense unitary) spell their kernels out instead.
#pragma once

#include "pair_kernels.cuh"

#define STAVEX_UNPARENTHESIZE(...) __VA_ARGS__

#define STAVEX_PAIR_KERNEL_TABLE(g)                                                                           \
  template <class T>                                                                                          \
  struct g##_kernels {                                                                                        \
    static constexpr const char* family = "cu_" #g;                                                           \
    static constexpr auto all_state = &cu_##g##_kernel_all_state<T>;                                          \
    static constexpr auto pair = &cu_##g##_kernel_pair<T>;                                                    \
    static constexpr auto target0_no_control = &g##_autopair::target0_no_control<T>;                          \
    static constexpr auto no_control = &g##_autopair::no_control<T>;                                          \
    static constexpr auto target0_compact = &g##_autopair::target0_compact<T>;                                \
    static constexpr auto compact = &g##_autopair::compact<T>;                                                \
  };

// `grid_params` and `grid_update` are the grid-stride kernels' trailing
// parameters and how they build the update; `host_params` and `host_update`
// the same for the PairAuto kernels. Each parameter list starts with a comma
// or is empty.
#define STAVEX_PAIR_GATE_KERNELS(g, grid_params, grid_update, host_params, host_update)                       \
  template <class T>                                                                                          \
  __global__ void cu_##g##_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target,                  \
                                            uint64_t control_mask,                                            \
                                            uint64_t control_value STAVEX_UNPARENTHESIZE grid_params) {       \
    all_state_pairs(n, state, target, control_mask, control_value, grid_update);                              \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void cu_##g##_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask, \
                                       uint64_t control_value STAVEX_UNPARENTHESIZE grid_params) {            \
    grid_stride_pairs(n, state, target, control_mask, control_value, grid_update);                            \
  }                                                                                                           \
  namespace g##_autopair {                                                                                    \
  template <class T>                                                                                          \
  __global__ void target0_no_control(uint64_t count, CuComplex<T>* state STAVEX_UNPARENTHESIZE host_params) { \
    autopair_target0_no_control(count, state, host_update);                                                   \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void no_control(uint64_t count, CuComplex<T>* state,                                             \
                             uint64_t tbit STAVEX_UNPARENTHESIZE host_params) {                               \
    autopair_no_control(count, state, tbit, host_update);                                                     \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,                  \
                                  uint64_t control_value STAVEX_UNPARENTHESIZE host_params) {                 \
    autopair_target0_compact(count, state, insert_mask, control_value, host_update);                          \
  }                                                                                                           \
  template <class T>                                                                                          \
  __global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,  \
                          uint64_t tbit STAVEX_UNPARENTHESIZE host_params) {                                  \
    autopair_compact(count, state, insert_mask, control_value, tbit, host_update);                            \
  }                                                                                                           \
  }                                                                                                           \
  STAVEX_PAIR_KERNEL_TABLE(g)

#define STAVEX_FIXED_GATE(g, Update)                                                                          \
  STAVEX_PAIR_GATE_KERNELS(g, (), Update<T>{}, (), Update<T>{})                                               \
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

#define STAVEX_ANGLE_GATE(g, Update, host_params, host_values)                                                \
  STAVEX_PAIR_GATE_KERNELS(g, (, T angle), Update<T>::from_angle(angle),                                      \
                           (, STAVEX_UNPARENTHESIZE host_params), Update<T>{STAVEX_UNPARENTHESIZE host_values}) \
  template <class T>                                                                                          \
  void cu_##g(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,                     \
              const QubitList& control_state, T angle, cudaStream_t stream, int32_t mode) {                   \
    const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);                   \
    launch_pair_family<g##_kernels<T>>(n, state, target, plan, stream, std::make_tuple(angle),                \
                                       Update<T>::from_angle(angle).values());                                \
  }                                                                                                           \
  template void cu_##g<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, float, \
                              cudaStream_t, int32_t);                                                         \
  template void cu_##g<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&,     \
                               double, cudaStream_t, int32_t);
