#pragma once
// The fan-out of the folder transfers: one task per file on a
// concurrent.futures pool, results taken in order of completion. Every
// function needs the GIL; the pool's threads take it for each task, and a
// task releases it around its own blocking work.
#include <pybind11/pybind11.h>

#include <vector>

#include "db_connections.hpp"

namespace kestro::py_common {

namespace py = pybind11;

// One pool task: fn(*args), then the database connections that it opened
// on its worker thread are closed, whatever the outcome. Pool threads
// outlive their tasks (and the call), so a connection left to them stays
// open until the collector happens to find it. GIL held.
inline py::object run_task_closing_connections(py::object fn, py::args args) {
  py::set before = open_db_aliases();
  py::object result;
  try {
    result = fn(*args);
  } catch (...) {
    close_db_opened_since(before);
    throw;
  }
  close_db_opened_since(before);
  return result;
}

// Submits fn(*args) for every entry of `calls` to a ThreadPoolExecutor of
// `max_workers` threads and waits for the results in completion order. The
// first failure is re-raised at once: tasks not yet started are cancelled,
// running ones finish on their own (their work items keep fn, and with it
// the client and its arguments, alive). Each task closes the database
// connections it opened. GIL held.
inline void run_in_pool(py::object executor_type, py::object as_completed, py::object fn, py::object max_workers,
                        const std::vector<py::tuple>& calls) {
  using namespace pybind11::literals;
  py::object pool = executor_type("max_workers"_a = max_workers);
  py::cpp_function task(&run_task_closing_connections);
  py::list futures;
  try {
    for (const auto& args : calls) futures.append(pool.attr("submit")(task, fn, *args));
    for (py::handle done : as_completed(futures)) done.attr("result")();
  } catch (...) {
    for (py::handle f : futures) f.attr("cancel")();
    pool.attr("shutdown")("wait"_a = false);
    throw;
  }
  pool.attr("shutdown")("wait"_a = false);
}

}  // namespace kestro::py_common
