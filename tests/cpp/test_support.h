// Shared pieces of the CPU execution layer tests: a fixture that restores
// every global setting a test may change, and device arrays filled from and
// read back into host vectors through the runtime's copies.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include "cpu_layer/control.h"
#include "zorvane/device_buffer.h"

namespace zorvane_test {

class LayerTest : public ::testing::Test {
 protected:
  LayerTest()
      : devices_(cpu_layer::device_count()),
        capacity_(cpu_layer::memory_capacity()),
        host_threads_(cpu_layer::host_threads()) {
    cudaGetDevice(&device_);
  }
  ~LayerTest() override {
    cpu_layer::clear_faults();
    cpu_layer::set_device_count(devices_);
    cpu_layer::set_memory_capacity(capacity_);
    cudaSetDevice(device_);
    if (cpu_layer::host_threads() != host_threads_) cpu_layer::set_host_threads(host_threads_);
    (void)cudaGetLastError();
  }

 private:
  int devices_;
  uint64_t capacity_;
  unsigned host_threads_;
  int device_ = 0;
};

// Bytes of the live device allocations on `device`.
inline size_t live_bytes_on(int device) {
  size_t total = 0;
  for (const auto& a : cpu_layer::live_allocations())
    if (a.device == device) total += a.bytes;
  return total;
}

// The message of the exception `call` throws, or "no error".
template <class F>
std::string error_message(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

template <class T>
class DeviceArray {
 public:
  explicit DeviceArray(size_t count) : buffer_(count) {}
  explicit DeviceArray(const std::vector<T>& host) : buffer_(host.size()) {
    zorvane::check_cuda(cudaMemcpy(buffer_.get(), host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice));
  }
  DeviceArray(size_t count, unsigned char byte) : buffer_(count) {
    zorvane::check_cuda(cudaMemset(buffer_.get(), byte, count * sizeof(T)));
  }
  T* get() const { return buffer_.get(); }
  std::vector<T> host() const {
    std::vector<T> out(buffer_.size());
    zorvane::check_cuda(cudaMemcpy(out.data(), buffer_.get(), out.size() * sizeof(T), cudaMemcpyDeviceToHost));
    return out;
  }

 private:
  zorvane::DeviceBuffer<T> buffer_;
};

}  // namespace zorvane_test
