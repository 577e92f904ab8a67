#pragma once
// This module's own module-level names, looked up at call time, and BMOBJ
// as bound on it. Header-only so that the five modules stay independent
// shared objects (built with hidden visibility, each has its own statics).
// Every function needs the GIL.
#include <pybind11/pybind11.h>

#include <utility>

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

// BMOBJ, as bound on this module (looked up at call time).
inline py::object bmobj() { return module_attr("BMOBJ"); }

// BMOBJ.clog(ctx, values...). GIL held (the call pauses with it released).
template <class... Args>
void clog(py::handle ctx, Args&&... values) {
  bmobj().attr("clog")(ctx, std::forward<Args>(values)...);
}

}  // namespace kestro::py_common
