#include "kestro/folder_plan.hpp"

#include <unordered_set>

#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/text.hpp"

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

}  // namespace

std::vector<FileTask> plan_upload(std::string_view local_folder, std::string_view remote_folder, bool recursive,
                                  KeyRule rule) {
  std::vector<FileTask> files;
  for (auto& entry : fs::list_entries(local_folder, recursive)) {
    if (entry.is_dir) continue;
    FileTask f;
    f.bytes = fs::file_size(entry.path);
    if (recursive) {
      // Entries are built from the folder's own text, so the path is below it.
      auto rel = text::relative_to(entry.path, local_folder);
      f.key = text::posix_join(remote_folder, rel && !rel->empty() ? *rel : entry.name);
    } else if (rule == KeyRule::kPrefixPlusName) {
      f.key = std::string(remote_folder) + entry.name;
    } else {
      f.key = text::posix_join(remote_folder, entry.name);
    }
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
  if (!recursive) {
    std::string_view name = text::basename(key);
    if (leaves_folder(name)) return std::nullopt;
    if (rule == KeyRule::kPrefixPlusName) return std::string(local_folder) + "/" + std::string(name);
    return text::posix_join(local_folder, name);
  }
  std::string rel;
  if (rule == KeyRule::kPrefixPlusName) {
    auto below = text::relative_to(key, remote_folder);
    if (!below) return std::nullopt;
    rel = std::move(*below);
  } else {
    rel = joined_key_below(key, remote_folder);
  }
  if (leaves_folder(rel)) return std::nullopt;
  return text::posix_join(local_folder, rel);
}

std::vector<FileTask> plan_download(const std::vector<std::string>& keys, std::string_view local_folder,
                                    std::string_view remote_folder, bool recursive, KeyRule rule) {
  std::vector<FileTask> tasks;
  tasks.reserve(keys.size());
  for (const auto& key : keys) {
    if (key.empty() || key.back() == '/') continue;
    auto local = download_path(key, remote_folder, local_folder, recursive, rule);
    if (!local) throw Error(Error::Code::kFormat, "key leaves the local folder: " + key);
    tasks.push_back({key, std::move(*local), {}, 0});
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
