#pragma once
// The bindings toolkit: what every extension module needs. Reaching its own
// module-level names and BMOBJ/Et of kestro.common.defines, raising Et,
// mapping core errors, GIL-free work, telling ordinary Python errors from
// interrupts, and the small argument conversions the modules share.
// Header-only so that the five modules stay independent shared objects
// (they are built with hidden visibility, so each has its own statics).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "kestro/error.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// The module being built into this shared object. Leaked on purpose: it
// must live as long as the interpreter, and a static py::object would be
// destroyed after it.
inline PyObject*& module_slot() {
  static PyObject* module = nullptr;
  return module;
}

// Records `m` as this shared object's module; first thing in its init.
inline void bind_module(py::module_& m) { module_slot() = m.inc_ref().ptr(); }

// A module-level name, looked up at call time, as a Python function reads
// its globals: a test or a service can rebind it on the module. GIL held.
inline py::object module_attr(const char* name) { return py::handle(module_slot()).attr(name); }

inline void register_core_translator();

// Binds BMOBJ and Et from kestro.common.defines into `m` and registers the
// core error translator. Call once from each module's init (not from
// defines itself), after bind_module.
inline void bind_defines(py::module_& m) {
  py::module_ defines = py::module_::import("kestro.common.defines");
  m.attr("BMOBJ") = defines.attr("BMOBJ");
  m.attr("Et") = defines.attr("Et");
  register_core_translator();
}

// BMOBJ, as bound on this module (looked up at call time).
inline py::object bmobj() { return module_attr("BMOBJ"); }

// BMOBJ.clog(ctx, values...). GIL held (the call pauses with it released).
template <class... Args>
void clog(py::handle ctx, Args&&... values) {
  bmobj().attr("clog")(ctx, std::forward<Args>(values)...);
}

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

#include "arguments.hpp"
#include "secrets.hpp"
