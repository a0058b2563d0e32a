"""The command's file policy: which files a run reads, how each is opened,
how an input failure is reported, and how a file is rewritten in place.

Reading and rendering records live elsewhere; they meet this module through
`Source` (an opened input) and `CliError` (a failure reported as one line).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import stat
import sys
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import IO, Any

PROG = "fernquill"
STDIN = "-"
STDIN_NAME = "<stdin>"
GZIP_MAGIC = b"\x1f\x8b"


class CliError(Exception):
    """An error reported as one line, naming the file (and line) at fault."""


def report(message: str) -> None:
    """One error line on stderr; the run goes on and ends with exit status 2."""
    sys.stderr.write(f"{PROG}: error: {message}\n")
    sys.stderr.flush()


# ---------------------------------------------------------------------------
# Which files


def input_files(args: argparse.Namespace) -> list[str]:
    """The files to read, folders expanded with -r (sorted, hidden names too)."""
    files = args.files or ([] if args.save else [STDIN])
    if not args.recursive:
        return list(files)
    out = []
    for path in files:
        if path != STDIN and os.path.isdir(path):
            for folder, subfolders, names in os.walk(path):
                subfolders.sort()
                out += [os.path.join(folder, name) for name in sorted(names)]
        else:
            out.append(path)
    return out


def reads_never_wait(files: list[str]) -> bool:
    """Whether every input is a regular file (or missing: its error comes at
    once), so that reading ahead on a helper thread never blocks in a read."""
    for path in files:
        if path == STDIN:
            return False
        try:
            mode = os.stat(path).st_mode
        except OSError:
            continue
        if not stat.S_ISREG(mode):
            return False
    return True


# ---------------------------------------------------------------------------
# Opening


class Source:
    __slots__ = ("stream", "name", "size", "compressed", "regular")

    def __init__(self, stream: IO[bytes], name: str, size: int | None, compressed: bool, regular: bool) -> None:
        self.stream, self.name, self.size, self.compressed = stream, name, size, compressed
        # Reads never wait (a regular file), so its batches may wait for others'.
        self.regular = regular


def open_source(path: str) -> Source:
    if path == STDIN:
        stream: IO[bytes] = sys.stdin.buffer
        name, size, regular = STDIN_NAME, None, False
    else:
        try:
            stream = open(path, "rb")
            st = os.fstat(stream.fileno())
        except OSError as exc:
            raise CliError(f"{path}: {exc.strerror}") from None
        name, size, regular = path, st.st_size, stat.S_ISREG(st.st_mode)
    try:
        compressed = stream.peek(len(GZIP_MAGIC))[: len(GZIP_MAGIC)] == GZIP_MAGIC  # type: ignore[attr-defined]
    except OSError as exc:
        stream.close()
        raise CliError(f"{name}: {exc.strerror}") from None
    if compressed:
        import gzip

        stream = gzip.GzipFile(fileobj=stream, mode="rb")  # type: ignore[assignment]
    return Source(stream, name, size, compressed, regular)


# ---------------------------------------------------------------------------
# Writing files


def write_atomically(path: str, chunks: Iterable[bytes], suffix: str = "") -> None:
    """Writes `path` through a temporary file beside it and os.replace, so a
    crash leaves either the old file or the new one, never half of it. An
    existing file keeps its owner, group and mode; with a suffix, the old file
    stays as `path + suffix`. Interrupts and SIGTERM remove the temporary file."""
    import tempfile

    directory = os.path.dirname(os.path.abspath(path))
    tmp = None
    try:
        # A signal between the file's creation and `tmp` being set would leave it behind.
        with signals_held():
            try:
                fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
            except OSError as exc:
                raise CliError(f"{path}: cannot write a new file beside it: {exc.strerror}") from None
        with os.fdopen(fd, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
            out.flush()
            _copy_ownership(path, out.fileno())
            os.fsync(out.fileno())
        if suffix and os.path.exists(path):
            _backup(path, path + suffix)
        with signals_held():  # else a signal here would look for a file already renamed
            os.replace(tmp, path)
            tmp = None
    except BaseException:
        if tmp is not None:
            with signals_held():
                os.unlink(tmp)
        raise


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _copy_ownership(path: str, fd: int) -> None:
    try:
        old = os.stat(path)
    except FileNotFoundError:  # a new file gets the usual permissions, not mkstemp's 0600
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        return
    # As sed -i: owner and group as they were where allowed (root; or a group
    # the user is in), then the mode, since a change of owner clears set-id bits.
    for uid, gid in ((old.st_uid, old.st_gid), (-1, old.st_gid)):
        try:
            os.fchown(fd, uid, gid)
            break
        except PermissionError:
            continue
    # A set-id bit stands for the old owner or group: it is not handed to
    # whoever now owns the file, as chown would not.
    new = os.fstat(fd)
    mode = old.st_mode & 0o7777
    if new.st_uid != old.st_uid:
        mode &= ~stat.S_ISUID
    if new.st_gid != old.st_gid:
        mode &= ~stat.S_ISGID
    os.fchmod(fd, mode)


def _backup(path: str, backup: str) -> None:
    # A second name for the old file, so that `path` itself is never missing.
    if os.path.lexists(backup):
        os.unlink(backup)
    try:
        os.link(path, backup)
    except OSError:  # no hard links here
        import shutil

        shutil.copy2(path, backup)


# ---------------------------------------------------------------------------
# Editing in place


class Edit:
    """One file to rewrite in place, and the other names it was given under."""

    __slots__ = ("path", "hard_links")

    def __init__(self, path: str) -> None:
        self.path = path  # through symbolic links: the link stays, the file it names is edited
        self.hard_links: list[str] = []


def _distinct_files(files: list[str]) -> list[Edit]:
    """Each file once, however often and under whatever names it is given:
    editing one file twice in place would replace twice and lose the backup."""
    edits: dict[tuple[Any, ...], Edit] = {}
    for given in files:
        path = _link_target(given)
        try:
            st = os.stat(path)
            key: tuple[Any, ...] = (st.st_dev, st.st_ino)
        except OSError:
            key = (path,)  # the error is reported when it is opened
        edit = edits.setdefault(key, Edit(path))
        entry = os.path.realpath(path)  # the same directory entry, however it is written
        if entry not in map(os.path.realpath, [edit.path, *edit.hard_links]):
            edit.hard_links.append(path)
    return list(edits.values())


def _link_target(path: str) -> str:
    # The path as given unless a symbolic link is on the way: errors then
    # name what the user typed.
    real = os.path.realpath(path)
    return path if real == os.path.abspath(path) else real


def _relink(path: str, name: str) -> None:
    """Makes `name`, another hard link of the file `path` was before its
    rewrite, a link of the rewritten file again, so that every name given
    shows the edit."""
    tmp = os.path.join(os.path.dirname(os.path.abspath(name)), f".{os.path.basename(name)}.{os.getpid()}.tmp")
    with signals_held():
        try:
            os.link(path, tmp)
            os.replace(tmp, name)
        except OSError as exc:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise CliError(f"{name}: cannot link it to the edited {path}: {exc.strerror}") from None


def edit_in_place(files: list[str], suffix: str, rewritten: Callable[[Source], Generator[bytes, None, None]]) -> bool:
    """Rewrites each file with the chunks `rewritten` makes of it; whether any failed."""
    if STDIN in files:
        raise CliError("cannot edit stdin in place")
    failed = False
    for edit in _distinct_files(files):
        path = edit.path
        try:
            source = open_source(path)
            if source.compressed:
                source.stream.close()
                raise CliError(f"{path}: cannot edit compressed input in place")
            # Streamed into the temporary file, batch by batch.
            with contextlib.closing(rewritten(source)) as chunks:
                write_atomically(path, chunks, suffix)
            for name in edit.hard_links:
                _relink(path, name)
        except CliError as exc:
            report(str(exc))
            failed = True
        except OSError as exc:
            report(f"{path}: {exc.strerror}")
            failed = True
    return failed
