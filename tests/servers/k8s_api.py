"""A small stand-in for a cluster's API server, for the pod manager's tests.

Plain HTTP on 127.0.0.1. It keeps pods in memory and answers the calls the
pod manager makes: the pod list across namespaces, one pod, a pod's log
(with tailLines), and delete; unknown pods get a 404 Status as a real API
server sends it. Every request is recorded (method, path, query, headers).

Faults: `fail_next(status)` makes the next requests answer an error Status;
`token` requires "Authorization: Bearer <token>" (401 otherwise).

    with K8sApiServer() as srv:
        srv.add_pod("spark-1", log="a\\nb\\n")
        srv.write_kubeconfig(path)
"""
import datetime
import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

_REASONS = {400: "BadRequest", 401: "Unauthorized", 404: "NotFound", 500: "InternalError", 503: "ServiceUnavailable"}


def status_body(code, message):
    """A v1 Status object as the API server sends it with an error."""
    return {
        "kind": "Status",
        "apiVersion": "v1",
        "metadata": {},
        "status": "Failure",
        "message": message,
        "reason": _REASONS.get(code, "Unknown"),
        "code": code,
    }


class Pod:
    def __init__(self, name, namespace, phase, created, log):
        self.name = name
        self.namespace = namespace
        self.phase = phase
        self.created = created
        self.log = log

    def to_json(self, deleting=False):
        meta = {
            "name": self.name,
            "namespace": self.namespace,
            "uid": "uid-%s-%s" % (self.namespace, self.name),
            "creationTimestamp": self.created.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "labels": {"spark-role": "driver"},
        }
        if deleting:
            meta["deletionTimestamp"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        return {
            "kind": "Pod",
            "apiVersion": "v1",
            "metadata": meta,
            "spec": {"containers": [{"name": "spark-kubernetes-driver", "image": "spark:3"}]},
            "status": {"phase": self.phase},
        }


class Request:
    def __init__(self, method, path, query, headers, body):
        self.method = method
        self.path = path
        self.query = query  # name -> list of values, as parse_qs gives
        self.headers = headers
        self.body = body

    def __repr__(self):
        return "Request(%s %s %s)" % (self.method, self.path, self.query)


class K8sApiServer:
    def __init__(self, token=None):
        self.token = token
        self.pods = {}  # (namespace, name) -> Pod, in insertion order
        self.requests = []
        self._faults = []
        self._lock = threading.Lock()
        self._httpd = None
        self._thread = None
        self._conns = set()  # open client sockets, closed by stop()

    # ---- state ------------------------------------------------------------
    def add_pod(self, name, namespace="default", phase="Running", created=None, log=""):
        created = created or datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
        pod = Pod(name, namespace, phase, created, log)
        with self._lock:
            self.pods[(namespace, name)] = pod
        return pod

    def fail_next(self, status, count=1):
        """The next `count` requests answer `status` with an error Status."""
        with self._lock:
            self._faults.extend([status] * count)

    def requests_to(self, suffix):
        return [r for r in self.requests if r.path.endswith(suffix)]

    # ---- life -------------------------------------------------------------
    @property
    def url(self):
        return "http://127.0.0.1:%d" % self._httpd.server_address[1]

    def start(self):
        srv = self

        class Handler(_Handler):
            server_state = srv

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops listening and drops kept-alive connections: the cluster is gone."""
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            with self._lock:
                conns, self._conns = list(self._conns), set()
            for sock in conns:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self._thread.join(timeout=5)
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def write_kubeconfig(self, path, token=None):
        """A kubeconfig whose current context points at this server.

        JSON is valid YAML, so no YAML writer is needed.
        """
        user = {"token": token} if token else {}
        cfg = {
            "apiVersion": "v1",
            "kind": "Config",
            "clusters": [{"name": "local", "cluster": {"server": self.url}}],
            "users": [{"name": "tester", "user": user}],
            "contexts": [{"name": "local", "context": {"cluster": "local", "user": "tester"}}],
            "current-context": "local",
        }
        with open(path, "w") as f:
            json.dump(cfg, f, indent=1)
        return path

    # ---- answers ----------------------------------------------------------
    def _answer(self, method, path, query, headers, body=b""):
        """(status, content type, body bytes) for one request."""
        with self._lock:
            self.requests.append(Request(method, path, query, dict(headers), body))
            fault = self._faults.pop(0) if self._faults else None
        if fault is not None:
            return self._status(fault, "injected fault")
        if self.token is not None and headers.get("Authorization") != "Bearer " + self.token:
            return self._status(401, "Unauthorized")

        parts = [unquote(p) for p in path.strip("/").split("/")]
        if method == "GET" and parts == ["api", "v1", "pods"]:
            with self._lock:
                items = [p.to_json() for p in self.pods.values()]
            return self._json(200, {"kind": "PodList", "apiVersion": "v1", "metadata": {}, "items": items})
        if len(parts) in (6, 7) and parts[:3] == ["api", "v1", "namespaces"] and parts[4] == "pods":
            namespace, name = parts[3], parts[5]
            sub = parts[6] if len(parts) == 7 else None
            with self._lock:
                pod = self.pods.get((namespace, name))
                if pod is not None and method == "DELETE" and sub is None:
                    del self.pods[(namespace, name)]
            if pod is None:
                return self._status(404, 'pods "%s" not found' % name)
            if method == "GET" and sub is None:
                return self._json(200, pod.to_json())
            if method == "GET" and sub == "log":
                return self._log(pod, query)
            if method == "DELETE" and sub is None:
                return self._json(200, pod.to_json(deleting=True))
        return self._status(404, "the server could not find the requested resource")

    def _log(self, pod, query):
        lines = pod.log.splitlines(keepends=True)
        if "tailLines" in query:
            try:
                n = int(query["tailLines"][0])
            except ValueError:
                return self._status(400, "tailLines must be an integer")
            if n < 0:
                return self._status(400, "tailLines must be greater than or equal to 0")
            lines = lines[len(lines) - n :] if n else []
        return 200, "text/plain", "".join(lines).encode()

    def _json(self, code, obj):
        return code, "application/json", json.dumps(obj).encode()

    def _status(self, code, message):
        return self._json(code, status_body(code, message))


class _Handler(BaseHTTPRequestHandler):
    server_state = None
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        with self.server_state._lock:
            self.server_state._conns.add(self.connection)

    def finish(self):
        with self.server_state._lock:
            self.server_state._conns.discard(self.connection)
        super().finish()

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        sent = self.rfile.read(length) if length else b""
        url = urlsplit(self.path)
        code, ctype, body = self.server_state._answer(
            self.command, url.path, parse_qs(url.query, keep_blank_values=True), self.headers, sent
        )
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_DELETE = do_POST = do_PUT = do_PATCH = _serve

    def log_message(self, *args):
        pass


def main(argv=None):
    """Runs the stand-in in its own process (benchmarks): prints its URL, serves until killed."""
    import argparse
    import time

    ap = argparse.ArgumentParser()
    ap.add_argument("--pods", type=int, default=0, help="pods to create, every other one outside default")
    ap.add_argument("--log-lines", type=int, default=0)
    args = ap.parse_args(argv)
    srv = K8sApiServer().start()
    log = "".join("log line %d\n" % i for i in range(args.log_lines))
    for i in range(args.pods):
        srv.add_pod("pod-%05d" % i, namespace="default" if i % 2 == 0 else "spark", log=log)
    srv.requests = _Discard()
    print(srv.url, flush=True)
    while True:
        time.sleep(3600)


class _Discard(list):
    """A request log that keeps nothing (long benchmark runs)."""

    def append(self, item):
        pass


if __name__ == "__main__":
    main()
