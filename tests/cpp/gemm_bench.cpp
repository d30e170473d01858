// The CPU execution layer's host GEMM against OpenBLAS on the shapes DenseMM
// produces: C = U^T-as-stored . B with U of 2^k x 2^k (row-major, so passed
// transposed), B of 2^k rows and 2^(q-k) columns, k = 1 .. 7. Prints the
// median time of each and the ratio. Built on request, where OpenBLAS is
// installed.
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include <cublas_v2.h>

#include "bench_timing.h"
#include "cpu_layer/control.h"

namespace {

template <class V, class R>
void compare(const char* name, int qubits, cublasHandle_t handle) {
  using C = std::complex<R>;
  std::mt19937 rng(1);
  std::uniform_real_distribution<R> u(-1, 1);
  for (int k = 1; k <= 7; ++k) {
    const int d = 1 << k, cols = 1 << (qubits - k);
    std::vector<V> a(size_t(d) * d), b(size_t(d) * cols), c1(b.size()), c2(b.size());
    for (auto& x : a) x = V{u(rng), u(rng)};
    for (auto& x : b) x = V{u(rng), u(rng)};
    const V one{1, 0}, zero{0, 0};
    // the median of six absorbs the first, cold run (page faults, thread pools)
    const double layer = zorvane_bench::median_ms(6, [&] {
      if constexpr (sizeof(R) == 4)
        cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, d, cols, d, &one, a.data(), d, b.data(), d, &zero, c1.data(), d);
      else
        cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, d, cols, d, &one, a.data(), d, b.data(), d, &zero, c1.data(), d);
    });
    const double blas = zorvane_bench::median_ms(6, [&] {
      if constexpr (sizeof(R) == 4)
        cblas_cgemm(CblasColMajor, CblasTrans, CblasNoTrans, d, cols, d, &one, a.data(), d, b.data(), d, &zero,
                    c2.data(), d);
      else
        cblas_zgemm(CblasColMajor, CblasTrans, CblasNoTrans, d, cols, d, &one, a.data(), d, b.data(), d, &zero,
                    c2.data(), d);
    });
    double diff = 0;
    for (size_t i = 0; i < c1.size(); ++i)
      diff = std::max<double>(diff, std::abs(C(c1[i].x, c1[i].y) - C(c2[i].x, c2[i].y)));
    std::printf("%s q=%d k=%d (%dx%d times %dx%d): layer %8.2f ms, OpenBLAS %8.2f ms, OpenBLAS faster by %.2fx "
                "(max |difference| %.1e)\n",
                name, qubits, k, d, d, d, cols, layer, blas, layer / blas, diff);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int qubits = argc > 1 ? std::atoi(argv[1]) : 20;
  std::printf("host threads of the layer: %u; OpenBLAS threads: %d\n", cpu_layer::host_threads(),
              openblas_get_num_threads());
  cublasHandle_t handle;
  cublasCreate(&handle);
  compare<cuComplex, float>("Cgemm", qubits, handle);
  compare<cuDoubleComplex, double>("Zgemm", qubits, handle);
  cublasDestroy(handle);
  return 0;
}
