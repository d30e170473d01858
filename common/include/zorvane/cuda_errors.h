// The CUDA error convention shared by both modules: a failed runtime call
// becomes runtime_error "CUDA error: <runtime text>", a failed kernel launch
// "<family> kernel launch failed: <runtime text>".
#pragma once

#include <stdexcept>
#include <string>

#include <cuda_runtime.h>

namespace zorvane {

// The exception for a failed runtime call. The call also left its status as
// the thread's last error; that is cleared here, since it is being reported now
// and must not resurface as the failure of a later, unrelated launch check.
inline std::runtime_error cuda_error(cudaError_t status) {
  (void)cudaGetLastError();
  return std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(status));
}

// The same for a call whose message names what failed: "<what>: <runtime text>".
inline std::runtime_error cuda_error(const char* what, cudaError_t status) {
  (void)cudaGetLastError();
  return std::runtime_error(std::string(what) + ": " + cudaGetErrorString(status));
}

inline void check_cuda(cudaError_t status) {
  if (status != cudaSuccess) throw cuda_error(status);
}

// Reads (and clears) the last error after a launch or a queued operation.
inline void check_last_cuda_error() { check_cuda(cudaGetLastError()); }

// A launch failure reads "<what> launch failed: <runtime text>".
inline void check_launch(const char* what) {
  const cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess)
    throw std::runtime_error(std::string(what) + " launch failed: " + cudaGetErrorString(status));
}

inline void check_kernel_launch(const char* family) { check_launch((std::string(family) + " kernel").c_str()); }

// Byte size of `count` elements of `element_bytes` each. A size that does not
// fit in 64 bits can never be allocated, so it is reported as the error the
// allocator would give.
inline size_t checked_byte_size(uint64_t count, size_t element_bytes) {
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, static_cast<uint64_t>(element_bytes), &bytes) || bytes > SIZE_MAX)
    throw cuda_error(cudaErrorMemoryAllocation);
  return static_cast<size_t>(bytes);
}

}  // namespace zorvane
