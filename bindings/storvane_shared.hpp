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
using kestro::py_common::bounded_count_arg;
using kestro::py_common::clog;
using kestro::py_common::module_attr;
using kestro::py_common::path_arg;
using kestro::py_common::text_arg;
using kestro::py_common::truthy;

// The service's longest object key.
constexpr std::size_t kMaxKeyBytes = 1024;

// The secrets of a Storvane `self` for SecretMask: its secret key.
inline kestro::py_common::SecretMask held_secrets(py::handle self) {
  kestro::py_common::SecretMask secrets;
  secrets.add(py::getattr(self, "secret_key", py::none()));
  return secrets;
}

// session.<kind>("s3", ...) ("client" or "resource") with `config`, and
// the instance's endpoint when one was given.
py::object make_s3_from(py::object self, py::object session, const char* kind, py::object config);

// The client the file tasks of one folder call share, or None. Only when
// get_s3_session, get_s3_config, get_s3_client and the file task named
// `task_name` are all Storvane's own (a subclass or an instance that
// replaces one of them gets one client per file task from its own
// get_s3_client, as described): then one session and one client are made
// for the call, its configuration from get_s3_config() with a connection
// pool as large as `workers` tasks' own clients would have together.
// boto3 clients may be shared between threads; each task's requests,
// attempts and errors stay its own.
py::object call_client(py::object self, const char* task_name, long long workers);

// Closes a client made for one folder call or one file task; what closing
// raises is dropped (the outcome is already decided).
void close_client(py::handle client);

// The managed transfer the file tasks of one folder call share over its
// shared `client`: boto3's S3Transfer with the default transfer settings
// except its threads, as many as `workers` tasks' own managers would have
// had together. Each file's transfer stays its own future: its requests,
// attempts and errors are those of client.upload_file/download_file, which
// make such a manager for every file.
py::object call_transfer(py::handle client, long long workers);

// Ends a transfer from call_transfer once no task uses it (its threads
// joined); what ending raises is dropped, as for close_client.
void close_transfer(py::handle transfer);

// A file task's client: the call's shared one, or else one from
// self.get_s3_client() made now. release() lets it go; a client that
// Storvane's own get_s3_client made for this task alone is closed then
// (its connections at once, not when the collector finds it).
class TaskClient {
 public:
  TaskClient(py::object self, py::object shared);
  ~TaskClient();
  TaskClient(const TaskClient&) = delete;
  TaskClient& operator=(const TaskClient&) = delete;
  void release();

  py::object client;

 private:
  bool close_ = false;
};

// Notes which factories and file tasks are Storvane's own; once, when the
// class is made.
void remember_own_methods(py::handle cls);

// Adds _upload_i, _download_i, upload_folder and download_folder.
void define_folder_transfers(kestro::py_common::ClassBuilder& cls);

}  // namespace kestro::storvane
