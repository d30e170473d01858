// Hadamard: a0' = (a0 + a1)·r, a1' = (a0 − a1)·r, r = 1/√2 rounded to T; the
// sum and difference are formed first, then each part is scaled.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct HUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const T r = static_cast<T>(0.70710678118654752440);
    const CuComplex<T> sum = zorvane::cadd(a0, a1);
    const CuComplex<T> diff = zorvane::csub(a0, a1);
    a0 = zorvane::cscale(sum, r);
    a1 = zorvane::cscale(diff, r);
  }
};

template <class T>
__global__ void cu_h_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                      uint64_t control_value) {
  all_state_pairs(n, state, target, control_mask, control_value, HUpdate<T>{});
}

template <class T>
__global__ void cu_h_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                 uint64_t control_value) {
  grid_stride_pairs(n, state, target, control_mask, control_value, HUpdate<T>{});
}

template <class T>
__global__ void h_target0_no_control(uint64_t count, CuComplex<T>* state) {
  autopair_target0_no_control(count, state, HUpdate<T>{});
}

template <class T>
__global__ void h_no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit) {
  autopair_no_control(count, state, tbit, HUpdate<T>{});
}

template <class T>
__global__ void h_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value) {
  autopair_target0_compact(count, state, insert_mask, control_value, HUpdate<T>{});
}

template <class T>
__global__ void h_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                          uint64_t tbit) {
  autopair_compact(count, state, insert_mask, control_value, tbit, HUpdate<T>{});
}

template <class T>
struct HKernels {
  static constexpr const char* family = "cu_h";
  static constexpr auto all_state = &cu_h_kernel_all_state<T>;
  static constexpr auto pair = &cu_h_kernel_pair<T>;
  static constexpr auto target0_no_control = &h_target0_no_control<T>;
  static constexpr auto no_control = &h_no_control<T>;
  static constexpr auto target0_compact = &h_target0_compact<T>;
  static constexpr auto compact = &h_compact<T>;
};

template <class T>
void cu_h(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls, const QubitList& control_state,
          cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  launch_pair_family<HKernels<T>>(n, state, target, plan, stream, std::tuple<>{}, std::tuple<>{});
}

template void cu_h<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, cudaStream_t,
                          int32_t);
template void cu_h<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, cudaStream_t,
                           int32_t);

}  // namespace stavex
