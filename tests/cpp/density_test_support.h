// Density operations for the C++ tests of the density module: named gates,
// Kraus operations and the standard Kraus forms of the built-in channels.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "density_blocks.h"
#include "density_operation.h"

namespace zorvane::plexar {

using C = std::complex<double>;

inline const C I{0.0, 1.0};

inline DensityOperation named(const std::string& name, std::vector<int64_t> targets, std::vector<double> params = {}) {
  DensityOperation op;
  op.name = name;
  op.targets = std::move(targets);
  op.params = std::move(params);
  return op;
}

inline DensityOperation kraus(const std::string& channel_name, const std::vector<std::vector<C>>& matrices,
                              std::vector<int64_t> targets = {0}) {
  DensityOperation op;
  op.kind = kKrausOperation;
  op.targets = std::move(targets);
  op.channel_name = channel_name;
  op.kraus_dimension = uint64_t{1} << op.targets.size();
  op.kraus_count = matrices.size();
  for (const auto& m : matrices) op.kraus_matrices.insert(op.kraus_matrices.end(), m.begin(), m.end());
  return op;
}

inline std::vector<std::vector<C>> bit_flip(double p) {
  return {{std::sqrt(1 - p), 0, 0, std::sqrt(1 - p)}, {0, std::sqrt(p), std::sqrt(p), 0}};
}

// The channel kind's standard Kraus operators, row-major 2 × 2.
inline std::vector<std::vector<C>> kraus_operators(int32_t kind, double p) {
  const double a = std::sqrt(1 - p), s = std::sqrt(p), q = std::sqrt(p / 4);
  switch (kind) {
    case density::BitFlip: return bit_flip(p);
    case density::PhaseFlip: return {{a, 0, 0, a}, {s, 0, 0, -s}};
    case density::Depolarizing:
      return {{std::sqrt(1 - 3 * p / 4), 0, 0, std::sqrt(1 - 3 * p / 4)}, {0, q, q, 0}, {0, -q * I, q * I, 0},
              {q, 0, 0, -q}};
    case density::AmplitudeDamping: return {{1, 0, 0, a}, {0, s, 0, 0}};
    default: return {{a, 0, 0, a}, {s, 0, 0, 0}, {0, 0, 0, s}};
  }
}

// The built-in channel `kind` with parameter p on `target`, in its standard
// Kraus form under its name.
inline DensityOperation standard_channel(int32_t kind, double p, int64_t target) {
  static const char* const names[] = {"", "bit_flip", "phase_flip", "depolarizing", "amplitude_damping",
                                      "phase_damping"};
  return kraus(names[kind], kraus_operators(kind, p), {target});
}

}  // namespace zorvane::plexar
