// The target record that the unitary, Kraus and channel kernels receive by
// value: the targets in the operation's order and the remaining qubits in
// ascending order. density_index.cuh holds the index arithmetic over it.
#pragma once

#include <cstdint>
#include <vector>

namespace zorvane::plexar {

constexpr int kMaxDeviceTargets = 6;
constexpr int kMaxDeviceOthers = 15;

// Passed to kernels by value. Entries past count (other_count) are never
// read; qubit entries are read as their low 32 bits.
struct DeviceTargets {
  int64_t count = 0;
  int64_t other_count = 0;
  int64_t targets[kMaxDeviceTargets] = {};
  int64_t others[kMaxDeviceOthers] = {};
};

// The record for `targets` (at most six, distinct, below n ≤ 15) on n qubits.
inline DeviceTargets make_device_targets(const std::vector<int64_t>& targets, uint64_t n) {
  DeviceTargets t;
  t.count = static_cast<int64_t>(targets.size());
  uint64_t mask = 0;
  for (size_t j = 0; j < targets.size(); ++j) {
    t.targets[j] = targets[j];
    mask |= uint64_t{1} << targets[j];
  }
  for (uint64_t q = 0; q < n; ++q)
    if (!((mask >> q) & 1u)) t.others[t.other_count++] = static_cast<int64_t>(q);
  return t;
}

}  // namespace zorvane::plexar
