"""`.fq` on Polars expressions and Series: the column calls, registered on
import.

    import fernquill_tools.polars  # noqa: F401 - registers .fq
    frame.lazy().with_columns(found=pl.col("text").fq.extract(kp)).filter(pl.col("text").fq.contains(kp))
    series.fq.replace(kp)

Each method scans the values as one column (`fernquill_tools.columns`), batch
by batch; on an expression it declares its result type, so a lazy frame
knows its schema (`collect_schema()`) before anything runs:

- `extract`: `List(Struct(keyword: String, similarity: Float32, start: Int64, end: Int64))`;
- `replace`: `String`;
- `names`: `List(String)`, the clean names of each row's matches;
- `count`: `UInt32`, the number of matches in each row (as `.str.count_matches`);
- `contains`: `Boolean`, whether a row has a match (as `.str.contains_any`).

A null row gives a null result; results keep the input's name. Whole words
by Unicode boundaries by default; `words="ascii"` scans as the module's
methods do. Needs Polars only (pyarrow, when present, spares a copy of
results of many blocks); pandas is not needed.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Generic, Literal, TypeVar

import polars as pl  # type: ignore[import-untyped, import-not-found, unused-ignore]
from fernquill import KeywordProcessor

from fernquill_tools import columns
from fernquill_tools.columns import ArrowColumn, Words

try:
    import pyarrow as _pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
except ImportError:  # pragma: no cover - exercised where pyarrow is absent
    _pa = None

__all__ = ["EXTRACT_TYPE", "FernquillExpr", "FernquillSeries"]

EXTRACT_TYPE = pl.List(pl.Struct({"keyword": pl.String, "similarity": pl.Float32, "start": pl.Int64,
                                  "end": pl.Int64}))
RESULT_TYPES: dict[str, Any] = {
    "extract": EXTRACT_TYPE,
    "replace": pl.String,
    "names": pl.List(pl.String),
    "count": pl.UInt32,
    "contains": pl.Boolean,
}


R = TypeVar("R", pl.Expr, pl.Series)


def _series(result: ArrowColumn, name: str) -> pl.Series:
    # pl.Series(result) asks for one array, which joins a result's blocks;
    # through pyarrow the blocks come over as chunks.
    return pl.Series(name, result if _pa is None else _pa.chunked_array(result))


def _call(kind: str, processor: KeywordProcessor, threshold: float | None,
          options: dict[str, Any]) -> Callable[[pl.Series], pl.Series]:
    """The Series-to-Series function of one method."""
    def run(series: pl.Series) -> pl.Series:
        if kind == "count":
            return _series(columns.names(processor, series, threshold, **options), series.name).list.len()
        scan = getattr(columns, kind)
        return _series(scan(processor, series, threshold, **options), series.name)
    return run


class _Methods(Generic[R]):
    """The five methods, each made by `_apply(kind, processor, threshold, options)`."""

    def _apply(self, kind: str, processor: KeywordProcessor, threshold: float | None,
               options: dict[str, Any]) -> R:
        raise NotImplementedError

    def extract(self, processor: KeywordProcessor, threshold: float | None = None, *,
                offsets: Literal["chars", "bytes"] = "chars", words: Words = "unicode",
                fallback: bool | None = None) -> R:
        """Every keyword occurrence of each row (`columns.extract`)."""
        return self._apply("extract", processor, threshold, {"offsets": offsets, "words": words,
                                                             "fallback": fallback})

    def replace(self, processor: KeywordProcessor, threshold: float | None = None, *,
                words: Words = "unicode", fallback: bool | None = None) -> R:
        """Each row with its keywords replaced by their clean names."""
        return self._apply("replace", processor, threshold, {"words": words, "fallback": fallback})

    def names(self, processor: KeywordProcessor, threshold: float | None = None, *,
              words: Words = "unicode", fallback: bool | None = None) -> R:
        """The clean names of each row's matches, in order."""
        return self._apply("names", processor, threshold, {"words": words, "fallback": fallback})

    def count(self, processor: KeywordProcessor, threshold: float | None = None, *,
              words: Words = "unicode", fallback: bool | None = None) -> R:
        """The number of matches in each row (the totals per clean name over
        the column: `columns.count`)."""
        return self._apply("count", processor, threshold, {"words": words, "fallback": fallback})

    def contains(self, processor: KeywordProcessor, threshold: float | None = None, *,
                 words: Words = "unicode", fallback: bool | None = None) -> R:
        """Whether each row has a match."""
        return self._apply("contains", processor, threshold, {"words": words, "fallback": fallback})


@pl.api.register_expr_namespace("fq")
class FernquillExpr(_Methods[pl.Expr]):
    """The methods on an expression: each gives an expression of its
    declared type, run on each batch of values."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def _apply(self, kind: str, processor: KeywordProcessor, threshold: float | None,
               options: dict[str, Any]) -> pl.Expr:
        return self._expr.map_batches(_call(kind, processor, threshold, options), return_dtype=RESULT_TYPES[kind],
                                      is_elementwise=True)


@pl.api.register_series_namespace("fq")
class FernquillSeries(_Methods[pl.Series]):
    """The methods on a Series: each gives a Series of the same length and name."""

    def __init__(self, series: pl.Series) -> None:
        self._series = series

    def _apply(self, kind: str, processor: KeywordProcessor, threshold: float | None,
               options: dict[str, Any]) -> pl.Series:
        return _call(kind, processor, threshold, options)(self._series)
