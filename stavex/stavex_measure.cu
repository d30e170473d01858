// Measurement: the device sums |amplitude|² into one double per outcome, the
// host draws shots from the running sums, and the collapse kernel keeps the
// amplitudes of the chosen outcome, rescaled to unit norm.
#include "stavex_measure.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include <cuda_runtime.h>

#include "launch_blocks.h"
#include "zorvane/bit_index.h"
#include "zorvane/cuda_errors.h"
#include "zorvane/device_buffer.h"
#include "zorvane/launch.h"
#include "zorvane/measure_outcome.h"

namespace stavex {

using zorvane::CuComplex;
using zorvane::outcome_of;
using zorvane::outcome_text;

namespace {

// Hash-map counting reserves for at most this many distinct outcomes up front.
constexpr uint64_t kMaxReservedOutcomes = uint64_t{1} << 20;
// Outcomes per block of the two-step search over the running sums.
constexpr uint64_t kSearchBlock = 64;

}  // namespace

template <class T>
__global__ void measure_probs_kernel(int64_t n, const CuComplex<T>* state, const int64_t* targets, int64_t k,
                                     bool little_endian, double* probs) {
  const uint64_t count = uint64_t{1} << n;
  for (uint64_t i = zorvane::global_thread_index(); i < count; i += zorvane::grid_thread_count()) {
    const uint64_t o = outcome_of(i, n, targets, k, little_endian);
    // Widened before squaring: complex64 probabilities are summed in double.
    const double re = static_cast<double>(state[i].x);
    const double im = static_cast<double>(state[i].y);
    atomicAdd(&probs[o], re * re + im * im);
  }
}

template <class T>
__global__ void measure_collapse_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets, int64_t k,
                                        bool little_endian, uint64_t outcome, T scale) {
  const uint64_t count = uint64_t{1} << n;
  for (uint64_t i = zorvane::global_thread_index(); i < count; i += zorvane::grid_thread_count()) {
    if (outcome_of(i, n, targets, k, little_endian) == outcome) {
      state[i].x *= scale;
      state[i].y *= scale;
    } else {
      state[i] = CuComplex<T>{T(0), T(0)};
    }
  }
}

namespace {

// The label checks of measurement; `min_targets` is 1 for a measurement and 0
// for a collapse, which may name no qubit.
void validate_labels(int64_t n, uint64_t num_state, const std::vector<int64_t>& targets, const std::string& endian,
                     size_t min_targets) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  if (num_state != uint64_t{1} << n) throw std::invalid_argument("state size does not match 2**n");
  if (targets.size() < min_targets || targets.size() > 62)
    throw std::invalid_argument(min_targets == 0 ? "measure targets size must be in [0, 62]"
                                                 : "measure targets size must be in [1, 62]");
  if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
  uint64_t seen = 0;
  for (const int64_t t : targets) {
    if (t < 0 || t >= n) throw std::invalid_argument("measure target index out of range");
    const uint64_t bit = uint64_t{1} << t;
    if (seen & bit) throw std::invalid_argument("duplicate measure target index");
    seen |= bit;
  }
}

// Any n above 62 is reported as out of range, never wrapped into it.
int64_t clamped_qubits(uint64_t n) { return static_cast<int64_t>(std::min<uint64_t>(n, 63)); }

// The device side of one measurement: the labels and, when `outcomes` is not
// zero, the table the probability kernel sums into. Both are freed on every
// path, with checked frees by release().
struct MeasureBuffers {
  zorvane::DeviceBuffer<int64_t> labels;
  zorvane::DeviceBuffer<double> table;

  MeasureBuffers(const std::vector<int64_t>& targets, uint64_t outcomes) {
    const uint64_t k = targets.size();
    // The table is allocated on the device before anything of its size on the
    // host: a table too large for any memory fails here as "out of memory".
    labels = zorvane::DeviceBuffer<int64_t>(k);
    if (outcomes != 0) table = zorvane::DeviceBuffer<double>(outcomes);
    zorvane::check_cuda(cudaMemcpy(labels.get(), targets.data(), zorvane::checked_byte_size(k, sizeof(int64_t)),
                                   cudaMemcpyHostToDevice));
    if (outcomes != 0)
      zorvane::check_cuda(cudaMemset(table.get(), 0, zorvane::checked_byte_size(outcomes, sizeof(double))));
  }

  void release() {
    labels.release();
    table.release();
  }
};

