// Owner of one temporary device allocation: freed on every path, and freed
// with a checked call on the success path.
#pragma once

#include <cstdint>
#include <utility>

#include <cuda_runtime.h>

#include "zorvane/cuda_errors.h"

namespace zorvane {

// Frees the buffer of a state object from its destructor. The device is
// selected and the buffer freed whatever the selection returns, since a failed
// selection must not leak the buffer; errors are dropped, and cleared so that
// they do not surface as the failure of a later, unrelated launch check.
inline void free_state_buffer(int device, void* data) noexcept {
  const cudaError_t selected = cudaSetDevice(device);
  const cudaError_t freed = cudaFree(data);
  if (selected != cudaSuccess || freed != cudaSuccess) (void)cudaGetLastError();
}

template <class T>
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  explicit DeviceBuffer(uint64_t count) : count_(count) {
    check_cuda(cudaMalloc(reinterpret_cast<void**>(&data_), checked_byte_size(count, sizeof(T))));
  }
  // The same, with a failure reported as "<what>: <runtime text>".
  DeviceBuffer(uint64_t count, const char* what) : count_(count) {
    const cudaError_t status = count > SIZE_MAX / sizeof(T)
                                   ? cudaErrorMemoryAllocation
                                   : cudaMalloc(reinterpret_cast<void**>(&data_), size_t(count) * sizeof(T));
    if (status != cudaSuccess) {
      data_ = nullptr;
      count_ = 0;
      throw cuda_error(what, status);
    }
  }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  DeviceBuffer(DeviceBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
      discard();
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  // Unwinding path: the free's own error is dropped and cleared, the error
  // being propagated matters more.
  ~DeviceBuffer() { discard(); }

  // Success path: the free is checked.
  void release() {
    if (data_ == nullptr) return;
    T* data = std::exchange(data_, nullptr);
    count_ = 0;
    check_cuda(cudaFree(data));
  }

  T* get() const { return data_; }
  uint64_t size() const { return count_; }

 private:
  void discard() noexcept {
    if (data_ != nullptr) {
      if (cudaFree(data_) != cudaSuccess) (void)cudaGetLastError();
      data_ = nullptr;
    }
  }

  T* data_ = nullptr;
  uint64_t count_ = 0;
};

}  // namespace zorvane
