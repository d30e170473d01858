// Density fusion planning on the CPU: the operation list of a run is split into
// groups on few qubits, found by the cluster grouping that the state-vector
// planner uses too. A group of two or more operations on 4 or 5 qubits runs as
// one shared-memory kernel over the tiles of ρ and carries one record per
// operation; a group on one qubit runs its operations one by one, a unitary
// directly followed by a built-in channel on that qubit in one pass; any
// other group runs operation by operation, as without fusion.
//
// Only operations that act on one qubit's 2 × 2 blocks are fused: gates with
// one target (named or with a stored matrix, controls allowed) and Kraus
// operations recognised as built-in channels. The planner expects operations
// that the driver has checked.
#pragma once

#include <cstdint>
#include <vector>

#include "density_operation.h"
#include "density_sparsesharemem.h"
#include "zorvane/cluster_grouping.h"

namespace zorvane::plexar {

struct DensityFusionOptions {
  int32_t max_active_qubits = 5;          // distinct qubits of a group
  int32_t min_sparsesharemem_qubits = 4;  // fewest qubits of a shared-memory group
  int32_t max_ops_per_group = 1024;       // unplanned operations one search examines
};

// The options of an n-qubit run: at most min(n − 4, 5) active qubits, which
// leaves ρ at least 4^4 tiles; fusion applies when that bound is at least 1,
// that is from n = 5 on.
DensityFusionOptions density_fusion_options(int64_t n);

enum class DensityGroupKind : int32_t { Single = 0, SingleQubit = 1, SparseShareMem = 2, Sequential = 3 };

struct DensityFusionGroup {
  DensityGroupKind kind = DensityGroupKind::Single;
  std::vector<uint64_t> op_indices;     // ascending: the execution order
  std::vector<int64_t> active_qubits;   // ascending; position j is local qubit j
  std::vector<DeviceDensityGate<double>> records;  // SparseShareMem only, one per operation
};

// Whether `op` may join a group: a gate with exactly one target, or a Kraus
// operation that is a built-in channel.
bool is_density_fusable(const DensityOperation& op);

// The next group among the unplanned positions, ascending; possibly empty.
std::vector<uint64_t> select_density_group(int64_t n, const std::vector<DensityOperation>& operations,
                                           const UnplannedPositions& remaining, int32_t max_active_qubits,
                                           int32_t max_ops_per_group);

// The groups in execution order; every operation is in exactly one.
std::vector<DensityFusionGroup> plan_density_fusion(int64_t n, const std::vector<DensityOperation>& operations,
                                                    const DensityFusionOptions& options);

// `op` as a record relative to the ascending `active_qubits`. runtime_error
// "fused Kraus is not a built-in channel", "fused unitary must be 2x2",
// "target qubit outside active set" or "control qubit outside active set" for
// an operation that cannot be one.
DeviceDensityGate<double> make_density_gate(const DensityOperation& op, const std::vector<int64_t>& active_qubits);

}  // namespace zorvane::plexar
