"""Shared fixtures: run modes, the task log, pauses, and local servers."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pytest

# Private "/mydata" for the whole run; the default is checked in a subprocess.
_DATA_ROOT = tempfile.mkdtemp(prefix="kestro-data-")
os.environ["KESTRO_DATA_ROOT"] = _DATA_ROOT


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=15.0, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("server exited with %s" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("port %d did not open" % port)


@pytest.fixture(scope="session")
def data_root():
    """The folder that stands for "/mydata" in this run."""
    yield _DATA_ROOT
    shutil.rmtree(_DATA_ROOT, ignore_errors=True)


@pytest.fixture
def local_mode(monkeypatch):
    """The host settings unconfigured: get_current_env() answers "local"."""
    from django.conf import settings
    from django.utils.functional import empty

    saved = settings._wrapped
    monkeypatch.delenv("DJANGO_SETTINGS_MODULE", raising=False)
    settings._wrapped = empty
    try:
        yield
    finally:
        settings._wrapped = saved


class SleepRecorder:
    def __init__(self):
        self.calls = []

    def __call__(self, seconds):
        self.calls.append(seconds)


@pytest.fixture
def fast_sleep(monkeypatch):
    """time.sleep replaced by a recorder: every pause is noted, none waits."""
    rec = SleepRecorder()
    monkeypatch.setattr(time, "sleep", rec)
    return rec


@pytest.fixture
def task_ctx(transactional_db):
    """A task record in the host service and the ctx that names it.

    Committed (transactional_db), so worker threads see it and can store
    lines; read the lines back with task_ctx.lines().
    """
    import datetime

    from hostsvc.dtask.models import RunRecord
    from hostsvc.records import read_records

    rec = RunRecord.objects.create(create_time=datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc))

    class Ctx(dict):
        record = rec

        def lines(self):
            return read_records(rec.id, 0)

    return Ctx(task_type="dtask", trid=rec.id, index=0)


# ---- the host database -------------------------------------------------------------

HOST_DB = os.environ.get("KESTRO_TEST_DB", "sqlite")


@pytest.fixture(scope="session")
def host_pg():
    """The private PostgreSQL cluster of a run on PostgreSQL
    (KESTRO_TEST_DB=postgresql), stopped at the end; None on SQLite."""
    if HOST_DB != "postgresql":
        yield None
        return
    from servers.pg_cluster import PgCluster

    # low, so that a leak or an unbounded fan-out meets the limit at once
    with PgCluster(max_connections=30) as cluster:
        yield cluster


@pytest.fixture(scope="session")
def pg_cluster(host_pg):
    """host_pg, for tests that only make sense on PostgreSQL."""
    if host_pg is None:
        pytest.skip("host database is %s (KESTRO_TEST_DB=postgresql runs this)" % HOST_DB)
    return host_pg


_USES_HOST_DB = {"task_ctx", "db", "transactional_db", "host_pg", "pg_cluster"}


def pytest_collection_modifyitems(config, items):
    """On PostgreSQL, only the tests that reach the host database run: the
    others cannot differ from their run on SQLite."""
    if HOST_DB != "postgresql":
        return
    keep, drop = [], []
    for item in items:
        uses = _USES_HOST_DB & set(getattr(item, "fixturenames", ())) or item.get_closest_marker("django_db")
        (keep if uses else drop).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep


@pytest.fixture(scope="session")
def django_db_modify_db_settings(django_db_modify_db_settings_parallel_suffix, host_pg):
    """Points the host service at the private cluster before pytest-django
    creates the test database."""
    if host_pg is not None:
        from django.conf import settings

        settings.DATABASES["default"].update(host_pg.django_database())


@pytest.fixture(scope="session")
def moto_endpoint():
    """A moto_server on 127.0.0.1 for the whole session: its base URL."""
    port = free_port()
    exe = os.path.join(os.path.dirname(sys.executable), "moto_server")
    proc = subprocess.Popen(
        [exe, "-H", "127.0.0.1", "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    try:
        wait_for_port(port, proc=proc)
        yield "http://127.0.0.1:%d" % port
    finally:
        proc.terminate()
        proc.wait(timeout=10)
