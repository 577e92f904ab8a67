#include "kestro/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "kestro/error.hpp"
#include "kestro/text.hpp"

namespace kestro::fs {
namespace {

struct DirCloser {
  void operator()(DIR* d) const noexcept { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string child_text(const std::string& folder_text, std::string_view name) {
  if (folder_text == ".") return std::string(name);
  if (!folder_text.empty() && folder_text.back() == '/') return folder_text + std::string(name);
  return folder_text + "/" + std::string(name);
}

bool stat_is_dir(const std::string& path) noexcept {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool lstat_is_link(const std::string& path) noexcept {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// One folder's entries in directory order; unreadable folders yield nothing,
// as pathlib's glob does.
void scan(const std::string& folder_text, std::vector<Entry>& out) {
  DirPtr dir(::opendir(folder_text.c_str()));
  if (!dir) return;
  while (dirent* de = ::readdir(dir.get())) {
    std::string_view name(de->d_name);
    if (name == "." || name == "..") continue;
    Entry e{child_text(folder_text, name), std::string(name), false};
    e.is_dir = stat_is_dir(e.path);
    out.push_back(std::move(e));
  }
}

void walk(const std::string& folder_text, std::vector<Entry>& out) {
  std::vector<Entry> here;
  scan(folder_text, here);
  std::vector<std::string> subdirs;
  for (auto& e : here) {
    if (e.is_dir && !lstat_is_link(e.path)) subdirs.push_back(e.path);
    out.push_back(std::move(e));
  }
  for (auto& sub : subdirs) walk(sub, out);
}

}  // namespace

std::vector<Entry> list_entries(std::string_view folder, bool recursive) {
  std::vector<Entry> out;
  std::string folder_text = text::pathlib_norm(folder);
  if (!stat_is_dir(folder_text)) return out;
  if (recursive)
    walk(folder_text, out);
  else
    scan(folder_text, out);
  return out;
}

std::uint64_t file_size(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) throw_io("cannot stat", path);
  return static_cast<std::uint64_t>(st.st_size);
}

namespace {
void make_dirs_once(const std::string& path) {
  std::string norm = text::posix_normpath(path);
  std::string partial;
  std::size_t i = 0;
  if (norm.front() == '/') {
    partial = "/";
    i = 1;
  }
  while (i <= norm.size()) {
    std::size_t j = norm.find('/', i);
    if (j == std::string::npos) j = norm.size();
    if (j > i) {
      if (!partial.empty() && partial.back() != '/') partial += '/';
      partial.append(norm, i, j - i);
      if (::mkdir(partial.c_str(), 0777) != 0) {
        if (errno != EEXIST) throw_io("cannot create folder", partial);
        struct stat st{};
        // ENOENT here: the folder was there and vanished meanwhile.
        if (::stat(partial.c_str(), &st) != 0) throw_io("cannot create folder", partial);
        if (!S_ISDIR(st.st_mode)) {
          errno = EEXIST;
          throw_io("cannot create folder", partial);
        }
      }
    }
    i = j + 1;
  }
}

// Passes over a folder chain or tree that other threads or processes
// change meanwhile (a re-run beside a failed call's tasks still running).
constexpr int kRacePasses = 16;
}  // namespace

void make_dirs(const std::string& path) {
  if (path.empty()) return;
  // A folder of the chain that vanishes meanwhile (ENOENT) starts it again.
  for (int pass = 1;; ++pass) {
    try {
      make_dirs_once(path);
      return;
    } catch (const Error& e) {
      if (e.sys_errno() != ENOENT || pass == kRacePasses) throw;
    }
  }
}

void remove_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

namespace {
// false at the first entry that cannot be removed
bool remove_tree_inner(const std::string& path) noexcept {
  // An entry that vanished meanwhile (ENOENT) is as good as removed.
  DirPtr dir(::opendir(path.c_str()));
  if (!dir) return errno == ENOENT;
  while (dirent* de = ::readdir(dir.get())) {
    std::string_view name(de->d_name);
    if (name == "." || name == "..") continue;
    std::string child = path + "/" + std::string(name);
    struct stat st{};
    if (::lstat(child.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!remove_tree_inner(child)) return false;
    } else if (::unlink(child.c_str()) != 0 && errno != ENOENT) {
      return false;
    }
  }
  dir.reset();
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}
}  // namespace

void remove_tree(const std::string& path) noexcept {
  // Entries written while a pass runs leave a folder behind (ENOTEMPTY);
  // the next pass takes them.
  for (int pass = 0; pass < kRacePasses; ++pass) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    if (remove_tree_inner(path) || (errno != ENOTEMPTY && errno != EEXIST)) return;
  }
}

bool is_dir(const std::string& path) noexcept { return stat_is_dir(path); }

bool exists(const std::string& path) noexcept {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw_io("cannot open for writing", path);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      errno = err;
      throw_io("cannot write", path);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw_io("cannot close", path);
}

void rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw_io("cannot rename", from);
}

std::string_view empty_gzip() {
  // header (no name, mtime 0, unix), an empty final block, CRC-32 0, size 0
  static const char bytes[] = {
      '\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', '\x02', '\x03',
      '\x03', '\x00',
      '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00'};
  return std::string_view(bytes, sizeof bytes);
}

}  // namespace kestro::fs
