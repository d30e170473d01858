// cuBLAS subset for the CPU execution layer: handles, the stream binding and
// complex matrix products, with cuBLAS's column-major conventions, argument
// checks and status codes. Device pointers are host memory here, and every
// call finishes before it returns.
#pragma once

#include <cuda_runtime.h>

#include <cuComplex.h>

typedef enum {
  CUBLAS_STATUS_SUCCESS = 0,
  CUBLAS_STATUS_NOT_INITIALIZED = 1,
  CUBLAS_STATUS_ALLOC_FAILED = 3,
  CUBLAS_STATUS_INVALID_VALUE = 7,
  CUBLAS_STATUS_ARCH_MISMATCH = 8,
  CUBLAS_STATUS_MAPPING_ERROR = 11,
  CUBLAS_STATUS_EXECUTION_FAILED = 13,
  CUBLAS_STATUS_INTERNAL_ERROR = 14,
  CUBLAS_STATUS_NOT_SUPPORTED = 15,
  CUBLAS_STATUS_LICENSE_ERROR = 16,
} cublasStatus_t;

typedef enum {
  CUBLAS_OP_N = 0,
  CUBLAS_OP_T = 1,
  CUBLAS_OP_C = 2,
  CUBLAS_OP_HERMITAN = 2,
} cublasOperation_t;

struct cublasContext;
typedef struct cublasContext* cublasHandle_t;

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle);
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle);
cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t stream);
cublasStatus_t cublasGetStream_v2(cublasHandle_t handle, cudaStream_t* stream);

// C = alpha·op(A)·op(B) + beta·C, with op(A) m×k, op(B) k×n and C m×n, all
// column-major with leading dimensions lda, ldb, ldc.
cublasStatus_t cublasCgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m,
                               int n, int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B,
                               int ldb, const cuComplex* beta, cuComplex* C, int ldc);
cublasStatus_t cublasZgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m,
                               int n, int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                               const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                               int ldc);

const char* cublasGetStatusName(cublasStatus_t status);
const char* cublasGetStatusString(cublasStatus_t status);

#define cublasCreate cublasCreate_v2
#define cublasDestroy cublasDestroy_v2
#define cublasSetStream cublasSetStream_v2
#define cublasGetStream cublasGetStream_v2
#define cublasCgemm cublasCgemm_v2
#define cublasZgemm cublasZgemm_v2
