// Fusion planning on the CPU: the 2x2 matrices of fusable gates, the
// fixed-size records a fused group carries relative to its own qubits, the
// dense product of a group, the cost table that chooses between the
// shared-memory executor and the matrix-product executor, and the planner
// that turns a chunk of gates into groups. Nothing here touches a device, so
// a chunk can be planned while the GPU works on the previous one.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "gate_op.h"
#include "zorvane/cluster_grouping.h"
#include "zorvane/cu_complex.h"

namespace stavex {
namespace fusion {

// Which shortcut the shared-memory kernel may take for a record; the matrix is
// always complete (identity for Swap).
enum class MatrixGateKind : int32_t { General = 0, X = 1, Y = 2, H = 3, Diagonal = 4, RX = 5, RY = 6, Swap = 7 };

// One gate of a fused group, copied byte for byte to the device. Qubits are
// local: bit j stands for the group's j-th lowest active qubit.
template <class T>
struct DeviceMatrixGate {
  int32_t kind;            // MatrixGateKind
  int32_t target;          // -1 until set
  int32_t target2;         // Swap only; -1 otherwise
  uint32_t control_mask;   // local controls
  uint32_t control_value;  // local controls whose state is 1
  zorvane::CuComplex<T> matrix[4];  // m00, m01, m10, m11
};

using Matrix2x2 = std::array<std::complex<double>, 4>;  // row-major

struct FusionOptions {
  int32_t sparsesharemem_qubits = 10;
  int32_t densemm_min_qubits = 1;
  int32_t densemm_max_qubits = 7;
  double densemm_gate_threshold_scale = 1.0;
  int32_t max_gates_per_group = 512;
  bool pad_sparsesharemem = true;
  bool fuse_swap = true;
};

enum class FusionGroupKind : int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

struct FusionGroup {
  FusionGroupKind kind = FusionGroupKind::AutoPair;
  std::vector<uint64_t> gate_indices;             // ascending: the execution order
  std::vector<int64_t> active_qubits;             // ascending; position j is local qubit j
  std::vector<DeviceMatrixGate<double>> records;  // one per gate; empty for AutoPair
  std::vector<std::complex<double>> dense_matrix;  // DenseMM: 2^k x 2^k, row-major
  uint64_t sparse_offset = 0;  // SparseShareMem: first record in the plan's record array
  uint64_t dense_offset = 0;   // DenseMM: first element in the plan's matrix array
};

struct FusionPlan {
  std::vector<FusionGroup> groups;  // execution order
  uint64_t sparse_record_count = 0;
  uint64_t dense_element_count = 0;
};

// Costs in one common unit: per_gate for any gate of a shared-memory group,
// w_* on top of it by gate class, densemm_cost for a whole matrix-product
// group.
struct FusionCostEntry {
  double per_gate, w_x, w_y, w_h, w_diagonal, w_rxry, w_general, w_swap, densemm_cost;
};

// The gate's 2x2 matrix, when it has exactly one target and a 2x2 form with
// the right parameter count; false otherwise (SWAP, GLOBAL_PHASE, wider
// UNITARY gates, ...).
bool gate_matrix_2x2(const GateOp& gate, Matrix2x2& out);

// Whether the gate can be encoded as a record at all (its control lists of
// equal length; SWAP with two distinct targets when fuse_swap is set; any
// other gate with a 2x2 matrix).
bool is_fusable(const GateOp& gate, bool fuse_swap);

// Whether the per-gate launchers accept the qubits of a gate that is_fusable
// admits: every target and control in [0, n), all distinct, control states 0
// or 1. A gate failing this is never fused, so it reaches its launcher in an
// AutoPair group and fails there, at the same point of the chunk as without
// fusion.
bool passes_launcher_checks(int64_t n, const GateOp& gate);

// The gate as a record relative to the ascending `active_qubits`. Throws
// invalid_argument "unsupported fused SWAP gate" / "unsupported SparseShareMem
// gate" for a gate it cannot encode.
DeviceMatrixGate<double> make_matrix_gate(const GateOp& gate, const std::vector<int64_t>& active_qubits);

// The product G_last ... G_first of the records over k local qubits, 2^k x 2^k
// row-major: applying it applies the group's first gate first.
std::vector<std::complex<double>> compose_dense_matrix(const std::vector<DeviceMatrixGate<double>>& records,
                                                       int32_t k);

// The cost entry for n qubits and a group of k active qubits (k clamped to
// 1..7; n interpolated between the table's breakpoints 14 .. 24).
FusionCostEntry lookup_fusion_cost(int64_t n, int64_t k);

// The next group from the unplanned positions: ascending gate indices,
// possibly empty.
std::vector<uint64_t> select_fusion_group(int64_t n, const std::vector<GateOp>& gates,
                                          const zorvane::UnplannedPositions& remaining, int32_t sparsesharemem_qubits,
                                          int32_t max_gates_per_group, bool fuse_swap);

FusionPlan plan_fusion_groups(int64_t n, const std::vector<GateOp>& gates, const FusionOptions& options);

}  // namespace fusion
}  // namespace stavex
