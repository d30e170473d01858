// Copies between host memory and device buffers, used by the state objects of
// both modules. A caller's host array may be page-locked for the duration of
// one copy; a failed page-lock is not an error, the copy then goes through
// pageable memory. No such page-lock outlives the call. Host arrays that stay
// page-locked for their whole life are allocated as such (staging buffers).
#pragma once

#include <cstddef>
#include <optional>

#include <cuda_runtime.h>

#include "zorvane/cuda_errors.h"

namespace zorvane {

// One synchronous copy of `bytes` from `source` to `target` on the current
// device, in the direction `kind` (cudaMemcpyDefault: taken from the
// pointers). `host` is the host memory the copy reads or writes (null for a
// copy between device buffers); with `use_pinned_host` it is page-locked for
// the copy. A failed copy undoes the page-lock before its error is raised.
inline void copy_pinning_host(void* target, const void* source, size_t bytes, cudaMemcpyKind kind, void* host,
                              bool use_pinned_host) {
  bool registered = false;
  if (use_pinned_host && host != nullptr) {
    // Memory that is page-locked already refuses a second registration.
    registered = cudaHostRegister(host, bytes, cudaHostRegisterDefault) == cudaSuccess;
    if (!registered) (void)cudaGetLastError();
  }
  const cudaError_t copied = cudaMemcpy(target, source, bytes, kind);
  if (copied != cudaSuccess) {
    if (registered && cudaHostUnregister(host) != cudaSuccess) (void)cudaGetLastError();
    throw cuda_error(copied);
  }
  if (registered) check_cuda(cudaHostUnregister(host));
}

// Selects `device_id`, then copies `bytes` between `host` and `device_data` in
// the direction `kind` (host to device or device to host).
inline void copy_whole_buffer(int device_id, void* device_data, void* host, size_t bytes, bool use_pinned_host,
                              cudaMemcpyKind kind) {
  check_cuda(cudaSetDevice(device_id));
  if (kind == cudaMemcpyHostToDevice)
    copy_pinning_host(device_data, host, bytes, kind, host, use_pinned_host);
  else
    copy_pinning_host(host, device_data, bytes, kind, host, use_pinned_host);
}

// Page-locked host memory of `bytes`, usable with every device (portable).
// With `device_id` that device is selected first, so that the allocation
// belongs to its context rather than to whichever device the thread had.
inline void* allocate_pinned_host(size_t bytes, std::optional<int> device_id) {
  if (device_id) check_cuda(cudaSetDevice(*device_id));
  void* host = nullptr;
  check_cuda(cudaHostAlloc(&host, bytes, cudaHostAllocPortable));
  return host;
}

// Frees what allocate_pinned_host returned, from an owner's destructor: its
// error is dropped and cleared.
inline void free_pinned_host(void* host) noexcept {
  if (host != nullptr && cudaFreeHost(host) != cudaSuccess) (void)cudaGetLastError();
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
