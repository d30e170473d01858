// The density shared-memory kernel and its launcher. A block owns one tile at
// a time: it loads the tile into shared memory, applies the records in order
// with a barrier after each (a record's 2 × 2 blocks are spread over the
// threads differently from the previous record's), and stores the tile back.
#include "density_sparsesharemem.h"

#include <algorithm>
#include <stdexcept>

#include "density_blocks.h"
#include "zorvane/bit_index.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace zorvane::plexar {

namespace {

// Calls update(A, row active, column active) for every 2 × 2 block of the tile
// that the record's target spans, the blocks numbered from `first` in steps of
// `step`; A is stored back when update returns true. A block is the tile
// elements (a0, b0), (a0, b1), (a1, b0), (a1, b1), a1 = a0 | target bit, and
// its row (column) is active when a0 (b0) satisfies the controls.
template <class T, class Update>
__device__ __forceinline__ void sweep_blocks(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                             uint32_t first, uint32_t step, Update update) {
  const uint32_t low_bits = static_cast<uint32_t>(k - 1);
  const uint32_t half = 1u << low_bits;
  const uint32_t tb = 1u << g.target;
  for (uint32_t w = first; w < half * half; w += step) {
    const auto a0 = static_cast<uint32_t>(insert_zero_at(w >> low_bits, g.target));
    const auto b0 = static_cast<uint32_t>(insert_zero_at(w & (half - 1), g.target));
    const bool row = (a0 & g.control_mask) == g.control_values;
    const bool column = (b0 & g.control_mask) == g.control_values;
    CuComplex<T>* r0 = tile + (a0 << k);
    CuComplex<T>* r1 = tile + ((a0 | tb) << k);
    Block2<T> a{{{r0[b0], r0[b0 | tb]}, {r1[b0], r1[b0 | tb]}}};
    if (!update(a, row, column)) continue;
    r0[b0] = a.m[0][0];
    r0[b0 | tb] = a.m[0][1];
    r1[b0] = a.m[1][0];
    r1[b0 | tb] = a.m[1][1];
  }
}

template <class T>
__device__ __forceinline__ void swap_elements(CuComplex<T>& x, CuComplex<T>& y) {
  const CuComplex<T> t = x;
  x = y;
  y = t;
}

// A := U·A for an active row, then A := A·U† for an active column.
template <class T>
__device__ __forceinline__ void apply_unitary(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                              uint32_t first, uint32_t step) {
  sweep_blocks(tile, k, g, first, step, [&](Block2<T>& a, bool row, bool column) {
    if (!row && !column) return false;
    if (row) multiply_left(g.matrix, a);
    if (column) multiply_right_adjoint(g.matrix, a);
    return true;
  });
}

// D·A·D† restricted to the active row and column: element (x, y) gains
// r_x·conj(c_y), r = (diag0, diag1) for an active row and (1, 1) otherwise, c
// likewise for the column. Without controls the diagonal elements keep their
// values (the entries have modulus 1) and are not rewritten.
template <class T>
__device__ __forceinline__ void apply_diagonal(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                               uint32_t first, uint32_t step) {
  const CuComplex<T> d[2] = {g.diag0, g.diag1};
  if (g.control_mask == 0) {
    const CuComplex<T> f01 = cmul_conj(d[0], d[1]), f10 = cmul_conj(d[1], d[0]);
    sweep_blocks(tile, k, g, first, step, [&](Block2<T>& a, bool, bool) {
      a.m[0][1] = cmul(f01, a.m[0][1]);
      a.m[1][0] = cmul(f10, a.m[1][0]);
      return true;
    });
    return;
  }
  const CuComplex<T> one{T(1), T(0)};
  sweep_blocks(tile, k, g, first, step, [&](Block2<T>& a, bool row, bool column) {
    if (!row && !column) return false;
    for (int x = 0; x < 2; ++x)
      for (int y = 0; y < 2; ++y)
        a.m[x][y] = cmul(cmul_conj(row ? d[x] : one, column ? d[y] : one), a.m[x][y]);
    return true;
  });
}

// X on the target: rows exchanged for an active row, columns for an active
// column.
template <class T>
__device__ __forceinline__ void apply_permutation(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                                  uint32_t first, uint32_t step) {
  sweep_blocks(tile, k, g, first, step, [](Block2<T>& a, bool row, bool column) {
    if (row) {
      swap_elements(a.m[0][0], a.m[1][0]);
      swap_elements(a.m[0][1], a.m[1][1]);
    }
    if (column) {
      swap_elements(a.m[0][0], a.m[0][1]);
      swap_elements(a.m[1][0], a.m[1][1]);
    }
    return row || column;
  });
}

// The built-in channel on every block; controls do not apply to channels.
template <int Kind, class T>
__device__ __forceinline__ void apply_channel_record(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                                     uint32_t first, uint32_t step) {
  const T p = g.channel_parameter;
  sweep_blocks(tile, k, g, first, step, [p](Block2<T>& a, bool, bool) {
    apply_channel<Kind>(a, p);
    return true;
  });
}

// One record on the whole tile, by its kind; an unknown kind or channel kind
// leaves the tile unchanged.
template <class T>
__device__ __forceinline__ void apply_record(CuComplex<T>* tile, int32_t k, const DeviceDensityGate<T>& g,
                                             uint32_t first, uint32_t step) {
  switch (static_cast<DensityGateKind>(g.kind)) {
    case DensityGateKind::Unitary: apply_unitary(tile, k, g, first, step); break;
    case DensityGateKind::Diagonal: apply_diagonal(tile, k, g, first, step); break;
    case DensityGateKind::Permutation: apply_permutation(tile, k, g, first, step); break;
    case DensityGateKind::Channel:
      switch (g.channel_kind) {
        case density::BitFlip: apply_channel_record<density::BitFlip>(tile, k, g, first, step); break;
        case density::PhaseFlip: apply_channel_record<density::PhaseFlip>(tile, k, g, first, step); break;
        case density::Depolarizing: apply_channel_record<density::Depolarizing>(tile, k, g, first, step); break;
        case density::AmplitudeDamping:
          apply_channel_record<density::AmplitudeDamping>(tile, k, g, first, step);
          break;
        case density::PhaseDamping: apply_channel_record<density::PhaseDamping>(tile, k, g, first, step); break;
        default: break;
      }
      break;
  }
}

}  // namespace

