// RZ(θ) = diag(e^(−ih), e^(ih)), h = θ/2: a0' = p0·a0, a1' = p1·a1. The
// negated half angle is formed first and its sine and cosine evaluated on
// their own rather than negating the sine of h.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct RzUpdate {
  static constexpr bool kA1Only = false;
  CuComplex<T> p0;
  CuComplex<T> p1;

  // Grid-stride kernels call this once per thread, before their loop; the
  // launcher calls it once on the host for the PairAuto kernels.
  __host__ __device__ static RzUpdate from_angle(T theta) {
    const T h = theta * T(0.5);
    const T neg_h = -h;
    T s0, c0, s1, c1;
    zorvane::sin_cos(neg_h, &s0, &c0);
    zorvane::sin_cos(h, &s1, &c1);
    return {CuComplex<T>{c0, s0}, CuComplex<T>{c1, s1}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    a0 = zorvane::cmul(p0, a0);
    a1 = zorvane::cmul(p1, a1);
  }
};

template <class T>
__global__ void cu_rz_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                       uint64_t control_value, T theta) {
  all_state_pairs(n, state, target, control_mask, control_value, RzUpdate<T>::from_angle(theta));
}

template <class T>
__global__ void cu_rz_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                  uint64_t control_value, T theta) {
  grid_stride_pairs(n, state, target, control_mask, control_value, RzUpdate<T>::from_angle(theta));
}

namespace rz_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> p0, CuComplex<T> p1) {
  autopair_target0_no_control(count, state, RzUpdate<T>{p0, p1});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit, CuComplex<T> p0, CuComplex<T> p1) {
  autopair_no_control(count, state, tbit, RzUpdate<T>{p0, p1});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                CuComplex<T> p0, CuComplex<T> p1) {
  autopair_target0_compact(count, state, insert_mask, control_value, RzUpdate<T>{p0, p1});
}

template <class T>
__global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                        uint64_t tbit, CuComplex<T> p0, CuComplex<T> p1) {
  autopair_compact(count, state, insert_mask, control_value, tbit, RzUpdate<T>{p0, p1});
}

}  // namespace rz_autopair

template <class T>
struct RzKernels {
  static constexpr const char* family = "cu_rz";
  static constexpr auto all_state = &cu_rz_kernel_all_state<T>;
  static constexpr auto pair = &cu_rz_kernel_pair<T>;
  static constexpr auto target0_no_control = &rz_autopair::target0_no_control<T>;
  static constexpr auto no_control = &rz_autopair::no_control<T>;
  static constexpr auto target0_compact = &rz_autopair::target0_compact<T>;
  static constexpr auto compact = &rz_autopair::compact<T>;
};

template <class T>
void cu_rz(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
           const QubitList& control_state, T angle, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  const RzUpdate<T> u = RzUpdate<T>::from_angle(angle);
  launch_pair_family<RzKernels<T>>(n, state, target, plan, stream, std::make_tuple(angle), std::make_tuple(u.p0, u.p1));
}

template void cu_rz<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, float,
                           cudaStream_t, int32_t);
template void cu_rz<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, double,
                            cudaStream_t, int32_t);

}  // namespace stavex
