// The vocabulary of density operations: gate aliases, the parameter rule, the
// matrix of every named gate, the cheaper forms some gates take (a one-qubit
// diagonal, a permutation, or nothing), and the recognition of the built-in
// noise channels among Kraus operations. Matrices and diagonal entries are
// computed in the state's precision T. Every recogniser compares the
// canonical name, exactly; messages quote the name as given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "density_operation.h"
#include "zorvane/cu_complex.h"

namespace zorvane::plexar {

// "cx" → "x", "crz" → "rz", "global_phase" → "gp", …; other names unchanged.
std::string canonical_gate_name(const std::string& name);

// runtime_error unless `op` has exactly `expected` parameters, all finite.
void check_parameter_count(const DensityOperation& op, size_t expected);

template <class T>
struct DiagonalForm {
  bool is_identity = false;  // nothing to do
  CuComplex<T> d0{T(1), T(0)};
  CuComplex<T> d1{T(1), T(0)};
};

// For gates without a stored matrix: none, the identity (uncontrolled global
// phase), or the two entries of a one-target diagonal.
template <class T>
std::optional<DiagonalForm<T>> diagonal_form(const DensityOperation& op);

struct PermutationForm {
  uint64_t mask = 0;
  bool is_swap = false;
};

// X on one target or SWAP on two; runtime_error when either carries parameters.
std::optional<PermutationForm> permutation_form(const DensityOperation& op);

// Row-major matrix of the named gate: 4 × 4 for "swap", else 2 × 2.
template <class T>
std::vector<CuComplex<T>> named_gate_matrix(const DensityOperation& op);

struct BuiltinChannel {
  int32_t kind = 0;  // density::ChannelKind
  double parameter = 0.0;
};

// The channel a Kraus operation names, read from its name, matrix count and
// one element of its second matrix alone.
std::optional<BuiltinChannel> named_channel(const DensityOperation& op);

// Whether the built-in channel (kind, parameter) is the channel the
// operation's matrices define: their superoperators Σ K ⊗ conj(K) agree
// entry by entry to within kChannelTolerance.
constexpr double kChannelTolerance = 1e-9;
bool channel_matches_matrices(const DensityOperation& op, int32_t kind, double parameter);

// The built-in channel to apply for a Kraus operation (after its validation):
// the named channel, kept only when it is the channel the matrices define, so
// a Kraus set in another form, or named after another channel, stays a
// general Kraus action that applies exactly the matrices given.
std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op);

}  // namespace zorvane::plexar
