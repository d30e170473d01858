#include "gate_parsing.h"

#include <pybind11/numpy.h>

#include <complex>
#include <stdexcept>
#include <string>

namespace stavex {

namespace py = pybind11;

namespace {

// Lists and tuples are read through the fast sequence protocol; any other
// iterable is walked with the iterator protocol.
template <class Element>
std::vector<Element> to_vector(const py::handle& values) {
  std::vector<Element> out;
  if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(values.ptr());
    PyObject** items = PySequence_Fast_ITEMS(values.ptr());
    out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) out.push_back(py::cast<Element>(py::handle(items[i])));
    return out;
  }
  for (const py::handle item : py::iter(values)) out.push_back(py::cast<Element>(item));
  return out;
}

// The shared steps of both forms once the five fields are read: rewriting,
// the name lookup, then the matrix of a UNITARY gate.
template <class ReadField>
GateOp parse_one(ReadField&& read, bool parameter_may_be_none) {
  GateOp op;
  op.name = py::cast<std::string>(read("id"));
  op.targets = to_vector<int64_t>(read("target"));
  op.controls = to_vector<int64_t>(read("control"));
  op.control_state = to_vector<int64_t>(read("control_state"));
  const py::object parameter = read("parameter");
  if (!(parameter_may_be_none && parameter.is_none())) op.params = to_vector<double>(parameter);
  rewrite_gate_name(op.name, op.params);
  op.id = gate_id_from_name(op.name);
  return op;
}

void check_unitary_record(const GateOp& op) {
  if (op.id != UNITARY) return;
  if (!op.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
  if (op.targets.size() >= 63 || (int64_t{1} << op.targets.size()) != op.matrix_dim)
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
}

}  // namespace

void convert_unitary_matrix(const py::handle& matrix, GateOp& op) {
  if (matrix.is_none()) return;
  using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
  const ComplexArray array = ComplexArray::ensure(matrix);
  if (!array) throw std::invalid_argument("unitary matrix must be array-like.");
  if (array.ndim() != 2 || array.shape(0) != array.shape(1) || array.shape(0) <= 0)
    throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
  const auto rows = static_cast<size_t>(array.shape(0));
  op.matrix.assign(array.data(), array.data() + rows * rows);
  op.matrix_dim = static_cast<int64_t>(rows);
  op.has_matrix = true;
}

std::vector<GateOp> parse_gate_ir(const py::list& gate_ir) {
  std::vector<GateOp> ops;
  ops.reserve(gate_ir.size());
  for (const py::handle item : gate_ir) {
    const py::dict gate = py::dict(py::reinterpret_borrow<py::object>(item));
    GateOp op = parse_one([&](const char* key) -> py::object { return gate[key]; }, false);
    if (gate.contains("matrix")) convert_unitary_matrix(gate["matrix"], op);
    check_unitary_record(op);
    ops.push_back(std::move(op));
  }
  return ops;
}

std::vector<GateOp> parse_gate_objects(const py::handle& gates) {
  std::vector<GateOp> ops;
  for (const py::handle item : py::iter(gates)) {
    GateOp op = parse_one([&](const char* name) -> py::object { return item.attr(name); }, true);
    if (op.id == UNITARY) convert_unitary_matrix(item.attr("matrix"), op);
    check_unitary_record(op);
    ops.push_back(std::move(op));
  }
  return ops;
}

}  // namespace stavex
