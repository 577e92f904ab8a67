#pragma once
// Object bytes between the local disk and the socket in large pieces, with
// the CRC-64 kept in C++ (GIL released) rather than by the SDK in Python:
// the requests go through a second bucket handle of the client's, built
// with the SDK's own check off, and the service's x-oss-hash-crc64ecma is
// compared here. A mismatch or a short body raises the SDK's own
// oss2.exceptions.InconsistentError, with the SDK's texts. Every function
// needs the GIL; `oss2` is the SDK module as the client module has it.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace kestro::oss {

namespace py = pybind11;

// Registers the upload body type on the module (kept off its namespace).
void bind_wire(py::module_& m);

// The handle to send `client.bucket`'s transfers through: the unchecked
// twin made with that very bucket handle at construction, unless the
// handle carries a per-instance replacement of `method` (a caller's
// stand-in is honoured); none for a handle put in by a caller.
py::object wire_bucket(py::handle client, const char* method);

// Makes the twin of `bucket`, which oss2.Bucket(*args, **kwargs) made,
// and remembers it for as long as `bucket` lives.
void remember_wire_bucket(py::handle client, py::handle oss2, py::handle bucket, py::handle args, py::handle kwargs);

// put_object of the file at `local_path` to `key` through `wire`; the
// result is the SDK's. The file is read 1 MiB at a time.
py::object put_file(py::handle oss2, py::handle wire, py::handle key, const std::string& local_path);

// The file at `local_path` (`size` bytes) as a multipart upload to `key`
// through `wire`: parts of `part_size` bytes, up to `parallel` at once on a
// pool of `executor_type`, each checked against its CRC, the whole against
// the combined one. On any failure the running parts end, the upload is
// aborted (an abort that fails is ignored) and the error is raised. The
// result is the SDK's completion result.
py::object put_file_in_parts(py::handle oss2, py::handle wire, py::handle executor_type, py::handle key,
                             const std::string& local_path, std::uint64_t size, std::uint64_t part_size,
                             int parallel);

// get_object of `key` through `wire`, written to `path` (created or
// truncated) in 1 MiB pieces; the length and CRC are checked before it
// returns the SDK's result. `path` is the caller's to remove on failure.
py::object get_to_file(py::handle oss2, py::handle wire, py::handle key, const std::string& path);

}  // namespace kestro::oss
