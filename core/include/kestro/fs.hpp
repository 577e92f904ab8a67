#pragma once
// Local file-system helpers of the transfers. Errors throw kestro::Error
// (kIo, with errno and path) unless the function says it never fails.
// Safe without the GIL.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::fs {

struct Entry {
  std::string path;  // folder text (pathlib form) joined with the relative path
  std::string name;  // last component
  bool is_dir;       // true also for a link to a folder
};

// Entries of `folder` (one level) or of its whole tree (recursive), in the
// order the file system yields them: each folder's entries, folders taken
// depth first; links to folders are listed but not descended. A missing
// folder or a file yields nothing.
std::vector<Entry> list_entries(std::string_view folder, bool recursive);

// Byte size, following links.
std::uint64_t file_size(const std::string& path);

// mkdir -p; an existing folder is fine (also when created concurrently),
// and so is one that vanishes meanwhile: the chain is built again.
void make_dirs(const std::string& path);

// Never fail: a missing path, a folder (remove_file) or a link
// (remove_tree) is left alone. remove_tree stops at the first entry it
// cannot remove; entries that vanish meanwhile are skipped, and entries
// that appear meanwhile are taken by further passes (a bounded number).
void remove_file(const std::string& path) noexcept;
void remove_tree(const std::string& path) noexcept;

bool is_dir(const std::string& path) noexcept;
bool exists(const std::string& path) noexcept;

// Whole-file write (truncating) and rename; throw on failure.
void write_file(const std::string& path, std::string_view bytes);
void rename(const std::string& from, const std::string& to);

// A gzip stream whose uncompressed content is empty.
std::string_view empty_gzip();

}  // namespace kestro::fs
