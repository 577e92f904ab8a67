#pragma once
// Pieces shared by the two halves of kestro.s3.storvane: the class with its
// factories and object operations (storvane.cpp) and the folder transfers
// (storvane_folder.cpp). Every function here needs the GIL.
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"
#include "pyclass.hpp"

namespace kestro::storvane {

namespace py = pybind11;
using kestro::py_common::clog;
using kestro::py_common::module_attr;
using kestro::py_common::path_arg;
using kestro::py_common::text_arg;
using kestro::py_common::truthy;

// Small helpers of the botocore caches (storvane_botocore_cache.cpp,
// storvane_config_store.cpp), which keep raw references for the process's
// life.
inline py::handle h(PyObject* p) { return py::handle(p); }
// `value`'s reference, leaked on purpose (kept like the module itself).
inline py::object keep(py::object value) { return py::reinterpret_borrow<py::object>(value.release()); }
// An interned str of `text`, kept for the process's life.
inline PyObject* interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw py::error_already_set();
  return s;
}

// A count of workers or attempts: Et(2, "<what> must be at least 1") below
// 1, Et(2) naming it for anything but an int up to a bound (more workers
// than that are not threads a process can start; more attempts, minutes
// apart, are a hang).
inline long long count_arg(py::handle value, const char* what) {
  return kestro::py_common::count_arg(value, what, 1, 10000);
}

// The service's longest object key.
constexpr std::size_t kMaxKeyBytes = 1024;

// The secrets of a Storvane `self` for SecretMask: its secret key.
inline kestro::py_common::SecretMask held_secrets(py::handle self) {
  kestro::py_common::SecretMask secrets;
  secrets.add(py::getattr(self, "secret_key", py::none()));
  return secrets;
}

// While one is alive on a thread, botocore sessions and clients made there
// take their pure, read-only parts from process-wide caches
// (storvane_botocore_cache.cpp).
struct BuildingScope {
  BuildingScope();
  ~BuildingScope();
  BuildingScope(const BuildingScope&) = delete;
  BuildingScope& operator=(const BuildingScope&) = delete;
};

// Whether a Storvane factory is running on this thread.
bool building_botocore();

// Gives the botocore sessions the factories make a configuration table
// that builds each provider chain on first use
// (storvane_config_store.cpp); called by install_botocore_sharing.
void install_lazy_config_store();

// Puts those caches in place; once, when the module loads. Only on the
// botocore releases the sharing is tested with; elsewhere nothing is
// replaced and every session and client is botocore's own.
void install_botocore_sharing();

// Whether install_botocore_sharing put the caches in place.
bool botocore_shared();

// Says once, at debug level, that sessions and clients are not shared
// (nothing when they are).
void say_botocore_not_shared();

// session.<kind>("s3", ...) ("client" or "resource") with the instance's
// configuration, and its endpoint when one was given.
py::object make_s3_from(py::object self, py::object session, const char* kind);

// A file task's client from self.get_s3_client(). When that and
// get_s3_session are Storvane's own (and botocore is a tested release),
// the session it came from is kept too, and release() takes both apart so
// they are freed at once instead of by the cyclic collector; release() is
// called when the task is done with the client, or on the way out.
class TaskClient {
 public:
  explicit TaskClient(py::object self);
  ~TaskClient();
  TaskClient(const TaskClient&) = delete;
  TaskClient& operator=(const TaskClient&) = delete;
  void release();

  py::object client;

 private:
  py::object session_;
  bool dismantle_ = false;
};

// Notes which get_s3_client and get_s3_session are Storvane's own; once,
// when the class is made.
void remember_own_factories(py::handle cls);

// Adds _upload_i, _download_i, upload_folder and download_folder.
void define_folder_transfers(kestro::py_common::ClassBuilder& cls);

}  // namespace kestro::storvane
