// kestro.common.defines: Qz57HttpApi, the client of the host service's
// task-scheduler HTTP API.
#include <pybind11/pybind11.h>

#include <utility>

#include "defines_parts.hpp"

namespace kestro::defines {

using namespace pybind11::literals;
using kestro::py_common::call_or;

namespace {

// "s" speaks the scheduler's own language: its answers carry 1 for success
// and another code with a "msg" for failure. A missing address is answered
// the same way (13), so that the request operations can hand this mapping
// back in place of an answer and callers check "s" alone.
py::dict status(int s, const char* key, py::object value) {
  py::dict d;
  d["s"] = s;
  d[key] = std::move(value);
  return d;
}

py::object get_host_name(py::object self) {
  if (py::str(self.attr("get_current_env")()).cast<std::string>() == "local")
    return status(13, "msg", py::str("local"));
  py::object model = module_attr("apps").attr("get_model")("gconfig", "GConfig");
  return call_or(
      [&]() -> py::object {
        py::object value = model.attr("objects").attr("get")("name"_a = "host_name").attr("contents")["value"];
        return status(1, "v", value);
      },
      [](const py::error_already_set&) -> py::object { return status(13, "msg", py::str("host_name error")); });
}

// One scheduler request: the form fields in order, the name list as
// ASCII-only JSON, time-outs 5/30 s, the answer decoded as JSON.
py::object scheduler_post(py::object self, const char* op, const char* names_field, py::object user_token,
                          py::object names, py::object start_time, py::object end_time, bool with_range) {
  // Form encoding drops a None field and sends other types as their text:
  // a request the scheduler could only refuse, or misread.
  kestro::py_common::text_arg(user_token, "user_token");
  for (py::handle name : kestro::py_common::list_arg(names, names_field))
    kestro::py_common::text_arg(name, names_field);
  if (with_range) {
    kestro::py_common::optional_text_arg(start_time, "start_time");
    kestro::py_common::optional_text_arg(end_time, "end_time");
  }
  py::object hresult = self.attr("get_host_name")();
  if (!py::object(hresult[py::str("s")]).equal(py::int_(1))) return hresult;
  py::object url = module_attr("os").attr("path").attr("join")(hresult[py::str("v")], op);
  py::dict form;
  form["user_token"] = user_token;
  form[names_field] = module_attr("json").attr("dumps")(names);
  if (with_range) {
    form["start_time"] = start_time;
    form["end_time"] = end_time;
  }
  py::object resp = module_attr("requests").attr("post")(url, "data"_a = form, "timeout"_a = py::make_tuple(5, 30));
  return resp.attr("json")();
}

}  // namespace

py::object define_scheduler_client(py::module_& m) {
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
  return http.cls();
}

}  // namespace kestro::defines
