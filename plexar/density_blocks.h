// Arithmetic on the 2 × 2 blocks of ρ that one-target actions update: the
// unitary products U·A and A·U†, and the five built-in noise channels. Shared
// by the merged unitary, channel and fused unitary-channel kernels, and by the
// host check that a Kraus set really is the channel the built-in kernel would
// apply. All arithmetic is in T, sums start from zero in sub-index order.
#pragma once

#include <cstdint>
#include <type_traits>

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"
#include "zorvane/unroll.h"

namespace zorvane::density {

// The built-in single-qubit channels, each with one real parameter p.
enum ChannelKind : int32_t {
  BitFlip = 1,           // (1 − p)ρ + p·XρX
  PhaseFlip = 2,         // (1 − p)ρ + p·ZρZ
  Depolarizing = 3,      // (1 − p)ρ + p·(I/2)·tr ρ
  AmplitudeDamping = 4,  // decay |1⟩ → |0⟩ with γ = p
  PhaseDamping = 5,      // coherences shrink by 1 − p
};

constexpr int32_t kFirstChannelKind = BitFlip;
constexpr int32_t kLastChannelKind = PhaseDamping;

}  // namespace zorvane::density

namespace zorvane::plexar {

// M[a][b]: first index the target bit of the row, second that of the column.
template <class T>
struct Block2 {
  CuComplex<T> m[2][2];
};

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> zero_plus(CuComplex<T> p0, CuComplex<T> p1) {
  return cadd(cadd(CuComplex<T>{T(0), T(0)}, p0), p1);
}

// A := U·A, U row-major.
template <class T>
__host__ __device__ __forceinline__ void multiply_left(const CuComplex<T> (&u)[4], Block2<T>& a) {
  Block2<T> b;
  ZORVANE_UNROLL
  for (int r = 0; r < 2; ++r)
    ZORVANE_UNROLL
    for (int c = 0; c < 2; ++c) b.m[r][c] = zero_plus(cmul(u[2 * r], a.m[0][c]), cmul(u[2 * r + 1], a.m[1][c]));
  a = b;
}

// A := A·U†.
template <class T>
__host__ __device__ __forceinline__ void multiply_right_adjoint(const CuComplex<T> (&u)[4], Block2<T>& a) {
  Block2<T> b;
  ZORVANE_UNROLL
  for (int r = 0; r < 2; ++r)
    ZORVANE_UNROLL
    for (int c = 0; c < 2; ++c)
      b.m[r][c] = zero_plus(cmul_conj(a.m[r][0], u[2 * c]), cmul_conj(a.m[r][1], u[2 * c + 1]));
  a = b;
}

__host__ __device__ __forceinline__ float real_sqrt(float x) { return sqrtf(x); }
__host__ __device__ __forceinline__ double real_sqrt(double x) { return sqrt(x); }

// s·a with the factor on both parts.
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> scaled(T s, CuComplex<T> a) {
  return CuComplex<T>{s * a.x, s * a.y};
}

// s·a + t·b, part by part.
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> mixed(T s, CuComplex<T> a, T t, CuComplex<T> b) {
  return CuComplex<T>{s * a.x + t * b.x, s * a.y + t * b.y};
}

// The channel of kind Kind with parameter p applied to one block.
template <int Kind, class T>
__host__ __device__ __forceinline__ void apply_channel(Block2<T>& a, T p) {
  const CuComplex<T> m00 = a.m[0][0], m01 = a.m[0][1], m10 = a.m[1][0], m11 = a.m[1][1];
  if constexpr (Kind == density::BitFlip) {
    const T q = T(1) - p;
    a.m[0][0] = mixed(q, m00, p, m11);
    a.m[0][1] = mixed(q, m01, p, m10);
    a.m[1][0] = mixed(q, m10, p, m01);
    a.m[1][1] = mixed(q, m11, p, m00);
  } else if constexpr (Kind == density::PhaseFlip) {
    const T s = T(1) - T(2) * p;
    a.m[0][1] = scaled(s, m01);
    a.m[1][0] = scaled(s, m10);
  } else if constexpr (Kind == density::Depolarizing) {
    const T half = p / T(2);
    const T keep = T(1) - half;
    const T coherence = T(1) - p;
    a.m[0][0] = mixed(keep, m00, half, m11);
    a.m[0][1] = scaled(coherence, m01);
    a.m[1][0] = scaled(coherence, m10);
    a.m[1][1] = mixed(half, m00, keep, m11);
  } else if constexpr (Kind == density::AmplitudeDamping) {
    const T q = T(1) - p;
    const T s = real_sqrt(q);
    a.m[0][0] = CuComplex<T>{m00.x + p * m11.x, m00.y + p * m11.y};
    a.m[0][1] = scaled(s, m01);
    a.m[1][0] = scaled(s, m10);
    a.m[1][1] = scaled(q, m11);
  } else {
    static_assert(Kind == density::PhaseDamping, "unknown channel kind");
    const T q = T(1) - p;
    a.m[0][1] = scaled(q, m01);
    a.m[1][0] = scaled(q, m10);
  }
}

// Calls visit(std::integral_constant<int, Kind>{}) for the run-time `kind`;
// false, calling nothing, for a kind outside 1 … 5.
template <class Visit>
inline bool visit_channel_kind(int32_t kind, Visit&& visit) {
  switch (kind) {
    case density::BitFlip: visit(std::integral_constant<int, density::BitFlip>{}); return true;
    case density::PhaseFlip: visit(std::integral_constant<int, density::PhaseFlip>{}); return true;
    case density::Depolarizing: visit(std::integral_constant<int, density::Depolarizing>{}); return true;
    case density::AmplitudeDamping: visit(std::integral_constant<int, density::AmplitudeDamping>{}); return true;
    case density::PhaseDamping: visit(std::integral_constant<int, density::PhaseDamping>{}); return true;
  }
  return false;
}

}  // namespace zorvane::plexar
