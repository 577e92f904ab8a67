#include "kestro/release.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestro::release {
namespace {

std::optional<std::vector<std::uint64_t>> parse(std::string_view text) {
  std::vector<std::uint64_t> parts;
  std::size_t i = 0;
  while (true) {
    std::size_t start = i;
    std::uint64_t n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (i - start >= 9) return std::nullopt;  // no release number is that long
      n = n * 10 + static_cast<std::uint64_t>(text[i] - '0');
      ++i;
    }
    if (i == start) return std::nullopt;
    parts.push_back(n);
    if (i == text.size()) return parts;
    if (text[i] != '.') return std::nullopt;
    ++i;
  }
}

// -1, 0, 1 as a is below, equal to, above b.
int compare(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
  std::size_t n = a.size() > b.size() ? a.size() : b.size();
  for (std::size_t k = 0; k < n; ++k) {
    std::uint64_t x = k < a.size() ? a[k] : 0;
    std::uint64_t y = k < b.size() ? b[k] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace

bool in_range(std::string_view version, std::string_view lowest, std::string_view below) {
  auto v = parse(version), lo = parse(lowest), hi = parse(below);
  if (!v || !lo || !hi) return false;
  return compare(*v, *lo) >= 0 && compare(*v, *hi) < 0;
}

}  // namespace kestro::release
