// UNITARY: a dense 2^k × 2^k matrix on k targets. Local bit j of a row or
// column index stands for targets[j] in the order given; out[r] = Σ_c M[r][c]·in[c]
// with the products in T, summed over c from 0 upward. One and two targets
// take the matrix by value, three to five keep a group's amplitudes in
// registers, and more targets go through a scratch copy of the state.
#include <algorithm>
#include <stdexcept>

#include "gate_matrices.h"
#include "pair_kernels.cuh"
#include "zorvane/device_buffer.h"

namespace stavex {

using zorvane::insert_zero_at;

// One output row: Σ_c row[c]·in_c, where in_c is `in(c)`.
template <class T, class In>
__device__ __forceinline__ CuComplex<T> matrix_row(const CuComplex<T>* row, int64_t dim, const In& in) {
  CuComplex<T> acc = zorvane::cmul(row[0], in(0));
  for (int64_t c = 1; c < dim; ++c) acc = zorvane::cadd(acc, zorvane::cmul(row[c], in(c)));
  return acc;
}

// The offset of local index `local` from its group's base: bit j of `local`
// selects targets[j].
__device__ __forceinline__ uint64_t target_offset(uint64_t local, const int64_t* targets, int32_t k) {
  uint64_t offset = 0;
  for (int32_t j = 0; j < k; ++j) offset |= ((local >> j) & 1) << targets[j];
  return offset;
}

// ---- one target ----------------------------------------------------------------

template <class T>
struct Unitary1qUpdate {
  static constexpr bool kA1Only = false;
  Unitary2x2<T> m;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const { apply_matrix_2x2(m, a0, a1); }
};

template <class T>
__global__ void cu_unitary_1q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                             uint64_t control_value, Unitary2x2<T> m) {
  grid_stride_pairs(n, state, target, control_mask, control_value, Unitary1qUpdate<T>{m});
}

template <class T>
__global__ void unitary_1q_target0_no_control(uint64_t count, CuComplex<T>* state, Unitary2x2<T> m) {
  autopair_target0_no_control(count, state, Unitary1qUpdate<T>{m});
}

template <class T>
__global__ void unitary_1q_no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit, Unitary2x2<T> m) {
  autopair_no_control(count, state, tbit, Unitary1qUpdate<T>{m});
}

template <class T>
__global__ void unitary_1q_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                           uint64_t control_value, Unitary2x2<T> m) {
  autopair_target0_compact(count, state, insert_mask, control_value, Unitary1qUpdate<T>{m});
}

template <class T>
__global__ void unitary_1q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                   uint64_t tbit, Unitary2x2<T> m) {
  autopair_compact(count, state, insert_mask, control_value, tbit, Unitary1qUpdate<T>{m});
}

// ---- two targets -----------------------------------------------------------------

template <class T>
__device__ __forceinline__ void apply_unitary_4x4(const Unitary4x4<T>& u, CuComplex<T> (&a)[4]) {
  const auto in = [&a](int64_t c) { return a[c]; };
  CuComplex<T> b[4];
  for (int r = 0; r < 4; ++r) b[r] = matrix_row(u.m + 4 * r, 4, in);
  for (int r = 0; r < 4; ++r) a[r] = b[r];
}

// Local 0..3 = base, base|bit_t0, base|bit_t1, base|both.
template <class T>
__device__ __forceinline__ void update_group_2q(CuComplex<T>* state, uint64_t base, uint64_t bit_t0, uint64_t bit_t1,
                                                const Unitary4x4<T>& u) {
  const uint64_t index[4] = {base, base | bit_t0, base | bit_t1, base | bit_t0 | bit_t1};
  CuComplex<T> a[4];
  for (int j = 0; j < 4; ++j) a[j] = state[index[j]];
  apply_unitary_4x4(u, a);
  for (int j = 0; j < 4; ++j) state[index[j]] = a[j];
}

