// Allocation, zero-initialisation, upload and download of a DeviceState.
#include "stavex_device_state.h"

#include <stdexcept>

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"
#include "zorvane/cuda_errors.h"

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
  // Both calls are made whatever the first returns: a failed device selection
  // must not leak the buffer. Their errors are dropped, and cleared so that
  // they do not surface as the failure of a later, unrelated launch check.
  const cudaError_t selected = cudaSetDevice(device_id);
  const cudaError_t freed = cudaFree(data);
  if (selected != cudaSuccess || freed != cudaSuccess) (void)cudaGetLastError();
  data = nullptr;
}

void DeviceState::init_zero_state() {
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemset(data, 0, num_state * element_bytes()));
  if (is_double) {
    const zorvane::CuComplex<double> one{1.0, 0.0};
    check_cuda(cudaMemcpy(data, &one, sizeof one, cudaMemcpyHostToDevice));
  } else {
    const zorvane::CuComplex<float> one{1.0f, 0.0f};
    check_cuda(cudaMemcpy(data, &one, sizeof one, cudaMemcpyHostToDevice));
  }
}

namespace {

// Copies the whole state between `host` and the device, page-locking the host
// array for the duration of the copy when asked; a failed page-lock is not an
// error, the copy then uses pageable memory.
void transfer(DeviceState& state, void* host, uint64_t count, bool use_pinned_host, cudaMemcpyKind kind) {
  if (count != state.num_state) throw std::invalid_argument("state size does not match DeviceState size");
  check_cuda(cudaSetDevice(state.device_id));
  const size_t bytes = state.num_state * state.element_bytes();
  bool registered = false;
  if (use_pinned_host) {
    registered = cudaHostRegister(host, bytes, cudaHostRegisterDefault) == cudaSuccess;
    if (!registered) (void)cudaGetLastError();
  }
  const cudaError_t copied = kind == cudaMemcpyHostToDevice ? cudaMemcpy(state.data, host, bytes, kind)
                                                            : cudaMemcpy(host, state.data, bytes, kind);
  if (copied != cudaSuccess) {
    if (registered && cudaHostUnregister(host) != cudaSuccess) (void)cudaGetLastError();
    throw zorvane::cuda_error(copied);
  }
  if (registered) check_cuda(cudaHostUnregister(host));
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
