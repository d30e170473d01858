// PHASE(φ) = diag(1, e^(iφ)): a1' = e·a1 with e = (cos φ, sin φ); a0 is never
// read or written.
#include "pair_gate_families.cuh"

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

  // The values the PairAuto kernels take, in their parameter order.
  std::tuple<CuComplex<T>> values() const { return {e}; }

  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const {
    a1 = zorvane::cmul(e, a1);
  }
};

STAVEX_ANGLE_GATE(phase, PhaseUpdate, (CuComplex<T> e), (e))

}  // namespace stavex
