// The task log's store step: shared connections taken in turns, refusals
// waited out, connections closed by the last call.
#include "defines_tasklog.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "common.hpp"
#include "db_connections.hpp"

namespace kestro::tasklog {

namespace {

using namespace pybind11::literals;
using Clock = std::chrono::steady_clock;

// Pauses between tries of a refused store: doubling from the first (so a
// brief refusal costs little of the line's own pause) up to the last, which
// is how often a fleet's processes knock on a full database.
constexpr double kFirstRetryPause = 0.05;
constexpr double kLongestRetryPause = 1.0;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The turns to store on the shared connections: a counting semaphore whose
// bound is given at each take (so that a changed host setting applies to the
// next call), each turn carrying a slot number, plus the count of live clog
// calls. The last call to end closes the slots' connections, holding new
// turns back meanwhile. Waiters block without the GIL; the mutex is never
// held while the GIL is wanted.
class Turns {
 public:
  void enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++live_;
  }

  // Ends a live call. True when it was the last: the free slots are then
  // moved to `idle` and no turn is given until reopen(idle).
  bool leave(std::vector<int>& idle) {
    std::lock_guard<std::mutex> lock(mutex_);
    --live_;
    if (live_ > 0 || taken_ > 0 || free_.empty()) return false;
    closing_ = true;
    idle.swap(free_);
    return true;
  }

  void reopen(const std::vector<int>& idle) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.insert(free_.end(), idle.begin(), idle.end());
      closing_ = false;
    }
    freed_.notify_all();
  }

  // Takes a turn once fewer than `limit` are taken and returns its slot,
  // adding the seconds waited to `waited` (nothing when a turn was free at
  // once). The main thread stays interruptible (signals are checked
  // between slices). GIL held.
  int take(long limit, double& waited) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (open(limit)) return admit();
    }
    const auto start = Clock::now();
    for (;;) {
      int slot = -1;
      {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        if (freed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return open(limit); })) slot = admit();
      }
      if (slot >= 0) {
        waited += seconds_since(start);
        return slot;
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  void give_back(int slot) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(slot);
      --taken_;
    }
    freed_.notify_one();
  }

 private:
  bool open(long limit) const { return taken_ < limit && !closing_; }

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
  long live_ = 0;
  bool closing_ = false;
  int next_slot_ = 0;
  std::vector<int> free_;
};

Turns& turns() {
  static Turns* t = new Turns();  // lives as long as the process: worker threads may outlast the interpreter's exit
  return *t;
}

// (slot, alias) -> the slot's Django connection wrapper for that alias,
// shareable between threads (one thread uses it at a time: the holder of
// the slot's turn, or the last call closing it). Leaked on purpose, like
// the module's other objects.
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

// One turn, given back when the scope ends. GIL held.
class Turn {
 public:
  Turn(long limit, double& waited) : slot_(turns().take(limit, waited)) {}
  ~Turn() { turns().give_back(slot_); }
  int slot() const { return slot_; }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  int slot_;
};

// For the length of one try: the slot's wrapper stands in for the thread's
// own (unopened) connection on `alias`, so that the store runs on the
// slot's (possibly still open) connection. GIL held.
class SlotConnection {
 public:
  SlotConnection(int slot, py::handle alias)
      : connections_(py::module_::import("django.db").attr("connections")),
        alias_(py::reinterpret_borrow<py::object>(alias)),
        own_(connections_[alias_]) {
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
    if (!restored_) close_quietly(connections_[alias_]);
  }
  void restore() {
    if (restored_) return;
    restored_ = true;
    connections_[alias_] = own_;
  }
  SlotConnection(const SlotConnection&) = delete;
  SlotConnection& operator=(const SlotConnection&) = delete;

 private:
  py::object connections_;
  py::object alias_;
  py::object own_;
  bool restored_ = false;
};

// The calling thread's connection wrapper for `alias`.
py::object thread_connection(py::handle alias) {
  return py::module_::import("django.db").attr("connections")[alias];
}

// The bound from the host settings: KESTRO_TASKLOG_CONNECTIONS, default
// kDefaultConnections. A bound below 1 would block every line forever.
long connection_limit(py::handle settings) {
  py::object value = py::getattr(settings, kConnectionsSetting, py::int_(kDefaultConnections));
  if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) {
    long long n = value.cast<long long>();
    if (n >= 1) return static_cast<long>(std::min<long long>(n, 1L << 30));
  }
  kestro::py_common::raise_et(2, std::string(kConnectionsSetting) + " must be a whole number of at least 1, not " +
                                     py::repr(value).cast<std::string>());
}

// The wait from the host settings: KESTRO_TASKLOG_WAIT_SECONDS, default
// kDefaultWait; 0 reports a refused line at once.
double wait_limit(py::handle settings) {
  py::object value = py::getattr(settings, kWaitSetting, py::float_(kDefaultWait));
  if ((py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) && !py::isinstance<py::bool_>(value)) {
    double seconds = value.cast<double>();
    if (std::isfinite(seconds) && seconds >= 0) return seconds;
  }
  kestro::py_common::raise_et(2, std::string(kWaitSetting) + " must be a number of seconds of at least 0, not " +
                                     py::repr(value).cast<std::string>());
}

