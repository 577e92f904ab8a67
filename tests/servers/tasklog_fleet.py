"""A fleet of worker processes logging into one database, as the prefork
pool of a host service would, for the fleet test and benchmark.

Each process is started with multiprocessing's "spawn", configures the test
host service (tests/hostsvc) on the given database, opens a connection of
its own (it reads its task record, as a task does, and keeps that
connection), waits until every process is ready, runs its job and reports
its times and the task-log failures its "django" logger received.

The jobs: `log_lines` (threads calling BMOBJ.clog with texts that name the
process, thread and line) and `upload_folder` (one AliyunOss.upload_oss).
"""
import json
import logging
import os
import sqlite3
import sys
import threading
import time
import traceback

FAILURE_LINE = "clog error ----- :"
_PAUSE = 0.05  # between a worker's tries of its own first connection


# ---- the databases --------------------------------------------------------------------

class SqliteDatabase:
    """A SQLite file of its own; `timeout` is how long a writer waits for
    another's lock before SQLite raises "database is locked"."""

    def __init__(self, path, timeout):
        self.django = {"ENGINE": "django.db.backends.sqlite3", "NAME": path, "OPTIONS": {"timeout": timeout}}

    def rows(self, lock_id):
        conn = sqlite3.connect(self.django["NAME"], timeout=60)
        try:
            found = conn.execute("SELECT task_index, recs FROM dtask_tasklog WHERE lock_id = ?", (lock_id,)).fetchall()
        finally:
            conn.close()
        return [(index, json.loads(recs)) for index, recs in found]


class PostgresDatabase:
    """The database of a PgCluster (servers/pg_cluster.py); the workers
    connect as its ordinary role, rows are read as its superuser."""

    def __init__(self, cluster):
        self.cluster = cluster
        self.django = cluster.django_database()

    def rows(self, lock_id):
        import psycopg2

        conn = psycopg2.connect(host="127.0.0.1", port=self.cluster.port, user="kestro_admin",
                                dbname=self.django["NAME"], connect_timeout=10)
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT task_index, recs FROM dtask_tasklog WHERE lock_id = %s", (lock_id,))
                return cur.fetchall()
        finally:
            conn.close()


# ---- in the worker processes ------------------------------------------------------------

def _setup_django(database, settings):
    os.environ["DJANGO_SETTINGS_MODULE"] = "hostsvc.settings"
    import django
    from django.conf import settings as host

    host.DATABASES = {"default": dict(database)}
    host.LOGGING = {"version": 1, "disable_existing_loggers": False}
    for name, value in (settings or {}).items():
        setattr(host, name, value)
    django.setup()


def _create_tables(database):
    _setup_django(database, None)
    from django.core.management import call_command

    call_command("migrate", run_syncdb=True, verbosity=0)


class _Failures(logging.Handler):
    """Counts the task-log lines reported as lost; keeps the first error messages."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.count = 0
        self.messages = []

    def emit(self, record):
        self.count += record.getMessage() == FAILURE_LINE
        if len(self.messages) < 20:
            self.messages.append(record.getMessage())


def _worker(database, settings, kestro_path, index, lock_id, job, job_args, ready, results):
    out = {"index": index}
    try:
        if kestro_path:
            sys.path.insert(0, kestro_path)
        _setup_django(database, settings)
        from django.db import connection

        from hostsvc.dtask.models import RunRecord

        failures = _Failures()
        logging.getLogger("django").addHandler(failures)
        deadline = time.monotonic() + 60
        while True:  # the task's own connection, kept until the process ends
            try:
                RunRecord.objects.filter(id=lock_id).first()
                break
            except Exception:
                connection.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(_PAUSE)
        import kestro.common.defines  # noqa: F401 (loaded before the start, as in a running service)

        ready.wait(120)
        ctx = {"task_type": "dtask", "trid": lock_id, "index": index}
        out["start"] = time.time()
        job(ctx, *job_args)
        out["end"] = time.time()
        out["failures"] = failures.count
        out["messages"] = failures.messages
    except BaseException:
        out["error"] = traceback.format_exc()
        ready.abort()  # the parent need not wait for a worker that will never be ready
    results.put(out)


def log_lines(ctx, threads, lines):
    """`threads` threads, each logging `lines` lines "p<index> t<thread> n<line>"."""
    from kestro.common.defines import BMOBJ

    def one(t):
        for n in range(lines):
            BMOBJ.clog(ctx, "p%d t%d n%d" % (ctx["index"], t, n))

    workers = [threading.Thread(target=one, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def expected_lines(index, threads, lines):
    return ["p%d t%d n%d" % (index, t, n) for t in range(threads) for n in range(lines)]


def upload_folder(ctx, url, folder, prefix):
    """One upload_oss of `folder` with the defaults (200 workers), the marker
    written, the source kept."""
    from kestro.oss.oss import AliyunOss

    AliyunOss("bench", "a", "b", url, retry_time_sleep=0).upload_oss(ctx, folder, prefix, add_success=True,
                                                                    isdel=False)


# ---- in the parent ---------------------------------------------------------------------

def _context():
    import multiprocessing

    return multiprocessing.get_context("spawn")


def create_tables(database):
    """The host service's tables in `database`, made by a process of its own."""
    proc = _context().Process(target=_create_tables, args=(database.django,))
    proc.start()
    proc.join(300)
    if proc.exitcode != 0:
        raise RuntimeError("creating the tables failed (exit %s)" % proc.exitcode)


class Fleet:
    """`processes` workers on `database`, each running job(ctx, *job_args)
    with ctx naming record `lock_id` and step = its index. start() returns
    once every worker is ready (its own connection open) and has been let
    go at the same instant; join() waits for them and returns their
    reports, by index. kestro_path, when given, is put first on the
    workers' sys.path (another build of kestro); settings are set on the
    host settings."""

    def __init__(self, database, processes, lock_id, job, job_args=(), settings=None, kestro_path=None):
        ctx = _context()
        self.ready = ctx.Barrier(processes + 1)
        self.results = ctx.Queue()
        self.procs = [
            ctx.Process(target=_worker, args=(database.django, settings, kestro_path, k, lock_id, job, job_args,
                                              self.ready, self.results))
            for k in range(processes)
        ]

    def start(self):
        for p in self.procs:
            p.start()
        try:
            self.ready.wait(300)
        except BaseException:
            self.kill()
            raise
        return self

    def join(self, timeout=600):
        reports = {}
        deadline = time.monotonic() + timeout
        try:
            while len(reports) < len(self.procs):
                report = self.results.get(timeout=max(1.0, deadline - time.monotonic()))
                reports[report["index"]] = report
            for p in self.procs:
                p.join(max(1.0, deadline - time.monotonic()))
        finally:
            self.kill()  # at once when interrupted or out of time
        return reports

    def kill(self):
        for p in self.procs:
            if p.is_alive():
                p.kill()
                p.join()
