// RY(θ) = [[cos h, −sin h], [sin h, cos h]], h = θ/2: with c = (cos h, 0) and
// s = (sin h, 0), a0' = c·a0 − s·a1 and a1' = s·a0 + c·a1 as complex products
// in T.
#include "pair_gate_families.cuh"

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

  // The values the PairAuto kernels take, in their parameter order.
  std::tuple<CuComplex<T>, CuComplex<T>> values() const { return {c, s}; }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = zorvane::csub(zorvane::cmul(c, a0), zorvane::cmul(s, a1));
    const CuComplex<T> b1 = zorvane::cdot2(s, a0, c, a1);
    a0 = b0;
    a1 = b1;
  }
};

STAVEX_ANGLE_GATE(ry, RyUpdate, (CuComplex<T> c, CuComplex<T> s), (c, s))

}  // namespace stavex
