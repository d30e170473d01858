// The DenseMM kernels (gather into and scatter out of the low-bit layout), the
// group launcher with its cuBLAS product, and the per-thread cache of cuBLAS
// handle and scratch buffers.
#include "densemm.h"

#include <climits>
#include <stdexcept>

#include "launch_blocks.h"
#include "zorvane/bit_index.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace stavex {
namespace fusion {

using zorvane::CuComplex;
using zorvane::deposit_bits;

namespace {

constexpr uint64_t kMaxBlocks = 65535;

// g(i). deposit(i >> k, inactive mask) is i >> k with zeros inserted at the k
// active positions: k steps instead of n - k.
__device__ __forceinline__ uint64_t gathered_index(uint64_t i, uint64_t active_mask, int32_t k) {
  return deposit_bits(i & ((uint64_t{1} << k) - 1), active_mask) | zorvane::insert_zero_bits(i >> k, active_mask);
}

cublasStatus_t gemm(cublasHandle_t handle, int d, int cols, const CuComplex<float>* a, const CuComplex<float>* b,
                    CuComplex<float>* c) {
  const cuComplex one{1.0f, 0.0f}, zero{0.0f, 0.0f};
  return cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, d, cols, d, &one, reinterpret_cast<const cuComplex*>(a), d,
                     reinterpret_cast<const cuComplex*>(b), d, &zero, reinterpret_cast<cuComplex*>(c), d);
}

cublasStatus_t gemm(cublasHandle_t handle, int d, int cols, const CuComplex<double>* a, const CuComplex<double>* b,
                    CuComplex<double>* c) {
  const cuDoubleComplex one{1.0, 0.0}, zero{0.0, 0.0};
  return cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, d, cols, d, &one,
                     reinterpret_cast<const cuDoubleComplex*>(a), d, reinterpret_cast<const cuDoubleComplex*>(b), d,
                     &zero, reinterpret_cast<cuDoubleComplex*>(c), d);
}

constexpr const char* gemm_failure(float) { return "cublasCgemm DenseMM failed"; }
constexpr const char* gemm_failure(double) { return "cublasZgemm DenseMM failed"; }

}  // namespace

template <class T>
__global__ void transpose_to_low_bits(uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                                      uint64_t active_mask, uint64_t /*inactive_mask*/, int32_t k) {
  for (uint64_t i = zorvane::global_thread_index(); i < count; i += zorvane::grid_thread_count())
    destination[i] = source[gathered_index(i, active_mask, k)];
}

template <class T>
__global__ void transpose_from_low_bits(uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                                        uint64_t active_mask, uint64_t /*inactive_mask*/, int32_t k) {
  for (uint64_t i = zorvane::global_thread_index(); i < count; i += zorvane::grid_thread_count())
    destination[gathered_index(i, active_mask, k)] = source[i];
}

template <class T>
void run_densemm_group(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                       CuComplex<T>* gemm_buffer, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                       cudaStream_t stream) {
  if (k <= 0 || k >= n) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
  const uint64_t count = uint64_t{1} << n;
  const uint64_t inactive_mask = active_mask ^ (count - 1);
  const uint64_t wanted = (count + kTransposeBlock - 1) / kTransposeBlock;
  const dim3 grid(static_cast<unsigned int>(wanted < kMaxBlocks ? wanted : kMaxBlocks));
  zorvane::launch_kernel(&transpose_to_low_bits<T>, grid, dim3(kTransposeBlock), 0, stream, count,
                         static_cast<const CuComplex<T>*>(state), transpose_buffer, active_mask, inactive_mask, k);
  // Had the gather not run, the product and the scatter would write whatever
  // the scratch buffer held into the state.
  zorvane::check_last_cuda_error();
  const uint64_t cols = count >> k;
  if (cols > uint64_t{INT_MAX}) throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
  if (cublasSetStream(handle, stream) != CUBLAS_STATUS_SUCCESS)
    throw std::runtime_error("cublasSetStream DenseMM failed");
  const int d = 1 << k;
  if (gemm(handle, d, static_cast<int>(cols), matrix, transpose_buffer, gemm_buffer) != CUBLAS_STATUS_SUCCESS)
    throw std::runtime_error(gemm_failure(T{}));
  zorvane::launch_kernel(&transpose_from_low_bits<T>, grid, dim3(kTransposeBlock), 0, stream, count,
                         static_cast<const CuComplex<T>*>(gemm_buffer), state, active_mask, inactive_mask, k);
}

