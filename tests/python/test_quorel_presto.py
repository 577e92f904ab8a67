"""ThinkDataQuery's Presto path against a local engine speaking the client
protocol: paging, the CSV it writes (pandas as the oracle), progress lines,
whole-query retries on read time-outs only, the upcount tolerance, closing
and cancelling, and the exception that reaches the caller."""
import decimal
import errno
import os
import socket
import subprocess
import sys

import pandas
import pytest
import requests
from pyhive import exc, presto

from kestro.common.defines import Et
from kestro.quorel.quorel import ThinkDataQuery
from servers.presto import Page, PrestoServer, paged

COLS = [("id", "bigint"), ("name", "varchar"), ("score", "double"), ("ok", "boolean"), ("price", "decimal(10,2)")]
NAMES = [c for c, _ in COLS]
TEXTS = ["plain", "a,b", 'say "hi"', "two\nlines", "北京", "", None]


def make_rows(n, start=0):
    return [[k, TEXTS[k % len(TEXTS)], None if k % 4 == 3 else k / 8, k % 2 == 0, "%d.50" % k]
            for k in range(start, start + n)]


def oracle(rows, names=NAMES):
    """What pandas writes for the rows as PyHive hands them over."""
    converted = [r[:4] + [decimal.Decimal(v) for v in r[4:]] for r in rows]
    return pandas.DataFrame(converted, columns=names).to_csv(index=None)


@pytest.fixture
def engine():
    server = PrestoServer(stall_seconds=10).start()
    yield server
    server.stop()


class Recording(ThinkDataQuery):
    """Remembers the result path it hands out."""

    def gen_local_unique_file(self, ext="csv"):
        self.path = super().gen_local_unique_file(ext)
        return self.path


@pytest.fixture
def client(engine):
    # the port as text: the path converts it
    return Recording("http://127.0.0.1:1/querySql", "tok", ["127.0.0.1", str(engine.port)])


@pytest.fixture
def log(local_mode, capsys, fast_sleep):
    """The task-log lines printed so far (local mode)."""
    return lambda: capsys.readouterr().out.splitlines()


def progress(n, block_size):
    return [str(k) for k in range(block_size, n + 1, block_size)]


@pytest.mark.parametrize(
    "n, block_size, fetch_size, plan",
    [
        (0, 5, 3, dict(page_rows=4)),
        (10, 5, 3, dict(page_rows=5)),  # exact multiple: the last block is written in the loop
        (23, 5, 4, dict(page_rows=3, columns_from=2, lead=2, empty_before=(0, 3, 4))),
        (7, 1, 10, dict(page_rows=2)),
        (41, 100000, 10000, dict(page_rows=1)),
    ],
)
def test_result_file_and_progress(client, engine, log, n, block_size, fetch_size, plan):
    rows = make_rows(n)
    page_rows = plan.pop("page_rows")
    engine.add_query("select 1", COLS, paged(rows, page_rows, **plan))
    path = client.get_data_raw_pyhive({}, "select 1", block_size=block_size, fetch_size=fetch_size)
    assert path == client.path
    assert open(path, encoding="utf-8", newline="").read() == oracle(rows)
    assert log() == ["文件大小"] + progress(n, block_size) + ["total: %d" % n]
    post = engine.requests[0]
    assert (post["X-Presto-User"], post["X-Presto-Catalog"], post["X-Presto-Schema"]) == ("ta", "hive", "ta")
    assert engine.statements == ["select 1"] and engine.cancelled == []


def test_empty_rows_are_skipped_and_not_counted(client, engine, log):
    # no decimal column here: PyHive's own conversion would index into them
    rows = [r[:4] for r in make_rows(6)]
    with_gaps = [[], rows[0], rows[1], [], [], rows[2], rows[3], rows[4], [], rows[5]]
    engine.add_query("q", COLS[:4], paged(with_gaps, 3))
    path = client.get_data_raw_pyhive({}, "q", block_size=2, fetch_size=4)
    assert open(path, encoding="utf-8", newline="").read() == oracle(rows, NAMES[:4])
    assert log() == ["文件大小", "2", "4", "6", "total: 6"]


def test_attempt_truncates_an_existing_file_and_returns_its_path(client, engine, tmp_path, log):
    target = tmp_path / "out.csv"
    target.write_text("old content that is longer than the new one\n" * 100)
    engine.add_query("q", COLS, paged(make_rows(3), 2))
    assert client.get_data_raw_pyhive_i({}, str(target), "q", 2, 2) == str(target)
    assert target.read_text(encoding="utf-8") == oracle(make_rows(3))


