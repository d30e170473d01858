// Launchers of the density unitary family: G ρ G† for a dense matrix on one to
// six targets, a one-target diagonal, and a bit-flip or SWAP permutation, each
// optionally controlled (an index x is active when (x & control_mask) ==
// control_values; active rows get U from the left, active columns U† from the
// right). They enqueue on `stream`, check the launch and do not wait.
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

#include "density_targets.h"
#include "zorvane/cu_complex.h"

namespace zorvane::plexar {

// `matrix`: 2^k × 2^k row-major in device memory, row and column bit j
// belonging to targets.targets[j].
template <class T>
void launch_density_unitary(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                            uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix,
                            cudaStream_t stream);

// diag(diag0, diag1) on the qubit of `target_mask`. Without controls only the
// elements whose row and column differ in the target bit change, which is
// D ρ D† for entries of modulus 1.
template <class T>
void launch_density_diagonal(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, uint64_t control_mask,
                             uint64_t control_values, CuComplex<T> diag0, CuComplex<T> diag1, cudaStream_t stream);

// P ρ P with P(x) = x ^ permutation_mask: a bit flip of one qubit, or with
// `is_swap` the exchange of the two qubits of the mask.
template <class T>
void launch_density_permutation(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask,
                                uint64_t control_mask, uint64_t control_values, bool is_swap, cudaStream_t stream);

}  // namespace zorvane::plexar
