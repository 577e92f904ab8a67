#pragma once
// A private folder under /tmp for one test, removed with everything in it.
#include <unistd.h>

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

}  // namespace kestro::testing
