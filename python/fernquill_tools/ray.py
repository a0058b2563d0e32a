"""Keywords over a Ray Data column, on Arrow batches held by actors.

    from fernquill_tools import ray as fq_ray
    ds = fq_ray.with_column(ds, processor, "text", "names", output="keywords", concurrency=2)
    totals = fq_ray.count(ds, processor, "text")

`ColumnMapper` is the callable class for `Dataset.map_batches(...,
batch_format="pyarrow")`: each actor reads the processor once, when Ray
builds it, and runs one column call per batch on its own fernquill pool,
with no pandas and no Python object per row. Give each actor as many CPUs
as its pool has threads (`num_cpus=`, and RAYON_NUM_THREADS in the actors'
runtime environment).

Needs ray[data]; not needed to import fernquill_tools.
"""

from __future__ import annotations

from typing import Any

from fernquill import KeywordProcessor

from fernquill_tools.row_tasks import Kind, Task, summed

__all__ = ["ColumnMapper", "count", "with_column"]


def _actors(size: int) -> Any:
    from ray.data import ActorPoolStrategy  # type: ignore[import-untyped, import-not-found, unused-ignore]
    return ActorPoolStrategy(size=size)


class ColumnMapper:
    """`table` -> `table` with one more column, `output`: the column call
    `kind` of `fernquill_tools.columns` over its string column `column`."""

    def __init__(self, processor: KeywordProcessor, column: str, kind: Kind = "extract", *,
                 output: str | None = None, **options: Any) -> None:
        self.task, self.column, self.output = Task(processor, kind, options), column, output or kind

    def __call__(self, table: Any) -> Any:
        return table.append_column(self.output, self.task.apply(table[self.column]))


def with_column(ds: Any, processor: KeywordProcessor, column: str, kind: Kind = "extract", *,
                output: str | None = None, concurrency: int = 1, num_cpus: float = 1,
                **options: Any) -> Any:
    """`ds` with one more column, computed by `concurrency` actors."""
    return ds.map_batches(ColumnMapper, fn_constructor_args=(processor, column, kind),
                          fn_constructor_kwargs={"output": output, **options},
                          batch_format="pyarrow", compute=_actors(concurrency), num_cpus=num_cpus)


class _Counter:
    def __init__(self, processor: KeywordProcessor, column: str, options: dict[str, Any]) -> None:
        self.task, self.column = Task(processor, "names", options), column

    def __call__(self, table: Any) -> Any:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        counts = self.task.count(table[self.column])
        return pa.table({"name": list(counts), "n": pa.array(list(counts.values()), pa.int64())})


def count(ds: Any, processor: KeywordProcessor, column: str, *, concurrency: int = 1,
          num_cpus: float = 1, **options: Any) -> dict[str, int]:
    """The matches of each clean name over the whole column; each batch is
    counted by an actor, and only the counts come back. Names come in the
    order of their first match when the dataset keeps its order
    (`DataContext.execution_options.preserve_order`)."""
    counted = ds.select_columns([column]).map_batches(
        _Counter, fn_constructor_args=(processor, column, options), batch_format="pyarrow",
        compute=_actors(concurrency), num_cpus=num_cpus)
    pieces = (dict(zip(t["name"].to_pylist(), t["n"].to_pylist()))
              for t in counted.iter_batches(batch_format="pyarrow", batch_size=None))
    return summed(pieces)
