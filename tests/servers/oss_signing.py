"""Checks the header signatures of OSS requests, V1 (HMAC-SHA1) and V4
(OSS4-HMAC-SHA256), the way the service does, from what arrived on the wire.

verify() answers None for an accepted request, else the refusal as
(status, code, message, extra detail elements).
"""
import base64
import datetime
import hashlib
import hmac
from email.utils import parsedate_to_datetime

# Query parameters that V1 signs (the service's sub-resources this suite meets).
V1_SUBRESOURCES = frozenset([
    "acl", "uploads", "uploadId", "partNumber", "restore", "objectMeta", "delete", "symlink", "tagging",
    "security-token", "response-content-type", "response-content-language", "response-expires",
    "response-cache-control", "response-content-disposition", "response-content-encoding", "versionId",
    "sequential", "x-oss-process", "stat", "append", "position", "location", "bucketInfo",
])
V4_ALGORITHM = "OSS4-HMAC-SHA256"
V4_DEFAULT_SIGNED = ("content-type", "content-md5")
SKEW = datetime.timedelta(minutes=15)


class Refusal(Exception):
    def __init__(self, code, message, extra=None, status=403):
        super().__init__(code)
        self.status, self.code, self.message, self.extra = status, code, message, extra or {}


def _bytes_text(data):
    return " ".join("%02X" % b for b in data) + " "


def _v4_encode(text, keep_slash):
    out = []
    for b in text.encode("utf-8"):
        c = chr(b)
        if c.isascii() and (c.isalnum() or c in "_-~."):
            out.append(c)
        elif keep_slash and c == "/":
            out.append(c)
        else:
            out.append("%%%02X" % b)
    return "".join(out)


def _known_key(key_id, credentials, headers):
    entry = credentials.get(key_id)
    if entry is None:
        raise Refusal("InvalidAccessKeyId", "The OSS Access Key Id you provided does not exist in our records.",
                      {"OSSAccessKeyId": key_id})
    secret, token = entry
    sent = headers.get("x-oss-security-token")
    if sent is not None and sent != token or token is not None and sent is None:
        raise Refusal("InvalidSecurityToken", "The security token you provided is invalid.")
    return secret


def _check_time(when, now):
    if when is None or abs(now - when) > SKEW:
        raise Refusal("RequestTimeTooSkewed", "The difference between the request time and the current time is "
                      "too large.")


def _v1(method, bucket, key, query, headers, credentials, now, authorization):
    key_id, _, signature = authorization[len("OSS "):].rpartition(":")
    secret = _known_key(key_id, credentials, headers)
    date = headers.get("x-oss-date") or headers.get("date") or ""
    try:
        when = parsedate_to_datetime(date)
    except (TypeError, ValueError):
        when = None
    _check_time(when, now)
    oss_headers = sorted((k, v) for k, v in headers.items() if k.startswith("x-oss-"))
    sub = sorted((k, v) for k, v in query.items() if k in V1_SUBRESOURCES)
    resource = "/%s/%s" % (bucket, key) if bucket else "/"
    if sub:
        resource += "?" + "&".join(k + "=" + v if v else k for k, v in sub)
    to_sign = "\n".join([method, headers.get("content-md5", ""), headers.get("content-type", ""), date,
                         "".join("%s:%s\n" % kv for kv in oss_headers) + resource]).encode("utf-8")
    expected = base64.b64encode(hmac.new(secret.encode(), to_sign, hashlib.sha1).digest()).decode()
    if not hmac.compare_digest(expected, signature):
        raise Refusal("SignatureDoesNotMatch", "The request signature we calculated does not match the signature "
                      "you provided. Check your key and signing method.",
                      {"OSSAccessKeyId": key_id, "SignatureProvided": signature,
                       "StringToSign": to_sign.decode("utf-8"), "StringToSignBytes": _bytes_text(to_sign)})


def _v4_fields(authorization):
    fields = {}
    for part in authorization[len(V4_ALGORITHM):].split(","):
        name, _, value = part.strip().partition("=")
        fields[name] = value
    return fields


def _v4(method, bucket, key, query, headers, credentials, region, now, authorization):
    fields = _v4_fields(authorization)
    scope = fields.get("Credential", "").split("/")
    if len(scope) != 5 or "Signature" not in fields:
        raise Refusal("InvalidArgument", "Authorization header is malformed.", status=400)
    key_id, day, signed_region, product, terminator = scope
    secret = _known_key(key_id, credentials, headers)
    stamp = headers.get("x-oss-date", "")
    try:
        when = datetime.datetime.strptime(stamp, "%Y%m%dT%H%M%SZ").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        when = None
    _check_time(when, now)
    additional = [h for h in fields.get("AdditionalHeaders", "").split(";") if h]
    signed = sorted((k, v) for k, v in headers.items()
                    if k.startswith("x-oss-") or k in V4_DEFAULT_SIGNED or k in additional)
    canonical_query = "&".join(
        k + "=" + v if v else k
        for k, v in sorted((_v4_encode(k, False), _v4_encode(v, False)) for k, v in query.items()))
    uri = _v4_encode("/%s/%s" % (bucket, key) if bucket else "/", True)
    canonical = "\n".join([method, uri, canonical_query, "".join("%s:%s\n" % kv for kv in signed),
                           ";".join(additional), headers.get("x-oss-content-sha256", "UNSIGNED-PAYLOAD")])
    # The server signs with its own region and date: a request signed for
    # another region or day does not match.
    own_scope = "%s/%s/oss/aliyun_v4_request" % (stamp[:8], region)
    to_sign = "\n".join([V4_ALGORITHM, stamp, own_scope, hashlib.sha256(canonical.encode()).hexdigest()])
    k = hmac.new(("aliyun_v4" + secret).encode(), stamp[:8].encode(), hashlib.sha256).digest()
    for step in (region, "oss", "aliyun_v4_request"):
        k = hmac.new(k, step.encode(), hashlib.sha256).digest()
    expected = hmac.new(k, to_sign.encode(), hashlib.sha256).hexdigest()
    matches = (day, signed_region, product, terminator) == (stamp[:8], region, "oss", "aliyun_v4_request")
    if not (matches and hmac.compare_digest(expected, fields["Signature"])):
        raise Refusal("SignatureDoesNotMatch", "The request signature we calculated does not match the signature "
                      "you provided. Check your key and signing method.",
                      {"OSSAccessKeyId": key_id, "SignatureProvided": fields["Signature"],
                       "CanonicalRequest": canonical, "StringToSign": to_sign,
                       "StringToSignBytes": _bytes_text(to_sign.encode())})


def verify(method, bucket, key, query, headers, credentials, region, now=None):
    """Checks one request. headers: lower-case name -> value as received;
    key: the object key ("" for bucket requests); query: decoded parameters.
    Returns (scheme, key id, token sent) of an accepted request; raises
    Refusal otherwise."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    authorization = headers.get("authorization")
    if not authorization:
        raise Refusal("AccessDenied", "You have no right to access this object because of bucket acl.")
    if authorization.startswith("OSS "):
        _v1(method, bucket, key, query, headers, credentials, now, authorization)
        scheme, key_id = "v1", authorization[4:].rpartition(":")[0]
    elif authorization.startswith(V4_ALGORITHM + " "):
        _v4(method, bucket, key, query, headers, credentials, region, now, authorization)
        scheme, key_id = "v4", _v4_fields(authorization)["Credential"].split("/")[0]
    else:
        raise Refusal("InvalidArgument", "Authorization header is invalid.", status=400)
    return scheme, key_id, headers.get("x-oss-security-token") is not None
