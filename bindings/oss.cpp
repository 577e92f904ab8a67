// kestro.oss.oss: the OSS client (OssSession, AliyunOss), bucket operations,
// single-object transfers with retries and parallel folder transfers.
//
// The SDK is Python and holds the GIL while it works; every wait of ours
// (task-log pauses, retry back-offs, the pool's result waits) goes through
// Python's own sleeping and waiting, which let go of it, and the local file
// work runs in C++ with the GIL released.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "folder_transfer.hpp"
#include "kestro/error.hpp"
#include "kestro/folder_plan.hpp"
#include "kestro/fs.hpp"
#include "kestro/ids.hpp"
#include "kestro/number_text.hpp"
#include "kestro/path_text.hpp"
#include "oss_support.hpp"
#include "oss_wire.hpp"
#include "pyclass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using kestro::py_common::bmobj;
using kestro::py_common::catch_ordinary;
using kestro::py_common::ClassBuilder;
using kestro::py_common::clog;
using kestro::py_common::fspath_text;
using kestro::py_common::py_str;
using kestro::py_common::py_time;
using kestro::py_common::raise_et;
using kestro::py_common::truthy;
using kestro::py_common::without_gil;
namespace fp = kestro::folder_plan;

namespace {

constexpr int kWorkerAttempts = 3;
constexpr int kDownloadAttempts = 18;
constexpr double kDownloadPause = 10.0;
// Files from this size up go in parts: the service takes at most 5 GiB in
// one PUT. Not lower: one PUT of 1 GiB moved faster than its 64 MiB parts
// four at a time (bench_oss_big.py --multipart).
constexpr long long kMultipartThreshold = 5LL << 30;
constexpr std::uint64_t kPartSize = 64ULL << 20;
constexpr std::uint64_t kMinPartSize = 100ULL << 10;
constexpr std::uint64_t kMaxParts = 10000;
constexpr int kParallelParts = 4;

// Names bound on the module when it loads (oss2, random, settings, the
// pool) are looked up there at call time, so that a test or a service can
// rebind them.
using kestro::py_common::module_attr;

using kestro::py_common::bounded_count_arg;
using kestro::py_common::optional_text_arg;
using kestro::py_common::path_arg;
using kestro::py_common::seconds_arg;
using kestro::py_common::text_arg;

// A pause or a time-out longer than a day is a hang in all but name.
constexpr double kMaxSeconds = 86400;
// The service's longest object key.
constexpr std::size_t kMaxKeyBytes = 1023;

// An OSS key or folder given as a non-empty text of at most the service's
// length; anything else is refused with Et(2) before a request is sent.
std::string oss_key(py::handle value, const char* name) {
  if (!py::isinstance<py::str>(value)) raise_et(2, std::string(name) + " must be str");
  return kestro::py_common::key_arg(value, name, kMaxKeyBytes);
}

std::string oss_folder_text(py::handle oss_file_path) { return oss_key(oss_file_path, "oss_file_path"); }

// The truth value of a flag, taken up front: one that cannot say (an
// array, say) fails before anything is done, naming the flag.
void check_flag(py::handle value, const char* name) {
  if (PyObject_IsTrue(value.ptr()) < 0) {
    PyErr_Clear();
    kestro::py_common::refuse_type(name, "a truth value", value);
  }
}

// "", ".", "/", "..", "a/../..": emptying such a folder would take the
// current folder (or everything) with it.
bool contains_the_current_folder(const std::string& folder) {
  std::string norm = kestro::text::posix_normpath(folder);
  for (auto comp : kestro::text::components(norm))
    if (comp != "..") return false;
  return true;
}

// ---- OssSession --------------------------------------------------------

void session_init(py::object self, py::object pool_connections, py::object pool_maxsize) {
  bounded_count_arg(pool_connections, "pool_connections");
  bounded_count_arg(pool_maxsize, "pool_maxsize");
  py::object requests = module_attr("requests");
  py::object session = requests.attr("Session")();
  py::object adapter_type = requests.attr("adapters").attr("HTTPAdapter");
  for (const char* scheme : {"http://", "https://"})
    session.attr("mount")(scheme, adapter_type("pool_connections"_a = pool_connections,
                                               "pool_maxsize"_a = pool_maxsize));
  self.attr("session") = session;
}

// requests looks the proxies and the CA bundle up in the environment on
// every request, walking all of os.environ twice: about a seventh of the
// client's CPU for a small object. A client's requests all go to one host,
// so the lookup is made once, for that host, when the client is made.
void read_environment_once(py::handle http, const std::string& endpoint, const std::string& bucket_name) {
  std::string url = endpoint;
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) url = "http://" + url;
  py::object parts = py::module_::import("urllib.parse").attr("urlsplit")(url);
  std::string host = parts.attr("hostname").is_none() ? std::string() : py_str(parts.attr("hostname"));
  unsigned char address[16];
  bool by_address = host.empty() || host == "localhost" || inet_pton(AF_INET, host.c_str(), address) == 1 ||
                    inet_pton(AF_INET6, host.c_str(), address) == 1;
  // the SDK names a bucket in the host unless the endpoint is an address
  std::string target = py_str(parts.attr("scheme")) + "://" + (by_address ? "" : bucket_name + ".") +
                       py_str(parts.attr("netloc")) + "/";
  http.attr("proxies") = module_attr("requests").attr("utils").attr("get_environ_proxies")(target);
  py::object environ = py::module_::import("os").attr("environ");
  py::object bundle = environ.attr("get")("REQUESTS_CA_BUNDLE");
  if (!truthy(bundle)) bundle = environ.attr("get")("CURL_CA_BUNDLE");
  if (truthy(bundle)) http.attr("verify") = bundle;
  http.attr("trust_env") = false;
}

