// kestro.s3.storvane: Storvane, the handle on one S3 bucket. Its client
// factories and single-object operations live here; the folder transfers
// in storvane_folder.cpp.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "common.hpp"
#include "kestro/path_text.hpp"
#include "pyclass.hpp"
#include "storvane_shared.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::ClassBuilder;

namespace kestro::storvane {

py::object make_s3_from(py::object self, py::object session, const char* kind, py::object config) {
  py::object endpoint = py::getattr(self, "endpoint_url", py::none());
  py::object factory = session.attr(kind);
  if (endpoint.is_none()) return factory("s3", "config"_a = config);
  return factory("s3", "config"_a = config, "endpoint_url"_a = endpoint);
}

namespace {

// Storvane's own factories and file tasks (the functions behind the
// methods), by name; leaked with the class.
PyObject* g_own_methods = nullptr;

// `self.<name>` is the method Storvane defines: not replaced by a subclass
// or on the instance.
bool is_own_method(py::handle self, const char* name) {
  if (g_own_methods == nullptr) return false;
  PyObject* own = PyDict_GetItemString(g_own_methods, name);  // borrowed
  py::object bound = py::getattr(self, name, py::none());
  return own != nullptr && PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == own;
}

// botocore's data path setting -> the model loader shared by every session
// the factories make with that setting; leaked, like the module.
PyObject* g_loaders = nullptr;

// boto3's own Session class; leaked, like the module.
PyObject* g_boto3_session_type = nullptr;

// A new botocore session, as boto3 would make it, whose model loader is
// the one shared by the sessions made here before. A loader only reads
// model files and keeps what it parsed, so sharing it spares each session
// loading and parsing the service models again (a large part of what a
// new session and client cost, with the GIL held).
py::object botocore_session_sharing_models() {
  py::object session = py::module_::import("botocore.session").attr("get_session")();
  // The loader a session would make itself reads this setting.
  py::object data_path = session.attr("get_config_variable")("data_path");
  if (!data_path.is_none() && !py::isinstance<py::str>(data_path)) return session;
  if (g_loaders == nullptr) g_loaders = py::dict().release().ptr();
  py::dict loaders = py::reinterpret_borrow<py::dict>(g_loaders);
  py::object loader = loaders.attr("get")(data_path);
  if (loader.is_none()) {
    loader = py::module_::import("botocore.loaders").attr("create_loader")(data_path);
    loader = loaders.attr("setdefault")(data_path, loader);
  }
  session.attr("register_component")("data_loader", loader);
  return session;
}

// Every boto3 session adds boto3's own model folder to its loader's search
// paths; on a shared loader each new session would add it once more.
// Repeats at the end of the list are dropped (the first one found is the
// one searched). No Python code runs between the checks and the removal,
// so no other thread sees the list half done.
void drop_repeated_search_paths(py::handle loader) {
  py::object paths = py::getattr(loader, "search_paths", py::none());
  if (!PyList_CheckExact(paths.ptr())) return;
  PyObject* list = paths.ptr();
  while (PyList_GET_SIZE(list) > 1) {
    Py_ssize_t last = PyList_GET_SIZE(list) - 1;
    py::object earlier = py::reinterpret_steal<py::object>(PyList_GetSlice(list, 0, last));
    if (!earlier) throw py::error_already_set();
    int repeated = PySequence_Contains(earlier.ptr(), PyList_GET_ITEM(list, last));
    if (repeated < 0) throw py::error_already_set();
    if (repeated == 0) break;
    if (PyList_SetSlice(list, last, last + 1, nullptr) < 0) throw py::error_already_set();
  }
}

}  // namespace

void close_client(py::handle client) {
  // Closing only lets connections go; a failure there changes nothing the
  // caller asked for.
  auto failure = kestro::py_common::catch_ordinary([&] { client.attr("close")(); });
  (void)failure;
}

py::object call_transfer(py::handle client, long long workers) {
  py::module_ transfers = py::module_::import("boto3.s3.transfer");
  py::object config_type = transfers.attr("TransferConfig");
  long long each = std::max(1LL, config_type().attr("max_concurrency").cast<long long>());
  return transfers.attr("S3Transfer")(client, "config"_a = config_type("max_concurrency"_a = each * workers));
}

void close_transfer(py::handle transfer) {
  auto failure = kestro::py_common::catch_ordinary(
      [&] { transfer.attr("__exit__")(py::none(), py::none(), py::none()); });
  (void)failure;
}

py::object call_client(py::object self, const char* task_name, long long workers) {
  for (const char* name : {"get_s3_session", "get_s3_config", "get_s3_client", task_name})
    if (!is_own_method(self, name)) return py::none();
  py::object session = self.attr("get_s3_session")();
  py::object config = self.attr("get_s3_config")();
  // The connections `workers` tasks' own clients would have had together.
  long long each = std::max(1LL, config.attr("max_pool_connections").cast<long long>());
  py::object pool = module_attr("Config")("max_pool_connections"_a = each * workers);
  return make_s3_from(self, session, "client", config.attr("merge")(pool));
}

TaskClient::TaskClient(py::object self, py::object shared) {
  if (!shared.is_none()) {
    client = std::move(shared);
    return;
  }
  close_ = is_own_method(self, "get_s3_client");
  client = self.attr("get_s3_client")();
}

void TaskClient::release() {
  py::object own = std::move(client);
  client = py::none();
  if (close_ && own) close_client(own);
  close_ = false;
}

TaskClient::~TaskClient() {
  if (!close_) return;
  // Also on the way out of an error: keep that error as it is.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    release();
  } catch (...) {
  }
  PyErr_Restore(type, value, trace);
}

