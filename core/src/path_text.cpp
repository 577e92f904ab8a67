#include "kestro/path_text.hpp"

namespace kestro::text {

std::string posix_join(std::string_view a, std::string_view b) {
  if (!b.empty() && b.front() == '/') return std::string(b);
  if (a.empty()) return std::string(b);
  std::string out(a);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    auto part = path.substr(i, j - i);
    if (!part.empty() && part != ".") parts.push_back(part);
    i = j + 1;
  }
  return parts;
}

std::size_t depth(std::string_view path) { return components(path).size(); }

std::string posix_normpath(std::string_view path) {
  if (path.empty()) return ".";
  std::size_t initial = 0;
  if (path.front() == '/') {
    initial = 1;
    if (path.size() > 1 && path[1] == '/' && !(path.size() > 2 && path[2] == '/')) initial = 2;
  }
  std::vector<std::string_view> out;
  for (auto comp : components(path)) {
    if (comp == "..") {
      if ((initial == 0 && out.empty()) || (!out.empty() && out.back() == ".."))
        out.push_back(comp);
      else if (!out.empty())
        out.pop_back();
      continue;
    }
    out.push_back(comp);
  }
  std::string res(initial, '/');
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k) res += '/';
    res += out[k];
  }
  return res.empty() ? "." : res;
}

std::string_view basename(std::string_view path) {
  auto p = path.rfind('/');
  return p == std::string_view::npos ? path : path.substr(p + 1);
}

std::string dirname(std::string_view path) {
  auto p = path.rfind('/');
  if (p == std::string_view::npos) return "";
  std::string head(path.substr(0, p + 1));
  // strip trailing slashes unless the head is all slashes
  if (head.find_first_not_of('/') != std::string::npos)
    while (!head.empty() && head.back() == '/') head.pop_back();
  return head;
}

std::string pathlib_norm(std::string_view path) {
  bool absolute = !path.empty() && path.front() == '/';
  std::string out = absolute ? "/" : "";
  bool first = true;
  for (auto comp : components(path)) {
    if (!first) out += '/';
    out += comp;
    first = false;
  }
  if (out.empty()) return ".";
  return out;
}

std::optional<std::string> relative_to(std::string_view path, std::string_view folder) {
  bool pa = !path.empty() && path.front() == '/';
  bool fa = !folder.empty() && folder.front() == '/';
  if (pa != fa) return std::nullopt;
  auto pc = components(path);
  auto fc = components(folder);
  if (fc.size() > pc.size()) return std::nullopt;
  for (std::size_t k = 0; k < fc.size(); ++k)
    if (pc[k] != fc[k]) return std::nullopt;
  std::string out;
  for (std::size_t k = fc.size(); k < pc.size(); ++k) {
    if (!out.empty()) out += '/';
    out += pc[k];
  }
  return out;
}

}  // namespace kestro::text
