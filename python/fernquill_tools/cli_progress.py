"""The progress bar of a run, on stderr when it is a terminal."""

from __future__ import annotations

import importlib
import os
import sys
import time
from collections.abc import Callable
from typing import Any

from fernquill_tools.cli_files import STDIN, Entry, Source

# The plain display (without tqdm) is redrawn at most this often, in seconds.
REDRAW_SECONDS = 0.2


class Progress:
    """Bytes of all the run's inputs read against their total size, only when
    stderr is a terminal. A compressed file counts by its position in the
    file, so that the bar stays in step with the total."""

    def __init__(self, total: int | None, files: int, enabled: bool) -> None:
        self.bar: Any = None
        self.done, self.total, self.shown = 0, total, 0.0
        self.files, self.started = files, 0
        self.enabled = enabled and sys.stderr.isatty()
        if self.enabled:
            try:  # optional, the [cli] extra; imported only for a terminal
                tqdm = importlib.import_module("tqdm")
            except ImportError:
                return
            self.bar = tqdm.tqdm(total=total, desc=self._files(), unit="B", unit_scale=True, file=sys.stderr,
                                 leave=False)

    @classmethod
    def for_run(cls, files: list[Entry], enabled: bool) -> Progress:
        total: int | None = 0
        if enabled and sys.stderr.isatty():  # sizes only when they are shown
            total = _total_size(files)
        return cls(total, len(files), enabled)

    def reading(self, source: Source) -> Callable[[int], None]:
        """What the reader of `source` calls with each count of bytes it reads."""
        if not self.enabled:
            return _ignore
        self.started += 1
        if self.bar is not None:
            self.bar.set_description(self._files(), refresh=False)
        if not source.compressed:
            return self.advance
        start, raw = self.done, source.raw

        def advance(n: int) -> None:  # decompressed bytes are not the file's: its position is
            try:
                at = raw.tell()
            except (OSError, ValueError):
                return
            self.advance(start + at - self.done)

        return advance

    def _files(self) -> str:
        return f"{self.started}/{self.files} files"

    def advance(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
            return
        now = time.monotonic()
        if now - self.shown >= REDRAW_SECONDS:
            self.shown = now
            share = f" {self.done / self.total:4.0%}" if self.total else ""
            sys.stderr.write(f"\r{self._files()}: {self.done >> 20} MiB{share}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def _ignore(n: int) -> None:
    pass


def _total_size(files: list[Entry]) -> int | None:
    """The size of all inputs, or None when one has none (stdin, a pipe)."""
    total = 0
    for entry in files:
        if entry.error is not None:
            continue
        if entry.path == STDIN or not entry.regular_only:
            return None
        try:
            total += os.stat(entry.path).st_size
        except OSError:
            continue
    return total
