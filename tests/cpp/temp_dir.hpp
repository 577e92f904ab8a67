#pragma once
// Test helpers. A private folder under /tmp for one test, removed with everything in it.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <string>

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
