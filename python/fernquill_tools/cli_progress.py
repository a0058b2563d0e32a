"""The progress bar of a run, on stderr when it is a terminal."""

from __future__ import annotations

import importlib
import sys
import time
from typing import Any


class Progress:
    """Bytes read against file size on stderr, only when stderr is a terminal."""

    def __init__(self, total: int | None, name: str, enabled: bool) -> None:
        self.bar: Any = None
        self.done, self.total, self.name, self.shown = 0, total, name, 0.0
        self.enabled = enabled and sys.stderr.isatty()
        if self.enabled:
            try:  # optional, the [cli] extra; imported only for a terminal
                tqdm = importlib.import_module("tqdm")
            except ImportError:
                return
            self.bar = tqdm.tqdm(total=total, desc=name, unit="B", unit_scale=True, file=sys.stderr, leave=False)

    def __call__(self, n: int) -> None:
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(n)
            return
        self.done += n
        now = time.monotonic()
        if now - self.shown >= 0.2:
            self.shown = now
            share = f" {self.done / self.total:4.0%}" if self.total else ""
            sys.stderr.write(f"\r{self.name}: {self.done >> 20} MiB{share}")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
