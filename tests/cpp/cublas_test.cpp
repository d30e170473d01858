// cuBLAS subset of the CPU execution layer: complex matrix products against a
// direct column-major reference, and cuBLAS's argument checks.
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <cublas_v2.h>

#include "cpu_layer/control.h"

namespace {

struct GemmCase {
  cublasOperation_t transa, transb;
  int m, n, k;
  int pad;  // extra rows in every leading dimension
};

// C = alpha·op(A)·op(B) + beta·C, element by element, in double.
template <class V>
std::vector<std::complex<double>> reference_gemm(const GemmCase& c, std::complex<double> alpha,
                                                 const std::vector<V>& A, int lda, const std::vector<V>& B, int ldb,
                                                 std::complex<double> beta, const std::vector<V>& C, int ldc) {
  auto op = [](cublasOperation_t t, const std::vector<V>& M, int ld, int row, int col) {
    const V v = t == CUBLAS_OP_N ? M[row + size_t(col) * ld] : M[col + size_t(row) * ld];
    const std::complex<double> z(v.x, v.y);
    return t == CUBLAS_OP_C ? std::conj(z) : z;
  };
  std::vector<std::complex<double>> out(size_t(ldc) * c.n);
  for (int j = 0; j < c.n; ++j)
    for (int i = 0; i < c.m; ++i) {
      std::complex<double> sum = 0;
      for (int l = 0; l < c.k; ++l) sum += op(c.transa, A, lda, i, l) * op(c.transb, B, ldb, l, j);
      const V cv = C[i + size_t(j) * ldc];
      out[i + size_t(j) * ldc] = alpha * sum + beta * std::complex<double>(cv.x, cv.y);
    }
  return out;
}

template <class V>
std::vector<V> random_matrix(size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<V> m(count);
  for (auto& v : m) v = V{static_cast<decltype(v.x)>(u(rng)), static_cast<decltype(v.x)>(u(rng))};
  return m;
}

template <class V, class Gemm>
void check_gemm(const GemmCase& c, Gemm gemm, double tolerance) {
  cublasHandle_t handle = nullptr;
  ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
  std::mt19937 rng(c.m * 131 + c.n * 17 + c.k);
  const int rows_a = c.transa == CUBLAS_OP_N ? c.m : c.k, cols_a = c.transa == CUBLAS_OP_N ? c.k : c.m;
  const int rows_b = c.transb == CUBLAS_OP_N ? c.k : c.n, cols_b = c.transb == CUBLAS_OP_N ? c.n : c.k;
  const int lda = rows_a + c.pad, ldb = rows_b + c.pad, ldc = c.m + c.pad;
  const auto A = random_matrix<V>(size_t(lda) * cols_a, rng);
  const auto B = random_matrix<V>(size_t(ldb) * cols_b, rng);
  auto C = random_matrix<V>(size_t(ldc) * c.n, rng);
  const V alpha{0.75f, -1.25f}, beta{0.5f, 0.25f};
  const auto expected = reference_gemm(c, {alpha.x, alpha.y}, A, lda, B, ldb, {beta.x, beta.y}, C, ldc);
  const auto before = C;
  ASSERT_EQ(gemm(handle, c.transa, c.transb, c.m, c.n, c.k, &alpha, A.data(), lda, B.data(), ldb, &beta, C.data(),
                 ldc),
            CUBLAS_STATUS_SUCCESS);
  const double bound = tolerance * std::sqrt(double(c.k) + 1.0);
  for (int j = 0; j < c.n; ++j) {
    for (int i = 0; i < ldc; ++i) {
      const size_t at = i + size_t(j) * ldc;
      if (i >= c.m) {  // padding rows are never written
        ASSERT_EQ(C[at].x, before[at].x);
        ASSERT_EQ(C[at].y, before[at].y);
        continue;
      }
      ASSERT_NEAR(C[at].x, expected[at].real(), bound) << "row " << i << " column " << j;
      ASSERT_NEAR(C[at].y, expected[at].imag(), bound) << "row " << i << " column " << j;
    }
  }
  ASSERT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
}

class GemmTest : public ::testing::TestWithParam<GemmCase> {};

TEST_P(GemmTest, SingleMatchesReference) { check_gemm<cuComplex>(GetParam(), cublasCgemm, 2e-5); }
TEST_P(GemmTest, DoubleMatchesReference) { check_gemm<cuDoubleComplex>(GetParam(), cublasZgemm, 1e-12); }

std::vector<GemmCase> gemm_cases() {
  std::vector<GemmCase> cases;
  const cublasOperation_t ops[] = {CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C};
  for (auto ta : ops)
    for (auto tb : ops) {
      cases.push_back({ta, tb, 5, 7, 3, 0});
      cases.push_back({ta, tb, 9, 4, 6, 3});
    }
  // Past the packing panels (128 rows, 128 deep) with remainders, a depth
  // that is no multiple of four, and enough columns to be spread over host
  // threads.
  cases.push_back({CUBLAS_OP_N, CUBLAS_OP_N, 130, 37, 261, 2});
  cases.push_back({CUBLAS_OP_C, CUBLAS_OP_T, 129, 21, 130, 0});
  cases.push_back({CUBLAS_OP_N, CUBLAS_OP_N, 64, 600, 64, 1});
  cases.push_back({CUBLAS_OP_T, CUBLAS_OP_C, 32, 700, 48, 0});
  return cases;
}

std::string op_name(cublasOperation_t op) { return op == CUBLAS_OP_N ? "N" : op == CUBLAS_OP_T ? "T" : "C"; }

INSTANTIATE_TEST_SUITE_P(Shapes, GemmTest, ::testing::ValuesIn(gemm_cases()), [](const auto& info) {
  const GemmCase& c = info.param;
  return op_name(c.transa) + op_name(c.transb) + "_" + std::to_string(c.m) + "x" + std::to_string(c.n) + "x" +
         std::to_string(c.k) + "_pad" + std::to_string(c.pad);
});

class GemmSpecialTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cublasCreate(&handle_), CUBLAS_STATUS_SUCCESS); }
  void TearDown() override { cublasDestroy(handle_); }
  cublasHandle_t handle_ = nullptr;
};

