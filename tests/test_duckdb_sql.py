"""The SQL functions over a Parquet file: each row, NULL included, is what
the column call gives for it; DuckDB hands the rows over in batches."""

import random

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import columns

duckdb = pytest.importorskip("duckdb")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
fq_duckdb = pytest.importorskip("fernquill_tools.duckdb")

PIECES = ["new york", "New York", "zur", "zurück", "da", "daß", " ", ", ", "x", "é"]


def test_sql_functions_over_parquet_with_nulls(tmp_path):
    rng = random.Random(3)
    # More rows than one DuckDB vector (2048), so that several batches come.
    rows = [None if rng.random() < 0.1 else "".join(rng.choices(PIECES, k=rng.randint(0, 10)))
            for _ in range(5000)]
    path = tmp_path / "texts.parquet"
    pq.write_table(pa.table({"id": range(len(rows)), "text": rows}), path, row_group_size=1500)
    kp = KeywordProcessor()
    for word in ["new york", "new", "zur", "da"]:
        kp.add_keyword(word, word.upper())
    con = duckdb.connect()
    fq_duckdb.register(con, kp)
    fq_duckdb.register(con, kp, "fa", words="ascii")
    for prefix, options in [("fq", {}), ("fa", {"words": "ascii"})]:
        got = con.sql(f"select {prefix}_extract(text), {prefix}_replace(text), {prefix}_names(text), "
                      f"{prefix}_count(text), {prefix}_contains(text) from '{path}' order by id").fetchall()
        names = pa.chunked_array(columns.names(kp, rows, **options)).to_pylist()
        want = list(zip(pa.chunked_array(columns.extract(kp, rows, **options)).to_pylist(),
                        pa.chunked_array(columns.replace(kp, rows, **options)).to_pylist(),
                        names,
                        [None if n is None else len(n) for n in names],
                        pa.chunked_array(columns.contains(kp, rows, **options)).to_pylist()))
        assert got == want, prefix
        kept = con.sql(f"select id from '{path}' where {prefix}_contains(text) order by id").fetchall()
        assert [i for (i,) in kept] == [i for i, (*_, hit) in enumerate(want) if hit], prefix
    described = con.sql(f"describe select fq_extract(text) e, fq_count(text) c from '{path}'").fetchall()
    assert {r[0]: r[1] for r in described} == {
        "e": 'STRUCT(keyword VARCHAR, "similarity" FLOAT, "start" BIGINT, "end" BIGINT)[]', "c": "INTEGER"}
