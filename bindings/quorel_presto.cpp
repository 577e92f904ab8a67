// kestro.quorel.quorel, the Presto path of ThinkDataQuery: the query runs
// on the engine through PyHive's DB-API cursor, and the rows its fetchmany
// returns are formatted in C++ straight into CSV blocks (no data frame per
// block). Whole-query retries happen only for read time-outs.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common.hpp"
#include "kestro/background.hpp"
#include "quorel_py_rows.hpp"
#include "quorel_presto.hpp"

namespace py = pybind11;

namespace {

using namespace kestro::py_common;
using kestro::quorel::BlockFile;

constexpr const char* kReadTimedOut = "Read timed out";

// Bounds of the counts a caller gives. A read time-out longer than a day
// is a hang in all but name; so are more than a thousand whole-query
// attempts, each waiting out its time-out.
constexpr long long kMaxAttempts = 1000;
constexpr double kMaxReadTimeout = 86400;

using kestro::py_common::positive_count_arg;

// The numbers of one attempt, checked before anything is done. block_size
// and fetch_size below 1 would never flush a block (and divide by zero) or
// fetch nothing and report an empty result as complete.
void check_attempt_args(py::handle block_size, py::handle fetch_size, py::handle read_timeout, py::handle upcount) {
  positive_count_arg(block_size, "block_size");
  positive_count_arg(fetch_size, "fetch_size");
  seconds_arg(read_timeout, "read_timeout", 0, false, kMaxReadTimeout);
  optional_count_arg(upcount, "upcount", 0);
}

// Runs f, turning pybind11's C++-side Python exceptions (the TypeError or
// ValueError of a row that does not fit) into a set Python error, so that
// one handler sees every ordinary failure of an attempt.
template <class F>
void as_python_error(F&& f) {
  try {
    f();
  } catch (py::error_already_set&) {
    throw;
  } catch (const py::builtin_exception& e) {
    e.set_error();
    throw py::error_already_set();
  }
}

// A read time-out of the HTTP layer beneath the cursor: requests words it
// "Read timed out" (a ReadTimeout while waiting for a head, a
// ConnectionError wrapping urllib3's ReadTimeoutError while reading a
// streamed body); the types are checked too, in case the wording changes.
bool is_read_timeout(py::handle err) {
  auto check = [&] {
    if (py::str(err).cast<std::string>().find(kReadTimedOut) != std::string::npos) return true;
    py::module_ rexc = py::module_::import("requests.exceptions");
    py::module_ uexc = py::module_::import("urllib3.exceptions");
    py::object urllib3_timeout = uexc.attr("ReadTimeoutError");
    if (py::isinstance(err, rexc.attr("ReadTimeout")) || py::isinstance(err, urllib3_timeout)) return true;
    if (py::isinstance(err, rexc.attr("ConnectionError"))) {
      py::object args = err.attr("args");
      return py::isinstance<py::tuple>(args) && py::len(args) > 0 &&
             py::isinstance(py::reinterpret_borrow<py::tuple>(args)[0], urllib3_timeout);
    }
    return false;
  };
  try {
    return call_or(check, [](const py::error_already_set&) { return false; });
  } catch (const py::builtin_exception&) {
    // a text that cannot be converted: not the client's time-out wording
    return false;
  }
}

// A row's truth as Python sees it, tuples (the cursor's rows) answered
// here.
bool non_empty(PyObject* row) {
  if (PyTuple_CheckExact(row)) return PyTuple_GET_SIZE(row) != 0;
  return truthy(row);
}

// Ends an attempt's use of the engine. A query left unfinished (failure,
// tolerated failure) is cancelled first, since closing a PyHive connection
// does not stop it on the engine; on a failure path neither step may hide
// the failure being reported, so their own errors are dropped there.
void finish(py::object& conn, py::object& cursor, bool executed, bool failing) {
  if (!conn) return;
  if (failing && executed && cursor) catch_ordinary([&] { cursor.attr("cancel")(); });
  py::object c = std::exchange(conn, py::object());
  if (!failing) {
    c.attr("close")();
    return;
  }
  catch_ordinary([&] { c.attr("close")(); });
}

// The rows fetched and not yet written, and the file they go to. Rows are
// copied out of the fetched batches with the GIL held (add), then
// formatted into CSV text on a thread of their own without it (hand_over),
// while the caller fetches the next batch. A full block is formatted and
// written there too (write_behind), the next fetch running meanwhile; its
// outcome is taken (settle) before the caller does anything else that can
// be seen, so a write failure still surfaces at the row that filled the
// block, as it would if the rows were written in turn. flush() writes and
// waits.
class ResultBlocks {
 public:
  explicit ResultBlocks(long long block_size) : block_size_(block_size) {}

