// How the OSS client signs: the SDK credentials object for the client's
// arguments, and error texts that never carry what it signs with.
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"
#include "oss_support.hpp"

namespace kestro::oss {

using namespace pybind11::literals;
using kestro::py_common::py_str;
using kestro::py_common::raise_et;

namespace {

bool is_text(py::handle v) { return py::isinstance<py::str>(v); }

bool is_nonempty_text(py::handle v) { return is_text(v) && PyUnicode_GetLength(v.ptr()) > 0; }

// A region id goes into the signing scope "<date>/<region>/oss/...": blanks
// or a "/" would make every request fail to sign as the service expects.
void check_region(py::handle region) {
  if (!is_nonempty_text(region)) raise_et(2, "region must be a non-empty text, such as \"cn-hangzhou\"");
  std::string text = kestro::py_common::text_arg(region, "region");
  for (char c : text)
    if (c == '/' || c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      raise_et(2, "region must not contain blanks, control characters or \"/\"");
}

// Service answers that echo what the client signed. With temporary
// credentials the signed headers include the security token.
constexpr const char* kSigningEcho[] = {"StringToSign", "StringToSignBytes", "CanonicalRequest",
                                        "CanonicalRequestBytes", "SignatureProvided"};

// The security token of each STS credentials object made here: the SDK
// keeps it where only the SDK may look. Weak, so a client's credentials
// go with it; leaked, as it lives as long as the interpreter.
py::object sts_tokens() {
  static PyObject* tokens = py::module_::import("weakref").attr("WeakKeyDictionary")().release().ptr();
  return py::reinterpret_borrow<py::object>(tokens);
}

// Leading or trailing blanks, or a control character anywhere.
bool badly_framed(py::handle text) {
  if (!py::reinterpret_borrow<py::object>(text).equal(text.attr("strip")())) return true;
  for (py::handle ch : text) {
    long cp = PyLong_AsLong(py::module_::import("builtins").attr("ord")(ch).ptr());
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return true;
  }
  return false;
}

// A key text or token: str (or None, judged by make_auth), well framed.
// The message names the parameter only: the value is a secret.
void check_secret_text(py::handle value, const char* name) {
  if (value.is_none()) return;
  if (!is_text(value))
    raise_et(2, std::string(name) + " must be str or None, not " + kestro::py_common::type_name(value));
  if (badly_framed(value))
    raise_et(2, std::string(name) + " must not have leading or trailing blanks or hold control characters");
}

}  // namespace

py::object make_auth(py::handle oss2, py::handle key_id, py::handle key_secret, py::handle region,
                     py::handle security_token, py::handle credentials_provider) {
  bool v4 = !region.is_none();
  if (v4) check_region(region);
  if (!credentials_provider.is_none()) {
    if (!security_token.is_none())
      raise_et(2, "credentials_provider and security_token cannot be given together");
    if (!key_id.is_none() || !key_secret.is_none())
      raise_et(2, "with a credentials_provider, aly_access_key_id and aly_access_key_secret must be None");
    py::object get = py::getattr(credentials_provider, "get_credentials", py::none());
    if (!PyCallable_Check(get.ptr())) raise_et(2, "credentials_provider must have a get_credentials() method");
    return oss2.attr(v4 ? "ProviderAuthV4" : "ProviderAuth")(credentials_provider);
  }
  if (!security_token.is_none()) {
    if (!is_nonempty_text(security_token)) raise_et(2, "security_token must be a non-empty text");
    if (!is_nonempty_text(key_id) || !is_nonempty_text(key_secret))
      raise_et(2, "a security_token needs the temporary aly_access_key_id and aly_access_key_secret as texts");
    py::object auth = v4 ? oss2.attr("StsAuth")(key_id, key_secret, security_token, "auth_version"_a = "v4")
                         : oss2.attr("StsAuth")(key_id, key_secret, security_token);
    kestro::py_common::catch_ordinary([&] { sts_tokens()[auth] = security_token; });
    return auth;
  }
  return oss2.attr(v4 ? "AuthV4" : "Auth")(key_id, key_secret);
}

void check_credentials(py::handle key_id, py::handle key_secret, py::handle security_token,
                       py::handle credentials_provider) {
  (void)credentials_provider;
  check_secret_text(key_id, "aly_access_key_id");
  check_secret_text(key_secret, "aly_access_key_secret");
  check_secret_text(security_token, "security_token");
}

kestro::py_common::SecretMask held_secrets(py::handle client) {
  kestro::py_common::SecretMask secrets;
  kestro::py_common::catch_ordinary([&] {
    secrets.add(py::getattr(client, "access_key_secret", py::none()));
    py::object auth = py::getattr(py::getattr(client, "bucket", py::none()), "auth", py::none());
    if (!auth.is_none()) secrets.add(sts_tokens().attr("get")(auth));
    py::object provider = py::getattr(auth, "credentials_provider", py::none());
    py::object creds = py::getattr(provider, "credentials", py::none());
    secrets.add(py::getattr(creds, "access_key_secret", py::none()));
    secrets.add(py::getattr(creds, "security_token", py::none()));
  });
  return secrets;
}

std::string error_text(py::handle oss2, const kestro::py_common::SecretMask& secrets, py::handle error) {
  std::string text;
  auto failure = kestro::py_common::catch_ordinary([&] {
    text = py_str(error);
    py::object oss_error = oss2.attr("exceptions").attr("OssError");
    py::object details = py::getattr(error, "details", py::none());
    if (py::isinstance(error, oss_error) && py::isinstance<py::dict>(details)) {
      py::dict kept;
      bool dropped = false;
      for (auto item : py::reinterpret_borrow<py::dict>(details)) {
        bool echo = false;
        for (const char* name : kSigningEcho) echo = echo || py_str(item.first) == name;
        if (echo)
          dropped = true;
        else
          kept[item.first] = item.second;
      }
      // The SDK's own layout, less the echo.
      if (dropped)
        text = py_str(py::dict("status"_a = error.attr("status"), "x-oss-request-id"_a = error.attr("request_id"),
                               "details"_a = kept));
    }
    text = secrets.apply(std::move(text));
  });
  // Unmasked text must not get out: only the error's type.
  if (failure) text = Py_TYPE(error.ptr())->tp_name;
  return text;
}

}  // namespace kestro::oss
