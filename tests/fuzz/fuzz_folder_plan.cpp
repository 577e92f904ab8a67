// The download planner on listings a hostile store could send. Input: one
// flag byte (bit 0: tree, bit 1: the path-join key rule), then lines: the
// remote folder, the local folder, the keys. Checked with rules of its own:
// every planned path lies strictly inside the local folder, no two keys
// share a file (or a file and a folder), and a refusal has a cause.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kestro/error.hpp"
#include "kestro/folder_plan.hpp"

namespace fp = kestro::folder_plan;

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Components as the file system walks them: "" and "." dropped; nullopt
// (empty vector + bad) when one is "..".
bool components(std::string_view path, std::vector<std::string>& out) {
  out.clear();
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view c = path.substr(i, j - i);
    if (c == "..") return false;
    if (!c.empty() && c != ".") out.emplace_back(c);
    i = j + 1;
  }
  return true;
}

std::string joined(const std::vector<std::string>& parts, std::size_t n) {
  std::string out;
  for (std::size_t k = 0; k < n; ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  return out;
}

// The part of `path` below `folder`, resolved; empty when it is not below.
std::string below(const std::string& path, std::string_view folder) {
  if (path.compare(0, folder.size(), folder) != 0) fail("path does not start with the folder", path);
  std::string_view rest = std::string_view(path).substr(folder.size());
  if (folder.empty()) {
    if (!rest.empty() && rest.front() == '/') fail("absolute path for a relative folder", path);
  } else if (folder.back() != '/') {
    if (rest.empty() || rest.front() != '/') fail("path continues the folder's last name", path);
  }
  std::vector<std::string> parts;
  if (path.find('\0') != std::string::npos) fail("NUL in a planned path", path);
  if (!components(rest, parts) || parts.empty()) fail("path not strictly inside the folder", path);
  return joined(parts, parts.size());
}

// True when two of `rels` name one file, or one names another's folder.
bool any_clash(const std::vector<std::string>& rels) {
  std::set<std::string> files(rels.begin(), rels.end());
  if (files.size() != rels.size()) return true;
  std::vector<std::string> parts;
  for (const auto& r : rels) {
    components(r, parts);
    for (std::size_t n = 1; n < parts.size(); ++n)
      if (files.count(joined(parts, n))) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool recursive = data[0] & 1;
  const fp::KeyRule rule = (data[0] & 2) ? fp::KeyRule::kPathJoin : fp::KeyRule::kPrefixPlusName;
  std::vector<std::string> lines;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!rest.empty() || lines.size() < 2) {
    std::size_t nl = rest.find('\n');
    lines.emplace_back(rest.substr(0, nl));
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  }
  const std::string remote = lines[0];
  const std::string local = lines[1];
  // The bindings refuse an empty local folder before planning.
  if (local.empty()) return 0;
  std::vector<std::string> keys(lines.begin() + 2, lines.end());

  std::vector<fp::FileTask> tasks;
  try {
    tasks = fp::plan_download(keys, local, remote, recursive, rule);
  } catch (const kestro::Error& e) {
    if (local.find('\0') != std::string::npos) return 0;
    // A refusal needs a cause: a key it cannot place, or a clash.
    std::vector<std::string> rels;
    for (const auto& key : keys) {
      if (key.empty() || key.back() == '/') continue;
      auto path = fp::download_path(key, remote, local, recursive, rule);
      if (key.find('\0') != std::string::npos || !path) return 0;
      rels.push_back(below(*path, local));
    }
    if (!any_clash(rels)) fail("refused without a cause", e.what());
    return 0;
  }
  if (local.find('\0') != std::string::npos) fail("a local folder holding NUL was planned", local);
  std::vector<std::string> rels;
  std::size_t files = 0;
  for (const auto& key : keys) files += !(key.empty() || key.back() == '/');
  if (tasks.size() != files) fail("a file key was dropped", remote);
  for (const auto& t : tasks) rels.push_back(below(t.local_path, local));
  if (any_clash(rels)) fail("two keys share a local path", remote);
  return 0;
}
