// Allocation, zero-initialisation, upload and download of a DeviceState.
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

}  // namespace stavex
