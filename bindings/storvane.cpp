// kestro.s3.storvane: Storvane, the handle on one S3 bucket. Its client
// factories and single-object operations live here; the folder transfers
// in storvane_folder.cpp.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "common.hpp"
#include "kestro/text.hpp"
#include "pyclass.hpp"
#include "storvane_shared.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::ClassBuilder;

namespace kestro::storvane {

namespace {
PyObject* g_model_loader = nullptr;  // leaked: lives as long as the interpreter
}  // namespace

py::object make_s3_from(py::object self, py::object session, const char* kind) {
  py::object config = self.attr("get_s3_config")();
  py::object endpoint = py::getattr(self, "endpoint_url", py::none());
  py::object factory = session.attr(kind);
  if (endpoint.is_none()) return factory("s3", "config"_a = config);
  return factory("s3", "config"_a = config, "endpoint_url"_a = endpoint);
}

namespace {

bool is_client_error(const py::error_already_set& e) {
  return e.matches(module_attr("ClientError"));
}

// Each new session would otherwise load and parse the service models again
// (about a quarter of a second with the GIL held, for every file task).
// Once loaded they are only read, so sessions with the same model search
// path use the first one's loader; sessions and clients themselves stay
// private to the thread that made them.
void share_model_loader(py::handle session) {
  if (!botocore_shared()) return;
  if (!py::hasattr(session, "_session") || !py::hasattr(session, "_loader")) return;
  py::object own = session.attr("_loader");
  if (!py::hasattr(own, "search_paths")) return;
  if (g_model_loader == nullptr) {
    g_model_loader = own.inc_ref().ptr();
    return;
  }
  py::handle shared(g_model_loader);
  if (own.is(shared) || !own.attr("search_paths").equal(shared.attr("search_paths"))) return;
  session.attr("_session").attr("register_component")("data_loader", shared);
  session.attr("_loader") = shared;
}

// ---- construction and factories ------------------------------------------

void init(py::object self, py::object ctx, py::object ak, py::object sk, py::object bucket, py::object region_name,
          py::object endpoint_url) {
  // The texts go to boto3 unchanged (empty ones included); only their type
  // is checked: None would make boto3 look for credentials elsewhere.
  for (auto [value, name] : {std::pair{ak, "ak"}, {sk, "sk"}, {bucket, "bucket"}, {region_name, "region_name"}})
    if (!py::isinstance<py::str>(value)) kestro::py_common::refuse_type(name, "str", value);
  kestro::py_common::optional_text_arg(endpoint_url, "endpoint_url", false);
  self.attr("ctx") = ctx;
  self.attr("access_key") = ak;
  self.attr("secret_key") = sk;
  self.attr("bucket") = bucket;
  self.attr("region_name") = region_name;
  self.attr("endpoint_url") = endpoint_url;
  self.attr("set_s3_client")();
}

py::object get_s3_config(py::object) {
  py::dict retries("max_attempts"_a = 0);
  return module_attr("Config")("connect_timeout"_a = 60, "read_timeout"_a = 600, "retries"_a = retries,
                              "max_pool_connections"_a = 10);
}

py::object get_s3_session(py::object self) {
  BuildingScope building;
  py::object session = module_attr("boto3").attr("Session")(
      "aws_access_key_id"_a = self.attr("access_key"), "aws_secret_access_key"_a = self.attr("secret_key"),
      "region_name"_a = self.attr("region_name"));
  say_botocore_not_shared();
  share_model_loader(session);
  return session;
}

py::object make_s3(py::object self, const char* kind) {
  BuildingScope building;
  return make_s3_from(self, self.attr("get_s3_session")(), kind);
}

py::object get_s3_client(py::object self) { return make_s3(self, "client"); }

void set_s3_client(py::object self) { self.attr("s3_client") = self.attr("get_s3_client")(); }

py::object get_s3_resource(py::object self) { return make_s3(self, "resource"); }

py::object get_s3_bucket(py::object self) {
  return self.attr("get_s3_resource")().attr("Bucket")(self.attr("bucket"));
}

// ---- object operations -----------------------------------------------------

py::list find_prefix(py::object self, py::object remote_path, py::object isrm) {
  std::string prefix = text_arg(remote_path, "remote_path");
  py::object client = self.attr("get_s3_client")();
  bool recursive = truthy(isrm);
  std::size_t child_depth = kestro::text::depth(prefix) + 1;
  py::object pages = client.attr("get_paginator")("list_objects_v2")
                         .attr("paginate")("Bucket"_a = self.attr("bucket"), "Prefix"_a = remote_path,
                                           "MaxKeys"_a = 1000);
  py::list keys;
  for (py::handle page : pages) {
    // An empty prefix lists pages without "Contents".
    py::object contents = page.attr("get")("Contents");
    if (contents.is_none()) continue;
    for (py::handle entry : contents) {
      py::object key = entry["Key"];
      if (recursive || kestro::text::depth(key.cast<std::string>()) == child_depth) keys.append(key);
    }
  }
  return keys;
}

py::list list_folder(py::object self, py::object remote_path) {
  text_arg(remote_path, "remote_path");
  py::object client = self.attr("get_s3_client")();
  py::object response;
  try {
    response = client.attr("list_objects")("Bucket"_a = self.attr("bucket"), "Delimiter"_a = "/",
                                           "Prefix"_a = remote_path + py::str("/"));
  } catch (py::error_already_set& e) {
    if (!is_client_error(e)) throw;
    clog(self.attr("ctx"), "get s3 folders error:", held_secrets(self).loggable(e.value()));
    return py::list();
  }
  py::list folders;
  py::object common = response.attr("get")("CommonPrefixes");
  if (common.is_none()) return folders;  // no sub-folder
  for (py::handle entry : common) folders.append(entry["Prefix"]);
  return folders;
}

// Runs `call`; a ClientError is logged with `message` and gives false.
template <class F>
bool logged_client_call(py::object self, const char* message, F&& call) {
  try {
    call();
    return true;
  } catch (py::error_already_set& e) {
    if (!is_client_error(e)) throw;
    clog(self.attr("ctx"), message, held_secrets(self).loggable(e.value()));
    return false;
  }
}

bool upload_file(py::object self, py::object local_path, py::object remote_path) {
  path_arg(local_path, "local_path");
  kestro::py_common::key_arg(remote_path, "remote_path", kMaxKeyBytes);
  py::object client = self.attr("get_s3_client")();
  return logged_client_call(self, "upload s3 file error:", [&] {
    client.attr("upload_file")(local_path, self.attr("bucket"), remote_path);
  });
}

bool upload_fileobj(py::object self, py::object io_obj, py::object remote_path) {
  if (!py::hasattr(io_obj, "read")) kestro::py_common::refuse_type("io_obj", "a readable file object", io_obj);
  kestro::py_common::key_arg(remote_path, "remote_path", kMaxKeyBytes);
  py::object client = self.attr("get_s3_client")();
  return logged_client_call(self, "upload s3 file error:", [&] {
    client.attr("upload_fileobj")(io_obj, self.attr("bucket"), remote_path);
  });
}

bool download_file(py::object self, py::object local_path, py::object remote_path) {
  path_arg(local_path, "local_path");
  kestro::py_common::key_arg(remote_path, "remote_path", kMaxKeyBytes);
  py::object client = self.attr("get_s3_client")();
  return logged_client_call(self, "download s3 file error:", [&] {
    py::object result = client.attr("download_file")(self.attr("bucket"), remote_path, local_path);
    clog(self.attr("ctx"), 111, result);
  });
}

bool is_exists(py::object self, py::object remote_path) {
  kestro::py_common::key_arg(remote_path, "remote_path", kMaxKeyBytes);
  py::object client = self.attr("get_s3_client")();
  try {
    client.attr("head_object")("Bucket"_a = self.attr("bucket"), "Key"_a = remote_path);
    return true;
  } catch (py::error_already_set& e) {
    if (!is_client_error(e)) throw;
    py::int_ code(e.value().attr("response")["Error"]["Code"]);
    return !code.equal(py::int_(404));
  }
}

bool delete_file(py::object self, py::object remote_path) {
  kestro::py_common::key_arg(remote_path, "remote_path", kMaxKeyBytes);
  py::object client = self.attr("get_s3_client")();
  return logged_client_call(self, "delete s3 file error:", [&] {
    client.attr("delete_object")("Bucket"_a = self.attr("bucket"), "Key"_a = remote_path);
  });
}

bool delete_folder(py::object self, py::object remote_path) {
  // An empty or root prefix would select every key of the bucket.
  if (kestro::text::depth(text_arg(remote_path, "remote_path")) == 0)
    kestro::py_common::raise_et(2, "cannt del root folder");
  py::object bucket = self.attr("get_s3_bucket")();
  bucket.attr("objects").attr("filter")("Prefix"_a = remote_path).attr("delete")();
  return true;
}

}  // namespace
}  // namespace kestro::storvane

