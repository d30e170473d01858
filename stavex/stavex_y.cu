// Pauli Y: a0' = −i·a1, a1' = i·a0, written out on the components.
#include "pair_gate_families.cuh"

namespace stavex {

template <class T>
struct YUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0{a1.y, -a1.x};
    const CuComplex<T> b1{-a0.y, a0.x};
    a0 = b0;
    a1 = b1;
  }
};

STAVEX_FIXED_GATE(y, YUpdate)

}  // namespace stavex
