// The shared-memory kernel of density fusion and its launcher. A group of
// one-qubit operations on k ≤ 5 active qubits is applied to ρ tile by tile: a
// block loads the 2^k × 2^k elements whose row and column agree outside the
// active qubits, applies every record of the group to that tile in order, and
// stores it back, so each element of ρ is read and written once per group.
//
// A record describes one operation relative to the group's active qubits
// (local qubit j is the j-th lowest active qubit). The planner builds records
// in double; a complex64 run converts them field by field.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cuda_runtime.h>

#include "zorvane/cu_complex.h"

namespace zorvane::plexar {

enum class DensityGateKind : int32_t { Unitary = 0, Diagonal = 1, Permutation = 2, Channel = 3 };

// Copied byte for byte to the device.
template <class T>
struct DeviceDensityGate {
  int32_t kind;             // DensityGateKind
  int32_t target;           // local index of the operation's first target
  uint32_t control_mask;    // local controls
  uint32_t control_values;  // local controls whose state is 1
  CuComplex<T> matrix[4];   // Unitary: m00, m01, m10, m11; zero otherwise
  CuComplex<T> diag0;       // Diagonal: entry for target bit 0; 1 otherwise
  CuComplex<T> diag1;       // Diagonal: entry for target bit 1; 1 otherwise
  uint32_t permutation_mask;  // Permutation: 1 << target; 0 otherwise (not read by the kernel)
  int32_t channel_kind;       // Channel: a density::ChannelKind
  T channel_parameter;        // Channel: p
};

// Largest group the kernel takes, and the dynamic shared memory of a launch
// on k active qubits: the tile of 2^k × 2^k elements.
constexpr int32_t kDensityTileMaxQubits = 5;
template <class T>
constexpr size_t density_tile_shared_bytes(int32_t k) {
  return (size_t{1} << (2 * k)) * sizeof(CuComplex<T>);
}

// Tile t of an n-qubit ρ, m = n − k: rows row base | deposit(a, active mask),
// columns column base | deposit(b, active mask) for local a, b < 2^k, with row
// base = deposit(t mod 2^m, inactive mask) and column base = deposit(t >> m,
// inactive mask). `tiles` = 4^m; the blocks stride over them.
template <class T>
__global__ void density_sparsesharemem_kernel(CuComplex<T>* data, int64_t dimension, uint64_t tiles,
                                              uint64_t active_mask, uint64_t inactive_mask, int32_t k, int32_t m,
                                              const DeviceDensityGate<T>* records, int32_t count);

// Applies `count` records in device memory to the tiles of the k active qubits
// of `active_mask` (1 ≤ k ≤ 5). Enqueues on `stream`, checks the launch and
// does not wait. invalid_argument for k, count or a ρ smaller than the tile.
template <class T>
void launch_density_sparsesharemem(int64_t dimension, CuComplex<T>* data, uint64_t active_mask, int32_t k,
                                   const DeviceDensityGate<T>* records, int32_t count, cudaStream_t stream);

}  // namespace zorvane::plexar
