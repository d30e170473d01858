// Validation, preparation and execution of density operation lists.
#include "run_density.h"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include <cuda_runtime.h>

#include "density_fusion.h"
#include "density_sparsesharemem.h"
#include "named_operations.h"
#include "plexar_kraus.h"
#include "plexar_unitary.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/device_buffer.h"

namespace zorvane::plexar {

namespace {

constexpr size_t kMaxUnitaryTargets = 6;
constexpr size_t kMaxKrausTargets = 3;

// Each target in range and distinct from the earlier ones.
bool targets_valid(const std::vector<int64_t>& targets, int64_t n) {
  uint64_t seen = 0;
  for (const int64_t t : targets) {
    if (t < 0 || t >= n || ((seen >> t) & 1u)) return false;
    seen |= uint64_t{1} << t;
  }
  return true;
}

void set_controls(const DensityOperation& op, PreparedDensityOp& prepared) {
  for (size_t i = 0; i < op.controls.size(); ++i) {
    const uint64_t bit = uint64_t{1} << op.controls[i];
    prepared.control_mask |= bit;
    if (op.control_state[i] == 1) prepared.control_values |= bit;
  }
}

template <class T>
CuComplex<T> to_precision(std::complex<double> value) {
  return CuComplex<T>{static_cast<T>(value.real()), static_cast<T>(value.imag())};
}

template <class T>
PreparedDensityOp prepare_kraus(const DensityOperation& op, int64_t n, std::vector<CuComplex<T>>& pool) {
  validate_kraus_operation(op, n);
  PreparedDensityOp prepared;
  prepared.is_kraus = 1;
  if (const std::optional<BuiltinChannel> channel = builtin_channel(op)) {
    prepared.is_channel = true;
    prepared.channel_kind = channel->kind;
    prepared.channel_parameter = channel->parameter;
    prepared.target_mask = uint64_t{1} << op.targets[0];
    return prepared;
  }
  if (op.targets.size() > kMaxKrausTargets) throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  prepared.targets = make_device_targets(op.targets, static_cast<uint64_t>(n));
  prepared.kraus_count = static_cast<int64_t>(op.kraus_count);
  prepared.matrix_offset = static_cast<int64_t>(pool.size());
  for (const std::complex<double>& value : op.kraus_matrices) pool.push_back(to_precision<T>(value));
  return prepared;
}

template <class T>
PreparedDensityOp prepare_gate(const DensityOperation& op, int64_t n, std::vector<CuComplex<T>>& pool) {
  validate_gate_operation(op, n);
  if (op.targets.size() > kMaxUnitaryTargets) throw std::runtime_error("GPU density unitary supports at most 6 targets");
  PreparedDensityOp prepared;
  set_controls(op, prepared);
  std::vector<CuComplex<T>> matrix;
  if (op.has_stored_matrix) {
    matrix.reserve(op.stored_matrix.size());
    for (const std::complex<double>& value : op.stored_matrix) {
      const CuComplex<T> element = to_precision<T>(value);
      if (!std::isfinite(element.x) || !std::isfinite(element.y))
        throw std::runtime_error("unitary matrix must contain only finite values");
      matrix.push_back(element);
    }
  } else if (const std::optional<DiagonalForm<T>> diagonal = diagonal_form<T>(op)) {
    if (diagonal->is_identity) {
      prepared.is_identity = true;
    } else {
      prepared.is_diagonal = true;
      prepared.target_mask = uint64_t{1} << op.targets[0];
      prepared.diag0 = std::complex<double>(diagonal->d0.x, diagonal->d0.y);
      prepared.diag1 = std::complex<double>(diagonal->d1.x, diagonal->d1.y);
    }
    return prepared;
  } else if (const std::optional<PermutationForm> permutation = permutation_form(op)) {
    prepared.is_permutation = true;
    prepared.permutation_mask = permutation->mask;
    prepared.permutation_is_swap = permutation->is_swap;
    return prepared;
  } else {
    matrix = named_gate_matrix<T>(op);
  }
  const size_t k = op.targets.size();
  if (matrix.size() != (size_t{1} << (2 * k))) throw std::runtime_error("unitary matrix size does not match targets");
  prepared.targets = make_device_targets(op.targets, static_cast<uint64_t>(n));
  prepared.matrix_offset = static_cast<int64_t>(pool.size());
  pool.insert(pool.end(), matrix.begin(), matrix.end());
  return prepared;
}

template <class T>
CuComplex<T> to_precision(CuComplex<double> value) {
  return CuComplex<T>{static_cast<T>(value.x), static_cast<T>(value.y)};
}

// The planner's record in T: integers copied, every double rounded.
template <class T>
DeviceDensityGate<T> to_precision(const DeviceDensityGate<double>& g) {
  DeviceDensityGate<T> out{};
  out.kind = g.kind;
  out.target = g.target;
  out.control_mask = g.control_mask;
  out.control_values = g.control_values;
  for (int i = 0; i < 4; ++i) out.matrix[i] = to_precision<T>(g.matrix[i]);
  out.diag0 = to_precision<T>(g.diag0);
  out.diag1 = to_precision<T>(g.diag1);
  out.permutation_mask = g.permutation_mask;
  out.channel_kind = g.channel_kind;
  out.channel_parameter = static_cast<T>(g.channel_parameter);
  return out;
}

// A dense one-target unitary without controls: what the fused unitary-channel
// pass can take.
bool is_plain_unitary(const PreparedDensityOp& op) {
  return !op.is_kraus && !op.is_channel && !op.is_diagonal && !op.is_permutation && !op.is_identity &&
         op.targets.count == 1 && op.control_mask == 0;
}

// The members of a one-qubit group in order; a plain unitary directly followed
// by a built-in channel on its qubit takes one fused pass.
template <class T>
void execute_single_qubit_group(DeviceDensityState& state, const DensityFusionGroup& group,
                                const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_pool) {
  const std::vector<uint64_t>& members = group.op_indices;
  for (size_t j = 0; j < members.size();) {
    const PreparedDensityOp& op = prepared[members[j]];
    if (j + 1 < members.size() && is_plain_unitary(op)) {
      const PreparedDensityOp& next = prepared[members[j + 1]];
      if (next.is_channel && next.target_mask == (uint64_t{1} << op.targets.targets[0])) {
        launch_density_unitary_channel<T>(static_cast<CuComplex<T>*>(state.data), state.dimension, op.targets,
                                          device_pool + op.matrix_offset, next.channel_kind,
                                          static_cast<T>(next.channel_parameter), nullptr);
        j += 2;
        continue;
      }
    }
    execute_prepared<T>(state, op, device_pool);
    ++j;
  }
}

// Runs the groups of `plan` in order. The records of all shared-memory groups
// travel in one upload to `device_records`, which the caller owns and frees
// after the run, like the matrix pool.
template <class T>
void execute_fused(DeviceDensityState& state, const std::vector<DensityFusionGroup>& plan,
                   const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_pool,
                   DeviceBuffer<DeviceDensityGate<T>>& device_records) {
  std::vector<DeviceDensityGate<T>> records;
  std::vector<size_t> first_record(plan.size(), 0);
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].kind != DensityGroupKind::SparseShareMem) continue;
    first_record[i] = records.size();
    for (const DeviceDensityGate<double>& g : plan[i].records) records.push_back(to_precision<T>(g));
  }
  if (!records.empty()) {
    device_records = DeviceBuffer<DeviceDensityGate<T>>(records.size());
    check_cuda(cudaMemcpy(device_records.get(), records.data(), records.size() * sizeof(DeviceDensityGate<T>),
                          cudaMemcpyHostToDevice));
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    const DensityFusionGroup& group = plan[i];
    switch (group.kind) {
      case DensityGroupKind::SparseShareMem: {
        uint64_t active_mask = 0;
        for (const int64_t q : group.active_qubits) active_mask |= uint64_t{1} << q;
        launch_density_sparsesharemem<T>(state.dimension, static_cast<CuComplex<T>*>(state.data), active_mask,
                                         static_cast<int32_t>(group.active_qubits.size()),
                                         device_records.get() + first_record[i],
                                         static_cast<int32_t>(group.records.size()), nullptr);
        break;
      }
      case DensityGroupKind::SingleQubit:
        execute_single_qubit_group<T>(state, group, prepared, device_pool);
        break;
      case DensityGroupKind::Single:
      case DensityGroupKind::Sequential:
        for (const uint64_t p : group.op_indices) execute_prepared<T>(state, prepared[p], device_pool);
        break;
    }
  }
}

