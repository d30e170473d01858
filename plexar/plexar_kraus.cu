// General Kraus and built-in channel kernels and their launchers.
#include "plexar_kraus.h"

#include <stdexcept>

#include "density_index.cuh"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"
#include "zorvane/unroll.h"

namespace zorvane::plexar {

// One thread per element (r, c) with neither bit of the target set: it owns
// the 2 × 2 block (r | a·tb, c | b·tb) and applies the channel to it. The other
// three quarters of the threads do nothing.
template <class T, int Kind>
__global__ void channel_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, T p) {
  const uint64_t c = tile_column();
  const uint64_t r = tile_row();
  const auto dim = static_cast<uint64_t>(dimension);
  if (r >= dim || c >= dim || ((r | c) & target_mask) != 0) return;
  Block2<T> a = load_block(data, dim, r, c, target_mask);
  apply_channel<Kind>(a, p);
  store_block(data, dim, r, c, target_mask, a);
}

// Item t: row group t / f and column group t mod f; the D × D block they
// span is replaced by Σ_k K_k·A·K_k†, accumulated in operator order.
template <class T, int K>
__global__ void kraus_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets, int64_t m,
                             const CuComplex<T>* operators) {
  constexpr int D = 1 << K;
  const TargetLayout<K> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = layout.groups * layout.groups;
  const uint64_t* off = layout.offset;
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    CuComplex<T>* block = data + layout.row_base(t) * dim + layout.column_base(t);
    CuComplex<T> a[D][D];
    ZORVANE_UNROLL
    for (int r = 0; r < D; ++r)
      ZORVANE_UNROLL
      for (int c = 0; c < D; ++c) a[r][c] = block[off[r] * dim + off[c]];
    CuComplex<T> sum[D][D];
    ZORVANE_UNROLL
    for (int r = 0; r < D; ++r)
      ZORVANE_UNROLL
      for (int c = 0; c < D; ++c) sum[r][c] = CuComplex<T>{T(0), T(0)};
    for (int64_t k = 0; k < m; ++k) {
      const CuComplex<T>* op = operators + k * D * D;
      CuComplex<T> left[D][D];  // K_k·A
      ZORVANE_UNROLL
      for (int r = 0; r < D; ++r)
        ZORVANE_UNROLL
        for (int c = 0; c < D; ++c) {
          CuComplex<T> acc{T(0), T(0)};
          ZORVANE_UNROLL
          for (int s = 0; s < D; ++s) acc = cadd(acc, cmul(op[r * D + s], a[s][c]));
          left[r][c] = acc;
        }
      ZORVANE_UNROLL
      for (int r = 0; r < D; ++r)
        ZORVANE_UNROLL
        for (int c = 0; c < D; ++c) {
          CuComplex<T> acc{T(0), T(0)};
          ZORVANE_UNROLL
          for (int s = 0; s < D; ++s) acc = cadd(acc, cmul_conj(left[r][s], op[c * D + s]));
          sum[r][c] = cadd(sum[r][c], acc);
        }
    }
    ZORVANE_UNROLL
    for (int r = 0; r < D; ++r)
      ZORVANE_UNROLL
      for (int c = 0; c < D; ++c) block[off[r] * dim + off[c]] = sum[r][c];
  }
}

namespace {

template <class T, int Kind>
void launch_channel_kind(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, T p, cudaStream_t stream) {
  launch_kernel(&channel_kernel<T, Kind>, element_grid(dimension), dim3(kTileX, kTileY), 0, stream, data, dimension,
                target_mask, p);
}

template <class T, int K>
void launch_kraus_targets(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t m,
                          const CuComplex<T>* operators, cudaStream_t stream) {
  const auto f = static_cast<uint64_t>(dimension >> K);
  launch_kernel(&kraus_kernel<T, K>, item_grid(f * f), dim3(kItemsPerBlock), 0, stream, data, dimension, targets, m,
                operators);
}

}  // namespace

template <class T>
void launch_density_channel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, int32_t kind, T p,
                            cudaStream_t stream) {
  const bool known = visit_channel_kind(kind, [&](auto k) {
    launch_channel_kind<T, decltype(k)::value>(data, dimension, target_mask, p, stream);
  });
  if (!known) throw std::runtime_error("unknown noise channel kind");
  check_kernel_launch("channel");
}

template <class T>
void launch_density_kraus(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t m,
                          const CuComplex<T>* operators, cudaStream_t stream) {
  switch (targets.count) {
    case 1: launch_kraus_targets<T, 1>(data, dimension, targets, m, operators, stream); break;
    case 2: launch_kraus_targets<T, 2>(data, dimension, targets, m, operators, stream); break;
    case 3: launch_kraus_targets<T, 3>(data, dimension, targets, m, operators, stream); break;
    default: throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  }
  check_launch("kraus_kernel");
}

template void launch_density_channel<float>(CuComplex<float>*, int64_t, uint64_t, int32_t, float, cudaStream_t);
template void launch_density_channel<double>(CuComplex<double>*, int64_t, uint64_t, int32_t, double, cudaStream_t);
template void launch_density_kraus<float>(CuComplex<float>*, int64_t, const DeviceTargets&, int64_t,
                                          const CuComplex<float>*, cudaStream_t);
template void launch_density_kraus<double>(CuComplex<double>*, int64_t, const DeviceTargets&, int64_t,
                                           const CuComplex<double>*, cudaStream_t);

}  // namespace zorvane::plexar
