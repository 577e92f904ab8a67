"""A query through the Presto path against a local engine: the first attempt
stalls past its read time-out and is retried, the second pages through the
result; then the head of the CSV file."""
import os
import sys


def run():
    from kestro.common.defines import BMOBJ
    from kestro.quorel.quorel import ThinkDataQuery
    from servers.presto import BENCH_COLUMNS, Page, PrestoServer, bench_rows, paged

    sql = "select * from ta.orders"
    rows = bench_rows(25)
    server = PrestoServer(stall_seconds=5).start()
    try:
        # columns only on the second answer, pages of 4 rows; the first
        # execution hangs on its third page
        ok = paged(rows, 4, columns_from=1, lead=1)
        server.add_query(sql, BENCH_COLUMNS, ok[:3] + [Page(fault="stall")], ok)
        client = ThinkDataQuery("http://127.0.0.1:1/querySql", "demo-token", ["127.0.0.1", server.port])
        path = client.get_data_raw_pyhive({}, sql, block_size=10, fetch_size=4, retry_count=3, read_timeout=0.5)
        print("engine saw %d executions (user %s, catalog %s, schema %s); cancelled: %s"
              % (server.executions(sql), server.requests[0]["X-Presto-User"],
                 server.requests[0]["X-Presto-Catalog"], server.requests[0]["X-Presto-Schema"],
                 server.cancelled))
        with open(path, encoding="utf-8") as f:
            text = f.read()
        print("result file: %s (%d bytes); head:" % (os.path.basename(path), len(text.encode("utf-8"))))
        print("\n".join(text.split("\n")[:6]))
        BMOBJ.remove_file(path)
    finally:
        server.stop()


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    run()
