"""A small OSS protocol server on 127.0.0.1, in memory, path-style requests.

Speaks what the client needs: object PUT/GET (ranges too)/HEAD (incl.
?objectMeta)/DELETE, restore requests (counted), multipart uploads (initiate,
parts, complete, abort, the bucket's listing of unfinished uploads, a
upload's parts), and the paged v1 listing with prefix, delimiter, marker,
max-keys and url encoding. Objects carry the CRC-64 header the SDK checks.

Every request must be signed (header signatures, V1 or V4) with a key pair
the server knows (`credentials`: key id -> (secret, security token or None));
a refused one gets 403 with the service's codes: InvalidAccessKeyId,
InvalidSecurityToken, SignatureDoesNotMatch (echoing what the server signed,
as the service does), RequestTimeTooSkewed, AccessDenied (no signature). V4
signatures are checked against the server's `region`. `auth_log` records
(scheme, key id, token sent) of every accepted request.

Faults are injected per request with add_fault(): an error status, a reset
in the middle of the body, a stall, a wrong checksum. Every request is
recorded in `requests` as (method, bucket, key, query).

Run stand-alone (for benchmarks and demos):
    python tests/servers/oss_server.py --port 0 --bucket name [--key ID:SECRET]...
prints "READY <port>" once listening.
"""
import argparse
import base64
import hashlib
import itertools
import re
import socket
import sys
import threading
import time

_real_sleep = time.sleep  # stalls must stay real when a test replaces time.sleep
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, quote, unquote, urlsplit
from xml.etree import ElementTree
from xml.sax.saxutils import escape

import crcmod

try:
    from servers import oss_signing
except ImportError:  # run as a script
    import oss_signing

_crc64 = crcmod.mkCrcFun(0x142F0E1EBA9EA3693, initCrc=0, xorOut=0xFFFFFFFFFFFFFFFF, rev=True)


def crc64(data):
    return _crc64(data)


class Fault:
    """One injected fault. `key` is an exact key, a compiled regex, or None
    (any); `method` likewise None for any. `times` None means every match."""

    def __init__(self, action, method=None, key=None, times=1, status=500, code="InternalError", delay=0.0,
                 query=None, gate=None):
        self.action = action
        self.gate = gate  # a threading.Event the request waits for (up to 30 s) before its answer
        self.method = method
        self.key = key
        # a query parameter the request must carry ("partNumber": part uploads
        # only), or a (name, value) pair (("partNumber", "2"): the second part)
        self.query = query
        self.times = times
        self.status = status
        self.code = code
        self.delay = delay
        self.hits = 0

    def matches(self, method, key, query=None):
        query = query or {}
        if self.times is not None and self.hits >= self.times:
            return False
        if self.method is not None and self.method != method:
            return False
        if isinstance(self.query, tuple) and query.get(self.query[0]) != self.query[1]:
            return False
        if isinstance(self.query, str) and self.query not in query:
            return False
        if self.key is None:
            return True
        if isinstance(self.key, re.Pattern):
            return key is not None and self.key.search(key) is not None
        return self.key == key


def _parse_range(value, size):
    """(start, end) of a "bytes=a-b" header within size, else None (whole body)."""
    if not value or not value.startswith("bytes="):
        return None
    first, _, last = value[len("bytes="):].partition("-")
    try:
        if first == "":
            start, end = max(size - int(last), 0), size
        else:
            start = int(first)
            end = size if last == "" else min(int(last) + 1, size)
    except ValueError:
        return None
    return (start, end) if start < end else None


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 1024
    allow_reuse_address = True


# Key pairs every server knows unless told otherwise: the ones the suite,
# the benchmarks and the demos sign with.
DEFAULT_CREDENTIALS = {
    "AKID-test": ("SECRET-test", None),
    "AKID": ("SECRET", None),
    "a": ("b", None),
    "demo-key-id": ("demo-key-secret", None),
}
DEFAULT_REGION = "cn-kestro-1"


