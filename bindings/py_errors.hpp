#pragma once
// Errors between C++ and Python: Et raised as this module binds it, the
// core's kestro::Error mapped onto the Python exception a caller expects,
// and ordinary Python errors told from interrupts (KeyboardInterrupt and
// SystemExit always pass through). Every function needs the GIL.
#include <pybind11/pybind11.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "kestro/error.hpp"
#include "module_names.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// Raises Et(state, message), Et as bound on this module, as a Python
// exception. GIL must be held.
[[noreturn]] inline void raise_et(int state, const std::string& message) {
  py::object et_type = module_attr("Et");
  py::object err = et_type(state, message);
  PyErr_SetObject(et_type.ptr(), err.ptr());
  throw py::error_already_set();
}

// Raises Et(state, message) with `cause` as its context, so the traceback
// still shows the error that led to it, as an except block would.
[[noreturn]] inline void raise_et_from(int state, const std::string& message, const py::error_already_set& cause) {
  py::object et_type = module_attr("Et");
  py::object err = et_type(state, message);
  PyException_SetContext(err.ptr(), cause.value().inc_ref().ptr());  // steals the reference
  PyErr_SetObject(et_type.ptr(), err.ptr());
  throw py::error_already_set();
}

// Maps a core error onto the Python exception a caller expects: I/O errors
// become OSError subclasses with errno and filename, like the standard
// library's. GIL must be held.
[[noreturn]] inline void raise_core_error(const kestro::Error& e) {
  if (e.code() == kestro::Error::Code::kIo && e.sys_errno() != 0) {
    py::object os_error = py::module_::import("builtins").attr("OSError");
    py::object err = os_error(e.sys_errno(), std::string(std::strerror(e.sys_errno())), e.path());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
    throw py::error_already_set();
  }
  raise_et(2, e.what());
}

// A kestro::Error that reaches pybind11 is turned into its Python
// exception there (with the GIL held), whichever module it came from.
inline void register_core_translator() {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const kestro::Error& e) {
      try {
        raise_core_error(e);
      } catch (py::error_already_set& err) {
        err.restore();
      }
    }
  });
}

// Binds BMOBJ and Et from kestro.common.defines into `m` and registers the
// core error translator. Call once from each module's init (not from
// defines itself), after bind_module.
inline void bind_defines(py::module_& m) {
  py::module_ defines = py::module_::import("kestro.common.defines");
  m.attr("BMOBJ") = defines.attr("BMOBJ");
  m.attr("Et") = defines.attr("Et");
  register_core_translator();
}

// True for Exception subclasses, the "ordinary errors" the system catches;
// KeyboardInterrupt and SystemExit pass through.
inline bool is_ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Runs f; the ordinary Python error it raises is swallowed and returned,
// nothing when f succeeds. KeyboardInterrupt, SystemExit and C++ exceptions
// pass through. GIL held.
template <class F>
std::optional<py::error_already_set> catch_ordinary(F&& f) {
  try {
    f();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return std::move(e);
  }
  return std::nullopt;
}

// f()'s result, or on_error(error)'s when f raises an ordinary Python
// error (as catch_ordinary). GIL held.
template <class F, class OnError>
auto call_or(F&& f, OnError&& on_error) -> decltype(f()) {
  try {
    return f();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return on_error(e);
  }
}

}  // namespace kestro::py_common
