"""A small query exported through the HTTP query API of a local server."""
import os


def run():
    from servers.query_api import Answer, QueryApiServer, header_line, row_line

    from kestro.common.defines import BMOBJ
    from kestro.quorel.quorel import ThinkDataQuery

    rows = [
        [1, "Zürich", 9478.65, True, None, 2**70],
        [2, 'say "hi", twice', 1e-05, False, ["a", 1], -3],
        [3, "名字", 1e16, None, {"k": None}, 0],
    ] + [[i, "row %d" % i, i / 4, i % 2 == 0, None, i * 1000] for i in range(4, 13)]
    answer = Answer([header_line(["id", "city", "price", "ok", "extra", "big"])] + [row_line(r) for r in rows])
    with QueryApiServer(token="demo-token", answer=answer) as server:
        client = ThinkDataQuery(server.url, "demo-token")
        path = client.get_data_csv({}, "select * from demo", block_size=5)
    print("result file:", path)
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines()[:6]:
            print("  " + line)
    BMOBJ.remove_file(path)
    print("removed:", not os.path.exists(path))
