// kestro.common.defines: the data and text utilities of BaseMethod
// (configuration variables, the task's "now", JSON, HTML text, translation).
#include <pybind11/pybind11.h>

#include <string>

#include "defines_parts.hpp"

namespace kestro::defines {

using namespace pybind11::literals;
using kestro::py_common::call_or;
using kestro::py_common::catch_ordinary;

namespace {

py::object get_var(py::object self, py::object name) {
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local") return py::none();
  py::object model = module_attr("apps").attr("get_model")("gconfig", "VarConfig");
  return call_or([&]() -> py::object { return model.attr("objects").attr("get")("name"_a = name).attr("contents"); },
                 [](const py::error_already_set&) -> py::object { return py::none(); });
}

py::object get_record_now(py::object self, py::object ctx, py::object tz) {
  // a zone name with a NUL fails deep in the time library, naming nothing
  if (py::isinstance<py::str>(tz)) kestro::py_common::text_arg(tz, "tz");
  py::object arrow = module_attr("arrow");
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local")
    return arrow.attr("now")(tz).attr("datetime");
  py::object task_type = ctx.attr("get")("task_type");
  py::object trid = ctx.attr("get")("trid");
  if (trid.is_none()) return arrow.attr("now")(tz).attr("datetime");
  py::object model = record_model(task_type);
  if (model.is_none())
    kestro::py_common::raise_et(2, "unknown task_type: " + py::repr(task_type).cast<std::string>());
  py::object record = model.attr("objects").attr("get")("id"_a = trid);
  py::object when = record.attr("extras").attr("get")("root_create_time");
  if (when.is_none()) when = record.attr("create_time");
  return arrow.attr("get")(when).attr("to")(tz).attr("datetime");
}

py::object jsonloads(py::object, py::object data) {
  py::object value;
  if (!catch_ordinary([&] { value = module_attr("json").attr("loads")(data); })) return value;
  if (!catch_ordinary([&] { value = module_attr("ast").attr("literal_eval")(data); })) return value;
  kestro::py_common::raise_et(2, "参数格式不正确");
}

py::object jsondumps(py::object, py::object data, py::object /*mode*/, py::object /*sort_keys*/) {
  return module_attr("json").attr("dumps")(data, "cls"_a = module_attr("DatetimeJSONEncoder"),
                                 "separators"_a = py::make_tuple(",", ":"));
}

std::string text_tran_html(py::object, py::object value) {
  if (!py::isinstance<py::str>(value)) kestro::py_common::refuse_type("text", "str", value);
  const std::string text = value.cast<std::string>();
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
      // No ";": the pages that show these texts have always been given this
      // form, and browsers read the legacy "&nbsp" as a no-break space too.
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
  return module_attr("_")(py::str("%s").attr("__mod__")(text));
}

}  // namespace

void define_data_utilities(ClassBuilder& base) {
  base.def("get_var", &get_var, py::arg("name"))
      .def("get_record_now", &get_record_now, py::arg("ctx") = py::dict(), py::arg("tz") = "UTC")
      .def("jsonloads", &jsonloads, py::arg("data"))
      .def("jsondumps", &jsondumps, py::arg("data"), py::arg("mode") = 1, py::arg("sort_keys") = false)
      .def("text_tran_html", &text_tran_html, py::arg("text"))
      .def("tran", &tran, py::arg("text"));
}

}  // namespace kestro::defines
