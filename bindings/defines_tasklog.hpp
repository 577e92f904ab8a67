#pragma once
// The task log's store step in "server" mode: add_records through at most a
// bounded number of shared connections per process, a store the database
// refuses for now waited out, and no connection left open that the log
// opened. Every function needs the GIL; a wait for a connection's turn
// releases it.
#include <pybind11/pybind11.h>

#include <functional>

namespace kestro::tasklog {

namespace py = pybind11;

// The host setting that bounds the task log's own connections in this
// process (stores on them run one at a time each), and its default: one
// insert takes well under a millisecond, so one connection serves the 200
// workers of a transfer, and a fleet of processes needs one each.
constexpr const char* kConnectionsSetting = "KESTRO_TASKLOG_CONNECTIONS";
constexpr long kDefaultConnections = 1;

// The host setting that bounds, in seconds, how long one line waits for a
// database that refuses it for now (full, restarting, locked) before it is
// reported as lost, and its default.
constexpr const char* kWaitSetting = "KESTRO_TASKLOG_WAIT_SECONDS";
constexpr double kDefaultWait = 120.0;

// The pause at the end of every clog call, waits for a turn included.
constexpr double kPause = 0.5;

// Called with the failure that ends a store, as it is being handled.
using FailureReport = std::function<void(py::error_already_set&)>;

// One clog call's share in the log's connections, from before its store to
// the end of its pause: while any call lives, the connections stay open for
// the next store (a busy log does not connect once per line); the last call
// to end closes them, so none outlives the calls that used it. GIL held.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Stores `texts` with model.objects.add_records(lock_id=trid,
// task_index=index, recs=texts). On a thread with an open connection of
// its own the store runs on it at once; otherwise it waits (without the
// GIL) for one of the process's KESTRO_TASKLOG_CONNECTIONS turns and runs
// on that turn's shared connection. A store the database refuses for now
// (no connection could be made, or SQLite's lock outside a transaction) is
// tried again after growing pauses (time.sleep, the turn kept) until it is
// stored or KESTRO_TASKLOG_WAIT_SECONDS have passed; the last failure, and
// any other ordinary failure at once, goes to `report` and the call
// returns normally. Connections the store opened on this thread are closed
// before it returns. Returns the seconds spent waiting for a turn and
// between tries, which the caller takes off its pause (see pause_after).
// Raises Et when a setting is unusable; non-ordinary errors pass through.
// Call inside a CallScope. GIL held.
double store_lines(py::handle model, py::handle trid, py::handle index, py::handle texts,
                   const FailureReport& report);

// kPause less `waited`, never below 0.
double pause_after(double waited);

}  // namespace kestro::tasklog
