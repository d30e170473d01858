// The density unitary kernels and launchers.
//
// One and two targets apply U from the left and U† from the right to a block
// of ρ in a single pass; three to six targets take two passes, a left kernel
// over column slices and a right kernel over row slices. Work items are
// walked with a grid-stride loop.
#include "plexar_unitary.h"

#include <stdexcept>

#include "density_blocks.h"
#include "density_index.cuh"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"
#include "zorvane/unroll.h"

namespace zorvane::plexar {

// ---- one target: the 2 × 2 block of a row group and a column group ------------

template <class T, int K>
__global__ void unitary_merged_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                      uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix) {
  static_assert(K == 1, "the merged kernel serves one target");
  const TargetLayout<1> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = layout.groups * layout.groups;
  const CuComplex<T> u[4] = {matrix[0], matrix[1], matrix[2], matrix[3]};
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    const uint64_t rb = layout.row_base(t);
    const uint64_t cb = layout.column_base(t);
    const bool row_active = controls_hold(rb, control_mask, control_values);
    const bool column_active = controls_hold(cb, control_mask, control_values);
    if (!row_active && !column_active) continue;
    Block2<T> a = load_block(data, dim, rb, cb, layout.mask);
    if (row_active) multiply_left(u, a);
    if (column_active) multiply_right_adjoint(u, a);
    store_block(data, dim, rb, cb, layout.mask, a);
  }
}

// ---- two targets: four adjacent threads share one 4 × 4 block ------------------

// Item t = 4q + i rewrites row i of block q; the four items of a block are
// lanes 4m … 4m + 3 of one warp. A lane keeps only its row in registers and
// reads the block's elements and U's entries where the products need them
// (the quad's lanes read the same elements, every lane the same U): holding
// the whole block and U per lane, indexed by the lane's row, put them in local
// memory and kept the complex128 form at an eighth of full occupancy.
template <class T>
__global__ void unitary_merged_row2_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                           uint64_t control_mask, uint64_t control_values,
                                           const CuComplex<T>* matrix) {
  const TargetLayout<2> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = 4 * layout.groups * layout.groups;
  const uint64_t* off = layout.offset;
  // Items per block and the grid stride are multiples of four, so the lanes of
  // a quad take the loop together and agree on whether their block is active,
  // and each lane keeps its row i throughout.
  const unsigned quad = 0xFu << (threadIdx.x & 28u);
  const uint32_t i = first_item() & 3u;
  const uint64_t row_offset = ((i & 1u) ? off[1] : 0) | ((i & 2u) ? off[2] : 0);
  const CuComplex<T>* u_row = matrix + 4 * i;
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    const uint64_t rb = layout.row_base(t >> 2);
    const uint64_t cb = layout.column_base(t >> 2);
    const bool row_active = controls_hold(rb, control_mask, control_values);
    const bool column_active = controls_hold(cb, control_mask, control_values);
    const bool active = row_active || column_active;
    // Row i of U·A for an active row, row i of A otherwise.
    CuComplex<T> row[4];
    if (active) {
      ZORVANE_UNROLL
      for (int b = 0; b < 4; ++b) {
        const uint64_t column = cb | off[b];
        if (row_active) {
          CuComplex<T> acc{T(0), T(0)};
          ZORVANE_UNROLL
          for (int s = 0; s < 4; ++s) acc = cadd(acc, cmul(u_row[s], data[(rb | off[s]) * dim + column]));
          row[b] = acc;
        } else {
          row[b] = data[(rb | row_offset) * dim + column];
        }
      }
    }
    // Every lane of the quad reads the whole block and then overwrites one row
    // of it: all four reads must be complete before the first write. Inactive
    // quads meet here too, so every quad of every block synchronises alike.
    __syncwarp(quad);
    if (!active) continue;
    CuComplex<T>* out = data + (rb | row_offset) * dim;
    ZORVANE_UNROLL
    for (int b = 0; b < 4; ++b) {
      if (column_active) {
        CuComplex<T> acc{T(0), T(0)};
        ZORVANE_UNROLL
        for (int s = 0; s < 4; ++s) acc = cadd(acc, cmul_conj(row[s], matrix[4 * b + s]));
        out[cb | off[b]] = acc;
      } else {
        out[cb | off[b]] = row[b];
      }
    }
  }
}

// ---- three to six targets: U from the left, then U† from the right ---------------

// Each output element's sum over the 2^K inputs is fully unrolled. The loop
// over the outputs is unrolled too up to four targets; for five and six it
// stays a loop: 1024 or 4096 unrolled products per kernel buy nothing on a
// memory-bound pass and multiply the device compile time several times over.
template <int K>
constexpr int kOutputUnroll = K <= 4 ? (1 << K) : 1;

