// What every single-target gate family shares: the thread-to-pair mappings of
// the kernel modes (as device bodies the named kernels call), the choice of
// variant and grid from the mode and the gate's shape, and the launch.
//
// A family supplies an update functor and its named kernels:
//   struct Update {
//     static constexpr bool kA1Only;                      // gate changes only a1
//     __device__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const;  // kA1Only false
//     __device__ void operator()(CuComplex<T>& a1) const;                    // kA1Only true
//   };
// and a kernel table (see launch_single_qubit_family).
#pragma once

#include <cstdint>
#include <tuple>

#include <cuda_runtime.h>

#include "control_masks.h"
#include "gate_launchers.h"
#include "launch_blocks.h"
#include "zorvane/bit_index.h"
#include "zorvane/cu_complex.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace stavex {

using zorvane::global_thread_index;
using zorvane::grid_thread_count;
using zorvane::insert_zero_bit;
using zorvane::insert_zero_bits;

// ---- updating one pair ------------------------------------------------------

template <class T, class Update>
__device__ __forceinline__ void update_pair(CuComplex<T>* state, uint64_t i0, uint64_t i1, const Update& update) {
  if constexpr (Update::kA1Only) {
    CuComplex<T> a1 = state[i1];
    update(a1);
    state[i1] = a1;
  } else {
    CuComplex<T> a0 = state[i0];
    CuComplex<T> a1 = state[i1];
    update(a0, a1);
    state[i0] = a0;
    state[i1] = a1;
  }
}

// The pair (i0, i0 + 1) with i0 even, moved as one contiguous block.
template <class T, class Update>
__device__ __forceinline__ void update_adjacent_pair(CuComplex<T>* state, uint64_t i0, const Update& update) {
  if constexpr (Update::kA1Only) {
    CuComplex<T> a1 = state[i0 + 1];
    update(a1);
    state[i0 + 1] = a1;
  } else {
    zorvane::AdjacentPair<T> p = zorvane::load_adjacent(state, i0);
    update(p.lo, p.hi);
    zorvane::store_adjacent(state, i0, p);
  }
}

// ---- thread-to-pair mappings -------------------------------------------------

// AllState: one thread per amplitude index (grid-stride); only indices with the
// target bit clear that satisfy the controls do work.
template <class T, class Update>
__device__ __forceinline__ void all_state_pairs(int64_t n, CuComplex<T>* state, int32_t target,
                                                uint64_t control_mask, uint64_t control_value, const Update& update) {
  const uint64_t tbit = uint64_t{1} << target;
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_thread_count())
    if ((i & tbit) == 0 && (i & control_mask) == control_value) update_pair(state, i, i | tbit, update);
}

// Pair: one thread per pair number (grid-stride), controls tested on i0.
template <class T, class Update>
__device__ __forceinline__ void grid_stride_pairs(int64_t n, CuComplex<T>* state, int32_t target,
                                                  uint64_t control_mask, uint64_t control_value,
                                                  const Update& update) {
  const uint64_t tbit = uint64_t{1} << target;
  for (uint64_t k = global_thread_index(); (k >> (n - 1)) == 0; k += grid_thread_count()) {
    const uint64_t i0 = insert_zero_bit(k, tbit);
    if ((i0 & control_mask) == control_value) update_pair(state, i0, i0 | tbit, update);
  }
}

// PairAuto: one thread per updated pair, no loop.
template <class T, class Update>
__device__ __forceinline__ void autopair_target0_no_control(uint64_t count, CuComplex<T>* state,
                                                            const Update& update) {
  const uint64_t t = global_thread_index();
  if (t < count) update_adjacent_pair(state, 2 * t, update);
}

template <class T, class Update>
__device__ __forceinline__ void autopair_no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit,
                                                    const Update& update) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t i0 = insert_zero_bit(t, tbit);
  update_pair(state, i0, i0 | tbit, update);
}

template <class T, class Update>
__device__ __forceinline__ void autopair_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                                         uint64_t control_value, const Update& update) {
  const uint64_t t = global_thread_index();
  if (t < count) update_adjacent_pair(state, insert_zero_bits(t, insert_mask) | control_value, update);
}

template <class T, class Update>
__device__ __forceinline__ void autopair_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                                 uint64_t control_value, uint64_t tbit, const Update& update) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t i0 = insert_zero_bits(t, insert_mask) | control_value;
  update_pair(state, i0, i0 | tbit, update);
}

// ---- the host side ------------------------------------------------------------

enum class PairVariant { all_state, pair, target0_no_control, no_control, target0_compact, compact };

