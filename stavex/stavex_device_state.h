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

// One side of a range copy: `size` elements at `data`, in a DeviceState, in a
// host array, or in device memory that some other owner exports (through
// __cuda_array_interface__).
struct AmplitudeBuffer {
  enum class Kind { state, host, foreign };
  Kind kind = Kind::state;
  void* data = nullptr;
  uint64_t size = 0;
  // Foreign buffers: the producer's stream the copy must wait for (0: none;
  // 1 and 2 name the default streams, which the copy is ordered with anyway).
  uintptr_t stream = 0;
};

// Copies elements [source_offset, source_offset + count) of `source` to
// [target_offset, target_offset + count) of `target`, `element_bytes` each,
// with one synchronous copy on `device_id`. Checks, in order, with
// invalid_argument: both ranges lie inside their buffers, they do not overlap;
// then (count > 0) selects the device, checks that a foreign buffer is device
// memory and waits for its stream. A host side is page-locked for the copy
// when `use_pinned_host` asks.
void copy_amplitude_range(int32_t device_id, size_t element_bytes, const AmplitudeBuffer& source,
                          uint64_t source_offset, const AmplitudeBuffer& target, uint64_t target_offset,
                          uint64_t count, bool use_pinned_host);

}  // namespace stavex
