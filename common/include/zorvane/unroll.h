// Loop unrolling requests for kernel loops: CUDA's `#pragma unroll` in the
// CUDA build; nothing in the CPU build, whose compiler does not know the
// pragma and unrolls short constant-count loops at -O3 on its own.
#pragma once

#include <cuda_runtime.h>  // defines ZORVANE_CPU_LAYER in the CPU build

#define ZORVANE_PRAGMA(text) _Pragma(#text)

#if defined(ZORVANE_CPU_LAYER)
#define ZORVANE_UNROLL
#define ZORVANE_UNROLL_BY(count)
#else
// Fully unrolled (the trip count must be a compile-time constant).
#define ZORVANE_UNROLL ZORVANE_PRAGMA(unroll)
// Unrolled `count` times, a constant expression (1: not unrolled).
#define ZORVANE_UNROLL_BY(count) ZORVANE_PRAGMA(unroll(count))
#endif