// w = U·v (left) or w = v·U† (right) for the 2^K elements of one slice,
// `stride` apart in memory at the given offsets.
template <class T, int K, bool Left>
__device__ __forceinline__ void multiply_slice(CuComplex<T>* slice, uint64_t stride, const TargetLayout<K>& layout,
                                               const CuComplex<T>* matrix) {
  constexpr int D = 1 << K;
  CuComplex<T> v[D];
  ZORVANE_UNROLL
  for (int s = 0; s < D; ++s) v[s] = slice[layout.offset[s] * stride];
  ZORVANE_UNROLL_BY(kOutputUnroll<K>)
  for (int i = 0; i < D; ++i) {
    CuComplex<T> acc{T(0), T(0)};
    ZORVANE_UNROLL
    for (int s = 0; s < D; ++s)
      acc = cadd(acc, Left ? cmul(matrix[i * D + s], v[s]) : cmul_conj(v[s], matrix[i * D + s]));
    slice[layout.offset[i] * stride] = acc;
  }
}

// Item t: column c = t / f and row group g = t mod f; the 2^K elements of the
// group in that column are multiplied by U.
template <class T, int K>
__global__ void unitary_left_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                    uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix) {
  const TargetLayout<K> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = static_cast<uint32_t>(dim) * layout.groups;
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    const uint64_t rb = layout.column_base(t);  // the low bits of t number the row group
    if (!controls_hold(rb, control_mask, control_values)) continue;
    multiply_slice<T, K, true>(data + rb * dim + (t >> layout.shift), dim, layout, matrix);
  }
}

// Item t: row r = t / f and column group g = t mod f; the 2^K elements of the
// group in that row are multiplied by U† from the right.
template <class T, int K>
__global__ void unitary_right_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                     uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix) {
  const TargetLayout<K> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = static_cast<uint32_t>(dim) * layout.groups;
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    const uint64_t cb = layout.column_base(t);
    if (!controls_hold(cb, control_mask, control_values)) continue;
    multiply_slice<T, K, false>(data + static_cast<uint64_t>(t >> layout.shift) * dim + cb, 1, layout, matrix);
  }
}

// ---- diagonal ------------------------------------------------------------------

// Uncontrolled: element (r, c) whose row and column differ in the target bit
// is multiplied by p10 (row bit set) or p01 (column bit set); the others are
// not touched.
template <class T>
__global__ void diagonal_free_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, CuComplex<T> p10,
                                     CuComplex<T> p01) {
  const uint64_t c = tile_column();
  const uint64_t r = tile_row();
  const auto dim = static_cast<uint64_t>(dimension);
  if (r >= dim || c >= dim) return;
  const bool row_bit = (r & target_mask) != 0;
  if (row_bit == ((c & target_mask) != 0)) return;
  CuComplex<T>& element = data[r * dim + c];
  element = cmul(element, row_bit ? p10 : p01);
}

template <class T>
__global__ void diagonal_controlled_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask,
                                           uint64_t control_mask, uint64_t control_values, CuComplex<T> diag0,
                                           CuComplex<T> diag1) {
  const uint64_t c = tile_column();
  const uint64_t r = tile_row();
  const auto dim = static_cast<uint64_t>(dimension);
  if (r >= dim || c >= dim) return;
  const CuComplex<T> one{T(1), T(0)};
  const CuComplex<T> a = controls_hold(r, control_mask, control_values) ? ((r & target_mask) ? diag1 : diag0) : one;
  const CuComplex<T> b = controls_hold(c, control_mask, control_values) ? ((c & target_mask) ? diag1 : diag0) : one;
  CuComplex<T>& element = data[r * dim + c];
  element = cmul(element, cmul_conj(a, b));
}

// ---- permutation ---------------------------------------------------------------

// Element (r, c) changes place with (P(r), P(c)); the element that comes first
// in row-major order of each exchanged pair does the exchange.
template <class T>
__global__ void permutation_kernel(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask,
                                   uint64_t control_mask, uint64_t control_values, bool permutation_is_swap) {
  const uint64_t c = tile_column();
  const uint64_t r = tile_row();
  const auto dim = static_cast<uint64_t>(dimension);
  if (r >= dim || c >= dim) return;
  const auto mapped = [&](uint64_t x) {
    if (!controls_hold(x, control_mask, control_values)) return false;
    const uint64_t bits = x & permutation_mask;
    return !permutation_is_swap || (bits != 0 && bits != permutation_mask);
  };
  const bool row_mapped = mapped(r);
  const uint64_t r2 = row_mapped ? r ^ permutation_mask : r;
  const uint64_t c2 = mapped(c) ? c ^ permutation_mask : c;
  if (r2 < r) return;
  if (!row_mapped && c2 <= c) return;
  CuComplex<T>& a = data[r * dim + c];
  CuComplex<T>& b = data[r2 * dim + c2];
  const CuComplex<T> held = a;
  a = b;
  b = held;
}

