// The task log's store step: a process-wide bound on concurrent
// add_records calls, retries of failed connects, connections closed.
#include "defines_tasklog.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

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

// The turns to store: a counting semaphore whose bound is given at each
// take (so that a changed host setting applies to the next call), each turn
// carrying a slot number. A slot keeps the database connection of its last
// store while other stores run or wait, so that a busy log does not pay a
// new connection per line; once the log is quiet, every idle slot's
// connection is closed. Waiters block without the GIL; the mutex is never
// held while the GIL is wanted.
class Turns {
 public:
  // Takes a turn once fewer than `limit` are taken and returns its slot,
  // adding the seconds waited to `waited` (nothing when a turn was free at
  // once). The main thread stays interruptible (signals are checked
  // between slices). GIL held.
  int take(long limit, double& waited) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (taken_ < limit) return admit();
    }
    const auto start = Clock::now();
    for (;;) {
      int slot = -1;
      {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiting_;
        if (freed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return taken_ < limit; })) slot = admit();
        --waiting_;
      }
      if (slot >= 0) {
        waited += std::chrono::duration<double>(Clock::now() - start).count();
        return slot;
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  // Gives the turn of `slot` back. When no other store runs or waits, the
  // free slots are moved to `idle` instead and the turn stays taken: the
  // caller closes their connections, then calls put_back(idle).
  bool give_back(int slot, std::vector<int>& idle) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(slot);
      if (taken_ == 1 && waiting_ == 0) {
        idle.swap(free_);
        return true;
      }
      --taken_;
    }
    freed_.notify_one();
    return false;
  }

  void put_back(const std::vector<int>& idle) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.insert(free_.end(), idle.begin(), idle.end());
      --taken_;
    }
    freed_.notify_one();
  }

 private:
  // The most recently freed slot first: its connection is the likeliest open.
  int admit() {
    ++taken_;
    if (free_.empty()) return next_slot_++;
    int slot = free_.back();
    free_.pop_back();
    return slot;
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  long taken_ = 0;
  long waiting_ = 0;
  int next_slot_ = 0;
  std::vector<int> free_;
};

Turns& turns() {
  static Turns* t = new Turns();  // lives as long as the process: worker threads may outlast the interpreter's exit
  return *t;
}

// (slot, alias) -> the slot's Django connection wrapper for that alias,
// shareable between threads (one thread uses it at a time: the holder of
// the slot's turn). Leaked on purpose, like the module's other objects.
py::dict& slot_wrappers() {
  static py::dict* d = new py::dict();
  return *d;
}

py::object slot_wrapper(int slot, py::handle alias) {
  py::tuple key = py::make_tuple(slot, alias);
  if (slot_wrappers().contains(key)) return slot_wrappers()[key];
  py::object wrapper = py::module_::import("django.db").attr("connections").attr("create_connection")(alias);
  wrapper.attr("inc_thread_sharing")();
  slot_wrappers()[key] = wrapper;
  return wrapper;
}

void close_quietly(py::handle wrapper) {
  try {
    wrapper.attr("close")();
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
  }
}

void close_slots(const std::vector<int>& slots) {
  for (auto item : slot_wrappers()) {
    int slot = py::reinterpret_borrow<py::tuple>(item.first)[0].cast<int>();
    if (std::find(slots.begin(), slots.end(), slot) != slots.end()) close_quietly(item.second);
  }
}

// One turn, given back when the scope ends (or earlier, by give_back);
// the last turn of a quiet log closes the idle slots' connections. GIL held.
class Turn {
 public:
  Turn(long limit, double& waited) : slot_(turns().take(limit, waited)) {}
  ~Turn() {
    try {
      give_back();
    } catch (...) {
    }
  }
  int slot() const { return slot_; }
  void give_back() {
    if (!held_) return;
    held_ = false;
    std::vector<int> idle;
    if (!turns().give_back(slot_, idle)) return;
    try {
      close_slots(idle);
    } catch (...) {
      turns().put_back(idle);
      throw;
    }
    turns().put_back(idle);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  int slot_;
  bool held_ = true;
};

// For the length of one store: when the thread has no open connection on
// `alias`, the slot's wrapper stands in for the thread's own, so the store
// runs on the slot's (possibly still open) connection; a thread with a
// connection of its own (in a transaction, say) keeps using it. GIL held.
class SlotConnection {
 public:
  SlotConnection(int slot, py::handle alias)
      : connections_(py::module_::import("django.db").attr("connections")),
        alias_(py::reinterpret_borrow<py::object>(alias)) {
    if (alias_.is_none()) return;
    py::object own = connections_[alias_];
    if (!own.attr("connection").is_none()) return;
    own_ = own;
    connections_[alias_] = slot_wrapper(slot, alias_);
  }
  ~SlotConnection() {
    try {
      restore();
    } catch (...) {
    }
  }
  // After a failure: the slot's connection may be broken, so it goes.
  void drop() {
    if (!own_.is_none()) close_quietly(connections_[alias_]);
  }
  void restore() {
    if (own_.is_none()) return;
    connections_[alias_] = own_;
    own_ = py::none();
  }
  SlotConnection(const SlotConnection&) = delete;
  SlotConnection& operator=(const SlotConnection&) = delete;

 private:
  py::object connections_;
  py::object alias_;
  py::object own_ = py::none();
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
  kestro::py_common::raise_et(2, std::string(kConnectionsSetting) + " must be a whole number of at least 1, not " +
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

// The database alias that `model` writes to, or None when the host's
// router fails to say (the store then runs on the thread's own connection).
py::object write_alias(py::handle model) {
  try {
    return py::module_::import("django.db").attr("router").attr("db_for_write")(model);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return py::none();
  }
}

}  // namespace

double store_lines(py::handle model, py::handle trid, py::handle index, py::handle texts,
                   const FailureReport& report) {
  const long limit = connection_limit();
  py::object alias = write_alias(model);
  double waited = 0.0;
  for (int attempt = 0;; ++attempt) {
    Turn turn(limit, waited);
    SlotConnection borrowed(turn.slot(), alias);
    py::set before = kestro::py_common::open_db_aliases();
    try {
      model.attr("objects").attr("add_records")("lock_id"_a = trid, "task_index"_a = index, "recs"_a = texts);
      borrowed.restore();
      kestro::py_common::close_db_opened_since(before);
      return waited;
    } catch (py::error_already_set& e) {
      if (!kestro::py_common::is_ordinary(e)) {
        borrowed.drop();
        throw;  // the guards restore and give back
      }
      const bool retry = attempt < kRetries && failed_to_connect(e, model, before);
      borrowed.drop();
      borrowed.restore();
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
