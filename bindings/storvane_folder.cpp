// Storvane's folder transfers: one file task per file on a
// concurrent.futures pool, each with its own client and its own attempts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common.hpp"
#include "folder_transfer.hpp"
#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/folder_plan.hpp"
#include "kestro/number_text.hpp"
#include "kestro/path_text.hpp"
#include "storvane_shared.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::without_gil;
using kestro::folder_plan::FileTask;
namespace fp = kestro::folder_plan;

namespace kestro::storvane {
namespace {

struct Direction {
  const char* word;  // "upload" or "download"
  bool upload;
  kestro::py_common::FileTexts texts;
};
constexpr Direction kUpload{"upload", true, {" upload  fail, repeat ", " upload  finally fail: ", "upload fail "}};
constexpr Direction kDownload{"download", false,
                              {" download  fail, repeat ", " download  finally fail: ", "download fail "}};

// One file of a folder call, for file_attempts.
struct StorvaneFile {
  py::object self, ctx, remote_file, local_file, bucket, transfer;
  TaskClient& task;
  std::string local, remote;
  const Direction& d;

  void attempt() {
    double t0 = kestro::py_common::py_time();
    // the shared transfer's calls are the client's own, minus a manager per file
    py::object via = transfer.is_none() ? task.client : transfer;
    if (d.upload)
      via.attr("upload_file")(local_file, bucket, remote_file);
    else
      via.attr("download_file")(bucket, remote_file, local_file);
    double t1 = kestro::py_common::py_time();
    // No attempt is left: let the client go before the record's pause
    // rather than keep it alive (and in the collector's way) meanwhile.
    task.release();
    clog(ctx, local + " " + d.word + " success, sub time " + kestro::text::float_repr(t1 - t0));
  }
  kestro::py_common::SecretMask secrets() const { return held_secrets(self); }
  std::string error_text(const kestro::py_common::SecretMask& s, py::handle e) const { return s.text_of(e); }
  void pause() const { kestro::py_common::py_sleep(py::module_::import("random").attr("randint")(60, 120)); }
  void given_up() { task.release(); }
  const std::string& key() const { return remote; }
};

// One file, up to `retry_count` attempts over one client (the call's
// `shared` one and its `transfer`, or when None its own), with a random
// pause of 60 to 120 whole seconds between attempts.
void file_task(py::object self, py::object remote_file, py::object local_file, py::object retry_count,
               const Direction& d, py::object shared, py::object transfer) {
  kestro::py_common::key_arg(remote_file, "remote_file", kMaxKeyBytes);
  path_arg(local_file, "local_file");
  py::object ctx = self.attr("ctx");
  long long attempts = bounded_count_arg(retry_count, "retry_count");
  TaskClient task(self, std::move(shared));
  StorvaneFile file{self, ctx, remote_file, local_file, self.attr("bucket"),
                    std::move(transfer), task, py::str(local_file), py::str(remote_file), d};
  kestro::py_common::file_attempts(file, attempts, d.texts);
}

// A local folder whose removal would take the current or the root folder
// with it: depth 0 once ".." is resolved ("", ".", "/", "/tmp/..").
bool is_root_folder(const std::string& local) {
  return kestro::text::depth(kestro::text::posix_normpath(local)) == 0;
}

// A marker that was not written must not be reported as success: the
// caller's consumers wait for it, and the source would be deleted. So a
// false result of upload_fileobj (a service error it logged) or any error
// of it ends the transfer with Et(2) naming the key, before the source is
// removed and the closing record written.
void write_marker(py::object self, const std::string& remote_path, const char* name) {
  std::string_view gz = kestro::fs::empty_gzip();
  py::object buffer = py::module_::import("io").attr("BytesIO")(py::bytes(gz.data(), gz.size()));
  buffer.attr("seek")(0);
  const std::string key = kestro::text::posix_join(remote_path, name);
  const std::string message = "upload fail " + key;
  bool written = false;
  auto failure =
      kestro::py_common::catch_ordinary([&] { written = truthy(self.attr("upload_fileobj")(buffer, key)); });
  if (failure) kestro::py_common::raise_et_from(2, message, *failure);
  if (!written) kestro::py_common::raise_et(2, message);
}

// Deletes exactly `keys`, through the bucket resource's batch delete, at
// most 1,000 keys a request (the service's limit). A key the service
// refused is reported after every page was tried: Et(2) naming the first.
void delete_keys(py::object self, const std::vector<std::string>& keys) {
  constexpr std::size_t kPage = 1000;
  if (keys.empty()) return;
  py::object bucket = self.attr("get_s3_bucket")();
  std::string first_failure;
  std::size_t failures = 0;
  for (std::size_t from = 0; from < keys.size(); from += kPage) {
    py::list objects;
    for (std::size_t k = from; k < std::min(keys.size(), from + kPage); ++k) objects.append(py::dict("Key"_a = keys[k]));
    py::object answer = bucket.attr("delete_objects")("Delete"_a = py::dict("Objects"_a = objects, "Quiet"_a = true));
    py::object errors = answer.attr("get")("Errors");
    if (errors.is_none()) continue;
    for (py::handle e : errors) {
      if (failures++ == 0)
        first_failure = py::str(e.attr("get")("Key", "")).cast<std::string>() + ": " +
                        py::str(e.attr("get")("Code", "")).cast<std::string>();
    }
  }
  if (failures)
    kestro::py_common::raise_et(2, "delete fail " + first_failure + " (" + std::to_string(failures) + " of " +
                                       std::to_string(keys.size()) + " keys not deleted)");
}

using kestro::py_common::FolderCall;

// Storvane's steps of the folder transfer (folder_transfer.hpp has the order).
struct StorvaneFolders {
  static constexpr fp::KeyRule key_rule = fp::KeyRule::kPathJoin;
  py::object max_workers, retry_count;
  long long workers = 0;