// ---- launchers -----------------------------------------------------------------

namespace {

template <class T, int K>
void launch_left_right(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, uint64_t control_mask,
                       uint64_t control_values, const CuComplex<T>* matrix, cudaStream_t stream) {
  const dim3 grid = item_grid(static_cast<uint64_t>(dimension) * static_cast<uint64_t>(dimension >> K));
  launch_kernel(&unitary_left_kernel<T, K>, grid, dim3(kItemsPerBlock), 0, stream, data, dimension, targets,
                control_mask, control_values, matrix);
  // The right pass alone would leave ρ·U†, not a state at all: when the left
  // pass did not launch, neither does the right one, and ρ stays as it was.
  check_kernel_launch("unitary");
  launch_kernel(&unitary_right_kernel<T, K>, grid, dim3(kItemsPerBlock), 0, stream, data, dimension, targets,
                control_mask, control_values, matrix);
}

}  // namespace

template <class T>
void launch_density_unitary(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                            uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix,
                            cudaStream_t stream) {
  const auto f = static_cast<uint64_t>(dimension >> targets.count);
  switch (targets.count) {
    case 1:
      launch_kernel(&unitary_merged_kernel<T, 1>, item_grid(f * f), dim3(kItemsPerBlock), 0, stream, data, dimension,
                    targets, control_mask, control_values, matrix);
      break;
    case 2:
      launch_kernel(&unitary_merged_row2_kernel<T>, item_grid(4 * f * f), dim3(kItemsPerBlock), 0, stream, data,
                    dimension, targets, control_mask, control_values, matrix);
      break;
    case 3: launch_left_right<T, 3>(data, dimension, targets, control_mask, control_values, matrix, stream); break;
    case 4: launch_left_right<T, 4>(data, dimension, targets, control_mask, control_values, matrix, stream); break;
    case 5: launch_left_right<T, 5>(data, dimension, targets, control_mask, control_values, matrix, stream); break;
    case 6: launch_left_right<T, 6>(data, dimension, targets, control_mask, control_values, matrix, stream); break;
    default: throw std::runtime_error("GPU density unitary supports at most 6 targets");
  }
  check_kernel_launch("unitary");
}

template <class T>
void launch_density_diagonal(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, uint64_t control_mask,
                             uint64_t control_values, CuComplex<T> diag0, CuComplex<T> diag1, cudaStream_t stream) {
  const dim3 block(kTileX, kTileY);
  if (control_mask != 0) {
    launch_kernel(&diagonal_controlled_kernel<T>, element_grid(dimension), block, 0, stream, data, dimension,
                  target_mask, control_mask, control_values, diag0, diag1);
  } else {
    const CuComplex<T> p10 = cmul_conj(diag1, diag0);
    const CuComplex<T> p01{p10.x, -p10.y};
    launch_kernel(&diagonal_free_kernel<T>, element_grid(dimension), block, 0, stream, data, dimension, target_mask,
                  p10, p01);
  }
  check_kernel_launch("diagonal");
}

template <class T>
void launch_density_permutation(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask,
                                uint64_t control_mask, uint64_t control_values, bool is_swap, cudaStream_t stream) {
  launch_kernel(&permutation_kernel<T>, element_grid(dimension), dim3(kTileX, kTileY), 0, stream, data, dimension,
                permutation_mask, control_mask, control_values, is_swap);
  check_kernel_launch("permutation");
}

#define PLEXAR_INSTANTIATE_UNITARY(T)                                                                             \
  template void launch_density_unitary<T>(CuComplex<T>*, int64_t, const DeviceTargets&, uint64_t, uint64_t,    \
                                          const CuComplex<T>*, cudaStream_t);                                    \
  template void launch_density_diagonal<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>,   \
                                           CuComplex<T>, cudaStream_t);                                          \
  template void launch_density_permutation<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t, bool,        \
                                              cudaStream_t);
PLEXAR_INSTANTIATE_UNITARY(float)
PLEXAR_INSTANTIATE_UNITARY(double)
#undef PLEXAR_INSTANTIATE_UNITARY

}  // namespace zorvane::plexar
