"""The Presto path: kestro's get_data_raw_pyhive against the reference.

The local engine (tests/servers/presto.py) runs in another process and
serves 2,000,000 pre-generated rows of 8 mixed columns (integers, floats,
texts that need quoting, booleans, nulls) in pages of about 1 MB. In this
process, one after the other on the same query:

- kestro: ThinkDataQuery.get_data_raw_pyhive (rows from PyHive's fetchmany
  formatted in C++, one block appended at a time);
- reference: the same PyHive cursor and loop in Python, a pandas frame per
  block written with to_csv;
- cursor alone: the same cursor's fetchmany loop with nothing written, the
  floor that every client of PyHive pays.

Each runs in a process of its own. The task log's 0.5 s pause per line is
switched off (time.sleep) for all of them: it is the same on both sides and
would only hide the difference. Prints the times, peak memory, the ratio and
the share of kestro's time spent in the cursor; the two files are checked to
hold the same table. --rounds N alternates the cursor alone and kestro N
times and prints the min and median of each and of their ratio.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(os.path.dirname(HERE), "tests", "servers", "presto.py")
SQL = "select * from bench"


def connect(host, port, read_timeout=300):
    from pyhive import presto

    return presto.connect(host=host, port=int(port), username="ta", catalog="hive", schema="ta",
                          requests_kwargs={"timeout": (30, read_timeout), "stream": True, "verify": False})


def reference(client, ctx, sql, block_size=100000, fetch_size=10000, read_timeout=300):
    """One attempt as plain Python: pandas frames per block, to_csv."""
    import pandas

    from kestro.common.defines import BMOBJ

    path = client.gen_local_unique_file()
    BMOBJ.log_error("in query")
    conn = connect(*client.hive_conn_info, read_timeout=read_timeout)
    try:
        cursor = conn.cursor()
        cursor.execute(sql)
        BMOBJ.clog(ctx, "文件大小")
        cols = [c[0] for c in cursor.description]
        pandas.DataFrame(columns=cols).to_csv(path, index=None)
        datas, i = [], 0
        rows = cursor.fetchmany(fetch_size)
        while rows:
            for row in rows:
                if row:
                    datas.append(row)
                    i += 1
                    if len(datas) == block_size:
                        pandas.DataFrame(data=datas, columns=cols).to_csv(path, index=None, mode="a", header=False)
                        datas = []
                    if i % block_size == 0:
                        BMOBJ.clog(ctx, i)
            rows = cursor.fetchmany(fetch_size)
        BMOBJ.clog(ctx, "total: " + str(i))
        if datas:
            pandas.DataFrame(data=datas, columns=cols).to_csv(path, index=None, mode="a", header=False)
    finally:
        conn.close()
    return path


def cursor_alone(client, sql, fetch_size=10000):
    conn = connect(*client.hive_conn_info)
    cursor = conn.cursor()
    cursor.execute(sql)
    [c[0] for c in cursor.description]
    n = 0
    rows = cursor.fetchmany(fetch_size)
    while rows:
        n += sum(1 for r in rows if r)
        # let the batch go before the next fetch, whose rows then take its
        # warm memory (kestro does the same): the floor stays a floor
        rows = None
        rows = cursor.fetchmany(fetch_size)
    conn.close()
    return n


def timed(fn, *args):
    start, cpu = time.perf_counter(), time.thread_time()
    out = fn(*args)
    return time.perf_counter() - start, time.thread_time() - cpu, out


def child(variant, port, repeat):
    """One variant in a fresh process: prints seconds, peak RSS and the
    result (a path or a row count) as JSON."""
    import json
    import resource

    from kestro.quorel.quorel import ThinkDataQuery

    time.sleep = lambda seconds: None
    client = ThinkDataQuery("http://127.0.0.1:1/querySql", "tok", ["127.0.0.1", port])
    fn, args = {
        "cursor": (cursor_alone, (client, SQL)),
        "kestro": (client.get_data_raw_pyhive, ({}, SQL)),
        "reference": (reference, (client, {}, SQL)),
    }[variant]
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    real_stdout, sys.stdout = sys.stdout, open(os.devnull, "w")
    try:
        seconds, thread_cpu, out = min(timed(fn, *args) for _ in range(repeat))
    finally:
        sys.stdout.close()
        sys.stdout = real_stdout
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "thread_cpu": thread_cpu, "out": out, "rss_mb": peak / 1024,
                      "growth_mb": (peak - base) / 1024}))


def run_child(variant, port, repeat):
    import json

    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", variant, "--port", str(port),
                           "--repeat", str(repeat)], stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--repeat", type=int, default=2, help="best of N for kestro and the cursor alone")
    ap.add_argument("--rounds", type=int, default=1,
                    help="runs of the cursor alone and kestro, alternating, each in a new process; on a shared "
                         "machine the ratio's min and median over several rounds say more than one run")
    ap.add_argument("--child")
    ap.add_argument("--port")
    args = ap.parse_args()
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)  # "local" mode: the task log is printed
    if args.child:
        return child(args.child, args.port, args.repeat)

    data_root = tempfile.mkdtemp(prefix="kestro-bench-presto-")
    os.environ["KESTRO_DATA_ROOT"] = data_root
    server = subprocess.Popen([sys.executable, SERVER, "--rows", str(args.rows), "--sql", SQL],
                              stdout=subprocess.PIPE, text=True)
    try:
        started = time.perf_counter()
        line = server.stdout.readline().split()
        if line[:1] != ["ready"]:
            raise SystemExit("engine did not start")
        port = line[1]
        print("engine ready in %.1f s (%d rows generated and encoded)" % (time.perf_counter() - started, args.rows))
        # each in its own process, so that peak memory and the collector's
        # state are its own
        curs, kess = [], []
        for k in range(args.rounds):
            curs.append(run_child("cursor", port, args.repeat))
            kess.append(run_child("kestro", port, args.repeat))
            if k + 1 < args.rounds:
                os.remove(kess[-1]["out"])
        cur = min(curs, key=lambda r: r["seconds"])
        kes = min(kess, key=lambda r: r["seconds"])
        kes["out"] = kess[-1]["out"]
        ref = run_child("reference", port, 1)
        if cur["out"] != args.rows:
            raise SystemExit("cursor returned %d rows" % cur["out"])

        import pandas

        # kestro keeps integers exact where pandas turns a column with nulls
        # into floats; read back, the tables are the same
        same = pandas.read_csv(kes["out"]).equals(pandas.read_csv(ref["out"]))
        t_cur, t_kes, t_ref = cur["seconds"], kes["seconds"], ref["seconds"]
        print("rows %d, 8 columns, pages of about 1 MB; CSV %.1f MB (kestro) / %.1f MB (reference)"
              % (args.rows, os.path.getsize(kes["out"]) / 1e6, os.path.getsize(ref["out"]) / 1e6))
        print("                             time      calling thread's CPU   peak RSS (growth during the call)")
        for name, r in [("kestro get_data_raw_pyhive", kes), ("reference (pandas blocks)", ref),
                        ("PyHive cursor alone", cur)]:
            print("%-27s %7.2f s  %7.2f s              %6.0f MB (+%.0f MB)"
                  % (name, r["seconds"], r["thread_cpu"], r["rss_mb"], r["growth_mb"]))
        print("kestro / cursor alone: %.2f x in time, %.2f x in the calling thread's CPU (kestro formats and "
              "writes on a second thread while the cursor fetches)" % (t_kes / t_cur, kes["thread_cpu"] / cur["thread_cpu"]))
        if args.rounds > 1:
            import statistics

            def spread(values):
                return "min %.3f, median %.3f" % (min(values), statistics.median(values))

            print("over %d rounds: cursor alone %s s; kestro %s s; kestro / cursor alone in time: each round %s, "
                  "best against best %.3f; in the calling thread's CPU: each round %s"
                  % (args.rounds, spread([r["seconds"] for r in curs]), spread([r["seconds"] for r in kess]),
                     spread([k["seconds"] / c["seconds"] for c, k in zip(curs, kess)]), t_kes / t_cur,
                     spread([k["thread_cpu"] / c["thread_cpu"] for c, k in zip(curs, kess)])))
        print("time inside the PyHive cursor: %.0f %% of kestro's" % (100 * t_cur / t_kes))
        if t_kes - t_cur > 0.01 * t_cur:
            print("beyond the cursor: kestro %.2f s, reference %.2f s (%.1f x)"
                  % (t_kes - t_cur, t_ref - t_cur, (t_ref - t_cur) / (t_kes - t_cur)))
        else:
            print("beyond the cursor: kestro none measurable (the cursor's own time varies more), reference %.2f s"
                  % (t_ref - t_cur))
        print("speed-up kestro vs reference: %.2f x (at most %.2f x while the cursor costs what it does)"
              % (t_ref / t_kes, t_ref / t_cur))
        print("same table read back: %s" % same)
        if not same:
            raise SystemExit(1)
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(data_root, ignore_errors=True)


if __name__ == "__main__":
    main()
