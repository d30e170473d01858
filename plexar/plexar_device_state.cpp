// Allocation, initialisation, copies and release of a DeviceDensityState.
#include "plexar_device_state.h"

#include <stdexcept>

#include <cuda_runtime.h>

#include "zorvane/cuda_errors.h"
#include "zorvane/device_buffer.h"
#include "zorvane/host_transfer.h"

namespace zorvane::plexar {

DeviceDensityState::DeviceDensityState(uint64_t qubits, int32_t double_precision, int32_t device)
    : num_qubits(qubits), is_double(double_precision), device_id(device) {
  if (num_qubits > kMaxDensityQubits)
    throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
  dimension = int64_t{1} << num_qubits;
  num_elements = dimension * dimension;
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMalloc(&data, byte_size()));
}

DeviceDensityState::~DeviceDensityState() {
  if (data == nullptr) return;
  zorvane::free_state_buffer(device_id, data);
  data = nullptr;
}

void DeviceDensityState::init_zero_state() { set_first_basis_element(device_id, data, byte_size(), is_double != 0); }

namespace {

void transfer(DeviceDensityState& state, void* host, uint64_t count, bool use_pinned_host, cudaMemcpyKind kind) {
  if (count != static_cast<uint64_t>(state.num_elements))
    throw std::invalid_argument("state size does not match DeviceDensityState size");
  copy_whole_buffer(state.device_id, state.data, host, state.byte_size(), use_pinned_host, kind);
}

}  // namespace

void DeviceDensityState::upload(const void* host, uint64_t count, bool use_pinned_host) {
  transfer(*this, const_cast<void*>(host), count, use_pinned_host, cudaMemcpyHostToDevice);
}

void DeviceDensityState::download(void* host, uint64_t count, bool use_pinned_host) {
  transfer(*this, host, count, use_pinned_host, cudaMemcpyDeviceToHost);
}

const char* DeviceDensityState::dtype_name() const { return is_double ? "complex128" : "complex64"; }

std::unique_ptr<DeviceDensityState> DeviceDensityState::clone_state() const {
  auto copy = std::make_unique<DeviceDensityState>(num_qubits, is_double, device_id);
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemcpy(copy->data, data, byte_size(), cudaMemcpyDeviceToDevice));
  return copy;
}

}  // namespace zorvane::plexar
