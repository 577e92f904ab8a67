"""A local query engine speaking the Presto client protocol (v1 statements).

A statement is POSTed to /v1/statement with the SQL as body; every answer
is a JSON document whose "nextUri" the client GETs for the next one, until
an answer has no "nextUri". "columns" appear from some answer on and then in
every later one; "data" carries rows; "error" is the engine's error object.
A DELETE on a "nextUri" cancels the query.

Queries are scripted by SQL text: `add_query(sql, columns, plan, ...)`,
where a plan is the list of answers (Page) of one execution; every POST of
that SQL takes the next plan, the last one repeating. A Page may carry a
fault instead of (or in the middle of) its answer: "busy" (503, every time;
`busy=n` answers 503 n times and then the page), "error"
(the engine's error object, query FAILED), "stall" (no answer at all, so the
client's read time-out fires), "stall_body" (the head and half the body,
then silence) and "cut" (the head and half the body, then the connection
closed).

Run as a script it serves a generated result for benchmarks and demos from
another process (see main()).
"""
import argparse
import itertools
import json
import random
import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

FAULTS = ("busy", "error", "stall", "stall_body", "cut")

SESSION_HEADERS = ("X-Presto-User", "X-Presto-Catalog", "X-Presto-Schema")


class Page:
    """One answer of the engine.

    rows: the rows it carries (None: no "data" member at all; [] an empty
    one); columns: whether the column list is sent with it (once sent, the
    server keeps sending it, as the engine does); fault: one of FAULTS.
    """

    def __init__(self, rows=None, columns=True, fault=None, error=None, busy=0):
        if fault is not None and fault not in FAULTS:
            raise ValueError("unknown fault %r" % (fault,))
        self.rows = rows
        self.columns = columns
        self.fault = fault
        self.error = error
        # answered "busy" (503) this many times before the answer itself
        self.busy = busy
        # rows encoded once: the benchmark serves the same pages many times
        self.data_json = None if rows is None else json.dumps(rows, ensure_ascii=False, separators=(",", ":"))


def paged(rows, page_rows, columns_from=0, empty_before=(), lead=0):
    """The answers of a successful query: `lead` answers without columns
    or data (queued), then `rows` in pages of `page_rows`; columns from
    answer `columns_from` on; an empty answer (no data) before each page
    whose index is in `empty_before`."""
    pages = [Page(columns=False) for _ in range(lead)]
    chunks = [rows[k:k + page_rows] for k in range(0, len(rows), page_rows)] or [[]]
    for n, chunk in enumerate(chunks):
        if n in empty_before:
            pages.append(Page())
        pages.append(Page(rows=chunk if chunk else None))
    for n, page in enumerate(pages):
        if n < columns_from:
            page.columns = False
            if page.rows:
                raise ValueError("rows cannot come before the columns")
    return pages


def engine_error(message, name="SYNTAX_ERROR", code=1, kind="USER_ERROR"):
    """The engine's error object (QueryError)."""
    return {
        "message": message,
        "errorCode": code,
        "errorName": name,
        "errorType": kind,
        "errorLocation": {"lineNumber": 1, "columnNumber": 1},
        "failureInfo": {"type": "com.example.QueryFailure", "message": message, "suppressed": [], "stack": []},
    }


class _Query:
    def __init__(self, qid, sql, columns, pages):
        self.qid = qid
        self.sql = sql
        self.columns_json = json.dumps([{"name": n, "type": t, "typeSignature": {"rawType": t.split("(")[0],
                                                                                   "arguments": []}}
                                        for n, t in columns], ensure_ascii=False)
        self.pages = pages
        self.columns_sent = False
        self.busy_answers = {}  # page index -> busy answers given so far