// Element (a, b) of the tile, at shared[a·2^k + b], is ρ[(row << n) | column]
// with row = row base | deposit(a, active) and column = column base |
// deposit(b, active); that is tile base + deposit(a·2^k + b, active | active
// << n), so a thread walks its elements with one masked addition each.
//
// The complex128 form is held to the registers that eight resident blocks
// leave each thread (half of an sm_80 or sm_90 multiprocessor, 64 registers):
// left to itself it takes a few more and falls below half occupancy. The
// complex64 form stays well below that; a minimum (0 sets none) would only
// make ptxas spend more registers on it.
template <class T>
constexpr unsigned int kDensityTileMinBlocks = sizeof(T) == sizeof(double) ? 1024 / kTileBlockThreads : 0;

template <class T>
__global__ void __launch_bounds__(kTileBlockThreads, kDensityTileMinBlocks<T>)
    density_sparsesharemem_kernel(CuComplex<T>* data, int64_t dimension, uint64_t tiles, uint64_t active_mask,
                                  uint64_t inactive_mask, int32_t k, int32_t m, const DeviceDensityGate<T>* records,
                                  int32_t count) {
  CuComplex<T>* shared_raw = dynamic_shared_memory<CuComplex<T>>();
  const uint32_t elements = 1u << (2 * k);
  const uint32_t tid = threadIdx.x, step = blockDim.x;
  const uint32_t n = static_cast<uint32_t>(k + m);
  const uint64_t local_mask = active_mask | (active_mask << n);
  const uint64_t first = deposit_bits(tid, local_mask), stride = deposit_bits(step, local_mask);
  const uint64_t row_tiles = (uint64_t{1} << m) - 1;
  (void)dimension;  // 2^n: the layout is read from the masks
  for (uint64_t t = blockIdx.x; t < tiles; t += gridDim.x) {
    const uint64_t base = (deposit_bits(t & row_tiles, inactive_mask) << n) | deposit_bits(t >> m, inactive_mask);
    uint64_t offset = first;
    for (uint32_t j = tid; j < elements; j += step, offset = masked_add(offset, stride, local_mask))
      shared_raw[j] = data[base | offset];
    __syncthreads();
    for (int32_t r = 0; r < count; ++r) {
      const DeviceDensityGate<T> g = records[r];
      apply_record(shared_raw, k, g, tid, step);
      __syncthreads();
    }
    offset = first;
    for (uint32_t j = tid; j < elements; j += step, offset = masked_add(offset, stride, local_mask))
      data[base | offset] = shared_raw[j];
    // Each thread stores the slots it loads next, so this barrier guards the
    // next tile only against a change of either mapping.
    __syncthreads();
  }
}

template <class T>
void launch_density_sparsesharemem(int64_t dimension, CuComplex<T>* data, uint64_t active_mask, int32_t k,
                                   const DeviceDensityGate<T>* records, int32_t count, cudaStream_t stream) {
  if (k < 1 || k > kDensityTileMaxQubits) throw std::invalid_argument("density fusion active qubits must be in [1,5]");
  if (count < 1) throw std::invalid_argument("fusion group cannot be empty");
  int32_t n = 0;
  for (int64_t d = dimension; d > 1; d /= 2) ++n;
  if (n < k) throw std::invalid_argument("active qubits exceed circuit size");
  const int32_t m = n - k;
  const uint64_t tiles = uint64_t{1} << (2 * m);
  const uint64_t all = (uint64_t{1} << n) - 1;
  const auto blocks = static_cast<unsigned int>(std::min(tiles, kMaxTileBlocks));
  launch_kernel(&density_sparsesharemem_kernel<T>, dim3(blocks), dim3(kTileBlockThreads),
                density_tile_shared_bytes<T>(k), stream, data, dimension, tiles, active_mask, active_mask ^ all, k, m,
                records, count);
  check_kernel_launch("density_sparsesharemem");
}

template __global__ void density_sparsesharemem_kernel<float>(CuComplex<float>*, int64_t, uint64_t, uint64_t,
                                                              uint64_t, int32_t, int32_t,
                                                              const DeviceDensityGate<float>*, int32_t);
template __global__ void density_sparsesharemem_kernel<double>(CuComplex<double>*, int64_t, uint64_t, uint64_t,
                                                               uint64_t, int32_t, int32_t,
                                                               const DeviceDensityGate<double>*, int32_t);
template void launch_density_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                                   const DeviceDensityGate<float>*, int32_t, cudaStream_t);
template void launch_density_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                                    const DeviceDensityGate<double>*, int32_t, cudaStream_t);

}  // namespace zorvane::plexar
