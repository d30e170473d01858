// Test kernels of the CPU execution layer, written as CUDA and compiled the
// way the modules compile theirs.
#include "test_kernels.h"

#include "zorvane/bit_index.h"

namespace zorvane_test {
namespace {

constexpr unsigned kFullMask = 0xffffffffu;

__device__ unsigned linear_thread() { return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z); }

__device__ unsigned block_threads() { return blockDim.x * blockDim.y * blockDim.z; }

}  // namespace

// out[b·n + t] = in[b·n + n−1−t] through dynamic shared memory.
__global__ void reverse_kernel(const int* in, int* out) {
  int* tile = zorvane::dynamic_shared_memory<int>();
  const unsigned t = threadIdx.x;
  const uint64_t base = uint64_t(blockIdx.x) * blockDim.x;
  tile[t] = in[base + t];
  __syncthreads();
  out[base + t] = tile[blockDim.x - 1 - t];
}

// out[b] = sum of block b's inputs, by a tree with a barrier per level
// (blockDim.x a power of two).
__global__ void block_sum_kernel(const double* in, double* out) {
  __shared__ double partial[1024];
  const unsigned t = threadIdx.x;
  partial[t] = in[zorvane::global_thread_index()];
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) partial[t] += partial[t + s];
    __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = partial[0];
}

// Per thread, lanes counted over the linear thread id: butterfly sum, shfl_down
// tree, inclusive shfl_up scan, first value of its 8-lane segment, and a
// butterfly sum of doubles.
__global__ void warp_ops_kernel(const int* in, int* xor_sum, int* down_sum, int* scan, int* segment_first,
                                double* double_sum) {
  const unsigned t = linear_thread();
  const uint64_t i = uint64_t(blockIdx.x) * block_threads() + t;
  const unsigned lane = t % warpSize;
  const int v = in[i];
  int x = v;
  for (int offset = 16; offset > 0; offset /= 2) x += __shfl_xor_sync(kFullMask, x, offset);
  xor_sum[i] = x;
  int d = v;
  for (unsigned offset = 16; offset > 0; offset /= 2) d += __shfl_down_sync(kFullMask, d, offset);
  down_sum[i] = d;
  int s = v;
  for (unsigned delta = 1; delta < 32; delta *= 2) {
    const int below = __shfl_up_sync(kFullMask, s, delta);
    if (lane >= delta) s += below;
  }
  scan[i] = s;
  segment_first[i] = __shfl_sync(kFullMask, v, 0, 8);
  double f = 0.5 * v;
  for (int offset = 16; offset > 0; offset /= 2) f += __shfl_xor_sync(kFullMask, f, offset);
  double_sum[i] = f;
}

// Odd threads exit at once; even ones exchange through a barrier:
// out[b·n + t] = 1000·b + 3·((t + 2) mod n).
__global__ void odd_exit_kernel(int* out) {
  __shared__ int tile[1024];
  const unsigned t = threadIdx.x;
  if (t % 2 == 1) return;
  tile[t] = int(1000 * blockIdx.x + 3 * t);
  __syncthreads();
  out[uint64_t(blockIdx.x) * blockDim.x + t] = tile[(t + 2) % blockDim.x];
}

// Half the block waits at one barrier, half at another.
__global__ void divergent_barrier_kernel(int* out) {
  if (threadIdx.x < blockDim.x / 2) {
    __syncthreads();
    out[threadIdx.x] = 1;
  } else {
    __syncthreads();
    out[threadIdx.x] = 2;
  }
}

// Only blocks `first` and later reach a barrier.
__global__ void sync_from_block_kernel(int* out, unsigned first) {
  const uint64_t i = zorvane::global_thread_index();
  out[i] = 1;
  if (blockIdx.x >= first) __syncthreads();
  out[i] = 2;
}

// One lane of every warp exits before a full-warp __syncwarp.
__global__ void warp_sync_missing_lane_kernel(int* out, unsigned exiting_lane) {
  if (threadIdx.x % warpSize == exiting_lane) return;
  __syncwarp();
  out[threadIdx.x] = 1;
}

// Lanes 0–15 swap neighbours under a half-warp mask; lanes 16–31 exit.
__global__ void half_warp_shuffle_kernel(int* out) {
  if (threadIdx.x % warpSize >= 16) return;
  out[threadIdx.x] = __shfl_xor_sync(0x0000ffffu, int(threadIdx.x), 1);
}

// out[t] = dynamic shared word t as the block finds it.
__global__ void read_shared_kernel(unsigned* out) {
  const unsigned* words = zorvane::dynamic_shared_memory<unsigned>();
  out[threadIdx.x] = words[threadIdx.x];
  __syncthreads();
}

// out[linear thread of the grid] = packed coordinates; where[block] = the
// address of a __shared__ variable of the block. Threads spin first.
__global__ void index_map_kernel(unsigned* out, unsigned long long* where, int sync_first, int spin) {
  __shared__ int marker;
  if (sync_first) __syncthreads();
  for (volatile int s = 0; s < spin; s = s + 1) {
  }
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  out[uint64_t(block) * block_threads() + linear_thread()] = pack_index(blockIdx, threadIdx);
  if (linear_thread() == 0) where[block] = reinterpret_cast<unsigned long long>(&marker);
}

// bins[keys[i] mod nbins] += i mod 7 + 1 and counts[...] += 1 for i < n.
__global__ void histogram_kernel(const unsigned* keys, unsigned n, double* bins, unsigned* counts, unsigned nbins) {
  const uint64_t i = zorvane::global_thread_index();
  if (i >= n) return;
  const unsigned bin = keys[i] % nbins;
  atomicAdd(&bins[bin], double(i % 7 + 1));
  atomicAdd(&counts[bin], 1u);
}

__global__ void fill_kernel(int* out, int value) { out[zorvane::global_thread_index()] = value; }

}  // namespace zorvane_test
