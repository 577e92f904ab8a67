// kestro.common.defines: the error record Et and the error reports
// (logerr, geterr).
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "defines_parts.hpp"

namespace kestro::defines {

using kestro::py_common::catch_ordinary;

namespace {

constexpr const char* kBanner = "error**************************************************";

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

// Report lines of the exception being handled right now, rendered with
// str(e) as the head of every frame block.
std::vector<std::string> report_lines(py::handle e) {
  py::object exc_info = py::module_::import("sys").attr("exc_info")();
  py::object frames = module_attr("traceback").attr("extract_tb")(exc_info[py::int_(2)]);
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
  auto failure = catch_ordinary([&] {
    self.attr("log_error")(kBanner);
    for (const auto& line : report_lines(e)) self.attr("log_error")(line, "error");
    if (catch_ordinary([&] { self.attr("log_error")(field_or(e, "_msg")); }))
      self.attr("log_error")(field_or(e, "msg"));
  });
  if (failure) self.attr("log_error")(py::str(failure->value()));
}

std::string geterr(py::object /*self*/, py::object e) {
  std::vector<std::string> out;
  auto failure = catch_ordinary([&] {
    out.push_back(kBanner);
    for (auto& line : report_lines(e)) {
      out.push_back(std::move(line));
      out.push_back("error");
    }
    if (catch_ordinary([&] { out.push_back(py::str(field_or(e, "_msg"))); }))
      out.push_back(py::str(field_or(e, "msg")));
  });
  if (failure) out.push_back(py::str(failure->value()));
  std::string joined;
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k) joined += '\n';
    joined += out[k];
  }
  return joined;
}

}  // namespace

void define_error_record(ClassBuilder& et) {
  et.def_init(&et_init)
      .def_property("msg", [](py::object self) { return py::module_::import("json").attr("dumps")(self.attr("_msg")); })
      .def("getmsg", [](py::object self) { return self.attr("_msg"); });
  et.attr("__doc__", py::str("Error record: `state` (default 95635) and message `_msg` (default \"default error\")."));
}

void define_error_reports(ClassBuilder& base) {
  base.def("logerr", &logerr, py::arg("e")).def("geterr", &geterr, py::arg("e"));
}

}  // namespace kestro::defines