  void check(FolderCall& c) {
    c.local = path_arg(c.local_path, "local_path");
    c.remote = text_arg(c.remote_path, "remote_path");
    workers = bounded_count_arg(max_workers, "max_workers");
    bounded_count_arg(retry_count, "retry_count");
  }
  void check_upload(FolderCall& c) {
    check(c);
    // Checked before the target is emptied: a root prefix is the whole
    // bucket, a missing source would leave it emptied for nothing.
    if (kestro::text::depth(c.remote) == 0) kestro::py_common::raise_et(2, "cannt del root folder");
    if (!kestro::fs::is_dir(kestro::text::pathlib_norm(c.local)))
      kestro::py_common::raise_et(2, "local folder not found: " + c.local);
    c.recursive = truthy(c.isrm);
    c.ctx = c.self.attr("ctx");
  }
  void check_download(FolderCall& c) {
    check(c);
    // The target is emptied: never the current or the root folder.
    if (is_root_folder(c.local)) kestro::py_common::raise_et(2, "cannt del root folder");
    c.recursive = truthy(c.isrm);
    c.ctx = c.self.attr("ctx");
  }
  std::vector<std::string> list_source(const FolderCall& c) const {
    std::vector<std::string> keys;
    for (py::handle key : c.self.attr("find_prefix")(c.remote_path, "isrm"_a = c.isrm))
      keys.push_back(text_arg(key, "key"));
    return keys;
  }
  // Every key goes below remote + "/": "out" must not take "outbox/..." with it.
  void clear_remote(const FolderCall& c) const {
    if (c.remote.back() == '/')
      c.self.attr("delete_folder")(c.remote_path);
    else
      c.self.attr("delete_folder")(py::str(fp::folder_prefix(c.remote)));
  }
  py::tuple task_args(const FolderCall&, const FileTask& t) const {
    return py::make_tuple(t.key, t.local_path, retry_count);
  }
  void run_pool(const FolderCall& c, bool upload, const std::vector<py::tuple>& calls) const {
    const Direction& d = upload ? kUpload : kDownload;
    const char* task_name = upload ? "_upload_i" : "_download_i";
    py::module_ futures_mod = py::module_::import("concurrent.futures");
    py::object self = c.self;
    py::object shared = call_client(self, task_name, workers);
    py::object transfer = shared.is_none() ? py::none() : call_transfer(shared, workers);
    py::object fn = self.attr(task_name);
    if (!shared.is_none())
      fn = py::cpp_function([self, shared, transfer, &d](py::object remote_file, py::object local_file,
                                                          py::object count) {
        file_task(self, remote_file, local_file, count, d, shared, transfer);
      });
    kestro::py_common::run_in_pool(futures_mod.attr("ThreadPoolExecutor"), futures_mod.attr("as_completed"), fn,
                                   py::int_(workers), calls);
    // After a failure the tasks still running keep using them: left to them.
    if (!shared.is_none()) {
      close_transfer(transfer);
      close_client(shared);
    }
  }
  void put_marker(const FolderCall& c, const char* name) const { write_marker(c.self, c.remote, name); }
  void downloaded(const FolderCall& c) const { py::print(c.remote_path); }
  void guard_removal(const FolderCall& c, bool upload) const {
    if (upload ? is_root_folder(c.local) : kestro::text::depth(c.remote) == 0)
      kestro::py_common::raise_et(2, "cannt del root folder");
  }
  // Only what arrived (and, after a tree, the folder markers listed with
  // it): not the sub-folders a one-level download left, nor objects put
  // under the prefix since the listing.
  void delete_sources(const FolderCall& c, const std::vector<FileTask>& tasks,
                      const std::vector<std::string>& keys) const {
    std::vector<std::string> sent;
    sent.reserve(tasks.size());
    for (const auto& t : tasks) sent.push_back(t.key);
    if (c.recursive)
      for (const auto& key : keys)
        if (!key.empty() && key.back() == '/') sent.push_back(key);
    delete_keys(c.self, sent);
  }
  py::object closing(const FolderCall& c, bool upload) const {
    return c.remote_path + py::str(upload ? " upload all time" : " download all time");
  }
};

void upload_folder(py::object self, py::object local_path, py::object remote_path, py::object add_success,
                   py::object add_empty, py::object max_workers, py::object isrm, py::object isdel,
                   py::object retry_count) {
  FolderCall call{self, py::none(), local_path, remote_path, isrm, isdel, add_success, add_empty};
  StorvaneFolders store{max_workers, retry_count};
  kestro::py_common::upload_folder(store, call);
}

void download_folder(py::object self, py::object local_path, py::object remote_path, py::object max_workers,
                     py::object isrm, py::object isdel, py::object retry_count) {
  FolderCall call{self, py::none(), local_path, remote_path, isrm, isdel};
  StorvaneFolders store{max_workers, retry_count};
  kestro::py_common::download_folder(store, call);
}

}  // namespace

void define_folder_transfers(kestro::py_common::ClassBuilder& cls) {
  cls.def(
         "_upload_i",
         [](py::object self, py::object remote_file, py::object local_file, py::object retry_count) {
           file_task(self, remote_file, local_file, retry_count, kUpload, py::none(), py::none());
         },
         py::arg("remote_file"), py::arg("local_file"), py::arg("retry_count"))
      .def(
          "_download_i",
          [](py::object self, py::object remote_file, py::object local_file, py::object retry_count) {
            file_task(self, remote_file, local_file, retry_count, kDownload, py::none(), py::none());
          },
          py::arg("remote_file"), py::arg("local_file"), py::arg("retry_count"))
      .def("upload_folder", &upload_folder, py::arg("local_path"), py::arg("remote_path"),
           py::arg("add_success") = false, py::arg("add_empty") = false, py::arg("max_workers") = 50,
           py::arg("isrm") = true, py::arg("isdel") = true, py::arg("retry_count") = 5)
      .def("download_folder", &download_folder, py::arg("local_path"), py::arg("remote_path"),
           py::arg("max_workers") = 50, py::arg("isrm") = true, py::arg("isdel") = true, py::arg("retry_count") = 5);
}

}  // namespace kestro::storvane
