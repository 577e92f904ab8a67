"""The task log of a fleet of worker processes on one database: every line
of every process stored once, the database's connection limit shared, and
another client of the service never locked out while the fleet's
connections fit.

On PostgreSQL a private cluster with a small max_connections: the workers
and the other client connect as an ordinary role, so the superusers'
reserved slots count. Each worker keeps a connection of its own (a task
reads its record) and the log needs one more: processes x 2 + the other
client. On SQLite, a lock wait short enough that the processes' writes meet
"database is locked"."""
import collections
import os

import pytest

from servers import tasklog_fleet as fleet
from servers.pg_cluster import OtherClient, PgCluster

ON_PG = os.environ.get("KESTRO_TEST_DB") == "postgresql"
MAX_CONNECTIONS = 12
RESERVED = 3  # superuser_reserved_connections
# what the ordinary role may open: the limit less the reserved slots and the watch's own connection
ROOM = MAX_CONNECTIONS - RESERVED - 1
THREADS, LINES = 40, 4


@pytest.fixture(scope="module")
def fleet_db(host_pg, tmp_path_factory):
    if host_pg is None:
        db = fleet.SqliteDatabase(str(tmp_path_factory.mktemp("fleet") / "fleet.sqlite3"), timeout=0.005)
        fleet.create_tables(db)
        yield db
        return
    with PgCluster(max_connections=MAX_CONNECTIONS) as cluster:
        db = fleet.PostgresDatabase(cluster)
        fleet.create_tables(db)
        yield db


def run_fleet(db, processes, lock_id):
    reports = fleet.Fleet(db, processes, lock_id, fleet.log_lines, (THREADS, LINES)).start().join(timeout=300)
    assert [r.get("error") for r in reports.values()] == [None] * processes
    return reports


@pytest.mark.parametrize("processes", [3, 5], ids=["fits", "beyond"])
def test_every_line_stored_once(fleet_db, processes):
    if not ON_PG and processes == 3:
        pytest.skip("SQLite has no connection limit to fit")
    lock_id = 1000 + processes
    other = OtherClient(fleet_db.cluster, 0.02) if ON_PG else None
    if other:
        with other:
            reports = run_fleet(fleet_db, processes, lock_id)
    else:
        reports = run_fleet(fleet_db, processes, lock_id)

    # every line by its text, in its process's step
    stored = collections.Counter((index, tuple(recs)) for index, recs in fleet_db.rows(lock_id))
    expected = collections.Counter((k, (text,)) for k in range(processes)
                                   for text in fleet.expected_lines(k, THREADS, LINES))
    assert stored == expected
    assert [(r["failures"], r["messages"]) for r in reports.values()] == [(0, [])] * processes
    # each worker's lines take at least their pauses: no line skipped its wait
    assert min(r["end"] - r["start"] for r in reports.values()) >= LINES * 0.5

    if other:
        assert other.probes > 10
        assert other.peak <= processes * 2 + 2
        if processes * 2 + 1 <= ROOM:
            assert other.refused == []
        else:  # the database was full: lines had to wait for their turn at it
            assert other.peak >= ROOM
