#pragma once
// What a folder transfer between a local folder and an object-store folder
// (a key prefix) does before any request: which files or keys move, under
// which names, and the upload's size texts. Both stores share every rule
// here except the key rule (KeyRule). Pure C++, safe without the GIL, no
// shared state.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestro/fs.hpp"

namespace kestro::folder_plan {

// How a one-level transfer names a file on the other side, and how a key
// of a tree download is taken relative to its folder.
enum class KeyRule {
  // One level: the folder text + the name, as given ("out" + "a.csv" is
  // "outa.csv"; a local folder gets a "/" between). Tree download: the key
  // must lie below the folder, compared component-wise.
  kPrefixPlusName,
  // One level: posixpath.join(folder, name). Tree download: a key the folder
  // covers only as text ("a/b" over "a/bz/w") keeps what follows that text;
  // a key that is the folder itself keeps its last component.
  kPathJoin,
};

struct FileTask {
  std::string key;         // object key
  std::string local_path;  // local path text
  std::string name;        // last component (uploads; for the per-file lines)
  std::uint64_t bytes = 0; // size (uploads)
  fs::FileStamp stamp{};   // the file as listed (uploads)
};

// The files (entries that are not folders; a link to a folder counts as a
// folder) of `local_folder`, one level or the whole tree, in listing order,
// with their sizes (links followed) and keys under `remote_folder`: one
// level -> by `rule`; tree -> posixpath.join(remote_folder, path relative
// to the folder), the folder's own text removed once, so "data", "data/"
// and "./data" give the same keys. local_path is the folder text (pathlib
// form) + "/" + the path below it. A missing folder yields nothing.
// Only regular files (and links to them) are read: throws
// kestro::Error(kFormat), naming the path, for a FIFO, socket or device, a
// link that cannot be followed (dangling, a loop), a folder that cannot be
// read, and a file whose key would not be UTF-8; kIo when a size cannot be
// read.
std::vector<FileTask> plan_upload(std::string_view local_folder, std::string_view remote_folder, bool recursive,
                                  KeyRule rule);

// "upload file info *  file total count N  file total size TM": sizes in
// MiB rounded to 4 places, summed in order; T is "0" when there are no
// files, otherwise the sum's shortest float text.
std::string upload_summary(const std::vector<FileTask>& files);

// One "<MiB>M <name>" per file, joined with "\n" ("" for no files).
std::string upload_file_lines(const std::vector<FileTask>& files);

// True when a relative path would not name a file strictly inside the
// folder it is joined to: empty, ".", or holding a ".." component.
bool leaves_folder(std::string_view rel);

// Local path a listed key is downloaded to: one level -> its last
// component, placed by `rule`; tree -> posixpath.join(local_folder, the
// key relative to remote_folder by `rule`). nullopt when that path would
// not lie strictly inside local_folder (leaves_folder), or when the key is
// not below the folder under kPrefixPlusName.
std::optional<std::string> download_path(std::string_view key, std::string_view remote_folder,
                                         std::string_view local_folder, bool recursive, KeyRule rule);

// Download tasks for `keys` listed under `remote_folder`, in order; keys
// ending in "/" are folder markers, not files, and are left out.
// Throws kestro::Error(kFormat) for a key download_path refuses, a key
// holding NUL, and for two keys whose local paths name one file once the
// file system resolves them ("in/a" beside "in//a" or "in/./a"), or one
// key's file the folder of another's; the message names both keys. So
// every planned path lies strictly inside local_folder and no two share a
// file or a file and a folder.
std::vector<FileTask> plan_download(const std::vector<std::string>& keys, std::string_view local_folder,
                                    std::string_view remote_folder, bool recursive, KeyRule rule);

// Distinct parent folders of the tasks' local files, in first-seen order.
std::vector<std::string> parent_folders(const std::vector<FileTask>& tasks);

// Removes the listed files, then every folder below `folder` (and `folder`
// itself) that is left empty. Nothing else goes: a file that was not sent
// (one that appeared meanwhile, one in a sub-folder of a one-level
// upload) keeps its folders. Links to folders are not followed. Never fails.
void remove_sent(std::string_view folder, const std::vector<std::string>& files) noexcept;

// remove_sent for uploaded files, each only while it is still the file that
// was listed (FileTask::stamp): one written, replaced or grown since may
// have been sent in part, and its only whole copy is the local one.
// Returns the local paths of the files it kept for that reason (not those
// that are gone). Never fails.
std::vector<std::string> remove_sent_unchanged(std::string_view folder, const std::vector<FileTask>& sent) noexcept;

// `folder` with a "/" appended unless it already ends in one. Empty input
// stays empty (callers reject it).
std::string folder_prefix(std::string_view folder);

// True when `key` lies directly under `prefix` (a folder prefix ending in
// "/"): it starts with the prefix and has no further "/".
bool directly_under(std::string_view key, std::string_view prefix);

}  // namespace kestro::folder_plan
