"""Hostile answers: what a broken or malicious analytics platform may send
to the query API export and the Presto path, grouped by attack. Whatever
arrives, the process survives, nothing hangs, and a refused answer leaves
no file: the export raises Et state 2 (its "get data error: ..." text), the
Presto path the error its client raised. What the reference reader (json
+ pandas) accepts is written as pandas writes it."""
import csv
import io
import json
import logging
import os
import random
import sys

import pandas
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from servers.presto import Page, paged
from servers.query_api import Answer, header_line, row_line

from kestro.common.defines import Et
from kestro.quorel.quorel import ThinkDataQuery
from test_quorel_export import api  # noqa: F401 (the module's query API server)
from test_quorel_presto import Recording, engine  # noqa: F401 (a Presto engine per test)

LIMIT = 1000  # nesting levels of one row line, the row's own array included


@pytest.fixture
def client(api):
    return ThinkDataQuery(api.url, "tok")


@pytest.fixture
def docs(data_root):
    folder = os.path.join(data_root, "media", "docs")
    return lambda: set(os.listdir(folder)) if os.path.isdir(folder) else set()


def export(api, client, lines=None, body=None, block_size=3):
    api.answer = Answer(lines or (), body=body)
    path = client.get_data_csv({}, "q", block_size)
    try:
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.remove(path)


def refused(api, client, docs, lines=None, body=None):
    """The export of this answer fails with Et state 2 and leaves no file;
    returns its message."""
    api.answer = Answer(lines or (), body=body)
    before = docs()
    with pytest.raises(Et) as info:
        client.get_data_csv({}, "q", 2)
    assert info.value.state == 2
    assert docs() == before
    msg = info.value.getmsg()
    assert msg.startswith("get data error: ")
    return msg


def reference(lines):
    """What json + pandas write for these lines (header first)."""
    cols = json.loads(lines[0])["data"]["headers"]
    rows = [json.loads(x) for x in lines[1:] if x.strip()]
    return pandas.DataFrame([r for r in rows if r is not None], columns=cols).to_csv(index=None).encode()


def csv_row(*fields):
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerow(fields)
    return buf.getvalue().encode()


def nest(levels, inner=b"1", opener=b"[", closer=b"]"):
    return opener * levels + inner + closer * levels


class TestDeepNesting:
    @pytest.mark.parametrize(
        "row",
        [
            b"[1, " + nest(100000) + b"]",  # a line of about 200 KB
            b"[1, " + nest(100000, b"1", b'{"k": [', b"]}") + b"]",
            b"[1, " + nest(LIMIT) + b"]",  # the row's array makes it LIMIT + 1
            b"[1, " + nest(LIMIT, b"[]", b'{"":', b"}") + b"]",
        ],
        ids=["arrays-100000", "objects-100000", "arrays-one-past", "objects-one-past"],
    )
    def test_past_the_limit_is_refused_with_no_file(self, api, client, local_mode, fast_sleep, docs, caplog, row):
        caplog.set_level(logging.ERROR, logger="django")
        lines = [header_line(["a", "b"]), row_line([1, 2]), row]
        msg = refused(api, client, docs, lines)
        assert "malformed row at line 3: nested deeper than 1000 levels" in msg
        assert caplog.records[-1].getMessage().startswith("get data error")

    def test_at_the_limit_is_written_as_python_writes_it(self, api, client, local_mode, fast_sleep):
        value = 1
        for k in range(LIMIT - 1):
            value = [value, "x"] if k % 2 else {"k": value}
        old = sys.getrecursionlimit()
        sys.setrecursionlimit(10 * LIMIT)
        try:
            text = json.dumps([7, value])
            want = b"a,b\n" + csv_row(7, str(value))
        finally:
            sys.setrecursionlimit(old)
        assert export(api, client, [header_line(["a", "b"]), text.encode()]) == want

    @pytest.mark.parametrize(
        "header",
        [nest(100000, b"0", b'{"return_code": ', b"}"), b'{"return_code": 0, "data": {"headers": ["a"]}, "x": '
         + nest(100000) + b"}"],
        ids=["header", "header-extra-member"],
    )
    def test_deep_header_is_refused(self, api, client, local_mode, fast_sleep, docs, header):
        assert "RecursionError" in refused(api, client, docs, [header, b"[1]"])


