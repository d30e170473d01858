// The plexar Python module: converts and checks arguments with the interpreter
// lock held, parses operation lists, and releases the lock around device work.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "density_fusion.h"
#include "operation_parsing.h"
#include "plexar_device_state.h"
#include "plexar_measure.h"
#include "run_density.h"
#include "zorvane/device_text.h"
#include "zorvane/python_binding.h"
#include "zorvane/python_input.h"

#if defined(ZORVANE_CPU_LAYER)
#include "cpu_layer/python_controls.h"
#endif

namespace py = pybind11;

namespace zorvane::plexar {
namespace {

using StatePtr = std::shared_ptr<DeviceDensityState>;

void check_qubit_count(int64_t n) {
  if (n < 0 || n > static_cast<int64_t>(kMaxDensityQubits))
    throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
}

// Checks in order: qubit count, shape, contiguity, writability, element type,
// then the device text. The array is never converted.
StatePtr from_numpy(int64_t n, const py::array& state, const std::string& device) {
  check_qubit_count(n);
  const auto dimension = static_cast<py::ssize_t>(1) << n;
  if (state.ndim() != 2 || state.shape(0) != dimension || state.shape(1) != dimension)
    throw std::invalid_argument("state shape must be (2**n, 2**n)");
  if (!(state.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
  if (!state.writeable()) throw std::invalid_argument("state must be writable");
  const int is_double = parse_dtype(py::str(state.dtype()));
  const int device_id = parse_device(device);
  auto created = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n), is_double, device_id);
  const void* host = state.data();
  const auto count = static_cast<uint64_t>(state.size());
  {
    py::gil_scoped_release release;
    created->upload(host, count, false);
  }
  return created;
}

StatePtr zero_state(int64_t n, const std::string& dtype, const std::string& device) {
  const int device_id = parse_device(device);
  const int is_double = parse_dtype(dtype);
  auto created = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n), is_double, device_id);
  {
    py::gil_scoped_release release;
    created->init_zero_state();
  }
  return created;
}

py::array to_numpy(const StatePtr& state) {
  const auto dimension = static_cast<py::ssize_t>(state->dimension);
  py::array out(py::dtype(state->dtype_name()), std::vector<py::ssize_t>{dimension, dimension});
  void* host = out.mutable_data();
  {
    py::gil_scoped_release release;
    state->download(host, static_cast<uint64_t>(state->num_elements), false);
  }
  return out;
}

StatePtr copy_state(const StatePtr& state) { return StatePtr(state->clone_state()); }

void run_density_operations_device(const StatePtr& state, int64_t num_qubits, const py::iterable& operations) {
  const std::vector<DensityOperation> parsed = parse_operations(operations);
  if (parsed.empty()) return;
  py::gil_scoped_release release;
  run_density_operations(*state, num_qubits, parsed);
}

// None: one 32-bit value of the non-deterministic random device. Otherwise an
// unsigned 64-bit integer; floats, negative or too large numbers and other
// types fail with the binding library's cast error.
uint64_t seed_from(const py::object& seed) {
  if (seed.is_none()) {
    std::random_device device;
    return device();
  }
  return py::cast<uint64_t>(seed);
}

// The targets are converted with the arguments: a value that is not a
// sequence of integers matches no signature (TypeError), as in stavex.
std::string measure_device(const StatePtr& state, const std::vector<int64_t>& targets, const std::string& endian,
                           const py::object& seed) {
  if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
  const uint64_t chosen_seed = seed_from(seed);
  py::gil_scoped_release release;
  return measure_density(*state, targets, endian, chosen_seed);
}

py::list density_fusion_groups(int64_t num_qubits, const py::iterable& operations) {
  check_qubit_count(num_qubits);
  const std::vector<DensityOperation> parsed = parse_operations(operations);
  std::vector<DensityFusionGroup> plan;
  {
    py::gil_scoped_release release;
    // The checks of a run first: the planner takes checked operations.
    std::vector<CuComplex<double>> pool;
    for (const DensityOperation& op : parsed) (void)prepare_operation<double>(op, num_qubits, pool);
    if (density_fusion_applies(num_qubits))
      plan = plan_density_fusion(num_qubits, parsed, density_fusion_options(num_qubits));
  }
  py::list out;
  for (const DensityFusionGroup& g : plan)
    out.append(py::make_tuple(static_cast<int32_t>(g.kind), g.op_indices, g.active_qubits));
  return out;
}

}  // namespace
}  // namespace zorvane::plexar

PYBIND11_MODULE(plexar, m) {
  using namespace zorvane::plexar;
  m.doc() = "CUDA dense density-matrix backend for zorvane";
  m.attr("backend") = ZORVANE_BACKEND_NAME;
  zorvane::register_whole_text_errors();

  zorvane::BoundClass<DeviceDensityState>(m, "DeviceDensityState")
      .static_method("from_numpy", &from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = "cuda:0")
      .static_method("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                     py::arg("device") = "cuda:0")
      .method("to_numpy", &to_numpy)
      .method("copy", &copy_state)
      .readonly_property("num_qubits", [](const DeviceDensityState& s) { return s.num_qubits; })
      .readonly_property("dimension", [](const DeviceDensityState& s) { return s.dimension; })
      .readonly_property("dtype", [](const DeviceDensityState& s) { return std::string(s.dtype_name()); })
      .readonly_property("device_id", [](const DeviceDensityState& s) { return s.device_id; });

  m.def("run_density_operations_device", &run_density_operations_device, py::arg("state").none(false),
        py::arg("num_qubits"), py::arg("operations"));
  m.def("measure_device", &measure_device, py::arg("state").none(false), py::arg("targets"),
        py::arg("endian") = "little", py::arg("seed") = py::none());

  m.def("_density_fusion_groups", &density_fusion_groups, py::arg("num_qubits"), py::arg("operations"),
        "The groups a fused run of the operations executes, as (kind, operation indices, active qubits); kind 0 "
        "Single, 1 SingleQubit, 2 SparseShareMem, 3 Sequential. Empty below 5 qubits, where runs are not fused.");

  zorvane::bind_device_queries(m);

#if defined(ZORVANE_CPU_LAYER)
  cpu_layer::bind_python_controls(m);
#endif
}
