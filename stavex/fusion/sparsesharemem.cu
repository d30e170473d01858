// The SparseShareMem kernel and its launcher. A block loads a tile into shared
// memory, applies every record of the group to it with a barrier after each,
// and stores it back; a grid-stride loop covers more tiles than blocks.
#include "sparsesharemem.h"

#include <stdexcept>

#include "zorvane/bit_index.h"
#include "zorvane/launch.h"

namespace stavex {
namespace fusion {

using zorvane::CuComplex;
using zorvane::deposit_bits;
using zorvane::insert_zero_at;
using zorvane::masked_add;

namespace {

// A GPU block has 128 threads. On the CPU execution layer every thread of a
// block that meets at barriers is a fiber, and each barrier costs a switch per
// thread, about as much as the few pair updates a thread does between two
// barriers; four threads per block keep the barriers real (a missing one
// still mixes the threads' updates and shows) at a small fraction of that
// cost. The kernel is written for any block size; the C++ unit tests run it
// with 128 threads as well.
#if defined(ZORVANE_CPU_LAYER)
constexpr unsigned int kBlockThreads = 4;
#else
constexpr unsigned int kBlockThreads = 128;
#endif
constexpr uint64_t kMaxBlocks = 65535;

// a' and b' of every pair (i0, i0 | bit t) of the tile whose controls hold,
// pairs numbered from tid in steps of step.
template <class T, class Update>
__device__ __forceinline__ void update_tile_pairs(CuComplex<T>* tile, uint32_t half, int32_t t, uint32_t mask,
                                                  uint32_t value, uint32_t tid, uint32_t step, Update update) {
  const uint32_t tbit = 1u << t;
  for (uint32_t p = tid; p < half; p += step) {
    const auto i0 = static_cast<uint32_t>(insert_zero_at(p, t));
    if ((i0 & mask) != value) continue;
    const CuComplex<T> a = tile[i0];
    const CuComplex<T> b = tile[i0 | tbit];
    update(a, b, tile[i0], tile[i0 | tbit]);
  }
}

template <class T>
__device__ __forceinline__ void apply_record(CuComplex<T>* tile, const DeviceMatrixGate<T>& g, uint32_t half,
                                             uint32_t quarter, uint32_t tid, uint32_t step) {
  const uint32_t mask = g.control_mask, value = g.control_value;
  const int32_t t = g.target;
  const CuComplex<T> m00 = g.matrix[0], m01 = g.matrix[1], m10 = g.matrix[2], m11 = g.matrix[3];
  switch (static_cast<MatrixGateKind>(g.kind)) {
    case MatrixGateKind::Swap: {
      const int32_t lo = t < g.target2 ? t : g.target2;
      const int32_t hi = t < g.target2 ? g.target2 : t;
      for (uint32_t p = tid; p < quarter; p += step) {
        const auto i = static_cast<uint32_t>(insert_zero_at(insert_zero_at(p, lo), hi));
        if ((i & mask) != value) continue;
        const CuComplex<T> a = tile[i | (1u << hi)];
        tile[i | (1u << hi)] = tile[i | (1u << lo)];
        tile[i | (1u << lo)] = a;
      }
      break;
    }
    case MatrixGateKind::X:
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = b;
                          b_out = a;
                        });
      break;
    case MatrixGateKind::Y:  // a' = -i b, b' = i a
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = CuComplex<T>{b.y, -b.x};
                          b_out = CuComplex<T>{-a.y, a.x};
                        });
      break;
    case MatrixGateKind::H: {
      const T h = m00.x;
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [h](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = zorvane::cscale(zorvane::cadd(a, b), h);
                          b_out = zorvane::cscale(zorvane::csub(a, b), h);
                        });
      break;
    }
    case MatrixGateKind::Diagonal:
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [m00, m11](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = zorvane::cmul(m00, a);
                          b_out = zorvane::cmul(m11, b);
                        });
      break;
    case MatrixGateKind::RX: {  // a' = c a + i s' b, b' = c b + i s' a, with c = m00.re, s' = m01.im
      const T c = m00.x, s = m01.y;
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [c, s](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = CuComplex<T>{c * a.x - s * b.y, c * a.y + s * b.x};
                          b_out = CuComplex<T>{c * b.x - s * a.y, c * b.y + s * a.x};
                        });
      break;
    }
    case MatrixGateKind::RY: {  // a' = c a - s b, b' = c b + s a, with c = m00.re, s = m10.re
      const T c = m00.x, s = m10.x;
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [c, s](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out, CuComplex<T>& b_out) {
                          a_out = zorvane::csub(zorvane::cscale(a, c), zorvane::cscale(b, s));
                          b_out = zorvane::cadd(zorvane::cscale(b, c), zorvane::cscale(a, s));
                        });
      break;
    }
    default:  // General and any other value
      update_tile_pairs(tile, half, t, mask, value, tid, step,
                        [m00, m01, m10, m11](CuComplex<T> a, CuComplex<T> b, CuComplex<T>& a_out,
                                             CuComplex<T>& b_out) {
                          a_out = zorvane::cdot2(m00, a, m01, b);
                          b_out = zorvane::cdot2(m10, a, m11, b);
                        });
      break;
  }
}

}  // namespace

