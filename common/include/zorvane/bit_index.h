// Index arithmetic shared by every kernel family: inserting zero bits into a
// thread number, extracting and depositing bits over a mask, and the paired
// access to two adjacent amplitudes. All functions work on host and device
// alike and are unit-tested on the host.
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"

namespace zorvane {

// The global thread number, widened before the multiply.
__device__ __forceinline__ uint64_t global_thread_index() {
  return static_cast<uint64_t>(blockIdx.x) * static_cast<uint64_t>(blockDim.x) + threadIdx.x;
}

// Total number of threads of the grid: the stride of grid-stride loops.
__device__ __forceinline__ uint64_t grid_thread_count() {
  return static_cast<uint64_t>(blockDim.x) * static_cast<uint64_t>(gridDim.x);
}

// k with a 0 inserted at the position of the single set bit `bit`: the bits of
// k at and above that position move up by one.
__host__ __device__ __forceinline__ uint64_t insert_zero_bit(uint64_t k, uint64_t bit) {
  const uint64_t low = bit - 1;
  return ((k & ~low) << 1) | (k & low);
}

// k with a 0 inserted at bit position `position`.
__host__ __device__ __forceinline__ uint64_t insert_zero_at(uint64_t k, int position) {
  return insert_zero_bit(k, uint64_t{1} << position);
}

// k spread over the clear bits of `mask`: a 0 is inserted at every set bit of
// the mask, lowest first, so the bits of k fill the free positions in
// ascending order and every mask bit of the result is 0.
__host__ __device__ __forceinline__ uint64_t insert_zero_bits(uint64_t k, uint64_t mask) {
  while (mask != 0) {
    const uint64_t low = (mask - 1) & ~mask;
    k = ((k & ~low) << 1) | (k & low);
    mask &= mask - 1;
  }
  return k;
}

// The bits of `value` at the set positions of `mask`, packed into the low bits
// in ascending order (parallel bit extract).
__host__ __device__ __forceinline__ uint64_t compact_bits(uint64_t value, uint64_t mask) {
  uint64_t out = 0;
  for (uint64_t out_bit = 1; mask != 0; mask &= mask - 1, out_bit <<= 1)
    if (value & mask & (~mask + 1)) out |= out_bit;
  return out;
}

// The low bits of `bits` placed at the set positions of `mask`, lowest first
// (parallel bit deposit); the inverse of compact_bits on the mask's positions.
// Branch-free: the bits are arbitrary data, a branch on each would be
// mispredicted half the time.
__host__ __device__ __forceinline__ uint64_t deposit_bits(uint64_t bits, uint64_t mask) {
  uint64_t out = 0;
  for (; mask != 0; mask &= mask - 1, bits >>= 1) out |= mask & (~mask + 1) & (uint64_t{0} - (bits & 1));
  return out;
}

// The next value of a counter that lives on the set bits of `mask`: `value`
// plus `step` (both confined to the mask), carries running across the clear
// bits. Walks deposit(j, mask) for j, j + s, j + 2s, .. with
// step = deposit(s, mask) at one addition each.
__host__ __device__ __forceinline__ uint64_t masked_add(uint64_t value, uint64_t step, uint64_t mask) {
  return ((value | ~mask) + step) & mask;
}

// Two adjacent amplitudes starting at an even index, moved as one 16-byte
// access for complex64 and two 16-byte accesses for complex128.
template <class T>
struct AdjacentPair {
  CuComplex<T> lo;
  CuComplex<T> hi;
};

__device__ __forceinline__ AdjacentPair<float> load_adjacent(const CuComplex<float>* state, uint64_t even_index) {
  const float4 v = *reinterpret_cast<const float4*>(state + even_index);
  return AdjacentPair<float>{CuComplex<float>{v.x, v.y}, CuComplex<float>{v.z, v.w}};
}

__device__ __forceinline__ AdjacentPair<double> load_adjacent(const CuComplex<double>* state,
                                                              uint64_t even_index) {
  return AdjacentPair<double>{state[even_index], state[even_index + 1]};
}

__device__ __forceinline__ void store_adjacent(CuComplex<float>* state, uint64_t even_index,
                                               AdjacentPair<float> p) {
  *reinterpret_cast<float4*>(state + even_index) = make_float4(p.lo.x, p.lo.y, p.hi.x, p.hi.y);
}

__device__ __forceinline__ void store_adjacent(CuComplex<double>* state, uint64_t even_index,
                                               AdjacentPair<double> p) {
  state[even_index] = p.lo;
  state[even_index + 1] = p.hi;
}

}  // namespace zorvane
