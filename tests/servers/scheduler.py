"""A stand-in for the task scheduler's HTTP API: records every request and
answers with whatever the test queued (JSON by default)."""
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl


class SchedulerServer:
    def __init__(self):
        self.requests = []  # (path, [(field, value), ...] in body order, content-type)
        self.status = 200
        self.body = json.dumps({"s": 1, "value": []}).encode()
        self.stalled = threading.Event()  # set: requests get no answer until the server stops
        self.stopping = threading.Event()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                raw = self.rfile.read(length).decode("ascii")
                owner.requests.append((self.path, parse_qsl(raw, keep_blank_values=True), raw,
                                       self.headers.get("Content-Type")))
                if owner.stalled.is_set():
                    owner.stopping.wait(120)
                    return
                self.send_response(owner.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(owner.body)))
                self.end_headers()
                self.wfile.write(owner.body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def answer(self, obj=None, status=200, raw=None):
        self.status = status
        self.body = raw if raw is not None else json.dumps(obj).encode()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