PYBIND11_MODULE(storvane, m) {
  namespace sv = kestro::storvane;
  m.doc() = "Storvane: object operations and parallel folder transfers on one S3 bucket, through boto3.";
  kestro::py_common::bind_module(m);
  kestro::py_common::bind_defines(m);
  m.attr("boto3") = py::module_::import("boto3");
  m.attr("Config") = py::module_::import("botocore.config").attr("Config");
  m.attr("ClientError") = py::module_::import("botocore.exceptions").attr("ClientError");
  sv::install_botocore_sharing();
  m.attr("_botocore_shared") = py::bool_(sv::botocore_shared());

  // One context shared by every instance made without one.
  py::dict default_ctx;
  default_ctx.inc_ref();

  ClassBuilder cls(m, "Storvane", py::make_tuple(py::module_::import("builtins").attr("object")));
  cls.def_init(&sv::init, py::arg("ctx") = default_ctx, py::arg("ak") = "", py::arg("sk") = "",
               py::arg("bucket") = "", py::arg("region_name") = "", py::arg("endpoint_url") = py::none())
      .def("get_s3_config", &sv::get_s3_config)
      .def("get_s3_session", &sv::get_s3_session)
      .def("get_s3_client", &sv::get_s3_client)
      .def("set_s3_client", &sv::set_s3_client)
      .def("get_s3_resource", &sv::get_s3_resource)
      .def("get_s3_bucket", &sv::get_s3_bucket)
      .def("find_prefix", &sv::find_prefix, py::arg("remote_path"), py::arg("isrm") = true)
      .def("list_folder", &sv::list_folder, py::arg("remote_path"))
      .def("upload_file", &sv::upload_file, py::arg("local_path"), py::arg("remote_path"))
      .def("upload_fileobj", &sv::upload_fileobj, py::arg("io_obj"), py::arg("remote_path"))
      .def("download_file", &sv::download_file, py::arg("local_path"), py::arg("remote_path"))
      .def("is_exists", &sv::is_exists, py::arg("remote_path"))
      .def("delete_file", &sv::delete_file, py::arg("remote_path"))
      .def("delete_folder", &sv::delete_folder, py::arg("remote_path"));
  sv::define_folder_transfers(cls);
  sv::remember_own_factories(cls.cls());
  cls.attr("__doc__", py::str("Handle on one S3 bucket: client factories, object operations, folder transfers."));
}