// ---- AliyunOss: construction and bucket operations -----------------------

void client_init(py::object self, py::object bucket_name, py::object key_id, py::object key_secret,
                 py::object endpoint, py::object pool_connections, py::object pool_maxsize, py::object timeout,
                 py::object retry_time_sleep, py::object region, py::object security_token,
                 py::object credentials_provider) {
  text_arg(bucket_name, "bucket_name", false);
  text_arg(endpoint, "aly_endpoint", false);
  bounded_count_arg(pool_connections, "pool_connections");
  bounded_count_arg(pool_maxsize, "pool_maxsize");
  if (!timeout.is_none()) seconds_arg(timeout, "timeout", 0, false, kMaxSeconds);
  if (!retry_time_sleep.is_none()) seconds_arg(retry_time_sleep, "retry_time_sleep", 0, true, kMaxSeconds);
  kestro::oss::check_credentials(key_id, key_secret, security_token, credentials_provider);
  self.attr("access_key_id") = key_id;
  self.attr("access_key_secret") = key_secret;
  self.attr("bucket_name") = bucket_name;
  self.attr("endpoint") = endpoint;
  py::object session = module_attr("OssSession")(pool_connections, pool_maxsize);
  read_environment_once(session.attr("session"), py_str(endpoint), py_str(bucket_name));
  py::object oss2 = module_attr("oss2");
  py::object auth = kestro::oss::make_auth(oss2, self.attr("access_key_id"), self.attr("access_key_secret"), region,
                                           security_token, credentials_provider);
  py::dict kwargs("session"_a = session, "connect_timeout"_a = timeout);
  if (!region.is_none()) kwargs["region"] = region;
  py::tuple args = py::make_tuple(auth, self.attr("endpoint"), self.attr("bucket_name"));
  py::object bucket = oss2.attr("Bucket")(*args, **kwargs);
  self.attr("bucket") = bucket;
  kestro::oss::remember_wire_bucket(self, oss2, bucket, args, kwargs);
  self.attr("retry_time_sleep") = retry_time_sleep;
}

py::object exists(py::object self, py::object remote_filename) {
  oss_key(remote_filename, "remote_filename");
  return self.attr("bucket").attr("object_exists")(remote_filename);
}

