// Allocation, zero-initialisation, upload and download of a DeviceState, and
// copies of amplitude ranges between states, host arrays and foreign device
// buffers.
#include "stavex_device_state.h"

#include <stdexcept>

#include <cuda_runtime.h>

#include "zorvane/cuda_errors.h"
#include "zorvane/device_buffer.h"
#include "zorvane/host_transfer.h"

namespace stavex {

using zorvane::check_cuda;

DeviceState::DeviceState(uint64_t n_qubits, int32_t double_precision, int32_t device)
    : n(n_qubits), is_double(double_precision), device_id(device) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  num_state = uint64_t{1} << n;
  check_cuda(cudaSetDevice(device_id));
  // 2^62 complex128 amplitudes exceed 64-bit byte counts; such a size is
  // reported as the allocator's own failure.
  const size_t bytes = zorvane::checked_byte_size(num_state, element_bytes());
  check_cuda(cudaMalloc(&data, bytes));
}

DeviceState::~DeviceState() {
  if (data == nullptr) return;
  zorvane::free_state_buffer(device_id, data);
  data = nullptr;
}

void DeviceState::init_zero_state() {
  zorvane::set_first_basis_element(device_id, data, num_state * element_bytes(), is_double != 0);
}

namespace {

void transfer(DeviceState& state, void* host, uint64_t count, bool use_pinned_host, cudaMemcpyKind kind) {
  if (count != state.num_state) throw std::invalid_argument("state size does not match DeviceState size");
  zorvane::copy_whole_buffer(state.device_id, state.data, host, state.num_state * state.element_bytes(),
                             use_pinned_host, kind);
}

}  // namespace

void DeviceState::upload(const void* host, uint64_t count, bool use_pinned_host) {
  transfer(*this, const_cast<void*>(host), count, use_pinned_host, cudaMemcpyHostToDevice);
}

void DeviceState::download(void* host, uint64_t count, bool use_pinned_host) {
  transfer(*this, host, count, use_pinned_host, cudaMemcpyDeviceToHost);
}

const char* DeviceState::dtype_name() const { return is_double ? "complex128" : "complex64"; }

namespace {

void check_range(const AmplitudeBuffer& buffer, uint64_t offset, uint64_t count, const char* message) {
  if (offset > buffer.size || count > buffer.size - offset) throw std::invalid_argument(message);
}

// Byte address of element `index`; a foreign buffer's size is only what its
// owner claims, so the product is checked.
uintptr_t element_address(const AmplitudeBuffer& buffer, uint64_t index, size_t element_bytes) {
  uint64_t bytes = 0, address = 0;
  if (__builtin_mul_overflow(index, uint64_t{element_bytes}, &bytes) ||
      __builtin_add_overflow(reinterpret_cast<uintptr_t>(buffer.data), bytes, &address))
    throw std::invalid_argument("copy range does not fit in the address space");
  return static_cast<uintptr_t>(address);
}

// Memory that the runtime does not know as device memory would be read or
// written as host memory by the copy; such a pointer is refused instead.
void check_foreign_device_memory(const AmplitudeBuffer& buffer, const char* message) {
  cudaPointerAttributes attributes{};
  check_cuda(cudaPointerGetAttributes(&attributes, buffer.data));
  if (attributes.type != cudaMemoryTypeDevice && attributes.type != cudaMemoryTypeManaged)
    throw std::invalid_argument(message);
  // Work queued by the producer on a stream of its own must be done first; the
  // default streams are ordered with this copy already.
  if (buffer.stream > 2) check_cuda(cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(buffer.stream)));
}

}  // namespace

void copy_amplitude_range(int32_t device_id, size_t element_bytes, const AmplitudeBuffer& source,
                          uint64_t source_offset, const AmplitudeBuffer& target, uint64_t target_offset,
                          uint64_t count, bool use_pinned_host) {
  check_range(source, source_offset, count, "source_offset + count exceeds the source size");
  check_range(target, target_offset, count, "target_offset + count exceeds the target size");
  const uintptr_t from = element_address(source, source_offset, element_bytes);
  const uintptr_t to = element_address(target, target_offset, element_bytes);
  const uint64_t bytes = element_address(source, source_offset + count, element_bytes) - from;
  (void)element_address(target, target_offset + count, element_bytes);
  if (count != 0 && from < to + bytes && to < from + bytes)
    throw std::invalid_argument("source and target ranges overlap");
  if (count == 0) return;

  check_cuda(cudaSetDevice(device_id));
  using Kind = AmplitudeBuffer::Kind;
  if (source.kind == Kind::foreign)
    check_foreign_device_memory(source, "source __cuda_array_interface__ data is not device memory");
  if (target.kind == Kind::foreign)
    check_foreign_device_memory(target, "target __cuda_array_interface__ data is not device memory");
  void* host = source.kind == Kind::host   ? reinterpret_cast<void*>(from)
               : target.kind == Kind::host ? reinterpret_cast<void*>(to)
                                           : nullptr;
  zorvane::copy_pinning_host(reinterpret_cast<void*>(to), reinterpret_cast<const void*>(from),
                             static_cast<size_t>(bytes), cudaMemcpyDefault, host, use_pinned_host);
}

}  // namespace stavex
