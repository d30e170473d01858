// Measurement kernels and their host flow: the probability table over the
// diagonal, the seeded draw, and the collapse.
#include "plexar_measure.h"

#include <cfloat>
#include <cmath>
#include <random>
#include <stdexcept>

#include <cuda_runtime.h>

#include "density_index.cuh"
#include "zorvane/cu_complex.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/device_buffer.h"
#include "zorvane/launch.h"
#include "zorvane/measure_outcome.h"

namespace zorvane::plexar {

// probs[outcome(i)] += Re ρ(i, i) over the diagonal, widened to double.
template <class T>
__global__ void density_measure_probs_kernel(int64_t n, const CuComplex<T>* rho, const int64_t* targets, int64_t k,
                                             bool little, double* probs) {
  const uint64_t stride = static_cast<uint64_t>(blockDim.x) * gridDim.x;
  for (uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; (i >> n) == 0; i += stride) {
    atomicAdd(&probs[outcome_of(i, n, targets, k, little)], static_cast<double>(rho[(i << n) + i].x));
  }
}

// Keeps the elements whose row and column both show `outcome`, scaled by
// `scale` in double; every other element becomes zero.
template <class T>
__global__ void density_measure_collapse_kernel(int64_t n, CuComplex<T>* rho, const int64_t* targets, int64_t k,
                                                bool little, uint64_t outcome, double scale) {
  const uint64_t c = tile_column();
  const uint64_t r = tile_row();
  if (((r | c) >> n) != 0) return;
  CuComplex<T>& element = rho[(r << n) + c];
  if (outcome_of(r, n, targets, k, little) == outcome && outcome_of(c, n, targets, k, little) == outcome) {
    element.x = static_cast<T>(static_cast<double>(element.x) * scale);
    element.y = static_cast<T>(static_cast<double>(element.y) * scale);
  } else {
    element = CuComplex<T>{T(0), T(0)};
  }
}

void validate_measure_request(uint64_t num_qubits, const std::vector<int64_t>& targets, const std::string& endian) {
  if (num_qubits < 1 || num_qubits > kMaxDensityQubits) throw std::invalid_argument("num_qubits must be in [1, 15]");
  if (targets.empty()) throw std::invalid_argument("measure targets must not be empty");
  if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
  uint64_t seen = 0;
  for (const int64_t t : targets) {
    if (t < 0 || static_cast<uint64_t>(t) >= num_qubits)
      throw std::invalid_argument("measure target index out of range");
    const uint64_t bit = uint64_t{1} << t;
    if (seen & bit) throw std::invalid_argument("duplicate measure target index");
    seen |= bit;
  }
}

uint64_t sample_outcome(const std::vector<double>& probabilities, uint64_t seed) {
  double total = 0.0;
  for (const double p : probabilities) total += p;
  if (!(total > 0) || !std::isfinite(total)) throw std::runtime_error("density matrix has zero or invalid trace.");
  std::mt19937_64 engine(seed);
  const double upper = std::nextafter(total, DBL_MAX);
  const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53 * upper;
  double running = 0.0;
  for (uint64_t i = 0; i < probabilities.size(); ++i) {
    running += probabilities[i];
    if (u <= running) return i;
  }
  return probabilities.size() - 1;
}

namespace {

template <class T>
std::string measure_typed(DeviceDensityState& state, const std::vector<int64_t>& targets, const std::string& endian,
                          uint64_t seed) {
  validate_measure_request(state.num_qubits, targets, endian);
  check_cuda(cudaSetDevice(state.device_id));

  const auto k = static_cast<int64_t>(targets.size());
  const uint64_t outcomes = uint64_t{1} << k;
  // Declared in this order, so an error frees the probabilities, then the labels.
  DeviceBuffer<int64_t> labels(static_cast<uint64_t>(k));
  DeviceBuffer<double> probs(outcomes);
  check_cuda(cudaMemcpy(labels.get(), targets.data(), targets.size() * sizeof(int64_t), cudaMemcpyHostToDevice));
  check_cuda(cudaMemset(probs.get(), 0, outcomes * sizeof(double)));

  const auto n = static_cast<int64_t>(state.num_qubits);
  const bool little = endian == "little";
  auto* rho = static_cast<CuComplex<T>*>(state.data);
  launch_kernel(&density_measure_probs_kernel<T>, item_grid(static_cast<uint64_t>(state.dimension)),
                dim3(kItemsPerBlock), 0, nullptr, n, rho, labels.get(), k, little, probs.get());
  check_last_cuda_error();

  std::vector<double> table(outcomes);
  check_cuda(cudaMemcpy(table.data(), probs.get(), outcomes * sizeof(double), cudaMemcpyDeviceToHost));
  const uint64_t index = sample_outcome(table, seed);
  const double p = table[index];
  if (!(p > 0)) throw std::runtime_error("Selected measurement probability is zero.");

  launch_kernel(&density_measure_collapse_kernel<T>, element_grid(state.dimension), dim3(kTileX, kTileY), 0, nullptr,
                n, rho, labels.get(), k, little, index, 1.0 / p);
  check_last_cuda_error();

  probs.release();
  labels.release();
  return outcome_text(index, static_cast<uint64_t>(k));
}

}  // namespace

std::string measure_density(DeviceDensityState& state, const std::vector<int64_t>& targets, const std::string& endian,
                            uint64_t seed) {
  return state.is_double ? measure_typed<double>(state, targets, endian, seed)
                         : measure_typed<float>(state, targets, endian, seed);
}

}  // namespace zorvane::plexar