py::list find_prefix_oss(py::object self, py::object /*ctx*/, py::object oss_file_path, py::object isrm,
                         py::object ftype) {
  py::object bucket = self.attr("bucket");
  py::list keys;
  std::string prefix = fp::folder_prefix(oss_folder_text(oss_file_path));
  py::object iterator_type = module_attr("oss2").attr("ObjectIterator");
  py::object listing = truthy(isrm) ? iterator_type(bucket, "prefix"_a = prefix)
                                    : iterator_type(bucket, "prefix"_a = prefix, "delimiter"_a = "/");
  enum class Keep { kFiles, kFolders, kAll, kNothing } keep = Keep::kNothing;
  if (py::isinstance<py::str>(ftype)) {
    std::string t = ftype.cast<std::string>();
    keep = t == "file" ? Keep::kFiles : t == "folder" ? Keep::kFolders : t == "all" ? Keep::kAll : Keep::kNothing;
  }
  for (py::handle entry : listing) {
    py::object key = entry.attr("key");
    std::string text = py_str(key);
    bool folder = !text.empty() && text.back() == '/';
    if (keep == Keep::kAll || (keep == Keep::kFiles && !folder) || (keep == Keep::kFolders && folder))
      keys.append(key);
  }
  return keys;
}

void delete_prefix_oss(py::object self, py::object ctx, py::object oss_file_path, py::object isrm) {
  py::object bucket = self.attr("bucket");
  py::object keys = self.attr("find_prefix_oss")(ctx, oss_file_path, isrm);
  for (py::handle key : keys) bucket.attr("delete_object")(key);
}

bool delete_path(py::object self, py::object remote_path) {
  oss_key(remote_path, "remote_path");
  py::object bucket = self.attr("bucket");
  py::object keys = self.attr("find_prefix_oss")(py::dict(), remote_path, "isrm"_a = false);
  for (py::handle key : keys) bucket.attr("delete_object")(key);
  return true;
}

std::string gen_local_unique_file(py::object /*self*/, py::object ext) {
  std::string ext_text = py_str(ext);
  if (ext_text.find('\0') != std::string::npos || ext_text.find('/') != std::string::npos)
    raise_et(2, "ext must not contain \"/\" or a NUL character");
  py::object join = module_attr("os").attr("path").attr("join");
  std::string env = py_str(bmobj().attr("get_current_env")());
  std::string folder;
  if (env == "server") {
    folder = fspath_text(join(module_attr("settings").attr("MEDIA_ROOT"), "data"));
  } else {
    py::object home = module_attr("os").attr("environ").attr("get")("HOME", "");
    folder = fspath_text(join(home, "tmp/kestro"));
  }
  without_gil([&] { kestro::fs::make_dirs(folder); });
  std::string name = kestro::ids::uuid1_hex() + kestro::ids::uuid1_hex() + "." + ext_text;
  return kestro::text::posix_join(folder, name);
}

// ---- single-object transfers ---------------------------------------------

// The host's default text encoding, as open() in text mode uses it.
py::object text_encoding() { return py::module_::import("locale").attr("getpreferredencoding")(false); }

std::string result_summary(py::handle result) {
  std::string out = "upload result";
  for (const char* field : {"status", "etag", "request_id"}) {
    py::object v = py::getattr(result, field, py::none());
    if (v.is_none()) continue;
    out += ' ';
    out += field;
    out += '=';
    out += py_str(v);
  }
  return out;
}

// Writes `text` to `path` (created or truncated) in the host's default
// encoding, encoded a slice at a time so that no whole encoded copy is
// ever held; an incremental encoder, so a byte-order mark comes once.
// Returns the byte size. On failure `path` is removed.
long long write_text(const std::string& path, py::handle text) {
  constexpr Py_ssize_t kSlice = 1 << 20;  // code points
  kestro::fs::FileGuard guard(path);
  kestro::fs::File out;
  without_gil([&] { out = kestro::fs::File(path, O_WRONLY | O_CREAT | O_TRUNC, "cannot open"); });
  py::object encode = py::module_::import("codecs").attr("getincrementalencoder")(text_encoding())().attr("encode");
  Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  long long size = 0;
  Py_ssize_t at = 0;
  do {
    Py_ssize_t end = std::min(length, at + kSlice);
    py::object slice = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), at, end));
    if (!slice) throw py::error_already_set();
    py::object piece = encode(slice, "final"_a = end == length);
    char* data;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(piece.ptr(), &data, &n) != 0) throw py::error_already_set();
    without_gil([&] { out.write_all(std::string_view(data, static_cast<std::size_t>(n)), "cannot write", path); });
    size += n;
    at = end;
  } while (at < length);
  without_gil([&] {
    if (!out.close()) kestro::throw_io("cannot close", path);
  });
  guard.release();
  return size;
}

