// Density fusion planning: group search over the operation list, group kinds,
// and the records of shared-memory groups.
#include "density_fusion.h"

#include <algorithm>
#include <complex>
#include <optional>
#include <stdexcept>

#include "named_operations.h"

namespace zorvane::plexar {

namespace {

// The built-in channel of a Kraus operation whose buffer holds the 2 × 2
// matrices it announces (builtin_channel reads them); none otherwise.
std::optional<BuiltinChannel> fusable_channel(const DensityOperation& op) {
  if (op.kraus_dimension != 2 || op.kraus_matrices.size() != 4 * op.kraus_count) return std::nullopt;
  return builtin_channel(op);
}

// How the group search sees one operation: its targets and controls.
ClusterOpQubits search_view(int64_t n, const DensityOperation& op) {
  ClusterOpQubits v;
  v.fusable = is_density_fusable(op);
  if (!v.fusable) return v;
  auto add = [&](int64_t q) {
    if (q < 0 || q >= n) v.out_of_range = true;
    else v.mask |= uint64_t{1} << q;
  };
  for (const int64_t q : op.targets) add(q);
  for (const int64_t q : op.controls) add(q);
  return v;
}

// Position of q in the ascending `active`, or −1.
int32_t local_index(const std::vector<int64_t>& active, int64_t q) {
  const auto it = std::lower_bound(active.begin(), active.end(), q);
  return it != active.end() && *it == q ? static_cast<int32_t>(it - active.begin()) : -1;
}

CuComplex<double> as_cu(CuComplex<double> v) { return v; }
CuComplex<double> as_cu(const std::complex<double>& v) { return {v.real(), v.imag()}; }

// A stored or named 2 × 2 matrix into the record.
template <class Complex>
void copy_matrix(const std::vector<Complex>& m, DeviceDensityGate<double>& g) {
  if (m.size() != 4) throw std::runtime_error("fused unitary must be 2x2");
  for (int i = 0; i < 4; ++i) g.matrix[i] = as_cu(m[i]);
}

}  // namespace

DensityFusionOptions density_fusion_options(int64_t n) {
  DensityFusionOptions options;
  options.max_active_qubits = static_cast<int32_t>(std::min<int64_t>(n - 4, 5));
  return options;
}

bool is_density_fusable(const DensityOperation& op) {
  if (op.kind == kKrausOperation) return fusable_channel(op).has_value();
  return op.targets.size() == 1 && op.controls.size() == op.control_state.size();
}

std::vector<uint64_t> select_density_group(int64_t n, const std::vector<DensityOperation>& operations,
                                           const UnplannedPositions& remaining, int32_t max_active_qubits,
                                           int32_t max_ops_per_group) {
  ClusterSearch search(n);
  std::vector<uint64_t> group;
  search.select(remaining, max_active_qubits, max_ops_per_group,
                [&](uint64_t p) { return search_view(n, operations[p]); }, group);
  return group;
}

std::vector<DensityFusionGroup> plan_density_fusion(int64_t n, const std::vector<DensityOperation>& operations,
                                                    const DensityFusionOptions& options) {
  std::vector<DensityFusionGroup> plan;
  auto view = [&](uint64_t p) { return search_view(n, operations[p]); };
  auto add_group = [&](const std::vector<uint64_t>& members) {
    DensityFusionGroup group;
    group.op_indices = members;
    std::vector<int64_t>& active = group.active_qubits;
    for (const uint64_t i : members) {
      active.insert(active.end(), operations[i].targets.begin(), operations[i].targets.end());
      active.insert(active.end(), operations[i].controls.begin(), operations[i].controls.end());
    }
    std::sort(active.begin(), active.end());
    active.erase(std::unique(active.begin(), active.end()), active.end());
    if (members.size() == 1) {
      group.kind = DensityGroupKind::Single;
    } else if (active.size() == 1) {
      group.kind = DensityGroupKind::SingleQubit;
    } else if (active.size() < static_cast<size_t>(std::max(options.min_sparsesharemem_qubits, 0))) {
      group.kind = DensityGroupKind::Sequential;
    } else {
      group.kind = DensityGroupKind::SparseShareMem;
      group.records.reserve(members.size());
      for (const uint64_t i : members) group.records.push_back(make_density_gate(operations[i], active));
    }
    plan.push_back(std::move(group));
  };
  partition_into_groups(n, operations.size(), options.max_active_qubits, options.max_ops_per_group, view, add_group);
  return plan;
}

DeviceDensityGate<double> make_density_gate(const DensityOperation& op, const std::vector<int64_t>& active_qubits) {
  DeviceDensityGate<double> g{};
  g.kind = static_cast<int32_t>(DensityGateKind::Unitary);
  g.diag0 = g.diag1 = CuComplex<double>{1.0, 0.0};
  g.target = op.targets.empty() ? -1 : local_index(active_qubits, op.targets[0]);
  if (op.kind == kKrausOperation) {
    const std::optional<BuiltinChannel> channel = fusable_channel(op);
    if (!channel) throw std::runtime_error("fused Kraus is not a built-in channel");
    g.kind = static_cast<int32_t>(DensityGateKind::Channel);
    g.channel_kind = channel->kind;
    g.channel_parameter = channel->parameter;
  } else if (op.has_stored_matrix) {
    copy_matrix(op.stored_matrix, g);
  } else if (const std::optional<DiagonalForm<double>> diagonal = diagonal_form<double>(op)) {
    // The identity form keeps the entries 1 and 1: the record changes nothing.
    g.kind = static_cast<int32_t>(DensityGateKind::Diagonal);
    g.diag0 = diagonal->d0;
    g.diag1 = diagonal->d1;
  } else if (const std::optional<PermutationForm> permutation = permutation_form(op);
             permutation && !permutation->is_swap) {
    g.kind = static_cast<int32_t>(DensityGateKind::Permutation);
    g.permutation_mask = uint32_t{1} << (static_cast<uint32_t>(g.target) & 31u);
  } else {
    copy_matrix(named_gate_matrix<double>(op), g);
  }
  for (size_t i = 0; i < op.controls.size(); ++i) {
    const int32_t j = local_index(active_qubits, op.controls[i]);
    if (j < 0) throw std::runtime_error("control qubit outside active set");
    g.control_mask |= uint32_t{1} << j;
    if (i < op.control_state.size() && op.control_state[i] == 1) g.control_values |= uint32_t{1} << j;
  }
  // A record acts on its target's 2 × 2 blocks of the tile; it must have one.
  if (g.target < 0) throw std::runtime_error("target qubit outside active set");
  return g;
}

}  // namespace zorvane::plexar
