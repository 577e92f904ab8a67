// kestro.quorel.quorel: SQL on the analytics platform, the result written
// block by block into a local CSV file.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/background.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"
#include "kestro/pytext.hpp"
#include "kestro/query_export.hpp"
#include "kestro/path_text.hpp"
#include "pyclass.hpp"
#include "quorel_py_rows.hpp"
#include "quorel_presto.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::ClassBuilder;

namespace {

std::string result_folder() {
  return kestro::text::posix_join(kestro::text::posix_join(kestro::py_common::data_root(), "media"), "docs");
}

void init(py::object self, py::object query_uri, py::object token, py::object hive_conn_info, py::object verify) {
  kestro::py_common::text_arg(query_uri, "query_uri", false);
  kestro::py_common::text_arg(token, "token");
  kestro::quorel::check_conn_info(hive_conn_info, false);
  if (!verify.is_none()) kestro::quorel::check_verify(verify, "verify");
  self.attr("query_uri") = query_uri;
  self.attr("token") = token;
  self.attr("hive_conn_info") = hive_conn_info;
  self.attr("verify") = verify;
}

std::string gen_local_unique_file(py::object /*self*/, py::object ext) {
  std::string ext_text = py::str(ext);
  if (ext_text.find('\0') != std::string::npos || ext_text.find('/') != std::string::npos)
    kestro::py_common::raise_et(2, "ext must not contain \"/\" or a NUL character");
  std::string folder = result_folder();
  kestro::py_common::without_gil([&] { kestro::fs::make_dirs(folder); });
  std::string name = kestro::ids::uuid1_hex();
  name += kestro::ids::uuid1_hex();
  return kestro::text::posix_join(folder, name + "." + ext_text);
}

bool g_to_csv_notmp(py::object /*self*/, py::object filepath, py::object df, py::object index, py::object compression,
                    py::object mode, py::object header) {
  py::dict kwargs;
  // Only an explicit None drops the row labels; any other value (False
  // included) leaves pandas' default, which writes them.
  if (index.is_none()) kwargs["index"] = py::none();
  if (!compression.is_none()) kwargs["compression"] = compression;
  kwargs["mode"] = mode;
  kwargs["header"] = header;
  df.attr("to_csv")(filepath, **kwargs);
  return true;
}

// Pieces of the body handed to the core at a time. urllib3 yields at most
// one transfer chunk per piece for a chunked answer, so this only caps the
// size of a piece.
constexpr std::size_t kBodyPiece = 8 << 20;

std::string type_name(const py::error_already_set& e) {
  return py::str(e.type().attr("__name__")).cast<std::string>();
}

// get_data_csv after the request was answered: reads the body through the
// core and returns the result path. Every failure is logged "get data
// error" (after the progress lines already due), the partial file removed,
// and raised: the HTTP library's own error for the stream, Et(2, ...)
// for anything else. An error answer (return_code not 0) is logged as
// "sql error:" and, after the total line, raised as Et(2, ...).
py::object export_body(py::object ctx, py::object response, const std::string& path, std::size_t block_size,
                       const kestro::py_common::SecretMask& secrets) {
  py::object bm = kestro::py_common::bmobj();
  kestro::query::CsvExport ex(path, block_size);
  bool stream_failed = false;
  std::optional<std::string> sql_error;  // the error answer's line
  std::optional<std::string> failure;    // reason for Et(2, ...)

  auto log_progress = [&] {
    for (auto n : ex.take_progress()) kestro::py_common::clog(ctx, py::int_(n));
  };
  // Answers a waiting header line; false when it was an error answer.
  auto take_header = [&]() -> bool {
    std::string_view line = ex.header_line();
    py::object data = py::module_::import("json").attr("loads")(py::bytes(line.data(), line.size()));
    py::object code = data[py::str("return_code")];
    if (!code.equal(py::int_(0))) {
      // the platform may quote the token it refused
      bm.attr("log_error")("sql error:", secrets.loggable(data));
      sql_error = secrets.apply(
          py::bytes(line.data(), line.size()).attr("decode")("utf-8", "replace").cast<std::string>());
      return false;
    }
    py::object cols = data[py::str("data")][py::str("headers")];
    if (!py::isinstance<py::list>(cols) && !py::isinstance<py::tuple>(cols))
      throw kestro::Error(kestro::Error::Code::kParse, "headers is not a list of column names");
    std::string header = kestro::quorel::csv_header_py(cols);
    std::size_t ncols = py::len(cols);
    py::gil_scoped_release unlocked;
    ex.start(header, ncols);
    return true;
  };
  // Runs a core step and answers header lines; false once an error answer
  // ended the reading.
  auto step = [&](bool final, std::string_view piece) -> bool {
    kestro::query::CsvExport::Step s;
    {
      py::gil_scoped_release unlocked;
      s = final ? ex.finish() : ex.feed(piece);
    }
    while (s == kestro::query::CsvExport::Step::kHeader) {
      if (!take_header()) return false;
      py::gil_scoped_release unlocked;
      s = final ? ex.finish() : ex.feed({});
    }
    log_progress();
    return true;
  };

  // The core reads one piece on its own thread while this thread fetches
  // the next one from the HTTP library. Declared after `ex` and `piece` so
  // that it is stopped before them.
  py::object piece;
  kestro::query::CsvExport::Step piece_step = kestro::query::CsvExport::Step::kMore;
  kestro::BackgroundTask worker;
  // Waits for the piece in flight, if any, and answers what it found;
  // false once an error answer ended the reading.
  auto collect = [&]() -> bool {
    {
      py::gil_scoped_release unlocked;
      worker.settle();
    }
    piece = py::object();
    while (piece_step == kestro::query::CsvExport::Step::kHeader) {
      if (!take_header()) return false;
      py::gil_scoped_release unlocked;
      piece_step = ex.feed({});
    }
    log_progress();
    return true;
  };
  // Before anything touches `ex` after a failure.
  auto quiesce = [&] {
    py::gil_scoped_release unlocked;
    worker.quiesce();
  };

  try {
    py::object pieces = py::iter(response.attr("iter_content")("chunk_size"_a = kBodyPiece));
    bool reading = true;
    while (reading) {
      PyObject* next = PyIter_Next(pieces.ptr());
      if (!next && PyErr_Occurred()) {
        stream_failed = true;
        throw py::error_already_set();
      }
      py::object fresh = py::reinterpret_steal<py::object>(next);
      reading = collect();
      if (!reading || !fresh) break;
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(fresh.ptr(), &data, &size) != 0) throw py::error_already_set();
      piece = std::move(fresh);
      std::string_view view(data, static_cast<std::size_t>(size));
      worker.start([&ex, &piece_step, view] { piece_step = ex.feed(view); });
    }
    if (reading) step(true, {});
    kestro::py_common::clog(ctx, "total: " + std::to_string(ex.lines()));
    if (!sql_error && !ex.started()) throw kestro::Error(kestro::Error::Code::kParse, "the answer held no header line");
    if (!sql_error) {
      py::gil_scoped_release unlocked;
      ex.close();
    }
  } catch (py::error_already_set& e) {
    quiesce();
    if (!kestro::py_common::is_ordinary(e)) throw;
    kestro::py_common::catch_ordinary(log_progress);
    bm.attr("log_error")("get data error", secrets.loggable(e.value()));
    ex.discard();
    if (stream_failed) throw;
    failure = type_name(e) + ": " + secrets.text_of(e.value());
  } catch (const kestro::Error& e) {
    quiesce();
    kestro::py_common::catch_ordinary(log_progress);
    bm.attr("log_error")("get data error", secrets.apply(e.what()));
    ex.discard();
    failure = secrets.apply(e.what());
  }
  if (failure) {
    std::string message = "get data error: " + *failure;
    int status = py::getattr(response, "status_code", py::int_(200)).cast<int>();
    if (status >= 400) message += " (HTTP status " + std::to_string(status) + ")";
    kestro::py_common::raise_et(2, message);
  }
  if (sql_error) kestro::py_common::raise_et(2, "sql error: " + *sql_error);
  return py::str(path);
}

