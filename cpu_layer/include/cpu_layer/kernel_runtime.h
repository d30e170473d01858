// Device-side vocabulary of the CPU execution layer and its launch entry point.
//
// A kernel is an ordinary C++ function. `launch` checks the configuration as
// the CUDA runtime does, then runs the grid block by block; the built-in
// variables (threadIdx, blockIdx, blockDim, gridDim) read the context of the
// simulated thread that is running. Blocks whose threads meet at a barrier run
// their threads as fibers, so a barrier really waits for every thread of the
// block; the others run their threads as plain calls. See launch.cpp for how a
// block's mode is chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace cpu_layer {

struct BlockRun;

struct ThreadContext {
  uint3 thread_idx;
  uint3 block_idx;
  uint3 block_dim;
  uint3 grid_dim;
  unsigned char* dynamic_shared;
  BlockRun* block;  // owning block; null while no kernel runs
};

// The simulated thread running on this host thread.
// __thread rather than thread_local: a constant-initialised pointer needs no
// dynamic-initialisation wrapper, so each access is one TLS load.
extern __thread ThreadContext* tls_thread __attribute__((tls_model("initial-exec")));

inline const ThreadContext& current_thread() { return *tls_thread; }

// Runs the kernel once, as the current thread.
using GridBody = void (*)(const void* closure);
// Runs the kernel for every thread of the block of `context`, one after the
// other, with `context` as the current thread: the flat-mode loop, kept next
// to the kernel call so that a thread costs one call.
using FlatBlockBody = void (*)(const void* closure, ThreadContext* context);

// Checks the configuration, runs every thread of the grid and records the
// outcome as the calling host thread's last error.
void launch_grid(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream, GridBody body,
                 FlatBlockBody flat_block, const void* closure);

// Barrier of all threads of the current block; `site` identifies the call site
// so that threads meeting at different barriers are reported.
void sync_threads(const char* site);
// Barrier of the threads of the current warp named in `mask`.
void sync_warp(unsigned mask, const char* site);
// Exchange of 64-bit values inside a warp (the core of the shuffles).
unsigned long long warp_exchange(unsigned mask, unsigned long long value, unsigned source_lane, const char* site);

template <class... Params, class... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream,
            Args&&... args) {
  // Arguments are copied once, as CUDA copies kernel parameters at launch.
  const std::tuple<std::decay_t<Params>...> bound(static_cast<std::decay_t<Params>>(std::forward<Args>(args))...);
  struct Closure {
    void (*kernel)(Params...);
    const std::tuple<std::decay_t<Params>...>* bound;
  } closure{kernel, &bound};
  launch_grid(
      grid, block, dynamic_shared_bytes, stream,
      [](const void* c) {
        const auto* cl = static_cast<const Closure*>(c);
        std::apply(cl->kernel, *cl->bound);
      },
      [](const void* c, ThreadContext* t) {
        const auto* cl = static_cast<const Closure*>(c);
        const uint3 dim = t->block_dim;
        for (unsigned z = 0; z < dim.z; ++z)
          for (unsigned y = 0; y < dim.y; ++y)
            for (unsigned x = 0; x < dim.x; ++x) {
              t->thread_idx = uint3{x, y, z};
              std::apply(cl->kernel, *cl->bound);
            }
      },
      &closure);
}

}  // namespace cpu_layer

#define threadIdx (::cpu_layer::current_thread().thread_idx)
#define blockIdx (::cpu_layer::current_thread().block_idx)
#define blockDim (::cpu_layer::current_thread().block_dim)
#define gridDim (::cpu_layer::current_thread().grid_dim)
#define warpSize 32

#define ZORVANE_CPU_STRINGIFY2(x) #x
#define ZORVANE_CPU_STRINGIFY(x) ZORVANE_CPU_STRINGIFY2(x)
#define ZORVANE_CPU_SITE __FILE__ ":" ZORVANE_CPU_STRINGIFY(__LINE__)
#define __syncthreads() ::cpu_layer::sync_threads(ZORVANE_CPU_SITE)
#define __syncwarp(...) ::cpu_layer::sync_warp(::cpu_layer::full_mask_or(__VA_ARGS__), ZORVANE_CPU_SITE)

namespace cpu_layer {
inline unsigned full_mask_or() { return 0xffffffffu; }
inline unsigned full_mask_or(unsigned mask) { return mask; }

template <class T>
inline unsigned long long to_bits64(T v) {
  static_assert(sizeof(T) <= 8, "shuffle of values wider than 64 bits");
  unsigned long long bits = 0;
  __builtin_memcpy(&bits, &v, sizeof(T));
  return bits;
}
template <class T>
inline T from_bits64(unsigned long long bits) {
  T v;
  __builtin_memcpy(&v, &bits, sizeof(T));
  return v;
}
inline unsigned lane_id() {
  const auto& t = current_thread();
  return (t.thread_idx.x + t.block_dim.x * (t.thread_idx.y + t.block_dim.y * t.thread_idx.z)) % 32u;
}
}  // namespace cpu_layer

