// PHASE(φ) = diag(1, e^(iφ)): a1' = e·a1 with e = (cos φ, sin φ); a0 is never
// read or written.
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct PhaseUpdate {
  static constexpr bool kA1Only = true;
  CuComplex<T> e;

  // Grid-stride kernels call this once per thread, before their loop; the
  // launcher calls it once on the host for the PairAuto kernels.
  __host__ __device__ static PhaseUpdate from_angle(T phi) {
    T s, c;
    zorvane::sin_cos(phi, &s, &c);
    return {CuComplex<T>{c, s}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const {
    a1 = zorvane::cmul(e, a1);
  }
};

template <class T>
__global__ void cu_phase_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                          uint64_t control_value, T phi) {
  all_state_pairs(n, state, target, control_mask, control_value, PhaseUpdate<T>::from_angle(phi));
}

template <class T>
__global__ void cu_phase_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                     uint64_t control_value, T phi) {
  grid_stride_pairs(n, state, target, control_mask, control_value, PhaseUpdate<T>::from_angle(phi));
}

namespace phase_autopair {

template <class T>
__global__ void target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> e) {
  autopair_target0_no_control(count, state, PhaseUpdate<T>{e});
}

template <class T>
__global__ void no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit, CuComplex<T> e) {
  autopair_no_control(count, state, tbit, PhaseUpdate<T>{e});
}

template <class T>
__global__ void target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                CuComplex<T> e) {
  autopair_target0_compact(count, state, insert_mask, control_value, PhaseUpdate<T>{e});
}

template <class T>
__global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                        uint64_t tbit, CuComplex<T> e) {
  autopair_compact(count, state, insert_mask, control_value, tbit, PhaseUpdate<T>{e});
}

}  // namespace phase_autopair

template <class T>
struct PhaseKernels {
  static constexpr const char* family = "cu_phase";
  static constexpr auto all_state = &cu_phase_kernel_all_state<T>;
  static constexpr auto pair = &cu_phase_kernel_pair<T>;
  static constexpr auto target0_no_control = &phase_autopair::target0_no_control<T>;
  static constexpr auto no_control = &phase_autopair::no_control<T>;
  static constexpr auto target0_compact = &phase_autopair::target0_compact<T>;
  static constexpr auto compact = &phase_autopair::compact<T>;
};

template <class T>
void cu_phase(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls,
              const QubitList& control_state, T angle, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  const PhaseUpdate<T> u = PhaseUpdate<T>::from_angle(angle);
  launch_pair_family<PhaseKernels<T>>(n, state, target, plan, stream, std::make_tuple(angle), std::make_tuple(u.e));
}

template void cu_phase<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, float,
                              cudaStream_t, int32_t);
template void cu_phase<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, double,
                               cudaStream_t, int32_t);

}  // namespace stavex
