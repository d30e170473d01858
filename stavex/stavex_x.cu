// Pauli X: a0' = a1, a1' = a0. A controlled X off qubit 0 in PairAuto mode
// scans the whole state (one thread per amplitude index) instead of
// enumerating the satisfied pairs.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct XUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> t = a0;
    a0 = a1;
    a1 = t;
  }
};

template <class T>
__global__ void cu_x_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                      uint64_t control_value) {
  all_state_pairs(n, state, target, control_mask, control_value, XUpdate<T>{});
}

template <class T>
__global__ void cu_x_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                 uint64_t control_value) {
  grid_stride_pairs(n, state, target, control_mask, control_value, XUpdate<T>{});
}

namespace x_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state) {
  autopair_target0_no_control(count, state, XUpdate<T>{});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit) {
  autopair_no_control(count, state, tbit, XUpdate<T>{});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value) {
  autopair_target0_compact(count, state, insert_mask, control_value, XUpdate<T>{});
}

// One thread per amplitude index, no loop; the thread owning the pair's lower
// index swaps it when the controls hold. Takes the plain control mask and value.
template <class T>
__global__ void state_scan(uint64_t count, CuComplex<T>* state, uint64_t control_mask, uint64_t control_value,
                           uint64_t tbit) {
  const uint64_t i = global_thread_index();
  if (i >= count) return;
  if ((i & tbit) == 0 && (i & control_mask) == control_value) update_pair(state, i, i | tbit, XUpdate<T>{});
}

}  // namespace x_autopair

template <class T>
struct XKernels {
  static constexpr const char* family = "cu_x";
  static constexpr auto all_state = &cu_x_kernel_all_state<T>;
  static constexpr auto pair = &cu_x_kernel_pair<T>;
  static constexpr auto target0_no_control = &x_autopair::target0_no_control<T>;
  static constexpr auto no_control = &x_autopair::no_control<T>;
  static constexpr auto target0_compact = &x_autopair::target0_compact<T>;
  static constexpr auto compact = &x_autopair::state_scan<T>;
};

template <class T>
void cu_x(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls, const QubitList& control_state,
          cudaStream_t stream, int32_t mode) {
  PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  if (plan.variant == PairVariant::compact) {
    // The scan covers every index and tests the controls itself: the compact
    // slots carry the plain mask and value (the target is never a control, so
    // the value needs no clearing).
    plan.count = uint64_t{1} << n;
    plan.blocks = zorvane::blocks_for(plan.count, kPairBlock);
    plan.insert_mask = plan.control_mask;
  }
  launch_pair_family<XKernels<T>>(n, state, target, plan, stream, std::tuple<>{}, std::tuple<>{});
}

template void cu_x<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, cudaStream_t,
                          int32_t);
template void cu_x<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, cudaStream_t,
                           int32_t);

}  // namespace stavex
