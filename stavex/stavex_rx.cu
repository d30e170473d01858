// RX(θ) = [[cos h, −i·sin h], [−i·sin h, cos h]], h = θ/2: with c = (cos h, 0)
// and d = (0, −sin h), a0' = c·a0 + d·a1 and a1' = d·a0 + c·a1 as complex
// products in T.
#include "pair_gate_families.cuh"

namespace stavex {

template <class T>
struct RxUpdate {
  static constexpr bool kA1Only = false;
  CuComplex<T> c;
  CuComplex<T> d;

  // Grid-stride kernels call this once per thread, before their loop; the
  // launcher calls it once on the host for the PairAuto kernels.
  __host__ __device__ static RxUpdate from_angle(T theta) {
    const T h = theta * T(0.5);
    T s, c;
    zorvane::sin_cos(h, &s, &c);
    return {CuComplex<T>{c, T(0)}, CuComplex<T>{T(0), -s}};
  }

  // The values the PairAuto kernels take, in their parameter order.
  std::tuple<CuComplex<T>, CuComplex<T>> values() const { return {c, d}; }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = zorvane::cdot2(c, a0, d, a1);
    const CuComplex<T> b1 = zorvane::cdot2(d, a0, c, a1);
    a0 = b0;
    a1 = b1;
  }
};

STAVEX_ANGLE_GATE(rx, RxUpdate, (CuComplex<T> c, CuComplex<T> d), (c, d))

}  // namespace stavex