// True when the failure is SQLite's lock ("database is locked"), which
// Django raises with sqlite3's own error as its cause. Nothing ran then.
bool sqlite_locked(py::error_already_set& e) {
  py::object loaded = py::module_::import("sys").attr("modules").attr("get")("sqlite3");
  if (loaded.is_none()) return false;
  py::object cause = e.value().attr("__cause__");
  if (!py::isinstance(cause, loaded.attr("OperationalError"))) return false;
  if (py::hasattr(cause, "sqlite_errorcode")) {
    const long code = cause.attr("sqlite_errorcode").cast<long>() & 0xff;  // the primary code
    return code == 5 || code == 6;                                        // SQLITE_BUSY, SQLITE_LOCKED
  }
  std::string text = py::str(cause);
  return text.rfind("database is locked", 0) == 0 || text.rfind("database table is locked", 0) == 0;
}

// True when trying the same store again cannot store its line twice and may
// succeed: Django's OperationalError or InterfaceError while `alias` had no
// connection before the try and still has none (it failed to connect:
// the database full, down or restarting), or SQLite's lock on a connection
// outside a transaction (the statement did not run). A failure of this
// check itself counts as "no": the line is reported.
bool worth_waiting(py::error_already_set& e, py::handle alias, const py::set& before) {
  try {
    py::object utils = py::module_::import("django.db.utils");
    const bool operational = e.matches(utils.attr("OperationalError"));
    if (!operational && !e.matches(utils.attr("InterfaceError"))) return false;
    py::object conn = thread_connection(alias);
    if (!before.contains(alias) && conn.attr("connection").is_none()) return true;
    return operational && sqlite_locked(e) && !kestro::py_common::truthy(conn.attr("in_atomic_block"));
  } catch (py::error_already_set& inner) {
    if (!kestro::py_common::is_ordinary(inner)) throw;
    return false;
  }
}

// The database alias that `model` writes to, or None when the host's
// router fails to say (the store then runs on the thread's own connection,
// and is not tried again).
py::object write_alias(py::handle model) {
  try {
    return py::module_::import("django.db").attr("router").attr("db_for_write")(model);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return py::none();
  }
}

// The tries of one line and the time they took: `waited` is what the
// caller's pause overlaps (turn and pauses, as asked of time.sleep);
// `spent` adds the tries themselves and is held against the wait limit.
struct Tries {
  double limit;
  double waited = 0.0;
  double spent = 0.0;
  double next_pause = kFirstRetryPause;

  // The pause before the next try, or a negative number once the limit is
  // reached.
  double pause() {
    const double left = limit - spent;
    if (left <= 0) return -1;
    const double p = std::min(next_pause, left);
    next_pause = std::min(next_pause * 2, kLongestRetryPause);
    return p;
  }
};

}  // namespace

CallScope::CallScope() { turns().enter(); }

CallScope::~CallScope() {
  std::vector<int> idle;
  if (!turns().leave(idle)) return;
  try {
    close_slots(idle);
  } catch (...) {
  }
  turns().reopen(idle);
}

double store_lines(py::handle model, py::handle trid, py::handle index, py::handle texts,
                   const FailureReport& report) {
  py::object settings = py::module_::import("django.conf").attr("settings");
  const long limit = connection_limit(settings);
  Tries tries{wait_limit(settings)};
  py::object alias = write_alias(model);
  const bool shared = !alias.is_none() && thread_connection(alias).attr("connection").is_none();
  std::optional<Turn> turn;
  if (shared) turn.emplace(limit, tries.waited);  // kept through the pauses: one knock per process on a full database
  tries.spent = tries.waited;
  for (;;) {
    double pause = -1;
    {
      std::optional<SlotConnection> borrowed;
      if (shared) borrowed.emplace(turn->slot(), alias);
      py::set before = kestro::py_common::open_db_aliases();
      const auto start = Clock::now();
      try {
        model.attr("objects").attr("add_records")("lock_id"_a = trid, "task_index"_a = index, "recs"_a = texts);
        if (borrowed) borrowed->restore();
        kestro::py_common::close_db_opened_since(before);
        return tries.waited;
      } catch (py::error_already_set& e) {
        if (!kestro::py_common::is_ordinary(e)) {
          if (borrowed) borrowed->drop();
          throw;  // the guards restore and give back
        }
        const bool again = !alias.is_none() && worth_waiting(e, alias, before);
        if (borrowed) {
          borrowed->drop();
          borrowed->restore();
        }
        kestro::py_common::close_db_opened_since(before);
        tries.spent += seconds_since(start);
        if (again) pause = tries.pause();
        if (pause < 0) {
          turn.reset();
          report(e);
          return tries.waited;
        }
      }
    }
    kestro::py_common::py_sleep(py::float_(pause));
    tries.waited += pause;
    tries.spent += pause;
  }
}

double pause_after(double waited) { return std::max(0.0, kPause - waited); }

}  // namespace kestro::tasklog