template <class T>
void run_typed(DeviceDensityState& state, const std::vector<DensityOperation>& operations, bool fuse) {
  const auto n = static_cast<int64_t>(state.num_qubits);
  std::vector<CuComplex<T>> pool;
  std::vector<PreparedDensityOp> prepared;
  prepared.reserve(operations.size());
  for (const DensityOperation& op : operations) prepared.push_back(prepare_operation<T>(op, n, pool));
  std::vector<DensityFusionGroup> plan;
  if (fuse) plan = plan_density_fusion(n, operations, density_fusion_options(n));

  DeviceBuffer<CuComplex<T>> device_pool;
  DeviceBuffer<DeviceDensityGate<T>> device_records;
  try {
    if (!pool.empty()) {
      device_pool = DeviceBuffer<CuComplex<T>>(pool.size());
      check_cuda(cudaMemcpy(device_pool.get(), pool.data(), pool.size() * sizeof(CuComplex<T>),
                            cudaMemcpyHostToDevice));
    }
    if (fuse) {
      execute_fused<T>(state, plan, prepared, device_pool.get(), device_records);
    } else {
      for (const PreparedDensityOp& op : prepared) execute_prepared<T>(state, op, device_pool.get());
    }
    check_cuda(cudaDeviceSynchronize());
  } catch (...) {
    // The pool and the records must outlive every kernel that may still read
    // them.
    if ((device_pool.get() != nullptr || device_records.get() != nullptr) && cudaDeviceSynchronize() != cudaSuccess)
      (void)cudaGetLastError();
    throw;
  }
  // The frees of the pool and the records are not checked: the run's work is
  // done and reported.
}

}  // namespace

