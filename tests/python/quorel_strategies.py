"""Hypothesis strategies for the CSV writer's oracle tests: blocks of rows
in type-homogeneous columns, the cases where pandas keeps each value's type
(so pandas' own bytes are the expected bytes)."""
import csv
import io
import itertools

from hypothesis import strategies as st

SPECIAL_TEXTS = ["", ",", '"', "\n", "\r", "\r\n", "a,b", 'say "hi"', "it's", "名字", " lead", "trail ", "\t", "\\"]

texts = st.one_of(st.sampled_from(SPECIAL_TEXTS), st.text(max_size=12))
small_ints = st.integers(min_value=-(2**63), max_value=2**63 - 1)
big_ints = st.one_of(st.integers(min_value=2**64, max_value=2**100), st.integers(min_value=-(2**100), max_value=-(2**64)))
floats = st.one_of(st.sampled_from([1e16, 1e-05, -0.0, 0.0, 1.5, 0.1, 123456789.125, 1e22, 5e-324]),
                   st.floats(allow_nan=False, allow_infinity=False))
json_scalars = st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**80), max_value=2**80), floats, texts)
nested = st.recursive(
    json_scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(texts, inner, max_size=4)),
    max_leaves=8,
).filter(lambda v: isinstance(v, (list, dict)))

# (strategy of one cell, whether nulls may be mixed in without pandas
# changing the column's type)
COLUMN_KINDS = {
    "str": (texts, True),
    "int": (small_ints, False),
    "bigint": (big_ints, False),
    "float": (floats, True),
    "bool": (st.booleans(), True),
    "nested": (nested, True),
    "null": (st.none(), True),
}


@st.composite
def blocks(draw, max_rows=8):
    """(column names, rows): 1 to 4 columns, each of one kind."""
    ncols = draw(st.integers(min_value=1, max_value=4))
    kinds = [draw(st.sampled_from(sorted(COLUMN_KINDS))) for _ in range(ncols)]
    cols = [draw(texts) for _ in range(ncols)]
    cells = []
    for kind in kinds:
        strategy, nullable = COLUMN_KINDS[kind]
        if nullable and kind != "null":
            strategy = st.one_of(st.none(), strategy)
        cells.append(strategy)
    nrows = draw(st.integers(min_value=0, max_value=max_rows))
    rows = [[draw(c) for c in cells] for _ in range(nrows)]
    return cols, rows


def pandas_csv(cols, rows):
    import io

    import pandas

    buf = io.StringIO()
    pandas.DataFrame(data=rows, columns=cols).to_csv(buf, index=None)
    return buf.getvalue().encode("utf-8")


def _csv_module_writes_plain(ch):
    buf = io.StringIO()
    try:
        csv.writer(buf, lineterminator="\n").writerow([ch])
    except csv.Error:
        return False
    return buf.getvalue() == ch + "\n"


# Python's csv module, which pandas writes through, changed how it writes a
# field holding some characters: NUL is quoted up to 3.9, refused by 3.10 and
# written as it is from 3.11; "\r" is written as it is up to 3.12 and quoted
# from 3.13. kestro writes the plain form on every interpreter, so blocks with
# a character this interpreter's csv module writes otherwise are compared with
# pandas only on the interpreters where it agrees.
CSV_MODULE_DIFFERS_ON = [ch for ch in ("\0", "\r") if not _csv_module_writes_plain(ch)]


def pandas_agrees(cols, rows):
    """False when this interpreter's csv module writes a text of the block in a form kestro does not."""
    cells = itertools.chain(cols, itertools.chain.from_iterable(rows))
    return not any(isinstance(v, str) and any(ch in v for ch in CSV_MODULE_DIFFERS_ON) for v in cells)
