#pragma once
// What every extension module needs: reaching BMOBJ and Et of
// kestro.common.defines, raising Et, mapping core errors, GIL-free pauses.
// Header-only so that the five modules stay independent shared objects.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "kestro/error.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// Objects a module binds when it loads. Leaked on purpose: they must live
// as long as the interpreter, and a static py::object would be destroyed
// after it.
struct Imports {
  py::handle bmobj;
  py::handle et;
};

inline Imports& imports() {
  static Imports im;
  return im;
}

inline void register_core_translator();

// Binds BMOBJ and Et from kestro.common.defines into `m` and the helper
// table. Call once from each module's init (not from defines itself).
inline void bind_defines(py::module_& m) {
  py::module_ defines = py::module_::import("kestro.common.defines");
  imports().bmobj = py::object(defines.attr("BMOBJ")).release();
  imports().et = py::object(defines.attr("Et")).release();
  m.attr("BMOBJ") = imports().bmobj;
  m.attr("Et") = imports().et;
  register_core_translator();
}

inline py::object bmobj() { return py::reinterpret_borrow<py::object>(imports().bmobj); }

// Raises Et(state, message) as a Python exception. GIL must be held.
[[noreturn]] inline void raise_et(py::handle et_type, int state, const std::string& message) {
  py::object err = py::reinterpret_borrow<py::object>(et_type)(state, message);
  PyErr_SetObject(et_type.ptr(), err.ptr());
  throw py::error_already_set();
}

[[noreturn]] inline void raise_et(int state, const std::string& message) {
  raise_et(imports().et, state, message);
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

// Runs f, translating kestro::Error. GIL must be held; for work without
// the GIL use without_gil.
template <class F>
auto guard_core(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const kestro::Error& e) {
    raise_core_error(e);
  }
}

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

// The folder that stands for "/mydata": KESTRO_DATA_ROOT when set (tests,
// the main job), otherwise "/mydata" itself.
inline std::string data_root() {
  const char* root = std::getenv("KESTRO_DATA_ROOT");
  return root && *root ? root : "/mydata";
}

// Python's time.sleep, looked up at call time so that tests can replace
// it; the GIL is free while it waits.
inline void py_sleep(py::handle seconds) {
  py::module_::import("time").attr("sleep")(seconds);
}

// Python's time.time(), looked up at call time.
inline double py_time() { return py::module_::import("time").attr("time")().cast<double>(); }

// str(obj) as UTF-8.
inline std::string py_str(py::handle obj) { return py::str(obj).cast<std::string>(); }

// True for Exception subclasses, the "ordinary errors" the system catches;
// KeyboardInterrupt and SystemExit pass through.
inline bool is_ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

}  // namespace kestro::py_common
