#include "gate_parsing.h"

#include <complex>
#include <stdexcept>
#include <string>

#include "zorvane/python_input.h"

namespace stavex {

namespace py = pybind11;

namespace {

using zorvane::convert_list;

// The field names as interned Python strings, made once: looking a field up
// by a C string would build and hash a new Python string for every read.
// Never released (they live as long as the interpreter's own interned names).
struct FieldNames {
  py::handle id, target, control, control_state, parameter, matrix;
};

const FieldNames& field_names() {
  static const FieldNames names = {
      PyUnicode_InternFromString("id"),        PyUnicode_InternFromString("target"),
      PyUnicode_InternFromString("control"),   PyUnicode_InternFromString("control_state"),
      PyUnicode_InternFromString("parameter"), PyUnicode_InternFromString("matrix"),
  };
  return names;
}

// The shared steps of both forms once the five fields are read: rewriting,
// the name lookup, then the matrix of a UNITARY gate. Every field is read into
// an owned object before it is converted.
template <class ReadField>
GateOp parse_one(ReadField&& read, bool parameter_may_be_none) {
  const FieldNames& field = field_names();
  GateOp op;
  op.name = zorvane::convert_text(read(field.id));
  op.targets = convert_list<int64_t>(read(field.target));
  op.controls = convert_list<int64_t>(read(field.control));
  op.control_state = convert_list<int64_t>(read(field.control_state));
  const py::object parameter = read(field.parameter);
  if (!(parameter_may_be_none && parameter.is_none())) op.params = convert_list<double>(parameter);
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
  const zorvane::ComplexArray array = zorvane::complex_array_or_null(matrix);
  if (!array) throw std::invalid_argument("unitary matrix must be array-like.");
  if (array.ndim() != 2 || array.shape(0) != array.shape(1) || array.shape(0) <= 0)
    throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
  const auto rows = static_cast<size_t>(array.shape(0));
  op.matrix.assign(array.data(), array.data() + rows * rows);
  op.matrix_dim = static_cast<int64_t>(rows);
  op.has_matrix = true;
}

std::vector<GateOp> parse_gate_ir(const py::list& gate_ir) {
  // The list is read from a snapshot: a callback may clear or refill it.
  const py::tuple items = zorvane::snapshot_items(gate_ir);
  std::vector<GateOp> ops;
  ops.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const py::dict gate = py::dict(py::object(items[i]));
    GateOp op = parse_one([&](py::handle key) -> py::object { return gate[key]; }, false);
    const py::handle matrix_key = field_names().matrix;
    if (gate.contains(matrix_key)) convert_unitary_matrix(py::object(gate[matrix_key]), op);
    check_unitary_record(op);
    ops.push_back(std::move(op));
  }
  return ops;
}

std::vector<GateOp> parse_gate_objects(const py::handle& gates) {
  std::vector<GateOp> ops;
  // A list or tuple knows its size without running Python code (a length
  // hint could, and could lie); the iteration still decides the count.
  if (PyList_Check(gates.ptr())) ops.reserve(static_cast<size_t>(PyList_GET_SIZE(gates.ptr())));
  else if (PyTuple_Check(gates.ptr())) ops.reserve(static_cast<size_t>(PyTuple_GET_SIZE(gates.ptr())));
  // Each item is owned by the loop variable while its attributes are read.
  for (const py::handle borrowed : py::iter(gates)) {
    const auto item = py::reinterpret_borrow<py::object>(borrowed);
    GateOp op = parse_one([&](py::handle name) -> py::object { return item.attr(name); }, true);
    if (op.id == UNITARY) convert_unitary_matrix(py::object(item.attr(field_names().matrix)), op);
    check_unitary_record(op);
    ops.push_back(std::move(op));
  }
  return ops;
}

}  // namespace stavex
