"""Keyword extraction, replacement and counting over whole columns.

A column is anything that exports the Arrow PyCapsule interface
(`__arrow_c_stream__` or `__arrow_c_array__`) with string, large_string or
string_view values: a pyarrow Array or ChunkedArray, a Polars Series, a
pandas Series backed by Arrow, a DuckDB result column. A plain sequence of
`str` (None for a missing row) works too.

The rows are scanned in blocks on the processor's worker pool, without a
Python object per row or per match, while other Python threads run. The
processor stays borrowed for the whole call, so changing it from another
thread meanwhile raises the usual RuntimeError.

`extract` and `replace` return an `ArrowColumn`, one row per input row (null
where the input is null), which pyarrow, Polars and pandas import without
copying: `pyarrow.chunked_array(r)`, `pyarrow.array(r)`, `polars.Series(r)`.
Neither pyarrow nor Polars is needed to import this module.
"""

from __future__ import annotations

from typing import Any, Literal

from fernquill import KeywordProcessor

from fernquill_tools import _native
from fernquill_tools._native import ArrowColumn

__all__ = ["ArrowColumn", "count", "extract", "replace"]


def extract(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    offsets: Literal["chars", "bytes"] = "chars",
    words: Literal["ascii", "unicode"] = "ascii",
    fallback: bool = False,
) -> ArrowColumn:
    """Every keyword occurrence in each row, as
    `list<struct<keyword: string, similarity: float32, start: int64, end: int64>>`.

    Row for row the same as `char_offsets(row, processor.extract_keywords(row,
    threshold))` (`offsets="chars"`: `str` indices of the row), or as
    `processor.extract_keywords(row, threshold)` itself (`offsets="bytes"`:
    UTF-8 byte offsets into the scanned row).

    `words` and `fallback` are the scan options of `fernquill_tools.extract`;
    with `words="unicode", fallback=True` each row equals
    `fernquill_tools.extract(processor, row, threshold)`. The defaults scan as
    the module's methods do.
    """
    return _native.extract(processor, column, threshold, offsets=offsets, words=words, fallback=fallback)


def replace(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Literal["ascii", "unicode"] = "ascii",
    fallback: bool = False,
) -> ArrowColumn:
    """Each row with every keyword replaced by its clean name, as a string
    column (large_string when the input has large_string chunks); row for row
    `processor.replace_keywords(row, threshold)` (with `words`/`fallback`
    as in `extract`: `fernquill_tools.replace(processor, row, threshold, ...)`)."""
    return _native.replace(processor, column, threshold, words=words, fallback=fallback)


def count(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Literal["ascii", "unicode"] = "ascii",
    fallback: bool = False,
) -> dict[str, int]:
    """The number of matches of each clean name over the whole column, in
    the order of each name's first match; names that never match are left
    out (as `collections.Counter` of the matches has it); `words` and
    `fallback` as in `extract`."""
    return _native.count(processor, column, threshold, words=words, fallback=fallback)
