// Host-side parallel loops on the worker pool that also runs grids.
#pragma once

#include <cstdint>
#include <type_traits>

namespace cpu_layer {

using RangeFn = void (*)(void* context, uint64_t begin, uint64_t end);

// Calls fn over [0, count) in contiguous chunks of at least `grain` items,
// spread over the pool's host threads when the pool is free and on the
// calling thread alone otherwise. Returns false when a call threw.
bool parallel_ranges(uint64_t count, uint64_t grain, RangeFn fn, void* context);

template <class F>
bool parallel_for(uint64_t count, uint64_t grain, F&& f) {
  using Fn = std::remove_reference_t<F>;
  return parallel_ranges(
      count, grain, [](void* c, uint64_t b, uint64_t e) { (*static_cast<Fn*>(c))(b, e); },
      const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace cpu_layer