template <class T>
__global__ void cu_unitary_2q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t target0, int32_t target1,
                                             uint64_t control_mask, uint64_t control_value, Unitary4x4<T> u) {
  const int32_t lower = target0 < target1 ? target0 : target1;
  const int32_t higher = target0 < target1 ? target1 : target0;
  const uint64_t bit_t0 = uint64_t{1} << target0;
  const uint64_t bit_t1 = uint64_t{1} << target1;
  for (uint64_t g = global_thread_index(); (g >> (n - 2)) == 0; g += grid_thread_count()) {
    const uint64_t base = insert_zero_at(insert_zero_at(g, lower), higher);
    if ((base & control_mask) == control_value) update_group_2q(state, base, bit_t0, bit_t1, u);
  }
}

template <class T>
__global__ void unitary_2q_no_control(uint64_t count, CuComplex<T>* state, int32_t lower, int32_t higher,
                                      uint64_t bit_t0, uint64_t bit_t1, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t < count) update_group_2q(state, insert_zero_at(insert_zero_at(t, lower), higher), bit_t0, bit_t1, u);
}

template <class T>
__global__ void unitary_2q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                   uint64_t bit_t0, uint64_t bit_t1, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t < count) update_group_2q(state, insert_zero_bits(t, insert_mask) | control_value, bit_t0, bit_t1, u);
}

// One target is qubit 0: the group is two adjacent pairs, (base, base+1) and
// (base|other, base|other+1), each moved as one block. FirstIsZero: targets[0]
// is qubit 0, so bit 0 of the local index selects the odd element. Without
// controls the zeros go in at bit 0 and at the other target.
template <class T, bool FirstIsZero, bool Controlled>
__global__ void unitary_2q_target0(uint64_t count, CuComplex<T>* state, uint64_t other_bit, uint64_t insert_mask,
                                   uint64_t control_value, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t base =
      Controlled ? insert_zero_bits(t, insert_mask) | control_value : insert_zero_bits(t, other_bit | 1);
  zorvane::AdjacentPair<T> p = zorvane::load_adjacent(state, base);
  zorvane::AdjacentPair<T> q = zorvane::load_adjacent(state, base | other_bit);
  // The amplitudes in local order: where each one sits depends on which target
  // is qubit 0.
  CuComplex<T>* const slot[4] = {&p.lo, FirstIsZero ? &p.hi : &q.lo, FirstIsZero ? &q.lo : &p.hi, &q.hi};
  CuComplex<T> a[4];
  for (int j = 0; j < 4; ++j) a[j] = *slot[j];
  apply_unitary_4x4(u, a);
  for (int j = 0; j < 4; ++j) *slot[j] = a[j];
  zorvane::store_adjacent(state, base, p);
  zorvane::store_adjacent(state, base | other_bit, q);
}

// ---- three to five targets: the group in registers -------------------------------

// The mask is implied by the sorted targets, which give the group's base.
template <class T, int K>
__global__ void cu_unitary_inplace_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets,
                                          const int64_t* sorted_targets, uint64_t /*target_mask*/,
                                          uint64_t control_mask, uint64_t control_value, const CuComplex<T>* matrix) {
  constexpr int64_t kDim = int64_t{1} << K;
  uint64_t offset[kDim];
  for (int64_t c = 0; c < kDim; ++c) offset[c] = target_offset(static_cast<uint64_t>(c), targets, K);
  for (uint64_t g = global_thread_index(); (g >> (n - K)) == 0; g += grid_thread_count()) {
    uint64_t base = g;
    for (int j = 0; j < K; ++j) base = insert_zero_at(base, static_cast<int>(sorted_targets[j]));
    if ((base & control_mask) != control_value) continue;
    CuComplex<T> a[kDim];
    for (int64_t c = 0; c < kDim; ++c) a[c] = state[base | offset[c]];
    const auto in = [&a](int64_t c) { return a[c]; };
    for (int64_t r = 0; r < kDim; ++r) state[base | offset[r]] = matrix_row(matrix + r * kDim, kDim, in);
  }
}

