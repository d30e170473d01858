// S†: a1' = −i·a1; a0 is never read or written.
#include "pair_gate_families.cuh"

namespace stavex {

template <class T>
struct SdagUpdate {
  static constexpr bool kA1Only = true;
  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const {
    a1 = CuComplex<T>{a1.y, -a1.x};
  }
};

STAVEX_FIXED_GATE(sdag, SdagUpdate)

}  // namespace stavex
