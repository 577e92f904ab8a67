#pragma once
// POSIX path texts, lexically, as posixpath and pathlib compute them; no
// file system is asked. Pure C++, safe without the GIL; no shared state.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::text {

// posixpath.join(a, b): b alone when it is absolute or a is empty,
// a + b when a ends in "/", otherwise a + "/" + b.
std::string posix_join(std::string_view a, std::string_view b);

// posixpath.normpath: collapses "//" and ".", resolves ".." lexically,
// drops a trailing "/"; "" becomes ".". Keeps POSIX's leading "//".
std::string posix_normpath(std::string_view path);

// Path components with "", "." dropped (leading "/" not counted).
std::vector<std::string_view> components(std::string_view path);

// Number of components(path); "", ".", "/" have depth 0.
std::size_t depth(std::string_view path);

// Last component after the final "/" (posixpath.basename).
std::string_view basename(std::string_view path);

// Everything before the final "/" (posixpath.dirname).
std::string dirname(std::string_view path);

// The folder's text normalised the way pathlib prints a folder path:
// repeated "/" collapsed, "." components and a trailing "/" dropped
// ("./data/" -> "data", "." -> ".", "/" -> "/"). ".." is kept.
std::string pathlib_norm(std::string_view path);

// Path of `path` relative to `folder` when `path` lies below it or is it
// ("" then), both compared component-wise, so "data", "data/" and "./data"
// give the same result; nullopt when it does not. The result holds no "."
// or empty components.
std::optional<std::string> relative_to(std::string_view path, std::string_view folder);

}  // namespace kestro::text
