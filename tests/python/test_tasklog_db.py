"""The task log on the run's host database (SQLite, or the private
PostgreSQL cluster with KESTRO_TEST_DB=postgresql) under the folder
transfers' workers: every line stored, a bounded number of stores at once,
failed connects retried, and no connection left open by a call."""
import gc
import logging
import os
import sqlite3
import threading
import time

import pytest
from django.db import connection, connections
from django.db.utils import OperationalError, ProgrammingError

from kestro.common.defines import BMOBJ, Et
from servers.oss_fixtures import client, oss, oss_server_session, work_folders  # noqa: F401 (fixtures)
from servers.pg_cluster import Sampler
from servers.s3_store import bucket, s3, store  # noqa: F401 (fixtures)

REAL_SLEEP = time.sleep  # some tests replace time.sleep
# The number of files of the transfers: what meets a connection limit on
# PostgreSQL; SQLite has none, and writes one line at a time.
ON_PG = os.environ.get("KESTRO_TEST_DB") == "postgresql"
OSS_FILES, S3_FILES = (300, 200) if ON_PG else (60, 60)


def run_in_thread(fn, *args):
    """fn(*args) on a new thread (one without database connections); its result or error."""
    out = {}

    def body():
        try:
            out["result"] = fn(*args)
        except BaseException as e:  # handed to the test
            out["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join(60)
    assert not t.is_alive()
    if "error" in out:
        raise out["error"]
    return out.get("result")


# ---- the host database, seen from outside Django ----------------------------------------

class SqliteDb:
    """Open connections to the SQLite test database: this process's file
    descriptors on its file."""

    def __init__(self, path):
        self.path = os.path.realpath(path)

    def count(self):
        n = 0
        for fd in os.listdir("/proc/self/fd"):
            try:
                n += os.readlink("/proc/self/fd/" + fd) == self.path
            except OSError:
                pass
        return n

    def probe(self):
        conn = sqlite3.connect(self.path, timeout=60)
        try:
            conn.execute("SELECT count(*) FROM dtask_tasklog").fetchone()
        finally:
            conn.close()

    def close(self):
        pass


class PostgresDb:
    """Client connections of the cluster (pg_stat_activity), counted through
    a superuser connection of its own; probes connect as the ordinary role,
    as another client of the service would."""

    def __init__(self, cluster):
        from servers.pg_cluster import ConnectionWatch

        self.cluster = cluster
        self.watch = ConnectionWatch(cluster)

    def count(self):
        return self.watch.count()

    def probe(self):
        conn = self.cluster.connect("postgres")
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT 1")
        finally:
            conn.close()

    def close(self):
        self.watch.close()


@pytest.fixture
def host_db(task_ctx, host_pg):
    db = PostgresDb(host_pg) if host_pg else SqliteDb(connection.settings_dict["NAME"])
    yield db
    db.close()


@pytest.fixture
def no_gc():
    """A connection left on a finished thread stays open until the collector
    breaks its reference cycles: with the collector off, a leak stays seen."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


def settles_at(db, expected, timeout=15.0):
    """db.count() once it equals `expected` (a closed connection's server
    process ends a moment after the client hangs up), or the last count."""
    deadline = time.monotonic() + timeout
    while True:
        n = db.count()
        if n == expected or time.monotonic() > deadline:
            return n
        REAL_SLEEP(0.02)


class WhileRunning(Sampler):
    """While the block runs, another client connects again and again, and
    the peak of open connections is noted."""

    def __init__(self, db):
        super().__init__(0.02)
        self.db = db
        self.failures = []
        self.probes = 0
        self.peak = 0

    def sample(self):
        self.peak = max(self.peak, self.db.count())
        try:
            self.db.probe()
            self.probes += 1
        except Exception as e:  # what the other client would have seen
            self.failures.append(str(e))


def make_files(folder, count, size=1024):
    os.makedirs(folder)
    names = ["part-%04d.csv" % k for k in range(count)]
    for name in names:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(os.urandom(size))
    return names


def texts(task_ctx):
    return [line[0] for line in task_ctx.lines()]


def paths_of(lines, separator):
    return sorted(line.split(separator)[0] for line in lines if separator in line)


# ---- the folder transfers ----------------------------------------------------------------

class TestFolderTransfers:
    """Default worker counts, a few hundred files, real pauses: every line
    stored, another client gets in during and after, no connection left."""

    def test_oss_upload_then_download(self, client, oss, task_ctx, host_db, no_gc, tmp_path):
        names = make_files(str(tmp_path / "up"), OSS_FILES)
        before = host_db.count()
        with WhileRunning(host_db) as during:
            client.upload_oss(task_ctx, str(tmp_path / "up"), "out/", add_success=True, isdel=False)
        up = texts(task_ctx)
        assert len(up) == OSS_FILES + 3  # summary, one per file, marker, all time
        assert up[0].startswith("upload file info *  file total count %d  file total size " % OSS_FILES)
        assert paths_of(up, " upload status 200, sub time ") == sorted(
            [str(tmp_path / "up" / n) for n in names] + [os.path.join(os.environ["KESTRO_DATA_ROOT"], "_SUCCESS")])
        assert up[-1] == "out/ upload oss all time"
        assert during.failures == [] and during.probes > 0
        assert settles_at(host_db, before) == before
        host_db.probe()

        with WhileRunning(host_db) as during:
            client.download_oss(task_ctx, str(tmp_path / "down"), "out/", isdel=False)
        down = texts(task_ctx)[len(up):]
        assert len(down) == OSS_FILES + 2  # the marker is an object too; all time
        assert paths_of(down, " download status 200, sub time ") == sorted(
            str(tmp_path / "down" / n) for n in names + ["_SUCCESS"])
        assert down[-1] == "out/ download oss all time"
        assert during.failures == [] and during.probes > 0
        assert settles_at(host_db, before) == before
        host_db.probe()

    def test_s3_upload_then_download(self, store, s3, bucket, task_ctx, host_db, no_gc, tmp_path):
        names = make_files(str(tmp_path / "up"), S3_FILES)
        before = host_db.count()
        with WhileRunning(host_db) as during:
            store.upload_folder(str(tmp_path / "up"), "out/run", isdel=False)
        up = texts(task_ctx)
        assert len(up) == S3_FILES + 2
        assert paths_of(up, " upload success, sub time ") == sorted(str(tmp_path / "up" / n) for n in names)
        assert up[-1] == "out/run upload all time"
        assert during.failures == [] and during.probes > 0
        assert settles_at(host_db, before) == before

        with WhileRunning(host_db) as during:
            store.download_folder(str(tmp_path / "down"), "out/run", isdel=False)
        down = texts(task_ctx)[len(up):]
        assert len(down) == S3_FILES + 1
        assert paths_of(down, " download success, sub time ") == sorted(str(tmp_path / "down" / n) for n in names)
        assert during.failures == [] and during.probes > 0
        assert settles_at(host_db, before) == before
        host_db.probe()

    def test_two_transfers_at_once(self, client, oss, store, task_ctx, host_db, no_gc, tmp_path):
        make_files(str(tmp_path / "a"), OSS_FILES)
        make_files(str(tmp_path / "b"), S3_FILES)
        before = host_db.count()
        with WhileRunning(host_db) as during:
            other = threading.Thread(target=store.upload_folder, args=(str(tmp_path / "b"), "b", False, False, 50))
            other.start()
            client.upload_oss(task_ctx, str(tmp_path / "a"), "a/", max_workers=200)
            other.join()
        lines = texts(task_ctx)
        assert sum(" upload status 200, " in t for t in lines) == OSS_FILES
        assert sum(" upload success, " in t for t in lines) == S3_FILES
        assert len(lines) == OSS_FILES + S3_FILES + 4
        assert during.failures == []
        assert settles_at(host_db, before) == before
        host_db.probe()

    def test_failed_transfer_leaves_no_connection(self, client, oss, task_ctx, host_db, no_gc, tmp_path):
        make_files(str(tmp_path / "up"), 100)
        oss.add_fault("status", method="PUT", key="out/part-0050.csv", times=None, status=500)
        before = host_db.count()
        with pytest.raises(Et) as err:
            client.upload_oss(task_ctx, str(tmp_path / "up"), "out/")
        assert err.value.getmsg().startswith("upload fail out/part-0050.csv ")
        # the tasks already running finish on their own, and close theirs
        assert settles_at(host_db, before) == before
        host_db.probe()
        failed = [t for t in texts(task_ctx) if "part-0050.csv" in t]
        assert len(failed) == 4 and "upload oss finally fail" in failed[-1]


    @pytest.mark.parametrize("fails", [False, True])
    def test_connections_a_task_opens_itself_are_closed(self, oss, task_ctx, host_db, no_gc, tmp_path, fails):
        from hostsvc.dtask.models import RunRecord
        from kestro.oss.oss import AliyunOss

        class Querying(AliyunOss):
            def _upload_oss(self, ctx, td_file, local_file):
                RunRecord.objects.count()  # a query of the task's own, on its worker thread
                if fails and td_file.endswith("-0005.csv"):
                    raise Et(2, "refused")
                super()._upload_oss(ctx, td_file, local_file)

        make_files(str(tmp_path / "up"), 20)
        before = host_db.count()
        client = Querying("bucket1", "a", "b", oss.url, retry_time_sleep=0)
        # these connections are the task's own, not the log's: few workers, so they fit the limit
        if fails:
            with pytest.raises(Et):
                client.upload_oss(task_ctx, str(tmp_path / "up"), "out/", max_workers=4)
        else:
            client.upload_oss(task_ctx, str(tmp_path / "up"), "out/", max_workers=4)
        assert settles_at(host_db, before) == before


# ---- the store step ----------------------------------------------------------------------

class Gate:
    """add_records wrapped: counts the stores running at once, each holding
    its turn for `hold` seconds."""

    def __init__(self, real, hold):
        self.real, self.hold = real, hold
        self.lock = threading.Lock()
        self.running = self.peak = 0

    def __call__(self, **kwargs):
        with self.lock:
            self.running += 1
            self.peak = max(self.peak, self.running)
        try:
            REAL_SLEEP(self.hold)
            return self.real(**kwargs)
        finally:
            with self.lock:
                self.running -= 1


class TestBound:
    @pytest.mark.parametrize("limit", [1, 3])
    def test_stores_at_once_never_exceed_the_setting(self, task_ctx, settings, monkeypatch, fast_sleep, limit):
        from hostsvc.dtask.models import RunRecord

        settings.KESTRO_TASKLOG_CONNECTIONS = limit
        gate = Gate(RunRecord.objects.add_records, hold=0.03)
        monkeypatch.setattr(RunRecord.objects, "add_records", gate)
        spent = {}

        def one(k):
            start = time.monotonic()
            BMOBJ.clog(task_ctx, "line", k)
            spent[k] = time.monotonic() - start

        # waiters must not hold the GIL, or the holder of the turn never
        # gets it back and nothing finishes
        threads = [threading.Thread(target=one, args=(k,)) for k in range(24)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert gate.peak == limit
        assert sorted(task_ctx.lines()) == sorted(["line", str(k)] for k in range(24))
        # each call blocked its thread 0.5 s in all: what it waited was taken off its pause
        pauses = fast_sleep.calls
        assert len(pauses) == 24 and all(0 <= p <= 0.5 for p in pauses)
        assert min(pauses) < 0.5 and max(pauses) == 0.5
        assert sum(pauses) + sum(spent.values()) >= 24 * 0.5

    def test_a_busy_log_reuses_connections_and_a_quiet_one_keeps_none(self, task_ctx, settings, monkeypatch,
                                                                      fast_sleep, host_db, no_gc):
        from django.db.backends.signals import connection_created
        from hostsvc.dtask.models import RunRecord

        settings.KESTRO_TASKLOG_CONNECTIONS = 2
        monkeypatch.setattr(RunRecord.objects, "add_records", Gate(RunRecord.objects.add_records, hold=0.02))
        made = []

        def created(sender, connection, **kwargs):
            made.append(connection)

        connection_created.connect(created)
        before = host_db.count()
        try:
            threads = [threading.Thread(target=BMOBJ.clog, args=(task_ctx, k)) for k in range(24)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
        finally:
            connection_created.disconnect(created)
        assert len(task_ctx.lines()) == 24
        # while calls are under way their connections serve the next line: one per turn at most
        assert 1 <= len(made) <= 2
        assert settles_at(host_db, before) == before

    def test_default_bound(self, task_ctx, monkeypatch, fast_sleep):
        from hostsvc.dtask.models import RunRecord

        gate = Gate(RunRecord.objects.add_records, hold=0.05)
        monkeypatch.setattr(RunRecord.objects, "add_records", gate)
        threads = [threading.Thread(target=BMOBJ.clog, args=(task_ctx, k)) for k in range(30)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert gate.peak == 1 and len(task_ctx.lines()) == 30

    @pytest.mark.parametrize("name, value", [
        ("KESTRO_TASKLOG_CONNECTIONS", v) for v in (0, -2, True, 2.5, "4", None)
    ] + [
        ("KESTRO_TASKLOG_WAIT_SECONDS", v) for v in (-1, -0.5, True, "5", None, float("nan"), float("inf"))
    ])
    def test_unusable_setting_is_refused(self, task_ctx, settings, fast_sleep, name, value):
        setattr(settings, name, value)
        with pytest.raises(Et) as err:
            BMOBJ.clog(task_ctx, "x")
        assert err.value.state == 2 and name in err.value.getmsg()
        assert task_ctx.lines() == []


class TestConnections:
    def test_a_thread_keeps_no_connection_the_log_opened(self, task_ctx, fast_sleep):
        def log_and_look():
            BMOBJ.clog(task_ctx, "from a thread")
            return [c.alias for c in connections.all() if c.connection is not None]

        assert run_in_thread(log_and_look) == []
        assert task_ctx.lines() == [["from a thread"]]

    def test_a_connection_open_before_stays_open(self, task_ctx, fast_sleep):
        def log_and_look():
            connection.ensure_connection()
            raw = connection.connection
            BMOBJ.clog(task_ctx, "kept")
            kept = connection.connection is raw
            connection.close()
            return kept

        assert run_in_thread(log_and_look) is True
        assert task_ctx.lines() == [["kept"]]


def connect_failure():
    return OperationalError('connection to server at "127.0.0.1" failed: FATAL:  sorry, too many clients already')


class Failing:
    """add_records that raises the given errors first, then stores; notes
    how many calls ran at once."""

    def __init__(self, real, errors, connect_first=False):
        self.real, self.errors, self.connect_first = real, list(errors), connect_first
        self.calls = self.running = self.peak = 0
        self.lock = threading.Lock()

    def __call__(self, **kwargs):
        with self.lock:
            self.calls += 1
            self.running += 1
            self.peak = max(self.peak, self.running)
            error = self.errors.pop(0) if self.errors else None
        try:
            if error is not None:
                if self.connect_first:
                    connection.ensure_connection()
                raise error
            return self.real(**kwargs)
        finally:
            with self.lock:
                self.running -= 1


def growing(pauses):
    """True when each pause doubles the one before, from 0.05 s, up to 1 s."""
    return all(b == min(2 * a, 1.0) for a, b in zip(pauses, pauses[1:])) and pauses[:1] in ([], [0.05])


class TestRetries:
    def test_failed_connects_are_retried_within_the_pause(self, task_ctx, monkeypatch, fast_sleep, caplog):
        from hostsvc.dtask.models import RunRecord

        failing = Failing(RunRecord.objects.add_records, [connect_failure(), connect_failure()])
        monkeypatch.setattr(RunRecord.objects, "add_records", failing)
        with caplog.at_level(logging.DEBUG, logger="django"):
            run_in_thread(BMOBJ.clog, task_ctx, "late but stored")
        assert failing.calls == 3 and task_ctx.lines() == [["late but stored"]]
        assert [r for r in caplog.records if r.name == "django"] == []
        assert fast_sleep.calls[:2] == [0.05, 0.1] and sum(fast_sleep.calls) == pytest.approx(0.5)

    def test_a_database_full_for_seconds_is_waited_out(self, task_ctx, monkeypatch, fast_sleep, caplog):
        from hostsvc.dtask.models import RunRecord

        failing = Failing(RunRecord.objects.add_records, [connect_failure() for _ in range(10)])
        monkeypatch.setattr(RunRecord.objects, "add_records", failing)
        with caplog.at_level(logging.DEBUG, logger="django"):
            run_in_thread(BMOBJ.clog, task_ctx, "stored after 6.55 s")
        assert failing.calls == 11 and task_ctx.lines() == [["stored after 6.55 s"]]
        assert [r for r in caplog.records if r.name == "django"] == []
        pauses = fast_sleep.calls
        # ten pauses growing to 1 s, then none left of the line's own half second
        assert len(pauses) == 11 and growing(pauses[:10]) and sum(pauses[:10]) == pytest.approx(6.55)
        assert pauses[10] == 0

    def test_waiting_lines_knock_one_at_a_time(self, task_ctx, monkeypatch, fast_sleep, caplog):
        """With one connection per process, a full database is knocked on by
        one line at a time; the others wait their turn, and all are stored."""
        from hostsvc.dtask.models import RunRecord

        failing = Failing(RunRecord.objects.add_records, [connect_failure() for _ in range(12)])
        monkeypatch.setattr(RunRecord.objects, "add_records", failing)
        threads = [threading.Thread(target=BMOBJ.clog, args=(task_ctx, "line %d" % k)) for k in range(8)]
        with caplog.at_level(logging.DEBUG, logger="django"):
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
        assert sorted(task_ctx.lines()) == sorted([["line %d" % k] for k in range(8)])
        assert failing.peak == 1 and failing.calls == 12 + 8
        assert [r for r in caplog.records if r.name == "django"] == []

    @pytest.mark.parametrize("wait", [None, 0, 0.3, 3.2])
    def test_connects_failing_for_good_are_reported(self, task_ctx, settings, monkeypatch, fast_sleep, caplog,
                                                    wait):
        from hostsvc.dtask.models import RunRecord

        if wait is not None:
            settings.KESTRO_TASKLOG_WAIT_SECONDS = wait
        limit = 120 if wait is None else wait
        failing = Failing(RunRecord.objects.add_records, [connect_failure() for _ in range(1000)])
        monkeypatch.setattr(RunRecord.objects, "add_records", failing)
        with caplog.at_level(logging.DEBUG, logger="django"):
            assert run_in_thread(BMOBJ.clog, task_ctx, "lost") is None
        msgs = [r.getMessage() for r in caplog.records if r.name == "django"]
        assert task_ctx.lines() == []
        assert msgs[0] == "clog error ----- :" and msgs[-1] == "exception"  # OperationalError has no _msg
        assert msgs.count("clog error ----- :") == 1 and any("too many clients" in m for m in msgs[2:-1])
        # the tries' own time counts against the limit: the last pause may be cut a little short
        retries, pause = fast_sleep.calls[:-1], fast_sleep.calls[-1]
        assert failing.calls == len(retries) + 1 and growing(retries[:-1])
        assert sum(retries) == pytest.approx(limit, abs=0.05)
        assert pause == pytest.approx(max(0.0, 0.5 - limit), abs=0.05)

    @pytest.mark.parametrize("error, connect_first", [
        (OperationalError("server closed the connection unexpectedly"), True),  # after connecting
        (ProgrammingError("relation does not exist"), False),
        (Et(2, "store down"), False),
    ])
    def test_other_failures_are_reported_at_once(self, task_ctx, monkeypatch, fast_sleep, caplog, error,
                                                 connect_first):
        from hostsvc.dtask.models import RunRecord

        failing = Failing(RunRecord.objects.add_records, [error], connect_first=connect_first)
        monkeypatch.setattr(RunRecord.objects, "add_records", failing)
        with caplog.at_level(logging.DEBUG, logger="django"):
            run_in_thread(BMOBJ.clog, task_ctx, "x")
        msgs = [r.getMessage() for r in caplog.records if r.name == "django"]
        assert failing.calls == 1 and msgs[0] == "clog error ----- :"
        assert fast_sleep.calls == [0.5]

    def test_a_full_database_is_waited_out(self, pg_cluster, task_ctx, monkeypatch, caplog):
        """The real refusal: every ordinary slot taken by other clients, one
        given back during the retry pauses."""
        held = []
        try:
            while True:
                held.append(pg_cluster.connect("postgres"))
        except Exception as e:  # the slots left are the superusers'
            assert "connection slots are reserved" in str(e) or "too many clients" in str(e)
        pauses = []

        def pause(seconds):
            pauses.append(seconds)
            if len(pauses) == 2:  # the second retry finds a free slot
                held.pop().close()
                REAL_SLEEP(0.2)  # the server ends that client's process

        monkeypatch.setattr(time, "sleep", pause)
        try:
            with caplog.at_level(logging.DEBUG, logger="django"):
                run_in_thread(BMOBJ.clog, task_ctx, "stored once a slot is free")
        finally:
            for conn in held:
                conn.close()
        assert task_ctx.lines() == [["stored once a slot is free"]]
        assert [r.getMessage() for r in caplog.records if r.name == "django"] == []
        assert pauses == [0.05, 0.1, pytest.approx(0.35)]

    @pytest.mark.parametrize("in_transaction", [False, True])
    def test_a_locked_sqlite_database_is_waited_out(self, task_ctx, monkeypatch, caplog, in_transaction):
        """Another writer holds the file: a line outside a transaction waits
        until it lets go; inside the caller's transaction, which the lock
        has spoilt, it is reported at once."""
        if ON_PG:
            pytest.skip("SQLite's lock")
        from django.db import transaction

        # the lock is met at once rather than after the host's 60 s
        monkeypatch.setitem(connection.settings_dict["OPTIONS"], "timeout", 0.01)
        locker = sqlite3.connect(connection.settings_dict["NAME"], timeout=5, isolation_level=None,
                                 check_same_thread=False)
        locker.execute("BEGIN EXCLUSIVE")
        pauses = []

        def pause(seconds):
            pauses.append(seconds)
            if len(pauses) == 3 and locker.in_transaction:
                locker.execute("COMMIT")

        def log():
            if not in_transaction:
                return BMOBJ.clog(task_ctx, "stored once the lock is gone")
            try:
                with transaction.atomic():
                    BMOBJ.clog(task_ctx, "stored once the lock is gone")
            finally:
                connection.close()

        monkeypatch.setattr(time, "sleep", pause)
        try:
            with caplog.at_level(logging.DEBUG, logger="django"):
                run_in_thread(log)
        finally:
            if locker.in_transaction:
                locker.execute("COMMIT")
            locker.close()
        msgs = [r.getMessage() for r in caplog.records if r.name == "django"]
        if in_transaction:
            assert task_ctx.lines() == [] and pauses == [0.5]
            assert msgs[0] == "clog error ----- :" and any("database is locked" in m for m in msgs)
        else:
            assert task_ctx.lines() == [["stored once the lock is gone"]] and msgs == []
            assert pauses == [0.05, 0.1, 0.2, pytest.approx(0.15)]
