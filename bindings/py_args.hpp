#pragma once
// Small conversions of Python values the modules share: str(), truth,
// file-system paths as text. Every function needs the GIL. The checks of
// public arguments are arguments.hpp's.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "py_errors.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// str(obj) as UTF-8.
inline std::string py_str(py::handle obj) { return py::str(obj).cast<std::string>(); }

// Python truthiness of `value`; its __bool__ may raise.
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// os.fspath(path) as text, bytes paths decoded the way os does; the errors
// of os.fspath pass through.
inline std::string fspath_text(py::handle path) {
  py::module_ os = py::module_::import("os");
  py::object p = os.attr("fspath")(path);
  if (py::isinstance<py::bytes>(p)) p = os.attr("fsdecode")(p);
  return p.cast<std::string>();
}

// fspath_text(path), or nothing when `path` is not a path at all.
inline std::optional<std::string> try_fspath_text(py::handle path) {
  std::optional<std::string> text;
  try {
    if (catch_ordinary([&] { text = fspath_text(path); })) return std::nullopt;
  } catch (py::cast_error&) {  // a str that is not valid UTF-8
    return std::nullopt;
  }
  return text;
}

}  // namespace kestro::py_common
