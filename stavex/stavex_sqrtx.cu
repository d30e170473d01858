// √X = [[(1+i)/2, (1−i)/2], [(1−i)/2, (1+i)/2]]. Every component is halved
// first and the halves are then combined, so no complex product is formed.
#include "pair_gate_families.cuh"

namespace stavex {

template <class T>
struct SqrtxUpdate {
  static constexpr bool kA1Only = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const T h0x = a0.x * T(0.5), h0y = a0.y * T(0.5);
    const T h1x = a1.x * T(0.5), h1y = a1.y * T(0.5);
    const CuComplex<T> b0{(h0x - h0y) + (h1x + h1y), (h0x + h0y) + (h1y - h1x)};
    const CuComplex<T> b1{(h0x + h0y) + (h1x - h1y), (h0y - h0x) + (h1x + h1y)};
    a0 = b0;
    a1 = b1;
  }
};

STAVEX_FIXED_GATE(sqrtx, SqrtxUpdate)

}  // namespace stavex
