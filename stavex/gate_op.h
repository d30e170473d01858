// The parsed gate record and the gate-name table shared by the run flow and
// fusion.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace stavex {

enum GateId : int32_t {
  X = 0,
  Y = 1,
  Z = 2,
  H = 3,
  S = 4,
  SDAG = 5,
  SQRTX = 6,
  SQRTXDAG = 7,
  SQRTY = 8,
  SQRTYDAG = 9,
  SWAP = 10,
  RX = 11,
  RY = 12,
  RZ = 13,
  PHASE = 14,
  GLOBAL_PHASE = 15,
  U = 16,
  UNITARY = 17,
};

struct GateOp {
  GateId id = X;
  std::string name;
  std::vector<int64_t> controls;
  std::vector<int64_t> control_state;
  std::vector<int64_t> targets;
  std::vector<double> params;
  std::vector<std::complex<double>> matrix;  // row-major
  int64_t matrix_dim = 0;
  bool has_matrix = false;
};

// Rewrites the T gates into PHASE with their angle appended ("t", "ct", "mct"
// get +pi/4, "t_dag" gets -pi/4); every other name is left as it is.
void rewrite_gate_name(std::string& name, std::vector<double>& params);

// Throws invalid_argument "Unsupported CUDA gate id: <name>" for unknown names.
GateId gate_id_from_name(const std::string& name);

}  // namespace stavex
