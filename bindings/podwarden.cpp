// kestro.pyspark_k8s.podwarden: PodWarden, the pods of Spark jobs in a
// cluster's "default" namespace, through the Kubernetes client library.
//
// Every call goes through the library's Python objects with the GIL held;
// nothing here blocks on its own. The library's errors reach the caller as
// they were raised: nothing is caught, logged or retried.
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"
#include "pyclass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::ClassBuilder;

namespace {

constexpr const char* kNamespace = "default";

// The library's `client` and `config` modules, looked up on this module at
// call time, so that a test or a service can rebind them.
using kestro::py_common::module_attr;

py::object api(py::handle self) { return self.attr("k8s_client"); }

// An empty name would address the namespace's pod collection: a read would
// come back as a pod list, and a delete would remove every pod there. No
// pod name holds a "/" either, which would address another resource.
void check_pod_name(py::handle pod_name) {
  std::string name = kestro::py_common::text_arg(pod_name, "pod_name", false);
  // a pod's name is a DNS subdomain: at most 253 characters
  if (name.find('/') != std::string::npos || name == "." || name == ".." || name.size() > 253)
    kestro::py_common::raise_et(2, "pod_name must be a pod's name: at most 253 characters, without \"/\"");
}

void init(py::object self, py::object ctx, py::object k8s_conn_config) {
  kestro::py_common::path_arg(k8s_conn_config, "k8s_conn_config");
  self.attr("ctx") = std::move(ctx);
  self.attr("k8s_conn_config") = std::move(k8s_conn_config);
  self.attr("get_k8s_client")();
}

py::none get_k8s_client(py::object self) {
  py::object path = py::module_::import("os.path").attr("expanduser")(self.attr("k8s_conn_config"));
  module_attr("config").attr("load_kube_config")(path);
  // created after the load, so it takes the configuration just set as default
  self.attr("k8s_client") = module_attr("client").attr("CoreV1Api")();
  return py::none();
}

py::list get_all_pods(py::object self) {
  py::object ret = api(self).attr("list_pod_for_all_namespaces")("watch"_a = false);
  py::str default_ns(kNamespace);
  py::list pods;
  for (py::handle item : ret.attr("items")) {
    py::object meta = item.attr("metadata");
    py::object ns = meta.attr("namespace");
    if (!ns.equal(default_ns)) continue;
    py::dict summary;
    summary["name"] = meta.attr("name");
    summary["status"] = item.attr("status").attr("phase");
    summary["create_time"] = meta.attr("creation_timestamp");
    pods.append(std::move(summary));
  }
  return pods;
}

py::object get_pod_info(py::object self, py::object pod_name) {
  check_pod_name(pod_name);
  return api(self).attr("read_namespaced_pod")("name"_a = pod_name, "namespace"_a = kNamespace);
}

py::object get_pod_log(py::object self, py::object pod_name, py::object lines_count) {
  check_pod_name(pod_name);
  // None asks for the whole log; the API server takes a 64-bit count
  kestro::py_common::optional_count_arg(lines_count, "lines_count", 0);
  // The flag as text: newer clients refuse a bool here, and every client sends text anyway.
  return api(self).attr("read_namespaced_pod_log")(pod_name, kNamespace, "pretty"_a = "true",
                                                   "tail_lines"_a = lines_count);
}

py::object delete_pod(py::object self, py::object pod_name) {
  check_pod_name(pod_name);
  return api(self).attr("delete_namespaced_pod")(pod_name, kNamespace);
}

}  // namespace

PYBIND11_MODULE(podwarden, m) {
  kestro::py_common::bind_module(m);
  kestro::py_common::bind_defines(m);
  // Not used by PodWarden; the module loads only where the OSS module does.
  m.attr("AliyunOss") = py::module_::import("kestro.oss.oss").attr("AliyunOss");
  m.attr("client") = py::module_::import("kubernetes.client");
  m.attr("config") = py::module_::import("kubernetes.config");

  ClassBuilder c(m, "PodWarden", py::make_tuple(py::module_::import("builtins").attr("object")));
  c.def_init(&init, py::arg("ctx"), py::arg("k8s_conn_config") = "~/.kube/config")
      .def("get_k8s_client", &get_k8s_client)
      .def("get_all_pods", &get_all_pods)
      .def("get_pod_info", &get_pod_info, py::arg("pod_name"))
      .def("get_pod_log", &get_pod_log, py::arg("pod_name"), py::arg("lines_count") = 1000)
      .def("delete_pod", &delete_pod, py::arg("pod_name"));
}
