// The state vector of the stavex module: 2^n amplitudes of CuComplex<float> or
// CuComplex<double> in one buffer on one CUDA device, alive as long as its
// owner. Every operation selects the state's device first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavex {

struct DeviceState {
  uint64_t n = 0;
  uint64_t num_state = 0;
  int32_t is_double = 0;
  int32_t device_id = 0;
  void* data = nullptr;

  DeviceState(uint64_t n, int32_t is_double, int32_t device_id);
  ~DeviceState();
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;

  void init_zero_state();
  void upload(const void* host, uint64_t count, bool use_pinned_host);
  void download(void* host, uint64_t count, bool use_pinned_host);
  const char* dtype_name() const;
  size_t element_bytes() const { return is_double ? 16 : 8; }
};

}  // namespace stavex