void remember_boto3_session_type() {
  g_boto3_session_type = py::object(py::module_::import("boto3.session").attr("Session")).release().ptr();
}

void remember_own_methods(py::handle cls) {
  py::dict own;
  for (const char* name : {"get_s3_session", "get_s3_config", "get_s3_client", "_upload_i", "_download_i"})
    own[name] = py::object(cls.attr(name));
  g_own_methods = own.release().ptr();
}

namespace {

bool is_client_error(const py::error_already_set& e) {
  return e.matches(module_attr("ClientError"));
}

// ---- construction and factories ------------------------------------------

void init(py::object self, py::object ctx, py::object ak, py::object sk, py::object bucket, py::object region_name,
          py::object endpoint_url) {
  // The texts go to boto3 unchanged (empty ones included); only their type
  // is checked: None keys would make boto3 look for credentials elsewhere.
  // A None region is boto3's own "from the configuration", so it stays allowed.
  for (auto [value, name] : {std::pair{ak, "ak"}, {sk, "sk"}, {bucket, "bucket"}})
    if (!py::isinstance<py::str>(value)) kestro::py_common::refuse_type(name, "str", value);
  kestro::py_common::optional_text_arg(region_name, "region_name");
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
  py::dict kwargs("aws_access_key_id"_a = self.attr("access_key"), "aws_secret_access_key"_a = self.attr("secret_key"),
                  "region_name"_a = self.attr("region_name"));
  py::object session_type = module_attr("boto3").attr("Session");
  // boto3's Session (or a subclass) takes the botocore session to build on;
  // anything else put in its place gets the described keywords alone.
  bool boto3_session = PyType_Check(session_type.ptr()) &&
                       PyObject_IsSubclass(session_type.ptr(), g_boto3_session_type) == 1;
  py::object core;
  if (boto3_session) {
    core = botocore_session_sharing_models();
    kwargs["botocore_session"] = core;
  }
  py::object session = session_type(**kwargs);
  if (core) drop_repeated_search_paths(core.attr("get_component")("data_loader"));
  return session;
}

py::object make_s3(py::object self, const char* kind) {
  py::object session = self.attr("get_s3_session")();
  return make_s3_from(self, session, kind, self.attr("get_s3_config")());
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
  sv::remember_boto3_session_type();

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
  sv::remember_own_methods(cls.cls());
  cls.attr("__doc__", py::str("Handle on one S3 bucket: client factories, object operations, folder transfers."));
}