class OssServer:
    def __init__(self, port=0, buckets=("bucket1",), credentials=None, region=DEFAULT_REGION):
        self.lock = threading.Lock()
        self.buckets = {name: {} for name in buckets}
        self.credentials = dict(DEFAULT_CREDENTIALS if credentials is None else credentials)
        self.region = region
        self.uploads = {}  # upload id -> {"bucket", "key", "parts": {number: bytes}}
        self._upload_ids = itertools.count(1)
        self.auth_log = []
        self.requests = []
        self.faults = []
        self.restore_status = 400  # a standard-class object cannot be restored
        self.connections = 0  # client connections accepted so far
        # the largest body one PUT of an object may carry (the service's is
        # 5 GiB); tests lower it to see big files go in parts
        self.max_put_size = 5 << 30
        owner = self

        class Handler(_Handler):
            server_owner = owner

        self.httpd = _Server(("127.0.0.1", port), Handler)
        self.port = self.httpd.server_address[1]
        self.url = "http://127.0.0.1:%d" % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    # --- test helpers ------------------------------------------------------
    def put(self, key, data=b"", bucket="bucket1"):
        if isinstance(data, str):
            data = data.encode()
        with self.lock:
            self.buckets[bucket][key] = data

    def get(self, key, bucket="bucket1"):
        with self.lock:
            return self.buckets[bucket].get(key)

    def keys(self, bucket="bucket1"):
        with self.lock:
            return sorted(self.buckets[bucket])

    def clear(self):
        with self.lock:
            for store in self.buckets.values():
                store.clear()
            self.requests.clear()
            self.faults.clear()
            self.uploads.clear()
            self.auth_log.clear()
            self.credentials = dict(DEFAULT_CREDENTIALS)
            self.restore_status = 400

    def add_key(self, key_id, secret, security_token=None):
        """A key pair the server accepts; with a token, temporary credentials."""
        with self.lock:
            self.credentials[key_id] = (secret, security_token)

    def unfinished_uploads(self, bucket="bucket1"):
        """(key, upload id) of the multipart uploads neither completed nor aborted."""
        with self.lock:
            return sorted((u["key"], uid) for uid, u in self.uploads.items() if u["bucket"] == bucket)

    def add_fault(self, action, **kw):
        fault = Fault(action, **kw)
        with self.lock:
            self.faults.append(fault)
        return fault

    def calls(self, method=None, key=None, query=None):
        """Recorded requests filtered by method, key and a query parameter name."""
        with self.lock:
            return [r for r in self.requests
                    if (method is None or r[0] == method) and (key is None or r[2] == key)
                    and (query is None or query in r[3])]

    def _take_fault(self, method, key, query=None):
        with self.lock:
            for fault in self.faults:
                if fault.matches(method, key, query):
                    fault.hits += 1
                    return fault
        return None

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _error_xml(code, message, key=None, extra=None):
    body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>%s</Code><Message>%s</Message>" % (
        escape(code), escape(message))
    if key is not None:
        body += "<Key>%s</Key>" % escape(key)
    for name, value in (extra or {}).items():
        body += "<%s>%s</%s>" % (name, escape(value), name)
    body += "<RequestId>0000</RequestId><HostId>127.0.0.1</HostId></Error>"
    return body.encode()


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as separate writes
    server_owner = None  # set by OssServer

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()  # once for each connection, however many requests it carries
        with self.server_owner.lock:
            self.server_owner.connections += 1

    # --- plumbing -----------------------------------------------------------
    def _parse(self):
        parts = urlsplit(self.path)
        path = unquote(parts.path)
        query = dict(parse_qsl(parts.query, keep_blank_values=True))
        bucket, _, key = path.lstrip("/").partition("/")
        return bucket, (key if key else None), query

    def _body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = b""
            while True:
                size = int(self.rfile.readline().strip().split(b";")[0], 16)
                if size == 0:
                    self.rfile.readline()
                    return data
                data += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _send(self, status, body=b"", headers=None, head=False):
        self.send_response(status)
        self.send_header("x-oss-request-id", "%016x" % (id(self) ^ int(time.time() * 1e6)))
        self.send_header("Date", formatdate(usegmt=True))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if "Content-Length" not in (headers or {}):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body and not head:
            self.wfile.write(body)

    def _error(self, status, code, message, key=None, head=False, extra=None):
        body = _error_xml(code, message, key, extra)
        if head:  # a HEAD answer carries its error in a header
            self._send(status, b"", {"x-oss-err": base64.b64encode(body).decode(), "Content-Length": "0"},
                       head=True)
        else:
            self._send(status, body, {"Content-Type": "application/xml"})

    def _reset(self):
        # RST instead of FIN: the client sees the connection break mid-exchange
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        except OSError:
            pass
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _object_headers(self, data, fault):
        crc = crc64(data)
        if fault is not None and fault.action == "bad_crc":
            crc ^= 1
        return {
            "Content-Type": "application/octet-stream",
            "Content-Length": str(len(data)),
            "ETag": '"%s"' % hashlib.md5(data).hexdigest().upper(),
            "Last-Modified": formatdate(usegmt=True),
            "x-oss-object-type": "Normal",
            "x-oss-storage-class": "Standard",
            "x-oss-hash-crc64ecma": str(crc),
        }

    def _dispatch(self, method):
        owner = self.server_owner
        bucket, key, query = self._parse()
        body = self._body() if method in ("PUT", "POST") else b""
        with owner.lock:
            owner.requests.append((method, bucket, key, query))
            credentials = dict(owner.credentials)
        headers_in = {k.lower(): v for k, v in self.headers.items()}
        try:
            accepted = oss_signing.verify(method, bucket, key or "", query, headers_in, credentials, owner.region)
        except oss_signing.Refusal as refusal:
            return self._error(refusal.status, refusal.code, refusal.message, head=method == "HEAD",
                               extra=refusal.extra)
        with owner.lock:
            owner.auth_log.append(accepted)
        fault = owner._take_fault(method, key, query)
        if fault is not None:
            if fault.delay:
                _real_sleep(fault.delay)
            if fault.gate is not None:
                fault.gate.wait(30)
            if fault.action == "status":
                return self._error(fault.status, fault.code, "injected fault", key, head=method == "HEAD")
            if fault.action == "reset" and method != "GET":
                return self._reset()
        with owner.lock:
            store = owner.buckets.get(bucket)
        if store is None:
            return self._error(404, "NoSuchBucket", "The specified bucket does not exist.", head=method == "HEAD")
        if key is None:
            if method == "GET" and "uploads" in query:
                return self._list_uploads(bucket, query)
            if method == "GET":
                return self._list(bucket, store, query)
            return self._error(501, "NotImplemented", "bucket operation not supported")
        if "uploads" in query or "uploadId" in query:
            return self._multipart(method, bucket, store, key, query, body, fault)
        if method == "PUT":
            if any(q in query for q in ("partNumber", "acl", "symlink", "tagging")):
                return self._error(501, "NotImplemented", "object operation not supported", key)
            if len(body) > owner.max_put_size:
                return self._error(400, "EntityTooLarge", "Your proposed upload exceeds the maximum allowed size.",
                                   key)
            with owner.lock:
                store[key] = body
            headers = self._object_headers(body, fault)
            return self._send(200, b"", {"ETag": headers["ETag"],
                                         "x-oss-hash-crc64ecma": headers["x-oss-hash-crc64ecma"]})
        if method == "POST":
            if "restore" in query:
                with owner.lock:
                    present = key in store
                if not present:
                    return self._error(404, "NoSuchKey", "The specified key does not exist.", key)
                if owner.restore_status == 202:
                    return self._send(202)
                return self._error(owner.restore_status, "OperationNotSupported",
                                   "The operation is not supported for this resource", key)
            return self._error(501, "NotImplemented", "object operation not supported", key)
        with owner.lock:
            data = store.get(key)
        if method == "DELETE":
            with owner.lock:
                store.pop(key, None)
            return self._send(204)
        if data is None:
            return self._error(404, "NoSuchKey", "The specified key does not exist.", key, head=method == "HEAD")
        headers = self._object_headers(data, fault)
        if method == "HEAD":
            if "objectMeta" in query:
                headers = {k: v for k, v in headers.items()
                           if k in ("ETag", "Last-Modified", "Content-Length", "x-oss-hash-crc64ecma")}
            headers["Content-Length"] = str(len(data))
            return self._send(200, b"", headers, head=True)
        status = 200
        byte_range = _parse_range(self.headers.get("Range"), len(data))
        if byte_range is not None:
            start, end = byte_range
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, end - 1, len(data))
            data = data[start:end]
            headers["Content-Length"] = str(len(data))
            status = 206
        if fault is not None and fault.action == "reset":
            # the full length announced, half the body sent, then the connection dies
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            return self._reset()
        return self._send(status, data, headers)

    # --- multipart uploads ---------------------------------------------------
    def _multipart(self, method, bucket, store, key, query, body, fault=None):
        owner = self.server_owner
        if method == "POST" and "uploads" in query:
            with owner.lock:
                upload_id = "%032X" % next(owner._upload_ids)
                owner.uploads[upload_id] = {"bucket": bucket, "key": key, "parts": {},
                                            "initiated": time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())}
            return self._xml("<InitiateMultipartUploadResult><Bucket>%s</Bucket><Key>%s</Key><UploadId>%s"
                             "</UploadId></InitiateMultipartUploadResult>" % (escape(bucket), escape(key), upload_id))
        upload_id = query.get("uploadId")
        with owner.lock:
            upload = owner.uploads.get(upload_id)
        if upload is None or upload["bucket"] != bucket or upload["key"] != key:
            return self._error(404, "NoSuchUpload", "The specified upload does not exist. The upload ID may be "
                               "invalid, or the upload may have been aborted or completed.", key,
                               head=method == "HEAD")
        if method == "PUT" and "partNumber" in query:
            with owner.lock:
                upload["parts"][int(query["partNumber"])] = body
            headers = self._object_headers(body, fault)
            return self._send(200, b"", {"ETag": headers["ETag"],
                                         "x-oss-hash-crc64ecma": headers["x-oss-hash-crc64ecma"]})
        if method == "DELETE":
            with owner.lock:
                owner.uploads.pop(upload_id, None)
            return self._send(204)
        if method == "GET":
            with owner.lock:
                parts = sorted(upload["parts"].items())
            items = "".join("<Part><PartNumber>%d</PartNumber><LastModified>2024-01-02T03:04:05.000Z</LastModified>"
                            "<ETag>\"%s\"</ETag><Size>%d</Size></Part>"
                            % (n, hashlib.md5(d).hexdigest().upper(), len(d)) for n, d in parts)
            return self._xml("<ListPartsResult><Bucket>%s</Bucket><Key>%s</Key><UploadId>%s</UploadId>"
                             "<PartNumberMarker>0</PartNumberMarker><NextPartNumberMarker>%d</NextPartNumberMarker>"
                             "<MaxParts>1000</MaxParts><IsTruncated>false</IsTruncated>%s</ListPartsResult>"
                             % (escape(bucket), escape(key), upload_id, parts[-1][0] if parts else 0, items))
        if method == "POST":
            try:
                numbers = [int(p.findtext("PartNumber")) for p in ElementTree.fromstring(body).findall("Part")]
            except (ElementTree.ParseError, TypeError, ValueError):
                return self._error(400, "MalformedXML", "The XML you provided was not well-formed.", key)
            with owner.lock:
                missing = [n for n in numbers if n not in upload["parts"]]
                if not missing:
                    data = b"".join(upload["parts"][n] for n in numbers)
                    store[key] = data
                    owner.uploads.pop(upload_id, None)
            if missing:
                return self._error(400, "InvalidPart", "One or more of the specified parts could not be found.", key)
            headers = self._object_headers(data, fault)
            return self._xml("<CompleteMultipartUploadResult><Bucket>%s</Bucket><Key>%s</Key><ETag>%s</ETag>"
                             "</CompleteMultipartUploadResult>" % (escape(bucket), escape(key), headers["ETag"]),
                             {"ETag": headers["ETag"], "x-oss-hash-crc64ecma": headers["x-oss-hash-crc64ecma"]})
        return self._error(501, "NotImplemented", "multipart operation not supported", key)

    def _list_uploads(self, bucket, query):
        prefix = query.get("prefix", "")
        url = query.get("encoding-type") == "url"
        enc = (lambda s: quote(s, safe="")) if url else escape
        with self.server_owner.lock:
            found = sorted((u["key"], uid, u["initiated"]) for uid, u in self.server_owner.uploads.items()
                           if u["bucket"] == bucket and u["key"].startswith(prefix))
        out = ["<ListMultipartUploadsResult><Bucket>%s</Bucket><KeyMarker></KeyMarker><UploadIdMarker>"
               "</UploadIdMarker><NextKeyMarker></NextKeyMarker><NextUploadIdMarker></NextUploadIdMarker>"
               "<Prefix>%s</Prefix><MaxUploads>1000</MaxUploads><IsTruncated>false</IsTruncated>"
               % (escape(bucket), enc(prefix))]
        if url:
            out.append("<EncodingType>url</EncodingType>")
        for key, uid, initiated in found:
            out.append("<Upload><Key>%s</Key><UploadId>%s</UploadId><Initiated>%s</Initiated></Upload>"
                       % (enc(key), uid, initiated))
        out.append("</ListMultipartUploadsResult>")
        return self._xml("".join(out))

    def _xml(self, text, headers=None):
        body = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + text).encode()
        self._send(200, body, dict({"Content-Type": "application/xml"}, **(headers or {})))

    def _list(self, bucket, store, query):
        prefix = query.get("prefix", "")
        delimiter = query.get("delimiter", "")
        marker = query.get("marker", "")
        max_keys = int(query.get("max-keys") or 100)
        url = query.get("encoding-type") == "url"
        enc = (lambda s: quote(s, safe="")) if url else escape
        with self.server_owner.lock:
            items = {k: len(v) for k, v in store.items() if k.startswith(prefix)}
        skip_under = marker if delimiter and marker.endswith(delimiter) else None
        keys = sorted(k for k in items if k > marker and not (skip_under and k.startswith(skip_under)))
        contents, prefixes, count, truncated, next_marker, i = [], [], 0, False, "", 0
        while i < len(keys):
            if count == max_keys:
                truncated = True
                break
            k = keys[i]
            rest = k[len(prefix):]
            if delimiter and delimiter in rest:
                common = prefix + rest[: rest.index(delimiter) + len(delimiter)]
                prefixes.append(common)
                next_marker = common
                while i < len(keys) and keys[i].startswith(common):
                    i += 1
            else:
                contents.append(k)
                next_marker = k
                i += 1
            count += 1
        out = ["<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult>",
               "<Name>%s</Name><Prefix>%s</Prefix><Marker>%s</Marker><MaxKeys>%d</MaxKeys>" % (
                   escape(bucket), enc(prefix), enc(marker), max_keys),
               "<Delimiter>%s</Delimiter>" % enc(delimiter)]
        if url:
            out.append("<EncodingType>url</EncodingType>")
        out.append("<IsTruncated>%s</IsTruncated>" % ("true" if truncated else "false"))
        if truncated:
            out.append("<NextMarker>%s</NextMarker>" % enc(next_marker))
        for k in contents:
            out.append("<Contents><Key>%s</Key><LastModified>2024-01-02T03:04:05.000Z</LastModified>"
                       "<ETag>\"00\"</ETag><Type>Normal</Type><Size>%d</Size><StorageClass>Standard</StorageClass>"
                       "<Owner><ID>0</ID><DisplayName>0</DisplayName></Owner></Contents>" % (enc(k), items[k]))
        for p in prefixes:
            out.append("<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>" % enc(p))
        out.append("</ListBucketResult>")
        self._send(200, "".join(out).encode(), {"Content-Type": "application/xml"})

    def do_GET(self):
        self._dispatch("GET")

    def do_HEAD(self):
        self._dispatch("HEAD")

    def do_PUT(self):
        self._dispatch("PUT")

    def do_DELETE(self):
        self._dispatch("DELETE")

    def do_POST(self):
        self._dispatch("POST")


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bucket", action="append", default=[])
    parser.add_argument("--key", action="append", default=[], help="ID:SECRET accepted besides the defaults")
    parser.add_argument("--region", default=DEFAULT_REGION)
    args = parser.parse_args(argv)
    credentials = dict(DEFAULT_CREDENTIALS)
    for pair in args.key:
        key_id, _, secret = pair.partition(":")
        credentials[key_id] = (secret, None)
    server = OssServer(args.port, buckets=args.bucket or ["bucket1"], credentials=credentials, region=args.region)
    print("READY %d" % server.port, flush=True)
    try:
        server.httpd.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
