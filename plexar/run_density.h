// The density driver: checks the whole operation list, turns each operation
// into a PreparedDensityOp (appending its matrices to the run's matrix pool),
// uploads the pool in one copy, launches one action per operation in list
// order on the default stream (or, with density fusion, executes the groups of
// the list) and waits for the device once at the end.
//
// A failure while checking or preparing leaves ρ untouched; a failure on the
// device leaves the actions launched before it applied. Either way the state
// stays usable and every temporary is freed.
#pragma once

#include <cstdint>
#include <vector>

#include "density_operation.h"
#include "plexar_device_state.h"
#include "zorvane/cu_complex.h"

namespace zorvane::plexar {

// runtime_error for the first failing check of a gate or a Kraus operation on
// n qubits.
void validate_gate_operation(const DensityOperation& op, int64_t n);
void validate_kraus_operation(const DensityOperation& op, int64_t n);

// The action for `op`; matrices are appended to `pool` in the precision T.
template <class T>
PreparedDensityOp prepare_operation(const DensityOperation& op, int64_t n, std::vector<CuComplex<T>>& pool);

// Launches the action of `op` on `state` (nothing for an identity);
// `device_pool` is the device copy of the run's matrix pool.
template <class T>
void execute_prepared(DeviceDensityState& state, const PreparedDensityOp& op, const CuComplex<T>* device_pool);

// Whether ZORVANE_DENSITY_FUSION asks for fusion: set, not empty, and not
// starting with the digit 0. Read anew on every run.
bool density_fusion_requested();

// Whether a run on n qubits that asks for fusion is fused (n ≥ 5).
bool density_fusion_applies(int64_t n);

// Runs `operations` on `state`, whose qubit count must be n. When fusion is
// requested and applies, the list runs as the groups of plan_density_fusion.
void run_density_operations(DeviceDensityState& state, int64_t n, const std::vector<DensityOperation>& operations);

}  // namespace zorvane::plexar