// Closes what get_data_csv opened, whatever way it ends.
struct Closer {
  py::object obj;
  ~Closer() {
    if (!obj) return;
    try {
      obj.attr("close")();
    } catch (py::error_already_set&) {
    }
  }
};

py::object get_data_csv(py::object self, py::object ctx, py::object sql, py::object block_size) {
  kestro::py_common::text_arg(sql, "sql");
  auto rows_per_block = static_cast<std::size_t>(
      kestro::py_common::positive_count_arg(block_size, "block_size"));
  py::object verify = kestro::quorel::verify_of(self);
  kestro::py_common::SecretMask secrets;
  secrets.add(self.attr("token"));
  py::object bm = kestro::py_common::bmobj();
  Closer session{py::module_::import("requests").attr("session")()};
  py::dict post_data;
  post_data["token"] = self.attr("token");
  post_data["sql"] = sql;
  py::object unique_path = self.attr("gen_local_unique_file")();
  bm.attr("log_error")("in query");
  Closer response{session.obj.attr("post")(self.attr("query_uri"), "data"_a = post_data, "stream"_a = true,
                                           "verify"_a = verify, "timeout"_a = py::make_tuple(300, 600))};
  return export_body(ctx, response.obj, py::str(unique_path).cast<std::string>(), rows_per_block, secrets);
}

