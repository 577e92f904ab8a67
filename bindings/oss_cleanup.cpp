// What a failed single-object transfer must not leave behind: the SDK's
// checkpoints, its partial download files, and unfinished multipart uploads
// whose parts the bucket would keep (and bill) for good, since no later call
// can resume them (each call picks a new work file name).
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"
#include "kestro/fs.hpp"
#include "oss_support.hpp"

namespace kestro::oss {

// Best effort: an ordinary Python error ends a step quietly.
using kestro::py_common::catch_ordinary;

namespace {

py::object store_key(py::handle oss2, py::handle store_type, py::handle bucket, py::handle key,
                     const std::string& path) {
  py::object abspath = py::module_::import("os").attr("path").attr("abspath")(path);
  py::object key_text = oss2.attr("compat").attr("to_string")(key);
  return store_type.attr("make_store_key")(bucket.attr("bucket_name"), key_text, abspath);
}

}  // namespace

void forget_failed_upload(py::handle oss2, py::handle bucket, py::handle key, const std::string& work,
                          long long size) {
  catch_ordinary([&] {
    // Below the threshold the SDK sent one PUT: no checkpoint, no upload.
    long long threshold = oss2.attr("defaults").attr("multipart_threshold").cast<long long>();
    if (size < threshold) return;
    py::object resumable = oss2.attr("resumable");
    py::object store = resumable.attr("ResumableStore")();
    py::object record_key = store_key(oss2, resumable.attr("ResumableStore"), bucket, key, work);
    py::object record = store.attr("get")(record_key);
    if (record.is_none()) return;
    catch_ordinary([&] {
      py::object upload_id = record.attr("get")("upload_id");
      if (!upload_id.is_none()) bucket.attr("abort_multipart_upload")(key, upload_id);
    });
    store.attr("delete")(record_key);
  });
}

void forget_failed_download(py::handle oss2, py::handle bucket, py::handle key, const std::string& target) {
  catch_ordinary([&] {
    py::module_ glob = py::module_::import("glob");
    py::object partials = glob.attr("glob")(glob.attr("escape")(target) + py::str(".tmp-*"));
    if (py::len(partials) == 0) return;  // the SDK never took its checkpointed path
    for (py::handle path : partials) kestro::fs::remove_file(path.cast<std::string>());
    py::object resumable = oss2.attr("resumable");
    py::object store = resumable.attr("ResumableDownloadStore")();
    store.attr("delete")(store_key(oss2, resumable.attr("ResumableDownloadStore"), bucket, key, target));
  });
}

}  // namespace kestro::oss
