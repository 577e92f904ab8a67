#pragma once
// The one error type of the core. Bindings map it to Python exceptions in
// one place (bindings/py_errors.hpp): Io -> OSError with errno, the rest ->
// the module's own error record.
#include <stdexcept>
#include <string>

namespace kestro {

class Error : public std::runtime_error {
 public:
  enum class Code { kIo, kParse, kFormat };
  Error(Code code, std::string message, int sys_errno = 0, std::string path = {})
      : std::runtime_error(std::move(message)), code_(code), errno_(sys_errno), path_(std::move(path)) {}
  Code code() const noexcept { return code_; }
  int sys_errno() const noexcept { return errno_; }
  const std::string& path() const noexcept { return path_; }

 private:
  Code code_;
  int errno_;
  std::string path_;
};

// Throws Error(kIo) carrying the current errno and the path.
[[noreturn]] void throw_io(const std::string& what, const std::string& path);

}  // namespace kestro