  void open(const std::string& path, std::string header, std::size_t ncols) {
    ncols_ = ncols;
    without_gil([&] { file_ = std::make_unique<BlockFile>(path, header); });
  }

  // Copies one row; true when the block is full (then call flush()).
  bool add(py::handle row) {
    kestro::quorel::add_py_row(filling_, row, ncols_);
    return ++rows_ == block_size_;
  }

  // Starts formatting the rows copied so far; returns at once.
  void hand_over() {
    if (filling_.rows > 0) start(false);
  }

  // Formats and appends every row copied so far, and waits for the write.
  // The text is dropped whether or not the write succeeds, so a block
  // whose write failed is never written twice.
  void flush() {
    if (!file_ || rows_ == 0) return;
    rows_ = 0;
    start(true);
    finish();
  }

  // As flush(), but returns at once; call settle() before adding a row or
  // anything else that the write must precede.
  void write_behind() {
    if (!file_ || rows_ == 0) return;
    rows_ = 0;
    start(true);
    behind_ = true;
  }

  // Waits for a write begun by write_behind(), rethrowing its failure;
  // true when there was one.
  bool settle() {
    if (!behind_) return false;
    behind_ = false;
    finish();
    return true;
  }

  // Closes the file, keeping whatever it holds: removing a failed result is
  // the retry loop's step, through BMOBJ.
  void close() {
    finish();
    if (file_) without_gil([&] { file_->keep(); });
    file_.reset();
  }

  // For ways out other than the ordinary ones: close, never throw.
  ~ResultBlocks() {
    formatter_.quiesce();
    if (file_) {
      try {
        file_->keep();
      } catch (...) {
      }
    }
  }

 private:
  // Waits for the previous job, then formats `filling_` (and appends the
  // text when `write`) on the formatter thread.
  void start(bool write) {
    finish();
    std::swap(filling_, formatting_);
    formatter_.start([this, write] {
      kestro::csv::put_rows(text_, formatting_.cells.data(), formatting_.rows, ncols_, scratch_);
      if (!write) return;
      struct Clear {
        kestro::csv::Buffer& text;
        ~Clear() { text.clear(); }  // keeps the capacity for the next block
      } clear{text_};
      file_->append(text_.view());
    });
  }

  // Waits for the job in progress, if any, rethrowing its failure (OSError
  // for a write), and makes its rows room for the next ones.
  void finish() {
    struct Release {
      kestro::quorel::CellRows& rows;
      ~Release() { rows.clear(); }
    } release{formatting_};
    without_gil([&] { formatter_.settle(); });
  }

