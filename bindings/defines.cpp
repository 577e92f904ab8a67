// kestro.common.defines: the error record, BMOBJ and the scheduler client.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common.hpp"
#include "defines_tasklog.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"
#include "kestro/text.hpp"
#include "pyclass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::ClassBuilder;

namespace {

constexpr Py_ssize_t kClogLimit = 52428800;  // 50 MiB of characters
constexpr const char* kBanner = "error**************************************************";

// Module-level names, looked up at call time so that a test or a service
// can rebind them on the module (settings, apps, `_`, json, ...).
py::module_& mod() {
  static py::module_* m = nullptr;
  if (!m) m = new py::module_(py::module_::import("kestro.common.defines"));
  return *m;
}
py::object g(const char* name) { return mod().attr(name); }

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
  try {
    return py::str(v);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return py::str("log value must be string");
  }
}

py::object record_model(py::handle task_type) {
  struct Entry { const char* type; const char* model; };
  static const Entry table[] = {{"dtask", "RunRecord"}, {"retask", "RETaskRecord"}, {"sptask", "DPTaskRecord"}};
  for (const auto& e : table)
    if (py::isinstance<py::str>(task_type) && task_type.cast<std::string>() == e.type)
      return g("apps").attr("get_model")(e.type, e.model);
  return py::none();
}

std::string current_env() {
  try {
    py::object debug = g("settings").attr("DEBUG");
    (void)debug;
    return "server";
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return "local";
  }
}

// ---- Et ----------------------------------------------------------------

void et_init(py::object self, py::args args, py::kwargs kwargs) {
  py::object state = py::int_(95635);
  py::object v = py::str("default error");
  py::list rest;
  std::size_t n = args.size();
  if (n > 0) state = args[0];
  if (n > 1) v = args[1];
  for (std::size_t k = 2; k < n; ++k) rest.append(args[k]);
  py::dict extra;
  for (auto item : kwargs) {
    std::string key = py::str(item.first);
    if (key == "state" || key == "v") {
      if ((key == "state" && n > 0) || (key == "v" && n > 1))
        throw py::type_error("__init__() got multiple values for argument '" + key + "'");
      (key == "state" ? state : v) = py::reinterpret_borrow<py::object>(item.second);
    } else {
      extra[item.first] = item.second;
    }
  }
  py::handle exception_init = reinterpret_cast<PyObject*>(PyExc_Exception);
  py::reinterpret_borrow<py::object>(exception_init).attr("__init__")(self, *py::tuple(rest), **extra);
  self.attr("_msg") = v;
  self.attr("state") = state;
}

// ---- error reports -----------------------------------------------------

// Report lines of the exception being handled right now, rendered with
// str(e) as the head of every frame block.
std::vector<std::string> report_lines(py::handle e) {
  py::object exc_info = py::module_::import("sys").attr("exc_info")();
  py::object frames = g("traceback").attr("extract_tb")(exc_info[py::int_(2)]);
  std::string head = py::str(e);
  std::string text;
  for (py::handle fr : frames) {
    py::object line = fr.attr("line");
    text += head;
    text += '\n';
    text += py::str(fr.attr("filename")).cast<std::string>();
    text += ", in ";
    text += py::str(fr.attr("name")).cast<std::string>();
    text += '\n';
    text += py::str(fr.attr("lineno")).cast<std::string>();
    text += ":                ";
    if (!line.is_none()) text += py::str(line).cast<std::string>();
    text += '!';
  }
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// getattr(e, name, "exception"): only a missing attribute gives the default.
py::object field_or(py::handle e, const char* name) {
  PyObject* value = PyObject_GetAttrString(e.ptr(), name);
  if (value) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::str("exception");
}

void logerr(py::object self, py::object e) {
  try {
    self.attr("log_error")(kBanner);
    for (const auto& line : report_lines(e)) self.attr("log_error")(line, "error");
    try {
      self.attr("log_error")(field_or(e, "_msg"));
    } catch (py::error_already_set& inner) {
      if (!kestro::py_common::is_ordinary(inner)) throw;
      self.attr("log_error")(field_or(e, "msg"));
    }
  } catch (py::error_already_set& failure) {
    if (!kestro::py_common::is_ordinary(failure)) throw;
    self.attr("log_error")(py::str(failure.value()));
  }
}

std::string geterr(py::object /*self*/, py::object e) {
  std::vector<std::string> out;
  try {
    out.push_back(kBanner);
    for (auto& line : report_lines(e)) {
      out.push_back(std::move(line));
      out.push_back("error");
    }
    try {
      out.push_back(py::str(field_or(e, "_msg")));
    } catch (py::error_already_set& inner) {
      if (!kestro::py_common::is_ordinary(inner)) throw;
      out.push_back(py::str(field_or(e, "msg")));
    }
  } catch (py::error_already_set& failure) {
    if (!kestro::py_common::is_ordinary(failure)) throw;
    out.push_back(py::str(failure.value()));
  }
  std::string joined;
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k) joined += '\n';
    joined += out[k];
  }
  return joined;
}

