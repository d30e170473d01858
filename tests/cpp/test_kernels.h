// Test kernels of the CPU execution layer (test_kernels.cu) and the one
// helper that launches them.
#pragma once

#include <cstdint>
#include <utility>

#include <cuda_runtime.h>

#include "zorvane/launch.h"

namespace zorvane_test {

__global__ void reverse_kernel(const int* in, int* out);
__global__ void block_sum_kernel(const double* in, double* out);
__global__ void warp_ops_kernel(const int* in, int* xor_sum, int* down_sum, int* scan, int* segment_first,
                                double* double_sum);
__global__ void odd_exit_kernel(int* out);
__global__ void divergent_barrier_kernel(int* out);
__global__ void sync_from_block_kernel(int* out, unsigned first);
__global__ void warp_sync_missing_lane_kernel(int* out, unsigned exiting_lane);
__global__ void half_warp_shuffle_kernel(int* out);
__global__ void read_shared_kernel(unsigned* out);
__global__ void index_map_kernel(unsigned* out, unsigned long long* where, int sync_first, int spin);
__global__ void histogram_kernel(const unsigned* keys, unsigned n, double* bins, unsigned* counts, unsigned nbins);
__global__ void fill_kernel(int* out, int value);

// Launches one grid and returns what cudaGetLastError reports (and clears).
template <class... Params, class... Args>
cudaError_t launch(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared, Args&&... args) {
  zorvane::launch_kernel(kernel, grid, block, shared, nullptr, std::forward<Args>(args)...);
  return cudaGetLastError();
}

// Block and thread coordinates as index_map_kernel records them.
__host__ __device__ inline unsigned pack_index(uint3 block, uint3 thread) {
  return (block.z << 24) | (block.y << 16) | (block.x << 8) | (thread.z << 6) | (thread.y << 3) | thread.x;
}

}  // namespace zorvane_test