// ---- six targets and more: out of place into a scratch copy -----------------------

template <class T>
__global__ void cu_unitary_kernel(int64_t n, const CuComplex<T>* in, CuComplex<T>* out, const int64_t* targets,
                                  int32_t k, uint64_t target_mask, uint64_t control_mask, uint64_t control_value,
                                  const CuComplex<T>* matrix, int64_t dim) {
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_thread_count()) {
    if ((i & target_mask) != 0 || (i & control_mask) != control_value) continue;
    const auto column = [&](int64_t c) { return in[i | target_offset(static_cast<uint64_t>(c), targets, k)]; };
    for (int64_t r = 0; r < dim; ++r)
      out[i | target_offset(static_cast<uint64_t>(r), targets, k)] = matrix_row(matrix + r * dim, dim, column);
  }
}

// ---- the launcher ------------------------------------------------------------------

namespace {

template <class T>
void launch_unitary_1q(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
                       const QubitList& control_state, const Unitary2x2<T>& m, cudaStream_t stream, int32_t mode) {
  using zorvane::launch_kernel;
  // AllState has no one-target variant of its own: it runs as Pair.
  const PairLaunchPlan p =
      plan_pair_launch(n, target, controls, control_state, mode == PairAuto ? int32_t{PairAuto} : int32_t{Pair});
  switch (p.variant) {
    case PairVariant::target0_no_control:
      launch_kernel(&unitary_1q_target0_no_control<T>, p.blocks, kPairBlock, 0, stream, p.count, state, m);
      break;
    case PairVariant::no_control:
      launch_kernel(&unitary_1q_no_control<T>, p.blocks, kPairBlock, 0, stream, p.count, state, p.tbit, m);
      break;
    case PairVariant::target0_compact:
      launch_kernel(&unitary_1q_target0_compact<T>, p.blocks, kPairBlock, 0, stream, p.count, state, p.insert_mask,
                    p.control_value, m);
      break;
    case PairVariant::compact:
      launch_kernel(&unitary_1q_compact<T>, p.blocks, kPairBlock, 0, stream, p.count, state, p.insert_mask,
                    p.control_value, p.tbit, m);
      break;
    case PairVariant::all_state:
    case PairVariant::pair:
      launch_kernel(&cu_unitary_1q_inplace_kernel<T>, p.blocks, kPairBlock, 0, stream, static_cast<int64_t>(n), state,
                    target, p.control_mask, p.control_value, m);
      break;
  }
}

template <class T, bool FirstIsZero>
void launch_unitary_2q_target0(uint64_t count, CuComplex<T>* state, uint64_t other_bit, bool controlled,
                               uint64_t insert_mask, uint64_t control_value, const Unitary4x4<T>& u,
                               cudaStream_t stream) {
  const unsigned int blocks = zorvane::blocks_for(count, kPairBlock);
  if (controlled)
    zorvane::launch_kernel(&unitary_2q_target0<T, FirstIsZero, true>, blocks, kPairBlock, 0, stream, count, state,
                           other_bit, insert_mask, control_value, u);
  else
    zorvane::launch_kernel(&unitary_2q_target0<T, FirstIsZero, false>, blocks, kPairBlock, 0, stream, count, state,
                           other_bit, uint64_t{0}, uint64_t{0}, u);
}

template <class T>
void launch_unitary_2q(uint64_t n, CuComplex<T>* state, const QubitList& targets, size_t num_controls,
                       const ControlMasks& masks, const Unitary4x4<T>& u, cudaStream_t stream, int32_t mode) {
  const auto t0 = static_cast<int32_t>(targets[0]);
  const auto t1 = static_cast<int32_t>(targets[1]);
  const uint64_t bit_t0 = uint64_t{1} << t0;
  const uint64_t bit_t1 = uint64_t{1} << t1;
  if (mode != PairAuto) {
    const unsigned int blocks = zorvane::grid_stride_blocks(uint64_t{1} << (n - 2), kPairBlock);
    zorvane::launch_kernel(&cu_unitary_2q_inplace_kernel<T>, blocks, kPairBlock, 0, stream, static_cast<int64_t>(n),
                           state, t0, t1, masks.mask, masks.value, u);
    return;
  }
  const uint64_t count = uint64_t{1} << (n - 2 - num_controls);
  const uint64_t insert_mask = bit_t0 | bit_t1 | masks.mask;
  const uint64_t control_value = masks.value & ~(bit_t0 | bit_t1);
  const unsigned int blocks = zorvane::blocks_for(count, kPairBlock);
  if (t0 == 0) {
    launch_unitary_2q_target0<T, true>(count, state, bit_t1, num_controls != 0, insert_mask, control_value, u, stream);
  } else if (t1 == 0) {
    launch_unitary_2q_target0<T, false>(count, state, bit_t0, num_controls != 0, insert_mask, control_value, u, stream);
  } else if (num_controls != 0) {
    zorvane::launch_kernel(&unitary_2q_compact<T>, blocks, kPairBlock, 0, stream, count, state, insert_mask,
                           control_value, bit_t0, bit_t1, u);
  } else {
    zorvane::launch_kernel(&unitary_2q_no_control<T>, blocks, kPairBlock, 0, stream, count, state, std::min(t0, t1),
                           std::max(t0, t1), bit_t0, bit_t1, u);
  }
}

template <class T, int K>
void launch_unitary_inplace(uint64_t n, CuComplex<T>* state, const int64_t* targets_dev, const int64_t* sorted_dev,
                            uint64_t target_mask, const ControlMasks& masks, const CuComplex<T>* matrix_dev,
                            cudaStream_t stream) {
  const unsigned int blocks = zorvane::grid_stride_blocks(uint64_t{1} << (n - K), kPairBlock);
  zorvane::launch_kernel(&cu_unitary_inplace_kernel<T, K>, blocks, kPairBlock, 0, stream, static_cast<int64_t>(n),
                         state, targets_dev, sorted_dev, target_mask, masks.mask, masks.value, matrix_dev);
}

template <class T>
void copy_to_device(zorvane::DeviceBuffer<T>& dst, const T* src, cudaStream_t stream) {
  zorvane::check_cuda(cudaMemcpyAsync(dst.get(), src, dst.size() * sizeof(T), cudaMemcpyHostToDevice, stream));
}

}  // namespace

