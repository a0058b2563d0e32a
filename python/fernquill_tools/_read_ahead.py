"""Items of an iterator made on a thread of their own, a few ahead of the caller.

The command reads and splits its next batch while the worker pool scans the
current one (the scan releases the interpreter lock). Only for inputs whose
reads never wait: a helper blocked in a read of a pipe or a terminal could not
be told to stop.
"""

from __future__ import annotations

import collections
import contextlib
import threading
from collections.abc import Iterator
from typing import Protocol, TypeVar

T = TypeVar("T")


class _Closable(Protocol):
    def close(self) -> None: ...


I = TypeVar("I", bound=_Closable)

# Items made (or being made) but not yet taken, at most: the helper starts
# the next one only once the one before has been taken. Each is a group of
# batches, so this bounds the memory the helper adds to one group.
AHEAD = 1

_ITEM, _END, _FAILED = range(3)


class _Handover:
    """A bounded queue between one maker and one taker, which the taker can close."""

    def __init__(self) -> None:
        self.ready: collections.deque[tuple[int, object]] = collections.deque()
        self.changed = threading.Condition()
        self.closed = False

    def put(self, kind: int, value: object, bounded: bool = True) -> bool:
        """Hands an item over and, if `bounded`, waits until the taker holds
        all but AHEAD - 1 of those handed over; False once the taker has gone."""
        with self.changed:
            if self.closed:
                return False
            self.ready.append((kind, value))
            self.changed.notify_all()
            while bounded and len(self.ready) >= AHEAD and not self.closed:
                self.changed.wait()
            return not self.closed

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


class ReadAhead(Iterator[T]):
    """The items of `items` in order, each made while the caller works on the
    one before; the helper starts at once, not at the first item asked for. A
    failure while making them is raised in its place. `close()` (also called
    at the end) stops the helper after the item it is making and waits for it."""

    def __init__(self, items: Iterator[T]) -> None:
        self._handover = _Handover()
        self._maker = threading.Thread(target=_make, args=(items, self._handover), name="fernquill-read-ahead",
                                       daemon=True)
        self._maker.start()

    def __next__(self) -> T:
        kind, value = self._handover.take()
        if kind == _ITEM:
            return value  # type: ignore[return-value]
        self.close()
        if kind == _FAILED:
            assert isinstance(value, BaseException)
            raise value
        raise StopIteration

    def close(self, wait: bool = True) -> None:
        self._handover.close()
        if wait:
            self._maker.join()


def read_ahead(items: Iterator[T]) -> ReadAhead[T]:
    return ReadAhead(items)


@contextlib.contextmanager
def closed_after(items: I) -> Iterator[I]:
    """Closes `items` (a ReadAhead, or a generator) when the block ends. An
    interrupt (KeyboardInterrupt, or SIGTERM's exception) does not wait for a
    helper: it may be stuck in a call it cannot be told to leave, and as a
    daemon thread it ends with the process."""
    try:
        yield items
    except Exception:
        items.close()
        raise
    except BaseException:
        if isinstance(items, ReadAhead):
            items.close(wait=False)
        else:
            items.close()
        raise
    items.close()