// Launches the probability kernel into the zeroed table and copies the table
// to the host (the synchronous copy also waits for the kernel).
template <class T>
std::vector<double> reduce_table(MeasureBuffers& buffers, uint64_t n, const CuComplex<T>* state, uint64_t num_state,
                                 int64_t k, bool little) {
  const unsigned int blocks = zorvane::grid_stride_blocks(num_state, kMeasureBlock);
  zorvane::launch_kernel(&measure_probs_kernel<T>, dim3(blocks), dim3(kMeasureBlock), 0, nullptr,
                         static_cast<int64_t>(n), state, static_cast<const int64_t*>(buffers.labels.get()), k, little,
                         buffers.table.get());
  zorvane::check_last_cuda_error();
  const uint64_t outcomes = buffers.table.size();
  std::vector<double> table(outcomes);
  zorvane::check_cuda(cudaMemcpy(table.data(), buffers.table.get(), outcomes * sizeof(double), cudaMemcpyDeviceToHost));
  return table;
}

// The collapse scale is 1/sqrt(p) in double, then rounded to the state's type.
template <class T>
void launch_collapse(uint64_t n, CuComplex<T>* state, uint64_t num_state, const int64_t* labels, int64_t k,
                     bool little, uint64_t outcome, double probability) {
  const T scale = static_cast<T>(1.0 / std::sqrt(probability));
  const unsigned int blocks = zorvane::grid_stride_blocks(num_state, kMeasureBlock);
  zorvane::launch_kernel(&measure_collapse_kernel<T>, dim3(blocks), dim3(kMeasureBlock), 0, nullptr,
                         static_cast<int64_t>(n), state, labels, k, little, outcome, scale);
  zorvane::check_last_cuda_error();
}

void check_selected_probability(double p) {
  if (!(p > 0)) throw std::runtime_error("Selected measurement probability is zero.");
}

}  // namespace

void validate_measure_args(int64_t n, uint64_t num_state, const std::vector<int64_t>& targets,
                           const std::string& endian) {
  validate_labels(n, num_state, targets, endian, 1);
}

OutcomeDraws draw_outcomes(std::vector<double>& cum, uint64_t shots, uint64_t seed) {
  const uint64_t outcomes = cum.size();
  if (outcomes == 0 || (outcomes & (outcomes - 1)) != 0)
    throw std::invalid_argument("probabilities size must be a power of two");
  // Negative entries would make the running sums decrease, and the search
  // below relies on their order.
  if (std::any_of(cum.begin(), cum.end(), [](double p) { return p < 0; }))
    throw std::invalid_argument("probabilities must be non-negative");
  if (shots == 0) throw std::invalid_argument("shots must be positive");

  // Running sums in place: cum[o] is the probability of outcomes 0..o.
  for (uint64_t o = 1; o < outcomes; ++o) cum[o] += cum[o - 1];
  const double total = cum.back();
  if (!(total > 0) || std::isinf(total) || std::isnan(total))
    throw std::runtime_error("Quantum state has zero or invalid norm.");

  // The first running sum above x is searched in two steps, first over the
  // last sum of every block of kSearchBlock outcomes (a table small enough to
  // stay in cache), then inside the one block that holds it; the sums never
  // decrease, so this finds exactly what one search over all of them finds.
  std::vector<double> block_last((outcomes + kSearchBlock - 1) / kSearchBlock);
  for (uint64_t b = 0; b < block_last.size(); ++b) block_last[b] = cum[std::min((b + 1) * kSearchBlock, outcomes) - 1];
  auto first_sum_above = [&](double x) -> uint64_t {
    const auto block = std::upper_bound(block_last.begin(), block_last.end(), x);
    if (block == block_last.end()) return outcomes - 1;  // x at or beyond the total: the last outcome
    const uint64_t begin = static_cast<uint64_t>(block - block_last.begin()) * kSearchBlock;
    const uint64_t end = std::min(begin + kSearchBlock, outcomes);
    return static_cast<uint64_t>(std::upper_bound(cum.begin() + begin, cum.begin() + end, x) - cum.begin());
  };

  // Draws scale by the total, so an unnormalised state samples as its
  // normalised form.
  std::mt19937_64 engine(seed);
  auto draw = [&]() -> uint64_t {
    const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53;
    return first_sum_above(u * total);
  };

  OutcomeDraws result;
  uint64_t last = 0;
  if (outcomes < shots) {
    // Fewer outcomes than shots: a dense counter per outcome is the smaller table.
    std::vector<uint64_t> dense(outcomes, 0);
    for (uint64_t s = 0; s < shots; ++s) ++dense[last = draw()];
    for (uint64_t o = 0; o < outcomes; ++o)
      if (dense[o] != 0) result.counts.emplace_back(o, dense[o]);
  } else {
    std::unordered_map<uint64_t, uint64_t> sparse;
    sparse.reserve(std::min(shots, kMaxReservedOutcomes));
    for (uint64_t s = 0; s < shots; ++s) ++sparse[last = draw()];
    result.counts.assign(sparse.begin(), sparse.end());
  }
  result.last = last;
  return result;
}

