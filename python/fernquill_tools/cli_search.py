"""The command's reading and searching: batches of whole lines read from each
source, and the native searcher that cuts them into records, checks them as
UTF-8, scans them and writes JSON Lines, counts or replaced text.

Python reads (files, pipes, gzip, with the read-ahead) and keeps the run's
policy; the searcher in `_native` does everything between the bytes read and
the bytes written.
"""

from __future__ import annotations

import argparse
import collections
import sys
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import Any, Literal

from fernquill import KeywordProcessor

from fernquill_tools import _native
from fernquill_tools.cli_files import (
    READ_FAILURES, STDIN, STDIN_NAME, CliError, Entry, Source, input_failure, open_source, report,
)
from fernquill_tools.cli_progress import Progress

# Records are read and processed this many bytes at a time, so memory stays
# flat whatever the input size (a single longer line is still read whole).
# Small files are packed together up to this size, so that many of them keep
# the worker pool busy at once.
DEFAULT_BATCH_BYTES = 4 << 20
# The first line of a batch that goes on from the batch before it, of the
# same file: the searcher numbers it.
GOES_ON = 0


class OutputError(CliError):
    """Standard output cannot be written: nothing more is worth doing."""


class Reading:
    """One input as it is read: its name, and whether the searcher stopped it
    (bytes that are not UTF-8 under --errors strict), which stops its reads."""

    __slots__ = ("name", "stopped")

    def __init__(self, name: str) -> None:
        self.name, self.stopped = name, False


class Batch:
    """Whole records of one file as read: lines (with their line feeds; the
    last one may lack it at the end of the file) or a whole file."""

    __slots__ = ("reading", "first_line", "data")

    def __init__(self, reading: Reading, first_line: int, data: bytes | bytearray) -> None:
        self.reading, self.first_line, self.data = reading, first_line, data


# ---------------------------------------------------------------------------
# Reading


def _read(source: Source, size: int) -> bytes:
    # One read of what is there (a whole batch from a file, what has arrived
    # from a pipe), so that piped input flows through promptly. A failure is
    # reported by input_failure, where the file is given up.
    return source.stream.read1(size) if size > 0 else source.stream.read()  # type: ignore[attr-defined]


def _line_batches(source: Source, reading: Reading, batch_bytes: int,
                  progress: Callable[[int], None]) -> Iterator[Batch]:
    pending = bytearray()  # the start of a line that has not ended yet
    first_line = 1
    while not reading.stopped:
        chunk = _read(source, batch_bytes)
        progress(len(chunk))
        cut = chunk.rfind(b"\n") + 1
        if chunk and cut == 0:  # still inside one line longer than a batch: keep reading
            pending += chunk
            continue
        data: bytes | bytearray
        if pending:  # one line longer than a batch: handed over, not copied again
            pending += chunk[:cut] if chunk else b""
            data, pending = pending, bytearray()
        else:
            data = chunk[:cut] if chunk else b""
        if chunk:
            pending += chunk[cut:]
        if data:
            yield Batch(reading, first_line, data)
            first_line = GOES_ON
        if not chunk:
            return


def batches(source: Source, args: argparse.Namespace, progress: Progress) -> Generator[Batch, None, None]:
    read = progress.reading(source)
    reading = Reading(source.name)
    try:
        if args.records == "file":
            data = _read(source, -1)
            read(len(data))
            yield Batch(reading, 1, data)
        else:
            yield from _line_batches(source, reading, args.batch_bytes, read)
    finally:
        source.close()


def groups(files: Iterable[Entry], args: argparse.Namespace,
           progress: Progress) -> Generator[list[Batch] | CliError, None, None]:
    """Batches of consecutive files, packed up to the batch size. A file that
    fails gives its error after the batches before it, and is not read further.
    What comes from a pipe or a terminal is processed as it arrives."""
    group: list[Batch] = []
    size = 0
    for entry in files:
        try:
            source = open_source(entry)
            for batch in batches(source, args, progress):
                group.append(batch)
                size += len(batch.data)
                if size >= args.batch_bytes or not source.regular:
                    yield group
                    group, size = [], 0
        except READ_FAILURES + (CliError,) as exc:
            if group:
                yield group
                group, size = [], 0
            yield input_failure(entry.path if entry.path != STDIN else STDIN_NAME, exc)
    if group:
        yield group


