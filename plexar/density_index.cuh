// Index arithmetic of the density kernels: splitting a row or column index
// of ρ into a group number and a sub-index.
//
// For k targets, a sub-index s in [0, 2^k) stands for offset(s) = OR over the
// set bits j of s of 1 << targets[j] (targets[0] is the least significant
// bit), and a group number g in [0, 2^(n−k)) for base(g) = OR over the set bits
// j of g of 1 << others[j], others being the non-target qubits in ascending
// order. Every index is base(g) | offset(s) for exactly one (g, s).
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

#include "density_targets.h"
#include "zorvane/bit_index.h"
#include "zorvane/unroll.h"

namespace zorvane::plexar {

__host__ __device__ __forceinline__ uint64_t target_bit(const DeviceTargets& t, int j) {
  return uint64_t{1} << static_cast<uint32_t>(t.targets[j]);
}

// OR of the bits of the first `count` targets.
__host__ __device__ __forceinline__ uint64_t targets_mask(const DeviceTargets& t, int count) {
  uint64_t mask = 0;
  for (int j = 0; j < count; ++j) mask |= target_bit(t, j);
  return mask;
}

// base(g). The others are exactly the non-target qubits in ascending order,
// so depositing g over them equals inserting a zero bit at each target
// position: k insertions instead of n − k deposits.
__host__ __device__ __forceinline__ uint64_t group_base(uint64_t g, uint64_t target_mask) {
  return insert_zero_bits(g, target_mask);
}

// offset(s) over the first K targets.
template <int K>
__host__ __device__ __forceinline__ uint64_t target_offset(uint32_t s, const DeviceTargets& t) {
  uint64_t offset = 0;
  ZORVANE_UNROLL
  for (int j = 0; j < K; ++j)
    if ((s >> j) & 1u) offset |= target_bit(t, j);
  return offset;
}

// log2 of a power of two below 2^32 (a group count f = dimension >> k).
__host__ __device__ __forceinline__ uint32_t log2_of(uint32_t power) {
  uint32_t shift = 0;
  while ((uint32_t{1} << shift) < power) ++shift;
  return shift;
}

// Whether index x satisfies the controls (always, with none).
__host__ __device__ __forceinline__ bool controls_hold(uint64_t x, uint64_t control_mask, uint64_t control_values) {
  return (x & control_mask) == control_values;
}

}  // namespace zorvane::plexar
