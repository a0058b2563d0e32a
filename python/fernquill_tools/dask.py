"""Keywords over a Dask DataFrame column of Arrow strings.

    from fernquill_tools import dask as fq_dask
    ddf = fq_dask.with_column(ddf, processor, "text", "names", output="keywords")
    totals = fq_dask.count(ddf, processor, "text").compute()

Each partition is a pandas frame whose text column is Arrow-backed
(`string[pyarrow]`, Dask's default); its rows go to the column call as they
are, and the new column comes back Arrow-backed (`pd.ArrowDtype`), with the
partition's index. The processor is one graph key, shipped once to each
worker that needs it, not once per partition.

Needs dask[dataframe] and pandas; not needed to import fernquill_tools.
"""

from __future__ import annotations

from typing import Any

from fernquill import KeywordProcessor

from fernquill_tools.row_tasks import Kind, Task, summed

__all__ = ["count", "with_column"]


def _with_column(frame: Any, task: Task, column: str, output: str) -> Any:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    found = task.apply(frame[column])
    return frame.assign(**{output: pd.Series(pd.arrays.ArrowExtensionArray(found), index=frame.index)})


def with_column(ddf: Any, processor: KeywordProcessor, column: str, kind: Kind = "extract", *,
                output: str | None = None, **options: Any) -> Any:
    """`ddf` with one more column, `output` (by default `kind`): the column
    call `kind` of `fernquill_tools.columns` over `column`, row for row."""
    from dask.delayed import delayed  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    task = Task(processor, kind, options)
    name = output or kind
    meta = ddf._meta.assign(**{name: pd.Series([], dtype=pd.ArrowDtype(task.arrow_type()))})
    return ddf.map_partitions(_with_column, delayed(task), column, name, meta=meta)


def _count(series: Any, task: Task) -> dict[str, int]:
    return task.count(series)


def count(ddf: Any, processor: KeywordProcessor, column: str, **options: Any) -> Any:
    """A lazy dict of the matches of each clean name over the whole column:
    each partition counted where it lives, the counts added up in partition
    order (so names come in the order of their first match)."""
    from dask.delayed import delayed  # type: ignore[import-untyped, import-not-found, unused-ignore]
    task = Task(processor, "names", options)
    shared = delayed(task)
    pieces = [delayed(_count)(part, shared) for part in ddf[column].to_delayed()]
    return delayed(summed)(pieces)
