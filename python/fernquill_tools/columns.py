"""Keyword extraction, replacement and counting over whole columns.

A column is anything that exports the Arrow PyCapsule interface
(`__arrow_c_stream__` or `__arrow_c_array__`) with string, large_string or
string_view values, plain or dictionary-encoded: a pyarrow Array or
ChunkedArray, a Polars Series (categorical too), a pandas Series backed by
Arrow, a DuckDB result column. A plain sequence of `str` (None or NaN for a
missing row) works too.

Rows are whole words by Unicode boundaries by default, as in
`fernquill_tools.extract`; `words="ascii"` gives the module's own results.

The rows are scanned in blocks on the processor's worker pool, without a
Python object per row or per match, while other Python threads run. The
processor stays borrowed for the whole call, so changing it from another
thread meanwhile raises the usual RuntimeError.

`extract`, `replace`, `names` and `contains` return an `ArrowColumn`, one row
per input row (null where the input is null), which pyarrow, Polars and pandas import without
copying: `pyarrow.chunked_array(r)`, `pyarrow.array(r)`, `polars.Series(r)`.
Neither pyarrow nor Polars is needed to import this module.
"""

from __future__ import annotations

from typing import Any, Literal

from fernquill import KeywordProcessor

from fernquill_tools import _native
from fernquill_tools._native import ArrowColumn

__all__ = ["ArrowColumn", "contains", "count", "extract", "names", "replace"]

Words = Literal["ascii", "unicode"]


def extract(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    offsets: Literal["chars", "bytes"] = "chars",
    words: Words = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn:
    """Every keyword occurrence in each row, as
    `list<struct<keyword: string, similarity: float32, start: int64, end: int64>>`.

    Row for row the same as `fernquill_tools.extract(processor, row, threshold,
    words=words, fallback=fallback, offsets=offsets)`: whole words by Unicode
    boundaries by default; `words="ascii"` scans as the module's methods do
    (`processor.extract_keywords(row, threshold)`, with `str` indices of the
    row for `offsets="chars"`). `fallback=None` takes the longest whole word
    on a path with `words="unicode"` only.
    """
    return _native.extract(processor, column, threshold, offsets=offsets, words=words, fallback=fallback)


def replace(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn:
    """Each row with every keyword replaced by its clean name, as a string
    column (large_string when the input has large_string chunks); row for row
    `fernquill_tools.replace(processor, row, threshold, words=words,
    fallback=fallback)` (`words="ascii"`: `processor.replace_keywords(row,
    threshold)`)."""
    return _native.replace(processor, column, threshold, words=words, fallback=fallback)


def names(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn:
    """The clean names of each row's matches, in order, as `list<string>`:
    the `keyword` field of `extract`'s rows without the rest."""
    return _native.names(processor, column, threshold, words=words, fallback=fallback)


def contains(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn:
    """Whether each row has a match, as `bool` (null where the row is)."""
    return _native.contains(processor, column, threshold, words=words, fallback=fallback)


def count(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
) -> dict[str, int]:
    """The number of matches of each clean name over the whole column, in
    the order of each name's first match; names that never match are left
    out (as `collections.Counter` of the matches has it); `words` and
    `fallback` as in `extract`."""
    return _native.count(processor, column, threshold, words=words, fallback=fallback)
