#pragma once
// The task log's store step in "server" mode: add_records bounded
// process-wide, retried when the database cannot be reached, and never
// leaving behind a connection that it opened.
#include <pybind11/pybind11.h>

#include <functional>

namespace kestro::tasklog {

namespace py = pybind11;

// The host setting that bounds how many add_records calls of this process
// run at once (each may need a database connection of its own), and its
// default: room for the service's own connections beside a database that
// grants 100.
constexpr const char* kConnectionsSetting = "KESTRO_TASKLOG_CONNECTIONS";
constexpr long kDefaultConnections = 10;

// The pause at the end of every clog call, waits for a turn included.
constexpr double kPause = 0.5;

// Called with the failure that ends a store, as it is being handled.
using FailureReport = std::function<void(py::error_already_set&)>;

// Stores `texts` with model.objects.add_records(lock_id=trid,
// task_index=index, recs=texts) once a turn is free (waiting without the
// GIL). A failure while connecting (Django's OperationalError or
// InterfaceError with no connection made) is retried a few times after
// short pauses (time.sleep); the last one, and any other ordinary failure
// at once, goes to `report` and the call returns normally. On a thread
// without an open connection of its own the store runs on its turn's
// connection, which stays open only while other stores run or wait; other
// connections the store opened on this thread are closed before it returns. Returns the
// seconds spent waiting for turns and between retries, which the caller
// takes off its pause (see pause_after). Raises Et when the setting is not
// a whole number of at least 1; non-ordinary errors pass through. GIL held.
double store_lines(py::handle model, py::handle trid, py::handle index, py::handle texts,
                   const FailureReport& report);

// kPause less `waited`, never below 0.
double pause_after(double waited);

}  // namespace kestro::tasklog
