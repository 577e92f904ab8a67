// The task log's store step: a process-wide bound on concurrent
// add_records calls, retries of failed connects, connections closed.
#include "defines_tasklog.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common.hpp"
#include "db_connections.hpp"

namespace kestro::tasklog {

namespace {

using namespace pybind11::literals;
using Clock = std::chrono::steady_clock;

// Pauses before the retries of a failed connect; short, since every line
// waits for them and their sum stays inside the clog pause.
constexpr double kRetryPauses[] = {0.05, 0.1, 0.2};
constexpr int kRetries = sizeof(kRetryPauses) / sizeof(kRetryPauses[0]);

// A counting semaphore whose bound is given at each acquire, so that a
// changed host setting applies to the next call. Waiters block without the
// GIL; the mutex is never held while the GIL is wanted.
class Turns {
 public:
  // Takes a turn once fewer than `limit` are taken. Returns the seconds
  // waited, exactly 0 when a turn was free at once. The main thread stays
  // interruptible (signals are checked between slices). GIL held.
  double take(long limit) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (taken_ < limit) {
        ++taken_;
        return 0.0;
      }
    }
    const auto start = Clock::now();
    for (;;) {
      bool got = false;
      {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        got = freed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return taken_ < limit; });
        if (got) ++taken_;
      }
      if (got) return std::chrono::duration<double>(Clock::now() - start).count();
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  void give_back() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --taken_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  long taken_ = 0;
};

Turns& turns() {
  static Turns* t = new Turns();  // lives as long as the process: worker threads may outlast the interpreter's exit
  return *t;
}

// One turn, given back when the scope ends (or earlier, by give_back).
class Turn {
 public:
  Turn(long limit, double& waited) { waited += turns().take(limit); }
  ~Turn() { give_back(); }
  void give_back() {
    if (held_) turns().give_back();
    held_ = false;
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  bool held_ = true;
};

// The bound from the host settings: KESTRO_TASKLOG_CONNECTIONS, default
// kDefaultConnections. A bound below 1 would block every line forever.
long connection_limit() {
  py::object settings = py::module_::import("django.conf").attr("settings");
  py::object value = py::getattr(settings, kConnectionsSetting, py::int_(kDefaultConnections));
  if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) {
    long long n = value.cast<long long>();
    if (n >= 1) return static_cast<long>(std::min<long long>(n, 1L << 30));
  }
  py::object et = py::module_::import("kestro.common.defines").attr("Et");
  kestro::py_common::raise_et(et, 2, std::string(kConnectionsSetting) + " must be a whole number of at least 1, not " +
                                         py::repr(value).cast<std::string>());
}

// True for a failure to connect: Django's OperationalError or
// InterfaceError while the write alias of `model` had no connection before
// the call and still has none, so nothing can have been stored and a
// retry cannot store a line twice.
// A failure of this check itself counts as "no": it is reported at once.
bool failed_to_connect(py::error_already_set& e, py::handle model, const py::set& before) {
  try {
    py::object db = py::module_::import("django.db");
    py::object utils = db.attr("utils");
    if (!e.matches(utils.attr("OperationalError")) && !e.matches(utils.attr("InterfaceError"))) return false;
    py::object alias = db.attr("router").attr("db_for_write")(model);
    if (before.contains(alias)) return false;
    return db.attr("connections")[alias].attr("connection").is_none();
  } catch (py::error_already_set& inner) {
    if (!kestro::py_common::is_ordinary(inner)) throw;
    return false;
  }
}

}  // namespace

double store_lines(py::handle model, py::handle trid, py::handle index, py::handle texts,
                   const FailureReport& report) {
  const long limit = connection_limit();
  double waited = 0.0;
  for (int attempt = 0;; ++attempt) {
    Turn turn(limit, waited);
    py::set before = kestro::py_common::open_db_aliases();
    try {
      model.attr("objects").attr("add_records")("lock_id"_a = trid, "task_index"_a = index, "recs"_a = texts);
      kestro::py_common::close_db_opened_since(before);
      return waited;
    } catch (py::error_already_set& e) {
      if (!kestro::py_common::is_ordinary(e)) {
        kestro::py_common::close_db_opened_since(before);
        throw;
      }
      const bool retry = attempt < kRetries && failed_to_connect(e, model, before);
      kestro::py_common::close_db_opened_since(before);
      turn.give_back();
      if (!retry) {
        report(e);
        return waited;
      }
    }
    kestro::py_common::py_sleep(py::float_(kRetryPauses[attempt]));
    waited += kRetryPauses[attempt];
  }
}

double pause_after(double waited) { return std::max(0.0, kPause - waited); }

}  // namespace kestro::tasklog
