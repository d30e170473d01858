// The DenseMM executor: a group's dense 2^k x 2^k matrix applied to every
// slice of the state that differs only in the k active qubits, as one complex
// matrix product. The state is gathered so that the active qubits become the
// low index bits (each slice one contiguous column), multiplied by cuBLAS and
// scattered back. The cuBLAS handle and the two state-sized scratch buffers
// live in a per-thread, per-precision cache.
#pragma once

#include <cstdint>

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"

namespace stavex {
namespace fusion {

template <class T>
struct DenseMMCache {
  int32_t device = -1;  // the device the resources below belong to; -1: none
  uint64_t capacity = 0;  // elements each buffer holds
  zorvane::CuComplex<T>* transpose_buffer = nullptr;
  zorvane::CuComplex<T>* gemm_buffer = nullptr;
  cublasHandle_t handle = nullptr;

  DenseMMCache() = default;
  DenseMMCache(const DenseMMCache&) = delete;
  DenseMMCache& operator=(const DenseMMCache&) = delete;
  // Thread exit: the resources are released on their device.
  ~DenseMMCache();

  // Valid for the current device with room for `count` elements per buffer.
  void ensure(uint64_t count);

 private:
  void release() noexcept;
  void free_buffers() noexcept;
};

// The calling thread's cache of precision T.
template <class T>
DenseMMCache<T>& densemm_cache();

// Applies the group's matrix (device pointer to its first element, row-major)
// on `stream`. The caller checks the final launch; a failed gather launch is
// reported here, before the product could write stale scratch data back.
template <class T>
void run_densemm_group(cublasHandle_t handle, int64_t n, zorvane::CuComplex<T>* state,
                       zorvane::CuComplex<T>* transpose_buffer, zorvane::CuComplex<T>* gemm_buffer,
                       uint64_t active_mask, int32_t k, const zorvane::CuComplex<T>* matrix, cudaStream_t stream);

// destination[i] = source[g(i)] and destination[g(i)] = source[i], with
// g(i) = deposit(i mod 2^k, active mask) | deposit(i >> k, inactive mask).
template <class T>
__global__ void transpose_to_low_bits(uint64_t count, const zorvane::CuComplex<T>* source,
                                      zorvane::CuComplex<T>* destination, uint64_t active_mask,
                                      uint64_t inactive_mask, int32_t k);
template <class T>
__global__ void transpose_from_low_bits(uint64_t count, const zorvane::CuComplex<T>* source,
                                        zorvane::CuComplex<T>* destination, uint64_t active_mask,
                                        uint64_t inactive_mask, int32_t k);

}  // namespace fusion
}  // namespace stavex
