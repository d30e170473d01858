// RZ(θ) = diag(e^(−ih), e^(ih)), h = θ/2: a0' = p0·a0, a1' = p1·a1. The
// negated half angle is formed first and its sine and cosine evaluated on
// their own rather than negating the sine of h.
#include "pair_gate_families.cuh"

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

  // The values the PairAuto kernels take, in their parameter order.
  std::tuple<CuComplex<T>, CuComplex<T>> values() const { return {p0, p1}; }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    a0 = zorvane::cmul(p0, a0);
    a1 = zorvane::cmul(p1, a1);
  }
};

STAVEX_ANGLE_GATE(rz, RzUpdate, (CuComplex<T> p0, CuComplex<T> p1), (p0, p1))

}  // namespace stavex
