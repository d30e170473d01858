// Measurement of a device state: the outcome distribution over a list of
// target qubits is reduced on the device, then shots are drawn on the host
// from a seeded std::mt19937_64, and optionally the state is collapsed onto
// the last drawn outcome.
//
// Target labels name qubits in the given endian: "little" makes label t bit t
// of the amplitude index, "big" bit n−1−t. The first target is the most
// significant bit of an outcome index, and an outcome's text lists the targets
// in the given order, one '0'/'1' each.
//
// The three steps are also entry points of their own, so that a caller holding
// one part of a larger state (one rank of a distributed state) can reduce its
// table, draw from the sum of all parts' tables exactly as sample_measure
// draws from one, and collapse its part onto the outcome drawn.
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

// The 2^k unnormalised outcome probabilities of `targets`, indexed by outcome,
// from the same kernel as sample_measure; the state is only read. Arguments
// are checked by validate_measure_args.
template <class T>
std::vector<double> outcome_probabilities(uint64_t n, const zorvane::CuComplex<T>* state, uint64_t num_state,
                                          const std::vector<int64_t>& targets, const std::string& endian,
                                          int32_t device_id);

struct OutcomeDraws {
  // (outcome index, count) for the outcomes drawn: in increasing index when
  // counted densely, in hash-map order otherwise.
  std::vector<std::pair<uint64_t, uint64_t>> counts;
  uint64_t last = 0;
};

// The host draw of sample_measure: `table` (unnormalised probabilities, a
// power-of-two count of non-negative entries) is replaced by its running sums,
// then `shots` outcomes are drawn from MT19937-64 seeded with `seed`. Throws
// invalid_argument for a table size that is no power of two, a negative entry
// or no shots, runtime_error when the total is not a positive finite number.
OutcomeDraws draw_outcomes(std::vector<double>& table, uint64_t shots, uint64_t seed);

// The collapse of sample_measure onto `outcome` of `targets` (which may be
// empty: then every amplitude is scaled) with the unnormalised `probability`
// of that outcome: with `keep`, amplitudes of the outcome are scaled by
// 1/sqrt(probability), all others zeroed; without, every amplitude is zeroed.
// Checks, in order: the labels as validate_measure_args does (up to 62 of
// them, none required), outcome < 2^k (invalid_argument), probability > 0
// (runtime_error "Selected measurement probability is zero.", as in
// sample_measure) and finite (invalid_argument).
template <class T>
void collapse_outcome(uint64_t n, zorvane::CuComplex<T>* state, uint64_t num_state,
                      const std::vector<int64_t>& targets, const std::string& endian, int32_t device_id,
                      uint64_t outcome, double probability, bool keep);

}  // namespace stavex