bool upload(py::object self, py::object file_content, py::object remote_filename) {
  py::object bm = bmobj();
  bm.attr("log_error")("upload", "start");
  if (Py_TYPE(file_content.ptr()) != &PyUnicode_Type) raise_et(2, "file_content must be str");
  oss_key(remote_filename, "remote_filename");
  std::string work = fspath_text(self.attr("gen_local_unique_file")());
  std::string temp = work + ".tmp.json";
  long long size = write_text(temp, file_content);
  without_gil([&] {
    kestro::fs::FileGuard written(temp);
    kestro::fs::rename(temp, work);
    written.release();
  });
  py::object bucket = self.attr("bucket");
  py::object result;
  try {
    result = module_attr("oss2").attr("resumable_upload")(bucket, remote_filename, work);
  } catch (py::error_already_set&) {
    // Nothing may outlive the failure: no call can ever resume it.
    bm.attr("remove_file")(work);
    kestro::oss::forget_failed_upload(module_attr("oss2"), bucket, remote_filename, work,
                                      size);
    throw;
  }
  bm.attr("remove_file")(work);
  bm.attr("log_error")(result_summary(result));
  bm.attr("log_error")("upload", "end");
  return true;
}

// A piece of text mode's result: `bytes` decoded, line endings made "\n".
py::object decode_piece(const std::string& bytes, const char* encoding) {
  py::object piece = py::reinterpret_steal<py::object>(
      PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), encoding, "strict"));
  if (!piece) throw py::error_already_set();
  return piece.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

// Hands `f` the file's bytes in pieces of about 1 MiB, each cut after a
// whole UTF-8 sequence and never between "\r" and what follows it, so that
// each decodes and translates alone.
template <class F>
void for_each_utf8_piece(const std::string& path, F&& f) {
  constexpr std::size_t kPieceBytes = 1 << 20;
  kestro::fs::File in;
  without_gil([&] { in = kestro::fs::File(path, O_RDONLY, "cannot open"); });
  std::string carry, piece;
  for (bool eof = false; !eof;) {
    piece = std::move(carry);
    carry.clear();
    std::size_t had = piece.size();
    piece.resize(had + kPieceBytes);
    std::size_t got = without_gil([&] {
      std::size_t n = 0;
      while (n < kPieceBytes) {
        long r = kestro::fs::env().read(in.fd(), piece.data() + had + n, kPieceBytes - n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) kestro::throw_io("cannot read", path);
        if (r == 0) break;
        n += static_cast<std::size_t>(r);
      }
      return n;
    });
    piece.resize(had + got);
    eof = got < kPieceBytes;
    if (!eof) {
      std::size_t cut = piece.size();
      // back to the start of a sequence (at most 3 continuation bytes)
      for (int k = 0; k < 3 && cut > 0 && (static_cast<unsigned char>(piece[cut - 1]) & 0xC0) == 0x80; ++k) --cut;
      if (cut > 0 && static_cast<unsigned char>(piece[cut - 1]) >= 0xC0) --cut;
      if (cut > 0 && piece[cut - 1] == '\r') --cut;
      carry.assign(piece, cut, std::string::npos);
      piece.resize(cut);
    }
    if (!piece.empty() || eof) f(piece);
  }
}

