// SWAP(q1, q2): wherever the controls hold, the amplitude with bit q1 = 0 and
// bit q2 = 1 trades places with the one with bit q1 = 1 and bit q2 = 0. Each
// group of four indices that differ only in the two qubits holds one exchange.
#include "pair_kernels.cuh"

namespace stavex {

using zorvane::insert_zero_at;

template <class T>
__device__ __forceinline__ void exchange(CuComplex<T>* state, uint64_t i, uint64_t j) {
  const CuComplex<T> a = state[i];
  state[i] = state[j];
  state[j] = a;
}

// One qubit is qubit 0 and `base` has both qubits clear: base + 1 trades with
// base | other_bit. The latter is moved together with its neighbour, which is
// written back unchanged (no other thread touches it: both its bits are set).
template <class T>
__device__ __forceinline__ void exchange_with_qubit0(CuComplex<T>* state, uint64_t base, uint64_t other_bit) {
  const uint64_t j = base | other_bit;
  zorvane::AdjacentPair<T> p = zorvane::load_adjacent(state, j);
  const CuComplex<T> a = state[base + 1];
  state[base + 1] = p.lo;
  p.lo = a;
  zorvane::store_adjacent(state, j, p);
}

// Grid-stride over the 2^(n−2) groups; the group's index with q2 set and q1
// clear is tested against the controls.
template <class T>
__device__ __forceinline__ void swap_groups_grid_stride(int64_t n, CuComplex<T>* state, int32_t q1, int32_t q2,
                                                        uint64_t control_mask, uint64_t control_value) {
  const uint64_t bit1 = uint64_t{1} << q1;
  const uint64_t bit2 = uint64_t{1} << q2;
  const int32_t lo = q1 < q2 ? q1 : q2;
  const int32_t hi = q1 < q2 ? q2 : q1;
  for (uint64_t k = global_thread_index(); (k >> (n - 2)) == 0; k += grid_thread_count()) {
    const uint64_t i = insert_zero_at(insert_zero_at(k, lo), hi) | bit2;
    if ((i & control_mask) == control_value) exchange(state, i, i ^ (bit1 | bit2));
  }
}

template <class T>
__global__ void cu_swap_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t q1, int32_t q2,
                                         uint64_t control_mask, uint64_t control_value) {
  const uint64_t bit1 = uint64_t{1} << q1;
  const uint64_t bit2 = uint64_t{1} << q2;
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_thread_count())
    if ((i & control_mask) == control_value && (i & bit1) == 0 && (i & bit2) != 0)
      exchange(state, i, i ^ (bit1 | bit2));
}

template <class T>
__global__ void cu_swap_kernel_pair(int64_t n, CuComplex<T>* state, int32_t q1, int32_t q2, uint64_t control_mask,
                                    uint64_t control_value) {
  swap_groups_grid_stride(n, state, q1, q2, control_mask, control_value);
}

template <class T>
__global__ void swap_target0_no_control(uint64_t count, CuComplex<T>* state, uint64_t other_bit) {
  const uint64_t t = global_thread_index();
  if (t < count) exchange_with_qubit0(state, insert_zero_bits(t, other_bit | 1), other_bit);
}

template <class T>
__global__ void swap_no_control(uint64_t count, CuComplex<T>* state, int32_t lo, int32_t hi, uint64_t bit1,
                                uint64_t bit2) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t i = insert_zero_at(insert_zero_at(t, lo), hi);
  exchange(state, i | bit1, i | bit2);
}

template <class T>
__global__ void swap_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                     uint64_t control_value, uint64_t other_bit) {
  const uint64_t t = global_thread_index();
  if (t < count) exchange_with_qubit0(state, insert_zero_bits(t, insert_mask) | control_value, other_bit);
}

template <class T>
__global__ void swap_control_scan(int64_t n, CuComplex<T>* state, int32_t q1, int32_t q2, uint64_t control_mask,
                                  uint64_t control_value) {
  swap_groups_grid_stride(n, state, q1, q2, control_mask, control_value);
}

template <class T>
void cu_swap(uint64_t n, CuComplex<T>* state, int32_t q1, int32_t q2, const QubitList& controls,
             const QubitList& control_state, cudaStream_t stream, int32_t mode) {
  // Also guarantees n >= 2: both qubits are distinct and lie in [0, n).
  const ControlMasks masks = checked_control_masks(n, QubitList{q1, q2}, controls, control_state);
  using zorvane::blocks_for;
  using zorvane::grid_stride_blocks;
  using zorvane::launch_kernel;
  const auto n_signed = static_cast<int64_t>(n);
  const uint64_t bit1 = uint64_t{1} << q1;
  const uint64_t bit2 = uint64_t{1} << q2;
  const int32_t lo = q1 < q2 ? q1 : q2;
  const int32_t hi = q1 < q2 ? q2 : q1;
  if (mode == AllState) {
    launch_kernel(&cu_swap_kernel_all_state<T>, grid_stride_blocks(uint64_t{1} << n, kPairBlock), kPairBlock, 0,
                  stream, n_signed, state, q1, q2, masks.mask, masks.value);
  } else if (mode != PairAuto) {
    launch_kernel(&cu_swap_kernel_pair<T>, grid_stride_blocks(uint64_t{1} << (n - 1), kPairBlock), kPairBlock, 0,
                  stream, n_signed, state, q1, q2, masks.mask, masks.value);
  } else if (controls.empty()) {
    const uint64_t count = uint64_t{1} << (n - 2);
    if (lo == 0)
      launch_kernel(&swap_target0_no_control<T>, blocks_for(count, kPairBlock), kPairBlock, 0, stream, count, state,
                    uint64_t{1} << hi);
    else
      launch_kernel(&swap_no_control<T>, blocks_for(count, kPairBlock), kPairBlock, 0, stream, count, state, lo, hi,
                    bit1, bit2);
  } else if (lo == 0) {
    const uint64_t count = uint64_t{1} << (n - 2 - controls.size());
    launch_kernel(&swap_target0_compact<T>, blocks_for(count, kPairBlock), kPairBlock, 0, stream, count, state,
                  bit1 | bit2 | masks.mask, masks.value & ~bit1 & ~bit2, uint64_t{1} << hi);
  } else {
    launch_kernel(&swap_control_scan<T>, grid_stride_blocks(uint64_t{1} << (n - 2), kSwapScanBlock), kSwapScanBlock, 0,
                  stream, n_signed, state, q1, q2, masks.mask, masks.value);
  }
  zorvane::check_kernel_launch("cu_swap");
}

template void cu_swap<float>(uint64_t, CuComplex<float>*, int32_t, int32_t, const QubitList&, const QubitList&,
                             cudaStream_t, int32_t);
template void cu_swap<double>(uint64_t, CuComplex<double>*, int32_t, int32_t, const QubitList&, const QubitList&,
                              cudaStream_t, int32_t);

}  // namespace stavex
