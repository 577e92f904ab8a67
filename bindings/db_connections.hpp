#pragma once
// The calling thread's Django database connections: which are open, and
// closing those opened since a given moment. Django keeps one connection
// per thread and alias and closes it only when asked (or when the
// collector finds a dead thread's wrapper), so code that opens connections
// on threads it does not own must close them itself. Header-only, shared
// by the task log and the folder transfers' worker tasks. Every function
// needs the GIL.
#include <pybind11/pybind11.h>

#include "common.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// The set of aliases whose connection is open on the calling thread; an
// empty set when the host service's database settings cannot be read
// (outside the service). Opens nothing. GIL held.
inline py::set open_db_aliases() {
  py::set open;
  try {
    py::object connections = py::module_::import("django.db").attr("connections");
    for (py::handle conn : connections.attr("all")())
      if (!conn.attr("connection").is_none()) open.add(conn.attr("alias"));
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
  return open;
}

// Closes the calling thread's connections that are open now and whose
// alias is not in `before` (a result of open_db_aliases). Never fails on
// an ordinary error: a connection whose close fails is dropped by its
// driver anyway, and the caller's own outcome matters more. GIL held.
inline void close_db_opened_since(const py::set& before) {
  try {
    py::object connections = py::module_::import("django.db").attr("connections");
    for (py::handle conn : connections.attr("all")()) {
      if (conn.attr("connection").is_none() || before.contains(conn.attr("alias"))) continue;
      try {
        conn.attr("close")();
      } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
      }
    }
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
}

}  // namespace kestro::py_common
