// Host-side controls of the CPU execution layer: how many devices it emulates,
// how much memory each has, which operation should fail next, which device
// allocations are alive, and how many kernels were launched. Tests reach these
// through the modules' private functions; nothing here exists in the CUDA
// build.
#pragma once

#include <cstdint>
#include <vector>

#include <cuda_runtime.h>

namespace cpu_layer {

// host_allocation fails cudaHostAlloc (page-locked host memory); the cuBLAS
// kinds fail cublasCreate, cublasSetStream and the complex GEMMs, their error
// a cublasStatus_t value.
enum class FaultKind {
  allocation,
  copy,
  launch,
  host_register,
  cublas_create,
  cublas_set_stream,
  cublas_gemm,
  host_allocation
};
constexpr int kFaultKinds = 8;

// Number of emulated devices (default 1, or ZORVANE_CPU_DEVICES).
void set_device_count(int count);
int device_count();

// Memory capacity of each emulated device in bytes (default: the host's
// physical memory, or ZORVANE_CPU_DEVICE_MEMORY).
void set_memory_capacity(uint64_t bytes);
uint64_t memory_capacity();

// Makes the `nth` next operation of `kind` (1 = the very next) fail with
// `error`; a second call for the same kind replaces the first.
void inject_fault(FaultKind kind, uint64_t nth, cudaError_t error);
void clear_faults();

// How many more operations of `kind` must happen before the armed fault
// fires: 0 when none is armed or it has fired.
uint64_t pending_fault(FaultKind kind);

struct LiveAllocation {
  int device;
  uint64_t bytes;
};
std::vector<LiveAllocation> live_allocations();

// Host ranges registered with cudaHostRegister and not yet unregistered, and
// cuBLAS handles created and not yet destroyed.
size_t host_registration_count();
// Byte sizes of the page-locked host allocations (cudaHostAlloc) not yet freed.
std::vector<uint64_t> live_host_allocations();
size_t live_cublas_handles();

// The error an injected fault of `kind` produces when none is named.
cudaError_t default_fault_error(FaultKind kind);

// Consumes one operation of `kind`; returns the injected error when this is the
// operation chosen to fail, else cudaSuccess.
cudaError_t take_fault(FaultKind kind);

// Kernel launches this layer has run since the process started, on every host
// thread; a launch refused for its configuration, its stream or an injected
// fault is not counted.
uint64_t launch_count();

// Host threads that run the blocks of a grid, the launching thread included
// (default: the hardware's concurrency, or ZORVANE_CPU_THREADS); 1 runs every
// grid on the launching thread. Launches already running finish on the
// threads they started with.
void set_host_threads(unsigned count);
unsigned host_threads();

// Records `error` as the calling host thread's last error (cudaSuccess leaves
// it as it is) and returns it.
cudaError_t record_error(cudaError_t error);

}  // namespace cpu_layer
