// How the OSS client signs: the SDK credentials object for the client's
// arguments, and error texts that never carry what it signs with.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

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
  for (char c : region.cast<std::string>())
    if (c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\r')
      raise_et(2, "region must not contain blanks or \"/\"");
}

// Service answers that echo what the client signed. With temporary
// credentials the signed headers include the security token.
constexpr const char* kSigningEcho[] = {"StringToSign", "StringToSignBytes", "CanonicalRequest",
                                        "CanonicalRequestBytes", "SignatureProvided"};

// Shorter values are not real secrets, and masking them would garble the text.
constexpr std::size_t kMaskableLength = 8;

void mask(std::string& text, const std::string& secret) {
  if (secret.size() < kMaskableLength) return;
  for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 6))
    text.replace(at, secret.size(), "******");
}

// The secret and token the client signs with, read without calling into a
// provider (which may go to the network): fixed keys, STS credentials and a
// provider's cached credentials.
std::vector<std::string> held_secrets(py::handle client) {
  std::vector<std::string> out;
  auto add = [&](py::handle v) {
    if (is_text(v)) out.push_back(v.cast<std::string>());
  };
  add(py::getattr(client, "access_key_secret", py::none()));
  py::object auth = py::getattr(py::getattr(client, "bucket", py::none()), "auth", py::none());
  py::object provider = py::getattr(auth, "credentials_provider", py::none());
  if (provider.is_none())  // StsAuth keeps its provider auth privately
    provider = py::getattr(py::getattr(auth, "_StsAuth__auth", py::none()), "credentials_provider", py::none());
  py::object creds = py::getattr(provider, "credentials", py::none());
  add(py::getattr(creds, "access_key_secret", py::none()));
  add(py::getattr(creds, "security_token", py::none()));
  return out;
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
    if (v4) return oss2.attr("StsAuth")(key_id, key_secret, security_token, "auth_version"_a = "v4");
    return oss2.attr("StsAuth")(key_id, key_secret, security_token);
  }
  return oss2.attr(v4 ? "AuthV4" : "Auth")(key_id, key_secret);
}

std::string error_text(py::handle oss2, py::handle client, py::handle error) {
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
    for (const auto& secret : held_secrets(client)) mask(text, secret);
  });
  // Unmasked text must not get out: only the error's type.
  if (failure) text = Py_TYPE(error.ptr())->tp_name;
  return text;
}

}  // namespace kestro::oss
