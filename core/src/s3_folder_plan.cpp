#include "kestro/s3_folder_plan.hpp"

#include <unordered_set>

#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/text.hpp"

namespace kestro::s3 {
namespace {

std::string strip_leading_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  return std::string(s);
}

bool escapes(std::string_view rel) {
  if (rel.empty()) return true;
  for (auto comp : text::components(rel))
    if (comp == "..") return true;
  return false;
}

// Path of `key` below the prefix `remote_path`, as a relative path text.
std::string key_below(const std::string& key, std::string_view remote_path) {
  std::string norm = text::posix_normpath(key);
  std::string rel;
  if (text::relative_to(norm, remote_path, rel))
    return rel.empty() ? std::string(text::basename(norm)) : rel;  // empty: the key is the prefix itself
  // A character prefix only ("a/b" over "a/bz/w"): what follows it.
  std::string prefix = text::pathlib_norm(remote_path);
  if (prefix != "." && norm.compare(0, prefix.size(), prefix) == 0)
    return strip_leading_slashes(std::string_view(norm).substr(prefix.size()));
  return strip_leading_slashes(norm);
}

}  // namespace

UploadPlan plan_upload(std::string_view local_path, std::string_view remote_path, bool recursive) {
  UploadPlan plan;
  double total = 0.0;
  for (auto& entry : fs::list_entries(local_path, recursive)) {
    if (entry.is_dir) continue;
    double size = text::mib4(fs::file_size(entry.path));
    total += size;
    std::string rel;
    if (!recursive || !text::relative_to(entry.path, local_path, rel) || rel.empty()) rel = entry.name;
    if (!plan.lines.empty() || !plan.tasks.empty()) plan.lines += '\n';
    text::append_float_repr(plan.lines, size);
    plan.lines += "M ";
    plan.lines += entry.name;
    plan.tasks.push_back({text::posix_join(remote_path, rel), std::move(entry.path)});
  }
  plan.summary = "upload file info *  file total count " + std::to_string(plan.tasks.size()) + "  file total size ";
  if (plan.tasks.empty())
    plan.summary += "0";
  else
    text::append_float_repr(plan.summary, total);
  plan.summary += "M";
  return plan;
}

std::vector<FileTask> plan_download(const std::vector<std::string>& keys, std::string_view local_path,
                                    std::string_view remote_path, bool recursive) {
  std::vector<FileTask> tasks;
  tasks.reserve(keys.size());
  for (const auto& key : keys) {
    if (key.empty() || key.back() == '/') continue;
    std::string rel = recursive ? key_below(key, remote_path) : std::string(text::basename(key));
    if (escapes(rel) || rel == ".")
      throw Error(Error::Code::kFormat, "key leaves the local folder: " + key);
    tasks.push_back({key, text::posix_join(local_path, rel)});
  }
  return tasks;
}

std::vector<std::string> parent_folders(const std::vector<FileTask>& tasks) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& t : tasks) {
    std::string dir = text::dirname(t.local_file);
    if (!dir.empty() && seen.insert(dir).second) out.push_back(std::move(dir));
  }
  return out;
}

}  // namespace kestro::s3
