#pragma once
// Pieces of kestro.oss.oss beside the client itself: how the SDK's
// credentials are chosen (oss_credentials.cpp), and what a failed
// single-object transfer must not leave behind (oss_cleanup.cpp). Every
// function here needs the GIL; `oss2` is the SDK module as the client module
// has it bound (tests may rebind it).
#include <pybind11/pybind11.h>

#include <string>

#include "common.hpp"

namespace kestro::oss {

namespace py = pybind11;

// The SDK credentials object for the client's arguments: V1 with fixed keys
// when only those are given (exactly the SDK's Auth), V4 when `region` is
// given, the SDK's STS auth with `security_token`, the SDK's provider auth
// with `credentials_provider`. Raises Et(2, ...) for a region that is not a
// non-empty text without blanks or "/", a token that is not a non-empty
// text or comes without key texts, a provider that has no get_credentials()
// or comes with a token or keys. No message holds a secret or a token.
py::object make_auth(py::handle oss2, py::handle key_id, py::handle key_secret, py::handle region,
                     py::handle security_token, py::handle credentials_provider);

// Refuses, with Et(2) and without showing them, credentials that cannot be
// meant: key texts or a token that are not str, or that hold leading or
// trailing blanks or control characters (a line feed left by a file read
// would be refused by the HTTP library, which echoes the header it
// refused). None is left to make_auth (a provider needs no keys).
void check_credentials(py::handle key_id, py::handle key_secret, py::handle security_token,
                       py::handle credentials_provider);

// The secrets the client `client` signs with (its secret, its token, a
// provider's cached credentials), read without calling into a provider
// (which may go to the network).
kestro::py_common::SecretMask held_secrets(py::handle client);

// str(error) for texts that kestro writes: the details in which the service
// echoes what was signed (string to sign, canonical request; they hold the
// security token header) are left out, and every form of `secrets` is
// masked. Never fails.
std::string error_text(py::handle oss2, const kestro::py_common::SecretMask& secrets, py::handle error);

// After a failed upload of `work` (the local file the SDK's resumable upload
// was given, `size` bytes) to `key`: aborts the multipart upload its
// checkpoint names and removes the checkpoint, when the SDK took the
// multipart path. Best effort: ordinary errors are swallowed. The work file
// itself is the caller's to remove.
void forget_failed_upload(py::handle oss2, py::handle bucket, py::handle key, const std::string& work,
                          long long size);

// After the final failure of a resumable download into `target`: removes
// the SDK's partial files beside it ("<target>.tmp-*") and, when there were
// any, its checkpoint. Best effort, never fails.
void forget_failed_download(py::handle oss2, py::handle bucket, py::handle key, const std::string& target);

}  // namespace kestro::oss