def stalling(kind, rows_before=4):
    return paged(make_rows(rows_before), 2) + [Page(fault=kind)]


@pytest.mark.parametrize(
    "plan, cancelled",
    [
        (stalling("stall"), 2),  # no answer head on the third page
        (stalling("stall_body"), 2),  # half an answer, then silence
        ([Page(fault="stall")], None),  # the statement itself: no query id to cancel
    ],
    ids=["page-head", "page-body", "statement"],
)
# A second for the time-out: healthy answers on a loaded machine must not trip it.
def test_three_read_timeouts_use_up_three_attempts(client, engine, log, caplog, plan, cancelled):
    engine.add_query("slow", COLS, plan)
    with pytest.raises(requests.RequestException, match="Read timed out") as raised:
        client.get_data_raw_pyhive({}, "slow", block_size=3, fetch_size=2, retry_count=3, read_timeout=1.0)
    assert engine.executions("slow") == 3
    lines = log()
    assert [line for line in lines if line.startswith("retry")] == ["retry 0", "retry 1", "retry 2"]
    errors = [line for line in lines if line.startswith("get data error:")]
    assert len(errors) == 3 and str(raised.value) in errors[-1]
    assert [r.getMessage() for r in caplog.records].count("in query") == 3
    assert not os.path.exists(client.path)
    # every abandoned query is cancelled at the page it stalled on
    expected = [] if cancelled is None else [("q%d" % k, cancelled) for k in (1, 2, 3)]
    assert sorted(engine.cancelled) == expected


def test_timeout_then_success_gives_one_complete_file(client, engine, log):
    rows = make_rows(9)
    engine.add_query("q", COLS, stalling("stall"), paged(rows, 2))
    path = client.get_data_raw_pyhive({}, "q", block_size=3, fetch_size=2, retry_count=3, read_timeout=1.0)
    assert open(path, encoding="utf-8", newline="").read() == oracle(rows)
    lines = log()
    assert [line for line in lines if line.startswith("retry")] == ["retry 0"]
    assert lines[-1] == "total: 9" and engine.executions("q") == 2


@pytest.mark.parametrize(
    "plan, error",
    [
        ([Page(fault="error")], exc.DatabaseError),  # rejected at once
        (paged(make_rows(4), 2)[:2] + [Page(fault="error")], exc.DatabaseError),  # fails while paging
        (paged(make_rows(4), 2) + [Page(fault="cut")], requests.RequestException),
        (paged(make_rows(4), 2) + [Page(rows=[make_rows(1)[0] + ["extra"]])], ValueError),
    ],
    ids=["sql-error", "engine-error-while-paging", "cut-connection", "row-does-not-fit"],
)
def test_other_failures_are_raised_without_retry(client, engine, log, plan, error):
    engine.add_query("q", COLS, plan)
    with pytest.raises(error):
        client.get_data_raw_pyhive({}, "q", block_size=3, fetch_size=2, retry_count=5, read_timeout=2)
    assert engine.executions("q") == 1
    lines = log()
    assert not [line for line in lines if line.startswith("retry")]
    assert len([line for line in lines if line.startswith("get data error:")]) == 1
    assert not os.path.exists(client.path)


def test_tolerated_failure_keeps_every_row_that_arrived(client, engine, log):
    # 10 rows arrive, 8 of them in full blocks of 4, then the connection is cut
    rows = make_rows(10)
    engine.add_query("q", COLS, paged(rows, 2) + [Page(fault="cut")])
    path = client.get_data_raw_pyhive({}, "q", block_size=4, fetch_size=2, upcount=10)
    assert path == client.path
    assert open(path, encoding="utf-8", newline="").read() == oracle(rows)
    lines = log()
    assert lines[:3] == ["文件大小", "4", "8"] and lines[3].startswith("get data error:")
    assert len(lines) == 4  # no total line, no retry
    assert engine.cancelled == [("q1", 5)]


def test_upcount_above_the_rows_fetched_raises(client, engine, log):
    engine.add_query("q", COLS, paged(make_rows(10), 2) + [Page(fault="cut")])
    with pytest.raises(requests.RequestException):
        client.get_data_raw_pyhive({}, "q", block_size=4, fetch_size=2, upcount=11)
    assert engine.executions("q") == 1 and not os.path.exists(client.path)


