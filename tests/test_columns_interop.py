"""The column calls as other libraries meet them: their exact signatures, the
column types of pyarrow, Polars, pandas and DuckDB (slices at every level,
several chunks), and the results taken over by pyarrow and pandas in place."""

import inspect
import random

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import char_offsets, columns

pa = pytest.importorskip("pyarrow")

P = inspect.Parameter


@pytest.mark.parametrize("call, params", [
    (columns.extract, [("processor", P.POSITIONAL_OR_KEYWORD, P.empty),
                       ("column", P.POSITIONAL_OR_KEYWORD, P.empty),
                       ("threshold", P.POSITIONAL_OR_KEYWORD, None),
                       ("offsets", P.KEYWORD_ONLY, "chars")]),
    (columns.replace, [("processor", P.POSITIONAL_OR_KEYWORD, P.empty),
                       ("column", P.POSITIONAL_OR_KEYWORD, P.empty),
                       ("threshold", P.POSITIONAL_OR_KEYWORD, None)]),
    (columns.count, [("processor", P.POSITIONAL_OR_KEYWORD, P.empty),
                     ("column", P.POSITIONAL_OR_KEYWORD, P.empty),
                     ("threshold", P.POSITIONAL_OR_KEYWORD, None)]),
])
def test_the_calls_keep_their_names_order_and_defaults(call, params):
    signature = list(inspect.signature(call).parameters.values())
    assert [(p.name, p.kind, p.default) for p in signature[:len(params)]] == params
    # Further options may only follow as keywords with defaults.
    assert all(p.kind == P.KEYWORD_ONLY and p.default is not P.empty
               for p in signature[len(params):])


def test_the_calls_bind_as_their_signatures_say():
    kp = KeywordProcessor()
    kp.add_keyword("colour", "color")
    rows = ["colour", "colur"]
    by_position = columns.extract(kp, rows, 0.8)
    by_name = columns.extract(processor=kp, column=rows, threshold=0.8, offsets="chars")
    assert pa.array(by_position).to_pylist() == pa.array(by_name).to_pylist()
    assert [len(r) for r in pa.array(by_position).to_pylist()] == [1, 1]
    with pytest.raises(TypeError):
        columns.extract(kp, rows, 0.8, "bytes")  # offsets is keyword-only
    assert columns.count(kp, rows, 0.8) == columns.count(processor=kp, column=rows,
                                                         threshold=0.8) == {"color": 2}
    counted = columns.count(kp, rows)
    assert type(counted) is dict and all(type(k) is str and type(v) is int
                                         for k, v in counted.items())


ROWS = ["İstanbul und \u212aelvin", None, "", "STRAẞE strasse", "ΟΔΟΣ σοφός", "keep", None,
        "KELVIN İ", "x"]


def processor():
    kp = KeywordProcessor()
    for word, name in [("istanbul", "IST"), ("kelvin", "K"), ("straße", "street"),
                       ("οδος", "road"), ("i̇", "dotted"), ("σοφός", "wise")]:
        kp.add_keyword(word, name)
    return kp


def check_row_for_row(kp, column, rows):
    """extract (both offset units), replace and count agree with the module."""
    for offsets in ("chars", "bytes"):
        want = []
        for row in rows:
            if row is None:
                want.append(None)
                continue
            found = kp.extract_keywords(row)
            if offsets == "chars":
                found = char_offsets(row, found)
            want.append([{"keyword": m.keyword, "similarity": m.similarity, "start": m.start,
                          "end": m.end} for m in found])
        got = pa.chunked_array(columns.extract(kp, column, offsets=offsets, words="ascii")).to_pylist()
        assert got == want, offsets
    assert pa.chunked_array(columns.replace(kp, column, words="ascii")).to_pylist() == [
        None if r is None else kp.replace_keywords(r) for r in rows]
    counts = {}
    for r in rows:
        for m in kp.extract_keywords(r or ""):
            counts[m.keyword] = counts.get(m.keyword, 0) + 1
    assert columns.count(kp, column, words="ascii") == counts


TYPES = ["string", "large_string", "string_view"]


