"""One big object down through Storvane.download_file, against the plain
boto3 client's download_file and curl, on the same fast object server.

bench/fast_object_server.py (GET with byte ranges, HEAD, sendfile) runs in
its own process and serves one object of --size-mib; each transfer runs in
a fresh child process, which reports its wall time, CPU seconds and peak
RSS. The rows: kestro (Storvane's own client, the managed transfer's
default settings), the plain client with those defaults, the plain client
with each --settings pair of part size (MiB) and threads, and curl. Rounds
take the rows in turn, each round starting one row later, so that a noisy
neighbour hits each alike (and each starts once the previous row's
writes are flushed); min and median
MB/s are printed with the ratio to the plain client and to curl.

    .venv/bin/python bench/bench_s3_big.py [--size-mib 1024] [--rounds 3] [--settings 8x10,16x10,64x10,64x4]
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REGION = "us-east-1"


def child(argv):
    who, url, path = argv[:3]
    if who == "kestro":
        real_sleep = time.sleep
        # the task-log record's pause skipped; the transfer's own sleeps must stay (no busy waits)
        time.sleep = lambda s: None if s == 0.5 else real_sleep(s)
        from kestro.s3.storvane import Storvane

        store = Storvane({}, "ak", "sk", "bench", REGION, endpoint_url=url)
        sys.stdout = open(os.devnull, "w")  # "local" mode prints the record
        start_cpu, start = time.process_time(), time.perf_counter()
        ok = store.download_file(path, "big")
    else:
        import boto3
        from boto3.s3.transfer import TransferConfig

        client = boto3.client("s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name=REGION,
                              endpoint_url=url)
        config = None
        if who != "plain":
            chunk, threads = (int(x) for x in who.split("x"))
            config = TransferConfig(multipart_chunksize=chunk << 20, max_concurrency=threads)
        start_cpu, start = time.process_time(), time.perf_counter()
        client.download_file("bench", "big", path, Config=config)
        ok = True
    wall = time.perf_counter() - start
    sys.stdout = sys.__stdout__
    print(json.dumps({"ok": bool(ok), "wall": wall, "cpu": time.process_time() - start_cpu,
                      "rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def run_curl(url, path):
    start = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["curl", "-sS", "-o", path, url + "/bench/big"], check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return {"ok": True, "wall": time.perf_counter() - start,
            "cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, "rss_mib": after.ru_maxrss / 1024}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(sys.argv[2:])
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--settings", default="8x10,16x10,64x10,64x4")
    args = parser.parse_args()
    size = args.size_mib << 20
    work = tempfile.mkdtemp(prefix="kestro-bench-s3-big-")
    store = os.path.join(work, "store")
    os.makedirs(store)
    with open(os.path.join(store, "bench%2Fbig"), "wb") as f:
        piece = os.urandom(4 << 20)
        for _ in range(size // len(piece)):
            f.write(piece)
        f.write(piece[:size % len(piece)])
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "fast_object_server.py"), store],
                              stdout=subprocess.PIPE, text=True)
    url = "http://127.0.0.1:%s" % server.stdout.readline().split()[1]
    rows = ["kestro", "plain"] + [s for s in args.settings.split(",") if s] + ["curl"]
    results = {r: [] for r in rows}
    try:
        for r in range(args.rounds):
            # each round starts one row later: a row's place (after curl's fast
            # writes, say, still being flushed) is no lasting handicap
            for who in rows[r % len(rows):] + rows[:r % len(rows)]:
                path = os.path.join(work, "down")
                if who == "curl":
                    out = run_curl(url, path)
                else:
                    text = subprocess.run([sys.executable, __file__, "--child", who, url, path],
                                          stdout=subprocess.PIPE, text=True, check=True).stdout
                    out = json.loads(text.strip().splitlines()[-1])
                if not out["ok"] or os.path.getsize(path) != size:
                    raise SystemExit("%s: the download is incomplete" % who)
                os.unlink(path)
                os.sync()  # this row's write-back done before the next row's clock starts
                results[who].append(out)
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)

    def rate(out):
        return size / out["wall"] / 1e6

    plain = statistics.median(rate(o) for o in results["plain"])
    curl = statistics.median(rate(o) for o in results["curl"])
    print("load average:", open("/proc/loadavg").read().split()[:3])
    print("download of %d MiB, %d rounds (settings: part MiB x threads)" % (args.size_mib, args.rounds))
    print("%-8s %9s %9s %8s %8s %8s %8s" % ("who", "min MB/s", "med MB/s", "CPU s", "RSS MiB", "/plain", "/curl"))
    for who in rows:
        rates = [rate(o) for o in results[who]]
        med = statistics.median(rates)
        print("%-8s %9.0f %9.0f %8.2f %8.0f %8.2f %8.2f" % (
            who, min(rates), med, statistics.median(o["cpu"] for o in results[who]),
            max(o["rss_mib"] for o in results[who]), med / plain, med / curl))


if __name__ == "__main__":
    main()
