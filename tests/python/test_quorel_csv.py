"""The CSV writer fed with Python values (the Presto path's input) against
pandas' own to_csv, byte for byte, and the value forms where kestro keeps a
value's type where pandas would coerce it."""
import math

import pytest
from hypothesis import HealthCheck, assume, given, settings

from quorel_strategies import blocks, pandas_agrees, pandas_csv


@pytest.fixture(scope="module")
def csv_text():
    from kestro.quorel import quorel

    return quorel._csv_text


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(block=blocks())
def test_python_rows_match_pandas(block):
    from kestro.quorel import quorel

    cols, rows = block
    assume(pandas_agrees(cols, rows))
    assert quorel._csv_text(cols, rows) == pandas_csv(cols, rows)


@pytest.mark.parametrize(
    "rows, expected",
    [
        # pandas would write 1.0 and lose digits beyond 2**53; every value keeps its form
        ([[1], [None], [2.5]], '1\n""\n2.5\n'),
        ([[2**53 + 1], [0.5]], "9007199254740993\n0.5\n"),
        ([[True], [1]], "True\n1\n"),
        ([[float("nan")], [float("inf")], [-math.inf]], '""\ninf\n-inf\n'),
        # NUL never makes a field quoted and "\r" always does, whichever csv module the
        # interpreter has: a bare "\r" would end the row for every reader
        ([["\0"], ["x\0y"], ["\0,"]], '\0\nx\0y\n"\0,"\n'),
        ([["\r"], ["x\ry"], ["\r\n"]], '"\r"\n"x\ry"\n"\r\n"\n'),
    ],
    ids=["int-null-float", "beyond-2**53", "bool-int", "nan-inf", "nul", "cr"],
)
def test_values_keep_their_own_form(csv_text, rows, expected):
    assert csv_text(["a"], rows) == ("a\n" + expected).encode()


@pytest.mark.parametrize("text", ["café", "é,\"x\"", "北京", "上海,\n", "😀", "a😀,é北"],
                         ids=["latin-1", "latin-1-quoted", "bmp", "bmp-quoted", "astral", "astral-mixed"])
def test_non_ascii_texts_of_every_width(csv_text, text):
    rows = [[text, text + "x"], ("x" + text, text)]
    assert csv_text(["a", "b"], rows) == pandas_csv(["a", "b"], [list(r) for r in rows])


class Odd:
    def __str__(self):
        return "odd, \"quoted\""


def test_other_objects_go_through_str(csv_text):
    import datetime
    import decimal

    rows = [[decimal.Decimal("1.10"), datetime.date(2024, 1, 2), Odd(), b"x"]]
    assert csv_text(["d", "t", "o", "b"], rows) == b'd,t,o,b\n1.10,2024-01-02,"odd, ""quoted""",b\'x\'\n'


@pytest.mark.parametrize(
    "row, error, text",
    [
        ([1, 2, 3], ValueError, "2 columns passed, passed data had 3 columns"),
        ([1], ValueError, "2 columns passed, passed data had 1 columns"),
        ("ab", TypeError, "sequence"),
        (5, TypeError, "sequence"),
        (["\ud800", 1], UnicodeEncodeError, "surrogates"),
        (["北\udfff", 1], UnicodeEncodeError, "surrogates"),
        ((2, "😀\ud83d"), UnicodeEncodeError, "surrogates"),
    ],
)
def test_bad_rows_raise_clear_errors(csv_text, row, error, text):
    with pytest.raises(error, match=text):
        csv_text(["a", "b"], [row])


def test_tuples_and_generators_as_rows(csv_text):
    assert csv_text(("a", "b"), [(1, "x"), iter([2, None])]) == b"a,b\n1,x\n2,\n"
