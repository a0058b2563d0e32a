"""The per-row column calls by name, for the cluster engines' Arrow batches.

A cluster engine hands a worker one Arrow record batch at a time and asks
for a new column of the same length, of a type it must know before the first
batch is seen. `Task` binds a processor, a column call of
`fernquill_tools.columns` and its options, and gives both: the column for a
batch (`Task.apply`) and its Arrow type (`Task.arrow_type`). The processor
travels with the task when the task is pickled, once per worker.

pyarrow is needed to call these, not to import this module.
"""

from __future__ import annotations

import collections
from dataclasses import dataclass, field
from typing import Any, Literal

from fernquill import KeywordProcessor

from fernquill_tools import columns

Kind = Literal["extract", "replace", "names", "contains"]
KINDS: tuple[Kind, ...] = ("extract", "replace", "names", "contains")


def _arrow_types(pa: Any) -> dict[str, Any]:
    match = pa.struct([("keyword", pa.string()), ("similarity", pa.float32()),
                       ("start", pa.int64()), ("end", pa.int64())])
    return {"extract": pa.list_(match), "replace": pa.string(),
            "names": pa.list_(pa.string()), "contains": pa.bool_()}


@dataclass(frozen=True)
class Task:
    """`kind` of `fernquill_tools.columns` with `processor` and `options`
    (`threshold`, `words`, `fallback`; `offsets` for "extract")."""

    processor: KeywordProcessor
    kind: Kind
    options: dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"unknown task {self.kind!r}: use one of {', '.join(KINDS)}")

    def arrow_type(self) -> Any:
        """The type of every column `apply` gives."""
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        return _arrow_types(pa)[self.kind]

    def apply(self, column: Any) -> Any:
        """The task's column for `column` (anything the column calls take), as
        one pyarrow Array of `arrow_type()`; the chunks of a result of many
        blocks are joined, as a record batch holds one array per column."""
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        call = getattr(columns, self.kind)
        result = pa.chunked_array(call(self.processor, column, **self.options))
        wanted = self.arrow_type()
        if result.type != wanted:  # large_string rows in, or large offsets out
            result = result.cast(wanted)
        return result.combine_chunks() if result.num_chunks != 1 else result.chunk(0)

    def count(self, column: Any) -> dict[str, int]:
        """`fernquill_tools.columns.count` of `column` with the task's options."""
        options = {k: v for k, v in self.options.items() if k != "offsets"}
        return columns.count(self.processor, column, **options)


def summed(counts: Any) -> dict[str, int]:
    """Counts of many pieces added up, in the order of each name's first
    appearance (pieces in row order give the order of one column call)."""
    total: collections.Counter[str] = collections.Counter()
    for piece in counts:
        total.update(piece)
    return dict(total)
