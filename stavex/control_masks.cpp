#include "control_masks.h"

#include <stdexcept>

namespace stavex {

ControlMasks make_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state) {
  if (controls.size() != control_state.size())
    throw std::invalid_argument("controls.size() != control_state.size()");
  ControlMasks masks;
  for (size_t i = 0; i < controls.size(); ++i) {
    if (controls[i] < 0 || controls[i] > 62) throw std::invalid_argument("control qubit index must be in [0, 62]");
    if (control_state[i] != 0 && control_state[i] != 1)
      throw std::invalid_argument("control_state must contain only 0/1");
    const uint64_t bit = uint64_t{1} << controls[i];
    masks.mask |= bit;
    if (control_state[i] == 1) masks.value |= bit;
  }
  return masks;
}

void check_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
  uint64_t seen = 0;
  for (const int64_t t : targets) {
    if (t < 0 || static_cast<uint64_t>(t) >= n)
      throw std::invalid_argument("target qubit index must be in [0, n) for the state's n");
    if (seen & (uint64_t{1} << t)) throw std::invalid_argument("gate qubits must be distinct");
    seen |= uint64_t{1} << t;
  }
  for (const int64_t c : controls) {
    if (c < 0 || static_cast<uint64_t>(c) >= n)
      throw std::invalid_argument("control qubit index must be in [0, n) for the state's n");
    if (seen & (uint64_t{1} << c)) throw std::invalid_argument("gate qubits must be distinct");
    seen |= uint64_t{1} << c;
  }
}

ControlMasks checked_control_masks(uint64_t n, const std::vector<int64_t>& targets,
                                   const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state) {
  const ControlMasks masks = make_control_masks(controls, control_state);
  check_gate_qubits(n, targets, controls);
  return masks;
}

}  // namespace stavex
