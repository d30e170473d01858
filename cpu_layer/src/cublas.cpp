// cuBLAS subset of the CPU execution layer.
//
// The matrix product packs a block of op(A) into split real and imaginary
// panels (conjugated when asked), so the innermost loop is a plain
// multiply-add over contiguous arrays that the compiler vectorises; each
// column of C is updated in a split scratch copy and written back once per
// panel. Columns of C are spread over the worker pool that runs grids.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>

#include <cublas_v2.h>

#include "cpu_layer/control.h"
#include "host_parallel.h"

struct cublasContext {
  cudaStream_t stream = nullptr;
};

namespace {

// Live handles, so that a destroyed or foreign handle is refused instead of
// being dereferenced.
struct HandleRegistry {
  std::mutex mutex;
  std::set<cublasContext*> live;
};

HandleRegistry& handles() {
  static auto* r = new HandleRegistry;  // never destroyed: handles may outlive static destruction
  return *r;
}

bool is_live(cublasHandle_t handle) {
  if (handle == nullptr) return false;
  auto& r = handles();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.live.count(handle) != 0;
}

constexpr int kRowPanel = 128;  // rows of op(A) packed at once
constexpr int kDepthPanel = 128;  // columns of op(A) (the k dimension) packed at once

template <class T, class V>
struct GemmArgs {
  cublasOperation_t transa, transb;
  int m, n, k;
  V alpha, beta;
  const V* A;
  int lda;
  const V* B;
  int ldb;
  V* C;
  int ldc;
};

// One packed panel: `rows` × `depth` entries of op(A), column l at
// re/im + l·kRowPanel, applied to columns [j0, j1) of C at row offset `row0`
// and depth offset `depth0`. `first` marks the first panel of the depth, which
// applies beta.
template <class T, class V>
struct Panel {
  const GemmArgs<T, V>* args;
  const T* re;
  const T* im;
  int row0, rows, depth0, depth;
  bool first;
};

template <class T, class V>
__attribute__((always_inline)) inline void update_columns(const Panel<T, V>& p, T* __restrict cr,
                                                          T* __restrict ci, int64_t j0, int64_t j1) {
  const GemmArgs<T, V>& g = *p.args;
  const bool beta_zero = g.beta.x == T(0) && g.beta.y == T(0);
  const int rows = p.rows;
  for (int64_t j = j0; j < j1; ++j) {
    V* c = g.C + p.row0 + j * g.ldc;
    if (!p.first) {
      for (int i = 0; i < rows; ++i) {
        cr[i] = c[i].x;
        ci[i] = c[i].y;
      }
    } else if (beta_zero) {
      // beta = 0 ignores C entirely, NaN included, as BLAS does.
      std::fill(cr, cr + rows, T(0));
      std::fill(ci, ci + rows, T(0));
    } else {
      for (int i = 0; i < rows; ++i) {
        cr[i] = g.beta.x * c[i].x - g.beta.y * c[i].y;
        ci[i] = g.beta.x * c[i].y + g.beta.y * c[i].x;
      }
    }
    // The entries op(B)(l, j) of this panel, scaled by alpha.
    auto scaled_b = [&](int l, T* br, T* bi) {
      const int64_t row = p.depth0 + l;
      V b;
      if (g.transb == CUBLAS_OP_N) {
        b = g.B[row + j * g.ldb];
      } else {
        b = g.B[j + row * g.ldb];
        if (g.transb == CUBLAS_OP_C) b.y = -b.y;
      }
      *br = g.alpha.x * b.x - g.alpha.y * b.y;
      *bi = g.alpha.x * b.y + g.alpha.y * b.x;
    };
    int l = 0;
    for (; l + 4 <= p.depth; l += 4) {
      T b0r, b0i, b1r, b1i, b2r, b2i, b3r, b3i;
      scaled_b(l, &b0r, &b0i);
      scaled_b(l + 1, &b1r, &b1i);
      scaled_b(l + 2, &b2r, &b2i);
      scaled_b(l + 3, &b3r, &b3i);
      const T* __restrict a0r = p.re + l * kRowPanel;
      const T* __restrict a0i = p.im + l * kRowPanel;
      const T* __restrict a1r = a0r + kRowPanel;
      const T* __restrict a1i = a0i + kRowPanel;
      const T* __restrict a2r = a1r + kRowPanel;
      const T* __restrict a2i = a1i + kRowPanel;
      const T* __restrict a3r = a2r + kRowPanel;
      const T* __restrict a3i = a2i + kRowPanel;
      for (int i = 0; i < rows; ++i) {
        cr[i] += a0r[i] * b0r - a0i[i] * b0i + a1r[i] * b1r - a1i[i] * b1i + a2r[i] * b2r - a2i[i] * b2i +
                 a3r[i] * b3r - a3i[i] * b3i;
        ci[i] += a0r[i] * b0i + a0i[i] * b0r + a1r[i] * b1i + a1i[i] * b1r + a2r[i] * b2i + a2i[i] * b2r +
                 a3r[i] * b3i + a3i[i] * b3r;
      }
    }
    for (; l < p.depth; ++l) {
      T br, bi;
      scaled_b(l, &br, &bi);
      const T* __restrict ar = p.re + l * kRowPanel;
      const T* __restrict ai = p.im + l * kRowPanel;
      for (int i = 0; i < rows; ++i) {
        cr[i] += ar[i] * br - ai[i] * bi;
        ci[i] += ar[i] * bi + ai[i] * br;
      }
    }
    for (int i = 0; i < rows; ++i) c[i] = V{cr[i], ci[i]};
  }
}

// The hot loop, built twice on x86-64: for AVX2 with FMA where the host has
// them, and for the baseline instruction set.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ZORVANE_GEMM_CLONES __attribute__((target_clones("arch=haswell", "default")))
#else
#define ZORVANE_GEMM_CLONES
#endif

ZORVANE_GEMM_CLONES void update_columns_c(const Panel<float, cuComplex>& p, float* cr, float* ci, int64_t j0,
                                          int64_t j1) {
  update_columns(p, cr, ci, j0, j1);
}
ZORVANE_GEMM_CLONES void update_columns_z(const Panel<double, cuDoubleComplex>& p, double* cr, double* ci,
                                          int64_t j0, int64_t j1) {
  update_columns(p, cr, ci, j0, j1);
}
inline void update_columns_any(const Panel<float, cuComplex>& p, float* cr, float* ci, int64_t j0, int64_t j1) {
  update_columns_c(p, cr, ci, j0, j1);
}
inline void update_columns_any(const Panel<double, cuDoubleComplex>& p, double* cr, double* ci, int64_t j0,
                               int64_t j1) {
  update_columns_z(p, cr, ci, j0, j1);
}

// Columns [j0, j1) of C when there is no product to add: C = beta·C.
template <class T, class V>
void scale_columns(const GemmArgs<T, V>& g, int64_t j0, int64_t j1) {
  const bool beta_zero = g.beta.x == T(0) && g.beta.y == T(0);
  for (int64_t j = j0; j < j1; ++j) {
    V* c = g.C + j * g.ldc;
    for (int i = 0; i < g.m; ++i)
      c[i] = beta_zero ? V{T(0), T(0)}
                       : V{g.beta.x * c[i].x - g.beta.y * c[i].y, g.beta.x * c[i].y + g.beta.y * c[i].x};
  }
}

template <class T, class V>
void gemm_columns(const GemmArgs<T, V>& g, int64_t j0, int64_t j1) {
  if (g.k == 0 || (g.alpha.x == T(0) && g.alpha.y == T(0))) {
    scale_columns(g, j0, j1);  // A and B are not read
    return;
  }
  const size_t panel = size_t{kRowPanel} * kDepthPanel;
  std::unique_ptr<T[]> scratch(new T[2 * panel + 2 * kRowPanel]);
  T* re = scratch.get();
  T* im = re + panel;
  T* cr = im + panel;
  T* ci = cr + kRowPanel;
  for (int row0 = 0; row0 < g.m; row0 += kRowPanel) {
    const int rows = std::min(kRowPanel, g.m - row0);
    for (int depth0 = 0; depth0 < g.k; depth0 += kDepthPanel) {
      const int depth = std::min(kDepthPanel, g.k - depth0);
      if (g.transa == CUBLAS_OP_N) {
        for (int l = 0; l < depth; ++l) {
          const V* a = g.A + row0 + int64_t{depth0 + l} * g.lda;
          for (int i = 0; i < rows; ++i) {
            re[l * kRowPanel + i] = a[i].x;
            im[l * kRowPanel + i] = a[i].y;
          }
        }
      } else {
        const T sign = g.transa == CUBLAS_OP_C ? T(-1) : T(1);
        for (int i = 0; i < rows; ++i) {
          const V* a = g.A + depth0 + int64_t{row0 + i} * g.lda;
          for (int l = 0; l < depth; ++l) {
            re[l * kRowPanel + i] = a[l].x;
            im[l * kRowPanel + i] = sign * a[l].y;
          }
        }
      }
      const Panel<T, V> p{&g, re, im, row0, rows, depth0, depth, depth0 == 0};
      update_columns_any(p, cr, ci, j0, j1);
    }
  }
}

bool valid_operation(cublasOperation_t op) {
  return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C;
}

template <class T, class V>
cublasStatus_t gemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k,
                    const V* alpha, const V* A, int lda, const V* B, int ldb, const V* beta, V* C, int ldc) {
  if (!is_live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (!valid_operation(transa) || !valid_operation(transb) || m < 0 || n < 0 || k < 0)
    return CUBLAS_STATUS_INVALID_VALUE;
  const int rows_a = transa == CUBLAS_OP_N ? m : k;
  const int rows_b = transb == CUBLAS_OP_N ? k : n;
  if (lda < std::max(1, rows_a) || ldb < std::max(1, rows_b) || ldc < std::max(1, m))
    return CUBLAS_STATUS_INVALID_VALUE;
  if (alpha == nullptr || beta == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  if (const cudaError_t injected = cpu_layer::take_fault(cpu_layer::FaultKind::cublas_gemm))
    return static_cast<cublasStatus_t>(injected);
  if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
  const GemmArgs<T, V> g{transa, transb, m, n, k, *alpha, *beta, A, lda, B, ldb, C, ldc};
  // Enough columns per chunk that a chunk is worth a pool hand-off.
  const uint64_t work_per_column = uint64_t(m) * uint64_t(std::max(k, 1));
  const uint64_t grain = std::max<uint64_t>(4, (uint64_t{1} << 18) / work_per_column);
  const bool ok = cpu_layer::parallel_for(uint64_t(n), grain, [&g](uint64_t b, uint64_t e) {
    gemm_columns(g, static_cast<int64_t>(b), static_cast<int64_t>(e));
  });
  return ok ? CUBLAS_STATUS_SUCCESS : CUBLAS_STATUS_ALLOC_FAILED;
}

}  // namespace

size_t cpu_layer::live_cublas_handles() {
  auto& r = handles();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.live.size();
}

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  if (const cudaError_t injected = cpu_layer::take_fault(cpu_layer::FaultKind::cublas_create))
    return static_cast<cublasStatus_t>(injected);
  auto* h = new cublasContext;
  auto& r = handles();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.live.insert(h);
  *handle = h;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  auto& r = handles();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (handle == nullptr || r.live.erase(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  }
  delete handle;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t stream) {
  if (!is_live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (stream != nullptr) return CUBLAS_STATUS_INVALID_VALUE;  // only the default stream exists
  if (const cudaError_t injected = cpu_layer::take_fault(cpu_layer::FaultKind::cublas_set_stream))
    return static_cast<cublasStatus_t>(injected);
  handle->stream = stream;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasGetStream_v2(cublasHandle_t handle, cudaStream_t* stream) {
  if (!is_live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (stream == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  *stream = handle->stream;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasCgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m,
                               int n, int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B,
                               int ldb, const cuComplex* beta, cuComplex* C, int ldc) {
  return gemm<float>(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}

cublasStatus_t cublasZgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m,
                               int n, int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                               const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                               int ldc) {
  return gemm<double>(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}

const char* cublasGetStatusName(cublasStatus_t status) {
  switch (status) {
    case CUBLAS_STATUS_SUCCESS: return "CUBLAS_STATUS_SUCCESS";
    case CUBLAS_STATUS_NOT_INITIALIZED: return "CUBLAS_STATUS_NOT_INITIALIZED";
    case CUBLAS_STATUS_ALLOC_FAILED: return "CUBLAS_STATUS_ALLOC_FAILED";
    case CUBLAS_STATUS_INVALID_VALUE: return "CUBLAS_STATUS_INVALID_VALUE";
    case CUBLAS_STATUS_ARCH_MISMATCH: return "CUBLAS_STATUS_ARCH_MISMATCH";
    case CUBLAS_STATUS_MAPPING_ERROR: return "CUBLAS_STATUS_MAPPING_ERROR";
    case CUBLAS_STATUS_EXECUTION_FAILED: return "CUBLAS_STATUS_EXECUTION_FAILED";
    case CUBLAS_STATUS_INTERNAL_ERROR: return "CUBLAS_STATUS_INTERNAL_ERROR";
    case CUBLAS_STATUS_NOT_SUPPORTED: return "CUBLAS_STATUS_NOT_SUPPORTED";
    case CUBLAS_STATUS_LICENSE_ERROR: return "CUBLAS_STATUS_LICENSE_ERROR";
  }
  return "<unknown>";
}

const char* cublasGetStatusString(cublasStatus_t status) {
  switch (status) {
    case CUBLAS_STATUS_SUCCESS: return "success";
    case CUBLAS_STATUS_NOT_INITIALIZED: return "the library was not initialized";
    case CUBLAS_STATUS_ALLOC_FAILED: return "the resource allocation failed";
    case CUBLAS_STATUS_INVALID_VALUE: return "an invalid numeric value was used as an argument";
    case CUBLAS_STATUS_ARCH_MISMATCH: return "an absent device architectural feature is required";
    case CUBLAS_STATUS_MAPPING_ERROR: return "an access to GPU memory space failed";
    case CUBLAS_STATUS_EXECUTION_FAILED: return "the GPU program failed to execute";
    case CUBLAS_STATUS_INTERNAL_ERROR: return "an internal operation failed";
    case CUBLAS_STATUS_NOT_SUPPORTED: return "the functionality requested is not supported";
    case CUBLAS_STATUS_LICENSE_ERROR: return "an error was detected when checking the current licensing";
  }
  return "unknown error";
}
