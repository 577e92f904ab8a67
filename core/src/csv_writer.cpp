#include "kestro/csv_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kestro/error.hpp"
#include "kestro/fs.hpp"
#include "kestro/number_text.hpp"

namespace kestro::csv {

char* write_quoted(char* dst, std::string_view field) noexcept {
  *dst++ = '"';
  // copied in runs between inner quotes, which are rare
  const char* from = field.data();
  const char* end = from + field.size();
  while (from < end) {
    const char* q = static_cast<const char*>(std::memchr(from, '"', static_cast<std::size_t>(end - from)));
    const char* stop = q ? q + 1 : end;
    std::memcpy(dst, from, static_cast<std::size_t>(stop - from));
    dst += stop - from;
    if (q) *dst++ = '"';
    from = stop;
  }
  *dst++ = '"';
  return dst;
}

void append_field(std::string& out, std::string_view field) {
  if (!needs_quotes(field)) {
    out.append(field);
    return;
  }
  std::size_t at = out.size();
  out.resize(at + quoted_size_max(field));
  out.resize(static_cast<std::size_t>(write_quoted(out.data() + at, field) - out.data()));
}

void end_row(std::string& out, std::size_t row_start, std::size_t nfields) {
  if (nfields == 1 && out.size() == row_start) out += "\"\"";
  out += '\n';
}

std::string header_line(const std::vector<std::string>& cols) {
  std::string out;
  for (std::size_t k = 0; k < cols.size(); ++k) {
    if (k) out += ',';
    append_field(out, cols[k]);
  }
  end_row(out, 0, cols.size());
  return out;
}

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

void append_float(std::string& out, double value) {
  if (value != value) return;  // NaN: pandas' null
  text::append_float_repr(out, value);
}

Buffer::~Buffer() { std::free(begin_); }

void Buffer::swap(Buffer& other) noexcept {
  std::swap(begin_, other.begin_);
  std::swap(cur_, other.cur_);
  std::swap(end_, other.end_);
}

void Buffer::grow(std::size_t need) {
  std::size_t used = size();
  std::size_t cap = static_cast<std::size_t>(end_ - begin_);
  std::size_t want = std::max<std::size_t>({cap * 2, used + need, 4096});
  char* p = static_cast<char*>(std::realloc(begin_, want));
  if (!p) throw std::bad_alloc();
  begin_ = p;
  cur_ = p + used;
  end_ = p + want;
}

void Buffer::put_quoted(std::string_view s) {
  std::size_t worst = quoted_size_max(s);
  if (static_cast<std::size_t>(end_ - cur_) < worst) grow(worst);
  cur_ = write_quoted(cur_, s);
}

BlockFile::BlockFile(std::string path, std::string_view header)
    : path_(std::move(path)), file_(path_, O_WRONLY | O_CREAT | O_TRUNC, "cannot open result file") {
  try {
    append(header);
  } catch (...) {
    discard();
    throw;
  }
}

BlockFile::~BlockFile() { discard(); }

void BlockFile::append(std::string_view block) {
  if (!file_.is_open()) throw Error(Error::Code::kIo, "result file is closed", EBADF, path_);
  file_.write_all(block, "cannot write result file", path_);
}

void BlockFile::keep() {
  if (!file_.is_open()) return;
  if (!file_.close()) {
    int err = errno;
    fs::env().unlink(path_.c_str());
    errno = err;
    throw_io("cannot close result file", path_);
  }
}

void BlockFile::discard() noexcept {
  if (!file_.is_open()) return;
  struct stat st;
  // Only a regular file is ours to remove: never a device or fifo that
  // happened to be named as the result path.
  bool regular = ::fstat(file_.fd(), &st) == 0 && S_ISREG(st.st_mode);
  file_.close();
  if (regular) fs::env().unlink(path_.c_str());
}

}  // namespace kestro::csv
