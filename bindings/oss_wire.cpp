#include "oss_wire.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestro/crc64.hpp"
#include "kestro/error.hpp"
#include "kestro/fs.hpp"

namespace kestro::oss {

using kestro::py_common::without_gil;
using namespace pybind11::literals;

namespace {

constexpr std::size_t kPiece = 1 << 20;

// bucket -> its unchecked twin, for as long as the bucket lives. Leaked on
// purpose: it must outlive every client.
py::object twins() {
  static PyObject* map = py::module_::import("weakref").attr("WeakKeyDictionary")().release().ptr();
  return py::reinterpret_borrow<py::object>(map);
}

// The file as a request body: requests takes its length from __len__ and
// the HTTP library pulls read(blocksize) pieces, served from a 1 MiB
// buffer that is filled and checksummed with the GIL released.
class FileBody {
 public:
  // The file from `offset` on, `length` bytes (to its end when negative).
  explicit FileBody(std::string path, std::uint64_t offset = 0, long long length = -1) : path_(std::move(path)) {
    without_gil([&] {
      file_ = kestro::fs::File(path_, O_RDONLY | O_NONBLOCK, "cannot open");
      struct stat st;
      if (::fstat(file_.fd(), &st) != 0) kestro::throw_io("cannot stat", path_);
      // A pipe or device has no size to announce: it would go as an empty
      // object, or hang the request.
      if (!S_ISREG(st.st_mode))
        throw kestro::Error(kestro::Error::Code::kIo, "not a regular file: '" + path_ + "'", EINVAL, path_);
      if (length < 0) {
        size_ = static_cast<std::uint64_t>(st.st_size) > offset ? static_cast<std::uint64_t>(st.st_size) - offset : 0;
      } else {
        size_ = static_cast<std::uint64_t>(length);
      }
      if (offset && ::lseek(file_.fd(), static_cast<off_t>(offset), SEEK_SET) < 0) kestro::throw_io("cannot seek", path_);
    });
  }

  std::uint64_t remaining() const { return size_ - handed_; }
  std::uint64_t crc() const { return crc_; }
  bool done() const { return handed_ == size_; }

  py::bytes read(py::ssize_t wanted) {
    std::uint64_t n = remaining();
    if (wanted >= 0 && static_cast<std::uint64_t>(wanted) < n) n = static_cast<std::uint64_t>(wanted);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(n));
    if (!out) throw py::error_already_set();
    py::bytes result = py::reinterpret_steal<py::bytes>(out);
    char* dst = PyBytes_AS_STRING(out);
    // Only the disk reads let go of the GIL: taking it back after every
    // small copy would queue each piece behind the other workers.
    std::uint64_t filled = 0;
    while (filled < n) {
      if (pos_ == len_) without_gil([&] { refill(); });
      std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - filled, len_ - pos_));
      std::memcpy(dst + filled, buffer_.get() + pos_, take);
      pos_ += take;
      filled += take;
    }
    handed_ += n;
    return result;
  }

 private:
  void refill() {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size_ - read_));
    if (!buffer_) buffer_.reset(new char[want]);  // the first piece is the biggest
    std::size_t got = 0;
    while (got < want) {
      long r = kestro::fs::env().read(file_.fd(), buffer_.get() + got, want - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) kestro::throw_io("cannot read", path_);
      if (r == 0) throw kestro::Error(kestro::Error::Code::kIo, "file shrank while it was sent: '" + path_ + "'", 0, path_);
      got += static_cast<std::size_t>(r);
    }
    crc_ = kestro::crc64::update(crc_, buffer_.get(), got);
    read_ += got;
    pos_ = 0;
    len_ = got;
  }

  std::string path_;
  kestro::fs::File file_;
  std::uint64_t size_ = 0, read_ = 0, handed_ = 0, crc_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0, len_ = 0;
};

// The service's CRC from a result's headers, when it sent one.
std::optional<std::uint64_t> service_crc(py::handle result) {
  py::object value = result.attr("headers").attr("get")("x-oss-hash-crc64ecma");
  if (value.is_none()) return std::nullopt;
  return py::int_(value).cast<std::uint64_t>();
}

// As the SDK words it when its own check fails.
[[noreturn]] void raise_inconsistent(py::handle oss2, const std::string& message, py::handle request_id) {
  py::object type = oss2.attr("exceptions").attr("InconsistentError");
  py::object err = type(message, request_id);
  PyErr_SetObject(type.ptr(), err.ptr());
  throw py::error_already_set();
}

void check_crc(py::handle oss2, const char* operation, std::uint64_t ours, py::handle result) {
  auto theirs = service_crc(result);
  if (!theirs || *theirs == ours) return;
  // The SDK names the request in the text only.
  raise_inconsistent(oss2,
                     "InconsistentError: req_id: " + py::str(result.attr("request_id")).cast<std::string>() +
                         ", operation: " + operation + ", CRC checksum of client: " + std::to_string(ours) +
                         " is mismatch with oss: " + std::to_string(*theirs),
                     py::str(""));
}

}  // namespace

void bind_wire(py::module_& m) {
  py::class_<FileBody> cls(m, "_FileBody");
  cls.def("read", &FileBody::read, py::arg("size") = -1)
      .def("__len__", [](const FileBody& b) { return static_cast<py::ssize_t>(b.remaining()); });
  // Off the module's namespace, but alive for good: the collector would
  // otherwise free the class, and with it its registration.
  cls.inc_ref();
  py::delattr(m, "_FileBody");
}

