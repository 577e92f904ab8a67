#pragma once
// The one folder transfer of every store, and the attempts of its file
// tasks. The order of the steps lives here; what a store does its own way is
// its policy (OssFolders in oss.cpp, StorvaneFolders in storvane_folder.cpp),
// the same members in each:
//
//   member                OSS                                Storvane
//   key_rule              prefix + name                      path join
//   check_upload          flags' truth, threshold            remote not the root, local folder there
//   check_download        local holds no current folder      local not the root
//   ctx                   the ctx argument                   self.ctx, read once checked
//   list_source           self.find_prefix_oss               self.find_prefix
//   clear_remote          self.delete_prefix_oss             self.delete_folder(remote + "/")
//   task_args, run_pool   self._upload_oss(ctx, key, path)   one client and S3Transfer per call, else
//                         (or _download_oss)                 self._upload_i(key, path, retries) (_download_i)
//   put_marker            self._upload_oss of a local file   self.upload_fileobj, Et(2) if not written
//   downloaded            -                                  prints the remote folder
//   guard_removal         -                                  Et(2) before removing a root folder
//   delete_sources        delete_object per key              batch deletes, folder markers too
//   closing               "<oss> upload oss all time"        "<remote_path> upload all time"
//   file task             3 attempts, self.retry_time_sleep  retry_count attempts, 60-120 s pauses
//
// Every function needs the GIL and lets it go only around the local file work.
#include <cerrno>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/error.hpp"
#include "kestro/folder_plan.hpp"
#include "kestro/fs.hpp"
#include "pool.hpp"

namespace kestro::py_common {

// Removes the uploaded files that are still as they were listed, and the
// folders that leaves empty; a file changed since (it may have been sent in
// part) stays, with one task-log line saying so.
inline void remove_uploaded(py::handle ctx, const std::string& folder, const std::vector<folder_plan::FileTask>& sent) {
  std::vector<std::string> kept = without_gil([&] { return folder_plan::remove_sent_unchanged(folder, sent); });
  for (const auto& path : kept) clog(ctx, path + " changed while it was uploaded, kept");
}

// One folder call: its arguments, and what the store's check made of them.
struct FolderCall {
  py::object self, ctx, local_path, remote_path, isrm, isdel;
  py::object add_success = py::none(), add_empty = py::none();  // uploads only
  std::string local{}, remote{};
  bool recursive = false;
};

template <class Store>
void fan_out(Store& store, const FolderCall& c, bool upload, const std::vector<folder_plan::FileTask>& tasks) {
  std::vector<py::tuple> calls;
  calls.reserve(tasks.size());
  for (const auto& t : tasks) calls.push_back(store.task_args(c, t));
  store.run_pool(c, upload, calls);
}

template <class Store>
void upload_folder(Store& store, FolderCall& c) {
  store.check_upload(c);
  double start = py_time();
  // Listed before the destination is cleared: a source that cannot be read
  // whole (a pipe, a link loop, a name that is no text) leaves it as it was.
  auto tasks = without_gil([&] { return folder_plan::plan_upload(c.local, c.remote, c.recursive, Store::key_rule); });
  store.clear_remote(c);
  clog(c.ctx, folder_plan::upload_summary(tasks), folder_plan::upload_file_lines(tasks));
  if (!tasks.empty()) {
    fan_out(store, c, true, tasks);
    if (truthy(c.add_success)) store.put_marker(c, "_SUCCESS");
  } else if (truthy(c.add_empty)) {
    store.put_marker(c, "_EMPTY");
  }
  double end = py_time();
  if (truthy(c.isdel)) {
    store.guard_removal(c, true);
    // Only what was uploaded, and the folders that leaves empty: files in the
    // sub-folders of a one-level upload, or written meanwhile, stay.
    remove_uploaded(c.ctx, c.local, tasks);
  }
  clog(c.ctx, store.closing(c, true), py::float_(end - start));
}

template <class Store>
void download_folder(Store& store, FolderCall& c) {
  store.check_download(c);
  double start = py_time();
  // Listed and planned before the local folder is emptied: a listing that
  // fails or names one file twice leaves it as it was.
  std::vector<std::string> keys = store.list_source(c);
  auto tasks =
      without_gil([&] { return folder_plan::plan_download(keys, c.local, c.remote, c.recursive, Store::key_rule); });
  bmobj().attr("remove_folder")(c.local_path);
  without_gil([&] {
    // Whatever could not be removed (a link to a folder) must not be mixed with the new files.
    if (kestro::fs::exists(c.local))
      throw kestro::Error(kestro::Error::Code::kIo, "folder still exists", EEXIST, c.local);
    kestro::fs::make_dirs(c.local);
    if (c.recursive)
      for (const auto& folder : folder_plan::parent_folders(tasks)) kestro::fs::make_dirs(folder);
  });
  if (!tasks.empty()) fan_out(store, c, false, tasks);
  double end = py_time();
  store.downloaded(c);
  // Only what arrived: an object that appeared in the folder during the
  // transfer stays for the next run.
  if (truthy(c.isdel)) {
    store.guard_removal(c, false);
    store.delete_sources(c, tasks, keys);
  }
  clog(c.ctx, store.closing(c, false), py::float_(end - start));
}

// The task-log and Et texts of one direction of a file task.
struct FileTexts {
  const char* failed;          // "<local><failed><i>, error: <error>"
  const char* finally_failed;  // "<local><finally_failed><error>"
  const char* message;         // Et(2) "<message><key> <local>"
};

// A file task's attempts: `task.attempt()` up to `attempts` times, each
// failure logged with its secrets masked, a pause between attempts, and
// after the last one Et(2) with the failure as its context.
template <class Task>
void file_attempts(Task& task, long long attempts, const FileTexts& texts) {
  for (long long i = 0; i < attempts; ++i) {
    auto failure = catch_ordinary([&] { task.attempt(); });
    if (!failure) return;
    const SecretMask secrets = task.secrets();
    const std::string error = task.error_text(secrets, failure->value());
    clog(task.ctx, task.local + texts.failed + std::to_string(i) + ", error: " + error);
    if (i < attempts - 1) {
      task.pause();
      continue;
    }
    task.given_up();
    clog(task.ctx, task.local + texts.finally_failed + error);
    raise_et_from(2, texts.message + task.key() + " " + task.local, *failure, secrets);
  }
}

}  // namespace kestro::py_common
