#include "kestro/error.hpp"

#include <cerrno>
#include <cstring>

namespace kestro {

void throw_io(const std::string& what, const std::string& path) {
  int err = errno;
  throw Error(Error::Code::kIo, what + ": " + std::strerror(err) + ": '" + path + "'", err, path);
}

}  // namespace kestro
