"""Items of an iterator made on a thread of their own, a few ahead of the caller.

The command reads and splits its next batch while the worker pool scans the
current one (the scan releases the interpreter lock). Only for inputs whose
reads never wait: a helper blocked in a read of a pipe or a terminal could not
be told to stop.
"""

from __future__ import annotations

import collections
import threading
from collections.abc import Generator, Iterator
from typing import TypeVar

T = TypeVar("T")

# Items made but not yet taken, at most: each is a batch, so this bounds the
# memory the helper adds.
AHEAD = 1

_ITEM, _END, _FAILED = range(3)


class _Handover:
    """A bounded queue between one maker and one taker, which the taker can close."""

    def __init__(self) -> None:
        self.ready: collections.deque[tuple[int, object]] = collections.deque()
        self.changed = threading.Condition()
        self.closed = False

    def put(self, kind: int, value: object, bounded: bool = True) -> bool:
        """Hands an item over; False once the taker has gone."""
        with self.changed:
            while bounded and len(self.ready) >= AHEAD and not self.closed:
                self.changed.wait()
            if self.closed:
                return False
            self.ready.append((kind, value))
            self.changed.notify_all()
            return True

    def take(self) -> tuple[int, object]:
        with self.changed:
            while not self.ready:
                self.changed.wait()
            item = self.ready.popleft()
            self.changed.notify_all()
            return item

    def close(self) -> None:
        with self.changed:
            self.closed = True
            self.changed.notify_all()


def _make(items: Iterator[T], handover: _Handover) -> None:
    try:
        for item in items:
            if not handover.put(_ITEM, item):
                return
        handover.put(_END, None, bounded=False)
    except BaseException as exc:  # noqa: BLE001 - every failure belongs to the taker
        handover.put(_FAILED, exc, bounded=False)
    finally:
        # The generator's own clean-ups (closing files, the progress display)
        # run on the thread that ran it.
        close = getattr(items, "close", None)
        if close is not None:
            close()


def read_ahead(items: Iterator[T]) -> Generator[T, None, None]:
    """The items of `items` in order, each made while the caller works on the
    one before. A failure while making them is raised here, in its place. When
    the caller stops early, the helper stops after the item it is making."""
    handover = _Handover()
    maker = threading.Thread(target=_make, args=(items, handover), name="fernquill-read-ahead", daemon=True)
    maker.start()
    try:
        while True:
            kind, value = handover.take()
            if kind == _END:
                return
            if kind == _FAILED:
                assert isinstance(value, BaseException)
                raise value
            yield value  # type: ignore[misc]
    finally:
        handover.close()
        maker.join()
