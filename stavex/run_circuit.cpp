// Dispatch of parsed gates to the launchers. Gates run in list order on the
// given stream; a gate that fails its checks or its launch raises with the
// gates before it already applied.
#include "run_circuit.h"

#include <stdexcept>

#include "fusion/fusion.h"
#include "fusion/plan_execution.h"
#include "gate_launchers.h"
#include "zorvane/cuda_errors.h"

namespace stavex {

namespace {

void require_params(const GateOp& op, size_t count, const char* message) {
  if (op.params.size() != count) throw std::invalid_argument(message);
}

// Launchers take qubits as 32-bit values; a label no state can have is passed
// as -1 rather than truncated, so the launcher's qubit check rejects it instead
// of the gate landing on a wrapped-around qubit.
int32_t launcher_qubit(int64_t qubit) { return qubit >= 0 && qubit <= 62 ? static_cast<int32_t>(qubit) : -1; }

}  // namespace

template <class T>
void dispatch_gate(uint64_t n, CuComplex<T>* state, const GateOp& op, cudaStream_t stream, int32_t mode) {
  const int32_t target = op.targets.empty() ? -1 : launcher_qubit(op.targets.front());
  const auto& c = op.controls;
  const auto& cs = op.control_state;
  switch (op.id) {
    case X: cu_x<T>(n, state, target, c, cs, stream, mode); break;
    case Y: cu_y<T>(n, state, target, c, cs, stream, mode); break;
    case Z: cu_z<T>(n, state, target, c, cs, stream, mode); break;
    case H: cu_h<T>(n, state, target, c, cs, stream, mode); break;
    case S: cu_s<T>(n, state, target, c, cs, stream, mode); break;
    case SDAG: cu_sdag<T>(n, state, target, c, cs, stream, mode); break;
    case SQRTX: cu_sqrtx<T>(n, state, target, c, cs, stream, mode); break;
    case SQRTXDAG: cu_sqrtxdag<T>(n, state, target, c, cs, stream, mode); break;
    case SQRTY: cu_sqrty<T>(n, state, target, c, cs, stream, mode); break;
    case SQRTYDAG: cu_sqrtydag<T>(n, state, target, c, cs, stream, mode); break;
    case SWAP:
      if (op.targets.size() != 2) throw std::invalid_argument("SWAP gate requires exactly two parameters.");
      cu_swap<T>(n, state, launcher_qubit(op.targets[0]), launcher_qubit(op.targets[1]), c, cs, stream, mode);
      break;
    case RX:
      require_params(op, 1, "RX gate requires exactly one parameter.");
      cu_rx<T>(n, state, target, c, cs, static_cast<T>(op.params[0]), stream, mode);
      break;
    case RY:
      require_params(op, 1, "RY gate requires exactly one parameter.");
      cu_ry<T>(n, state, target, c, cs, static_cast<T>(op.params[0]), stream, mode);
      break;
    case RZ:
      require_params(op, 1, "RZ gate requires exactly one parameter.");
      cu_rz<T>(n, state, target, c, cs, static_cast<T>(op.params[0]), stream, mode);
      break;
    case PHASE:
      require_params(op, 1, "PHASE gate requires exactly one parameter.");
      cu_phase<T>(n, state, target, c, cs, static_cast<T>(op.params[0]), stream, mode);
      break;
    case GLOBAL_PHASE:
      require_params(op, 1, "GLOBAL_PHASE gate requires exactly one parameter.");
      cu_global_phase<T>(n, state, c, cs, static_cast<T>(op.params[0]), stream);
      break;
    case U:
      require_params(op, 3, "U gate requires exactly three parameters.");
      cu_u<T>(n, state, target, c, cs, static_cast<T>(op.params[0]), static_cast<T>(op.params[1]),
              static_cast<T>(op.params[2]), stream, mode);
      break;
    case UNITARY:
      cu_unitary<T>(n, state, op.targets, c, cs, op.matrix, op.matrix_dim, stream, mode);
      break;
    default:
      throw std::invalid_argument("Unsupported gate id");
  }
  zorvane::check_last_cuda_error();
}

template <class T>
void run_gates(uint64_t n, CuComplex<T>* state, const std::vector<GateOp>& ops, cudaStream_t stream, int32_t mode) {
  if (mode == PairAutoFusion) {
    // The default options; the plan's groups run on the default stream.
    const fusion::FusionPlan plan = fusion::plan_fusion_groups(static_cast<int64_t>(n), ops, fusion::FusionOptions{});
    fusion::execute_fusion_plan<T>(n, state, ops, plan, false);
    return;
  }
  for (const GateOp& op : ops) dispatch_gate<T>(n, state, op, stream, mode);
}

void run_on_state(DeviceState& state, const std::vector<GateOp>& ops, int32_t mode) {
  if (state.num_state != (uint64_t{1} << state.n)) throw std::invalid_argument("state size does not match 2**n");
  zorvane::check_cuda(cudaSetDevice(state.device_id));
  if (state.is_double)
    run_gates<double>(state.n, static_cast<CuComplex<double>*>(state.data), ops, nullptr, mode);
  else
    run_gates<float>(state.n, static_cast<CuComplex<float>*>(state.data), ops, nullptr, mode);
}

template void dispatch_gate<float>(uint64_t, CuComplex<float>*, const GateOp&, cudaStream_t, int32_t);
template void dispatch_gate<double>(uint64_t, CuComplex<double>*, const GateOp&, cudaStream_t, int32_t);
template void run_gates<float>(uint64_t, CuComplex<float>*, const std::vector<GateOp>&, cudaStream_t, int32_t);
template void run_gates<double>(uint64_t, CuComplex<double>*, const std::vector<GateOp>&, cudaStream_t, int32_t);

}  // namespace stavex
