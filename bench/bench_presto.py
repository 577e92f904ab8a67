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

The task log's 0.5 s pause per line is switched off (time.sleep) for all of
them: it is the same on both sides and would only hide the difference.
Prints the times, the ratio and the share of kestro's time spent in the
cursor; the two files are checked to hold the same table.
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
        rows = cursor.fetchmany(fetch_size)
    conn.close()
    return n


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - start, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--repeat", type=int, default=2, help="best of N for kestro and the cursor alone")
    args = ap.parse_args()

    data_root = tempfile.mkdtemp(prefix="kestro-bench-presto-")
    os.environ["KESTRO_DATA_ROOT"] = data_root
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)  # "local" mode: the task log is printed
    server = subprocess.Popen([sys.executable, SERVER, "--rows", str(args.rows), "--sql", SQL],
                              stdout=subprocess.PIPE, text=True)
    try:
        started = time.perf_counter()
        line = server.stdout.readline().split()
        if line[:1] != ["ready"]:
            raise SystemExit("engine did not start")
        print("engine ready in %.1f s (%d rows generated and encoded)" % (time.perf_counter() - started, args.rows))

        import pandas

        from kestro.quorel.quorel import ThinkDataQuery

        time.sleep = lambda seconds: None
        client = ThinkDataQuery("http://127.0.0.1:1/querySql", "tok", ["127.0.0.1", line[1]])
        real_stdout, sys.stdout = sys.stdout, open(os.devnull, "w")
        try:
            cursor_runs = [timed(cursor_alone, client, SQL) for _ in range(args.repeat)]
            kestro_runs = [timed(client.get_data_raw_pyhive, {}, SQL) for _ in range(args.repeat)]
            ref_time, ref_path = timed(reference, client, {}, SQL)
        finally:
            sys.stdout.close()
            sys.stdout = real_stdout
        t_cursor, n = min(cursor_runs)
        t_kestro, kestro_path = min(kestro_runs)
        if n != args.rows:
            raise SystemExit("cursor returned %d rows" % n)
        # kestro keeps integers exact where pandas turns a column with nulls
        # into floats; read back, the tables are the same
        same = pandas.read_csv(kestro_path).equals(pandas.read_csv(ref_path))
        print("rows %d, 8 columns, pages of about 1 MB; CSV %.1f MB (kestro) / %.1f MB (reference)"
              % (n, os.path.getsize(kestro_path) / 1e6, os.path.getsize(ref_path) / 1e6))
        print("kestro get_data_raw_pyhive  %7.2f s" % t_kestro)
        print("reference (pandas blocks)   %7.2f s" % ref_time)
        print("PyHive cursor alone         %7.2f s  (%.0f %% of kestro's time)" % (t_cursor, 100 * t_cursor / t_kestro))
        print("kestro beyond the cursor    %7.2f s; reference beyond the cursor %.2f s"
              % (t_kestro - t_cursor, ref_time - t_cursor))
        print("speed-up kestro vs reference: %.2f x" % (ref_time / t_kestro))
        print("same table read back: %s" % same)
        if not same:
            raise SystemExit(1)
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(data_root, ignore_errors=True)


if __name__ == "__main__":
    main()