// ---- task log ----------------------------------------------------------

void clog(py::object self, py::object ctx, py::args log_values) {
  py::tuple values = log_values;
  try {
    Py_ssize_t total = 0;
    for (py::handle v : values) total += PyUnicode_GetLength(py::str(v).ptr());
    if (total > kClogLimit) values = py::make_tuple("log data too long");
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
  }
  std::string env = py::str(self.attr("get_current_env")());
  double waited = 0.0;  // for a turn to store, taken off the pause
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
      waited = kestro::tasklog::store_lines(model, trid, index, texts, [&](py::error_already_set& e) {
        HandledException handling(e);
        self.attr("log_error")("clog error ----- :");
        self.attr("logerr")(e.value());
      });
    }
  }
  kestro::py_common::py_sleep(py::float_(kestro::tasklog::pause_after(waited)));
}

py::object get_log_str(py::object /*self*/, py::args msgs) {
  try {
    return py::str(" ").attr("join")(py::module_::import("builtins").attr("map")(
        py::module_::import("builtins").attr("str"), msgs));
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return msgs;
  }
}

template <const char* Level>
void log_at(py::object self, py::args msgs) {
  self.attr("logger_django").attr(Level)(self.attr("get_log_str")(*msgs));
}
constexpr char kDebug[] = "debug";
constexpr char kInfo[] = "info";
constexpr char kWarning[] = "warning";
constexpr char kError[] = "error";

// ---- local work files ----------------------------------------------------

std::string unique_name_in(py::object pre_path, py::object pre_name, std::string* folder_out) {
  std::string media = kestro::text::posix_join(kestro::py_common::data_root(), "media");
  py::object folder_obj = g("os").attr("path").attr("join")(media, "docs", pre_path);
  std::string folder = folder_obj.cast<std::string>();
  std::string prefix = py::str(pre_name);
  kestro::py_common::without_gil([&] { kestro::fs::make_dirs(folder); });
  *folder_out = folder;
  return prefix + kestro::ids::uuid1_hex() + "_" + kestro::ids::local_stamp();
}

std::string gen_local_unique_file(py::object, py::object pre_path, py::object pre_name, py::object ext) {
  std::string folder;
  std::string name = unique_name_in(pre_path, pre_name, &folder);
  return kestro::text::posix_join(folder, name + "." + py::str(ext).cast<std::string>());
}

std::string gen_local_unique_path(py::object, py::object pre_path, py::object pre_name, py::object is_create) {
  std::string folder;
  std::string name = unique_name_in(pre_path, pre_name, &folder);
  std::string path = kestro::text::posix_join(folder, name);
  if (is_create.cast<bool>()) kestro::py_common::without_gil([&] { kestro::fs::make_dirs(path); });
  return path;
}

// os.fspath(path) as text, or false when it is not a path at all.
bool path_text(py::handle path, std::string& out) {
  try {
    py::object p = g("os").attr("fspath")(path);
    if (py::isinstance<py::bytes>(p)) p = g("os").attr("fsdecode")(p);
    out = p.cast<std::string>();
    return true;
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return false;
  } catch (py::cast_error&) {
    return false;
  }
}

void remove_file(py::object, py::object file_path) {
  std::string path;
  if (!path_text(file_path, path)) return;
  py::gil_scoped_release unlocked;
  kestro::fs::remove_file(path);
}

void remove_folder(py::object, py::object folder_path) {
  std::string path;
  if (!path_text(folder_path, path)) return;
  py::gil_scoped_release unlocked;
  kestro::fs::remove_tree(path);
}

py::object get_file_path(py::object, py::object path) {
  py::object join = g("os").attr("path").attr("join");
  try {
    return join(g("settings").attr("BASE_DIR"), join("dags/sptasks/p_code", path));
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
  }
  py::object norm = g("os").attr("path").attr("normpath")(path);
  std::string text = py::str(norm);
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = text.find('/', start);
    parts.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::size_t drop = parts.front() == "." ? 2 : 1;
  std::string out;
  for (std::size_t k = drop; k < parts.size(); ++k) {
    if (k > drop) out += '/';
    out += parts[k];
  }
  return py::str(out);
}

