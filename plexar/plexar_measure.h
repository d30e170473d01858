// Projective measurement of a density matrix. The outcome probabilities are
// summed from the diagonal on the device (in double, also for complex64), one
// outcome is drawn on the host from a freshly seeded std::mt19937_64, and ρ is
// projected onto it and renormalised on the device: ρ' = PρP / p.
//
// Outcome numbering and texts are those of zorvane/measure_outcome.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plexar_device_state.h"

namespace zorvane::plexar {

// Throws invalid_argument for the first failing check: qubit count in
// [1, 15], a target at all, the endian text, then each target in list order
// (range, then repetition).
void validate_measure_request(uint64_t num_qubits, const std::vector<int64_t>& targets, const std::string& endian);

// Index of the outcome drawn from unnormalised `probabilities` with one draw
// of MT19937-64 seeded with `seed`, scaled to the total: the first index whose
// running sum reaches the draw, the last index when none does.
uint64_t sample_outcome(const std::vector<double>& probabilities, uint64_t seed);

// Measures `targets` of `state` (its element type decides the precision),
// collapses ρ onto the drawn outcome and returns the outcome text.
std::string measure_density(DeviceDensityState& state, const std::vector<int64_t>& targets,
                            const std::string& endian, uint64_t seed);

}  // namespace zorvane::plexar
