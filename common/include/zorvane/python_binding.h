// How both modules bind their classes and the entry points they share.
//
// A method called through its class (`DeviceDensityState.copy(None)`, or
// `map(DeviceState.to_numpy, states)` over a list holding None) receives
// whatever the caller passed as `self`. The binding library refuses None as
// `self` only for methods that declare named arguments; a method without any
// would hand C++ an empty holder. Every method and property getter of a bound
// class therefore goes through `BoundClass`, which marks `self` as refusing
// None, so that such a call fails with the library's "incompatible function
// arguments" TypeError before anything runs. An object of another class fails
// the same way, since it does not convert.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cuda_runtime.h>

#include <memory>
#include <string>
#include <utility>

#include "zorvane/cuda_errors.h"
#include "zorvane/device_text.h"

namespace zorvane {

namespace py = pybind11;

// Function attribute: the method's `self` refuses None.
struct self_refuses_none {};

}  // namespace zorvane

namespace pybind11::detail {

template <>
struct process_attribute<zorvane::self_refuses_none> : process_attribute_default<zorvane::self_refuses_none> {
  // Runs after the class's own is_method attribute; a method with named
  // arguments gets the same record from the library itself, and then this is
  // a no-op.
  static void init(const zorvane::self_refuses_none&, function_record* record) {
    if (record->is_method && record->args.empty())
      record->args.emplace_back("self", /*descr=*/nullptr, handle(), /*convert=*/true, /*none=*/false);
  }
};

}  // namespace pybind11::detail

namespace zorvane {

// A class held by a shared pointer whose methods and properties all refuse
// None as `self`. It offers no way to add a method without that mark.
template <class T>
class BoundClass {
 public:
  BoundClass(py::handle scope, const char* name) : class_(scope, name) {}

  template <class Function, class... Extra>
  BoundClass& method(const char* name, Function&& function, const Extra&... extra) {
    class_.def(name, std::forward<Function>(function), self_refuses_none{}, extra...);
    return *this;
  }

  template <class Getter>
  BoundClass& readonly_property(const char* name, Getter&& getter) {
    class_.def_property_readonly(name, std::forward<Getter>(getter), self_refuses_none{});
    return *this;
  }

  template <class Function, class... Extra>
  BoundClass& static_method(const char* name, Function&& function, const Extra&... extra) {
    class_.def_static(name, std::forward<Function>(function), extra...);
    return *this;
  }

 private:
  py::class_<T, std::shared_ptr<T>> class_;
};

// Free and total memory of a device in bytes, as the runtime reports them.
// Selects the device on the calling thread, as every call naming one does.
inline std::pair<size_t, size_t> device_memory_info(int device_id) {
  check_cuda(cudaSetDevice(device_id));
  size_t free_bytes = 0, total_bytes = 0;
  check_cuda(cudaMemGetInfo(&free_bytes, &total_bytes));
  return {free_bytes, total_bytes};
}

// The number of devices the runtime sees (on the CPU layer, its emulated
// devices). Creates no context on any of them.
inline int device_count() {
  int count = 0;
  check_cuda(cudaGetDeviceCount(&count));
  return count;
}

// The device queries both modules offer: device_count and device_memory_info.
inline void bind_device_queries(py::module_& m) {
  m.def("device_count", &device_count, "The number of devices the runtime sees.");
  m.def(
      "device_memory_info",
      [](const std::string& device) {
        const int device_id = parse_device(device);
        py::gil_scoped_release release;
        return device_memory_info(device_id);
      },
      py::arg("device") = "cuda:0", "Free and total memory of a device in bytes, as (free, total).");
}

}  // namespace zorvane
