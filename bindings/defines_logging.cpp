// kestro.common.defines: the task log (clog) and the logging operations of
// BaseMethod.
#include <pybind11/pybind11.h>

#include <optional>

#include "defines_parts.hpp"
#include "defines_tasklog.hpp"

namespace kestro::defines {

using namespace pybind11::literals;
using kestro::py_common::call_or;
using kestro::py_common::catch_ordinary;

namespace {

constexpr Py_ssize_t kClogLimit = 52428800;  // 50 MiB of characters

// While it lives, `err` is the exception "being handled" for Python code
// (sys.exc_info()), as inside an except block; the previous one comes back
// afterwards.
class HandledException {
 public:
  explicit HandledException(const py::error_already_set& err) {
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    py::object t = err.type(), v = err.value(), tb = err.trace();
    // Python 3.11 reads the traceback from the exception object itself.
    if (!tb.is_none()) PyException_SetTraceback(v.ptr(), tb.ptr());
    PyErr_SetExcInfo(t.release().ptr(), v.release().ptr(), tb.release().ptr());
  }
  ~HandledException() { PyErr_SetExcInfo(type_, value_, tb_); }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

// str(v), or "log value must be string" when that raises.
py::str text_or_fallback(py::handle v) {
  return call_or([&] { return py::str(v); },
                 [](const py::error_already_set&) { return py::str("log value must be string"); });
}

void clog(py::object self, py::object ctx, py::args log_values) {
  py::tuple values = log_values;
  catch_ordinary([&] {
    Py_ssize_t total = 0;
    for (py::handle v : values) total += PyUnicode_GetLength(py::str(v).ptr());
    if (total > kClogLimit) values = py::make_tuple("log data too long");
  });
  std::string env = py::str(self.attr("get_current_env")());
  double waited = 0.0;  // for a turn to store, taken off the pause
  // from the store to the end of the pause: the log's shared connections stay open while any call lives
  std::optional<kestro::tasklog::CallScope> live;
  if (env == "local") {
    py::list texts;
    for (py::handle v : values) texts.append(text_or_fallback(v));
    // One write per line, so that lines of concurrent workers never run into
    // each other (print would write the texts and the newline separately).
    py::str line = py::str(" ").attr("join")(texts) + py::str("\n");
    py::module_::import("builtins").attr("print")(line, "end"_a = "");
  } else {
    py::object task_type = ctx[py::str("task_type")];
    py::object trid = ctx[py::str("trid")];
    py::object index = ctx[py::str("index")];
    py::list texts;
    for (py::handle v : values) texts.append(text_or_fallback(v));
    py::object model = record_model(task_type);
    if (!model.is_none()) {
      live.emplace();
      waited = kestro::tasklog::store_lines(model, trid, index, texts, [&](py::error_already_set& failure) {
        HandledException handling(failure);
        self.attr("log_error")("clog error ----- :");
        self.attr("logerr")(failure.value());
      });
    }
  }
  kestro::py_common::py_sleep(py::float_(kestro::tasklog::pause_after(waited)));
}

py::object get_log_str(py::object /*self*/, py::args msgs) {
  return call_or(
      [&]() -> py::object {
        py::module_ builtins = py::module_::import("builtins");
        return py::str(" ").attr("join")(builtins.attr("map")(builtins.attr("str"), msgs));
      },
      [&](const py::error_already_set&) -> py::object { return msgs; });
}

template <const char* Level>
void log_at(py::object self, py::args msgs) {
  self.attr("logger_django").attr(Level)(self.attr("get_log_str")(*msgs));
}
constexpr char kDebug[] = "debug";
constexpr char kInfo[] = "info";
constexpr char kWarning[] = "warning";
constexpr char kError[] = "error";

}  // namespace

void define_task_log(ClassBuilder& base) {
  base.def("clog", &clog, py::arg("ctx"))
      .def("get_log_str", &get_log_str)
      .def("log_debug", &log_at<kDebug>)
      .def("log_info", &log_at<kInfo>)
      .def("log_warning", &log_at<kWarning>)
      .def("log_error", &log_at<kError>);
}

}  // namespace kestro::defines