def test_upcount_zero_tolerates_a_refused_connection(log):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    client = Recording("u", "t", ["127.0.0.1", port])
    assert client.get_data_raw_pyhive({}, "q", upcount=0) == client.path
    assert not os.path.exists(client.path)
    lines = log()
    assert len(lines) == 1 and lines[0].startswith("get data error:")


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text form")


class FakeConnect:
    """presto.connect replaced: counts the attempts, raises given errors."""

    def __init__(self, *errors):
        self.errors = list(errors)
        self.attempts = 0

    def __call__(self, **kwargs):
        self.attempts += 1
        raise self.errors[min(self.attempts, len(self.errors)) - 1]


@pytest.mark.parametrize(
    "make_error, retried",
    [
        (lambda k: requests.exceptions.ReadTimeout("socket stalled %d" % k), True),
        (lambda k: requests.exceptions.ConnectionError("HTTPConnectionPool(...): Read timed out. %d" % k), True),
        (lambda k: RuntimeError("Read timed out %d" % k), True),
        (lambda k: requests.exceptions.ConnectTimeout("connect timed out %d" % k), False),
        (lambda k: exc.DatabaseError({"message": "x %d" % k}), False),
        (lambda k: Unprintable(k), False),
    ],
)
def test_settings_retry_rule_and_the_very_error_object(client, monkeypatch, log, make_error, retried):
    errors = [make_error(k) for k in range(3)]
    fake = FakeConnect(*errors)
    monkeypatch.setattr(presto, "connect", fake)
    with pytest.raises(type(errors[0])) as raised:
        client.get_data_raw_pyhive({}, "q", retry_count=3, read_timeout=7)
    assert fake.attempts == (3 if retried else 1)
    assert raised.value is errors[fake.attempts - 1]
    expected_retries = ["retry 0", "retry 1", "retry 2"] if retried else []
    assert [line for line in log() if line.startswith("retry")] == expected_retries


@pytest.mark.parametrize("retry_count", [0, -2])
def test_no_attempt_gives_none(client, engine, monkeypatch, log, retry_count):
    monkeypatch.setattr(presto, "connect", FakeConnect(AssertionError("must not connect")))
    assert client.get_data_raw_pyhive({}, "q", retry_count=retry_count) is None
    assert log() == []


@pytest.mark.parametrize("kwargs", [dict(block_size=0), dict(fetch_size=0), dict(fetch_size=-5)])
def test_sizes_below_one_are_refused_before_querying(client, engine, log, kwargs):
    engine.add_query("q", COLS, paged(make_rows(3), 2))
    with pytest.raises(Et) as raised:
        client.get_data_raw_pyhive({}, "q", **kwargs)
    assert raised.value.state == 2 and "must be a positive integer" in raised.value.getmsg()
    assert engine.statements == []


class FreshRowsCursor:
    """A cursor whose every batch is made anew and referenced by nothing once
    returned: tuples, generators, texts whose UTF-8 must be made, integers
    beyond 64 bits, decimals. Between batches it churns the allocator, so
    that a value used after its batch was let go would read other data.
    fetchmany can fail after a number of batches."""

    description = [("a", "bigint", None), ("b", "varchar", None), ("c", "bigint", None), ("d", "decimal", None)]

    def __init__(self, batches, fail_after=None):
        self.batches, self.fail_after, self.served = batches, fail_after, 0

    @staticmethod
    def rows(k):
        made = [(k * 10 + j, "名前 %d, \"x\" é" % (k * 10 + j), 2**70 + j, decimal.Decimal(j) / 4) for j in range(9)]
        made.append(v for v in (k, "gen %d" % k, -(2**65), None))
        return made

    def execute(self, sql):
        pass

    def fetchmany(self, size):
        if self.served == self.fail_after:
            raise requests.exceptions.ChunkedEncodingError("connection cut after %d batches" % self.served)
        if self.served == self.batches:
            return []
        self.served += 1
        junk = ["%08d-%s" % (n, "z" * (n % 50)) for n in range(2000)]
        del junk
        return self.rows(self.served)

    def cancel(self):
        pass


class FreshRowsConnection:
    def __init__(self, cursor):
        self._cursor = cursor

    def cursor(self):
        return self._cursor

    def close(self):
        pass