class PrestoServer:
    """The engine on 127.0.0.1; start() in a thread of this process, or
    run main() in another one.

    Recorded for the tests: `statements` (SQL texts POSTed), `requests`
    (method, path and the session headers of every request) and
    `cancelled` (the query ids a DELETE reached, with the page it named).
    """

    def __init__(self, port=0, user="ta", catalog="hive", schema="ta", stall_seconds=30.0):
        self.expected = {"X-Presto-User": user, "X-Presto-Catalog": catalog, "X-Presto-Schema": schema}
        self.stall_seconds = stall_seconds
        self.scheme = "http"  # "https" once a test wraps the socket in TLS
        self._scripts = {}
        self._executions = {}
        self._queries = {}
        self._ids = itertools.count(1)
        self._lock = threading.Lock()
        self._release = threading.Event()
        self.statements = []
        self.requests = []
        self.cancelled = []
        self._httpd = ThreadingHTTPServer(("127.0.0.1", port), self._handler_class())
        self._httpd.daemon_threads = True
        self.port = self._httpd.server_address[1]
        self._thread = None

    # ---- scripting ------------------------------------------------------
    def add_query(self, sql, columns, *plans):
        """Scripts `sql`: columns [(name, type)], then one plan (list of
        Page) per execution; the last plan serves every later execution."""
        if not plans:
            raise ValueError("a query needs at least one plan")
        with self._lock:
            self._scripts[sql] = (list(columns), [list(p) for p in plans])
            self._executions[sql] = 0

    def executions(self, sql):
        with self._lock:
            return self._executions.get(sql, 0)

    # ---- life -----------------------------------------------------------
    def start(self):
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._release.set()
        self._httpd.shutdown()
        self._httpd.server_close()

    def serve_forever(self):
        self._httpd.serve_forever()

    @property
    def address(self):
        return ["127.0.0.1", self.port]

    # ---- protocol -------------------------------------------------------
    def _handler_class(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _record(self):
                entry = {"method": self.command, "path": self.path}
                entry.update({h: self.headers.get(h) for h in SESSION_HEADERS})
                with server._lock:
                    server.requests.append(entry)

            def do_POST(self):
                self._record()
                length = int(self.headers.get("Content-Length") or 0)
                sql = self.rfile.read(length).decode("utf-8")
                wrong = [h for h, v in server.expected.items() if self.headers.get(h) != v]
                if self.path != "/v1/statement" or wrong:
                    what = ", ".join("%s %r (expected %r)" % (h, self.headers.get(h), server.expected[h])
                                     for h in wrong)
                    return self._plain(400, "bad statement request: " + (what or self.path))
                with server._lock:
                    server.statements.append(sql)
                    script = server._scripts.get(sql)
                    qid = "q%d" % next(server._ids)
                    if script is None:
                        query = _Query(qid, sql, [], [Page(fault="error", error=engine_error(
                            "line 1:1: no such query scripted: %s" % sql))])
                    else:
                        columns, plans = script
                        n = server._executions[sql]
                        server._executions[sql] = n + 1
                        query = _Query(qid, sql, columns, plans[min(n, len(plans) - 1)])
                    server._queries[qid] = query
                self._answer(query, 0)

            def do_GET(self):
                self._record()
                query, index = self._lookup()
                if query is None:
                    return self._plain(404, "no such query page: " + self.path)
                self._answer(query, index)

            def do_DELETE(self):
                self._record()
                query, index = self._lookup()
                if query is None:
                    return self._plain(404, "no such query page: " + self.path)
                with server._lock:
                    server.cancelled.append((query.qid, index))
                self.send_response(204)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def _lookup(self):
                parts = self.path.strip("/").split("/")
                if len(parts) != 4 or parts[:2] != ["v1", "statement"] or not parts[3].isdigit():
                    return None, 0
                with server._lock:
                    query = server._queries.get(parts[2])
                index = int(parts[3])
                if query is None or index >= len(query.pages):
                    return None, 0
                return query, index

            def _plain(self, status, text):
                body = text.encode("utf-8")
                self.send_response(status)
                self.send_header("Content-Type", "text/plain; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def _answer(self, query, index):
                page = query.pages[index]
                if page.fault == "stall":
                    server._release.wait(server.stall_seconds)
                    self.close_connection = True
                    return
                if page.fault == "busy":
                    return self._plain(503, "server busy, try again")
                with server._lock:
                    given = query.busy_answers.get(index, 0)
                    query.busy_answers[index] = given + 1
                if given < page.busy:
                    return self._plain(503, "server busy, try again")
                last = index == len(query.pages) - 1 or page.fault == "error"
                base = "%s://127.0.0.1:%d/v1/statement/%s" % (server.scheme, server.port, query.qid)
                state = "FAILED" if page.fault == "error" else ("FINISHED" if last else "RUNNING")
                parts = ['{"id":"%s","infoUri":"http://127.0.0.1:%d/ui/query.html?%s"'
                         % (query.qid, server.port, query.qid)]
                if not last:
                    parts.append(',"nextUri":"%s/%d"' % (base, index + 1))
                if page.columns or query.columns_sent:
                    query.columns_sent = True
                    parts.append(',"columns":' + query.columns_json)
                if page.data_json is not None:
                    parts.append(',"data":' + page.data_json)
                parts.append(',"stats":{"state":"%s","scheduled":true}' % state)
                if page.fault == "error":
                    parts.append(',"error":' + json.dumps(page.error or engine_error("query failed")))
                parts.append("}")
                body = "".join(parts).encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if page.fault in ("cut", "stall_body"):
                    self.wfile.write(body[:len(body) // 2])
                    self.wfile.flush()
                    if page.fault == "stall_body":
                        server._release.wait(server.stall_seconds)
                    self.close_connection = True
                    try:
                        self.connection.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                    return
                self.wfile.write(body)

        return Handler


# ---- generated results for benchmarks and demos ---------------------------

BENCH_COLUMNS = [("id", "bigint"), ("amount", "double"), ("name", "varchar"), ("active", "boolean"),
                 ("qty", "bigint"), ("ds", "varchar"), ("ratio", "double"), ("note", "varchar")]

_WORDS = ["alpha", "beta", "gamma", "delta", "北京", "上海", 'say "hi"', "a,b", "line\nbreak", "x"]


def bench_rows(n, seed=7):
    """n rows of BENCH_COLUMNS: ints, floats, texts needing quotes, bools, nulls."""
    rnd = random.Random(seed)
    rows = []
    for k in range(n):
        rows.append([
            k,
            round(rnd.uniform(-1e6, 1e6), rnd.randint(0, 6)),
            "%s-%d" % (_WORDS[k % len(_WORDS)], rnd.randint(0, 99999)),
            k % 3 == 0,
            None if k % 7 == 0 else rnd.randint(-2 ** 40, 2 ** 40),
            "2026-%02d-%02d" % (1 + k % 12, 1 + k % 28),
            None if k % 5 == 0 else rnd.random(),
            None if k % 4 == 0 else _WORDS[(k * 7) % len(_WORDS)],
        ])
    return rows


def rows_per_page(rows, page_bytes):
    sample = rows[:1000] or [[]]
    per_row = max(1, len(json.dumps(sample, ensure_ascii=False)) // len(sample))
    return max(1, page_bytes // per_row)


def main(argv=None):
    """Serves `--sql` with `--rows` generated rows in pages of about
    `--page-bytes`, printing "ready <port>" once it listens."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--rows", type=int, default=1000)
    ap.add_argument("--page-bytes", type=int, default=1 << 20)
    ap.add_argument("--sql", default="select * from bench")
    args = ap.parse_args(argv)
    rows = bench_rows(args.rows)
    server = PrestoServer(port=args.port)
    server.add_query(args.sql, BENCH_COLUMNS, paged(rows, rows_per_page(rows, args.page_bytes), lead=1))
    del rows
    print("ready", server.port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
