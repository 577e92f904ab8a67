#include "kestro/text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kestro::text {

void append_float_repr(std::string& out, double value) {
  if (std::isnan(value)) { out += "nan"; return; }
  if (std::isinf(value)) { out += value < 0 ? "-inf" : "inf"; return; }
  char buf[64];
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]XX
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  const char* end = res.ptr;
  bool neg = *p == '-';
  if (neg) ++p;
  char digits[32];
  std::size_t nd = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  ++p;  // 'e', then a sign and at least two digits
  bool exp_neg = *p++ == '-';
  int exp = 0;
  for (; p < end; ++p) exp = exp * 10 + (*p - '0');
  if (exp_neg) exp = -exp;
  // The text is put together here and appended once: this runs for every
  // float of an export.
  char text[48];
  char* w = text;
  auto put = [&](const char* from, std::size_t n) {
    std::memcpy(w, from, n);
    w += n;
  };
  if (neg) *w++ = '-';
  if (exp < -4 || exp >= 16) {
    *w++ = digits[0];
    if (nd > 1) {
      *w++ = '.';
      put(digits + 1, nd - 1);
    }
    *w++ = 'e';
    *w++ = exp < 0 ? '-' : '+';
    int a = exp < 0 ? -exp : exp;
    if (a >= 100) {
      *w++ = static_cast<char>('0' + a / 100);
      a %= 100;
    }
    *w++ = static_cast<char>('0' + a / 10);
    *w++ = static_cast<char>('0' + a % 10);
  } else if (exp < 0) {
    *w++ = '0';
    *w++ = '.';
    for (int k = 0; k < -exp - 1; ++k) *w++ = '0';
    put(digits, nd);
  } else {
    std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
    if (nd <= int_digits) {
      put(digits, nd);
      for (std::size_t k = nd; k < int_digits; ++k) *w++ = '0';
      *w++ = '.';
      *w++ = '0';
    } else {
      put(digits, int_digits);
      *w++ = '.';
      put(digits + int_digits, nd - int_digits);
    }
  }
  out.append(text, static_cast<std::size_t>(w - text));
}

std::string float_repr(double value) {
  std::string out;
  append_float_repr(out, value);
  return out;
}

double round_to(double value, int ndigits) {
  if (!std::isfinite(value)) return value;
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, ndigits);
  if (res.ec != std::errc()) return value;
  double out = 0;
  std::from_chars(buf, res.ptr, out);
  return out;
}

double mib4(std::uint64_t bytes) {
  return round_to(static_cast<double>(bytes) / 1024.0 / 1024.0, 4);
}

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
