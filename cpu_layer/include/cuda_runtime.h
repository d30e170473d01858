// CUDA runtime subset for the CPU execution layer.
//
// The kernel, launcher and driver sources include <cuda_runtime.h> exactly as
// they do in the CUDA build; in the CPU build this header comes first on the
// include path and supplies the same names with CUDA's semantics: error codes
// and strings, per-host-thread last error and current device, tracked device
// memory, and the device-side vocabulary (__global__, threadIdx, barriers,
// atomics) that kernels are written in.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#ifndef ZORVANE_CPU_LAYER
#define ZORVANE_CPU_LAYER 1
#endif

// ---- device-side qualifiers -------------------------------------------------
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __constant__ static
// A block's threads run on one host thread at a time, and one host thread runs
// one block at a time, so thread-local storage is exactly block-shared storage.
#define __shared__ static thread_local
#define __launch_bounds__(...)

// ---- error codes (numeric values as in the CUDA runtime) --------------------
enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInvalidDeviceFunction = 98,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchOutOfResources = 701,
  cudaErrorHostMemoryAlreadyRegistered = 712,
  cudaErrorHostMemoryNotRegistered = 713,
  cudaErrorLaunchFailure = 719,
  cudaErrorNotSupported = 801,
  cudaErrorUnknown = 999,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

#define cudaHostRegisterDefault 0x00u
#define cudaHostAllocDefault 0x00u
#define cudaHostAllocPortable 0x01u
#define cudaHostAllocMapped 0x02u
#define cudaHostAllocWriteCombined 0x04u

enum cudaMemoryType {
  cudaMemoryTypeUnregistered = 0,
  cudaMemoryTypeHost = 1,
  cudaMemoryTypeDevice = 2,
  cudaMemoryTypeManaged = 3,
};

struct cudaPointerAttributes {
  enum cudaMemoryType type;
  int device;
  void* devicePointer;
  void* hostPointer;
};

struct CUstream_st;
typedef struct CUstream_st* cudaStream_t;

// ---- vector types -------------------------------------------------------------
struct uint3 {
  unsigned int x, y, z;
};
struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};
struct alignas(8) float2 {
  float x, y;
};
struct alignas(16) float4 {
  float x, y, z, w;
};
struct alignas(16) double2 {
  double x, y;
};
inline float2 make_float2(float x, float y) { return float2{x, y}; }
inline float4 make_float4(float x, float y, float z, float w) { return float4{x, y, z, w}; }
inline double2 make_double2(double x, double y) { return double2{x, y}; }

// ---- runtime API ----------------------------------------------------------------
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMalloc(void** ptr, size_t size);
template <class T>
inline cudaError_t cudaMalloc(T** ptr, size_t size) {
  return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemset(void* ptr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream = 0);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = 0);
cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes);
cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();

// Device-side vocabulary and the launch entry point.
#include "cpu_layer/kernel_runtime.h"
