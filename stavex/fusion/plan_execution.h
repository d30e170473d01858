// Execution of a fusion plan on a device state: the plan's records and dense
// matrices are uploaded once into a workspace, the groups run in plan order on
// the default stream (AutoPair groups through the per-gate dispatcher), and
// the workspace is released. Also the chunk that holds a plan prepared ahead
// of its execution.
#pragma once

#include <cstdint>
#include <vector>

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include "fusion.h"
#include "gate_op.h"
#include "stavex_device_state.h"
#include "zorvane/cu_complex.h"
#include "zorvane/device_buffer.h"

namespace stavex {

namespace fusion {

// Owns the device copies of a plan's records and matrices; borrows the
// calling thread's DenseMM cache when the plan has a DenseMM group.
template <class T>
class FusionWorkspace {
 public:
  FusionWorkspace(uint64_t n, const FusionPlan& plan);

  // Runs one SparseShareMem or DenseMM group; the caller checks the launch.
  void execute(zorvane::CuComplex<T>* state, const FusionGroup& group, cudaStream_t stream) const;

 private:
  uint64_t n_;
  zorvane::DeviceBuffer<DeviceMatrixGate<T>> gate_records_;
  zorvane::DeviceBuffer<zorvane::CuComplex<T>> matrices_;
  zorvane::CuComplex<T>* transpose_buffer_ = nullptr;
  zorvane::CuComplex<T>* gemm_buffer_ = nullptr;
  cublasHandle_t handle_ = nullptr;
};

// Runs the plan of `gates` on the state (on the current device), and waits
// for the device when `synchronize` is set.
template <class T>
void execute_fusion_plan(uint64_t n, zorvane::CuComplex<T>* state, const std::vector<GateOp>& gates,
                         const FusionPlan& plan, bool synchronize);

}  // namespace fusion

// A chunk parsed and planned on the CPU, executable any number of times on any
// state of its qubit count, in either precision. Immutable once made.
struct PreparedFusionChunk {
  int64_t n = 0;
  std::vector<GateOp> gates;
  fusion::FusionPlan plan;
};

// Checks the state against the chunk's size, selects the state's device and
// runs the chunk's plan to completion. Called with the interpreter lock
// released, after the binding compared the qubit counts.
void execute_prepared_chunk(DeviceState& state, const PreparedFusionChunk& chunk);

}  // namespace stavex
