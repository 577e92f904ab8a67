"""What the scaling benchmarks share: sizes of folders of random files, each
(size, implementation) run in a fresh child process of the benchmark's own
script, and the table of client CPU per file, server CPU, wall time and
peak RSS, with how kestro grows from the smallest size."""
import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def cpu_of(pid):
    """user + system seconds of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_sizes(script, url, server_pid, sizes, file_size, workers, work):
    """{(files, who): the child's JSON} for who in kestro, reference; each
    child is `script --child who url src run workers server_pid`."""
    rows = {}
    rnd = random.Random(7)
    for n in sizes:
        src = os.path.join(work, "src%d" % n)
        os.makedirs(src)
        for k in range(n):
            with open(os.path.join(src, "part-%05d.csv" % k), "wb") as f:
                f.write(rnd.randbytes(file_size) if hasattr(rnd, "randbytes") else os.urandom(file_size))
        for who in ("kestro", "reference"):
            run = os.path.join(work, "run")
            shutil.rmtree(run, ignore_errors=True)
            os.makedirs(run)
            out = subprocess.run([sys.executable, script, "--child", who, url, src, run, str(workers),
                                  str(server_pid)], stdout=subprocess.PIPE, text=True, check=True).stdout
            rows[n, who] = json.loads(out.strip().splitlines()[-1])
        shutil.rmtree(src)
    return rows


def print_table(rows, sizes, file_size, workers, server):
    print("load average:", open("/proc/loadavg").read().split()[:3])
    print("%d-byte files, %d workers, pauses recorded not waited, %s" % (file_size, workers, server))
    print("%6s %-8s %-9s %8s %12s %12s %8s %14s" % ("files", "dir", "who", "wall s", "client ms/f",
                                                     "server CPU s", "RSS MiB", "kestro/ref CPU"))
    for n in sizes:
        for direction in ("upload", "download"):
            for who in ("kestro", "reference"):
                r = rows[n, who][direction]
                ratio = rows[n, "kestro"][direction]["cpu"] / rows[n, "reference"][direction]["cpu"]
                print("%6d %-8s %-9s %8.2f %12.3f %12.2f %8.0f %14s" % (
                    n, direction, who, r["wall"], 1000 * r["cpu"] / n, r["server_cpu"], rows[n, who]["rss_mib"],
                    "%.2f" % ratio if who == "kestro" else ""))
    base = sizes[0]
    for n in sizes[1:]:
        for direction in ("upload", "download"):
            k0, k1 = rows[base, "kestro"][direction], rows[n, "kestro"][direction]
            print("kestro %s %d -> %d files (x%.1f): client CPU x%.2f, wall x%.2f, RSS %.0f -> %.0f MiB" % (
                direction, base, n, n / base, k1["cpu"] / k0["cpu"], k1["wall"] / k0["wall"],
                rows[base, "kestro"]["rss_mib"], rows[n, "kestro"]["rss_mib"]))


def options(default_workers):
    """The command line: (args, sizes); a child's own line is read by child_line()."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="2000,10000,20000")
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--workers", type=int, default=default_workers)
    args = parser.parse_args()
    return args, [int(s) for s in args.sizes.split(",")]


def child_line():
    """(who, url, src, work, workers, server_pid) in a child, else None."""
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        who, url, src, work, workers, pid = sys.argv[2:8]
        return who, url, src, work, int(workers), int(pid)
    return None


def measure(server_pid, up, down, pauses, src, back):
    """Runs up() then down() (their printing silenced), checks that every
    file came back into `back`, and prints the child's JSON."""
    out = {}
    real_stdout = sys.stdout
    for direction, fn in (("upload", up), ("download", down)):
        sys.stdout = open(os.devnull, "w")
        server_before, cpu_before, start = cpu_of(server_pid), time.process_time(), time.perf_counter()
        fn()
        wall = time.perf_counter() - start
        sys.stdout = real_stdout
        out[direction] = {"wall": wall, "cpu": time.process_time() - cpu_before,
                          "server_cpu": cpu_of(server_pid) - server_before, "pauses": len(pauses)}
    out["rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    if len(os.listdir(back)) != len(os.listdir(src)):
        raise SystemExit("%d of %d files came back" % (len(os.listdir(back)), len(os.listdir(src))))
    print(json.dumps(out))


def scale_main(script, child, default_workers, start_server, server_name, prepare=None):
    """A scaling benchmark's entry: in a child, child(*its line); else the
    folders of each size through a server from start_server() -> (process,
    url), prepare(url) first, and the table."""
    line = child_line()
    if line:
        return child(*line)
    args, sizes = options(default_workers)
    work = tempfile.mkdtemp(prefix="kestro-bench-scale-")
    os.environ["KESTRO_DATA_ROOT"] = os.path.join(work, "mydata")
    proc, url = start_server()
    try:
        if prepare:
            prepare(url)
        rows = run_sizes(os.path.abspath(script), url, proc.pid, sizes, args.size, args.workers, work)
        print_table(rows, sizes, args.size, args.workers, server_name)
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
