// The records of a density run: DensityOperation, one per element of the
// caller's operation list as parsed, and PreparedDensityOp, the action the
// driver decided on for it (unitary, diagonal, permutation, Kraus, built-in
// channel, or nothing). A prepared op serves both element types; its values
// are converted to the state's precision at launch, and its matrices live in
// the run's matrix pool at matrix_offset.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "density_targets.h"

namespace zorvane::plexar {

constexpr int32_t kGateOperation = 0;
constexpr int32_t kKrausOperation = 1;

struct DensityOperation {
  int32_t kind = kGateOperation;
  std::string name;  // gates: as given; messages quote it
  std::vector<int64_t> targets;
  std::vector<int64_t> controls;       // gates only
  std::vector<int64_t> control_state;  // gates only, 0 or 1 per control
  std::vector<double> params;
  std::vector<std::complex<double>> stored_matrix;  // row-major, when has_stored_matrix
  bool has_stored_matrix = false;
  std::string channel_name;  // Kraus only; empty when not given
  uint64_t kraus_dimension = 0;
  uint64_t kraus_count = 0;
  // kraus_count matrices of kraus_dimension²: matrix j, row r, column c at
  // (j·d + r)·d + c.
  std::vector<std::complex<double>> kraus_matrices;
};

struct PreparedDensityOp {
  int32_t is_kraus = 0;
  DeviceTargets targets;
  uint64_t control_mask = 0;
  uint64_t control_values = 0;
  int64_t kraus_count = 0;
  int64_t matrix_offset = 0;
  bool is_diagonal = false;
  bool is_identity = false;
  uint64_t target_mask = 0;  // diagonal and built-in channel actions
  std::complex<double> diag0 = 1.0;
  std::complex<double> diag1 = 1.0;
  bool is_permutation = false;
  uint64_t permutation_mask = 0;
  bool permutation_is_swap = false;
  bool is_channel = false;
  int32_t channel_kind = 0;
  double channel_parameter = 0.0;
};

}  // namespace zorvane::plexar
