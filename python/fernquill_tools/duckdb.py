"""The column calls as DuckDB SQL functions.

    import duckdb
    from fernquill_tools import duckdb as fq_duckdb
    fq_duckdb.register(con, kp)
    con.sql("select fq_replace(text) from 'notes.parquet' where fq_contains(text)")

`register` makes five vectorized functions of one VARCHAR argument, each
called by DuckDB with a batch of rows as an Arrow array
(`create_function(..., type="arrow")`) and scanning it as one column:

- `fq_extract(text)`: `STRUCT(keyword VARCHAR, similarity FLOAT, "start" BIGINT, "end" BIGINT)[]`;
- `fq_replace(text)`: `VARCHAR`;
- `fq_names(text)`: `VARCHAR[]`, the clean names of the row's matches;
- `fq_count(text)`: `INTEGER`, the number of matches in the row;
- `fq_contains(text)`: `BOOLEAN`, whether the row has a match.

NULL gives NULL. The processor and the options are fixed when the functions
are registered; register again under another prefix for others.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import duckdb  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pyarrow.compute as pc  # type: ignore[import-untyped, import-not-found, unused-ignore]
from fernquill import KeywordProcessor

from fernquill_tools import columns
from fernquill_tools.columns import Words

__all__ = ["register"]

SQL_TYPES = {
    "extract": 'STRUCT(keyword VARCHAR, similarity FLOAT, "start" BIGINT, "end" BIGINT)[]',
    "replace": "VARCHAR",
    "names": "VARCHAR[]",
    "count": "INTEGER",
    "contains": "BOOLEAN",
}


def _batch_function(kind: str, processor: KeywordProcessor, threshold: float | None, words: Words,
                    fallback: bool | None) -> Callable[[Any], pa.ChunkedArray]:
    scan = columns.names if kind == "count" else getattr(columns, kind)

    def run(texts: Any) -> pa.ChunkedArray:
        found = pa.chunked_array(scan(processor, texts, threshold, words=words, fallback=fallback))
        return pc.list_value_length(found) if kind == "count" else found
    return run


def register(con: duckdb.DuckDBPyConnection, processor: KeywordProcessor, prefix: str = "fq", *,
             threshold: float | None = None, words: Words = "unicode", fallback: bool | None = None) -> None:
    """Registers `{prefix}_extract`, `_replace`, `_names`, `_count` and
    `_contains` on the connection, scanning with `processor`."""
    # The options by name, which every DuckDB release takes (the enums for
    # them moved between modules).
    create: Any = con.create_function
    for kind, sql_type in SQL_TYPES.items():
        # Nulls go to the scan with the rest ("special"): it keeps them null
        # itself, and DuckDB would otherwise copy the batch to drop them.
        create(f"{prefix}_{kind}", _batch_function(kind, processor, threshold, words, fallback), ["VARCHAR"],
               duckdb.sqltype(sql_type), type="arrow", null_handling="special")
