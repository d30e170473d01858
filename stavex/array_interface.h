// The CUDA array interface (version 3) in both directions: a DeviceState
// describes its buffer through it, so that CuPy or a CUDA-aware MPI library
// can use the amplitudes without a copy, and a range copy accepts any object
// that exposes it. Only one-dimensional, contiguous, unmasked complex64 or
// complex128 arrays are taken.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "stavex_device_state.h"

namespace stavex {

namespace py = pybind11;

struct ForeignArray {
  void* data = nullptr;
  uint64_t size = 0;
  int is_double = 0;
  bool read_only = false;
  uintptr_t stream = 0;  // 0: none given
};

// The interface of a state: its whole buffer, writable, with work ordered on
// the legacy default stream (1), where all of this module's work runs.
inline py::dict cuda_array_interface(const DeviceState& state) {
  py::dict interface;
  interface["shape"] = py::make_tuple(state.num_state);
  interface["typestr"] = state.is_double ? "<c16" : "<c8";
  interface["data"] = py::make_tuple(reinterpret_cast<uintptr_t>(state.data), false);
  interface["strides"] = py::none();
  interface["version"] = 3;
  interface["stream"] = 1;
  return interface;
}

namespace detail {

// A non-negative Python int that fits in 64 bits, or nothing.
inline std::optional<uint64_t> unsigned_int(py::handle value) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return std::nullopt;
  const unsigned long long converted = PyLong_AsUnsignedLongLong(value.ptr());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<uint64_t>(converted);
}

// The entry `key` of the interface, None when absent.
inline py::object entry(const py::dict& interface, const char* key) {
  return interface.contains(key) ? py::reinterpret_borrow<py::object>(interface[key]) : py::none();
}

}  // namespace detail

// Reads the interface of `object` (which has the attribute); `side` ("source"
// or "target") begins each message.
inline ForeignArray read_cuda_array_interface(const py::object& object, const std::string& side) {
  const py::object attribute = object.attr("__cuda_array_interface__");
  const std::string what = side + " __cuda_array_interface__ ";
  if (!PyDict_Check(attribute.ptr())) throw std::invalid_argument(what + "must be a dict");
  // A copy: the owner's own dict may change while it is read.
  const py::dict interface = py::reinterpret_steal<py::dict>(PyDict_Copy(attribute.ptr()));
  if (!interface) throw py::error_already_set();

  ForeignArray array;
  const py::object shape = detail::entry(interface, "shape");
  const bool one_dimensional = PyTuple_Check(shape.ptr()) && PyTuple_GET_SIZE(shape.ptr()) == 1;
  const std::optional<uint64_t> size =
      one_dimensional ? detail::unsigned_int(PyTuple_GET_ITEM(shape.ptr(), 0)) : std::nullopt;
  if (!size) throw std::invalid_argument(what + "must describe a 1-D array");
  array.size = *size;

  const py::object typestr = detail::entry(interface, "typestr");
  const std::string type = PyUnicode_Check(typestr.ptr()) ? typestr.cast<std::string>() : std::string();
  if (type != "<c8" && type != "<c16")
    throw std::invalid_argument(what + "typestr must be '<c8' or '<c16', got: " + py::str(typestr).cast<std::string>());
  array.is_double = type == "<c16";

  const py::object data = detail::entry(interface, "data");
  const bool pair = PyTuple_Check(data.ptr()) && PyTuple_GET_SIZE(data.ptr()) == 2;
  const std::optional<uint64_t> pointer = pair ? detail::unsigned_int(PyTuple_GET_ITEM(data.ptr(), 0)) : std::nullopt;
  if (!pointer || !PyBool_Check(PyTuple_GET_ITEM(data.ptr(), 1)))
    throw std::invalid_argument(what + "data must be a (pointer, read-only flag) tuple");
  array.data = reinterpret_cast<void*>(static_cast<uintptr_t>(*pointer));
  array.read_only = PyTuple_GET_ITEM(data.ptr(), 1) == Py_True;

  const py::object strides = detail::entry(interface, "strides");
  if (!strides.is_none()) {
    const bool tuple = PyTuple_Check(strides.ptr()) && PyTuple_GET_SIZE(strides.ptr()) == 1;
    const std::optional<uint64_t> stride = tuple ? detail::unsigned_int(PyTuple_GET_ITEM(strides.ptr(), 0))
                                                 : std::nullopt;
    if (!stride || *stride != (array.is_double ? 16u : 8u))
      throw std::invalid_argument(what + "must describe a contiguous array");
  }
  if (!detail::entry(interface, "mask").is_none()) throw std::invalid_argument(what + "mask must be None");

  const py::object stream = detail::entry(interface, "stream");
  if (!stream.is_none()) {
    // 0 is ambiguous and refused by the protocol itself.
    const std::optional<uint64_t> handle = detail::unsigned_int(stream);
    if (!handle || *handle == 0) throw std::invalid_argument(what + "stream must be None or a positive int");
    array.stream = static_cast<uintptr_t>(*handle);
  }
  return array;
}

}  // namespace stavex
