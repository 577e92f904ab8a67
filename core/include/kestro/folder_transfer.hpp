#pragma once
// Keys, local paths and summary texts of the folder transfers between a
// local folder and an object-store folder (key prefix). Pure C++, safe
// without the GIL, no shared state.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::folder_transfer {

struct UploadFile {
  std::string local_path;  // folder text (pathlib form) + "/" + path below it
  std::string name;        // last component
  std::string key;         // object key it is uploaded to
  std::uint64_t bytes = 0;
};

// The files (entries that are not folders; a link to a folder counts as a
// folder) of `local_folder`, one level or the whole tree, in listing order,
// with their sizes (links followed) and keys: one level -> `oss_folder` +
// name; tree -> posix_join(oss_folder, path relative to the folder), the
// folder's own text removed once, so "data", "data/" and "./data" give the
// same keys. A missing folder yields nothing. Throws kestro::Error(kIo)
// when a size cannot be read (a dangling link).
std::vector<UploadFile> plan_upload(std::string_view local_folder, std::string_view oss_folder, bool recursive);

// Removes the listed files, then every folder below `folder` (and `folder`
// itself) that is left empty. Nothing else goes: a file that was not sent
// (one that appeared meanwhile, one in a sub-folder of a one-level
// upload) keeps its folders. Links to folders are not followed. Never fails.
void remove_sent(std::string_view folder, const std::vector<std::string>& files) noexcept;

// "upload file info *  file total count N  file total size TM": sizes in
// MiB rounded to 4 places, summed in order; T is "0" when there are no
// files, otherwise the sum's shortest float text.
std::string upload_summary(const std::vector<UploadFile>& files);

// One "<MiB>M <name>" per file, joined with "\n" ("" for no files).
std::string upload_file_lines(const std::vector<UploadFile>& files);

// `folder` with a "/" appended unless it already ends in one. Empty input
// stays empty (callers reject it).
std::string folder_prefix(std::string_view folder);

// Local path a listed key is downloaded to: one level -> local_folder + "/"
// + last component; tree -> posix_join(local_folder, key relative to
// oss_folder), compared component-wise so repeated "/" and "." parts do
// not matter. False (out untouched) when that path would not lie strictly
// inside local_folder: a ".." component, or nothing left of the key.
bool download_path(std::string_view key, std::string_view oss_folder, std::string_view local_folder, bool recursive,
                   std::string& out);

// True when `key` lies directly under `prefix` (a folder prefix ending in
// "/"): it starts with the prefix and has no further "/".
bool directly_under(std::string_view key, std::string_view prefix);

}  // namespace kestro::folder_transfer