def float_tokens():
    """Float texts far past what a double holds: long digit strings,
    leading zeros that shift huge exponents back, exponents of many digits."""
    digits = st.text("0123456789", min_size=1, max_size=60)
    zeros = st.integers(0, 2000).map(lambda n: "0" * n)
    exponent = st.one_of(
        st.integers(-2100, 2100).map(str),
        st.integers(-(10**25), 10**25).map(lambda e: ("+" if e >= 0 else "") + str(e)),
        st.sampled_from(["0", "-0", "+000400", "-99999999999999999999999999"]),
    )

    @st.composite
    def token(draw):
        sign = draw(st.sampled_from(["", "-"]))
        lead = draw(st.sampled_from(["0", "1", "9"]))
        int_part = "0" if lead == "0" else lead + draw(st.one_of(st.just(""), digits))
        frac = draw(st.one_of(st.just(""), st.builds(lambda z, d: "." + z + d, zeros, digits)))
        exp = draw(st.one_of(st.just(""), exponent.map(lambda e: draw(st.sampled_from("eE")) + e)))
        if not frac and not exp:
            frac = ".5"
        return sign + int_part + frac + exp

    return token()


class TestNumberTokens:
    @settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
    @given(tokens=st.lists(float_tokens(), min_size=1, max_size=40))
    def test_floats_as_python_float_reads_them(self, api, client, local_mode, fast_sleep, tokens):
        lines = [header_line(["f", "nested"])] + [("[%s, [%s]]" % (t, t)).encode() for t in tokens]
        want = b"f,nested\n" + b"".join(csv_row(repr(float(t)), str([float(t)])) for t in tokens)
        assert export(api, client, lines, block_size=7) == want

    @pytest.mark.parametrize(
        "token",
        [
            "0." + "0" * 100000 + "1e1000000",  # 1e899999: inf, though the zeros nearly cancel
            "0." + "0" * 999999 + "1e1000000",  # exactly 1.0
            "1" + "0" * 100000 + "e-100000",
            "1e-400",
            "-1e-400",
            "1e400",
            "2.4703282292062328e-324",  # just above half the smallest subnormal
            "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324",
            "1." + "0" * 800 + "1",  # 800 digits decide nothing here
            "9" * 800 + "e-500",
        ],
        ids=lambda t: t[:12] + "..%d" % len(t),
    )
    def test_hard_tokens(self, api, client, local_mode, fast_sleep, token):
        got = export(api, client, [header_line(["f", "nested"]), ("[%s, {\"k\": %s}]" % (token, token)).encode()])
        assert got == b"f,nested\n" + csv_row(repr(float(token)), str({"k": float(token)}))

    def test_nan_and_infinities_as_json_and_pandas_write_them(self, api, client, local_mode, fast_sleep):
        lines = [
            header_line(["a", "b", "c", "d"]),
            b"[NaN, Infinity, -Infinity, [NaN, Infinity, -Infinity]]",
            b'[1.5, -Infinity, NaN, {"k": NaN, "j": [Infinity]}]',
            b'[NaN, NaN, 2.0, "x"]',
        ]
        assert export(api, client, lines) == reference(lines)
        one = [header_line(["a"]), b"[NaN]", b"[Infinity]"]
        assert export(api, client, one) == reference(one) == b'a\n""\ninf\n'

    @pytest.mark.parametrize("token", ["nan", "-NaN", "+Infinity", "Inf", "NaN1", "infinity", "--1", "1e", ".5", "01"])
    def test_spellings_json_refuses_are_refused(self, api, client, local_mode, fast_sleep, docs, token):
        with pytest.raises(ValueError):
            json.loads("[%s]" % token)
        assert "malformed row" in refused(api, client, docs, [header_line(["a"]), ("[%s]" % token).encode()])


