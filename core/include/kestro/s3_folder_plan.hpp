#pragma once
// What the S3 folder transfers do before any request: which files or keys
// move, under which names, and the upload's size summary. Pure C++, safe
// without the GIL.
#include <string>
#include <string_view>
#include <vector>

namespace kestro::s3 {

struct FileTask {
  std::string remote_file;  // object key
  std::string local_file;   // local path text
};

struct UploadPlan {
  std::vector<FileTask> tasks;  // in the order the folder walk yields the files
  std::string summary;          // "upload file info *  file total count N  file total size TM"
  std::string lines;            // "<size>M <base name>" per file, joined with "\n"
};

// Files (not folders) below `local_path` (the whole tree when `recursive`,
// else its direct entries) and their keys under `remote_path`: the path
// relative to the folder when recursive, the base name otherwise. "data",
// "data/" and "./data" give the same keys. Sizes are MiB rounded to 4
// places, the total their sum (written "0" when there is no file).
// Throws kestro::Error(kIo) when a listed file's size cannot be read.
UploadPlan plan_upload(std::string_view local_path, std::string_view remote_path, bool recursive);

// Local files for `keys` listed under `remote_path`: below `local_path` at
// the key's path relative to the prefix when `recursive`, else at its last
// component. Keys ending in "/" are folder markers, not files, and are
// left out. A key the prefix does not cover component-wise (prefix "a/b",
// key "a/bz/w") keeps what follows the prefix text; a key that is the
// prefix itself keeps its last component.
// Throws kestro::Error(kFormat) for a key whose local file would not lie
// below `local_path` (".." components).
std::vector<FileTask> plan_download(const std::vector<std::string>& keys, std::string_view local_path,
                                    std::string_view remote_path, bool recursive);

// Distinct parent folders of the tasks' local files, in first-seen order.
std::vector<std::string> parent_folders(const std::vector<FileTask>& tasks);

}  // namespace kestro::s3