  long long block_size_;
  long long rows_ = 0;  // rows added since the last write
  std::size_t ncols_ = 0;
  std::unique_ptr<BlockFile> file_;
  kestro::csv::Buffer text_;  // formatted rows of the block; formatter only
  std::string scratch_;       // formatter only
  kestro::quorel::CellRows filling_, formatting_;
  bool behind_ = false;  // a write_behind() not settled yet
  // Declared last: stopped before anything its job touches goes.
  kestro::BackgroundTask formatter_;
};

// ---- a busy engine is waited out ---------------------------------------------
//
// In the engine's client protocol an answer 503 means "busy, ask again".
// PyHive raises on it, so the requests session handed to it carries an
// adapter that asks again: the statement POST and the page GETs (nothing
// else), with pauses growing from busy_first_pause to busy_max_pause while
// their sum stays within busy_total_wait. Then the last 503 answer goes to
// PyHive, which raises its own error. Pauses go through time.sleep (the
// GIL is free meanwhile). The limits are class attributes so that a
// service can tune them.

PyObject* g_http_adapter = nullptr;  // requests.adapters.HTTPAdapter, leaked
PyObject* g_busy_adapter = nullptr;  // the adapter class, leaked

constexpr int kBusy = 503;

py::object busy_send(py::object self, py::object request, py::args args, py::kwargs kwargs) {
  py::object send = py::handle(g_http_adapter).attr("send");
  const std::string method = py::str(request.attr("method"));
  const bool asks_again = method == "POST" || method == "GET";
  double pause = self.attr("busy_first_pause").cast<double>();
  const double max_pause = self.attr("busy_max_pause").cast<double>();
  const double total = self.attr("busy_total_wait").cast<double>();
  double waited = 0;
  while (true) {
    py::object response = send(self, request, *args, **kwargs);
    if (!asks_again || response.attr("status_code").cast<int>() != kBusy || waited + pause > total) return response;
    response.attr("close")();
    kestro::py_common::py_sleep(py::float_(pause));
    waited += pause;
    pause = std::min(pause * 2, max_pause);
  }
}

// The adapter class, a subclass of requests' HTTPAdapter named as a
// member of `cls`'s module (kept off the module: it is internal).
void register_busy_adapter(py::handle cls) {
  py::object http_adapter = py::module_::import("requests.adapters").attr("HTTPAdapter");
  py::dict ns;
  ns["__module__"] = cls.attr("__module__");
  ns["__qualname__"] = "_PrestoBusyAdapter";
  ns["__doc__"] = "requests adapter that waits out the Presto engine's busy (503) answers.";
  ns["busy_first_pause"] = 0.05;
  ns["busy_max_pause"] = 1.0;
  ns["busy_total_wait"] = 30.0;
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object adapter = type("_PrestoBusyAdapter", py::make_tuple(http_adapter), ns);
  adapter.attr("send") = py::cpp_function(&busy_send, py::name("send"), py::is_method(adapter), py::arg("request"));
  g_http_adapter = http_adapter.release().ptr();
  g_busy_adapter = adapter.release().ptr();
}

// A new session whose adapter waits out busy answers.
py::object busy_session() {
  py::object session = py::module_::import("requests").attr("Session")();
  py::object adapter = py::handle(g_busy_adapter)();
  for (const char* scheme : {"http://", "https://"}) session.attr("mount")(scheme, adapter);
  return session;
}

// Closes an attempt's session on every way out; its own failure is dropped.
struct SessionCloser {
  py::object session;
  ~SessionCloser() {
    if (!session) return;
    try {
      session.attr("close")();
    } catch (py::error_already_set&) {
    }
  }
};

py::object get_data_raw_pyhive_i(py::object self, py::object ctx, py::object unique_path, py::object sql,
                                 py::object block_size, py::object fetch_size, py::object read_timeout,
                                 py::object upcount) {
  path_arg(unique_path, "unique_path");
  text_arg(sql, "sql");
  check_attempt_args(block_size, fetch_size, read_timeout, upcount);
  kestro::quorel::check_conn_info(self.attr("hive_conn_info"), true);
  py::object verify = kestro::quorel::verify_of(self);
  const long long block = positive_count_arg(block_size, "block_size");
  // Only this path needs PyHive, so it is loaded when a query runs.
  py::module_ presto = py::module_::import("pyhive.presto");
  bmobj().attr("log_error")("in query");

  SessionCloser session{busy_session()};
  ResultBlocks blocks(block);
  long long count = 0;
  py::object conn, cursor;
  bool executed = false;
  try {
    as_python_error([&] {
      py::list conn_info = py::list(self.attr("hive_conn_info"));
      py::dict requests_kwargs;
      requests_kwargs["timeout"] = py::make_tuple(30, read_timeout);
      requests_kwargs["stream"] = true;
      requests_kwargs["verify"] = verify;
      py::dict extra;
      py::object host = conn_info[0];
      // "https://host" reaches an engine behind TLS (checked as `verify` says)
      std::string host_text = host.cast<std::string>();
      for (const char* scheme : {"https", "http"}) {
        std::string prefix = std::string(scheme) + "://";
        if (host_text.rfind(prefix, 0) == 0) {
          host = py::str(host_text.substr(prefix.size()));
          extra["protocol"] = scheme;
          break;
        }
      }
      conn = presto.attr("connect")(py::arg("host") = host, py::arg("port") = py::int_(conn_info[1]),
                                    py::arg("username") = "ta", py::arg("catalog") = "hive",
                                    py::arg("schema") = "ta", py::arg("requests_kwargs") = requests_kwargs,
                                    py::arg("requests_session") = session.session, **extra);
      cursor = conn.attr("cursor")();
      cursor.attr("execute")(sql);
      executed = true;
      clog(ctx, "文件大小");

      py::list cols;
      for (py::handle entry : py::iter(cursor.attr("description"))) cols.append(entry[py::int_(0)]);
      const std::size_t ncols = cols.size();
      blocks.open(py::str(unique_path), kestro::quorel::csv_header_py(cols), ncols);

      // A full block is written while the cursor fetches; its progress line
      // waits for the write, so the lines and a write failure come as if
      // the block had been written before the fetch.
      long long unlogged = 0;
      auto settle = [&] {
        if (blocks.settle() && unlogged) clog(ctx, std::exchange(unlogged, 0));
      };
      py::object fetch_many = cursor.attr("fetchmany");
      py::object rows;
      auto fetch = [&] {
        try {
          // the rows are copied out: the next batch may take their memory
          rows = py::object();
          rows = fetch_many(fetch_size);
        } catch (py::error_already_set& e) {
          // the block's failure comes first: it preceded the fetch; an
          // interrupt is never replaced
          if (is_ordinary(e)) settle();
          throw;
        }
        settle();
      };
      for (fetch(); truthy(rows); fetch()) {
        py::object batch =
            py::reinterpret_steal<py::object>(PySequence_Fast(rows.ptr(), "fetchmany must return a sequence of rows"));
        if (!batch) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(batch.ptr());
        PyObject** items = PySequence_Fast_ITEMS(batch.ptr());
        for (Py_ssize_t k = 0; k < n; ++k) {
          settle();
          if (!non_empty(items[k])) continue;
          bool full = blocks.add(items[k]);
          ++count;
          if (full) blocks.write_behind();
          if (count % block == 0) {
            if (full)
              unlogged = count;
            else
              clog(ctx, count);
          }
        }
        // formatted while the cursor fetches the next batch
        blocks.hand_over();
      }
      clog(ctx, "total: " + std::to_string(count));
      blocks.flush();
      blocks.close();
    });
  } catch (py::error_already_set& e) {
    bool tolerated = false;
    if (is_ordinary(e)) {
      try {
        // clog takes the error's text form (and copes with one that fails)
        SecretMask secrets;
        secrets.add(py::getattr(self, "token", py::none()));
        clog(ctx, "get data error:", secrets.loggable(e.value()));
        if (!upcount.is_none()) {
          int below = PyObject_RichCompareBool(py::int_(count).ptr(), upcount.ptr(), Py_LT);
          if (below < 0) throw py::error_already_set();
          tolerated = below == 0;
        }
        // The caller accepts a partial result: it holds every row that
        // arrived, the buffered ones included.
        if (tolerated) {
          blocks.flush();
          blocks.close();
        }
      } catch (...) {
        finish(conn, cursor, executed, true);
        throw;
      }
    }
    finish(conn, cursor, executed, true);
    if (!tolerated) throw;
    return unique_path;
  } catch (...) {
    finish(conn, cursor, executed, true);
    throw;
  }
  finish(conn, cursor, executed, false);
  return unique_path;
}

py::object get_data_raw_pyhive(py::object self, py::object ctx, py::object sql, py::object block_size,
                               py::object fetch_size, py::object retry_count, py::object read_timeout,
                               py::object upcount) {
  text_arg(sql, "sql");
  const long long attempts = count_arg(retry_count, "retry_count", std::numeric_limits<long long>::min(), kMaxAttempts);
  check_attempt_args(block_size, fetch_size, read_timeout, upcount);
  if (attempts > 0) kestro::quorel::check_conn_info(self.attr("hive_conn_info"), false);  // its shape only: the attempt, which a subclass may replace, needs a real port
  py::object unique_path = self.attr("gen_local_unique_file")();
  std::optional<py::error_already_set> last_error;
  for (long long i = 0; i < attempts; ++i) {
    py::object result;
    last_error = catch_ordinary([&] {
      result = self.attr("get_data_raw_pyhive_i")(ctx, unique_path, sql, block_size, fetch_size, read_timeout,
                                                  upcount);
    });
    if (!last_error) return result;
    // Whatever the attempt left at the path goes, file or folder.
    bmobj().attr("remove_file")(unique_path);
    bmobj().attr("remove_folder")(unique_path);
    if (!is_read_timeout(last_error->value())) break;
    clog(ctx, "retry " + std::to_string(i));
  }
  // The very exception object of the last attempt, unchanged.
  if (last_error) throw std::move(*last_error);
  return py::none();
}

}  // namespace

