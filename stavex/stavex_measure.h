// Measurement of a device state: the outcome distribution over a list of
// target qubits is reduced on the device, then shots are drawn on the host
// from a seeded std::mt19937_64, and optionally the state is collapsed onto
// the last drawn outcome.
//
// Target labels name qubits in the given endian: "little" makes label t bit t
// of the amplitude index, "big" bit n−1−t. The first target is the most
// significant bit of an outcome index, and an outcome's text lists the targets
// in the given order, one '0'/'1' each.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zorvane/cu_complex.h"

namespace stavex {

// Throws invalid_argument for the first invalid argument, in the order n,
// state size, target count, endian, then each target (range, duplicate).
void validate_measure_args(int64_t n, uint64_t num_state, const std::vector<int64_t>& targets,
                           const std::string& endian);

struct SampleResult {
  // Outcome text and how often it was drawn; outcomes never drawn are absent.
  std::vector<std::pair<std::string, uint64_t>> counts;
  // The outcome of the final shot.
  std::string last;
};

// Draws `shots` outcomes of the state on `device_id`; with `collapse_last` the
// state is then projected onto the last outcome and renormalised.
template <class T>
SampleResult sample_measure(uint64_t n, zorvane::CuComplex<T>* state, uint64_t num_state,
                            const std::vector<int64_t>& targets, const std::string& endian, int32_t device_id,
                            uint64_t shots, uint64_t seed, bool collapse_last);

// One shot that collapses the state; returns the outcome text.
template <class T>
std::string measure_once(uint64_t n, zorvane::CuComplex<T>* state, uint64_t num_state,
                         const std::vector<int64_t>& targets, const std::string& endian, int32_t device_id,
                         uint64_t seed);

}  // namespace stavex
