// The state of the plexar module: the density matrix ρ of n qubits (0 ≤ n ≤
// 15) as one dense, row-major 2^n × 2^n matrix of CuComplex<float> or
// CuComplex<double> on one CUDA device. Element (r, c) sits at (r << n) + c;
// qubit q is bit q of both the row and the column index. Every operation
// selects the state's device first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zorvane::plexar {

constexpr uint64_t kMaxDensityQubits = 15;

struct DeviceDensityState {
  uint64_t num_qubits = 0;
  int64_t dimension = 0;
  int64_t num_elements = 0;
  int32_t is_double = 0;
  int32_t device_id = 0;
  void* data = nullptr;

  // Rejects num_qubits above 15 (a negative count from Python arrives as a
  // huge unsigned number) before touching the device; then selects the device
  // and allocates. The contents are undefined until filled.
  DeviceDensityState(uint64_t num_qubits, int32_t is_double, int32_t device_id);
  ~DeviceDensityState();
  DeviceDensityState(const DeviceDensityState&) = delete;
  DeviceDensityState& operator=(const DeviceDensityState&) = delete;

  // ρ = |0…0⟩⟨0…0|.
  void init_zero_state();
  // Whole-matrix copies from and to a host array of num_elements elements.
  void upload(const void* host, uint64_t count, bool use_pinned_host);
  void download(void* host, uint64_t count, bool use_pinned_host);
  const char* dtype_name() const;
  // A new state on the same device holding a device-to-device copy of ρ.
  std::unique_ptr<DeviceDensityState> clone_state() const;

  size_t element_bytes() const { return is_double ? 16 : 8; }
  size_t byte_size() const { return static_cast<size_t>(num_elements) * element_bytes(); }
};

}  // namespace zorvane::plexar