// The work file as open(path).read() gives it, holding the text once: for
// UTF-8, a first pass measures the decoded pieces, the second copies them
// into a str of that size. Other encodings, and bytes that do not decode
// (so that the error is the one a whole decode raises), go the plain way.
py::object read_text(const std::string& path) {
  py::object encoding = text_encoding();
  std::string codec = py::str(py::module_::import("codecs").attr("lookup")(encoding).attr("name")).cast<std::string>();
  auto plain = [&] {
    std::string bytes = without_gil([&] { return kestro::fs::read_file(path); });
    py::object content = py::bytes(bytes).attr("decode")(encoding);
    return content.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
  };
  if (codec != "utf-8") return plain();
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  bool decodes = true;
  for_each_utf8_piece(path, [&](const std::string& bytes) {
    if (!decodes) return;
    py::object piece;
    if (kestro::py_common::catch_ordinary([&] { piece = decode_piece(bytes, "utf-8"); })) {
      decodes = false;
      return;
    }
    length += PyUnicode_GET_LENGTH(piece.ptr());
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(piece.ptr()));
  });
  if (!decodes) return plain();
  PyObject* raw = PyUnicode_New(length, max_char);
  if (!raw) throw py::error_already_set();
  py::object text = py::reinterpret_steal<py::object>(raw);
  Py_ssize_t at = 0;
  for_each_utf8_piece(path, [&](const std::string& bytes) {
    py::object piece = decode_piece(bytes, "utf-8");
    Py_ssize_t n = PyUnicode_GET_LENGTH(piece.ptr());
    if (at + n > length) throw kestro::Error(kestro::Error::Code::kIo, "file changed while read", 0, path);
    if (PyUnicode_CopyCharacters(raw, at, piece.ptr(), 0, n) < 0) throw py::error_already_set();
    at += n;
  });
  if (at != length) throw kestro::Error(kestro::Error::Code::kIo, "file changed while read", 0, path);
  return text;
}

py::object download(py::object self, py::object remote_filename) {
  oss_key(remote_filename, "remote_filename");
  py::object bm = bmobj();
  bm.attr("log_error")("download", remote_filename, "start");
  std::string work = fspath_text(self.attr("gen_local_unique_file")());
  std::string temp = work + ".tmp.json";
  py::object bucket = self.attr("bucket");
  try {
    for (int i = 0; i < kDownloadAttempts; ++i) {
      catch_ordinary([&] { bucket.attr("restore_object")(remote_filename); });
      auto failure = catch_ordinary([&] { module_attr("oss2").attr("resumable_download")(bucket, remote_filename, temp); });
      if (!failure) break;
      bm.attr("remove_file")(temp);
      if (i == kDownloadAttempts - 1) throw std::move(*failure);
      kestro::py_common::py_sleep(py::float_(kDownloadPause));
    }
  } catch (py::error_already_set&) {
    // Between attempts the SDK's checkpoint lets it resume; after the last
    // one (or an interrupt) nothing of it may stay.
    bm.attr("remove_file")(temp);
    kestro::oss::forget_failed_download(module_attr("oss2"), bucket, remote_filename, temp);
    throw;
  }
  // From here on both names are ours: removed whatever happens.
  kestro::fs::FileGuard staged(temp), landed(work);
  without_gil([&] { kestro::fs::rename(temp, work); });
  staged.release();
  bm.attr("log_error")("download", remote_filename, "end");
  py::object content = read_text(work);
  bm.attr("remove_file")(work);
  landed.release();
  return content;
}

// The texts and SDK call that make a worker an upload or a download one.
struct Direction {
  const char* sdk_call;
  const char* status;
  kestro::py_common::FileTexts texts;
  bool via_part_file;  // downloads land under a temporary name first
};
constexpr Direction kUpload{"put_object_from_file", " upload status ",
                            {" upload oss fail, repeat ", " upload oss finally fail: ", "upload fail "}, false};
constexpr Direction kDownload{"get_object_to_file", " download status ",
                              {" download oss fail, repeat ", " download oss finally fail: ", "download fail "}, true};

// One file of a folder call, for file_attempts.
struct OssFile {
  py::object self, ctx, td_file, local_file;
  std::string local;
  const Direction& d;
  long long multipart_threshold;

