// A one-qubit unitary followed by a built-in channel on the same qubit, in one
// read and one write of each element: the arithmetic of the merged unitary
// kernel, then that of the channel kernel, on the block held in registers.
#include <stdexcept>

#include "density_index.cuh"
#include "plexar_kraus.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace zorvane::plexar {

template <class T, int Kind>
__global__ void unitary_channel_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                       const CuComplex<T>* unitary, T p) {
  const TargetLayout<1> layout(dimension, targets);
  const auto dim = static_cast<uint64_t>(dimension);
  const uint32_t items = layout.groups * layout.groups;
  const CuComplex<T> u[4] = {unitary[0], unitary[1], unitary[2], unitary[3]};
  for (uint32_t t = first_item(); t < items; t += item_stride()) {
    const uint64_t rb = layout.row_base(t);
    const uint64_t cb = layout.column_base(t);
    Block2<T> a = load_block(data, dim, rb, cb, layout.mask);
    multiply_left(u, a);
    multiply_right_adjoint(u, a);
    apply_channel<Kind>(a, p);
    store_block(data, dim, rb, cb, layout.mask, a);
  }
}

namespace {

template <class T, int Kind>
void launch_fused(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, const CuComplex<T>* unitary,
                  T p, cudaStream_t stream) {
  const auto f = static_cast<uint64_t>(dimension / 2);
  launch_kernel(&unitary_channel_kernel<T, Kind>, item_grid(f * f), dim3(kItemsPerBlock), 0, stream, data, dimension,
                targets, unitary, p);
}

}  // namespace

template <class T>
void launch_density_unitary_channel(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                                    const CuComplex<T>* unitary, int32_t kind, T p, cudaStream_t stream) {
  const bool known = visit_channel_kind(kind, [&](auto k) {
    launch_fused<T, decltype(k)::value>(data, dimension, targets, unitary, p, stream);
  });
  if (!known) throw std::runtime_error("unknown noise channel kind");
  check_kernel_launch("unitary_channel");
}

template void launch_density_unitary_channel<float>(CuComplex<float>*, int64_t, const DeviceTargets&,
                                                    const CuComplex<float>*, int32_t, float, cudaStream_t);
template void launch_density_unitary_channel<double>(CuComplex<double>*, int64_t, const DeviceTargets&,
                                                     const CuComplex<double>*, int32_t, double, cudaStream_t);

}  // namespace zorvane::plexar
