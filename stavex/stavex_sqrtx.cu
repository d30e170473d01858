// √X = [[(1+i)/2, (1−i)/2], [(1−i)/2, (1+i)/2]]. Every component is halved
// first and the halves are then combined, so no complex product is formed.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct SqrtxUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const T h0x = a0.x * T(0.5), h0y = a0.y * T(0.5);
    const T h1x = a1.x * T(0.5), h1y = a1.y * T(0.5);
    const CuComplex<T> b0{(h0x - h0y) + (h1x + h1y), (h0x + h0y) + (h1y - h1x)};
    const CuComplex<T> b1{(h0x + h0y) + (h1x - h1y), (h0y - h0x) + (h1x + h1y)};
    a0 = b0;
    a1 = b1;
  }
};

template <class T>
__global__ void cu_sqrtx_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                          uint64_t control_value) {
  all_state_pairs(n, state, target, control_mask, control_value, SqrtxUpdate<T>{});
}

template <class T>
__global__ void cu_sqrtx_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                     uint64_t control_value) {
  grid_stride_pairs(n, state, target, control_mask, control_value, SqrtxUpdate<T>{});
}

namespace sqrtx_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state) {
  autopair_target0_no_control(count, state, SqrtxUpdate<T>{});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit) {
  autopair_no_control(count, state, tbit, SqrtxUpdate<T>{});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value) {
  autopair_target0_compact(count, state, insert_mask, control_value, SqrtxUpdate<T>{});
}

template <class T>
__global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                        uint64_t tbit) {
  autopair_compact(count, state, insert_mask, control_value, tbit, SqrtxUpdate<T>{});
}

}  // namespace sqrtx_autopair

template <class T>
struct SqrtxKernels {
  static constexpr const char* family = "cu_sqrtx";
  static constexpr auto all_state = &cu_sqrtx_kernel_all_state<T>;
  static constexpr auto pair = &cu_sqrtx_kernel_pair<T>;
  static constexpr auto target0_no_control = &sqrtx_autopair::target0_no_control<T>;
  static constexpr auto no_control = &sqrtx_autopair::no_control<T>;
  static constexpr auto target0_compact = &sqrtx_autopair::target0_compact<T>;
  static constexpr auto compact = &sqrtx_autopair::compact<T>;
};

template <class T>
void cu_sqrtx(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
              const QubitList& control_state, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  launch_pair_family<SqrtxKernels<T>>(n, state, target, plan, stream, std::tuple<>{}, std::tuple<>{});
}

template void cu_sqrtx<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&,
                              cudaStream_t, int32_t);
template void cu_sqrtx<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&,
                               cudaStream_t, int32_t);

}  // namespace stavex