  // One attempt: the SDK call, then the status line. A download is written
  // beside local_file and renamed into place only once complete.
  void attempt() const {
    double start = py_time();
    py::object result;
    // The client's own bucket carries the bytes through its unchecked twin;
    // a bucket or call put in its place by a caller is used as it is.
    py::object wire = kestro::oss::wire_bucket(self, d.sdk_call);
    py::object bucket = wire.is_none() ? self.attr("bucket") : py::object();
    if (d.via_part_file) {
      kestro::fs::PartFile part(local);
      result = wire.is_none() ? bucket.attr(d.sdk_call)(td_file, part.path())
                              : kestro::oss::get_to_file(module_attr("oss2"), wire, td_file, part.path());
      without_gil([&] { part.commit(); });
    } else if (wire.is_none()) {
      result = bucket.attr(d.sdk_call)(td_file, local_file);
    } else {
      std::uint64_t size = without_gil([&] { return kestro::fs::file_size(local); });
      if (size >= static_cast<std::uint64_t>(multipart_threshold)) {
        // Parts no bigger than the threshold, nor smaller than the service's
        // least (100 KiB), nor more than it counts.
        std::uint64_t part = std::min<std::uint64_t>(kPartSize, static_cast<std::uint64_t>(multipart_threshold));
        part = std::max({part, kMinPartSize, (size + kMaxParts - 1) / kMaxParts});
        result = kestro::oss::put_file_in_parts(module_attr("oss2"), wire, module_attr("ThreadPoolExecutor"), td_file,
                                                local, size, part, kParallelParts);
      } else {
        result = kestro::oss::put_file(module_attr("oss2"), wire, td_file, local);
      }
    }
    double end = py_time();
    std::string line = local + d.status + py_str(result.attr("status")) + ", sub time ";
    kestro::text::append_float_repr(line, end - start);
    clog(ctx, line);
  }
  kestro::py_common::SecretMask secrets() const { return kestro::oss::held_secrets(self); }
  std::string error_text(const kestro::py_common::SecretMask& s, py::handle e) const {
    return kestro::oss::error_text(module_attr("oss2"), s, e);
  }
  void pause() const {
    py::object pause = self.attr("retry_time_sleep");
    if (pause.is_none()) pause = module_attr("random").attr("randint")(60, 120);
    kestro::py_common::py_sleep(pause);
  }
  void given_up() const {}
  std::string key() const { return py_str(td_file); }
};

void transfer_one(py::object self, py::object ctx, py::object td_file, py::object local_file, const Direction& d,
                  long long multipart_threshold = kMultipartThreshold) {
  oss_key(td_file, "td_file");
  path_arg(local_file, "local_file");
  OssFile file{self, ctx, td_file, local_file, py_str(local_file), d, multipart_threshold};
  kestro::py_common::file_attempts(file, kWorkerAttempts, d.texts);
}

// ---- folder transfers ----------------------------------------------------

// The largest part a store takes, and so the largest threshold that can mean
// anything.
long long multipart_threshold_value(py::handle value) {
  return kestro::py_common::byte_size_arg(value, "multipart_threshold", 5LL << 30, "5 GiB (5368709120)");
}

using kestro::py_common::FolderCall;

// OSS's steps of the folder transfer (folder_transfer.hpp has the order).
struct OssFolders {
  static constexpr fp::KeyRule key_rule = fp::KeyRule::kPrefixPlusName;
  py::object max_workers;
  py::object multipart_threshold = py::none();
  long long threshold = kMultipartThreshold;

