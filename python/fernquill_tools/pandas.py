"""`Series.fq`: the column calls as a pandas accessor, registered on import.

    import fernquill_tools.pandas  # noqa: F401 - registers .fq
    df["found"] = df["text"].fq.extract(kp)
    df.loc[df["text"].fq.contains(kp)]

Each method scans the Series' values as one column (`fernquill_tools.columns`)
and returns a Series with the caller's index and name, backed by Arrow
(`pd.ArrowDtype`), so a filtered or re-indexed frame gets its own rows back:

- `extract`: `list<struct<keyword, similarity, start, end>>` per row;
- `replace`: `string`, each row with its keywords replaced;
- `names`: `list<string>`, the clean names of each row's matches;
- `count`: `int32`, the number of matches in each row (as `.str.count`);
- `contains`: `bool`, whether a row has a match (as `.str.contains`).

A missing row (None, NaN, NA) gives a missing result. Whole words by Unicode
boundaries by default; `words="ascii"` scans as the module's methods do.
Needs pandas and pyarrow; Polars is not needed.
"""

from __future__ import annotations

from typing import Any, Literal

import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pyarrow.compute as pc  # type: ignore[import-untyped, import-not-found, unused-ignore]
from fernquill import KeywordProcessor

from fernquill_tools import columns
from fernquill_tools.columns import ArrowColumn, Words

__all__ = ["FernquillAccessor"]


def _column(series: pd.Series) -> Any:
    """What the column calls read: an object Series as its array of values,
    every missing value (None, NaN, NA) as None (any other value that is no
    `str` is refused by its position), anything else through its own Arrow
    export (str, `pd.ArrowDtype`, category)."""
    if series.dtype == object:
        return series.to_numpy(dtype=object, na_value=None)
    return series


@pd.api.extensions.register_series_accessor("fq")
class FernquillAccessor:
    """Keyword extraction and replacement over the Series' rows."""

    def __init__(self, series: pd.Series) -> None:
        self._series = series

    def _result(self, values: ArrowColumn | pa.ChunkedArray) -> pd.Series:
        chunked = values if isinstance(values, pa.ChunkedArray) else pa.chunked_array(values)
        return pd.Series(pd.arrays.ArrowExtensionArray(chunked), index=self._series.index,
                         name=self._series.name, copy=False)

    def extract(self, processor: KeywordProcessor, threshold: float | None = None, *,
                offsets: Literal["chars", "bytes"] = "chars", words: Words = "unicode",
                fallback: bool | None = None) -> pd.Series:
        """Every keyword occurrence of each row (`columns.extract`)."""
        return self._result(columns.extract(processor, _column(self._series), threshold, offsets=offsets,
                                            words=words, fallback=fallback))

    def replace(self, processor: KeywordProcessor, threshold: float | None = None, *,
                words: Words = "unicode", fallback: bool | None = None) -> pd.Series:
        """Each row with its keywords replaced by their clean names."""
        return self._result(columns.replace(processor, _column(self._series), threshold, words=words,
                                            fallback=fallback))

    def names(self, processor: KeywordProcessor, threshold: float | None = None, *,
              words: Words = "unicode", fallback: bool | None = None) -> pd.Series:
        """The clean names of each row's matches, in order."""
        return self._result(columns.names(processor, _column(self._series), threshold, words=words,
                                          fallback=fallback))

    def count(self, processor: KeywordProcessor, threshold: float | None = None, *,
              words: Words = "unicode", fallback: bool | None = None) -> pd.Series:
        """The number of matches in each row (the totals per clean name over
        the column: `columns.count`)."""
        found = pa.chunked_array(columns.names(processor, _column(self._series), threshold, words=words,
                                               fallback=fallback))
        return self._result(pc.list_value_length(found))

    def contains(self, processor: KeywordProcessor, threshold: float | None = None, *,
                 words: Words = "unicode", fallback: bool | None = None) -> pd.Series:
        """Whether each row has a match."""
        return self._result(columns.contains(processor, _column(self._series), threshold, words=words,
                                             fallback=fallback))