def fresh_rows_oracle(batches):
    rows = []
    for k in range(1, batches + 1):
        rows += [list(r) for r in FreshRowsCursor.rows(k)]
    return pandas.DataFrame(rows, columns=["a", "b", "c", "d"]).to_csv(index=None)


@pytest.mark.parametrize("block_size", [7, 10, 1000])
def test_rows_formatted_behind_the_cursor_outlive_their_batches(client, monkeypatch, log, block_size):
    """Each batch is formatted on a second thread while the next one is
    fetched; the rows come out whole and in order, progress as before."""
    monkeypatch.setattr(presto, "connect", lambda **kw: FreshRowsConnection(FreshRowsCursor(40)))
    path = client.get_data_raw_pyhive({}, "q", block_size=block_size, fetch_size=10)
    assert open(path, encoding="utf-8", newline="").read() == fresh_rows_oracle(40)
    assert log() == ["文件大小"] + progress(400, block_size) + ["total: 400"]


class BatchesCursor:
    description = [("t", "varchar", None), ("n", "bigint", None)]

    def __init__(self, batches):
        self.batches = list(batches)

    def execute(self, sql):
        pass

    def fetchmany(self, size):
        return self.batches.pop(0) if self.batches else []

    def cancel(self):
        pass


def test_long_texts_of_every_width_across_many_copies(client, monkeypatch, log):
    """Texts are copied out of each batch for the formatter: these fill
    several copy blocks per batch, one alone is larger than a block, and
    they are stored 1, 2 and 4 bytes a character."""
    words = ["ascii", "é latin", "北京 wide", "😀 astral"]
    batches = [[("%s %d, " % (words[j % 4], j) * (1 + j % 97), j) for j in range(k * 500, k * 500 + 500)]
               for k in range(3)]
    batches[1].insert(250, ("北" * 300_000 + "😀", -1))
    rows = [list(r) for b in batches for r in b]
    monkeypatch.setattr(presto, "connect", lambda **kw: FreshRowsConnection(BatchesCursor(batches)))
    path = client.get_data_raw_pyhive({}, "q", block_size=700, fetch_size=500)
    expected = pandas.DataFrame(rows, columns=["t", "n"]).to_csv(index=None)
    assert open(path, encoding="utf-8", newline="").read() == expected


def test_tolerated_failure_behind_the_cursor_keeps_every_row_fetched(client, monkeypatch, log):
    # 5 batches of 10 arrive (the last two still being formatted when the
    # sixth fetch fails): all 50 rows are in the file
    monkeypatch.setattr(presto, "connect", lambda **kw: FreshRowsConnection(FreshRowsCursor(40, fail_after=5)))
    path = client.get_data_raw_pyhive({}, "q", block_size=20, fetch_size=10, upcount=50)
    assert open(path, encoding="utf-8", newline="").read() == fresh_rows_oracle(5)
    lines = log()
    assert lines[:3] == ["文件大小", "20", "40"] and lines[3].startswith("get data error:") and len(lines) == 4


class InterruptedCursor(FreshRowsCursor):
    def fetchmany(self, size):
        if self.served == self.fail_after:
            raise KeyboardInterrupt
        return super().fetchmany(size)


LIMITED_ATTEMPT = """
import resource, signal, sys, time
time.sleep = lambda seconds: None
from pyhive import presto
import test_quorel_presto as t
from kestro.quorel.quorel import ThinkDataQuery
cursor, fail_after, limit, path, upcount = sys.argv[1:]
cursor = getattr(t, cursor)(8, fail_after=None if fail_after == "-" else int(fail_after))
presto.connect = lambda **kw: t.FreshRowsConnection(cursor)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
try:
    ThinkDataQuery("u", "t", ["127.0.0.1", 1]).get_data_raw_pyhive_i(
        {}, path, "q", block_size=20, fetch_size=10, upcount=None if upcount == "-" else int(upcount))
    print("outcome: returned")
except BaseException as e:
    print("outcome: %s %s" % (type(e).__name__, getattr(e, "errno", None)))
"""


