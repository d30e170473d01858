// The one way kernels are launched: plain <<<grid, block, shared, stream>>> in
// the CUDA build, the CPU execution layer's checked launch otherwise. Errors
// are not checked here; each launcher reads the last error with its own
// message prefix.
#pragma once

#include <cstdint>
#include <utility>

#include <cuda_runtime.h>

namespace zorvane {

template <class... Params, class... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared_bytes,
                          cudaStream_t stream, Args&&... args) {
#if defined(ZORVANE_CPU_LAYER)
  cpu_layer::launch(kernel, grid, block, shared_bytes, stream, std::forward<Args>(args)...);
#else
  kernel<<<grid, block, shared_bytes, stream>>>(std::forward<Args>(args)...);
#endif
}

// Blocks for one thread per item. A count beyond what a 32-bit grid can cover
// saturates, so the launch fails loudly instead of covering a wrapped count.
inline unsigned int blocks_for(uint64_t items, unsigned int threads_per_block) {
  const uint64_t blocks = (items + threads_per_block - 1) / threads_per_block;
  return blocks > 0xffffffffull ? 0xffffffffu : static_cast<unsigned int>(blocks);
}

// Blocks for a grid-stride loop over `items`: the same count, capped at the
// largest legal x dimension, which the loop tolerates.
inline unsigned int grid_stride_blocks(uint64_t items, unsigned int threads_per_block) {
  const uint64_t blocks = (items + threads_per_block - 1) / threads_per_block;
  return blocks > 0x7fffffffull ? 0x7fffffffu : static_cast<unsigned int>(blocks);
}

// Launch geometry of the shared-memory tile kernels (the state-vector
// SparseShareMem kernel and the density fusion kernel): a block per tile, at
// most kMaxTileBlocks of them striding over the tiles. A GPU block has 128
// threads. On the CPU execution layer every thread of a block that meets at
// barriers is a fiber, and each barrier costs a switch per thread, about as
// much as the few updates a thread does between two barriers; four threads
// per block keep the barriers real (a missing one still mixes the threads'
// updates and shows) at a small fraction of that cost. The kernels are
// written for any block size; the C++ unit tests run them with 128 threads as
// well.
#if defined(ZORVANE_CPU_LAYER)
constexpr unsigned int kTileBlockThreads = 4;
#else
constexpr unsigned int kTileBlockThreads = 128;
#endif
constexpr uint64_t kMaxTileBlocks = 65535;

// Dynamic shared memory of the running block, typed.
template <class T>
__device__ __forceinline__ T* dynamic_shared_memory() {
#if defined(ZORVANE_CPU_LAYER)
  return reinterpret_cast<T*>(cpu_layer::current_thread().dynamic_shared);
#else
  extern __shared__ __align__(16) unsigned char zorvane_dynamic_shared[];
  return reinterpret_cast<T*>(zorvane_dynamic_shared);
#endif
}

}  // namespace zorvane