void remember_wire_bucket(py::handle /*client*/, py::handle oss2, py::handle bucket, py::handle args,
                          py::handle kwargs) {
  py::dict twin_kwargs = py::reinterpret_borrow<py::dict>(kwargs).attr("copy")();
  twin_kwargs["enable_crc"] = false;
  twins()[bucket] = oss2.attr("Bucket")(*py::reinterpret_borrow<py::tuple>(args), **twin_kwargs);
}

py::object wire_bucket(py::handle client, const char* method) {
  py::object bucket = client.attr("bucket");
  py::object twin = twins().attr("get")(bucket);
  if (twin.is_none()) return twin;
  py::object own = py::getattr(bucket, "__dict__", py::none());
  if (py::isinstance<py::dict>(own) && own.contains(method)) return py::none();
  return twin;
}

py::object put_file(py::handle oss2, py::handle wire, py::handle key, const std::string& local_path) {
  auto body = std::make_unique<FileBody>(local_path);
  FileBody* raw = body.get();
  py::object handle = py::cast(std::move(body), py::return_value_policy::take_ownership);
  py::object result = wire.attr("put_object")(key, handle);
  if (!raw->done())
    raise_inconsistent(oss2, "IncompleteRead from source", result.attr("request_id"));
  check_crc(oss2, "put object", raw->crc(), result);
  return result;
}

namespace {

// One part of a multipart upload, sent and checked: its PartInfo.
py::object send_part(py::handle oss2, py::handle wire, py::handle key, py::handle upload_id, int number,
                     const std::string& path, std::uint64_t offset, std::uint64_t length, std::uint64_t* crc_out) {
  auto body = std::make_unique<FileBody>(path, offset, static_cast<long long>(length));
  FileBody* raw = body.get();
  py::object handle = py::cast(std::move(body), py::return_value_policy::take_ownership);
  py::object result = wire.attr("upload_part")(key, upload_id, number, handle);
  if (!raw->done()) raise_inconsistent(oss2, "IncompleteRead from source", result.attr("request_id"));
  check_crc(oss2, "upload part", raw->crc(), result);
  *crc_out = raw->crc();
  return oss2.attr("models").attr("PartInfo")(number, result.attr("etag"), "size"_a = length,
                                              "part_crc"_a = raw->crc());
}

}  // namespace

py::object put_file_in_parts(py::handle oss2, py::handle wire, py::handle executor_type, py::handle key,
                             const std::string& path, std::uint64_t size, std::uint64_t part_size, int parallel) {
  std::uint64_t count = size ? (size + part_size - 1) / part_size : 1;
  py::object upload_id = wire.attr("init_multipart_upload")(key).attr("upload_id");
  std::vector<std::uint64_t> crcs(count);
  py::object pool = executor_type("max_workers"_a = parallel);
  py::list futures;
  try {
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t offset = i * part_size, length = std::min(part_size, size - offset);
      py::cpp_function task([oss2 = py::reinterpret_borrow<py::object>(oss2),
                             wire = py::reinterpret_borrow<py::object>(wire),
                             key = py::reinterpret_borrow<py::object>(key), upload_id, i, path, offset, length,
                             slot = &crcs[i]] {
        return send_part(oss2, wire, key, upload_id, static_cast<int>(i + 1), path, offset, length, slot);
      });
      futures.append(pool.attr("submit")(task));
    }
    py::list parts;
    for (py::handle f : futures) parts.append(f.attr("result")());
    pool.attr("shutdown")();
    py::object result = wire.attr("complete_multipart_upload")(key, upload_id, parts);
    std::uint64_t crc = count ? crcs[0] : 0;
    for (std::uint64_t i = 1; i < count; ++i)
      crc = kestro::crc64::combine(crc, crcs[i], std::min(part_size, size - i * part_size));
    check_crc(oss2, "complete multipart upload", crc, result);
    return result;
  } catch (py::error_already_set&) {
    // No part may land after the abort: the running ones end first.
    for (py::handle f : futures) f.attr("cancel")();
    kestro::py_common::catch_ordinary([&] { pool.attr("shutdown")("wait"_a = true); });
    kestro::py_common::catch_ordinary([&] { wire.attr("abort_multipart_upload")(key, upload_id); });
    throw;
  }
}

py::object get_to_file(py::handle oss2, py::handle wire, py::handle key, const std::string& path) {
  kestro::fs::File out;
  without_gil([&] { out = kestro::fs::File(path, O_WRONLY | O_CREAT | O_TRUNC, "cannot open"); });
  py::object result = wire.attr("get_object")(key);
  py::object read = result.attr("read");
  py::int_ piece(kPiece);
  std::uint64_t crc = 0, total = 0;
  for (;;) {
    py::object chunk = read(piece);
    char* data;
    py::ssize_t n;
    if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &n) != 0) throw py::error_already_set();
    if (n == 0) break;
    without_gil([&] {
      out.write_all(std::string_view(data, static_cast<std::size_t>(n)), "cannot write", path);
      crc = kestro::crc64::update(crc, data, static_cast<std::size_t>(n));
    });
    total += static_cast<std::uint64_t>(n);
  }
  without_gil([&] {
    if (!out.close()) kestro::throw_io("cannot close", path);
  });
  py::object length = result.attr("content_length");
  if (!length.is_none() && length.cast<std::uint64_t>() != total)
    raise_inconsistent(oss2, "IncompleteRead from source", result.attr("request_id"));
  check_crc(oss2, "get", crc, result);
  return result;
}

}  // namespace kestro::oss