class TestBrokenTexts:
    @pytest.mark.parametrize(
        "row",
        [
            b'["\xff"]',  # not UTF-8
            b'["\xc0\xaf"]',  # overlong
            b'["\xed\xa0\x80"]',  # an encoded surrogate
            b'["\xf4\x90\x80\x80"]',  # past U+10FFFF
            b'["a\xe2\x82"]',  # cut sequence
            b'["a\x01b"]',  # raw control character
            b'["\\ud800"]',  # lone surrogate escape: no UTF-8 to write
            b'["\\udc00\\ud800"]',
            b'["\\x41"]',
            b'["\\u12"]',
        ],
    )
    def test_invalid_texts_are_refused(self, api, client, local_mode, fast_sleep, docs, row):
        for line in (row, b"[[" + row + b"]]"):
            assert "malformed row" in refused(api, client, docs, [header_line(["a"]), line])

    def test_escapes_and_odd_code_points_as_the_reference(self, api, client, local_mode, fast_sleep):
        # A lone NUL is left out: the csv module under pandas writes it differently on each
        # interpreter, so its one form is fixed by the CSV tests instead.
        texts = ["\u2028\u2029", "\x7f\x80\x9f", "\ufeff", "\U0010ffff", "\ud83d\ude00", "a\\b\"c'd"]
        lines = [header_line(["t", "n"])] + [json.dumps([t, [t, {t: t}]]).encode() for t in texts]
        lines += [json.dumps([t, [t]], ensure_ascii=False).encode() for t in texts if t != "\ud83d\ude00"]
        assert export(api, client, lines) == reference(lines)


class TestCutAndOddLines:
    @pytest.mark.parametrize(
        "body, message",
        [
            (b"[1,", "malformed row at line 2"),  # the body ends mid-line
            (b'["abc', "malformed row at line 2"),
            (b"[1, 2]\n[3", "malformed row at line 3"),
            (b"[1, 2", "malformed row"),
        ],
    )
    def test_body_ending_mid_line(self, api, client, local_mode, fast_sleep, docs, body, message):
        assert message in refused(api, client, docs, body=header_line(["a", "b"]) + b"\n" + body)

    def test_last_line_without_break_is_a_row(self, api, client, local_mode, fast_sleep):
        body = header_line(["a", "b"]) + b"\r\n[1, 2]\r[3, 4]\n\n \t \nnull\n[5, 6]"
        assert export(api, client, body=body) == b"a,b\n1,2\n3,4\n5,6\n"

    def test_connection_cut_inside_a_character(self, api, client, local_mode, fast_sleep, docs):
        import requests

        lines = [header_line(["a"])] + [row_line(["北京" * 50]) for _ in range(50)]
        api.answer = Answer(lines, pieces=(5,), cut_after=len(lines[0]) + 200)
        before = docs()
        with pytest.raises(requests.exceptions.ChunkedEncodingError):
            client.get_data_csv({}, "q", 1)
        assert docs() == before

    @pytest.mark.parametrize(
        "row, message",
        [
            (b'{"a": 1, "b": 2}', "must be a JSON array"),
            (b'"a,b"', "must be a JSON array"),
            (b"12", "must be a JSON array"),
            (b"true", "must be a JSON array"),
            (b"[1, 2] [3, 4]", "trailing content"),
            (b"[1, 2],", "malformed row at line 2"),
            (b"[1]", "has 1 values, the header has 2 columns"),
            (b"[" + b"1, " * 100000 + b"1]", "has more than 2 values"),
            (b"[]", "has 0 values"),
        ],
    )
    def test_rows_that_are_not_rows(self, api, client, local_mode, fast_sleep, docs, row, message):
        assert message in refused(api, client, docs, [header_line(["a", "b"]), row])

    @pytest.mark.parametrize(
        "header, message",
        [
            (b"[1, 2]", "TypeError"),
            (b'"return_code"', "TypeError"),
            (b'{"return_code": 0}', "KeyError"),
            (b'{"return_code": 0, "data": {"headers": "ab"}}', "headers is not a list"),
            (b'{"return_code": 0, "data": {"headers": ["a"]}', "JSONDecodeError"),
            (b"\xff\xfe{}", "JSONDecodeError"),  # read as UTF-16, as json.loads does
            (b'{"return_code": 0, "data": {"headers": ["\xff"]}}', "UnicodeDecodeError"),
        ],
    )
    def test_headers_that_are_not_headers(self, api, client, local_mode, fast_sleep, docs, header, message):
        assert message in refused(api, client, docs, [header, b"[1]"])

    def test_duplicate_keys_keep_the_first_place_and_the_last_value(self, api, client, local_mode, fast_sleep):
        lines = [
            b'{"return_code": 5, "return_code": 0, "data": {"headers": ["x"]}, "data": {"headers": ["a", "b"]}}',
            b'[{"k": 1, "j": 2, "k": 3}, {"a": {"b": 1, "b": [1, 2]}, "a": {"c": 2}}]',
        ]
        assert export(api, client, lines) == reference(lines)

    def test_byte_order_marks_as_json_loads_reads_them(self, api, client, local_mode, fast_sleep, docs):
        bom = b"\xef\xbb\xbf"
        lines = [bom + header_line(["a", "b"]), bom + b"[1, 2]", bom + b' ["x", {"k": NaN}]', bom + b"null"]
        assert export(api, client, lines) == reference(lines)
        for bad in (bom, bom + bom + b"[1, 2]", b" " + bom + b"[1, 2]"):
            with pytest.raises(ValueError):
                json.loads(bad)
            assert "malformed row at line 2" in refused(api, client, docs, [header_line(["a", "b"]), bad])

    @pytest.mark.parametrize(
        "header",
        [b'{"return_code": 0, "data": {"headers": [1, null, [1, "x"], {"k": 1.5}, true]}}',
         b'{"return_code": false, "data": {"headers": ["a", "b", "c", "d", "e"]}}',
         b'{"return_code": 0.0, "data": {"headers": ["a", "b", "c", "d", "e"]}}'],
    )
    def test_odd_headers_as_the_reference(self, api, client, local_mode, fast_sleep, header):
        lines = [header, b"[1, 2, 3, 4, 5]"]
        assert export(api, client, lines) == reference(lines)

    @pytest.mark.parametrize("size, pieces", [(3 << 20, (1 << 20,)), (1 << 20, (16,))], ids=["6MB", "2MB-in-16B-pieces"])
    def test_huge_lines(self, api, client, local_mode, fast_sleep, size, pieces):
        # a line in tiny pieces was searched for its end from its start at
        # every piece: quadratic, minutes for a few MB
        text = "".join(random.Random(5).choice("ab,\"\n北") for _ in range(size))
        lines = [header_line(["t", "n"]), row_line([text, 1]), row_line([[text], 2])]
        api.answer = Answer(lines, pieces=pieces)
        path = client.get_data_csv({}, "q", 3)
        with open(path, "rb") as f:
            got = f.read()
        os.remove(path)
        assert got == reference(lines)


