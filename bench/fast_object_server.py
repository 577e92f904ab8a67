"""A plain object server for big-file benchmarks: PUT of whole objects, GET
(whole or one byte range), HEAD and multipart uploads (parts joined with
copy_file_range on completion), kept as files in a folder, bodies moved in
4 MiB pieces and sent with sendfile. No signature check and no listing;
with --crc it answers the CRC-64 header of what it stored (computed with
the SDK's crcmod, so slower).

    python bench/fast_object_server.py FOLDER [--crc]    prints "READY <port>"
"""
import os
import socket
import sys
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

PIECE = 4 << 20


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    folder = "."
    crc = None

    def log_message(self, *args):
        pass

    def _path(self):
        key = unquote(urlsplit(self.path).path).lstrip("/").replace("/", "%2F")
        return os.path.join(self.folder, key)

    def _query(self):
        return parse_qs(urlsplit(self.path).query, keep_blank_values=True)

    def _part_path(self, upload, number):
        return "%s.%s.%08d" % (self._path(), upload, int(number))

    def _answer(self, status, headers=(), length=0, body=b""):
        self.send_response(status)
        self.send_header("x-oss-request-id", "bench")
        self.send_header("Content-Length", str(len(body) or length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if body:
            self.wfile.write(body)

    def _parts(self, upload):
        folder, name = os.path.split(self._path())
        prefix = "%s.%s." % (name, upload)
        return [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.startswith(prefix)]

    def do_POST(self):
        query = self._query()
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        xml = [("Content-Type", "application/xml")]
        if "uploads" in query:
            body = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><InitiateMultipartUploadResult><Bucket>bench"
                    "</Bucket><Key>k</Key><UploadId>%s</UploadId></InitiateMultipartUploadResult>" % uuid.uuid4().hex)
            return self._answer(200, xml, body=body.encode())
        if "uploadId" not in query:
            return self._answer(400)
        with open(self._path(), "wb") as out:
            for part in self._parts(query["uploadId"][0]):
                with open(part, "rb") as f:
                    left = os.fstat(f.fileno()).st_size
                    while left:
                        left -= os.copy_file_range(f.fileno(), out.fileno(), left)
                os.unlink(part)
        body = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><CompleteMultipartUploadResult><Bucket>bench</Bucket>"
                "<Key>k</Key><ETag>\"bench\"</ETag></CompleteMultipartUploadResult>")
        self._answer(200, xml + [("ETag", '"bench"')], body=body.encode())

    def do_PUT(self):
        query = self._query()
        target = self._path()
        if "uploadId" in query:
            target = self._part_path(query["uploadId"][0], query["partNumber"][0])
        left = int(self.headers.get("Content-Length") or 0)
        buf = bytearray(PIECE)
        view = memoryview(buf)
        crc = 0
        with open(target, "wb", buffering=0) as f:
            while left:
                n = self.rfile.readinto(view[:min(PIECE, left)])
                if not n:
                    return
                f.write(view[:n])
                if self.crc:
                    crc = self.crc(view[:n], crc)
                left -= n
        headers = [("ETag", '"bench"')] + ([("x-oss-hash-crc64ecma", str(crc))] if self.crc else [])
        self._answer(200, headers)

    def do_HEAD(self):
        try:
            size = os.stat(self._path()).st_size
        except OSError:
            return self._answer(404)
        self._answer(200, [("ETag", '"bench"'), ("Content-Type", "application/octet-stream"),
                           ("Last-Modified", "Thu, 01 Jan 2026 00:00:00 GMT")], size)

    def do_GET(self):
        try:
            f = open(self._path(), "rb")
        except OSError:
            return self._answer(404)
        with f:
            size = os.fstat(f.fileno()).st_size
            headers = [("ETag", '"bench"'), ("Content-Type", "application/octet-stream")]
            wanted = self.headers.get("Range", "")
            if wanted.startswith("bytes=") and not self.crc:  # the managed S3 download's parts
                first, _, last = wanted[6:].partition("-")
                first, last = int(first), min(int(last or size - 1), size - 1)
                headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
                self._answer(206, headers, last - first + 1)
                self.wfile.flush()
                self.connection.sendfile(f, first, last - first + 1)
                return
            if self.crc:
                crc = 0
                while True:
                    piece = f.read(PIECE)
                    if not piece:
                        break
                    crc = self.crc(piece, crc)
                f.seek(0)
                headers.append(("x-oss-hash-crc64ecma", str(crc)))
            self._answer(200, headers, size)
            self.wfile.flush()
            self.connection.sendfile(f)

    def do_DELETE(self):
        query = self._query()
        if "uploadId" in query:
            for part in self._parts(query["uploadId"][0]):
                os.unlink(part)
            return self._answer(204)
        try:
            os.unlink(self._path())
        except OSError:
            pass
        self._answer(204)


def main(argv):
    folder = argv[0]
    Handler.folder = folder
    if "--crc" in argv:
        import crcmod

        Handler.crc = crcmod.mkCrcFun(0x142F0E1EBA9EA3693, initCrc=0, xorOut=0xFFFFFFFFFFFFFFFF, rev=True)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.handle_error = lambda request, address: None  # clients that hang up are no news
    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
