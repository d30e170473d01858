// The SparseShareMem kernel and its launcher. A block loads a tile into shared
// memory, applies the records of the group to it in order with a barrier
// after each sweep (one record, or two consecutive ones on different targets
// taken together), and stores it back; a grid-stride loop covers more tiles
// than blocks.
#include "sparsesharemem.h"

#include <algorithm>
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

// One pair (a, b) = (tile[i0], tile[i0 | bit t]) under a record other than
// Swap, by the record's kind.
template <class T>
__device__ __forceinline__ void update_pair(const DeviceMatrixGate<T>& g, CuComplex<T>& a, CuComplex<T>& b) {
  const CuComplex<T> a0 = a, b0 = b;
  switch (static_cast<MatrixGateKind>(g.kind)) {
    case MatrixGateKind::X:
      a = b0;
      b = a0;
      break;
    case MatrixGateKind::Y:  // a' = -i b, b' = i a
      a = CuComplex<T>{b0.y, -b0.x};
      b = CuComplex<T>{-a0.y, a0.x};
      break;
    case MatrixGateKind::H:
      a = zorvane::cscale(zorvane::cadd(a0, b0), g.matrix[0].x);
      b = zorvane::cscale(zorvane::csub(a0, b0), g.matrix[0].x);
      break;
    case MatrixGateKind::Diagonal:
      a = zorvane::cmul(g.matrix[0], a0);
      b = zorvane::cmul(g.matrix[3], b0);
      break;
    case MatrixGateKind::RX: {  // a' = c a + i s b, b' = c b + i s a, c = m00.re, s = m01.im
      const T c = g.matrix[0].x, s = g.matrix[1].y;
      a = CuComplex<T>{c * a0.x - s * b0.y, c * a0.y + s * b0.x};
      b = CuComplex<T>{c * b0.x - s * a0.y, c * b0.y + s * a0.x};
      break;
    }
    case MatrixGateKind::RY: {  // a' = c a - s b, b' = c b + s a, c = m00.re, s = m10.re
      const T c = g.matrix[0].x, s = g.matrix[2].x;
      a = zorvane::csub(zorvane::cscale(a0, c), zorvane::cscale(b0, s));
      b = zorvane::cadd(zorvane::cscale(b0, c), zorvane::cscale(a0, s));
      break;
    }
    default:  // General and any other value
      a = zorvane::cdot2(g.matrix[0], a0, g.matrix[1], b0);
      b = zorvane::cdot2(g.matrix[2], a0, g.matrix[3], b0);
      break;
  }
}

__device__ __forceinline__ bool controls_hold(uint32_t index, uint32_t mask, uint32_t value) {
  return (index & mask) == value;
}

// One record: every pair (or, for Swap, every exchange) of the tile whose
// controls hold, numbered from tid in steps of step.
template <class T>
__device__ __forceinline__ void apply_record(CuComplex<T>* tile, const DeviceMatrixGate<T>& g, uint32_t half,
                                             uint32_t quarter, uint32_t tid, uint32_t step) {
  const int32_t t = g.target;
  if (static_cast<MatrixGateKind>(g.kind) == MatrixGateKind::Swap) {
    const int32_t lo = t < g.target2 ? t : g.target2;
    const int32_t hi = t < g.target2 ? g.target2 : t;
    for (uint32_t p = tid; p < quarter; p += step) {
      const auto i = static_cast<uint32_t>(insert_zero_at(insert_zero_at(p, lo), hi));
      if (!controls_hold(i, g.control_mask, g.control_value)) continue;
      const CuComplex<T> a = tile[i | (1u << hi)];
      tile[i | (1u << hi)] = tile[i | (1u << lo)];
      tile[i | (1u << lo)] = a;
    }
    return;
  }
  const uint32_t tbit = 1u << t;
  for (uint32_t p = tid; p < half; p += step) {
    const auto i0 = static_cast<uint32_t>(insert_zero_at(p, t));
    if (!controls_hold(i0, g.control_mask, g.control_value)) continue;
    CuComplex<T> a = tile[i0], b = tile[i0 | tbit];
    update_pair(g, a, b);
    tile[i0] = a;
    tile[i0 | tbit] = b;
  }
}

