"""get_data_csv against the local query API: the CSV bytes against pandas,
the task-log lines, and every way the answer can fail."""
import json
import logging
import os

import pytest
import requests
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quorel_strategies import blocks, pandas_agrees, pandas_csv
from servers.query_api import Answer, QueryApiServer, header_line, row_line

from kestro.common.defines import Et
from kestro.quorel.quorel import ThinkDataQuery


@pytest.fixture(scope="module")
def api():
    with QueryApiServer(token="tok") as srv:
        yield srv


@pytest.fixture
def client(api):
    return ThinkDataQuery(api.url, "tok")


@pytest.fixture
def short_read_timeout(monkeypatch):
    """Sessions whose posts wait 0.5 s for the answer, so that a stalled
    answer fails quickly."""
    real_session = requests.session

    def session():
        s = real_session()
        real_post = s.post

        def post(url, **kwargs):
            kwargs["timeout"] = (5, 0.5)
            return real_post(url, **kwargs)

        s.post = post
        return s

    monkeypatch.setattr(requests, "session", session)


@pytest.fixture
def docs(data_root):
    """Files in the result folder: a call's new files are the difference."""
    folder = os.path.join(data_root, "media", "docs")
    return lambda: set(os.listdir(folder)) if os.path.isdir(folder) else set()


def body(cols, rows, *extra):
    return [header_line(cols)] + [row_line(r) for r in rows] + list(extra)


def exported(api, client, lines, block_size):
    """The CSV bytes that get_data_csv writes for an answer of these lines."""
    api.answer = Answer(lines)
    path = client.get_data_csv({}, "select *", block_size=block_size)
    try:
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.remove(path)


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(block=blocks(max_rows=12))
def test_csv_bytes_match_pandas_for_the_loaded_rows(api, client, local_mode, fast_sleep, block):
    cols, rows = block
    assume(pandas_agrees(cols, rows))
    got = exported(api, client, body(cols, rows), block_size=5)
    loaded = [json.loads(row_line(r)) for r in rows]
    assert got == pandas_csv(cols, loaded)


@settings(max_examples=100, deadline=None, suppress_health_check=list(HealthCheck))
@given(block=blocks(max_rows=8), spelling=st.sampled_from([
    {"ensure_ascii": True},
    {"ensure_ascii": False, "separators": (",", ":")},
    {"ensure_ascii": True, "separators": (" ,\t", ": ")},
]))
def test_csv_bytes_match_pandas_whatever_the_json_spelling(api, client, local_mode, fast_sleep, block, spelling):
    """Escaped non-ASCII texts (surrogate pairs included), compact lines and
    odd white space give the bytes of the values themselves."""
    cols, rows = block
    assume(pandas_agrees(cols, rows))
    got = exported(api, client, [header_line(cols)] + [json.dumps(r, **spelling).encode() for r in rows], block_size=3)
    assert got == pandas_csv(cols, [json.loads(json.dumps(r, **spelling)) for r in rows])


def test_nested_texts_printable_as_this_interpreter_says(api, client, local_mode, fast_sleep):
    """Code points assigned in later Unicode versions (13.0 to 15.1) are
    printable for some Python releases and escaped by others: repr() of a
    nested text follows the running interpreter, through both parsers (a
    plain list row and one with an object, which only the full parser
    takes)."""
    texts = ["\U00030000", "\U0001FAE8", "\U00031350", "\U0002EBF0", "\u0870", "a\U000E0100b"]
    rows = [[t, [t, 1]] for t in texts] + [[t, [{t: None}]] for t in texts]
    got = exported(api, client, body(["a", "b"], rows), block_size=4)
    assert got == pandas_csv(["a", "b"], [json.loads(row_line(r)) for r in rows])


def test_request_and_log_lines(api, client, task_ctx, fast_sleep, caplog):
    """The form POST, then progress at multiples of block_size counting the
    header, blank-free lines, white-space and null lines, then the total."""
    rows = [[i, "名字" * i] for i in range(7)]
    api.answer = Answer(body(["n", "s"], rows[:3], b"", b"   \t", b"null") + [row_line(r) for r in rows[3:]])
    caplog.set_level(logging.ERROR, logger="django")
    path = client.get_data_csv(task_ctx, "select n, s", block_size=3)
    assert api.received[-1]["form"] == {"token": ["tok"], "sql": ["select n, s"]}
    # 1 header + 3 rows + white-space line + null line + 4 rows = 10 counted lines
    assert task_ctx.lines() == [["3"], ["6"], ["9"], ["total: 10"]]
    assert fast_sleep.calls == [0.5] * 4
    assert [r.getMessage() for r in caplog.records] == ["in query"]
    with open(path, encoding="utf-8") as f:
        assert f.read() == "n,s\n" + "".join("%d,%s\n" % (i, "名字" * i) for i in range(7))
    os.remove(path)


