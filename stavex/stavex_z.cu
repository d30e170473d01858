// Pauli Z: a1' = −a1; a0 is never read or written.
#include "pair_gate_families.cuh"

namespace stavex {

template <class T>
struct ZUpdate {
  static constexpr bool kA1Only = true;
  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const {
    a1 = CuComplex<T>{-a1.x, -a1.y};
  }
};

STAVEX_FIXED_GATE(z, ZUpdate)

}  // namespace stavex
