"""A local stand-in for the analytics platform's HTTP query API.

POST /querySql with a form body (token, sql) answers a line stream: a JSON
header object, then one JSON row per line, sent with chunked transfer
encoding in pieces of chosen sizes, so that pieces split lines and UTF-8
sequences. Faults: a return_code error, any extra lines (blank, white
space, null, malformed), a stall (the client's read time-out) and a cut
connection.

In tests: QueryApiServer() as a context manager, set .answer per test.
For benchmarks, in another process:
    python query_api.py --body FILE --port PORT [--piece BYTES]
"""
import argparse
import itertools
import json
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def header_line(columns, return_code=0, **extra):
    obj = {"return_code": return_code, **extra}
    if return_code == 0:
        obj["data"] = {"headers": list(columns)}
    return json.dumps(obj, ensure_ascii=False).encode()


def row_line(values):
    return json.dumps(values, ensure_ascii=False).encode()


class Answer:
    """What the server sends for the next queries.

    lines: byte strings, each followed by b"\\n" (give a line with its own
    ending, or none, through `body` instead). pieces: sizes of the chunks,
    cycled. stall_after / cut_after: byte offset in the body where the
    server stops sending and waits (stall) or closes the connection (cut).
    status: the HTTP status.
    """

    def __init__(self, lines=(), body=None, pieces=(3, 1, 7, 2, 64), stall_after=None, cut_after=None, status=200):
        self.body = body if body is not None else b"".join(line + b"\n" for line in lines)
        self.pieces = pieces
        self.stall_after = stall_after
        self.cut_after = cut_after
        self.status = status


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        srv = self.server
        length = int(self.headers.get("Content-Length", 0))
        raw = self.rfile.read(length)
        ctype = self.headers.get("Content-Type", "")
        form = urllib.parse.parse_qs(raw.decode(), keep_blank_values=True)
        srv.received.append({"path": self.path, "content_type": ctype, "form": form})
        ok = (
            self.path.endswith("/querySql")
            and ctype.startswith("application/x-www-form-urlencoded")
            and sorted(form) == ["sql", "token"]
            and all(len(v) == 1 for v in form.values())
        )
        if not ok:
            self._send_whole(400, b"bad form\n")
            return
        if srv.token is not None and form["token"][0] != srv.token:
            self._send_whole(200, header_line((), return_code=401, msg="invalid token") + b"\n")
            return
        self._stream(srv.answer)

    def _send_all(self, *parts):
        parts = [memoryview(p) for p in parts]
        while parts:
            sent = self.connection.sendmsg(parts)
            while parts and sent >= len(parts[0]):
                sent -= len(parts.pop(0))
            if parts:
                parts[0] = parts[0][sent:]

    def _send_whole(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _stream(self, answer):
        self.send_response(answer.status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        body = answer.body
        stop = min(x for x in (answer.stall_after, answer.cut_after, len(body)) if x is not None)
        sizes = itertools.cycle(answer.pieces)
        view = memoryview(body)
        at = 0
        while at < stop:
            piece = view[at : min(stop, at + next(sizes))]
            if len(piece) >= 1 << 16:
                # big pieces go out as they stand: copying them would cost
                # this process more CPU than the client it serves
                self._send_all(b"%x\r\n" % len(piece), piece, b"\r\n")
            else:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            at += len(piece)
        self.wfile.flush()
        if answer.cut_after is not None and answer.cut_after < len(body):
            # half a chunk, then the connection goes away
            self.wfile.write(b"10\r\nabc")
            self.wfile.flush()
            self.close_connection = True
            return
        if answer.stall_after is not None and answer.stall_after < len(body):
            self.server.release.wait(30)
            self.close_connection = True
            return
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # a client that hangs up (time-out tests, cut connections) is expected
        import sys

        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class QueryApiServer:
    """The query API on 127.0.0.1 in a background thread."""

    def __init__(self, token="tok", answer=None):
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.token = token
        self._httpd.answer = answer or Answer([header_line(["a"])])
        self._httpd.received = []
        self._httpd.release = threading.Event()
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d/querySql" % self._httpd.server_address[1]

    @property
    def received(self):
        return self._httpd.received

    @property
    def answer(self):
        return self._httpd.answer

    @answer.setter
    def answer(self, value):
        self._httpd.answer = value

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._httpd.release.set()
        self._httpd.shutdown()
        self._httpd.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--body", required=True, help="file whose bytes are the answer")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--piece", type=int, default=1 << 20)
    parser.add_argument("--token", default=None)
    args = parser.parse_args()
    with open(args.body, "rb") as f:
        body = f.read()
    httpd = _Server(("127.0.0.1", args.port), _Handler)
    httpd.token = args.token
    httpd.answer = Answer(body=body, pieces=(args.piece,))
    httpd.received = []
    httpd.release = threading.Event()
    httpd.serve_forever()


if __name__ == "__main__":
    main()