@pytest.mark.parametrize("type_name", TYPES)
def test_slices_inside_chunks_and_of_the_chunked_array(type_name):
    kind = getattr(pa, type_name)()
    kp = processor()
    rng = random.Random(type_name)
    for _ in range(20):
        rows = [rng.choice(ROWS) for _ in range(rng.randint(0, 30))]
        # Each chunk a slice (non-zero offset) of a longer array.
        cuts = sorted(rng.sample(range(len(rows) + 1), min(3, len(rows) + 1)))
        pieces = [rows[a:b] for a, b in zip([0] + cuts, cuts + [len(rows)])]
        chunks = [pa.array(["pad", None] + p + ["pad"], kind).slice(2, len(p)) for p in pieces]
        chunked = pa.chunked_array(chunks, kind)
        check_row_for_row(kp, chunked, rows)
        # A slice of the chunked array itself cuts into its first and last chunk.
        start = rng.randint(0, len(rows))
        stop = rng.randint(start, len(rows))
        check_row_for_row(kp, chunked.slice(start, stop - start), rows[start:stop])


def test_polars_and_arrow_backed_pandas_columns():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    kp = processor()
    check_row_for_row(kp, pl.Series(ROWS, dtype=pl.String), ROWS)
    check_row_for_row(kp, pl.Series(ROWS * 3, dtype=pl.String).slice(4, 15), (ROWS * 3)[4:19])
    check_row_for_row(kp, pd.Series(ROWS, dtype=pd.ArrowDtype(pa.string())), ROWS)
    check_row_for_row(kp, pd.Series(ROWS, dtype=pd.ArrowDtype(pa.large_string()))[2:7], ROWS[2:7])
    if pd.__version__ >= "3":  # the default string type is Arrow-backed from pandas 3 on
        default = pd.Series(ROWS)
        assert default.dtype == "str"
        check_row_for_row(kp, default, ROWS)


def test_a_duckdb_result_column():
    duckdb = pytest.importorskip("duckdb")
    kp = processor()
    con = duckdb.connect()
    con.execute("create table t (id integer, s varchar)")
    con.executemany("insert into t values (?, ?)", list(enumerate(ROWS)))
    relation = con.sql("select * from t order by id")
    check_row_for_row(kp, relation.s, ROWS)
    check_row_for_row(kp, con.sql("select s from t order by id"), ROWS)
    with pytest.raises(TypeError, match="table of 2 columns, not a column: pass one column"):
        columns.count(kp, relation)  # two columns: which one?
    with pytest.raises(TypeError, match="int32"):
        columns.count(kp, relation.id)


def test_one_column_tables_and_batches():
    kp = processor()
    table = pa.table({"text": ROWS})
    check_row_for_row(kp, table, ROWS)
    check_row_for_row(kp, table.slice(2, 5), ROWS[2:7])
    batch = pa.RecordBatch.from_pydict({"text": pa.array(ROWS, pa.string_view())})
    check_row_for_row(kp, batch.slice(1, 6), ROWS[1:7])
    nested = pa.StructArray.from_arrays([pa.array(ROWS)], names=["text"])
    check_row_for_row(kp, nested.slice(3), ROWS[3:])
    with_nulls = pa.StructArray.from_arrays([pa.array(ROWS)], names=["text"],
                                            mask=pa.array([True] + [False] * (len(ROWS) - 1)))
    with pytest.raises(ValueError, match="null"):
        columns.count(kp, with_nulls)


def buffer_addresses(array):
    """The addresses of an array's buffers, its children's included."""
    return [b.address for b in array.buffers() if b is not None]


def test_results_are_taken_over_in_place():
    pd = pytest.importorskip("pandas")
    kp = processor()
    for result in (columns.replace(kp, ROWS), columns.extract(kp, ROWS)):
        chunk = pa.chunked_array(result).chunk(0)
        assert buffer_addresses(pa.array(result)) == buffer_addresses(chunk)
        # pandas keeps Arrow memory as it is under an ArrowDtype.
        series = pa.chunked_array(result).to_pandas(types_mapper=pd.ArrowDtype)
        held = series.array.__arrow_array__()
        assert held.num_chunks == 1 and buffer_addresses(held.chunk(0)) == buffer_addresses(chunk)
        assert series.isna().tolist() == [r is None for r in ROWS]
    # pandas' default str type widens the offsets but shares the text.
    replaced = columns.replace(kp, ROWS)
    if hasattr(pd.Series, "from_arrow"):
        held = pd.Series.from_arrow(replaced).array.__arrow_array__().chunk(0)
        assert held.buffers()[2].address == pa.array(replaced).buffers()[2].address
