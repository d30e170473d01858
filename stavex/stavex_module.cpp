// The stavex Python module: converts and checks arguments, parses gate lists
// with the interpreter lock held, and releases the lock around device work.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

#include "array_interface.h"
#include "fusion/fusion.h"
#include "fusion/plan_execution.h"
#include "gate_parsing.h"
#include "numpy_state.h"
#include "run_circuit.h"
#include "stavex_device_state.h"
#include "stavex_measure.h"
#include "zorvane/device_text.h"
#include "zorvane/host_transfer.h"
#include "zorvane/python_binding.h"
#include "zorvane/python_input.h"

#if defined(ZORVANE_CPU_LAYER)
#include "cpu_layer/python_controls.h"
#endif

namespace py = pybind11;

namespace stavex {
namespace {

using StatePtr = std::shared_ptr<DeviceState>;

void check_endian(const std::string& endian) {
  if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

uint64_t seed_or_random(const std::optional<uint64_t>& seed) {
  if (seed) return *seed;
  std::random_device device;
  return device();
}

StatePtr state_from_numpy(int64_t n, const py::object& state, const std::string& device, bool use_pinned_host) {
  const int is_double = check_state_array(n, state);
  const int device_id = zorvane::parse_device(device);
  const auto array = py::reinterpret_borrow<py::array>(state);
  const void* host = array.data();
  const auto count = static_cast<uint64_t>(array.size());
  py::gil_scoped_release release;
  auto created = std::make_shared<DeviceState>(static_cast<uint64_t>(n), is_double, device_id);
  created->upload(host, count, use_pinned_host);
  return created;
}

StatePtr zero_state(int64_t n, const std::string& dtype, const std::string& device) {
  const int device_id = zorvane::parse_device(device);
  const int is_double = zorvane::parse_dtype(dtype);
  py::gil_scoped_release release;
  auto created = std::make_shared<DeviceState>(static_cast<uint64_t>(n), is_double, device_id);
  created->init_zero_state();
  return created;
}

py::array to_numpy(const StatePtr& state, bool use_pinned_host) {
  py::array out(py::dtype(state->dtype_name()), std::vector<py::ssize_t>{static_cast<py::ssize_t>(state->num_state)});
  void* host = out.mutable_data();
  {
    py::gil_scoped_release release;
    state->download(host, state->num_state, use_pinned_host);
  }
  return out;
}

void copy_to_numpy(const StatePtr& state, const py::object& target, bool use_pinned_host) {
  check_writable(target);
  const int is_double = check_state_array(static_cast<int64_t>(state->n), target);
  if (is_double != state->is_double) throw std::invalid_argument("numpy state dtype does not match DeviceState");
  auto array = py::reinterpret_borrow<py::array>(target);
  void* host = array.mutable_data();
  const auto count = static_cast<uint64_t>(array.size());
  py::gil_scoped_release release;
  state->download(host, count, use_pinned_host);
}

void run_parsed(const StatePtr& state, const std::vector<GateOp>& ops, KernelMode mode) {
  py::gil_scoped_release release;
  run_on_state(*state, ops, mode);
}

void run_circuit_device(const StatePtr& state, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
  check_endian(endian);
  run_parsed(state, parse_gate_ir(gate_ir), mode);
}

void run_circuit_device_gates(const StatePtr& state, const py::object& gates, const std::string& endian,
                              KernelMode mode) {
  check_endian(endian);
  const std::vector<GateOp> ops = parse_gate_objects(gates);
  if (ops.empty()) return;
  run_parsed(state, ops, mode);
}

using ChunkPtr = std::shared_ptr<PreparedFusionChunk>;

ChunkPtr prepare_fusion_chunk_gates(int64_t n, const py::object& gates, bool fuse_swap, int32_t sparsesharemem_qubits,
                                    int32_t densemm_min_qubits, int32_t densemm_max_qubits,
                                    double densemm_gate_threshold_scale, int32_t max_gates_per_group,
                                    bool pad_sparsesharemem) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  auto chunk = std::make_shared<PreparedFusionChunk>();
  chunk->n = n;
  chunk->gates = parse_gate_objects(gates);
  fusion::FusionOptions options;
  options.sparsesharemem_qubits = sparsesharemem_qubits;
  options.densemm_min_qubits = densemm_min_qubits;
  options.densemm_max_qubits = densemm_max_qubits;
  options.densemm_gate_threshold_scale = densemm_gate_threshold_scale;
  options.max_gates_per_group = max_gates_per_group;
  options.pad_sparsesharemem = pad_sparsesharemem;
  options.fuse_swap = fuse_swap;
  py::gil_scoped_release release;
  chunk->plan = fusion::plan_fusion_groups(n, chunk->gates, options);
  return chunk;
}

void execute_prepared_fusion_chunk(const StatePtr& state, const ChunkPtr& chunk) {
  if (static_cast<int64_t>(state->n) != chunk->n)
    throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
  py::gil_scoped_release release;
  execute_prepared_chunk(*state, *chunk);
}

template <class Work>
auto with_typed_state(DeviceState& state, Work&& work) {
  return state.is_double ? work(static_cast<CuComplex<double>*>(state.data))
                         : work(static_cast<CuComplex<float>*>(state.data));
}

std::string measure_device(const StatePtr& state, const std::vector<int64_t>& targets, const std::string& endian,
                           const std::optional<uint64_t>& seed) {
  check_endian(endian);
  const uint64_t chosen_seed = seed_or_random(seed);
  py::gil_scoped_release release;
  return with_typed_state(*state, [&](auto* data) {
    return measure_once(state->n, data, state->num_state, targets, endian, state->device_id, chosen_seed);
  });
}

// Up to a million entries: built through the C API, without a temporary
// conversion object per key and value. `key` makes the key object of an entry.
template <class Counts, class Key>
py::dict counts_dict(const Counts& counts, Key&& key) {
  py::dict out;
  for (const auto& [outcome, count] : counts) {
    const auto key_object = py::reinterpret_steal<py::object>(key(outcome));
    const auto value = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(count));
    if (!key_object || !value || PyDict_SetItem(out.ptr(), key_object.ptr(), value.ptr()) != 0)
      throw py::error_already_set();
  }
  return out;
}

py::tuple sample_measure_device(const StatePtr& state, const std::vector<int64_t>& targets, uint64_t shots,
                                const std::string& endian, const std::optional<uint64_t>& seed, bool collapse_last) {
  check_endian(endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  const uint64_t chosen_seed = seed_or_random(seed);
  SampleResult result;
  {
    py::gil_scoped_release release;
    result = with_typed_state(*state, [&](auto* data) {
      return sample_measure(state->n, data, state->num_state, targets, endian, state->device_id, shots, chosen_seed,
                            collapse_last);
    });
  }
  const py::dict counts = counts_dict(result.counts, [](const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
  return py::make_tuple(counts, result.last);
}

// A NumPy array that takes over the vector's storage instead of copying it.
py::array_t<double> array_owning(std::vector<double>&& values) {
  auto* owned = new std::vector<double>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
  return py::array_t<double>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

py::array_t<double> outcome_probabilities_device(const StatePtr& state, const std::vector<int64_t>& targets,
                                                 const std::string& endian) {
  check_endian(endian);
  std::vector<double> table;
  {
    py::gil_scoped_release release;
    table = with_typed_state(*state, [&](auto* data) {
      return outcome_probabilities(state->n, data, state->num_state, targets, endian, state->device_id);
    });
  }
  return array_owning(std::move(table));
}

py::tuple draw_outcomes_from_table(const py::object& probabilities, uint64_t shots, uint64_t seed) {
  if (!py::array_t<double>::check_(probabilities) || py::reinterpret_borrow<py::array>(probabilities).ndim() != 1)
    throw std::invalid_argument("probabilities must be a 1-D float64 numpy array");
  // Read with the lock held, so that no other thread changes the table while
  // it is read; the draw itself runs without the lock.
  const auto view = py::reinterpret_borrow<py::array_t<double>>(probabilities).unchecked<1>();
  std::vector<double> table(static_cast<size_t>(view.shape(0)));
  for (py::ssize_t i = 0; i < view.shape(0); ++i) table[static_cast<size_t>(i)] = view(i);
  OutcomeDraws draws;
  {
    py::gil_scoped_release release;
    draws = draw_outcomes(table, shots, seed);
  }
  const py::dict counts = counts_dict(draws.counts, [](uint64_t o) { return PyLong_FromUnsignedLongLong(o); });
  return py::make_tuple(counts, draws.last);
}

void collapse_outcome_device(const StatePtr& state, const std::vector<int64_t>& targets, uint64_t outcome,
                             double probability, const std::string& endian, bool keep) {
  check_endian(endian);
  py::gil_scoped_release release;
  with_typed_state(*state, [&](auto* data) {
    collapse_outcome(state->n, data, state->num_state, targets, endian, state->device_id, outcome, probability,
                     keep);
  });
}

// One side of a range copy and what keeps its memory alive while the
// interpreter lock is released.
struct CopySide {
  AmplitudeBuffer buffer;
  int is_double = 0;
  StatePtr state;        // set for a DeviceState
  py::object owner;      // the array or exporting object
};

CopySide copy_side(const py::object& object, const std::string& side, bool written) {
  CopySide out;
  out.owner = object;
  if (py::isinstance<DeviceState>(object)) {
    out.state = object.cast<StatePtr>();
    out.buffer = AmplitudeBuffer{AmplitudeBuffer::Kind::state, out.state->data, out.state->num_state};
    out.is_double = out.state->is_double;
  } else if (py::isinstance<py::array>(object)) {
    auto array = py::reinterpret_borrow<py::array>(object);
    if (written && !array.writeable()) throw std::invalid_argument("target array must be writable");
    if (array.ndim() != 1 || !(array.flags() & py::array::c_style))
      throw std::invalid_argument(side + " must be a 1-D C-contiguous numpy array");
    out.is_double = dtype_of(object);
    void* data = written ? array.mutable_data() : const_cast<void*>(array.data());
    out.buffer = AmplitudeBuffer{AmplitudeBuffer::Kind::host, data, static_cast<uint64_t>(array.size())};
  } else if (py::hasattr(object, "__cuda_array_interface__")) {
    const ForeignArray foreign = read_cuda_array_interface(object, side);
    if (written && foreign.read_only) throw std::invalid_argument("target __cuda_array_interface__ is read-only");
    out.buffer = AmplitudeBuffer{AmplitudeBuffer::Kind::foreign, foreign.data, foreign.size, foreign.stream};
    out.is_double = foreign.is_double;
  } else {
    throw std::invalid_argument(side +
                                " must be a DeviceState, a numpy array or an object exposing __cuda_array_interface__");
  }
  return out;
}

void copy_range(const py::object& source, uint64_t source_offset, const py::object& target, uint64_t target_offset,
                uint64_t count, bool use_pinned_host) {
  const CopySide from = copy_side(source, "source", false);
  const CopySide to = copy_side(target, "target", true);
  const StatePtr& state = from.state ? from.state : to.state;
  if (!state) throw std::invalid_argument("source or target must be a DeviceState");
  if (from.is_double != to.is_double) throw std::invalid_argument("source and target dtypes differ");
  py::gil_scoped_release release;
  copy_amplitude_range(state->device_id, state->element_bytes(), from.buffer, source_offset, to.buffer,
                       target_offset, count, use_pinned_host);
}

py::array pinned_host_array(uint64_t count, const std::string& dtype, const std::optional<std::string>& device) {
  if (count == 0) throw std::invalid_argument("count must be positive");
  const int is_double = zorvane::parse_dtype(dtype);
  const std::optional<int> device_id =
      device ? std::optional<int>(zorvane::parse_device(*device)) : std::optional<int>();
  const size_t bytes = zorvane::checked_byte_size(count, is_double ? 16 : 8);
  void* host = nullptr;
  {
    py::gil_scoped_release release;
    host = zorvane::allocate_pinned_host(bytes, device_id);
  }
  // The capsule owns the memory from here on, also if making the array fails.
  py::capsule owner(host, [](void* p) { zorvane::free_pinned_host(p); });
  return py::array(py::dtype(is_double ? "complex128" : "complex64"),
                   std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)}, std::vector<py::ssize_t>{}, host,
                   owner);
}

// The NumPy-level functions: a temporary state uploaded and downloaded with
// the lock held; only the run or the measurement releases it. A failure after
// the upload leaves the caller's array as it was.
StatePtr temporary_state(int64_t n, const py::object& state, const std::string& endian, const std::string& device,
                         bool use_pinned_host) {
  check_writable(state);
  check_state_array(n, state, false);
  check_endian(endian);
  const int device_id = zorvane::parse_device(device);
  const int is_double = dtype_of(state);
  auto created = std::make_shared<DeviceState>(static_cast<uint64_t>(n), is_double, device_id);
  const auto array = py::reinterpret_borrow<py::array>(state);
  created->upload(array.data(), static_cast<uint64_t>(array.size()), use_pinned_host);
  return created;
}

void download_into(const StatePtr& device_state, const py::object& state, bool use_pinned_host) {
  auto array = py::reinterpret_borrow<py::array>(state);
  device_state->download(array.mutable_data(), static_cast<uint64_t>(array.size()), use_pinned_host);
}

py::object run_circuit(int64_t n, const py::object& state, const py::list& gate_ir, const std::string& endian,
                       const std::string& device, KernelMode mode, bool use_pinned_host) {
  const StatePtr temporary = temporary_state(n, state, endian, device, use_pinned_host);
  run_circuit_device(temporary, gate_ir, endian, mode);
  download_into(temporary, state, use_pinned_host);
  return state;
}

std::string measure(int64_t n, const py::object& state, const std::vector<int64_t>& targets,
                    const std::string& endian, const std::string& device, bool use_pinned_host) {
  const StatePtr temporary = temporary_state(n, state, endian, device, use_pinned_host);
  std::string outcome = measure_device(temporary, targets, endian, std::nullopt);
  download_into(temporary, state, use_pinned_host);
  return outcome;
}

}  // namespace
}  // namespace stavex

PYBIND11_MODULE(stavex, m) {
  using namespace stavex;
  m.doc() = "CUDA gate backend for zorvane";
  m.attr("backend") = ZORVANE_BACKEND_NAME;
  zorvane::register_whole_text_errors();

  py::enum_<KernelMode>(m, "KernelMode")
      .value("AllState", AllState)
      .value("Pair", Pair)
      .value("PairAuto", PairAuto)
      .value("PairAutoFusion", PairAutoFusion)
      .export_values();

  zorvane::BoundClass<DeviceState>(m, "DeviceState")
      .static_method("from_numpy", &state_from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = "cuda:0",
                     py::arg("use_pinned_host") = false)
      .static_method("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                     py::arg("device") = "cuda:0")
      .method("to_numpy", &to_numpy, py::arg("use_pinned_host") = false)
      .method("copy_to_numpy", &copy_to_numpy, py::arg("state"), py::arg("use_pinned_host") = false)
      .readonly_property("n", [](const DeviceState& s) { return s.n; })
      .readonly_property("num_state", [](const DeviceState& s) { return s.num_state; })
      .readonly_property("device_id", [](const DeviceState& s) { return s.device_id; })
      .readonly_property("dtype", [](const DeviceState& s) { return std::string(s.dtype_name()); })
      .readonly_property("__cuda_array_interface__", &cuda_array_interface);

  zorvane::BoundClass<PreparedFusionChunk>(m, "PreparedFusionChunk")
      .readonly_property("n", [](const PreparedFusionChunk& c) { return c.n; })
      .readonly_property("gate_count", [](const PreparedFusionChunk& c) { return c.gates.size(); });

  m.def("run_circuit_device", &run_circuit_device, py::arg("state").none(false), py::arg("gate_ir"), py::arg("endian") = "little",
        py::arg("mode") = PairAuto, "Run a gate_ir chunk on an existing CUDA DeviceState.");
  m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates, py::arg("n"), py::arg("gates"),
        py::arg("fuse_swap") = true, py::arg("sparsesharemem_qubits") = 10, py::arg("densemm_min_qubits") = 1,
        py::arg("densemm_max_qubits") = 7, py::arg("densemm_gate_threshold_scale") = 1.0,
        py::arg("max_gates_per_group") = 512, py::arg("pad_sparsesharemem") = true,
        "Parse and plan one streamed chunk on the CPU without launching CUDA.");
  m.def("execute_prepared_fusion_chunk", &execute_prepared_fusion_chunk, py::arg("state").none(false),
        py::arg("chunk").none(false), "Execute one CPU-prepared fusion chunk and wait for its CUDA work.");
  m.def("run_circuit_device_gates", &run_circuit_device_gates, py::arg("state").none(false), py::arg("gates"),
        py::arg("endian") = "little", py::arg("mode") = PairAuto,
        "Run a QuantumGate object chunk on an existing CUDA DeviceState.");
  m.def("measure_device", &measure_device, py::arg("state").none(false), py::arg("targets"), py::arg("endian") = "little",
        py::arg("seed") = py::none(), "Measure target qubits on an existing CUDA DeviceState.");
  m.def("sample_measure_device", &sample_measure_device, py::arg("state").none(false), py::arg("targets"), py::arg("shots"),
        py::arg("endian") = "little", py::arg("seed") = py::none(), py::arg("collapse_last") = true,
        "Batch-sample target qubits and optionally collapse to the final outcome.");
  m.def("run_circuit", &run_circuit, py::arg("n"), py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little",
        py::arg("device") = "cuda:0", py::arg("mode") = PairAuto, py::arg("use_pinned_host") = false,
        "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.");
  m.def("measure", &measure, py::arg("n"), py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
        py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false,
        "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
        "returned.");

  m.def(
      "_fusion_chunk_groups",
      [](const ChunkPtr& chunk) {
        py::list out;
        for (const fusion::FusionGroup& g : chunk->plan.groups)
          out.append(py::make_tuple(static_cast<int32_t>(g.kind), g.gate_indices, g.active_qubits));
        return out;
      },
      py::arg("chunk").none(false),
      "The plan of a prepared chunk as (kind, gate indices, active qubits) per group; kind 0 AutoPair, "
      "1 SparseShareMem, 2 DenseMM.");

  // Parts of a measurement, for callers that hold one part of a larger state.
  m.def("_outcome_probabilities", &outcome_probabilities_device, py::arg("state").none(false), py::arg("targets"),
        py::arg("endian") = "little",
        "Unnormalised outcome probabilities of the targets (2**k float64, indexed as sample_measure_device "
        "indexes outcomes), without collapse.");
  m.def("_draw_outcomes", &draw_outcomes_from_table, py::arg("probabilities"), py::arg("shots"), py::arg("seed"),
        "Draw shots from a table of unnormalised outcome probabilities exactly as sample_measure_device draws; "
        "returns (counts by outcome index, last outcome index).");
  m.def("_collapse_outcome", &collapse_outcome_device, py::arg("state").none(false), py::arg("targets"),
        py::arg("outcome"), py::arg("probability"), py::arg("endian") = "little", py::arg("keep") = true,
        "Collapse onto an outcome of the targets with its unnormalised probability (keep=False: zero every "
        "amplitude).");

  m.def("_copy_range", &copy_range, py::arg("source"), py::arg("source_offset"), py::arg("target"),
        py::arg("target_offset"), py::arg("count"), py::arg("use_pinned_host") = false,
        "Copy count amplitudes between a DeviceState and a DeviceState, a 1-D numpy array or an object exposing "
        "__cuda_array_interface__ (the same dtype); returns when the copy is done.");
  m.def("_pinned_host_array", &pinned_host_array, py::arg("count"), py::arg("dtype") = "complex128",
        py::arg("device") = py::none(),
        "A new 1-D numpy array of count elements in page-locked host memory, freed with the array.");

  zorvane::bind_device_queries(m);

#if defined(ZORVANE_CPU_LAYER)
  cpu_layer::bind_python_controls(m);
#endif
}
