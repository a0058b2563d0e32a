"""Keywords over a Spark DataFrame column, on Spark's Arrow batches.

    from fernquill_tools import spark as fq_spark
    df = fq_spark.with_column(df, processor, "text", "names", output="keywords")
    totals = fq_spark.count(df, processor, "text")

Each Python worker gets Arrow record batches from `mapInArrow` and runs one
column call per batch on its own fernquill pool: no pandas, no Python object
per row. The processor is broadcast: pickled once on the driver, sent once
to each executor and read once by each Python worker, which Spark reuses
from task to task. Size each worker's pool with the executors' environment,
`spark.executorEnv.RAYON_NUM_THREADS` = cores per executor / tasks at once.

Needs pyspark (and a Java runtime); not needed to import fernquill_tools.
"""

from __future__ import annotations

from typing import Any, Iterator

from fernquill import KeywordProcessor

from fernquill_tools.row_tasks import Kind, Task, summed

__all__ = ["count", "spark_type", "with_column"]


def spark_type(kind: Kind) -> str:
    """The Spark SQL type of a task's column, as DDL."""
    return {"extract": "array<struct<keyword:string,similarity:float,start:bigint,end:bigint>>",
            "replace": "string", "names": "array<string>", "contains": "boolean"}[kind]


def _broadcast(df: Any, task: Task) -> Any:
    return df.sparkSession.sparkContext.broadcast(task)


def with_column(df: Any, processor: KeywordProcessor, column: str, kind: Kind = "extract", *,
                output: str | None = None, **options: Any) -> Any:
    """`df` with one more column, `output` (by default `kind`): the column
    call `kind` ("extract", "replace", "names" or "contains") of
    `fernquill_tools.columns` over the string column `column`, row for row,
    nulls kept. `options` go to the column call (threshold, words, ...)."""
    from pyspark.sql.pandas.types import to_arrow_type  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from pyspark.sql.types import StructField, StructType, _parse_datatype_string  # type: ignore[import-untyped, import-not-found, unused-ignore]

    shared = _broadcast(df, Task(processor, kind, options))
    name = output or kind
    added = StructField(name, _parse_datatype_string(spark_type(kind)))
    schema = StructType(df.schema.fields + [added])
    declared = to_arrow_type(added.dataType)  # Spark names a list's item "element"

    def batches(source: Iterator[Any]) -> Iterator[Any]:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        task = shared.value
        for batch in source:
            found = task.apply(batch.column(column)).cast(declared)
            yield pa.RecordBatch.from_arrays(batch.columns + [found], names=batch.schema.names + [name])

    return df.mapInArrow(batches, schema)


def count(df: Any, processor: KeywordProcessor, column: str, **options: Any) -> dict[str, int]:
    """The matches of each clean name over the whole column, as
    `fernquill_tools.columns.count` gives them for all its rows in one
    call: each partition is counted on its worker, and only the counts come
    back to the driver."""
    shared = _broadcast(df, Task(processor, "names", options))

    def batches(source: Iterator[Any]) -> Iterator[Any]:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        from pyspark import TaskContext  # type: ignore[import-untyped, import-not-found, unused-ignore]
        context = TaskContext.get()
        task, part = shared.value, context.partitionId() if context is not None else 0
        for seq, batch in enumerate(source):
            counts = task.count(batch.column(column))
            yield pa.RecordBatch.from_pydict({"part": [part] * len(counts), "seq": [seq] * len(counts),
                                              "name": list(counts), "n": list(counts.values())})

    rows = df.select(column).mapInArrow(batches, "part bigint, seq bigint, name string, n bigint").collect()
    pieces: dict[tuple[int, int], dict[str, int]] = {}
    for row in rows:  # in partition and batch order, so names come in the order of their first match
        pieces.setdefault((row.part, row.seq), {})[row.name] = row.n
    return summed(pieces[key] for key in sorted(pieces))
