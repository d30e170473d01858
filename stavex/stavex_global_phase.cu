// GLOBAL_PHASE(φ): every amplitude whose index satisfies the controls is
// multiplied by e^(iφ). With controls this is a phase on the controlled
// subspace, so it is a real gate and not a no-op.
#include "control_masks.h"
#include "gate_launchers.h"
#include "launch_blocks.h"
#include "zorvane/bit_index.h"
#include "zorvane/cu_complex.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace stavex {

template <class T>
__global__ void cu_global_phase_kernel(int64_t n, CuComplex<T>* state, uint64_t control_mask, uint64_t control_value,
                                       T phi) {
  T s, c;
  zorvane::sin_cos(phi, &s, &c);
  const CuComplex<T> e{c, s};
  for (uint64_t i = zorvane::global_thread_index(); (i >> n) == 0; i += zorvane::grid_thread_count())
    if ((i & control_mask) == control_value) state[i] = zorvane::cmul(e, state[i]);
}

template <class T>
void cu_global_phase(uint64_t n, CuComplex<T>* state, const QubitList& controls, const QubitList& control_state,
                     T phi, cudaStream_t stream) {
  const ControlMasks masks = checked_control_masks(n, QubitList{}, controls, control_state);
  const uint64_t count = uint64_t{1} << n;
  zorvane::launch_kernel(&cu_global_phase_kernel<T>, zorvane::grid_stride_blocks(count, kGlobalPhaseBlock),
                         kGlobalPhaseBlock, 0, stream, static_cast<int64_t>(n), state, masks.mask, masks.value, phi);
  zorvane::check_kernel_launch("cu_global_phase");
}

template void cu_global_phase<float>(uint64_t, CuComplex<float>*, const QubitList&, const QubitList&, float,
                                     cudaStream_t);
template void cu_global_phase<double>(uint64_t, CuComplex<double>*, const QubitList&, const QubitList&, double,
                                      cudaStream_t);

}  // namespace stavex
