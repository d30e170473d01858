// Reading caller input from Python safely.
//
// Converting one element of a container (an integer's __index__, a number's
// __float__, a dict subclass's __getitem__, an attribute getter, an iterator's
// __next__) can run arbitrary Python code, and that code may change or free
// the very container being read. So nothing here keeps a borrowed reference or
// a raw item pointer across a conversion: a container is first copied into an
// owned snapshot (a tuple holding its own references), and its elements are
// converted from the snapshot. A container changed by a callback then yields
// its old contents, and the caller sees the new ones on the next read; nothing
// reads freed memory.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "zorvane/text_errors.h"

namespace zorvane {

namespace py = pybind11;

// True for anything the iterator protocol can walk (sequences included).
inline bool is_iterable(py::handle object) {
  return Py_TYPE(object.ptr())->tp_iter != nullptr || PySequence_Check(object.ptr()) != 0;
}

// The items of any iterable, as an owned tuple. A list is copied without
// running Python code; another iterable is walked once.
inline py::tuple snapshot_items(py::handle iterable) {
  PyObject* items = PySequence_Tuple(iterable.ptr());
  if (items == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(items);
}

// The binding library's cast error for `value`, in its own words.
inline py::cast_error cast_error_for(py::handle value) {
  return py::cast_error("Unable to cast Python instance of type " + py::str(py::type::handle_of(value)).cast<std::string>() +
                        " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for "
                        "details)");
}

// An integer element (a qubit label, a control state): anything that is an
// integer (its __index__), within 64 bits. A float, or an object that could
// only be truncated to an integer (numpy.float32(1.7), a Decimal), is refused
// with the cast error rather than silently becoming another qubit.
inline int64_t convert_index(py::handle value) {
  if (PyFloat_Check(value.ptr())) throw cast_error_for(value);
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw cast_error_for(value);
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0) throw cast_error_for(value);
  return result;
}

template <class Element>
Element convert_element(py::handle value) {
  if constexpr (std::is_same_v<Element, int64_t>)
    return convert_index(value);
  else
    return py::cast<Element>(value);
}

// A sequence or iterable of Element (int64_t, double, ...). Anything that is
// not iterable, and any element of the wrong type, fails with the binding
// library's cast error.
template <class Element>
std::vector<Element> convert_list(py::handle values) {
  if (!is_iterable(values) || PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr()))
    return py::cast<std::vector<Element>>(values);  // not a list of values: raises the cast error
  const py::tuple items = snapshot_items(values);
  std::vector<Element> out;
  out.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) out.push_back(convert_element<Element>(items[i]));
  return out;
}

// Text, whole: an embedded NUL character is kept.
inline std::string convert_text(py::handle value) { return py::cast<std::string>(value); }

// Lists (at any depth of nesting) replaced by tuples holding their own
// references, so that array conversion, which walks nested lists through raw
// item pointers while it calls element conversions, reads containers that no
// callback can change. Nesting deeper than any array can have is left as it
// is; it fails the conversion anyway.
inline py::object snapshot_nested(py::handle value, int depth = 0) {
  constexpr int kMaxDepth = 64;
  if (depth >= kMaxDepth || !(PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())))
    return py::reinterpret_borrow<py::object>(value);
  const py::tuple items = snapshot_items(value);
  py::tuple out(items.size());
  for (size_t i = 0; i < items.size(); ++i) out[i] = snapshot_nested(items[i], depth + 1);
  return std::move(out);
}

// C-ordered and aligned: NumPy passes a complex-double array through as it is
// when it already has that layout, and a view into a buffer at an odd address
// (np.frombuffer with an offset) has it; its elements can only be read as
// std::complex<double> from an aligned copy.
using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast |
                                                           py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// Any array-like value as a C-ordered, aligned complex-double array. Returns
// null (with no Python error set) when NumPy cannot convert it.
inline ComplexArray complex_array_or_null(py::handle value) {
  return ComplexArray::ensure(snapshot_nested(value));
}

// The same, raising the error NumPy reports when it cannot convert.
inline ComplexArray complex_array(py::handle value) { return ComplexArray(snapshot_nested(value)); }

// Sets the Python error of `type` with the whole text; bytes that are not
// UTF-8 are replaced rather than dropped.
inline void set_python_error(PyObject* type, const std::string& text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // the decoder's own error stands
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

// Translates the whole-text errors of this module: InvalidArgumentText to
// ValueError, RuntimeErrorText to RuntimeError, message unchanged. Every other
// exception goes on to the binding library's own translation.
inline void register_whole_text_errors() {
  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const InvalidArgumentText& e) {
      set_python_error(PyExc_ValueError, e.text());
    } catch (const RuntimeErrorText& e) {
      set_python_error(PyExc_RuntimeError, e.text());
    }
  });
}

}  // namespace zorvane
