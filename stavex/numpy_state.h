// Checks applied to a NumPy state array before the module reads or writes it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>

#include "zorvane/device_text.h"

namespace stavex {

namespace py = pybind11;

// Returns is_double of the array's element type after the checks, in order:
// one-dimensional array, C-contiguous, n in [1, 62], 2**n elements, element
// type. `check_dtype` false stops after the size check.
inline int check_state_array(int64_t n, const py::object& state, bool check_dtype = true) {
  if (!py::isinstance<py::array>(state) || py::reinterpret_borrow<py::array>(state).ndim() != 1)
    throw std::invalid_argument("state must be a 1-D contiguous numpy array");
  const auto array = py::reinterpret_borrow<py::array>(state);
  if (!(array.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  if (static_cast<uint64_t>(array.size()) != (uint64_t{1} << n))
    throw std::invalid_argument("state.size must equal 2**n");
  return check_dtype ? zorvane::parse_dtype(py::str(array.dtype())) : -1;
}

inline void check_writable(const py::object& state) {
  if (py::isinstance<py::array>(state) && !py::reinterpret_borrow<py::array>(state).writeable())
    throw std::invalid_argument("state array must be writable");
}

inline int dtype_of(const py::object& state) {
  return zorvane::parse_dtype(py::str(py::reinterpret_borrow<py::array>(state).dtype()));
}

}  // namespace stavex
