"""get_data_csv against the straightforward Python export on the same answer.

1,000,000 rows of 8 mixed columns as JSON lines (about 110 MB), served from a
pre-generated file by the local query API in another process, in chunks of
1 MiB. Each run happens in a fresh child process, so its peak RSS is its own.

The reference is the described algorithm in Python: iter_lines, json.loads,
a pandas frame and to_csv per block. Both log progress with BMOBJ.clog,
whose 0.5 s pause is counted separately: the main figures are measured with
time.sleep recording instead of waiting, and one run with real pauses shows
their share end to end.

    .venv/bin/python bench/bench_quorel.py [--rows N]
"""
import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SERVER = os.path.join(ROOT, "tests", "servers", "query_api.py")
RUNS = 2  # each variant's best of this many runs, kestro and reference alike
COLS = ["id", "name", "price", "qty", "active", "note", "tags", "big"]


def make_body(path, nrows):
    rnd = random.Random(7)
    words = ["alpha", "beta", "gamma, delta", 'say "hi"', "名字と名前", "Zürich", "", "x" * 24, "line\nbreak"]
    with open(path, "wb") as f:
        f.write(json.dumps({"return_code": 0, "data": {"headers": COLS}}).encode() + b"\n")
        lines = []
        for i in range(nrows):
            row = [
                i,
                "user_%08d@example.org_%s" % (i, rnd.choice(words)),
                round(rnd.uniform(0, 10000), 2),
                rnd.randint(-5000, 5000),
                rnd.random() < 0.5,
                None if rnd.random() < 0.2 else rnd.choice(words),
                [rnd.randint(0, 99), "t%d" % rnd.randint(0, 9)] if rnd.random() < 0.3 else None,
                rnd.getrandbits(62) if rnd.random() < 0.9 else None,
            ]
            lines.append(json.dumps(row, ensure_ascii=False).encode())
            if len(lines) == 10000:
                f.write(b"\n".join(lines) + b"\n")
                lines = []
        if lines:
            f.write(b"\n".join(lines) + b"\n")


# ---- children ---------------------------------------------------------------

def reference_export(url, token, ctx, sql, block_size):
    """The described algorithm, in Python."""
    import pandas
    import requests

    from kestro.common.defines import BMOBJ
    from kestro.quorel.quorel import ThinkDataQuery

    q = ThinkDataQuery(url, token)
    session = requests.session()
    unique_path = q.gen_local_unique_file()
    BMOBJ.log_error("in query")
    r = session.post(url, data={"token": token, "sql": sql}, stream=True, verify=False, timeout=(300, 600))
    datas, i, cols = [], 0, []
    try:
        for row in r.iter_lines(chunk_size=104857600):
            if not row:
                continue
            if i == 0:
                data = json.loads(row)
                if data["return_code"] == 0:
                    cols = data["data"]["headers"]
                    q.g_to_csv_notmp(unique_path, pandas.DataFrame(columns=cols), index=None)
                else:
                    BMOBJ.log_error("sql error:", data)
                    datas = []
                    break
            else:
                if row.strip():
                    data = json.loads(row)
                    if data is not None:
                        datas.append(data)
            i += 1
            if len(datas) == block_size:
                q.g_to_csv_notmp(unique_path, pandas.DataFrame(data=datas, columns=cols), index=None, mode="a", header=False)
                datas = []
            if i % block_size == 0:
                BMOBJ.clog(ctx, i)
        BMOBJ.clog(ctx, "total: " + str(i))
        if datas:
            q.g_to_csv_notmp(unique_path, pandas.DataFrame(data=datas, columns=cols), index=None, mode="a", header=False)
    except Exception as e:
        BMOBJ.log_error("get data error", e)
    return unique_path