template <class T>
SampleResult sample_measure(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<int64_t>& targets,
                            const std::string& endian, int32_t device_id, uint64_t shots, uint64_t seed,
                            bool collapse_last) {
  validate_measure_args(clamped_qubits(n), num_state, targets, endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");

  const int64_t k = static_cast<int64_t>(targets.size());
  const bool little = endian == "little";

  zorvane::check_cuda(cudaSetDevice(device_id));
  MeasureBuffers buffers(targets, uint64_t{1} << k);
  std::vector<double> cum = reduce_table<T>(buffers, n, state, num_state, k, little);
  const OutcomeDraws draws = draw_outcomes(cum, shots, seed);

  SampleResult result;
  result.counts.reserve(draws.counts.size());
  for (const auto& [o, c] : draws.counts) result.counts.emplace_back(outcome_text(o, k), c);
  result.last = outcome_text(draws.last, k);

  if (collapse_last) {
    const uint64_t last = draws.last;
    const double p = cum[last] - (last ? cum[last - 1] : 0.0);
    check_selected_probability(p);
    launch_collapse<T>(n, state, num_state, buffers.labels.get(), k, little, last, p);
  }

  buffers.release();
  return result;
}

template <class T>
std::string measure_once(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<int64_t>& targets,
                         const std::string& endian, int32_t device_id, uint64_t seed) {
  return sample_measure<T>(n, state, num_state, targets, endian, device_id, 1, seed, true).last;
}

template <class T>
std::vector<double> outcome_probabilities(uint64_t n, const CuComplex<T>* state, uint64_t num_state,
                                          const std::vector<int64_t>& targets, const std::string& endian,
                                          int32_t device_id) {
  validate_measure_args(clamped_qubits(n), num_state, targets, endian);
  const int64_t k = static_cast<int64_t>(targets.size());
  zorvane::check_cuda(cudaSetDevice(device_id));
  MeasureBuffers buffers(targets, uint64_t{1} << k);
  std::vector<double> table = reduce_table<T>(buffers, n, state, num_state, k, endian == "little");
  buffers.release();
  return table;
}

template <class T>
void collapse_outcome(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<int64_t>& targets,
                      const std::string& endian, int32_t device_id, uint64_t outcome, double probability, bool keep) {
  validate_labels(clamped_qubits(n), num_state, targets, endian, 0);
  const int64_t k = static_cast<int64_t>(targets.size());
  if (outcome >> k != 0) throw std::invalid_argument("outcome must be in [0, 2**k)");
  check_selected_probability(probability);
  if (std::isinf(probability)) throw std::invalid_argument("probability must be finite");

  zorvane::check_cuda(cudaSetDevice(device_id));
  if (!keep) {
    // The outcome lies in another part of the state: nothing of this one stays.
    zorvane::check_cuda(cudaMemset(state, 0, zorvane::checked_byte_size(num_state, sizeof(CuComplex<T>))));
    return;
  }
  if (k == 0) {
    // No label to compare: every amplitude belongs to outcome 0.
    launch_collapse<T>(n, state, num_state, nullptr, 0, endian == "little", 0, probability);
    return;
  }
  MeasureBuffers buffers(targets, 0);
  launch_collapse<T>(n, state, num_state, buffers.labels.get(), k, endian == "little", outcome, probability);
  buffers.release();
}

#define STAVEX_MEASURE_INSTANTIATE(T)                                                                               \
  template SampleResult sample_measure<T>(uint64_t, CuComplex<T>*, uint64_t, const std::vector<int64_t>&,          \
                                          const std::string&, int32_t, uint64_t, uint64_t, bool);                  \
  template std::string measure_once<T>(uint64_t, CuComplex<T>*, uint64_t, const std::vector<int64_t>&,             \
                                       const std::string&, int32_t, uint64_t);                                     \
  template std::vector<double> outcome_probabilities<T>(uint64_t, const CuComplex<T>*, uint64_t,                   \
                                                        const std::vector<int64_t>&, const std::string&, int32_t); \
  template void collapse_outcome<T>(uint64_t, CuComplex<T>*, uint64_t, const std::vector<int64_t>&,                \
                                    const std::string&, int32_t, uint64_t, double, bool);

STAVEX_MEASURE_INSTANTIATE(float)
STAVEX_MEASURE_INSTANTIATE(double)

#undef STAVEX_MEASURE_INSTANTIATE

}  // namespace stavex
