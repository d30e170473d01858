// Timings of the CPU execution layer: a flat launch of 2^21 trivial threads,
// the per-thread cost of fiber mode, and a complex gemm. Prints medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include "bench_timing.h"
#include "cpu_layer/control.h"
#include "zorvane/bit_index.h"
#include "zorvane/device_buffer.h"
#include "zorvane/launch.h"

namespace {

__global__ void store_kernel(float* out) { out[zorvane::global_thread_index()] = 1.0f; }

__global__ void store_after_barrier_kernel(float* out) {
  __syncthreads();
  out[zorvane::global_thread_index()] = 1.0f;
}

void check(cudaError_t e) {
  if (e != cudaSuccess) {
    std::fprintf(stderr, "launch failed: %s\n", cudaGetErrorString(e));
    std::exit(1);
  }
}

}  // namespace

int main() {
  constexpr unsigned kThreads = 256;
  const unsigned flat_total = 1u << 21, fiber_total = 1u << 18;
  zorvane::DeviceBuffer<float> out(flat_total);
  const unsigned default_threads = cpu_layer::host_threads();
  for (unsigned host_threads : {1u, default_threads}) {
    cpu_layer::set_host_threads(host_threads);
    const double flat = zorvane_bench::median_ms(21, [&] {
      zorvane::launch_kernel(store_kernel, dim3(flat_total / kThreads), dim3(kThreads), 0, nullptr, out.get());
      check(cudaGetLastError());
    });
    const double fiber = zorvane_bench::median_ms(11, [&] {
      zorvane::launch_kernel(store_after_barrier_kernel, dim3(fiber_total / kThreads), dim3(kThreads), 0, nullptr,
                             out.get());
      check(cudaGetLastError());
    });
    std::printf("%u host thread(s): flat launch of 2^21 threads %.2f ms (%.2f ns/thread); "
                "fiber mode with one barrier %.1f ns/thread\n",
                host_threads, flat, flat * 1e6 / flat_total, fiber * 1e6 / fiber_total);
  }

  cublasHandle_t handle;
  cublasCreate(&handle);
  for (int depth : {16, 128}) {
    const int m = depth, k = depth, n = 1 << 14;
    std::vector<cuDoubleComplex> A(size_t(m) * k, {0.5, 0.25}), B(size_t(k) * n, {1.0, -0.5}), C(size_t(m) * n);
    const cuDoubleComplex one{1, 0}, zero{0, 0};
    const double ms = zorvane_bench::median_ms(5, [&] {
      cublasZgemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, A.data(), m, B.data(), k, &zero, C.data(), m);
    });
    std::printf("Zgemm %dx%d times %dx%d: %.1f ms, %.2f GFLOP/s\n", m, k, k, n, ms,
                8.0 * m * n * k / (ms * 1e6));
  }
  cublasDestroy(handle);
  return 0;
}