@pytest.mark.parametrize(
    "nrows, block_size, progress",
    [
        (0, 5, []),  # header only; the header line is counted
        (4, 5, ["5"]),  # last row makes an exact multiple
        (3, 1, ["1", "2", "3", "4"]),  # every counted line logs
        (10, 4, ["4", "8"]),
    ],
)
def test_blocks_and_totals(api, client, local_mode, fast_sleep, capsys, nrows, block_size, progress):
    rows = [[i, i * 0.5] for i in range(nrows)]
    api.answer = Answer(body(["i", "f"], rows), pieces=(5,))
    path = client.get_data_csv({}, "q", block_size)
    out = capsys.readouterr().out.splitlines()
    assert out == progress + ["total: %d" % (nrows + 1)]
    with open(path) as f:
        assert f.read() == "i,f\n" + "".join("%d,%r\n" % (i, i * 0.5) for i in range(nrows))
    os.remove(path)


def test_answer_in_big_pieces(api, client, local_mode, fast_sleep, capsys):
    # megabyte chunks as a real answer comes, each stretch parsed in halves
    # on two threads; rows, blocks and progress lines as with small pieces
    rows = [[i, 'r%d, "q"\nline' % i, i / 7.0] for i in range(60000)]
    api.answer = Answer(body(["i", "t", "f"], rows), pieces=(1 << 20, 65536 + 7))
    path = client.get_data_csv({}, "q", 25000)
    assert capsys.readouterr().out.splitlines() == ["25000", "50000", "total: 60001"]
    with open(path, "rb") as f:
        assert f.read() == pandas_csv(["i", "t", "f"], rows)
    os.remove(path)


def test_integers_stay_exact_across_nulls_and_floats(api, client, local_mode, fast_sleep):
    # pandas would write 1.0 and 9007199254740992.0 here, and differently per block
    api.answer = Answer(body(["v"], [[1], [None], [2**53 + 1], [0.25], [-(2**70)]]))
    path = client.get_data_csv({}, "q", 2)
    with open(path) as f:
        assert f.read() == 'v\n1\n""\n9007199254740993\n0.25\n-1180591620717411303424\n'
    os.remove(path)


def test_texts_with_line_breaks_read_back_whole(api, client, local_mode, fast_sleep):
    import pandas

    texts = ["x\ry", "\r", "a\r\nb", "c\nd", "tail\r"]
    api.answer = Answer(body(["t", "n"], [[t, i] for i, t in enumerate(texts)]))
    path = client.get_data_csv({}, "q", 2)
    try:
        back = pandas.read_csv(path, keep_default_na=False)
    finally:
        os.remove(path)
    assert back["t"].tolist() == texts
    assert back["n"].tolist() == list(range(len(texts)))


@pytest.mark.parametrize(
    "lines, message, logged",
    [
        ([b"<html>oops</html>"], "get data error: JSONDecodeError", "get data error Expecting value"),
        ([b"   "], "get data error: JSONDecodeError", "get data error Expecting value"),
        ([b'{"data": {}}'], "get data error: KeyError", "get data error 'return_code'"),
        ([b'{"return_code": 0, "data": {"headers": "ab"}}'], "headers is not a list", "get data error headers"),
        (body(["a", "b"], [[1, 2]], b"[1, 2"), "malformed row at line 3", "get data error malformed row at line 3"),
        (body(["a", "b"], [[1, 2]], b"[1, 2, 3]"), "has more than 2 values", "get data error row at line 3"),
        (body(["a", "b"], [[1, 2]], b"[1]"), "has 1 values, the header has 2", "get data error row at line 3"),
        (body(["a"], [], b'{"a": 1}'), "must be a JSON array", "get data error malformed row"),
        ([], "no header line", "get data error the answer held no header line"),
    ],
)
def test_failures_after_the_request_raise_et_and_leave_no_file(
    api, client, local_mode, fast_sleep, caplog, docs, lines, message, logged
):
    api.answer = Answer(lines)
    before = docs()
    caplog.set_level(logging.ERROR, logger="django")
    with pytest.raises(Et) as info:
        client.get_data_csv({}, "q", 1)
    assert info.value.state == 2 and message in info.value.getmsg()
    assert docs() == before
    assert caplog.records[-1].getMessage().startswith(logged)


