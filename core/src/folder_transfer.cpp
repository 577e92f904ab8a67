#include "kestro/folder_transfer.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestro/fs.hpp"
#include "kestro/text.hpp"

namespace kestro::folder_transfer {

std::vector<UploadFile> plan_upload(std::string_view local_folder, std::string_view oss_folder, bool recursive) {
  std::vector<UploadFile> files;
  for (auto& entry : fs::list_entries(local_folder, recursive)) {
    if (entry.is_dir) continue;
    UploadFile f;
    f.bytes = fs::file_size(entry.path);
    if (recursive) {
      std::string rel;
      // Entries are built from the folder's own text, so this always holds.
      if (!text::relative_to(entry.path, local_folder, rel)) rel = entry.name;
      f.key = text::posix_join(oss_folder, rel);
    } else {
      f.key = std::string(oss_folder) + entry.name;
    }
    f.local_path = std::move(entry.path);
    f.name = std::move(entry.name);
    files.push_back(std::move(f));
  }
  return files;
}

namespace {
// Depth first: sub-folders before their parent, so emptied parents go too.
void remove_empty_folders(const std::string& path) noexcept {
  if (DIR* dir = ::opendir(path.c_str())) {
    std::vector<std::string> subdirs;
    while (dirent* de = ::readdir(dir)) {
      std::string_view name(de->d_name);
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + std::string(name);
      struct stat st{};
      if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) subdirs.push_back(std::move(child));
    }
    ::closedir(dir);
    for (const auto& sub : subdirs) remove_empty_folders(sub);
  }
  ::rmdir(path.c_str());  // fails, harmlessly, unless empty
}
}  // namespace

void remove_sent(std::string_view folder, const std::vector<std::string>& files) noexcept {
  for (const auto& f : files) fs::remove_file(f);
  std::string root = text::pathlib_norm(folder);
  struct stat st{};
  if (::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_empty_folders(root);
}

std::string upload_summary(const std::vector<UploadFile>& files) {
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

std::string upload_file_lines(const std::vector<UploadFile>& files) {
  std::string out;
  for (std::size_t k = 0; k < files.size(); ++k) {
    if (k) out += '\n';
    text::append_float_repr(out, text::mib4(files[k].bytes));
    out += "M ";
    out += files[k].name;
  }
  return out;
}

std::string folder_prefix(std::string_view folder) {
  std::string out(folder);
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

bool download_path(std::string_view key, std::string_view oss_folder, std::string_view local_folder, bool recursive,
                   std::string& out) {
  if (!recursive) {
    std::string_view name = text::basename(key);
    if (name.empty() || name == "." || name == "..") return false;
    out = std::string(local_folder) + "/" + std::string(name);
    return true;
  }
  std::string rel;
  if (!text::relative_to(key, oss_folder, rel) || rel.empty()) return false;
  for (auto comp : text::components(rel))
    if (comp == "..") return false;
  out = text::posix_join(local_folder, rel);
  return true;
}

bool directly_under(std::string_view key, std::string_view prefix) {
  return key.size() > prefix.size() && key.substr(0, prefix.size()) == prefix &&
         key.find('/', prefix.size()) == std::string_view::npos;
}

}  // namespace kestro::folder_transfer
