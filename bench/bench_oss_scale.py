"""upload_oss then download_oss of 2,000, 10,000 and 20,000 files of 16 KiB,
kestro against the plain-SDK loop of bench_oss.py, with every task-log
pause recorded rather than waited (time.sleep replaced, as the tests do).

Each (size, implementation) runs in a fresh child process against the
suite's OSS server (its own process), so the peak RSS is the run's own. It
prints per direction the wall time, the client's CPU seconds per file, the
server's CPU seconds, the peak RSS, and kestro / reference of the client's
CPU per file; then how kestro's time and RSS grow from the smallest size.

    .venv/bin/python bench/bench_oss_scale.py [--sizes 2000,10000,20000] [--size 16384] [--workers 200]
"""
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
from oss_test_server import start_oss_server  # noqa: E402


def cpu_of(pid):
    """user + system seconds of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def child(who, url, src, work, workers, server_pid):
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)
    pauses = []
    time.sleep = pauses.append  # recorded, not waited
    import bench_oss

    if who == "kestro":
        from kestro.oss.oss import AliyunOss

        client = AliyunOss("bench", "a", "b", url, retry_time_sleep=0)
        up = lambda: client.upload_oss({}, src, "s/", False, False, workers, False, False)  # noqa: E731
        down = lambda: client.download_oss({}, os.path.join(work, "d"), "s/", workers, False, False)  # noqa: E731
    else:
        client = bench_oss.ReferenceOss("bench", url)
        up = lambda: client.upload_oss({}, src, "s/", workers)  # noqa: E731
        down = lambda: client.download_oss({}, os.path.join(work, "d"), "s/", workers)  # noqa: E731
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
    assert len(os.listdir(os.path.join(work, "d"))) == len(os.listdir(src))
    print(json.dumps(out))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        who, url, src, work, workers, pid = sys.argv[2:8]
        return child(who, url, src, work, int(workers), int(pid))
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="2000,10000,20000")
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--workers", type=int, default=200)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    import bench_oss

    work = tempfile.mkdtemp(prefix="kestro-bench-scale-")
    os.environ["KESTRO_DATA_ROOT"] = os.path.join(work, "mydata")
    proc, url = start_oss_server()
    rows = {}
    try:
        rnd = random.Random(7)
        for n in sizes:
            src = os.path.join(work, "src%d" % n)
            os.makedirs(src)
            for k in range(n):
                with open(os.path.join(src, "part-%05d.csv" % k), "wb") as f:
                    f.write(rnd.randbytes(args.size))
            for who in ("kestro", "reference"):
                run = os.path.join(work, "run")
                shutil.rmtree(run, ignore_errors=True)
                os.makedirs(run)
                out = subprocess.run([sys.executable, __file__, "--child", who, url, src, run, str(args.workers),
                                      str(proc.pid)], stdout=subprocess.PIPE, text=True, check=True).stdout
                rows[n, who] = json.loads(out.strip().splitlines()[-1])
            shutil.rmtree(src)
        print("load average:", open("/proc/loadavg").read().split()[:3])
        print("%d-byte files, %d workers, pauses recorded not waited" % (args.size, args.workers))
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
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