# ---------------------------------------------------------------------------
# Searching


class Output:
    """Standard output as bytes. A failed write (closed, full, an I/O error)
    becomes OutputError; a reader that went away stays BrokenPipeError."""

    def __init__(self) -> None:
        if sys.stdout is None:  # started with the descriptor closed
            raise OutputError("standard output: Bad file descriptor")
        self.stream = sys.stdout.buffer

    def write(self, data: bytes | memoryview) -> None:
        try:
            self.stream.write(data)
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(f"standard output: {exc.strerror}") from None


class Search:
    """A run's batches handed to the native searcher, group by group: what it
    writes, whether anything matched, and the counts of -c until the end."""

    def __init__(self, args: argparse.Namespace, kp: KeywordProcessor) -> None:
        self.kp, self.threshold = kp, args.threshold
        counting = getattr(args, "count", False)
        self.output: Literal["lines", "counts", "replaced"] = (
            "replaced" if args.command == "replace" else "counts" if counting else "lines")
        self.options: dict[str, Any] = {"offsets": getattr(args, "offsets", "chars"), "with_text": getattr(args, "with_text", False),
                        "whole_records": args.records == "file", "words": args.words, "fallback": args.fallback,
                        "errors": args.errors}
        self.per_file = getattr(args, "per_file", False)
        # Counts per path; all under None unless --per-file.
        self.counts: dict[str | None, collections.Counter[str]] = {}
        self.matched = False
        self.next_line = 1  # the line after the last batch searched

    def search(self, group: list[Batch]) -> tuple[bytes, list[tuple[int, str]]]:
        """The output of a group of batches, and the failures within it: the
        offset in the output where each stops, and its message."""
        group = [batch for batch in group if not batch.reading.stopped]
        if not group:
            return b"", []
        blocks = [(batch.data, batch.reading.name, batch.first_line) for batch in group]
        if blocks[0][2] == GOES_ON:
            blocks[0] = (group[0].data, group[0].reading.name, self.next_line)
        output, counts, matched, failures, self.next_line = _native.write_records(
            self.kp, blocks, self.threshold, self.output, **self.options)
        self.matched = self.matched or matched > 0
        if counts is not None:
            for batch, found in zip(group, counts):
                self.counts.setdefault(batch.reading.name if self.per_file else None,
                                       collections.Counter()).update(found)
        stops = []
        for block, line, offset in failures:
            reading = group[block].reading
            reading.stopped = True
            stops.append((offset, f"{reading.name}:{line}: invalid UTF-8"))
        return output, stops

    def replaced(self, batch: Batch) -> bytes:
        """A batch of a file edited in place, or CliError where it is not UTF-8."""
        output, stops = self.search([batch])
        if stops:
            raise CliError(stops[0][1])
        return output

    def count_records(self) -> bytes:
        counts: list[tuple[str | None, dict[str, int]]] = list(self.counts.items())
        return _native.count_records(counts) if counts else b""


def stream(items: Iterable[list[Batch] | CliError], search: Search, out: Output) -> bool:
    """Searches the groups to standard output; whether any input failed."""
    failed = False
    for item in items:
        if isinstance(item, CliError):
            report(str(item))
            failed = True
            continue
        output, stops = search.search(item)
        view, at = memoryview(output), 0
        for offset, message in stops:
            if offset > at:
                out.write(view[at:offset])
            at = offset
            report(message)
            failed = True
        if len(output) > at:
            out.write(view[at:])
    records = search.count_records()
    if records:
        out.write(records)
    return failed