// ---- data and text utilities ---------------------------------------------

py::object get_var(py::object self, py::object name) {
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local") return py::none();
  py::object model = g("apps").attr("get_model")("gconfig", "VarConfig");
  try {
    return model.attr("objects").attr("get")("name"_a = name).attr("contents");
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return py::none();
  }
}

py::object get_record_now(py::object self, py::object ctx, py::object tz) {
  py::object arrow = g("arrow");
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local")
    return arrow.attr("now")(tz).attr("datetime");
  py::object task_type = ctx.attr("get")("task_type");
  py::object trid = ctx.attr("get")("trid");
  if (trid.is_none()) return arrow.attr("now")(tz).attr("datetime");
  py::object model = record_model(task_type);
  if (model.is_none())
    kestro::py_common::raise_et(g("Et"), 2, "unknown task_type: " + py::repr(task_type).cast<std::string>());
  py::object record = model.attr("objects").attr("get")("id"_a = trid);
  py::object when = record.attr("extras").attr("get")("root_create_time");
  if (when.is_none()) when = record.attr("create_time");
  return arrow.attr("get")(when).attr("to")(tz).attr("datetime");
}

py::object jsonloads(py::object, py::object data) {
  try {
    return g("json").attr("loads")(data);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
  }
  try {
    return g("ast").attr("literal_eval")(data);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
  }
  kestro::py_common::raise_et(g("Et"), 2, "参数格式不正确");
}

py::object jsondumps(py::object, py::object data, py::object /*mode*/, py::object /*sort_keys*/) {
  return g("json").attr("dumps")(data, "cls"_a = g("DatetimeJSONEncoder"),
                                 "separators"_a = py::make_tuple(",", ":"));
}

std::string text_tran_html(py::object, const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#x27;"; break;
      case ' ': out += "&nbsp"; break;
      case '\r':
        if (k + 1 < text.size() && text[k + 1] == '\n') ++k;
        out += "<br/>";
        break;
      case '\n': out += "<br/>"; break;
      default: out += c;
    }
  }
  return out;
}

py::object tran(py::object, py::object text) {
  return g("_")(py::str("%s").attr("__mod__")(text));
}

// ---- scheduler client ----------------------------------------------------

py::dict status(int s, const char* key, py::object value) {
  py::dict d;
  d["s"] = s;
  d[key] = std::move(value);
  return d;
}

py::object get_host_name(py::object self) {
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local")
    return status(13, "msg", py::str("local"));
  py::object model = g("apps").attr("get_model")("gconfig", "GConfig");
  try {
    py::object value = model.attr("objects").attr("get")("name"_a = "host_name").attr("contents")["value"];
    return status(1, "v", value);
  } catch (py::error_already_set& e) {
    if (!kestro::py_common::is_ordinary(e)) throw;
    return status(13, "msg", py::str("host_name error"));
  }
}

// One scheduler request: the form fields in order, the name list as
// ASCII-only JSON, time-outs 5/30 s, the answer decoded as JSON.
py::object scheduler_post(py::object self, const char* op, const char* names_field, py::object user_token,
                          py::object names, py::object start_time, py::object end_time, bool with_range) {
  py::object hresult = self.attr("get_host_name")();
  if (!py::object(hresult[py::str("s")]).equal(py::int_(1))) return hresult;
  py::object url = g("os").attr("path").attr("join")(hresult[py::str("v")], op);
  py::dict form;
  form["user_token"] = user_token;
  form[names_field] = g("json").attr("dumps")(names);
  if (with_range) {
    form["start_time"] = start_time;
    form["end_time"] = end_time;
  }
  py::object resp = g("requests").attr("post")(url, "data"_a = form, "timeout"_a = py::make_tuple(5, 30));
  return resp.attr("json")();
}

}  // namespace

