#pragma once
// Work without the GIL: the one way the bindings release it around
// blocking or CPU-bound core work. Called with the GIL held.
#include <pybind11/pybind11.h>

#include <optional>

#include "kestro/error.hpp"
#include "py_errors.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// Runs f with the GIL released; a kestro::Error it throws is raised as its
// Python exception once the GIL is back. f must not touch Python objects.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
  std::optional<kestro::Error> failure;
  {
    py::gil_scoped_release unlocked;
    try {
      return f();
    } catch (const kestro::Error& e) {
      failure = e;
    }
  }
  raise_core_error(*failure);
}

}  // namespace kestro::py_common
