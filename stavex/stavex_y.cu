// Pauli Y: a0' = −i·a1, a1' = i·a0, written out on the components.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct YUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0{a1.y, -a1.x};
    const CuComplex<T> b1{-a0.y, a0.x};
    a0 = b0;
    a1 = b1;
  }
};

template <class T>
__global__ void cu_y_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                      uint64_t control_value) {
  all_state_pairs(n, state, target, control_mask, control_value, YUpdate<T>{});
}

template <class T>
__global__ void cu_y_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                 uint64_t control_value) {
  grid_stride_pairs(n, state, target, control_mask, control_value, YUpdate<T>{});
}

namespace y_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state) {
  autopair_target0_no_control(count, state, YUpdate<T>{});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit) {
  autopair_no_control(count, state, tbit, YUpdate<T>{});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value) {
  autopair_target0_compact(count, state, insert_mask, control_value, YUpdate<T>{});
}

template <class T>
__global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                        uint64_t tbit) {
  autopair_compact(count, state, insert_mask, control_value, tbit, YUpdate<T>{});
}

}  // namespace y_autopair

template <class T>
struct YKernels {
  static constexpr const char* family = "cu_y";
  static constexpr auto all_state = &cu_y_kernel_all_state<T>;
  static constexpr auto pair = &cu_y_kernel_pair<T>;
  static constexpr auto target0_no_control = &y_autopair::target0_no_control<T>;
  static constexpr auto no_control = &y_autopair::no_control<T>;
  static constexpr auto target0_compact = &y_autopair::target0_compact<T>;
  static constexpr auto compact = &y_autopair::compact<T>;
};

template <class T>
void cu_y(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
          const QubitList& control_state, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  launch_pair_family<YKernels<T>>(n, state, target, plan, stream, std::tuple<>{}, std::tuple<>{});
}

template void cu_y<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&,
                          cudaStream_t, int32_t);
template void cu_y<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&,
                           cudaStream_t, int32_t);

}  // namespace stavex