def child(args):
    # "local" mode: clog prints; progress lines go to a null stream
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)
    pauses = []
    if not args.real_pauses:
        time.sleep = pauses.append
    else:
        real = time.sleep

        def sleep(s):
            pauses.append(s)
            real(s)

        time.sleep = sleep
    import logging

    logging.getLogger("django").disabled = True
    from kestro.quorel.quorel import ThinkDataQuery

    sys.stdout = open(os.devnull, "w")
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    if args.which == "kestro":
        path = ThinkDataQuery(args.url, "tok").get_data_csv({}, "select *", block_size=args.block_size)
    else:
        path = reference_export(args.url, "tok", {}, "select *", args.block_size)
    elapsed = time.perf_counter() - t0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(4096)
    os.remove(path)
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    sys.stdout = sys.__stdout__
    print(json.dumps({"cpu": cpu, "elapsed": elapsed, "pauses": len(pauses), "rss_mib": rss, "csv_bytes": size, "head": head.decode("utf-8", "replace")}))


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc):
    import socket

    for _ in range(300):
        if proc.poll() is not None:
            raise RuntimeError("server exited")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


def run_child(which, url, block_size, real_pauses=False):
    cmd = [sys.executable, __file__, "--child", which, "--url", url, "--block-size", str(block_size)]
    if real_pauses:
        cmd.append("--real-pauses")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--child", dest="which")
    parser.add_argument("--url")
    parser.add_argument("--block-size", type=int, default=100000)
    parser.add_argument("--real-pauses", action="store_true")
    parser.add_argument("--skip-reference", action="store_true")
    args = parser.parse_args()
    if args.which:
        child(args)
        return

    os.environ.setdefault("KESTRO_DATA_ROOT", tempfile.mkdtemp(prefix="kestro-bench-"))
    body = os.path.join(tempfile.gettempdir(), "kestro_bench_quorel_%d.jsonl" % args.rows)
    if not os.path.exists(body):
        print("generating %d rows ..." % args.rows, flush=True)
        make_body(body + ".tmp", args.rows)
        os.replace(body + ".tmp", body)
    mb = os.path.getsize(body) / 1e6
    port = free_port()
    server = subprocess.Popen([sys.executable, SERVER, "--body", body, "--port", str(port), "--piece", str(1 << 20)])
    try:
        wait_for_port(port, proc=server)
        url = "http://127.0.0.1:%d/querySql" % port
        print("answer: %d rows, %.1f MB of JSON lines, served in 1 MiB chunks by another process" % (args.rows, mb))
        print("best of %d runs each; CPU is the client process's user + system time" % RUNS)
        results = {}
        for bs in (100000, 10000):
            k = min((run_child("kestro", url, bs) for _ in range(RUNS)), key=lambda r: r["elapsed"])
            results[("kestro", bs)] = k
            print("kestro    block %6d: %6.2f s  %6.1f MB/s  (CPU %.2f s)  peak RSS %6.1f MiB  (%d clog calls, pauses not waited)"
                  % (bs, k["elapsed"], mb / k["elapsed"], k["cpu"], k["rss_mib"], k["pauses"]), flush=True)
        if not args.skip_reference:
            for bs in (100000, 10000):
                r = min((run_child("reference", url, bs) for _ in range(RUNS)), key=lambda r: r["elapsed"])
                results[("reference", bs)] = r
                print("reference block %6d: %6.2f s  %6.1f MB/s  (CPU %.2f s)  peak RSS %6.1f MiB"
                      % (bs, r["elapsed"], mb / r["elapsed"], r["cpu"], r["rss_mib"]), flush=True)
                k = results[("kestro", bs)]
                print("  ratio (reference / kestro) at block %d: %.1fx" % (bs, r["elapsed"] / k["elapsed"]))
                if r["csv_bytes"] != k["csv_bytes"]:
                    print("  CSV sizes differ: reference %d, kestro %d (pandas turns integer columns with nulls into floats)"
                          % (r["csv_bytes"], k["csv_bytes"]))
        real = run_child("kestro", url, 100000, real_pauses=True)
        paused = real["pauses"] * 0.5
        print("kestro    block 100000 with real clog pauses: %.2f s end to end, of which %d x 0.5 s = %.1f s (%.0f%%) are pauses"
              % (real["elapsed"], real["pauses"], paused, 100 * paused / real["elapsed"]))
        print("head of the CSV:")
        print("\n".join(real["head"].splitlines()[:4]))
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