PYBIND11_MODULE(defines, m) {
  m.doc() = "Error record, shared BaseMethod instance BMOBJ and the scheduler API client.";
  kestro::py_common::register_core_translator();

  // 1. the host service's facilities
  m.attr("apps") = py::module_::import("django.apps").attr("apps");
  m.attr("DatetimeJSONEncoder") = py::module_::import("kestro.common.extendEncoder").attr("DatetimeJSONEncoder");
  py::module_ translation = py::module_::import("django.utils.translation");
  // Django 4 removed the u-prefixed name; its successor is the same function.
  m.attr("_") = py::hasattr(translation, "ugettext_lazy") ? translation.attr("ugettext_lazy")
                                                           : translation.attr("gettext_lazy");
  m.attr("models") = py::module_::import("django.db.models");
  m.attr("admin") = py::module_::import("django.contrib.admin");
  m.attr("settings") = py::module_::import("django.conf").attr("settings");
  // 2. standard modules
  for (const char* name : {"ast", "hashlib", "json", "logging", "sys", "shutil", "time", "traceback", "requests",
                           "os", "uuid", "arrow"})
    m.attr(name) = py::module_::import(name);

  // 3. Et, CeleryRetryError, BaseMethod, Qz57HttpApi
  py::object exception = py::reinterpret_borrow<py::object>(PyExc_Exception);
  ClassBuilder et(m, "Et", py::make_tuple(exception));
  et.def_init(&et_init)
      .def_property("msg", [](py::object self) { return py::module_::import("json").attr("dumps")(self.attr("_msg")); })
      .def("getmsg", [](py::object self) { return self.attr("_msg"); });
  et.attr("__doc__", py::str("Error record: `state` (default 95635) and message `_msg` (default \"default error\")."));
  ClassBuilder celery(m, "CeleryRetryError", py::make_tuple(et.cls()));

  ClassBuilder http(m, "Qz57HttpApi", py::make_tuple(py::module_::import("builtins").attr("object")));
  http.def("get_current_env", [](py::object) { return current_env(); })
      .def("get_host_name", &get_host_name)
      .def("run_sptasks_by_taskname",
           [](py::object self, py::object token, py::object names) {
             return scheduler_post(self, "run_sptasks_by_taskname", "task_names", token, names, py::none(),
                                   py::none(), false);
           },
           py::arg("user_token"), py::arg("task_names"))
      .def("run_sptasks_by_projectname",
           [](py::object self, py::object token, py::object names) {
             return scheduler_post(self, "run_sptasks_by_projectname", "project_names", token, names, py::none(),
                                   py::none(), false);
           },
           py::arg("user_token"), py::arg("project_names"))
      .def("get_sptasks_info_by_taskname",
           [](py::object self, py::object token, py::object names, py::object start, py::object end) {
             return scheduler_post(self, "get_sptasks_info_by_taskname", "task_names", token, names, start, end,
                                   true);
           },
           py::arg("user_token"), py::arg("task_names"), py::arg("start_time"), py::arg("end_time"))
      .def("get_sptasks_info_by_projectname",
           [](py::object self, py::object token, py::object names, py::object start, py::object end) {
             return scheduler_post(self, "get_sptasks_info_by_projectname", "project_names", token, names, start,
                                   end, true);
           },
           py::arg("user_token"), py::arg("project_names"), py::arg("start_time"), py::arg("end_time"));

  py::object http_cls = http.cls();
  ClassBuilder base(m, "BaseMethod", py::make_tuple(py::module_::import("builtins").attr("object")));
  base.def_init([http_cls](py::object self) {
        py::object logging = py::module_::import("logging");
        self.attr("logger_django") = logging.attr("getLogger")("django");
        self.attr("logger_dadian") = logging.attr("getLogger")("dadian");
        self.attr("http_api") = http_cls();
      })
      .def("get_current_env", [](py::object) { return current_env(); })
      .def("clog", &clog, py::arg("ctx"))
      .def("get_log_str", &get_log_str)
      .def("log_debug", &log_at<kDebug>)
      .def("log_info", &log_at<kInfo>)
      .def("log_warning", &log_at<kWarning>)
      .def("log_error", &log_at<kError>)
      .def("logerr", &logerr, py::arg("e"))
      .def("geterr", &geterr, py::arg("e"))
      .def("gen_local_unique_file", &gen_local_unique_file, py::arg("pre_path") = "", py::arg("pre_name") = "",
           py::arg("ext") = "csv")
      .def("gen_local_unique_path", &gen_local_unique_path, py::arg("pre_path") = "", py::arg("pre_name") = "",
           py::arg("is_create") = false)
      .def("remove_file", &remove_file, py::arg("file_path"))
      .def("remove_folder", &remove_folder, py::arg("folder_path"))
      .def("get_file_path", &get_file_path, py::arg("path"))
      .def("get_var", &get_var, py::arg("name"))
      .def("get_record_now", &get_record_now, py::arg("ctx") = py::dict(), py::arg("tz") = "UTC")
      .def("jsonloads", &jsonloads, py::arg("data"))
      .def("jsondumps", &jsondumps, py::arg("data"), py::arg("mode") = 1, py::arg("sort_keys") = false)
      .def("text_tran_html", &text_tran_html, py::arg("text"))
      .def("tran", &tran, py::arg("text"));

  // 4. the shared instance
  m.attr("BMOBJ") = base.cls()();
}
