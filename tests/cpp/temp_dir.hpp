#pragma once
// Helpers shared by the C++ tests: private folders and paths, file contents,
// a file-size limit, sorted projections.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kestro/error.hpp"
#include "kestro/fs.hpp"

namespace kestro::testing {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/kestro-cpp-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { kestro::fs::remove_tree(path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

// The POSIX file system, except that one kind of call fails with `err` for
// paths containing `needle` (every path when empty). Install it with
// kestro::fs::ScopedEnv.
class FaultyEnv : public kestro::fs::Env {
 public:
  enum class Op { kRename, kMkdir, kUnlink, kRmdir, kClose };
  FaultyEnv(Op op, int err, std::string needle = {}) : op_(op), err_(err), needle_(std::move(needle)) {}

  int rename(const char* from, const char* to) noexcept override {
    return hit(Op::kRename, from) ? fail() : Env::rename(from, to);
  }
  int mkdir(const char* path, unsigned mode) noexcept override {
    return hit(Op::kMkdir, path) ? fail() : Env::mkdir(path, mode);
  }
  int unlink(const char* path) noexcept override { return hit(Op::kUnlink, path) ? fail() : Env::unlink(path); }
  int rmdir(const char* path) noexcept override { return hit(Op::kRmdir, path) ? fail() : Env::rmdir(path); }
  // close(2) releases the descriptor even when it reports a failure.
  int close(int fd) noexcept override {
    if (op_ != Op::kClose) return Env::close(fd);
    Env::close(fd);
    ++failures;
    errno = err_;
    return -1;
  }

  int failures = 0;

 private:
  bool hit(Op op, const char* path) const { return op == op_ && std::string_view(path).find(needle_) != std::string_view::npos; }
  int fail() {
    ++failures;
    errno = err_;
    return -1;
  }
  Op op_;
  int err_;
  std::string needle_;
};

// A path under the temporary folder, private to this process: other
// checkouts may run the same tests at the same time.
inline std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("kestro_cpp_" + std::to_string(::getpid()) + "_" + name)).string();
}

// The kestro::Error that f() throws; a test failure (and an error without
// errno or path) when it throws none.
template <class F>
kestro::Error error_of(F&& f) {
  try {
    f();
  } catch (const kestro::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no kestro::Error thrown";
  return kestro::Error(kestro::Error::Code::kIo, "none");
}

// A file's whole content ("" when it cannot be read).
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// f(item) for every item, sorted: for comparing what came out of a walk
// whose order the file system decides.
template <class T, class F>
auto sorted_by(const std::vector<T>& items, F f) {
  std::vector<std::decay_t<decltype(f(items.front()))>> out;
  out.reserve(items.size());
  for (const auto& item : items) out.push_back(f(item));
  std::sort(out.begin(), out.end());
  return out;
}

// While it lives, this process may write files of at most `bytes` bytes;
// a longer write fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {bytes, old_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit old_ {};
  void (*old_handler_)(int) = nullptr;
};

}  // namespace kestro::testing
