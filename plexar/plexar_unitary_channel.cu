// A one-qubit unitary followed by a built-in channel on the same qubit, in one
// read and one write of each element: the arithmetic of the merged unitary
// kernel, then that of the channel kernel, on the block held in registers.
#include <stdexcept>

#include "density_index.cuh"
#include "plexar_kraus.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/launch.h"

namespace zorvane::plexar {

namespace {

constexpr unsigned int kItemsPerBlock = 256;

}  // namespace

template <class T, int Kind>
__global__ void unitary_channel_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                       const CuComplex<T>* unitary, T p) {
  const auto dim = static_cast<uint64_t>(dimension);
  const auto f = static_cast<uint32_t>(dim >> 1);
  const uint32_t shift = log2_of(f);
  const uint32_t items = f * f;
  const uint64_t tb = target_bit(targets, 0);
  const CuComplex<T> u[4] = {unitary[0], unitary[1], unitary[2], unitary[3]};
  for (uint32_t t = blockIdx.x * blockDim.x + threadIdx.x; t < items; t += gridDim.x * blockDim.x) {
    const uint64_t rb = group_base(t >> shift, tb);
    const uint64_t cb = group_base(t & (f - 1), tb);
    CuComplex<T>* row0 = data + rb * dim;
    CuComplex<T>* row1 = data + (rb | tb) * dim;
    Block2<T> a{{{row0[cb], row0[cb | tb]}, {row1[cb], row1[cb | tb]}}};
    multiply_left(u, a);
    multiply_right_adjoint(u, a);
    apply_channel<Kind>(a, p);
    row0[cb] = a.m[0][0];
    row0[cb | tb] = a.m[0][1];
    row1[cb] = a.m[1][0];
    row1[cb | tb] = a.m[1][1];
  }
}

namespace {

template <class T, int Kind>
void launch_fused(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, const CuComplex<T>* unitary,
                  T p, cudaStream_t stream) {
  const auto f = static_cast<uint64_t>(dimension / 2);
  launch_kernel(&unitary_channel_kernel<T, Kind>, dim3(blocks_for(f * f, kItemsPerBlock)), dim3(kItemsPerBlock), 0,
                stream, data, dimension, targets, unitary, p);
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
