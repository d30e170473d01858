// Private module functions that let tests steer the CPU execution layer:
// emulated devices, device memory capacity, injected faults, the lists of live
// device allocations, host registrations, page-locked host allocations and
// cuBLAS handles, and the count of
// kernel launches. Compiled into each module of a CPU build.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpu_layer/control.h"

namespace cpu_layer {

inline FaultKind fault_kind_from_text(const std::string& kind) {
  if (kind == "allocation") return FaultKind::allocation;
  if (kind == "copy") return FaultKind::copy;
  if (kind == "launch") return FaultKind::launch;
  if (kind == "host_register") return FaultKind::host_register;
  if (kind == "cublas_create") return FaultKind::cublas_create;
  if (kind == "cublas_set_stream") return FaultKind::cublas_set_stream;
  if (kind == "cublas_gemm") return FaultKind::cublas_gemm;
  if (kind == "host_allocation") return FaultKind::host_allocation;
  throw std::invalid_argument(
      "fault kind must be 'allocation', 'copy', 'launch', 'host_register', 'cublas_create', 'cublas_set_stream', "
      "'cublas_gemm' or 'host_allocation', got: " + kind);
}

inline void bind_python_controls(pybind11::module_& m) {
  namespace py = pybind11;
  m.def(
      "_cpu_layer_live_allocations",
      [] {
        std::vector<std::pair<int, uint64_t>> out;
        for (const auto& a : live_allocations()) out.emplace_back(a.device, a.bytes);
        return out;
      },
      "Live device allocations of the CPU execution layer as (device, bytes) pairs.");
  m.def(
      "_cpu_layer_inject_fault",
      [](const std::string& kind, uint64_t nth, int error) {
        inject_fault(fault_kind_from_text(kind), nth, static_cast<cudaError_t>(error));
      },
      py::arg("kind"), py::arg("nth") = 1, py::arg("error") = 0,
      "Make the nth next operation of a kind fail (error 0: the kind's usual error).");
  m.def("_cpu_layer_clear_faults", &clear_faults);
  m.def(
      "_cpu_layer_pending_fault", [](const std::string& kind) { return pending_fault(fault_kind_from_text(kind)); },
      py::arg("kind"), "Operations of a kind still to come before its armed fault fires; 0 once it fired or if none.");
  m.def("_cpu_layer_host_registrations", &host_registration_count,
        "Host ranges registered with cudaHostRegister and not unregistered.");
  m.def("_cpu_layer_live_host_allocations", &live_host_allocations,
        "Byte sizes of the page-locked host allocations (cudaHostAlloc) not yet freed.");
  m.def("_cpu_layer_live_cublas_handles", &live_cublas_handles, "cuBLAS handles created and not destroyed.");
  m.def("_cpu_layer_launch_count", &launch_count,
        "Kernel launches run since the module was loaded (refused launches are not counted).");
  m.def("_cpu_layer_set_device_count", &set_device_count, py::arg("count"));
  m.def("_cpu_layer_device_count", &device_count);
  m.def("_cpu_layer_set_memory_capacity", &set_memory_capacity, py::arg("bytes"));
  m.def("_cpu_layer_memory_capacity", &memory_capacity);
}

}  // namespace cpu_layer