template <class T>
__global__ void sparsesharemem_kernel(CuComplex<T>* state, uint64_t tiles, uint64_t active_mask,
                                      uint64_t inactive_mask, int32_t k, const DeviceMatrixGate<T>* gates,
                                      int32_t count) {
  CuComplex<T>* shared_bytes = zorvane::dynamic_shared_memory<CuComplex<T>>();
  const uint32_t size = 1u << k, half = size / 2, quarter = size / 4;
  const uint32_t tid = threadIdx.x, step = blockDim.x;
  // deposit(j, active mask) for j = tid, tid + step, .. by masked additions
  const uint64_t first = deposit_bits(tid, active_mask), stride = deposit_bits(step, active_mask);
  for (uint64_t m = blockIdx.x; m < tiles; m += gridDim.x) {
    const uint64_t base = deposit_bits(m, inactive_mask);
    uint64_t offset = first;
    for (uint32_t j = tid; j < size; j += step, offset = masked_add(offset, stride, active_mask))
      shared_bytes[j] = state[base | offset];
    __syncthreads();
    for (int32_t r = 0; r < count; ++r) {
      apply_record(shared_bytes, gates[r], half, quarter, tid, step);
      __syncthreads();
    }
    offset = first;
    for (uint32_t j = tid; j < size; j += step, offset = masked_add(offset, stride, active_mask))
      state[base | offset] = shared_bytes[j];
    __syncthreads();
  }
}

template <class T>
void run_sparsesharemem_group(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                              const DeviceMatrixGate<T>* gates, int32_t count, cudaStream_t stream) {
  if (k < 1 || k > 10) throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
  if (k > n) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
  if (count <= 0) throw std::invalid_argument("SparseShareMem group cannot be empty");
  const uint64_t tiles = uint64_t{1} << (n - k);
  const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  const auto blocks = static_cast<unsigned int>(tiles < kMaxBlocks ? tiles : kMaxBlocks);
  zorvane::launch_kernel(&sparsesharemem_kernel<T>, dim3(blocks), dim3(kBlockThreads),
                         (size_t{1} << k) * sizeof(CuComplex<T>), stream, state, tiles, active_mask,
                         active_mask ^ all, k, gates, count);
}

template __global__ void sparsesharemem_kernel<float>(CuComplex<float>*, uint64_t, uint64_t, uint64_t, int32_t,
                                                      const DeviceMatrixGate<float>*, int32_t);
template __global__ void sparsesharemem_kernel<double>(CuComplex<double>*, uint64_t, uint64_t, uint64_t, int32_t,
                                                       const DeviceMatrixGate<double>*, int32_t);
template void run_sparsesharemem_group<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                              const DeviceMatrixGate<float>*, int32_t, cudaStream_t);
template void run_sparsesharemem_group<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                               const DeviceMatrixGate<double>*, int32_t, cudaStream_t);

}  // namespace fusion
}  // namespace stavex
