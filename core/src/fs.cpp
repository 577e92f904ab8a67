#include "kestro/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <utility>

#include "kestro/error.hpp"
#include "kestro/ids.hpp"
#include "kestro/path_text.hpp"

namespace kestro::fs {

int Env::open(const char* path, int flags, unsigned mode) noexcept { return ::open(path, flags, mode); }
long Env::read(int fd, void* buf, std::size_t n) noexcept { return ::read(fd, buf, n); }
long Env::write(int fd, const void* buf, std::size_t n) noexcept { return ::write(fd, buf, n); }
int Env::close(int fd) noexcept { return ::close(fd); }
int Env::rename(const char* from, const char* to) noexcept { return ::rename(from, to); }
int Env::mkdir(const char* path, unsigned mode) noexcept { return ::mkdir(path, mode); }
int Env::unlink(const char* path) noexcept { return ::unlink(path); }
int Env::rmdir(const char* path) noexcept { return ::rmdir(path); }

namespace {
Env posix_env;
std::atomic<Env*> current_env{&posix_env};
}  // namespace

Env& env() noexcept { return *current_env.load(std::memory_order_acquire); }

ScopedEnv::ScopedEnv(Env& replacement) noexcept
    : previous_(current_env.exchange(&replacement, std::memory_order_acq_rel)) {}
ScopedEnv::~ScopedEnv() { current_env.store(previous_, std::memory_order_release); }

File::File(const std::string& path, int flags, const char* what) {
  do {
    fd_ = env().open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw_io(what, path);
}

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void File::write_all(std::string_view bytes, const char* what, const std::string& path) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    long n = env().write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_io(what, path);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool File::close() noexcept {
  if (fd_ < 0) return true;
  int fd = std::exchange(fd_, -1);
  // After EINTR the descriptor is released all the same on Linux.
  return env().close(fd) == 0 || errno == EINTR;
}

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

// A folder itself, not a link to one.
bool is_real_dir(const std::string& path) noexcept {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool lstat_is_link(const std::string& path) noexcept {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// One folder's entries in directory order; unreadable folders yield nothing,
// as pathlib's glob does, and are reported to `unreadable` when given.
void scan(const std::string& folder_text, std::vector<Entry>& out, std::vector<Unreadable>* unreadable) {
  DirPtr dir(::opendir(folder_text.c_str()));
  if (!dir) {
    if (unreadable) unreadable->push_back({folder_text, errno});
    return;
  }
  for (;;) {
    errno = 0;
    dirent* de = ::readdir(dir.get());
    if (!de) {
      if (errno != 0 && unreadable) unreadable->push_back({folder_text, errno});
      break;
    }
    std::string_view name(de->d_name);
    if (name == "." || name == "..") continue;
    Entry e{child_text(folder_text, name), std::string(name)};
    struct stat st{};
    if (::stat(e.path.c_str(), &st) == 0) {
      e.is_dir = S_ISDIR(st.st_mode);
      e.is_regular = S_ISREG(st.st_mode);
    } else {
      e.stat_errno = errno;
    }
    out.push_back(std::move(e));
  }
}

void walk(const std::string& folder_text, std::vector<Entry>& out, std::vector<Unreadable>* unreadable) {
  std::vector<Entry> here;
  scan(folder_text, here, unreadable);
  std::vector<std::string> subdirs;
  for (auto& e : here) {
    if (e.is_dir && !lstat_is_link(e.path)) subdirs.push_back(e.path);
    out.push_back(std::move(e));
  }
  for (auto& sub : subdirs) walk(sub, out, unreadable);
}

}  // namespace

std::vector<Entry> list_entries(std::string_view folder, bool recursive, std::vector<Unreadable>* unreadable) {
  std::vector<Entry> out;
  std::string folder_text = text::pathlib_norm(folder);
  if (!stat_is_dir(folder_text)) return out;
  if (recursive)
    walk(folder_text, out, unreadable);
  else
    scan(folder_text, out, unreadable);
  return out;
}

std::uint64_t file_size(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) throw_io("cannot stat", path);
  return static_cast<std::uint64_t>(st.st_size);
}

namespace {
FileStamp stamp_of(const struct stat& st) {
  FileStamp s;
  s.device = static_cast<std::uint64_t>(st.st_dev);
  s.inode = static_cast<std::uint64_t>(st.st_ino);
  s.bytes = static_cast<std::uint64_t>(st.st_size);
  s.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}
}  // namespace

FileStamp file_stamp(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) throw_io("cannot stat", path);
  return stamp_of(st);
}

bool has_stamp(const std::string& path, const FileStamp& stamp) noexcept {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && stamp_of(st) == stamp;
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
      if (env().mkdir(partial.c_str(), 0777) != 0) {
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
  if (path.find('\0') != std::string::npos) throw Error(Error::Code::kFormat, "path holds a NUL character");
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

// A path holding NUL would reach the C calls cut short, naming another file.
bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

void remove_file(const std::string& path) noexcept {
  if (!has_nul(path)) env().unlink(path.c_str());
}

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
    } else if (env().unlink(child.c_str()) != 0 && errno != ENOENT) {
      return false;
    }
  }
  dir.reset();
  return env().rmdir(path.c_str()) == 0 || errno == ENOENT;
}
}  // namespace

void remove_tree(const std::string& path) noexcept {
  if (has_nul(path)) return;
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
  File file(path, O_WRONLY | O_CREAT | O_TRUNC, "cannot open for writing");
  file.write_all(bytes, "cannot write", path);
  if (!file.close()) throw_io("cannot close", path);
}

void rename(const std::string& from, const std::string& to) {
  if (env().rename(from.c_str(), to.c_str()) != 0) throw_io("cannot rename", from);
}

std::string read_file(const std::string& path) {
  File file(path, O_RDONLY, "cannot open for reading");
  std::string out;
  char buf[1 << 16];
  for (;;) {
    long n = env().read(file.fd(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_io("cannot read", path);
    }
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

void publish_file(const std::string& path, std::string_view bytes) {
  std::string temp = path + "." + ids::uuid1_hex() + ".tmp";
  try {
    write_file(temp, bytes);
    rename(temp, path);
  } catch (...) {
    remove_file(temp);
    throw;
  }
}

FileGuard::~FileGuard() {
  if (!path_.empty()) remove_file(path_);
}

PartFile::PartFile(std::string target)
    : target_(std::move(target)), part_(target_ + "." + ids::uuid1_hex() + ".part") {}

void PartFile::commit() {
  rename(part_.path(), target_);
  part_.release();
}

void remove_empty_folders(const std::string& folder) noexcept {
  if (!is_real_dir(folder)) return;
  std::vector<std::string> subdirs;
  if (DirPtr dir{::opendir(folder.c_str())}) {
    while (dirent* de = ::readdir(dir.get())) {
      std::string_view name(de->d_name);
      if (name == "." || name == "..") continue;
      std::string child = folder + "/" + std::string(name);
      if (is_real_dir(child)) subdirs.push_back(std::move(child));
    }
  }
  for (const auto& sub : subdirs) remove_empty_folders(sub);
  env().rmdir(folder.c_str());  // fails, harmlessly, unless empty
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
