// Launchers of the noise kernels: a general Kraus channel ρ → Σ_k K_k ρ K_k† on
// one to three targets, a built-in single-qubit channel given by its kind and
// parameter, and (plexar_unitary_channel.cu) a one-qubit unitary followed by a
// built-in channel on the same qubit in one pass. They enqueue on `stream`,
// check the launch and do not wait.
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

#include "density_blocks.h"
#include "density_targets.h"
#include "zorvane/cu_complex.h"

namespace zorvane::plexar {

// The channel `kind` (a density::ChannelKind) with parameter p on the qubit of
// `target_mask`.
template <class T>
void launch_density_channel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, int32_t kind, T p,
                            cudaStream_t stream);

// `operators`: m matrices of 2^k × 2^k in device memory, row-major, operator j
// at element j·4^k, rows and columns indexed by sub-index (bit j for
// targets.targets[j]).
template <class T>
void launch_density_kraus(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t m,
                          const CuComplex<T>* operators, cudaStream_t stream);

// U ρ U† on targets.targets[0] (no controls), then the channel `kind` with p
// on the same qubit; `unitary` is 2 × 2 row-major in device memory.
template <class T>
void launch_density_unitary_channel(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                                    const CuComplex<T>* unitary, int32_t kind, T p, cudaStream_t stream);

}  // namespace zorvane::plexar