@pytest.fixture
def presto_client(engine):
    return Recording("http://127.0.0.1:1/querySql", "tok", ["127.0.0.1", str(engine.port)])


def raw_page(data_json):
    """A page whose "data" member is this JSON text as it stands."""
    page = Page(rows=[])
    page.data_json = data_json
    return page


class TestPrestoAnswers:
    def test_deep_nesting_fails_with_the_clients_error_and_no_file(
        self, presto_client, engine, local_mode, fast_sleep, capsys
    ):
        cols = [("a", "bigint"), ("b", "array(bigint)")]
        pages = paged([[1, [2]]], 1) + [raw_page("[[2, " + "[" * 100000 + "]" * 100000 + "]]")]
        engine.add_query("q", cols, pages)
        with pytest.raises(RecursionError):
            presto_client.get_data_raw_pyhive({}, "q", block_size=1, fetch_size=1)
        assert not os.path.exists(presto_client.path)

    def test_nan_and_infinities_as_pandas_writes_them(self, presto_client, engine, local_mode, fast_sleep):
        cols = [("a", "double"), ("b", "array(double)"), ("c", "double")]
        data = '[[NaN, [NaN, Infinity, -Infinity], 1.5], [Infinity, [], -Infinity], [-Infinity, [1e400], NaN]]'
        engine.add_query("q", cols, [raw_page(data)])
        path = presto_client.get_data_raw_pyhive({}, "q")
        with open(path, "rb") as f:
            got = f.read()
        os.remove(path)
        want = pandas.DataFrame(json.loads(data), columns=["a", "b", "c"]).to_csv(index=None).encode()
        assert got == want

    def test_rows_that_are_not_lists(self, presto_client, engine, local_mode, fast_sleep):
        engine.add_query("q", [("a", "bigint")], [raw_page('["ab"]')])
        with pytest.raises((TypeError, ValueError)):
            presto_client.get_data_raw_pyhive({}, "q")
        assert not os.path.exists(presto_client.path)