struct PairLaunchPlan {
  PairVariant variant;
  unsigned int blocks;
  uint64_t count;        // pairs (PairAuto) or items (AllState, Pair)
  uint64_t tbit;
  uint64_t control_mask;
  uint64_t control_value;  // PairAuto compact: with the target bit cleared
  uint64_t insert_mask;
};

// Validates the gate's qubits and controls, then picks the variant: mode 0
// AllState, mode 2 PairAuto by (controls?, target 0?), anything else Pair.
inline PairLaunchPlan plan_pair_launch(uint64_t n, int32_t target, const QubitList& controls,
                                       const QubitList& control_state, int32_t mode) {
  const ControlMasks masks = checked_control_masks(n, QubitList{target}, controls, control_state);
  PairLaunchPlan p{};
  p.tbit = uint64_t{1} << target;
  p.control_mask = masks.mask;
  p.control_value = masks.value;
  if (mode == AllState) {
    p.variant = PairVariant::all_state;
    p.count = uint64_t{1} << n;
    p.blocks = zorvane::grid_stride_blocks(p.count, kPairBlock);
  } else if (mode == PairAuto) {
    p.count = uint64_t{1} << (n - 1 - controls.size());
    p.blocks = zorvane::blocks_for(p.count, kPairBlock);
    if (controls.empty()) {
      p.variant = target == 0 ? PairVariant::target0_no_control : PairVariant::no_control;
    } else {
      p.variant = target == 0 ? PairVariant::target0_compact : PairVariant::compact;
      p.insert_mask = p.tbit | masks.mask;
      p.control_value = masks.value & ~p.tbit;
    }
  } else {
    p.variant = PairVariant::pair;
    p.count = uint64_t{1} << (n - 1);
    p.blocks = zorvane::grid_stride_blocks(p.count, kPairBlock);
  }
  return p;
}

// Launches the variant of `plan` from the family's kernel table:
//   struct Kernels {
//     static constexpr const char* family;            // "cu_h": launch-failure prefix
//     static constexpr auto all_state, pair;          // (n, state, target, mask, value, device_args...)
//     static constexpr auto target0_no_control;       // (count, state, host_args...)
//     static constexpr auto no_control;               // (count, state, tbit, host_args...)
//     static constexpr auto target0_compact;          // (count, state, insert mask, value, host_args...)
//     static constexpr auto compact;                  // (count, state, insert mask, value, tbit, host_args...)
//   };
// `device_args` go to the grid-stride kernels (raw angles, evaluated per
// thread); `host_args` to the PairAuto kernels (values the host evaluated).
template <class Kernels, class T, class... DeviceArgs, class... HostArgs>
void launch_pair_family(uint64_t n, CuComplex<T>* state, int32_t target, const PairLaunchPlan& p,
                        cudaStream_t stream, const std::tuple<DeviceArgs...>& device_args,
                        const std::tuple<HostArgs...>& host_args) {
  using zorvane::launch_kernel;
  const auto n_signed = static_cast<int64_t>(n);
  std::apply(
      [&](const auto&... dev) {
        std::apply(
            [&](const auto&... host) {
              switch (p.variant) {
                case PairVariant::all_state:
                  launch_kernel(Kernels::all_state, p.blocks, kPairBlock, 0, stream, n_signed, state, target,
                                p.control_mask, p.control_value, dev...);
                  break;
                case PairVariant::pair:
                  launch_kernel(Kernels::pair, p.blocks, kPairBlock, 0, stream, n_signed, state, target,
                                p.control_mask, p.control_value, dev...);
                  break;
                case PairVariant::target0_no_control:
                  launch_kernel(Kernels::target0_no_control, p.blocks, kPairBlock, 0, stream, p.count, state,
                                host...);
                  break;
                case PairVariant::no_control:
                  launch_kernel(Kernels::no_control, p.blocks, kPairBlock, 0, stream, p.count, state, p.tbit,
                                host...);
                  break;
                case PairVariant::target0_compact:
                  launch_kernel(Kernels::target0_compact, p.blocks, kPairBlock, 0, stream, p.count, state,
                                p.insert_mask, p.control_value, host...);
                  break;
                case PairVariant::compact:
                  launch_kernel(Kernels::compact, p.blocks, kPairBlock, 0, stream, p.count, state, p.insert_mask,
                                p.control_value, p.tbit, host...);
                  break;
              }
            },
            host_args);
      },
      device_args);
  zorvane::check_kernel_launch(Kernels::family);
}

}  // namespace stavex
