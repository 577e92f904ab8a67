"""The task log across a fleet of worker processes on one PostgreSQL.

N processes (multiprocessing "spawn", the prefork pool of a service), each
holding a connection of its own (it read its task record) and running one
upload_oss of 200 files with the default 200 workers, all let go at the
same instant, against a private PostgreSQL cluster (tests/servers/
pg_cluster.py) whose workers connect as an ordinary role; the suite's OSS
server (tests/servers/oss_server.py) runs in processes of its own. Another
client connects every 0.5 s as the service's own requests would.

Per run it prints: the lines lost (stored against written: the summary, one
per file, the marker and the closing line), the lines reported lost on the
workers' "django" loggers, the other client's refusals, the peak of client
connections against N x 2 + 2, and the wall time (first start to last end)
against the floor: four task-log pauses of 0.5 s that nothing overlaps
(summary, the files' round, marker, closing line).

With --old SITE, the same runs are made first with another build of kestro
(a folder holding its installed `kestro` package, e.g. main's) with its
KESTRO_TASKLOG_CONNECTIONS of 10, at the N of --old-processes, and the
ratio of wall times is printed.

    .venv/bin/python bench/bench_tasklog_fleet.py [--processes 4,8,16,24,32] [--small 24]
        [--old SITE] [--old-processes 4,8] [--rounds 1] [--files 200]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
from servers import tasklog_fleet as fleet  # noqa: E402 (the suite's servers are beside the tests)
sys.path.insert(0, HERE)
from oss_test_server import start_oss_server  # noqa: E402
from servers.pg_cluster import OtherClient, PgCluster, wait_for_count, ConnectionWatch  # noqa: E402

PAUSE = 0.5
OSS_SERVERS = 4


def start_oss_servers(count):
    procs, urls = [], []
    for _ in range(count):
        proc, url = start_oss_server()
        procs.append(proc)
        urls.append(url)
    return procs, urls


def upload_job(ctx, urls, root, prefix):
    """Process k uploads root/p<k> through server k mod len(urls)."""
    k = ctx["index"]
    fleet.upload_folder(ctx, urls[k % len(urls)], os.path.join(root, "p%d" % k), "%sp%d/" % (prefix, k))


class Clusters:
    """One cluster per max_connections, started when first wanted."""

    def __init__(self):
        self.running = {}

    def get(self, max_connections):
        if max_connections not in self.running:
            cluster = PgCluster(max_connections=max_connections).start()
            db = fleet.PostgresDatabase(cluster)
            fleet.create_tables(db)
            self.running[max_connections] = db
        return self.running[max_connections]

    def stop(self):
        for db in self.running.values():
            db.cluster.stop()


def run(db, processes, files, urls, root, lock_id, build, kestro_path, settings):
    watch = ConnectionWatch(db.cluster)
    try:
        wait_for_count(watch, 0, timeout=30)  # the previous run's server processes have ended
    finally:
        watch.close()
    started = fleet.Fleet(db, processes, lock_id, upload_job, (urls, root, "r%d/" % lock_id), settings=settings,
                          kestro_path=kestro_path)
    with OtherClient(db.cluster, 0.5, peak_interval=0.01) as other:
        reports = started.start().join(timeout=900)
    errors = [r["error"] for r in reports.values() if "error" in r]
    if errors:
        raise RuntimeError("a worker failed:\n" + errors[0])
    per_file = files + 3
    stored = [0] * processes
    for index, recs in db.rows(lock_id):
        stored[index] += 1
    lost = sum(max(0, per_file - n) for n in stored)
    extra = sum(max(0, n - per_file) for n in stored)
    wall = max(r["end"] for r in reports.values()) - min(r["start"] for r in reports.values())
    return {
        "build": build, "N": processes, "max_connections": db.cluster.max_connections,
        "lines": per_file * processes, "lost": lost, "extra": extra,
        "reported": sum(r["failures"] for r in reports.values()),
        "refused": len(other.refused), "probes": other.probes, "peak": other.peak, "wall": wall,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--processes", default="4,8,16,24,32")
    parser.add_argument("--small", type=int, default=24, help="N of the run with max_connections 40 (0: none)")
    parser.add_argument("--old", help="site folder of another kestro build, run with KESTRO_TASKLOG_CONNECTIONS 10")
    parser.add_argument("--old-processes", default="4,8")
    parser.add_argument("--rounds", type=int, default=1, help="runs at N <= 8 (the best wall time counts)")
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--size", type=int, default=4096)
    args = parser.parse_args()
    counts = [int(n) for n in args.processes.split(",") if n]
    old_counts = [int(n) for n in args.old_processes.split(",") if n] if args.old else []

    work = tempfile.mkdtemp(prefix="kestro-bench-fleet-")
    os.environ["KESTRO_DATA_ROOT"] = os.path.join(work, "mydata")  # the workers' marker files
    os.environ["KESTRO_TEST_DB"] = "postgresql"
    root = os.path.join(work, "src")
    for k in range(max(counts + old_counts + [args.small])):
        os.makedirs(os.path.join(root, "p%d" % k))
        for f in range(args.files):
            with open(os.path.join(root, "p%d" % k, "part-%04d.csv" % f), "wb") as out:
                out.write(os.urandom(args.size))

    procs, urls = start_oss_servers(OSS_SERVERS)
    clusters = Clusters()
    rows = []
    lock_ids = iter(range(1, 10 ** 6))

    def one(build, n, max_connections, kestro_path, settings):
        best = None
        for _ in range(args.rounds if n <= 8 else 1):
            row = run(clusters.get(max_connections), n, args.files, urls, root, next(lock_ids), build,
                      kestro_path, settings)
            if best is None or row["wall"] < best["wall"]:
                best = row
        rows.append(best)
        print_row(best, flush=True)

    try:
        print("load before: %s" % open("/proc/loadavg").read().strip())
        print_header()
        for n in counts:
            if n in old_counts:  # side by side, so that both meet the same load
                one("old, bound 10", n, 100, os.path.abspath(args.old), {"KESTRO_TASKLOG_CONNECTIONS": 10})
            one("this", n, 100, None, None)
        for n in old_counts:
            if n not in counts:
                one("old, bound 10", n, 100, os.path.abspath(args.old), {"KESTRO_TASKLOG_CONNECTIONS": 10})
        if args.small:
            one("this", args.small, 40, None, None)
        print("load after: %s" % open("/proc/loadavg").read().strip())
        for n in old_counts:
            old = [r for r in rows if r["N"] == n and r["build"].startswith("old")]
            new = [r for r in rows if r["N"] == n and r["build"] == "this" and r["max_connections"] == 100]
            if old and new:
                print("N=%d  wall this / old: %.2f" % (n, new[0]["wall"] / old[0]["wall"]))
    finally:
        clusters.stop()
        for p in procs:
            p.terminate()
            p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


FLOOR = 4 * PAUSE


def print_header():
    print("%-14s %4s %5s | %-15s %8s | %-10s | %-11s | %7s %6s %6s" % (
        "build", "N", "max_c", "lines lost", "reported", "refused", "peak (lim)", "wall s", "floor", "ratio"))


def print_row(r, flush=False):
    lost = "%d of %d" % (r["lost"], r["lines"]) + (" +%d" % r["extra"] if r["extra"] else "")
    print("%-14s %4d %5d | %-15s %8d | %-10s | %-11s | %7.2f %6.2f %6.2f" % (
        r["build"], r["N"], r["max_connections"], lost, r["reported"], "%d of %d" % (r["refused"], r["probes"]),
        "%d (%d)" % (r["peak"], 2 * r["N"] + 2), r["wall"], FLOOR, r["wall"] / FLOOR), flush=flush)


if __name__ == "__main__":
    main()