// The CSV text of `rows` under `cols`, as the Presto path writes it; for
// tests that compare the writer with pandas.
py::bytes csv_text(py::object cols, py::object rows) {
  std::string out = kestro::quorel::csv_header_py(cols);
  std::size_t ncols = py::len(cols);
  for (py::handle row : rows) kestro::quorel::append_py_row(out, row, ncols);
  return py::bytes(out);
}

}  // namespace

// repr() of texts follows this interpreter's Unicode database: which code
// points are printable changes between Python releases.
void use_interpreters_printable() {
  std::vector<std::pair<char32_t, char32_t>> ranges;
  bool open = false;
  char32_t start = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    bool bad = !Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp));
    if (bad && !open) {
      start = cp;
      open = true;
    } else if (!bad && open) {
      ranges.emplace_back(start, cp - 1);
      open = false;
    }
  }
  if (open) ranges.emplace_back(start, 0x10FFFF);
  kestro::pytext::use_nonprintable(ranges);
}

PYBIND11_MODULE(quorel, m) {
  use_interpreters_printable();
  kestro::py_common::bind_module(m);
  kestro::py_common::bind_defines(m);
  ClassBuilder cls(m, "ThinkDataQuery", py::make_tuple(py::module_::import("builtins").attr("object")));
  // One list object shared by every call, as a Python default value is.
  py::list default_conn;
  default_conn.append("host");
  default_conn.append(0);
  cls.def_init(&init, py::arg("query_uri"), py::arg("token"), py::arg("hive_conn_info") = default_conn,
               py::kw_only(), py::arg("verify") = py::none())
      .def("gen_local_unique_file", &gen_local_unique_file, py::arg("ext") = "csv")
      .def("g_to_csv_notmp", &g_to_csv_notmp, py::arg("filepath"), py::arg("df"), py::arg("index") = true,
           py::arg("compression") = py::none(), py::arg("mode") = "w", py::arg("header") = true)
      .def("get_data_csv", &get_data_csv, py::arg("ctx"), py::arg("sql"), py::arg("block_size") = 100000);
  m.def("_csv_text", &csv_text, py::arg("cols"), py::arg("rows"));
  kestro::quorel::register_presto(cls.cls());
}
