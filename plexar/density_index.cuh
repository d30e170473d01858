// What the density kernels share: launch geometry, the split of a row or
// column index of ρ into a group number and a sub-index, and access to the
// 2 × 2 blocks of one-target actions.
//
// For k targets, a sub-index s in [0, 2^k) stands for offset(s) = OR over the
// set bits j of s of 1 << targets[j] (targets[0] is the least significant
// bit), and a group number g in [0, 2^(n−k)) for base(g) = OR over the set bits
// j of g of 1 << others[j], others being the non-target qubits in ascending
// order. Every index is base(g) | offset(s) for exactly one (g, s).
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

#include "density_blocks.h"
#include "density_targets.h"
#include "zorvane/bit_index.h"
#include "zorvane/launch.h"
#include "zorvane/unroll.h"

namespace zorvane::plexar {

// Launch geometry shared by the density kernels: one-dimensional launches of
// work items, and two-dimensional launches of one thread per element (x:
// column, y: row).
constexpr unsigned int kItemsPerBlock = 256;
constexpr unsigned int kTileX = 32;
constexpr unsigned int kTileY = 8;

inline dim3 item_grid(uint64_t items) { return dim3(blocks_for(items, kItemsPerBlock)); }

inline dim3 element_grid(int64_t dimension) {
  const auto d = static_cast<uint64_t>(dimension);
  return dim3(blocks_for(d, kTileX), blocks_for(d, kTileY));
}

// Work items are numbered in 32 bits: at most 2^29 of them for 15 qubits, and
// the grids sized by item_grid keep t + stride below 2^32.
__device__ __forceinline__ uint32_t first_item() { return blockIdx.x * blockDim.x + threadIdx.x; }
__device__ __forceinline__ uint32_t item_stride() { return gridDim.x * blockDim.x; }

__device__ __forceinline__ uint64_t tile_column() { return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; }
__device__ __forceinline__ uint64_t tile_row() { return static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y; }

__host__ __device__ __forceinline__ uint64_t target_bit(const DeviceTargets& t, int j) {
  return uint64_t{1} << static_cast<uint32_t>(t.targets[j]);
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

// log2 of a power of two below 2^32.
__host__ __device__ __forceinline__ uint32_t log2_of(uint32_t power) {
  uint32_t shift = 0;
  while ((uint32_t{1} << shift) < power) ++shift;
  return shift;
}

// What a kernel needs to walk the groups of a K-target action on a matrix of
// `dimension` rows: the mask of the targets, the offset of every sub-index,
// and the group count f = dimension >> K (a power of two) with its log2.
template <int K>
struct TargetLayout {
  static constexpr int kSubIndices = 1 << K;
  uint64_t mask = 0;
  uint64_t offset[kSubIndices];
  uint32_t groups;
  uint32_t shift;

  __host__ __device__ TargetLayout(int64_t dimension, const DeviceTargets& t)
      : groups(static_cast<uint32_t>(static_cast<uint64_t>(dimension) >> K)), shift(log2_of(groups)) {
    ZORVANE_UNROLL
    for (int j = 0; j < K; ++j) mask |= target_bit(t, j);
    ZORVANE_UNROLL
    for (uint32_t s = 0; s < kSubIndices; ++s) offset[s] = target_offset<K>(s, t);
  }
  // base() of the row group and of the column group of pair number q < f².
  __host__ __device__ uint64_t row_base(uint32_t q) const { return group_base(q >> shift, mask); }
  __host__ __device__ uint64_t column_base(uint32_t q) const { return group_base(q & (groups - 1), mask); }
};

// Whether index x satisfies the controls (always, with none).
__host__ __device__ __forceinline__ bool controls_hold(uint64_t x, uint64_t control_mask, uint64_t control_values) {
  return (x & control_mask) == control_values;
}

// The 2 × 2 block of rows r, r | tb and columns c, c | tb of a row-major
// matrix with `dim` columns.
template <class T>
__device__ __forceinline__ Block2<T> load_block(const CuComplex<T>* data, uint64_t dim, uint64_t r, uint64_t c,
                                                uint64_t tb) {
  const CuComplex<T>* row0 = data + r * dim;
  const CuComplex<T>* row1 = data + (r | tb) * dim;
  return Block2<T>{{{row0[c], row0[c | tb]}, {row1[c], row1[c | tb]}}};
}

template <class T>
__device__ __forceinline__ void store_block(CuComplex<T>* data, uint64_t dim, uint64_t r, uint64_t c, uint64_t tb,
                                            const Block2<T>& a) {
  CuComplex<T>* row0 = data + r * dim;
  CuComplex<T>* row1 = data + (r | tb) * dim;
  row0[c] = a.m[0][0];
  row0[c | tb] = a.m[0][1];
  row1[c] = a.m[1][0];
  row1[c | tb] = a.m[1][1];
}

}  // namespace zorvane::plexar