// beta = 0 overwrites C without reading it, and alpha = 0 or k = 0 leave A
// and B unread: NaN there must not reach the result.
TEST_F(GemmSpecialTest, ZeroScalarsDoNotReadTheirOperands) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const int m = 3, n = 2, k = 4;
  std::vector<cuDoubleComplex> A(m * k, {1.0, 2.0}), B(k * n, {0.5, -1.0}), C(m * n, {nan, nan});
  const cuDoubleComplex one{1.0, 0.0}, zero{0.0, 0.0}, two{2.0, 0.0};
  ASSERT_EQ(cublasZgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, A.data(), m, B.data(), k, &zero, C.data(),
                        m),
            CUBLAS_STATUS_SUCCESS);
  // (1 + 2i)(0.5 − i) = 2.5, summed over k = 4.
  for (const auto& v : C) {
    EXPECT_DOUBLE_EQ(v.x, 10.0);
    EXPECT_DOUBLE_EQ(v.y, 0.0);
  }
  std::vector<cuDoubleComplex> bad(m * k, {nan, nan});
  ASSERT_EQ(cublasZgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &zero, bad.data(), m, bad.data(), k, &two,
                        C.data(), m),
            CUBLAS_STATUS_SUCCESS);
  for (const auto& v : C) EXPECT_DOUBLE_EQ(v.x, 20.0);
  ASSERT_EQ(cublasZgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, m, n, 0, &one, bad.data(), m, bad.data(), 1, &zero,
                        C.data(), m),
            CUBLAS_STATUS_SUCCESS);
  for (const auto& v : C) EXPECT_EQ(v.x, 0.0);
}

struct BadArgs {
  const char* name;
  int op_a, op_b, m, n, k, lda, ldb, ldc;
};

class GemmArgumentTest : public GemmSpecialTest, public ::testing::WithParamInterface<BadArgs> {};

TEST_P(GemmArgumentTest, RefusedWithInvalidValueAndCUntouched) {
  const BadArgs& a = GetParam();
  std::vector<cuComplex> A(64, {1, 1}), B(64, {1, 1}), C(64, {3, 3});
  const cuComplex one{1, 0};
  EXPECT_EQ(cublasCgemm(handle_, static_cast<cublasOperation_t>(a.op_a), static_cast<cublasOperation_t>(a.op_b), a.m,
                        a.n, a.k, &one, A.data(), a.lda, B.data(), a.ldb, &one, C.data(), a.ldc),
            CUBLAS_STATUS_INVALID_VALUE);
  for (const auto& v : C) ASSERT_EQ(v.x, 3.0f);
}