  // The arguments, checked before anything destructive happens, so a bad
  // value cannot leave an emptied destination behind.
  void check(FolderCall& c, std::initializer_list<std::pair<py::handle, const char*>> flags) {
    path_arg(c.local_path, "local_file_path");
    oss_folder_text(c.remote_path);
    bounded_count_arg(max_workers, "max_workers");
    for (const auto& flag : flags) check_flag(flag.first, flag.second);
  }
  void check_upload(FolderCall& c) {
    check(c, {{c.add_success, "add_success"}, {c.add_empty, "add_empty"}, {c.isrm, "isrm"}, {c.isdel, "isdel"}});
    c.remote = oss_folder_text(c.remote_path);
    threshold = multipart_threshold_value(multipart_threshold);
    c.local = fspath_text(c.local_path);
    c.recursive = truthy(c.isrm);
  }
  void check_download(FolderCall& c) {
    check(c, {{c.isrm, "isrm"}, {c.isdel, "isdel"}});
    c.local = fspath_text(c.local_path);
    if (contains_the_current_folder(c.local))
      raise_et(2, "cannot empty a folder that holds the current folder: " + c.local);
    c.remote = oss_folder_text(c.remote_path);
    c.recursive = truthy(c.isrm);
  }
  std::vector<std::string> list_source(const FolderCall& c) const {
    std::vector<std::string> keys;
    for (py::handle key : c.self.attr("find_prefix_oss")(c.ctx, c.remote_path, "isrm"_a = c.isrm))
      keys.push_back(py_str(key));
    return keys;
  }
  void clear_remote(const FolderCall& c) const { c.self.attr("delete_prefix_oss")(c.ctx, c.remote_path); }
  py::tuple task_args(const FolderCall& c, const fp::FileTask& t) const {
    return py::make_tuple(c.ctx, t.key, t.local_path);
  }
  void run_pool(const FolderCall& c, bool upload, const std::vector<py::tuple>& calls) const {
    py::object worker = c.self.attr(upload ? "_upload_oss" : "_download_oss");
    // The worker's own default is this one: a subclass's worker without the
    // parameter keeps working unless a caller asks for another threshold.
    if (upload && threshold != kMultipartThreshold)
      worker = py::module_::import("functools").attr("partial")(worker, "multipart_threshold"_a = threshold);
    kestro::py_common::run_in_pool(module_attr("ThreadPoolExecutor"), module_attr("as_completed"), worker,
                                   max_workers, calls);
  }
  // Writes the empty gzip marker under data_root() and uploads it. Written
  // under a fresh name and renamed, so a concurrent call never uploads a
  // half-written marker.
  void put_marker(const FolderCall& c, const char* name) const {
    std::string root = kestro::py_common::data_root();
    std::string path = kestro::text::posix_join(root, name);
    without_gil([&] {
      kestro::fs::make_dirs(root);
      kestro::fs::publish_file(path, kestro::fs::empty_gzip());
    });
    c.self.attr("_upload_oss")(c.ctx, c.remote + name, path);
  }
  void downloaded(const FolderCall&) const {}
  void guard_removal(const FolderCall&, bool) const {}
  void delete_sources(const FolderCall& c, const std::vector<fp::FileTask>& tasks,
                      const std::vector<std::string>&) const {
    py::object bucket = c.self.attr("bucket");
    std::string prefix = fp::folder_prefix(c.remote);
    for (const auto& t : tasks)
      if (!c.recursive || fp::directly_under(t.key, prefix)) bucket.attr("delete_object")(t.key);
  }
  py::str closing(const FolderCall& c, bool upload) const {
    return py::str(c.remote + (upload ? " upload oss all time" : " download oss all time"));
  }
};

void upload_oss(py::object self, py::object ctx, py::object local_file_path, py::object oss_file_path,
                py::object add_success, py::object add_empty, py::object max_workers, py::object isrm,
                py::object isdel, py::object multipart_threshold) {
  FolderCall call{self, ctx, local_file_path, oss_file_path, isrm, isdel, add_success, add_empty};
  OssFolders store{max_workers, multipart_threshold};
  kestro::py_common::upload_folder(store, call);
}

void download_oss(py::object self, py::object ctx, py::object local_file_path, py::object oss_file_path,
                  py::object max_workers, py::object isrm, py::object isdel) {
  FolderCall call{self, ctx, local_file_path, oss_file_path, isrm, isdel};
  OssFolders store{max_workers};
  kestro::py_common::download_folder(store, call);
}

}  // namespace

