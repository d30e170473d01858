// The run flow: one parsed gate to its family's launcher, a chunk of gates in
// list order, and a chunk on a DeviceState.
#pragma once

#include <cstdint>
#include <vector>

#include <cuda_runtime.h>

#include "gate_launchers.h"
#include "gate_op.h"
#include "stavex_device_state.h"
#include "zorvane/cu_complex.h"

namespace stavex {

template <class T>
void dispatch_gate(uint64_t n, zorvane::CuComplex<T>* state, const GateOp& op, cudaStream_t stream, int32_t mode);

template <class T>
void run_gates(uint64_t n, zorvane::CuComplex<T>* state, const std::vector<GateOp>& ops, cudaStream_t stream,
               int32_t mode);

void run_on_state(DeviceState& state, const std::vector<GateOp>& ops, int32_t mode);

}  // namespace stavex