template <class T>
void cu_unitary(uint64_t n, CuComplex<T>* state, const QubitList& targets, const QubitList& controls,
                const QubitList& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                cudaStream_t stream, int32_t mode) {
  if (targets.empty()) throw std::invalid_argument("UNITARY gate requires at least one target.");
  const size_t k = targets.size();
  if (k > 62 || matrix_dim != (int64_t{1} << k))
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
  const auto dim = static_cast<uint64_t>(matrix_dim);
  uint64_t entries = 0;
  if (__builtin_mul_overflow(dim, dim, &entries) || entries != matrix.size())
    throw std::invalid_argument("UNITARY matrix size mismatch.");
  const ControlMasks masks = make_control_masks(controls, control_state);
  for (const int64_t t : targets)
    if (static_cast<uint64_t>(t) > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
  // Kernels address amplitudes through these bits: targets and controls must
  // lie inside the state and be distinct.
  check_gate_qubits(n, targets, controls);

  QubitList sorted_targets(targets);
  std::sort(sorted_targets.begin(), sorted_targets.end());
  uint64_t target_mask = 0;
  for (const int64_t t : targets) target_mask |= uint64_t{1} << t;
  // Float states apply the matrix rounded to float.
  std::vector<CuComplex<T>> m(entries);
  for (uint64_t e = 0; e < entries; ++e)
    m[e] = CuComplex<T>{static_cast<T>(matrix[e].real()), static_cast<T>(matrix[e].imag())};

  zorvane::DeviceBuffer<CuComplex<T>> matrix_dev;
  zorvane::DeviceBuffer<int64_t> targets_dev;
  zorvane::DeviceBuffer<int64_t> sorted_dev;
  if (k >= 3) {
    matrix_dev = zorvane::DeviceBuffer<CuComplex<T>>(entries);
    targets_dev = zorvane::DeviceBuffer<int64_t>(k);
    copy_to_device(matrix_dev, m.data(), stream);
    copy_to_device(targets_dev, targets.data(), stream);
    if (k <= 5) {
      sorted_dev = zorvane::DeviceBuffer<int64_t>(k);
      copy_to_device(sorted_dev, sorted_targets.data(), stream);
    }
  }

  if (k == 1) {
    const Unitary2x2<T> u{m[0], m[1], m[2], m[3]};
    launch_unitary_1q(n, state, static_cast<int32_t>(targets[0]), controls, control_state, u, stream, mode);
  } else if (k == 2) {
    Unitary4x4<T> u;
    std::copy(m.begin(), m.end(), u.m);
    launch_unitary_2q(n, state, targets, controls.size(), masks, u, stream, mode);
  } else if (k <= 5) {
    switch (k) {
      case 3:
        launch_unitary_inplace<T, 3>(n, state, targets_dev.get(), sorted_dev.get(), target_mask, masks,
                                     matrix_dev.get(), stream);
        break;
      case 4:
        launch_unitary_inplace<T, 4>(n, state, targets_dev.get(), sorted_dev.get(), target_mask, masks,
                                     matrix_dev.get(), stream);
        break;
      case 5:
        launch_unitary_inplace<T, 5>(n, state, targets_dev.get(), sorted_dev.get(), target_mask, masks,
                                     matrix_dev.get(), stream);
        break;
      default:
        throw std::invalid_argument("unsupported inplace unitary target size");
    }
  } else {
    // Every output of a group reads every input of it, so the matrix is applied
    // from the untouched state into a copy; indices outside the controls keep
    // their copied value.
    const uint64_t count = uint64_t{1} << n;
    const size_t bytes = zorvane::checked_byte_size(count, sizeof(CuComplex<T>));
    zorvane::DeviceBuffer<CuComplex<T>> scratch(count);
    zorvane::check_cuda(cudaMemcpyAsync(scratch.get(), state, bytes, cudaMemcpyDeviceToDevice, stream));
    zorvane::launch_kernel(&cu_unitary_kernel<T>, zorvane::grid_stride_blocks(count, kPairBlock), kPairBlock, 0, stream,
                           static_cast<int64_t>(n), static_cast<const CuComplex<T>*>(state), scratch.get(),
                           static_cast<const int64_t*>(targets_dev.get()), static_cast<int32_t>(k), target_mask,
                           masks.mask, masks.value, static_cast<const CuComplex<T>*>(matrix_dev.get()), matrix_dim);
    zorvane::check_last_cuda_error();
    zorvane::check_cuda(cudaMemcpyAsync(state, scratch.get(), bytes, cudaMemcpyDeviceToDevice, stream));
    zorvane::check_cuda(cudaStreamSynchronize(stream));
    scratch.release();
  }
  if (k <= 5) {
    zorvane::check_last_cuda_error();
    zorvane::check_cuda(cudaStreamSynchronize(stream));
  }
  sorted_dev.release();
  targets_dev.release();
  matrix_dev.release();
}

template void cu_unitary<float>(uint64_t, CuComplex<float>*, const QubitList&, const QubitList&, const QubitList&,
                                const std::vector<std::complex<double>>&, int64_t, cudaStream_t, int32_t);
template void cu_unitary<double>(uint64_t, CuComplex<double>*, const QubitList&, const QubitList&, const QubitList&,
                                 const std::vector<std::complex<double>>&, int64_t, cudaStream_t, int32_t);

}  // namespace stavex