void kestro::quorel::check_conn_info(py::handle conn_info, bool for_query) {
  py::sequence pair = list_arg(conn_info, "hive_conn_info");
  if (py::len(pair) != 2)
    raise_et(2, "hive_conn_info must be [host, port], not " + std::to_string(py::len(pair)) + " items");
  std::string host = text_arg(pair[0], "hive_conn_info host", false);
  for (const char* prefix : {"https://", "http://"})
    if (host.rfind(prefix, 0) == 0) host = host.substr(std::string(prefix).size());
  if (host.empty() || host.find('/') != std::string::npos)
    raise_et(2, "hive_conn_info host must be a host name, optionally after \"https://\"");
  py::object port = pair[1];
  long long n = -1;
  if (PyLong_Check(port.ptr()) && !PyBool_Check(port.ptr())) {
    int overflow = 0;
    n = PyLong_AsLongLongAndOverflow(port.ptr(), &overflow);
    if (overflow) n = -1;
  } else if (py::isinstance<py::str>(port)) {
    std::string digits = port.cast<std::string>();
    if (!digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos)
      n = std::stoll(digits);
  } else {
    refuse_type("hive_conn_info port", "int or str", port);
  }
  const long long lo = for_query ? 1 : 0;
  if (n < lo || n > 65535)
    raise_et(2, "hive_conn_info port must be a whole number from " + std::to_string(lo) + " to 65535");
}

