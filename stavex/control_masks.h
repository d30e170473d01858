// Control lists reduced to a mask and a value (an index satisfies the
// controls when index & mask == value), and the qubit checks every gate
// passes before it is launched.
#pragma once

#include <cstdint>
#include <vector>

namespace stavex {

struct ControlMasks {
  uint64_t mask = 0;
  uint64_t value = 0;
};

ControlMasks make_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state);

// Rejects a gate whose targets or controls lie outside [0, n) or whose qubits
// are not all distinct; kernels index amplitudes through these bits and would
// otherwise address memory outside the state or miscount their pairs.
void check_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls);

// What every launcher does first: the control lists' own checks, then the
// qubit checks above, then the masks.
ControlMasks checked_control_masks(uint64_t n, const std::vector<int64_t>& targets,
                                   const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state);

}  // namespace stavex
