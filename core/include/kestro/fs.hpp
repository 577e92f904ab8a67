#pragma once
// Local file-system helpers of the transfers. Errors throw kestro::Error
// (kIo, with errno and path) unless the function says it never fails.
// Safe without the GIL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestro::fs {

// The calls through which this module changes the file system or reads
// and writes files. Each behaves as its POSIX namesake: same result, errno
// set on failure. The default forwards to POSIX; tests install one that
// fails chosen calls. Implementations must be safe to call from any thread.
class Env {
 public:
  virtual ~Env() = default;
  virtual int open(const char* path, int flags, unsigned mode) noexcept;
  virtual long read(int fd, void* buf, std::size_t n) noexcept;
  virtual long write(int fd, const void* buf, std::size_t n) noexcept;
  virtual int close(int fd) noexcept;
  virtual int rename(const char* from, const char* to) noexcept;
  virtual int mkdir(const char* path, unsigned mode) noexcept;
  virtual int unlink(const char* path) noexcept;
  virtual int rmdir(const char* path) noexcept;
};

// The Env in use: the POSIX one unless a ScopedEnv is alive.
Env& env() noexcept;

// Puts `replacement` in use for its own lifetime, then restores the one it
// replaced. For tests: install it while no other thread uses this module.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env& replacement) noexcept;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

// An open file descriptor, closed through env() when it goes. Move only.
class File {
 public:
  File() = default;
  // Opens `path` with open(2) flags (O_CLOEXEC added) and mode 0666 less the
  // umask; throws Error(kIo) with `what`, errno and path on failure.
  File(const std::string& path, int flags, const char* what);
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  // Writes all of `bytes` (short writes and EINTR retried); throws
  // Error(kIo) with `what`, errno and `path`.
  void write_all(std::string_view bytes, const char* what, const std::string& path);
  // Closes now; false (errno set) when close(2) reported a failure. The
  // descriptor is gone either way.
  bool close() noexcept;

 private:
  int fd_ = -1;
};

struct Entry {
  std::string path;         // folder text (pathlib form) joined with the relative path
  std::string name;         // last component
  bool is_dir = false;      // true also for a link to a folder
  bool is_regular = false;  // a regular file, or a link to one
  int stat_errno = 0;       // why stat(2) (links followed) failed: a dangling link, a loop; 0 when it did not
};

// A folder of the walk that could not be read (opendir or readdir failed).
struct Unreadable {
  std::string path;
  int sys_errno;
};

// Entries of `folder` (one level) or of its whole tree (recursive), in the
// order the file system yields them: each folder's entries, folders taken
// depth first; links to folders are listed but not descended. A missing
// folder or a file yields nothing. Folders that cannot be read yield
// nothing; they are added to `unreadable` when it is given.
std::vector<Entry> list_entries(std::string_view folder, bool recursive,
                                std::vector<Unreadable>* unreadable = nullptr);

// Byte size, following links.
std::uint64_t file_size(const std::string& path);

// What tells one state of a file from a later one: the file (device and
// inode), its size and its modification time, links followed.
struct FileStamp {
  std::uint64_t device = 0, inode = 0, bytes = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// Throws Error(kIo) when the file cannot be stat'ed.
FileStamp file_stamp(const std::string& path);
// True when `path` still has `stamp`; false also when it cannot be stat'ed.
bool has_stamp(const std::string& path, const FileStamp& stamp) noexcept;

// mkdir -p (a path holding NUL: Error(kFormat)); an existing folder is fine (also when created concurrently),
// and so is one that vanishes meanwhile: the chain is built again.
void make_dirs(const std::string& path);

// Never fail: a missing path, a folder (remove_file) or a link
// (remove_tree) is left alone, and so is a path holding NUL. remove_tree stops at the first entry it
// cannot remove; entries that vanish meanwhile are skipped, and entries
// that appear meanwhile are taken by further passes (a bounded number).
void remove_file(const std::string& path) noexcept;
void remove_tree(const std::string& path) noexcept;

bool is_dir(const std::string& path) noexcept;
bool exists(const std::string& path) noexcept;

// Whole-file write (truncating) and rename; throw on failure.
void write_file(const std::string& path, std::string_view bytes);
void rename(const std::string& from, const std::string& to);

// Whole-file read; throws Error(kIo) when the file cannot be opened or read.
std::string read_file(const std::string& path);

// Writes `bytes` under a fresh name beside `path`, then renames it to
// `path`, so a reader never sees a half-written file, not even when two
// callers publish the same path at once. On failure nothing is left under
// the fresh name and `path` keeps what it held; throws Error(kIo).
void publish_file(const std::string& path, std::string_view bytes);

// Removes the file at `path` when it goes, unless release() was called
// first: for files that must not outlive a failure. Never fails.
class FileGuard {
 public:
  explicit FileGuard(std::string path) noexcept : path_(std::move(path)) {}
  ~FileGuard();
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;

  const std::string& path() const noexcept { return path_; }
  void release() noexcept { path_.clear(); }

 private:
  std::string path_;
};

// A download's temporary file beside its target ("<target>.<unique>.part"):
// written under path(), moved into place by commit(). Unless commit()
// succeeded, the destructor removes the part file, so a failed or
// abandoned transfer leaves neither a partial target nor a stray part.
class PartFile {
 public:
  explicit PartFile(std::string target);

  const std::string& path() const noexcept { return part_.path(); }
  // Renames the part file to the target; throws Error(kIo) when it cannot.
  void commit();

 private:
  std::string target_;
  FileGuard part_;  // released once committed
};

// Removes `folder` and every folder below it that is empty, sub-folders
// first so that emptied parents go too. Links to folders are not followed;
// files stay. Never fails.
void remove_empty_folders(const std::string& folder) noexcept;

// A gzip stream whose uncompressed content is empty.
std::string_view empty_gzip();

}  // namespace kestro::fs