// The valid call is N, N, m = 4, n = 3, k = 2 with lda = 4, ldb = 2, ldc = 4.
INSTANTIATE_TEST_SUITE_P(
    Cases, GemmArgumentTest,
    ::testing::Values(BadArgs{"NegativeM", 0, 0, -1, 3, 2, 4, 2, 4}, BadArgs{"NegativeN", 0, 0, 4, -1, 2, 4, 2, 4},
                      BadArgs{"NegativeK", 0, 0, 4, 3, -1, 4, 2, 4}, BadArgs{"LdaBelowM", 0, 0, 4, 3, 2, 3, 2, 4},
                      BadArgs{"LdaBelowKTransposed", 1, 0, 4, 3, 2, 1, 2, 4},
                      BadArgs{"LdbBelowK", 0, 0, 4, 3, 2, 4, 1, 4},
                      BadArgs{"LdbBelowNTransposed", 0, 2, 4, 3, 2, 4, 2, 4},
                      BadArgs{"LdcBelowM", 0, 0, 4, 3, 2, 4, 2, 3}, BadArgs{"LdaZero", 0, 0, 0, 3, 0, 0, 1, 1},
                      BadArgs{"UnknownOperation", 3, 0, 4, 3, 2, 4, 2, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CublasHandle, LifecycleAndStream) {
  cublasHandle_t handle = nullptr;
  const size_t live = cpu_layer::live_cublas_handles();
  EXPECT_EQ(cublasCreate(nullptr), CUBLAS_STATUS_INVALID_VALUE);
  ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cpu_layer::live_cublas_handles(), live + 1);
  EXPECT_EQ(cublasSetStream(handle, nullptr), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cublasSetStream(handle, reinterpret_cast<cudaStream_t>(uintptr_t{0x1000})), CUBLAS_STATUS_INVALID_VALUE);
  cudaStream_t stream = reinterpret_cast<cudaStream_t>(uintptr_t{1});
  EXPECT_EQ(cublasGetStream(handle, &stream), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(stream, nullptr);
  ASSERT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cpu_layer::live_cublas_handles(), live);

  // A destroyed or null handle is refused by every entry point.
  const cuComplex one{1, 0};
  cuComplex c{0, 0};
  for (cublasHandle_t bad : {handle, static_cast<cublasHandle_t>(nullptr)}) {
    EXPECT_EQ(cublasCgemm(bad, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &one, &one, 1, &one, 1, &one, &c, 1),
              CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasSetStream(bad, nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasDestroy(bad), CUBLAS_STATUS_NOT_INITIALIZED);
  }
  EXPECT_EQ(c.x, 0.0f);
  EXPECT_STREQ(cublasGetStatusName(CUBLAS_STATUS_INVALID_VALUE), "CUBLAS_STATUS_INVALID_VALUE");
}

// Each cuBLAS fault point fails only its nth call, with its default status or
// the one named, and leaves no CUDA error behind.
TEST(CublasFaults, OnlyTheNthCallOfAKindFails) {
  cublasHandle_t handle = nullptr;
  ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
  const cuDoubleComplex one{1, 0};
  cuDoubleComplex c{0, 0};
  using cpu_layer::FaultKind;
  const auto call = [&](FaultKind kind) -> cublasStatus_t {
    switch (kind) {
      case FaultKind::cublas_create: {
        cublasHandle_t extra = nullptr;
        const cublasStatus_t s = cublasCreate(&extra);
        if (s == CUBLAS_STATUS_SUCCESS) cublasDestroy(extra);
        else EXPECT_EQ(extra, nullptr);
        return s;
      }
      case FaultKind::cublas_set_stream:
        return cublasSetStream(handle, nullptr);
      default:
        return cublasZgemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &one, &one, 1, &one, 1, &one, &c, 1);
    }
  };
  const struct {
    FaultKind kind;
    cublasStatus_t named, fallback;
  } cases[] = {{FaultKind::cublas_create, CUBLAS_STATUS_NOT_INITIALIZED, CUBLAS_STATUS_ALLOC_FAILED},
               {FaultKind::cublas_set_stream, CUBLAS_STATUS_INTERNAL_ERROR, CUBLAS_STATUS_NOT_INITIALIZED},
               {FaultKind::cublas_gemm, CUBLAS_STATUS_ARCH_MISMATCH, CUBLAS_STATUS_EXECUTION_FAILED}};
  for (const auto& k : cases) {
    for (const bool named : {false, true}) {
      cpu_layer::inject_fault(k.kind, 2, named ? static_cast<cudaError_t>(k.named) : cudaSuccess);
      for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(call(k.kind), i == 2 ? (named ? k.named : k.fallback) : CUBLAS_STATUS_SUCCESS) << i;
    }
  }
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  cublasDestroy(handle);
}

}  // namespace