template <class T>
void DenseMMCache<T>::free_buffers() noexcept {
  bool failed = false;
  if (transpose_buffer != nullptr) failed |= cudaFree(transpose_buffer) != cudaSuccess;
  if (gemm_buffer != nullptr) failed |= cudaFree(gemm_buffer) != cudaSuccess;
  transpose_buffer = nullptr;
  gemm_buffer = nullptr;
  capacity = 0;
  if (failed) (void)cudaGetLastError();
}

template <class T>
void DenseMMCache<T>::release() noexcept {
  if (device >= 0 && cudaSetDevice(device) != cudaSuccess) (void)cudaGetLastError();
  if (handle != nullptr) cublasDestroy(handle);
  handle = nullptr;
  free_buffers();
  device = -1;
}

template <class T>
DenseMMCache<T>::~DenseMMCache() {
  release();
}

template <class T>
void DenseMMCache<T>::ensure(uint64_t count) {
  int current = 0;
  if (const cudaError_t e = cudaGetDevice(&current)) throw zorvane::cuda_error("cudaGetDevice DenseMM cache", e);
  if (current != device) {
    release();
    if (const cudaError_t e = cudaSetDevice(current)) throw zorvane::cuda_error("cudaSetDevice DenseMM cache", e);
    device = current;
  }
  if (handle == nullptr) {
    cublasHandle_t created = nullptr;
    if (cublasCreate(&created) != CUBLAS_STATUS_SUCCESS) throw std::runtime_error("cublasCreate DenseMM cache failed");
    handle = created;
  }
  if (capacity >= count) return;
  // Both buffers go first, so that a failed allocation leaves no capacity
  // claimed over freed memory, and no half-grown pair behind.
  free_buffers();
  const bool representable = count <= SIZE_MAX / sizeof(CuComplex<T>);
  const size_t bytes = representable ? count * sizeof(CuComplex<T>) : 0;
  cudaError_t e = representable ? cudaMalloc(&transpose_buffer, bytes) : cudaErrorMemoryAllocation;
  if (e != cudaSuccess) {
    transpose_buffer = nullptr;
    throw zorvane::cuda_error("cudaMalloc cached DenseMM transpose buffer", e);
  }
  e = cudaMalloc(&gemm_buffer, bytes);
  if (e != cudaSuccess) {
    gemm_buffer = nullptr;
    free_buffers();
    throw zorvane::cuda_error("cudaMalloc cached DenseMM GEMM buffer", e);
  }
  capacity = count;
}

template <class T>
DenseMMCache<T>& densemm_cache() {
  thread_local DenseMMCache<T> cache;
  return cache;
}

#define STAVEX_DENSEMM_INSTANTIATE(T)                                                                            \
  template struct DenseMMCache<T>;                                                                             \
  template DenseMMCache<T>& densemm_cache<T>();                                                                \
  template void run_densemm_group<T>(cublasHandle_t, int64_t, CuComplex<T>*, CuComplex<T>*, CuComplex<T>*,     \
                                     uint64_t, int32_t, const CuComplex<T>*, cudaStream_t);                   \
  template __global__ void transpose_to_low_bits<T>(uint64_t, const CuComplex<T>*, CuComplex<T>*, uint64_t,    \
                                                    uint64_t, int32_t);                                       \
  template __global__ void transpose_from_low_bits<T>(uint64_t, const CuComplex<T>*, CuComplex<T>*, uint64_t,  \
                                                      uint64_t, int32_t);
STAVEX_DENSEMM_INSTANTIATE(float)
STAVEX_DENSEMM_INSTANTIATE(double)
#undef STAVEX_DENSEMM_INSTANTIATE

}  // namespace fusion
}  // namespace stavex
