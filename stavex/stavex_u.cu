// U(θ, φ, λ) = [[cos h, −sin h·e^(iλ)], [sin h·e^(iφ), cos h·e^(i(φ+λ))]], h = θ/2,
// applied as one 2×2 matrix. The host fills it once for the PairAuto kernels;
// the grid-stride kernels fill it once per thread from the raw angles.
#include "gate_matrices.h"
#include "pair_kernels.cuh"

namespace stavex {

template <class T>
struct UUpdate {
  static constexpr bool kA1Only = false;
  GateMatrix2x2<T> m;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const { apply_matrix_2x2(m, a0, a1); }
};

template <class T>
GateMatrix2x2<T> u_matrix_on_host(T theta, T phi, T lambda) {
  T sh, ch, sp, cp, sl, cl;
  zorvane::sin_cos(theta * T(0.5), &sh, &ch);
  zorvane::sin_cos(phi, &sp, &cp);
  zorvane::sin_cos(lambda, &sl, &cl);
  return GateMatrix2x2<T>{CuComplex<T>{ch, T(0)}, CuComplex<T>{-sh * cl, -sh * sl}, CuComplex<T>{cp * sh, sp * sh},
                          CuComplex<T>{(cl * cp - sl * sp) * ch, (cl * sp + sl * cp) * ch}};
}

template <class T>
__device__ __forceinline__ GateMatrix2x2<T> u_matrix_on_device(T theta, T phi, T lambda) {
  T sh, ch, sp, cp, sl, cl;
  zorvane::sin_cos(theta * T(0.5), &sh, &ch);
  zorvane::sin_cos(phi, &sp, &cp);
  zorvane::sin_cos(lambda, &sl, &cl);
  return GateMatrix2x2<T>{CuComplex<T>{ch, T(0)}, CuComplex<T>{cl * (-sh), sl * (-sh)},
                          CuComplex<T>{sh * cp, sh * sp},
                          CuComplex<T>{ch * (cp * cl - sp * sl), ch * (sp * cl + cp * sl)}};
}

template <class T>
__global__ void cu_u_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                      uint64_t control_value, T theta, T phi, T lambda) {
  all_state_pairs(n, state, target, control_mask, control_value, UUpdate<T>{u_matrix_on_device(theta, phi, lambda)});
}

template <class T>
__global__ void cu_u_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                 uint64_t control_value, T theta, T phi, T lambda) {
  grid_stride_pairs(n, state, target, control_mask, control_value, UUpdate<T>{u_matrix_on_device(theta, phi, lambda)});
}

template <class T>
__global__ void u_target0_no_control(uint64_t count, CuComplex<T>* state, GateMatrix2x2<T> m) {
  autopair_target0_no_control(count, state, UUpdate<T>{m});
}

template <class T>
__global__ void u_no_control(uint64_t count, CuComplex<T>* state, uint64_t tbit, GateMatrix2x2<T> m) {
  autopair_no_control(count, state, tbit, UUpdate<T>{m});
}

template <class T>
__global__ void u_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                                  GateMatrix2x2<T> m) {
  autopair_target0_compact(count, state, insert_mask, control_value, UUpdate<T>{m});
}

template <class T>
__global__ void u_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t control_value,
                          uint64_t tbit, GateMatrix2x2<T> m) {
  autopair_compact(count, state, insert_mask, control_value, tbit, UUpdate<T>{m});
}

template <class T>
struct UKernels {
  static constexpr const char* family = "cu_u";
  static constexpr auto all_state = &cu_u_kernel_all_state<T>;
  static constexpr auto pair = &cu_u_kernel_pair<T>;
  static constexpr auto target0_no_control = &u_target0_no_control<T>;
  static constexpr auto no_control = &u_no_control<T>;
  static constexpr auto target0_compact = &u_target0_compact<T>;
  static constexpr auto compact = &u_compact<T>;
};

template <class T>
void cu_u(uint64_t n, CuComplex<T>* state, int32_t target, const QubitList& controls, const QubitList& control_state,
          T theta, T phi, T lambda, cudaStream_t stream, int32_t mode) {
  const PairLaunchPlan plan = plan_pair_launch(n, target, controls, control_state, mode);
  launch_pair_family<UKernels<T>>(n, state, target, plan, stream, std::make_tuple(theta, phi, lambda),
                                  std::make_tuple(u_matrix_on_host(theta, phi, lambda)));
}

template void cu_u<float>(uint64_t, CuComplex<float>*, int32_t, const QubitList&, const QubitList&, float, float,
                          float, cudaStream_t, int32_t);
template void cu_u<double>(uint64_t, CuComplex<double>*, int32_t, const QubitList&, const QubitList&, double, double,
                           double, cudaStream_t, int32_t);

}  // namespace stavex
