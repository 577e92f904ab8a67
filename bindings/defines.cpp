// kestro.common.defines: the error record, BMOBJ and the scheduler client.
// This file loads the module, decides the run mode and builds the classes;
// their operations live in defines_<area>.cpp (see defines_parts.hpp).
#include <pybind11/pybind11.h>

#include <string>

#include "defines_parts.hpp"

namespace py = pybind11;

namespace kestro::defines {

// Reading any setting fails until the service has configured its settings,
// so a read that succeeds means the code runs inside the service. DEBUG is
// read because every configured settings object has it (Django's defaults);
// its value says nothing about the mode. Asked on every call: a service
// that configures its settings after loading this module counts as
// "server" from then on.
std::string current_env() {
  return kestro::py_common::call_or(
      []() -> std::string {
        py::object debug = module_attr("settings").attr("DEBUG");
        (void)debug;
        return "server";
      },
      [](const py::error_already_set&) -> std::string { return "local"; });
}

py::object record_model(py::handle task_type) {
  struct Entry { const char* type; const char* model; };
  static const Entry table[] = {{"dtask", "RunRecord"}, {"retask", "RETaskRecord"}, {"sptask", "DPTaskRecord"}};
  for (const auto& e : table)
    if (py::isinstance<py::str>(task_type) && task_type.cast<std::string>() == e.type)
      return module_attr("apps").attr("get_model")(e.type, e.model);
  return py::none();
}

}  // namespace kestro::defines

PYBIND11_MODULE(defines, m) {
  namespace kd = kestro::defines;
  using kestro::py_common::ClassBuilder;
  kestro::py_common::bind_module(m);
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
  kd::define_error_record(et);
  ClassBuilder celery(m, "CeleryRetryError", py::make_tuple(et.cls()));

  py::object http_cls = kd::define_scheduler_client(m);
  ClassBuilder base(m, "BaseMethod", py::make_tuple(py::module_::import("builtins").attr("object")));
  base.def_init([http_cls](py::object self) {
        py::object logging = py::module_::import("logging");
        self.attr("logger_django") = logging.attr("getLogger")("django");
        self.attr("logger_dadian") = logging.attr("getLogger")("dadian");
        self.attr("http_api") = http_cls();
      })
      .def("get_current_env", [](py::object) { return kd::current_env(); });
  kd::define_task_log(base);
  kd::define_error_reports(base);
  kd::define_work_files(base);
  kd::define_data_utilities(base);

  // 4. the shared instance
  m.attr("BMOBJ") = base.cls()();
}
