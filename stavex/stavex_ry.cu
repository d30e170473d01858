// RY(θ) = [[cos h, −sin h], [sin h, cos h]], h = θ/2: with c = (cos h, 0) and
// s = (sin h, 0), a0' = c·a0 − s·a1 and a1' = s·a0 + c·a1 as complex products
// in T.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct RyUpdate {
  static constexpr bool kA1Only = false;
  CuComplex<T> c;
  CuComplex<T> s;

  // Grid-stride kernels call this once per thread, before their loop; the
  // launcher calls it once on the host for the PairAuto kernels.
  __host__ __device__ static RyUpdate from_angle(T theta) {
    const T h = theta * T(0.5);
    T s, c;
    zorvane::sin_cos(h, &s, &c);
    return {CuComplex<T>{c, T(0)}, CuComplex<T>{s, T(0)}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = zorvane::csub(zorvane::cmul(c, a0), zorvane::cmul(s, a1));
    const CuComplex<T> b1 = zorvane::cdot2(s, a0, c, a1);
    a0 = b0;
    a1 = b1;
  }
};

template <class T>
__global__ void cu_ry_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                       uint64_t control_value, T theta) {
  all_state_pairs(n, state, target, control_mask, control_value, RyUpdate<T>::from_angle(theta));
}

template <class T>
__global__ void cu_ry_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                  uint64_t control_value, T theta) {
  grid_stride_pairs(n, state, target, control_mask, control_value, RyUpdate<T>::from_angle(theta));
}

namespace ry_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> c, CuComplex<T> s) {
  autopair_target0_no_control(count, state, RyUpdate<T>{c, s});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit, CuComplex<T> c, CuComplex<T> s) {
  autopair_no_control(count, state, tbit, RyUpdate<T>{c, s});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                CuComplex<T> c, CuComplex<T> s) {
  autopair_target0_compact(count, state, insert_mask, control_value, RyUpdate<T>{c, s});
}

template <class T>
__global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                        uint64_t tbit, CuComplex<T> c, CuComplex<T> s) {
  autopair_compact(count, state, insert_mask, control_value, tbit, RyUpdate<T>{c, s});
}

}  // namespace ry_autopair

template <class T>
struct RyKernels {
  static constexpr const char* family = "cu_ry";
  static constexpr auto all_state = &cu_ry_kernel_all_state<T>;
  static constexpr auto pair = &cu_ry_kernel_pair<T>;
  static constexpr auto target0_no_control = &ry_autopair::target0_no_control<T>;
  static constexpr auto no_control = &ry_autopair::no_control<T>;
  static constexpr auto target0_compact = &ry_autopair::target0_compact<T>;
  static constexpr auto compact = &ry_autopair::compact<T>;
};

template <class T>
void cu_ry(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
           const QubitList& control_state, T angle, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  const RyUpdate<T> u = RyUpdate<T>::from_angle(angle);
  launch_pair_family<RyKernels<T>>(n, state, target, plan, stream, std::make_tuple(angle), std::make_tuple(u.c, u.s));
}

template void cu_ry<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, float,
                           cudaStream_t, int32_t);
template void cu_ry<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, double,
                            cudaStream_t, int32_t);

}  // namespace stavex