// Two consecutive records on different targets in one sweep: each thread
// takes the four amplitudes that differ in both targets, applies the first
// record to its two pairs, then the second to its two pairs, and writes them
// back. Half the shared-memory traffic and half the barriers of two sweeps.
template <class T>
__device__ __forceinline__ bool sweep_together(const DeviceMatrixGate<T>& first, const DeviceMatrixGate<T>& second) {
  return static_cast<MatrixGateKind>(first.kind) != MatrixGateKind::Swap &&
         static_cast<MatrixGateKind>(second.kind) != MatrixGateKind::Swap && first.target != second.target;
}

template <class T>
__device__ __forceinline__ void apply_two_records(CuComplex<T>* tile, const DeviceMatrixGate<T>& g1,
                                                  const DeviceMatrixGate<T>& g2, uint32_t quarter, uint32_t tid,
                                                  uint32_t step) {
  const uint32_t b1 = 1u << g1.target, b2 = 1u << g2.target;
  const int32_t lo = g1.target < g2.target ? g1.target : g2.target;
  const int32_t hi = g1.target < g2.target ? g2.target : g1.target;
  for (uint32_t p = tid; p < quarter; p += step) {
    const auto i = static_cast<uint32_t>(insert_zero_at(insert_zero_at(p, lo), hi));
    CuComplex<T> v00 = tile[i], v10 = tile[i | b1], v01 = tile[i | b2], v11 = tile[i | b1 | b2];
    if (controls_hold(i, g1.control_mask, g1.control_value)) update_pair(g1, v00, v10);
    if (controls_hold(i | b2, g1.control_mask, g1.control_value)) update_pair(g1, v01, v11);
    if (controls_hold(i, g2.control_mask, g2.control_value)) update_pair(g2, v00, v01);
    if (controls_hold(i | b1, g2.control_mask, g2.control_value)) update_pair(g2, v10, v11);
    tile[i] = v00;
    tile[i | b1] = v10;
    tile[i | b2] = v01;
    tile[i | b1 | b2] = v11;
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
    for (int32_t r = 0; r < count;) {
      const DeviceMatrixGate<T> g = gates[r];
      if (r + 1 < count && sweep_together(g, gates[r + 1])) {
        apply_two_records(shared_bytes, g, gates[r + 1], quarter, tid, step);
        r += 2;
      } else {
        apply_record(shared_bytes, g, half, quarter, tid, step);
        r += 1;
      }
      __syncthreads();
    }
    offset = first;
    for (uint32_t j = tid; j < size; j += step, offset = masked_add(offset, stride, active_mask))
      state[base | offset] = shared_bytes[j];
    // Each thread stores and then loads the same slots, so this barrier
    // guards the next tile only against a change of either mapping.
    __syncthreads();
  }
}

template <class T>
void run_sparsesharemem_group(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                              const DeviceMatrixGate<T>* gates, int32_t count, cudaStream_t stream) {
  if (k < 1 || k > kSparseShareMemMaxQubits)
    throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
  if (k > n) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
  if (count <= 0) throw std::invalid_argument("SparseShareMem group cannot be empty");
  const uint64_t tiles = uint64_t{1} << (n - k);
  const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  const auto blocks = static_cast<unsigned int>(std::min(tiles, zorvane::kMaxTileBlocks));
  zorvane::launch_kernel(&sparsesharemem_kernel<T>, dim3(blocks), dim3(zorvane::kTileBlockThreads),
                         sparsesharemem_shared_bytes<T>(k), stream, state, tiles, active_mask, active_mask ^ all, k,
                         gates, count);
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
