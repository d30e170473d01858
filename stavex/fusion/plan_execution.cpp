// Plan execution: the workspace upload, the group loop shared by the
// PairAutoFusion run path and prepared chunks, and the prepared-chunk entry.
#include "plan_execution.h"

#include <stdexcept>

#include "densemm.h"
#include "gate_launchers.h"
#include "run_circuit.h"
#include "sparsesharemem.h"
#include "zorvane/cuda_errors.h"

namespace stavex {
namespace fusion {

using zorvane::CuComplex;

namespace {

template <class T>
DeviceMatrixGate<T> convert_record(const DeviceMatrixGate<double>& r) {
  DeviceMatrixGate<T> out{r.kind, r.target, r.target2, r.control_mask, r.control_value, {}};
  for (int i = 0; i < 4; ++i) out.matrix[i] = CuComplex<T>{static_cast<T>(r.matrix[i].x), static_cast<T>(r.matrix[i].y)};
  return out;
}

// A device array of `host`, allocated and copied with the messages naming it.
template <class E>
zorvane::DeviceBuffer<E> upload(const std::vector<E>& host, const char* alloc_what, const char* copy_what) {
  if (host.empty()) return {};
  zorvane::DeviceBuffer<E> buffer(host.size(), alloc_what);
  if (const cudaError_t e = cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice))
    throw zorvane::cuda_error(copy_what, e);
  return buffer;
}

}  // namespace

template <class T>
FusionWorkspace<T>::FusionWorkspace(uint64_t n, const FusionPlan& plan) : n_(n) {
  std::vector<DeviceMatrixGate<T>> records(plan.sparse_record_count);
  std::vector<CuComplex<T>> matrices(plan.dense_element_count);
  bool dense = false;
  for (const FusionGroup& g : plan.groups) {
    if (g.kind == FusionGroupKind::SparseShareMem) {
      for (size_t j = 0; j < g.records.size(); ++j) records[g.sparse_offset + j] = convert_record<T>(g.records[j]);
    } else if (g.kind == FusionGroupKind::DenseMM) {
      dense = true;
      for (size_t j = 0; j < g.dense_matrix.size(); ++j)
        matrices[g.dense_offset + j] =
            CuComplex<T>{static_cast<T>(g.dense_matrix[j].real()), static_cast<T>(g.dense_matrix[j].imag())};
    }
  }
  gate_records_ = upload(records, "cudaMalloc SparseShareMem gates", "cudaMemcpy SparseShareMem gates");
  matrices_ = upload(matrices, "cudaMalloc DenseMM matrices", "cudaMemcpy DenseMM matrices");
  if (dense) {
    DenseMMCache<T>& cache = densemm_cache<T>();
    cache.ensure(uint64_t{1} << n);
    transpose_buffer_ = cache.transpose_buffer;
    gemm_buffer_ = cache.gemm_buffer;
    handle_ = cache.handle;
  }
}

template <class T>
void FusionWorkspace<T>::execute(CuComplex<T>* state, const FusionGroup& group, cudaStream_t stream) const {
  uint64_t active_mask = 0;
  for (const int64_t q : group.active_qubits) active_mask |= uint64_t{1} << q;
  const auto k = static_cast<int32_t>(group.active_qubits.size());
  const auto n = static_cast<int64_t>(n_);
  switch (group.kind) {
    case FusionGroupKind::SparseShareMem:
      run_sparsesharemem_group<T>(n, state, active_mask, k, gate_records_.get() + group.sparse_offset,
                                  static_cast<int32_t>(group.records.size()), stream);
      break;
    case FusionGroupKind::DenseMM:
      run_densemm_group<T>(handle_, n, state, transpose_buffer_, gemm_buffer_, active_mask, k,
                           matrices_.get() + group.dense_offset, stream);
      break;
    default:
      throw std::invalid_argument("AutoPair group cannot use fusion workspace");
  }
}

template <class T>
void execute_fusion_plan(uint64_t n, CuComplex<T>* state, const std::vector<GateOp>& gates, const FusionPlan& plan,
                         bool synchronize) {
  const FusionWorkspace<T> workspace(n, plan);
  for (const FusionGroup& group : plan.groups) {
    if (group.kind == FusionGroupKind::AutoPair) {
      dispatch_gate<T>(n, state, gates[group.gate_indices[0]], nullptr, PairAuto);
    } else {
      workspace.execute(state, group, nullptr);
      zorvane::check_last_cuda_error();
    }
  }
  if (synchronize) zorvane::check_cuda(cudaStreamSynchronize(nullptr));
}

template class FusionWorkspace<float>;
template class FusionWorkspace<double>;
template void execute_fusion_plan<float>(uint64_t, CuComplex<float>*, const std::vector<GateOp>&, const FusionPlan&,
                                         bool);
template void execute_fusion_plan<double>(uint64_t, CuComplex<double>*, const std::vector<GateOp>&,
                                          const FusionPlan&, bool);

}  // namespace fusion

void execute_prepared_chunk(DeviceState& state, const PreparedFusionChunk& chunk) {
  if (state.num_state != (uint64_t{1} << chunk.n)) throw std::invalid_argument("state size does not match prepared chunk");
  zorvane::check_cuda(cudaSetDevice(state.device_id));
  if (state.is_double)
    fusion::execute_fusion_plan<double>(chunk.n, static_cast<CuComplex<double>*>(state.data), chunk.gates, chunk.plan,
                                        true);
  else
    fusion::execute_fusion_plan<float>(chunk.n, static_cast<CuComplex<float>*>(state.data), chunk.gates, chunk.plan,
                                       true);
}

}  // namespace stavex