void kestro::quorel::check_verify(py::handle verify, const char* name) {
  if (PyBool_Check(verify.ptr())) return;
  std::string path;
  if (py::isinstance<py::str>(verify) || py::hasattr(verify, "__fspath__"))
    path = path_arg(verify, name);
  else
    refuse_type(name, "True, False or the path of a CA bundle", verify);
  if (path.empty() || !py::module_::import("os.path").attr("exists")(path).cast<bool>())
    raise_et(2, std::string(name) + " names no CA bundle: " + path);
}

py::object kestro::quorel::verify_of(py::handle client) {
  py::object verify = py::getattr(client, "verify", py::none());
  const char* name = "verify";
  if (verify.is_none()) {
    name = "KESTRO_QUERY_VERIFY";
    py::object settings = py::module_::import("django.conf").attr("settings");
    // unconfigured settings (outside the service) keep the default
    catch_ordinary([&] { verify = py::getattr(settings, name, py::none()); });
    if (verify.is_none()) return py::bool_(false);
  }
  check_verify(verify, name);
  if (PyBool_Check(verify.ptr())) return verify;
  return py::str(path_arg(verify, name));
}

void kestro::quorel::register_presto(py::object cls) {
  register_busy_adapter(cls);
  cls.attr("get_data_raw_pyhive") = py::cpp_function(
      &get_data_raw_pyhive, py::name("get_data_raw_pyhive"), py::is_method(cls), py::arg("ctx"), py::arg("sql"),
      py::arg("block_size") = 100000, py::arg("fetch_size") = 10000, py::arg("retry_count") = 5,
      py::arg("read_timeout") = 300, py::arg("upcount") = py::none());
  cls.attr("get_data_raw_pyhive_i") = py::cpp_function(
      &get_data_raw_pyhive_i, py::name("get_data_raw_pyhive_i"), py::is_method(cls), py::arg("ctx"),
      py::arg("unique_path"), py::arg("sql"), py::arg("block_size") = 100000, py::arg("fetch_size") = 10000,
      py::arg("read_timeout") = 300, py::arg("upcount") = py::none());
}
