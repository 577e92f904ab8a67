"""A private PostgreSQL cluster for the tests and benchmarks.

initdb and pg_ctl into a temporary folder, listening on 127.0.0.1 on a free
port only. PostgreSQL refuses to run as root, so as root the server runs as
the unprivileged user that scripts/setup.sh creates ("kestro-pg").

Two roles: "kestro_admin" (superuser: counts connections, can always get in
through the reserved slots) and "kestro" (an ordinary role with CREATEDB:
what the host service and the probing "other client" use, so that they meet
the connection limit as a service would).
"""
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

RUN_AS = "kestro-pg"
ADMIN = "kestro_admin"
ROLE = "kestro"
DATABASE = "kestro"


def _bin_dir():
    found = os.environ.get("KESTRO_PG_BIN")
    if found:
        return found
    dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda d: int(d.split("/")[-2]))
    if not dirs:
        raise RuntimeError("PostgreSQL server not installed (apt package postgresql; scripts/setup.sh installs it)")
    return dirs[-1]


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgCluster:
    def __init__(self, max_connections=20):
        self.max_connections = max_connections
        self.port = None
        self.folder = None
        self._bin = _bin_dir()

    # ---- life cycle ----------------------------------------------------------------

    def _run(self, *args):
        cmd = [os.path.join(self._bin, args[0])] + list(args[1:])
        if os.geteuid() == 0:
            cmd = ["runuser", "-u", RUN_AS, "--"] + cmd
        done = subprocess.run(cmd, cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d):\n%s%s" % (args[0], done.returncode, done.stdout, self._log_tail()))
        return done.stdout

    def _log_tail(self):
        try:
            with open(os.path.join(self.folder, "server.log")) as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def start(self):
        self.folder = tempfile.mkdtemp(prefix="kestro-pg-")
        if os.geteuid() == 0:
            shutil.chown(self.folder, RUN_AS, RUN_AS)
        data = os.path.join(self.folder, "data")
        self._run("initdb", "-D", data, "-U", ADMIN, "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync")
        self.port = _free_port()
        options = " ".join([
            "-c listen_addresses=127.0.0.1", "-p %d" % self.port, "-c unix_socket_directories=''",
            "-c max_connections=%d" % self.max_connections,
            # a throw-away cluster: durability buys nothing here
            "-c fsync=off", "-c synchronous_commit=off", "-c full_page_writes=off",
        ])
        try:
            self._run("pg_ctl", "-D", data, "-l", os.path.join(self.folder, "server.log"), "-w", "-t", "60",
                      "-o", options, "start")
            with self.admin() as conn, conn.cursor() as cur:
                cur.execute("CREATE ROLE %s LOGIN CREATEDB" % ROLE)
                cur.execute("CREATE DATABASE %s OWNER %s" % (DATABASE, ROLE))
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.folder is None:
            return
        try:
            if os.path.exists(os.path.join(self.folder, "data", "postmaster.pid")):
                self._run("pg_ctl", "-D", os.path.join(self.folder, "data"), "-m", "immediate", "-w", "stop")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- clients -----------------------------------------------------------------------

    def django_database(self, **extra):
        """The DATABASES entry of the host service."""
        entry = {"ENGINE": "django.db.backends.postgresql", "NAME": DATABASE, "USER": ROLE, "HOST": "127.0.0.1",
                 "PORT": str(self.port)}
        entry.update(extra)
        return entry

    def admin(self):
        """A new superuser connection in autocommit mode (close it, or use it in a with block)."""
        import psycopg2

        conn = psycopg2.connect(host="127.0.0.1", port=self.port, user=ADMIN, dbname="postgres", connect_timeout=10)
        conn.autocommit = True
        return _Closing(conn)

    def connect(self, dbname=DATABASE):
        """A new connection as the ordinary role, as another client of the service would make."""
        import psycopg2

        return psycopg2.connect(host="127.0.0.1", port=self.port, user=ROLE, dbname=dbname, connect_timeout=10)


class _Closing:
    """A psycopg2 connection whose with block closes it (psycopg2's own only ends the transaction)."""

    def __init__(self, conn):
        self.conn = conn

    def __enter__(self):
        return self.conn

    def __exit__(self, *exc):
        self.conn.close()

    def __getattr__(self, name):
        return getattr(self.conn, name)


class ConnectionWatch:
    """Counts the cluster's client connections (pg_stat_activity) through one
    superuser connection of its own, which the counts leave out."""

    def __init__(self, cluster):
        self._conn = cluster.admin()
        self._cur = self._conn.cursor()

    def count(self):
        self._cur.execute("SELECT count(*) FROM pg_stat_activity "
                          "WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()")
        return self._cur.fetchone()[0]

    def close(self):
        self._conn.close()


def wait_for_count(watch, expected, timeout=10.0):
    """Polls until watch.count() == expected (a closed connection's server
    process ends a moment after the client hangs up); returns the last count."""
    deadline = time.monotonic() + timeout
    while True:
        n = watch.count()
        if n == expected or time.monotonic() > deadline:
            return n
        time.sleep(0.02)


class Sampler:
    """Calls sample() every `interval` seconds on a thread of its own while
    the with-block runs."""

    def __init__(self, interval):
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def sample(self):
        raise NotImplementedError

    def _run(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(self._interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


class OtherClient(Sampler):
    """Another client of the service while the with-block runs: every
    `interval` seconds it connects as the ordinary role (as the service's
    own requests would), runs a query and hangs up, noting each refusal;
    and the peak of the cluster's client connections, sampled at every
    `peak_interval` seconds through a superuser connection that the
    counts leave out."""

    def __init__(self, cluster, interval, peak_interval=None):
        super().__init__(min(interval, peak_interval or interval))
        self.cluster = cluster
        self.interval = interval
        self.watch = ConnectionWatch(cluster)
        self.refused = []
        self.probes = 0
        self.peak = 0
        self._next_probe = 0.0

    def sample(self):
        self.peak = max(self.peak, self.watch.count())
        if time.monotonic() < self._next_probe:
            return
        self._next_probe = time.monotonic() + self.interval
        self.probes += 1
        try:
            conn = self.cluster.connect()
        except Exception as e:  # what the service's own request would have met
            self.refused.append(str(e))
            return
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT 1")
        finally:
            conn.close()

    def __exit__(self, *exc):
        super().__exit__(*exc)
        self.watch.close()
