"""How a column result is handed over: each chunk as it is where the consumer
can take chunks, one array where it asks for one, and large offsets where a
result outgrows 32-bit ones (the 2 GiB cases are in the stress tier)."""

import subprocess
import sys
import textwrap

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import columns

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")

MANY_BLOCKS = ["ab cd ab"] * 200_000  # past the rows of one block


def processor(name="X"):
    kp = KeywordProcessor()
    kp.add_keyword("ab", name)
    return kp


@pytest.mark.parametrize("call", [columns.extract, columns.replace, columns.names,
                                  columns.contains])
def test_one_array_is_offered_the_way_that_copies_least(call):
    many, one = call(processor(), MANY_BLOCKS), call(processor(), MANY_BLOCKS[:3])
    chunks = pa.chunked_array(many)
    assert chunks.num_chunks > 1
    # Several chunks: pyarrow joins them; one chunk: shared as it is.
    assert not hasattr(many, "__arrow_c_array__") and hasattr(many, "__arrow_array__")
    assert hasattr(one, "__arrow_c_array__") and not hasattr(one, "__arrow_array__")
    joined = pa.array(many)
    assert isinstance(joined, pa.Array) and joined.equals(chunks.combine_chunks())
    if call is columns.replace:
        assert pa.array(many, type=pa.large_string()).type == pa.large_string()
    with pytest.raises(AttributeError, match="__arrow_c_array__"):
        many.__arrow_c_array__()


@pytest.mark.slow  # four calls over a column of many blocks
def test_polars_keeps_the_chunks_of_a_result():
    pl = pytest.importorskip("polars")
    for call in (columns.extract, columns.replace, columns.names, columns.contains):
        result = call(processor(), MANY_BLOCKS)
        series = pl.Series(result)
        assert series.n_chunks() == pa.chunked_array(result).num_chunks > 1
        assert series.to_arrow().to_pylist()[-1] == pa.chunked_array(result)[-1].as_py()


@pytest.mark.slow
def test_polars_adds_only_its_views_to_a_100_mb_result():
    pytest.importorskip("polars")
    script = textwrap.dedent("""
        import os, pyarrow as pa, polars as pl
        from fernquill import KeywordProcessor
        from fernquill_tools import columns
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        kp = KeywordProcessor()
        kp.add_keyword("ab", "X")
        rows = 1_000_000
        r = columns.replace(kp, pa.array(["ab " + "y" * 97] * rows))
        before = rss()
        s = pl.Series(r)
        print(rss() - before, rows)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout.split()
    added, rows = int(out[0]), int(out[1])
    assert added <= 24 * rows, f"pl.Series added {added} bytes for {rows} rows"


def large_names_case():
    """One row whose matches' clean names add up past 2 GiB."""
    name = "N" * (1 << 16)
    matches = (1 << 15) + 100
    return processor(name), ["ab " * matches], name, matches


@pytest.mark.stress
def test_clean_names_past_2_gib_come_as_large_strings():
    kp, rows, name, matches = large_names_case()
    result = pa.chunked_array(columns.extract(kp, rows, offsets="bytes"))
    assert result.type.value_type.field("keyword").type == pa.large_string()
    found = result.chunk(0).flatten()
    assert len(found) == matches
    assert found.field("keyword")[matches - 1].as_py() == name
    assert found.field("start")[matches - 1].as_py() == 3 * (matches - 1)


@pytest.mark.stress
def test_a_replaced_list_row_past_2_gib_comes_as_a_large_string():
    name = "N" * 1024
    rows = [("ab" + " " * 1022) * (1_200_000)]  # 1.2 GB, each match grows 1022 bytes
    result = pa.chunked_array(columns.replace(processor(name), rows))
    assert result.type == pa.large_string()
    assert pc.binary_length(result.chunk(0))[0].as_py() == 1_200_000 * 2046
    data = result.chunk(0).buffers()[2]
    assert data[:1030].to_pybytes() == (name + " " * 6).encode()


@pytest.mark.stress
def test_a_3_gb_result_of_many_blocks_is_whole_in_one_array_and_in_polars():
    pl = pytest.importorskip("polars")
    # 1.2 GB of rows in chunks of 300 MB; "ab" becomes a 7-byte name: 3.2 GB out.
    row = "ab " * 33 + "y"
    piece = pa.array([row] * 3_000_000)
    column = pa.chunked_array([piece] * 4)
    result = columns.replace(processor("X" * 7), column)
    want_row = ("X" * 7 + " ") * 33 + "y"
    rows = 4 * len(piece)
    joined = pa.array(result)
    assert joined.type == pa.large_string() and len(joined) == rows
    assert pc.sum(pc.binary_length(joined)).as_py() == rows * len(want_row)
    assert joined[rows - 1].as_py() == want_row
    del joined
    series = pl.Series(result)
    assert len(series) == rows and series[rows - 1] == want_row
    assert series.str.len_bytes().sum() == rows * len(want_row)