def limited_attempt(tmp_path, cursor="FreshRowsCursor", fail_after=None, upcount=None):
    """One attempt over 8 batches of 10 rows in blocks of 20, in a child
    interpreter whose file size limit leaves room for the header and the
    first block only (writes beyond it fail with EFBIG; a child, so that the
    limit never meets this process's own output). Returns the first block's
    text, the file's text, the task-log lines and the outcome line."""
    first_block = "".join(fresh_rows_oracle(8).splitlines(keepends=True)[:21])
    target = tmp_path / "out.csv"
    env = {k: v for k, v in os.environ.items() if k != "DJANGO_SETTINGS_MODULE"}  # local mode: lines printed
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([here, os.path.dirname(here)])  # this module and servers/
    args = [cursor, "-" if fail_after is None else str(fail_after), str(len(first_block.encode())), str(target),
            "-" if upcount is None else str(upcount)]
    done = subprocess.run([sys.executable, "-c", LIMITED_ATTEMPT] + args, cwd=here, env=env,
                          stdout=subprocess.PIPE, text=True, timeout=120, check=True)
    lines = done.stdout.splitlines()
    return first_block, target.read_text(encoding="utf-8"), lines[:-1], lines[-1]


@pytest.mark.parametrize("upcount, tolerated", [(None, False), (40, True), (41, False)])
def test_block_write_failure_surfaces_at_the_row_that_filled_the_block(tmp_path, upcount, tolerated):
    # The second block (rows 21-40, ending a batch) cannot be written while
    # the next batch is fetched: the failure counts 40 rows, its progress
    # line is never written, no row after it is taken.
    first_block, text, lines, outcome = limited_attempt(tmp_path, upcount=upcount)
    assert outcome == ("outcome: returned" if tolerated else "outcome: OSError %d" % errno.EFBIG)
    assert text == first_block
    assert lines[:2] == ["文件大小", "20"] and lines[2].startswith("get data error:") and len(lines) == 3


def test_interrupt_during_a_fetch_is_not_replaced_by_the_block_write_failure(tmp_path):
    first_block, text, lines, outcome = limited_attempt(tmp_path, "InterruptedCursor", fail_after=4, upcount=0)
    assert outcome == "outcome: KeyboardInterrupt None"
    assert text == first_block and lines == ["文件大小", "20"]


# ---- a busy engine (503) is waited out ------------------------------------------------


def busy_pauses(fast_sleep):
    return [s for s in fast_sleep.calls if s != 0.5]  # 0.5: the task-log pause


@pytest.mark.parametrize("where", ["statement", "later-page"])
def test_busy_answers_are_waited_out(client, engine, fast_sleep, log, where):
    rows = make_rows(9)
    if where == "statement":  # each POST takes the next plan
        engine.add_query("q", COLS, [Page(fault="busy")], [Page(fault="busy")], paged(rows, 2))
    else:
        pages = paged(rows, 2)
        pages[3].busy = 2
        engine.add_query("q", COLS, pages)
    path = client.get_data_raw_pyhive({}, "q", block_size=4, fetch_size=3)
    text = open(path, encoding="utf-8", newline="").read()
    assert text == oracle(rows) and text.count("id,name") == 1
    assert busy_pauses(fast_sleep) == [0.05, 0.1]
    lines = log()
    assert lines[-1] == "total: 9" and not [line for line in lines if line.startswith(("retry", "get data"))]
    gets = [r["path"] for r in engine.requests if r["method"] == "GET"]
    if where == "statement":
        assert len(engine.statements) == 3
    else:
        assert len(engine.statements) == 1 and gets.count(gets[2]) == 3  # page 3 asked for three times


@pytest.mark.parametrize("where", ["statement", "later-page"])
def test_an_engine_that_stays_busy_fails_after_the_bound(client, engine, fast_sleep, log, where):
    plan = [Page(fault="busy")] if where == "statement" else paged(make_rows(4), 2) + [Page(fault="busy")]
    engine.add_query("q", COLS, plan)
    with pytest.raises(exc.OperationalError, match="503"):
        client.get_data_raw_pyhive({}, "q", block_size=3, fetch_size=2, retry_count=5)
    pauses = busy_pauses(fast_sleep)
    # growing from 50 ms to 1 s, about 30 s in all
    assert pauses[:6] == [0.05, 0.1, 0.2, 0.4, 0.8, 1.0] and set(pauses[5:]) == {1.0}
    assert 29 <= sum(pauses) <= 30
    asked = len(engine.statements) if where == "statement" else sum(
        r["method"] == "GET" and r["path"].endswith("/%d" % (len(plan) - 1)) for r in engine.requests)
    assert asked == len(pauses) + 1
    # one attempt only: a busy engine is not a read time-out
    lines = log()
    assert not [line for line in lines if line.startswith("retry")]
    assert len([line for line in lines if line.startswith("get data error:")]) == 1
    assert not os.path.exists(client.path)

