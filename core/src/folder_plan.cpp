#include "kestro/folder_plan.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/number_text.hpp"
#include "kestro/path_text.hpp"

namespace kestro::folder_plan {
namespace {

std::string strip_leading_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  return std::string(s);
}

// The path-join rule's key below its folder, lenient where the folder
// covers the key only as text.
std::string joined_key_below(std::string_view key, std::string_view remote_folder) {
  std::string norm = text::posix_normpath(key);
  if (auto rel = text::relative_to(norm, remote_folder))
    return rel->empty() ? std::string(text::basename(norm)) : std::move(*rel);  // the key is the folder itself
  std::string prefix = text::pathlib_norm(remote_folder);
  if (prefix != "." && norm.compare(0, prefix.size(), prefix) == 0)
    return strip_leading_slashes(std::string_view(norm).substr(prefix.size()));
  return strip_leading_slashes(norm);
}

bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// A path or key for an error text: bytes that are not UTF-8, and NUL,
// as \xNN, so the text can always be shown.
std::string shown(std::string_view s) {
  std::string out;
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = 1;
    while (n <= 4 && i + n <= s.size() && !is_utf8(s.substr(i, n))) ++n;
    if (n <= 4 && i + n <= s.size() && s[i] != '\0') {
      out.append(s.substr(i, n));
      i += n;
    } else {
      auto c = static_cast<unsigned char>(s[i++]);
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

[[noreturn]] void refuse(const std::string& what, std::string_view path, int sys_errno = 0) {
  std::string message = what + ": " + shown(path);
  if (sys_errno) message += std::string(" (") + std::strerror(sys_errno) + ")";
  throw Error(Error::Code::kFormat, message);
}

// The C calls would take the text before the NUL: another folder.
void refuse_nul_folder(std::string_view local_folder) {
  if (local_folder.find('\0') != std::string_view::npos) refuse("local folder holds a NUL character", local_folder);
}

// Where a listed key goes, relative to the local folder; nullopt as in
// download_path.
std::optional<std::string> relative_download_path(std::string_view key, std::string_view remote_folder, bool recursive,
                                                  KeyRule rule) {
  std::string rel;
  if (!recursive) {
    rel = std::string(text::basename(key));
  } else if (rule == KeyRule::kPrefixPlusName) {
    auto below = text::relative_to(key, remote_folder);
    if (!below) return std::nullopt;
    rel = std::move(*below);
  } else {
    rel = joined_key_below(key, remote_folder);
  }
  if (leaves_folder(rel)) return std::nullopt;
  return rel;
}

std::string place(std::string_view local_folder, const std::string& rel, bool recursive, KeyRule rule) {
  if (!recursive && rule == KeyRule::kPrefixPlusName) return std::string(local_folder) + "/" + rel;
  return text::posix_join(local_folder, rel);
}

}  // namespace

std::vector<FileTask> plan_upload(std::string_view local_folder, std::string_view remote_folder, bool recursive,
                                  KeyRule rule) {
  refuse_nul_folder(local_folder);
  std::vector<FileTask> files;
  std::vector<fs::Unreadable> unreadable;
  auto entries = fs::list_entries(local_folder, recursive, &unreadable);
  // A folder left out would look like a folder of fewer files.
  if (!unreadable.empty()) refuse("cannot read folder", unreadable.front().path, unreadable.front().sys_errno);
  for (auto& entry : entries) {
    if (entry.stat_errno) refuse("cannot follow link", entry.path, entry.stat_errno);
    if (entry.is_dir) continue;
    // Opening a pipe or a device would block or read without end.
    if (!entry.is_regular) refuse("not a regular file", entry.path);
    FileTask f;
    f.stamp = fs::file_stamp(entry.path);
    f.bytes = f.stamp.bytes;
    if (recursive) {
      // Entries are built from the folder's own text, so the path is below it.
      auto rel = text::relative_to(entry.path, local_folder);
      f.key = text::posix_join(remote_folder, rel && !rel->empty() ? *rel : entry.name);
    } else if (rule == KeyRule::kPrefixPlusName) {
      f.key = std::string(remote_folder) + entry.name;
    } else {
      f.key = text::posix_join(remote_folder, entry.name);
    }
    // A key is text: a name the file system holds as other bytes has none.
    if (!is_utf8(f.key)) refuse("file name is not UTF-8", entry.path);
    f.local_path = std::move(entry.path);
    f.name = std::move(entry.name);
    files.push_back(std::move(f));
  }
  return files;
}

std::string upload_summary(const std::vector<FileTask>& files) {
  std::string out = "upload file info *  file total count ";
  out += std::to_string(files.size());
  out += "  file total size ";
  if (files.empty()) {
    out += '0';
  } else {
    double total = 0;
    for (const auto& f : files) total += text::mib4(f.bytes);
    text::append_float_repr(out, total);
  }
  out += 'M';
  return out;
}

std::string upload_file_lines(const std::vector<FileTask>& files) {
  std::string out;
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (k) out += '\n';
    text::append_float_repr(out, text::mib4(files[k].bytes));
    out += "M ";
    out += files[k].name;
  }
  return out;
}

bool leaves_folder(std::string_view rel) {
  if (rel.empty() || rel == ".") return true;
  for (auto comp : text::components(rel))
    if (comp == "..") return true;
  return false;
}

std::optional<std::string> download_path(std::string_view key, std::string_view remote_folder,
                                         std::string_view local_folder, bool recursive, KeyRule rule) {
  auto rel = relative_download_path(key, remote_folder, recursive, rule);
  if (!rel) return std::nullopt;
  return place(local_folder, *rel, recursive, rule);
}

std::vector<FileTask> plan_download(const std::vector<std::string>& keys, std::string_view local_folder,
                                    std::string_view remote_folder, bool recursive, KeyRule rule) {
  refuse_nul_folder(local_folder);
  std::vector<FileTask> tasks;
  tasks.reserve(keys.size());
  // Paths below the local folder as the file system resolves them ("a",
  // "a//b", "./a" collapsed), each with the index of the task that writes
  // the file there or first needs it as a folder.
  std::unordered_map<std::string, std::size_t> files;
  std::unordered_map<std::string, std::size_t> folders;
  auto clash = [&](std::size_t earlier, const std::string& key, const std::string& local) {
    throw Error(Error::Code::kFormat, "keys '" + shown(tasks[earlier].key) + "' and '" + shown(key) +
                                          "' name one local path: " + shown(local));
  };
  for (const auto& key : keys) {
    if (key.empty() || key.back() == '/') continue;
    // The C calls would end the path there, somewhere the plan never saw.
    if (key.find('\0') != std::string::npos) refuse("key holds a NUL character", key);
    auto rel = relative_download_path(key, remote_folder, recursive, rule);
    if (!rel) refuse("key leaves the local folder", key);
    std::string local = place(local_folder, *rel, recursive, rule);
    std::string norm = text::posix_normpath(*rel);
    if (auto it = files.find(norm); it != files.end()) clash(it->second, key, local);
    if (auto it = folders.find(norm); it != folders.end()) clash(it->second, key, local);
    for (std::size_t slash = norm.find('/'); slash != std::string::npos; slash = norm.find('/', slash + 1)) {
      std::string folder = norm.substr(0, slash);
      if (auto it = files.find(folder); it != files.end()) clash(it->second, key, place(local_folder, folder, recursive, rule));
      folders.emplace(std::move(folder), tasks.size());
    }
    files.emplace(std::move(norm), tasks.size());
    tasks.push_back({key, std::move(local), {}, 0, {}});
  }
  return tasks;
}

std::vector<std::string> parent_folders(const std::vector<FileTask>& tasks) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& t : tasks) {
    std::string dir = text::dirname(t.local_path);
    if (!dir.empty() && seen.insert(dir).second) out.push_back(std::move(dir));
  }
  return out;
}

void remove_sent(std::string_view folder, const std::vector<std::string>& files) noexcept {
  for (const auto& f : files) fs::remove_file(f);
  fs::remove_empty_folders(text::pathlib_norm(folder));
}

std::vector<std::string> remove_sent_unchanged(std::string_view folder, const std::vector<FileTask>& sent) noexcept {
  std::vector<std::string> kept;
  try {
    std::vector<std::string> files;
    for (const auto& t : sent) {
      if (fs::has_stamp(t.local_path, t.stamp))
        files.push_back(t.local_path);
      else if (fs::exists(t.local_path))  // one that is gone needs nothing
        kept.push_back(t.local_path);
    }
    remove_sent(folder, files);
  } catch (...) {  // out of memory: removing nothing loses nothing
  }
  return kept;
}

std::string folder_prefix(std::string_view folder) {
  std::string out(folder);
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

bool directly_under(std::string_view key, std::string_view prefix) {
  return key.size() > prefix.size() && key.substr(0, prefix.size()) == prefix &&
         key.find('/', prefix.size()) == std::string_view::npos;
}

}  // namespace kestro::folder_plan
