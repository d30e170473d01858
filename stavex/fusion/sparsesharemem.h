// The SparseShareMem executor: one kernel launch applies all gates of a fused
// group to every tile of the state (the 2^k amplitudes that differ only in the
// group's k active qubits), each tile held in shared memory for the whole
// group.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cuda_runtime.h>

#include "fusion.h"
#include "zorvane/cu_complex.h"

namespace stavex {
namespace fusion {

// Largest group the kernel takes, and the dynamic shared memory of a launch
// on k active qubits: the tile of 2^k amplitudes.
constexpr int32_t kSparseShareMemMaxQubits = 10;
template <class T>
constexpr size_t sparsesharemem_shared_bytes(int32_t k) {
  return (size_t{1} << k) * sizeof(zorvane::CuComplex<T>);
}

// Validates the group's shape, then launches the kernel on `stream`; the
// caller checks the launch. `gates` points to the group's first record in
// device memory.
template <class T>
void run_sparsesharemem_group(int64_t n, zorvane::CuComplex<T>* state, uint64_t active_mask, int32_t k,
                              const DeviceMatrixGate<T>* gates, int32_t count, cudaStream_t stream);

// tiles = 2^(n-k); inactive_mask = active_mask ^ (2^n - 1). Works for any
// block size; dynamic shared memory of 2^k amplitudes.
template <class T>
__global__ void sparsesharemem_kernel(zorvane::CuComplex<T>* state, uint64_t tiles, uint64_t active_mask,
                                      uint64_t inactive_mask, int32_t k, const DeviceMatrixGate<T>* gates,
                                      int32_t count);

}  // namespace fusion
}  // namespace stavex
