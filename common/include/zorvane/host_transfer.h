// Whole-buffer copies between a caller's host array and a device buffer, used
// by the state objects of both modules. The host array may be page-locked for
// the duration of the one copy; a failed page-lock is not an error, the copy
// then goes through pageable memory. No pinned memory outlives the call.
#pragma once

#include <cstddef>

#include <cuda_runtime.h>

#include "zorvane/cuda_errors.h"

namespace zorvane {

// Selects `device_id`, then copies `bytes` between `host` and `device_data` in
// the direction `kind` (host to device or device to host) with one synchronous
// copy. A failed copy undoes the page-lock before its error is raised.
inline void copy_whole_buffer(int device_id, void* device_data, void* host, size_t bytes, bool use_pinned_host,
                              cudaMemcpyKind kind) {
  check_cuda(cudaSetDevice(device_id));
  bool registered = false;
  if (use_pinned_host) {
    registered = cudaHostRegister(host, bytes, cudaHostRegisterDefault) == cudaSuccess;
    if (!registered) (void)cudaGetLastError();
  }
  const cudaError_t copied = kind == cudaMemcpyHostToDevice ? cudaMemcpy(device_data, host, bytes, kind)
                                                            : cudaMemcpy(host, device_data, bytes, kind);
  if (copied != cudaSuccess) {
    if (registered && cudaHostUnregister(host) != cudaSuccess) (void)cudaGetLastError();
    throw cuda_error(copied);
  }
  if (registered) check_cuda(cudaHostUnregister(host));
}

}  // namespace zorvane

namespace zorvane {

// Sets the `bytes` of `data` on `device_id` to zero and element 0 to 1 + 0i
// (one complex64 or complex128 element copied from the host): the first basis
// state of a state vector, |0…0⟩⟨0…0| of a density matrix.
inline void set_first_basis_element(int device_id, void* data, size_t bytes, bool is_double) {
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemset(data, 0, bytes));
  if (is_double) {
    const double one[2] = {1.0, 0.0};
    check_cuda(cudaMemcpy(data, one, sizeof one, cudaMemcpyHostToDevice));
  } else {
    const float one[2] = {1.0f, 0.0f};
    check_cuda(cudaMemcpy(data, one, sizeof one, cudaMemcpyHostToDevice));
  }
}

}  // namespace zorvane