void validate_gate_operation(const DensityOperation& op, int64_t n) {
  if (op.targets.empty()) throw std::runtime_error("density operation requires at least one target");
  if (op.controls.size() != op.control_state.size())
    throw std::runtime_error("controls and control_state sizes must match");
  if (!targets_valid(op.targets, n)) throw std::runtime_error("invalid or duplicate target qubit");
  uint64_t used = 0;
  for (const int64_t t : op.targets) used |= uint64_t{1} << t;
  for (size_t i = 0; i < op.controls.size(); ++i) {
    const int64_t c = op.controls[i];
    if (c < 0 || c >= n || ((used >> c) & 1u))
      throw std::runtime_error("invalid, duplicate, or overlapping control qubit");
    used |= uint64_t{1} << c;
    if (op.control_state[i] != 0 && op.control_state[i] != 1)
      throw std::runtime_error("control_state must contain only 0 or 1");
  }
}

void validate_kraus_operation(const DensityOperation& op, int64_t n) {
  if (op.targets.empty()) throw std::runtime_error("Kraus operation requires at least one target");
  if (!targets_valid(op.targets, n)) throw std::runtime_error("invalid or duplicate Kraus target qubit");
  const uint64_t d = op.kraus_dimension;
  if (d != uint64_t{1} << op.targets.size()) throw std::runtime_error("Kraus matrix dimension does not match targets");
  if (op.kraus_count < 1) throw std::runtime_error("Kraus operation requires at least one matrix");
  if (op.kraus_matrices.size() != d * op.kraus_count * d) throw std::runtime_error("invalid Kraus matrix buffer size");
  for (const std::complex<double>& value : op.kraus_matrices)
    if (!std::isfinite(value.real()) || !std::isfinite(value.imag()))
      throw std::runtime_error("Kraus matrices must contain only finite values");
}

template <class T>
PreparedDensityOp prepare_operation(const DensityOperation& op, int64_t n, std::vector<CuComplex<T>>& pool) {
  return op.kind == kKrausOperation ? prepare_kraus<T>(op, n, pool) : prepare_gate<T>(op, n, pool);
}

template <class T>
void execute_prepared(DeviceDensityState& state, const PreparedDensityOp& op, const CuComplex<T>* device_pool) {
  auto* data = static_cast<CuComplex<T>*>(state.data);
  const int64_t dimension = state.dimension;
  const cudaStream_t stream = nullptr;
  if (op.is_identity) return;
  if (op.is_permutation) {
    launch_density_permutation<T>(data, dimension, op.permutation_mask, op.control_mask, op.control_values,
                                  op.permutation_is_swap, stream);
  } else if (op.is_diagonal) {
    launch_density_diagonal<T>(data, dimension, op.target_mask, op.control_mask, op.control_values,
                               to_precision<T>(op.diag0), to_precision<T>(op.diag1), stream);
  } else if (op.is_channel) {
    launch_density_channel<T>(data, dimension, op.target_mask, op.channel_kind, static_cast<T>(op.channel_parameter),
                              stream);
  } else if (op.is_kraus) {
    launch_density_kraus<T>(data, dimension, op.targets, op.kraus_count, device_pool + op.matrix_offset, stream);
  } else {
    launch_density_unitary<T>(data, dimension, op.targets, op.control_mask, op.control_values,
                              device_pool + op.matrix_offset, stream);
  }
}

bool density_fusion_requested() {
  const char* value = std::getenv("ZORVANE_DENSITY_FUSION");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

void run_density_operations(DeviceDensityState& state, int64_t n, const std::vector<DensityOperation>& operations) {
  if (n < 0 || static_cast<uint64_t>(n) != state.num_qubits)
    throw std::invalid_argument("num_qubits does not match DeviceDensityState");
  check_cuda(cudaSetDevice(state.device_id));
  const bool fuse = density_fusion_requested() && density_fusion_applies(n);
  if (state.is_double)
    run_typed<double>(state, operations, fuse);
  else
    run_typed<float>(state, operations, fuse);
}

bool density_fusion_applies(int64_t n) { return density_fusion_options(n).max_active_qubits >= 1; }

template PreparedDensityOp prepare_operation<float>(const DensityOperation&, int64_t, std::vector<CuComplex<float>>&);
template PreparedDensityOp prepare_operation<double>(const DensityOperation&, int64_t,
                                                     std::vector<CuComplex<double>>&);
template void execute_prepared<float>(DeviceDensityState&, const PreparedDensityOp&, const CuComplex<float>*);
template void execute_prepared<double>(DeviceDensityState&, const PreparedDensityOp&, const CuComplex<double>*);

}  // namespace zorvane::plexar