namespace cpu_layer {
// Shuffles follow the hardware's lane arithmetic: the warp is cut into
// segments of `width` lanes (a power of two), and a source lane that falls
// outside the caller's segment yields the caller's own value.
template <class T>
inline T shfl_from(unsigned mask, T value, unsigned source, const char* site) {
  return from_bits64<T>(warp_exchange(mask, to_bits64(value), source, site));
}
template <class T>
inline T shfl_idx(unsigned mask, T value, const char* site, int src_lane, int width = 32) {
  const unsigned lane = lane_id();
  const unsigned span = static_cast<unsigned>(width) - 1u;
  return shfl_from(mask, value, (lane & ~span & 31u) | (static_cast<unsigned>(src_lane) & span), site);
}
template <class T>
inline T shfl_xor(unsigned mask, T value, const char* site, int lane_mask, int width = 32) {
  const unsigned lane = lane_id();
  const unsigned last = (lane & ~(static_cast<unsigned>(width) - 1u) & 31u) | (static_cast<unsigned>(width) - 1u);
  const unsigned source = lane ^ static_cast<unsigned>(lane_mask);
  return shfl_from(mask, value, source <= last ? source : lane, site);
}
template <class T>
inline T shfl_down(unsigned mask, T value, const char* site, unsigned delta, int width = 32) {
  const unsigned lane = lane_id();
  const unsigned last = (lane & ~(static_cast<unsigned>(width) - 1u) & 31u) | (static_cast<unsigned>(width) - 1u);
  const unsigned long long source = static_cast<unsigned long long>(lane) + delta;
  return shfl_from(mask, value, source <= last ? static_cast<unsigned>(source) : lane, site);
}
template <class T>
inline T shfl_up(unsigned mask, T value, const char* site, unsigned delta, int width = 32) {
  const unsigned lane = lane_id();
  const unsigned first = lane & ~(static_cast<unsigned>(width) - 1u) & 31u;
  return shfl_from(mask, value, delta <= lane - first ? lane - delta : lane, site);
}
}  // namespace cpu_layer

#define __shfl_sync(mask, value, ...) ::cpu_layer::shfl_idx((mask), (value), ZORVANE_CPU_SITE, __VA_ARGS__)
#define __shfl_xor_sync(mask, value, ...) ::cpu_layer::shfl_xor((mask), (value), ZORVANE_CPU_SITE, __VA_ARGS__)
#define __shfl_down_sync(mask, value, ...) ::cpu_layer::shfl_down((mask), (value), ZORVANE_CPU_SITE, __VA_ARGS__)
#define __shfl_up_sync(mask, value, ...) ::cpu_layer::shfl_up((mask), (value), ZORVANE_CPU_SITE, __VA_ARGS__)

// ---- atomics (real host atomics: blocks may run on several host threads) ----
inline double atomicAdd(double* address, double value) {
  long long expected = __atomic_load_n(reinterpret_cast<long long*>(address), __ATOMIC_RELAXED);
  for (;;) {
    double old;
    __builtin_memcpy(&old, &expected, sizeof(double));
    const double sum = old + value;
    long long desired;
    __builtin_memcpy(&desired, &sum, sizeof(double));
    if (__atomic_compare_exchange_n(reinterpret_cast<long long*>(address), &expected, desired, false,
                                    __ATOMIC_RELAXED, __ATOMIC_RELAXED))
      return old;
  }
}
inline float atomicAdd(float* address, float value) {
  int expected = __atomic_load_n(reinterpret_cast<int*>(address), __ATOMIC_RELAXED);
  for (;;) {
    float old;
    __builtin_memcpy(&old, &expected, sizeof(float));
    const float sum = old + value;
    int desired;
    __builtin_memcpy(&desired, &sum, sizeof(float));
    if (__atomic_compare_exchange_n(reinterpret_cast<int*>(address), &expected, desired, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED))
      return old;
  }
}
inline int atomicAdd(int* address, int value) { return __atomic_fetch_add(address, value, __ATOMIC_RELAXED); }
inline unsigned atomicAdd(unsigned* address, unsigned value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}

// ---- device math: the host library's accurate functions ----
inline double rsqrt(double x) { return 1.0 / ::sqrt(x); }
inline float rsqrtf(float x) { return 1.0f / ::sqrtf(x); }