def test_error_answer_is_logged_then_raised(api, client, task_ctx, fast_sleep, caplog, docs):
    api.answer = Answer([header_line((), return_code=7, msg="table not found"), row_line([1])])
    before = docs()
    caplog.set_level(logging.ERROR, logger="django")
    with pytest.raises(Et) as info:
        client.get_data_csv(task_ctx, "select * from nowhere")
    assert info.value.state == 2
    assert info.value.getmsg() == 'sql error: {"return_code": 7, "msg": "table not found"}'
    assert [r.getMessage() for r in caplog.records] == [
        "in query",
        "sql error: {'return_code': 7, 'msg': 'table not found'}",
    ]
    assert task_ctx.lines() == [["total: 0"]]
    assert docs() == before


def test_wrong_token_is_the_platforms_error(api, local_mode, fast_sleep):
    with pytest.raises(Et) as info:
        ThinkDataQuery(api.url, "bad").get_data_csv({}, "q")
    assert "invalid token" in info.value.getmsg()
    assert "bad" not in info.value.getmsg()


@pytest.mark.parametrize(
    "fault, error, text",
    [
        ({"cut_after": 100}, requests.exceptions.ChunkedEncodingError, "Connection broken"),
        ({"stall_after": 100}, requests.exceptions.ConnectionError, "Read timed out"),
    ],
)
def test_broken_stream_raises_the_librarys_error(
    api, client, local_mode, fast_sleep, short_read_timeout, caplog, capsys, docs, fault, error, text
):
    rows = [[i, "x"] for i in range(20)]
    api.answer = Answer(body(["a", "b"], rows), pieces=(7,), **fault)
    before = docs()
    caplog.set_level(logging.ERROR, logger="django")
    with pytest.raises(error, match=text):
        client.get_data_csv({}, "q", block_size=2)
    assert docs() == before
    assert caplog.records[-1].getMessage().startswith("get data error")
    # progress lines due before the break were logged; no total
    out = capsys.readouterr().out.splitlines()
    assert out == ["2", "4", "6"]


def test_result_file_that_cannot_be_written(api, local_mode, fast_sleep, caplog):
    class ToFullDevice(ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return "/dev/full"

    api.answer = Answer(body(["a"], [[1]]))
    with pytest.raises(Et) as info:
        ToFullDevice(api.url, "tok").get_data_csv({}, "q")
    assert "cannot write result file" in info.value.getmsg()
    assert os.path.exists("/dev/full")


def test_connection_refused_before_any_file(local_mode, fast_sleep, docs):
    from conftest import free_port

    before = docs()
    with pytest.raises(requests.exceptions.ConnectionError):
        ThinkDataQuery("http://127.0.0.1:%d/querySql" % free_port(), "tok").get_data_csv({}, "q")
    assert docs() == before


@pytest.mark.parametrize("block_size", [0, -3, 2.5, "10", True])
def test_block_size_must_be_a_positive_integer(client, block_size):
    with pytest.raises(Et) as info:
        client.get_data_csv({}, "q", block_size)
    assert info.value.state == 2


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    tokens=st.lists(
        st.from_regex(r"\A-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,20})?([eE][+-]?[0-9]{1,3})?\Z"), min_size=1, max_size=30
    )
)
def test_number_tokens_as_python_reads_them(api, client, local_mode, fast_sleep, tokens):
    """Any JSON number text: integers exactly, floats by repr(float(text)),
    non-canonical spellings and out-of-range exponents included."""
    api.answer = Answer([header_line(["n", "s"])] + [b"[%s, %s]" % (t.encode(), t.encode()) for t in tokens])
    path = client.get_data_csv({}, "q", 7)
    with open(path) as f:
        got = f.read().splitlines()[1:]
    os.remove(path)
    want = []
    for t in tokens:
        v = json.loads(t)
        text = str(v) if isinstance(v, int) else repr(v)
        want.append(text + "," + text)
    assert got == want