PYBIND11_MODULE(oss, m) {
  kestro::py_common::bind_module(m);
  m.doc() = "OSS client: bucket operations, single-object transfers with retries, parallel folder transfers.";

  m.attr("oss2") = py::module_::import("oss2");
  m.attr("os") = py::module_::import("os");
  m.attr("uuid") = py::module_::import("uuid");
  m.attr("time") = py::module_::import("time");
  m.attr("settings") = py::module_::import("django.conf").attr("settings");
  kestro::py_common::bind_defines(m);
  m.attr("pathlib") = py::module_::import("pathlib");
  py::module_ futures = py::module_::import("concurrent.futures");
  m.attr("ThreadPoolExecutor") = futures.attr("ThreadPoolExecutor");
  m.attr("as_completed") = futures.attr("as_completed");
  m.attr("gzip") = py::module_::import("gzip");
  m.attr("random") = py::module_::import("random");
  m.attr("requests") = py::module_::import("requests");
  kestro::oss::bind_wire(m);

  ClassBuilder session(m, "OssSession", py::make_tuple(m.attr("oss2").attr("Session")));
  session.def_init(&session_init, py::arg("pool_connections") = 10, py::arg("pool_maxsize") = 10);
  session.attr("__doc__", py::str("OSS SDK session whose requests.Session pools are sized for many threads."));

  ClassBuilder client(m, "AliyunOss", py::make_tuple(py::module_::import("builtins").attr("object")));
  client
      .def_init(&client_init, py::arg("bucket_name"), py::arg("aly_access_key_id"), py::arg("aly_access_key_secret"),
                py::arg("aly_endpoint"), py::arg("pool_connections") = 210, py::arg("pool_maxsize") = 210,
                py::arg("timeout") = py::none(), py::arg("retry_time_sleep") = py::none(), py::kw_only(),
                py::arg("region") = py::none(), py::arg("security_token") = py::none(),
                py::arg("credentials_provider") = py::none())
      .def("exists", &exists, py::arg("remote_filename"))
      .def("find_prefix_oss", &find_prefix_oss, py::arg("ctx"), py::arg("oss_file_path"), py::arg("isrm") = false,
           py::arg("ftype") = "file")
      .def("delete_prefix_oss", &delete_prefix_oss, py::arg("ctx"), py::arg("oss_file_path"),
           py::arg("isrm") = false)
      .def("delete_path", &delete_path, py::arg("remote_path"))
      .def("gen_local_unique_file", &gen_local_unique_file, py::arg("ext") = "csv")
      .def("upload", &upload, py::arg("file_content"), py::arg("remote_filename"))
      .def("download", &download, py::arg("remote_filename"))
      .def(
          "_upload_oss",
          [](py::object self, py::object ctx, py::object td_file, py::object local_file, py::object threshold) {
            transfer_one(self, ctx, td_file, local_file, kUpload, multipart_threshold_value(threshold));
          },
          py::arg("ctx"), py::arg("td_file"), py::arg("local_file"), py::kw_only(),
          py::arg("multipart_threshold") = kMultipartThreshold)
      .def(
          "_download_oss",
          [](py::object self, py::object ctx, py::object td_file, py::object local_file) {
            transfer_one(self, ctx, td_file, local_file, kDownload);
          },
          py::arg("ctx"), py::arg("td_file"), py::arg("local_file"))
      .def("upload_oss", &upload_oss, py::arg("ctx"), py::arg("local_file_path"), py::arg("oss_file_path"),
           py::arg("add_success") = false, py::arg("add_empty") = false, py::arg("max_workers") = 200,
           py::arg("isrm") = false, py::arg("isdel") = true, py::kw_only(),
           py::arg("multipart_threshold") = kMultipartThreshold)
      .def("download_oss", &download_oss, py::arg("ctx"), py::arg("local_file_path"), py::arg("oss_file_path"),
           py::arg("max_workers") = 200, py::arg("isrm") = false, py::arg("isdel") = true);
  client.attr("__doc__", py::str("OSS client for one bucket: listing, deleting, single-object and folder transfers."));
}
