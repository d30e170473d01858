// Conversion of operation objects. Each element and each attribute value is
// held as an owned object while it is converted; containers are converted
// from owned snapshots (zorvane/python_input.h), so callbacks that change
// them cannot make the reader touch freed memory.
#include "operation_parsing.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "zorvane/python_input.h"
#include "zorvane/text_errors.h"

namespace zorvane::plexar {

namespace py = pybind11;

namespace {

// The attribute's value, or nothing when the object has no such attribute.
// One read: a property's getter runs once. Errors other than the missing
// attribute propagate.
std::optional<py::object> optional_attribute(const py::object& item, const char* name) {
  PyObject* value = PyObject_GetAttrString(item.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return std::nullopt;
}

// A required attribute, held as an owned object while it is converted; a
// missing one raises the interpreter's attribute error.
py::object attribute(const py::object& item, const char* name) { return item.attr(name); }

std::vector<std::complex<double>> elements_of(const ComplexArray& array) {
  return std::vector<std::complex<double>>(array.data(), array.data() + array.size());
}

DensityOperation parse_kraus(const py::object& item, const py::object& kind_value) {
  const std::string kind = convert_text(kind_value);
  if (kind != "kraus") throw RuntimeErrorText("unsupported density operation kind '" + kind + "'");
  DensityOperation op;
  op.kind = kKrausOperation;
  op.targets = convert_list<int64_t>(attribute(item, "target"));
  if (const std::optional<py::object> name = optional_attribute(item, "channel_name"))
    op.channel_name = convert_text(*name);
  const ComplexArray matrices = complex_array(attribute(item, "kraus_matrices"));
  if (matrices.ndim() != 3 || matrices.shape(0) < 1 || matrices.shape(1) < 1 || matrices.shape(1) != matrices.shape(2))
    throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
  op.kraus_count = static_cast<uint64_t>(matrices.shape(0));
  op.kraus_dimension = static_cast<uint64_t>(matrices.shape(1));
  op.kraus_matrices = elements_of(matrices);
  return op;
}

DensityOperation parse_gate(const py::object& item) {
  DensityOperation op;
  op.kind = kGateOperation;
  op.name = convert_text(attribute(item, "id"));
  op.targets = convert_list<int64_t>(attribute(item, "target"));
  op.controls = convert_list<int64_t>(attribute(item, "control"));
  op.control_state = convert_list<int64_t>(attribute(item, "control_state"));
  const py::object parameter = attribute(item, "parameter");
  if (!parameter.is_none()) op.params = convert_list<double>(parameter);
  const py::object has_matrix = attribute(item, "has_stored_matrix");
  const int truth = PyObject_IsTrue(has_matrix.ptr());  // None counts as false
  if (truth < 0) throw py::error_already_set();
  op.has_stored_matrix = truth == 1;
  if (op.has_stored_matrix) {
    const ComplexArray matrix = complex_array(attribute(item, "stored_matrix"));
    if (matrix.ndim() != 2 || matrix.shape(0) != matrix.shape(1))
      throw std::runtime_error("operation matrix must be square");
    op.stored_matrix = elements_of(matrix);
  }
  return op;
}

}  // namespace

std::vector<DensityOperation> parse_operations(const py::handle& operations) {
  std::vector<DensityOperation> ops;
  for (const py::handle borrowed : py::iter(operations)) {
    const auto item = py::reinterpret_borrow<py::object>(borrowed);
    if (const std::optional<py::object> kind = optional_attribute(item, "operation_kind"))
      ops.push_back(parse_kraus(item, *kind));
    else
      ops.push_back(parse_gate(item));
  }
  return ops;
}

}  // namespace zorvane::plexar
