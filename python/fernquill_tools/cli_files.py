"""The command's file policy: which files a run reads, how each is opened,
how an input failure is reported, and how a file is rewritten in place.

Reading and rendering records live elsewhere; they meet this module through
`Source` (an opened input) and `CliError` (a failure reported as one line).
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import signal
import stat
import sys
import zlib
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import IO, Any, NamedTuple

PROG = "fernquill"
STDIN = "-"
STDIN_NAME = "<stdin>"
GZIP_MAGIC = b"\x1f\x8b"


class CliError(Exception):
    """An error reported as one line, naming the file (and line) at fault."""


def report(message: str, kind: str = "error") -> None:
    """One line on stderr. After an error the run goes on and ends with exit
    status 2; a warning leaves the status alone."""
    sys.stderr.write(f"{PROG}: {kind}: {message}\n")
    sys.stderr.flush()


# ---------------------------------------------------------------------------
# Which files


class Entry(NamedTuple):
    """One input of a run, as listed before any is read."""

    path: str
    # Opened without blocking and refused unless a regular file: it was one
    # when listed, or it was met while walking. Only a special file named by
    # the user (or stdin) is opened to wait for its writer.
    regular_only: bool = False
    follow: bool = True  # a symbolic link as the last part of the path is followed
    error: CliError | None = None  # what went wrong finding it, reported in its place


def input_files(args: argparse.Namespace) -> list[Entry]:
    """The inputs, folders expanded with -r or -R (sorted, hidden names too)."""
    files = args.files or ([] if args.save else [STDIN])
    follow = getattr(args, "dereference_recursive", False)
    out: list[Entry] = []
    for path in files:
        if path == STDIN:
            out.append(Entry(STDIN))
        elif (args.recursive or follow) and os.path.isdir(path):  # a link named by the user is followed
            out += _walk(path, follow)
        else:
            out.append(Entry(path, regular_only=_regular_or_missing(path)))
    return out


def _regular_or_missing(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # its error comes when it is opened, which then never waits


def _walk(top: str, follow: bool) -> list[Entry]:
    """The regular files under `top`, depth first, each folder's files before
    its subfolders. As grep -r: symbolic links met on the way are not followed
    (grep -R: they are), and FIFOs, sockets and devices are passed over, since
    reading them could wait forever or never end."""
    out: list[Entry] = []
    stack = [(top, frozenset([_identity(top)]))]
    while stack:
        folder, seen = stack.pop()
        try:
            with os.scandir(folder) as listing:
                found = sorted(listing, key=lambda e: e.name)
        except OSError as exc:
            out.append(Entry(folder, error=CliError(f"{folder}: {exc.strerror}")))
            continue
        subfolders = []
        for entry in found:
            kind, error = _kind(entry, follow)
            if error is not None:
                out.append(Entry(entry.path, error=error))
            elif kind == "file":
                out.append(Entry(entry.path, regular_only=True, follow=follow))
            elif kind == "folder":
                identity = _identity(entry.path)
                if identity in seen:  # a link back to a folder above: grep -R warns too
                    report(f"{entry.path}: recursive directory loop", "warning")
                    continue
                subfolders.append((entry.path, seen | {identity}))
        stack += reversed(subfolders)
    return out


def _kind(entry: os.DirEntry[str], follow: bool) -> tuple[str, CliError | None]:
    """"file", "folder" or "other" for a listed entry (links only if followed).
    The entry's type from the listing costs no call, but for a followed link."""
    try:
        if entry.is_symlink():
            if not follow:
                return "other", None
            mode = entry.stat().st_mode
        elif entry.is_dir(follow_symlinks=False):
            return "folder", None
        else:
            return ("file" if entry.is_file(follow_symlinks=False) else "other"), None
    except OSError as exc:  # a dangling link, a loop of links, an entry gone since
        return "other", CliError(f"{entry.path}: {exc.strerror}")
    if stat.S_ISDIR(mode):
        return "folder", None
    return ("file" if stat.S_ISREG(mode) else "other"), None


def _identity(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def reads_never_wait(files: list[Entry]) -> bool:
    """Whether no input can block a read or an open (each is opened without
    blocking and refused unless regular), so that reading ahead on a helper
    thread, which could not be told to stop, never waits."""
    return all(entry.regular_only or entry.error is not None for entry in files)


# ---------------------------------------------------------------------------
# Opening


class Source:
    __slots__ = ("stream", "name", "size", "compressed", "regular", "raw")

    def __init__(self, stream: IO[bytes], name: str, size: int | None, compressed: bool, regular: bool,
                 raw: IO[bytes] | None = None) -> None:
        self.stream, self.name, self.size, self.compressed = stream, name, size, compressed
        # Reads never wait (a regular file), so its batches may wait for others'.
        self.regular = regular
        self.raw = stream if raw is None else raw  # the file itself, under the decompressor

    def close(self) -> None:
        if self.raw is not sys.stdin.buffer:
            self.stream.close()  # a GzipFile leaves the file it reads open
            self.raw.close()


def open_source(entry: Entry, regular_only: bool = False) -> Source:
    """The input opened, recognising gzip by its first bytes. With
    `regular_only` (or the entry's), anything but a regular file is refused
    before it is read, and opened without waiting for a FIFO's writer."""
    if entry.error is not None:
        raise entry.error
    if entry.path == STDIN:
        stream: IO[bytes] = sys.stdin.buffer
        name, size, regular = STDIN_NAME, None, False
    else:
        stream, size, regular = _open_file(entry, regular_only or entry.regular_only)
        name = entry.path
    try:
        compressed = stream.peek(len(GZIP_MAGIC))[: len(GZIP_MAGIC)] == GZIP_MAGIC  # type: ignore[attr-defined]
    except OSError as exc:
        stream.close()
        raise CliError(f"{name}: {exc.strerror}") from None
    if not compressed:
        return Source(stream, name, size, compressed, regular)
    import gzip

    unpacked: IO[bytes] = gzip.GzipFile(fileobj=stream, mode="rb")  # type: ignore[assignment]
    return Source(unpacked, name, size, compressed, regular, stream)


NOT_REGULAR = "not a regular file"


def _open_file(entry: Entry, regular_only: bool) -> tuple[IO[bytes], int, bool]:
    path = entry.path
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY
    if regular_only:
        # Checked before opening too: opening a device may act on it, and a
        # socket cannot be opened at all. Checked again after: the path may
        # have changed since (O_NONBLOCK: a FIFO's open does not wait).
        if not _regular_or_missing(path):
            raise CliError(f"{path}: {NOT_REGULAR}")
        flags |= os.O_NONBLOCK
    if not entry.follow:
        flags |= os.O_NOFOLLOW
    try:
        fd = os.open(path, flags)
    except OSError as exc:
        # O_NOFOLLOW met a link where a regular file was listed.
        reason = NOT_REGULAR if exc.errno == errno.ELOOP and not entry.follow else exc.strerror
        raise CliError(f"{path}: {reason}") from None
    try:
        st = os.fstat(fd)
        if regular_only and not stat.S_ISREG(st.st_mode):
            raise CliError(f"{path}: {NOT_REGULAR}")
        os.set_blocking(fd, True)
        return open(fd, "rb"), st.st_size, stat.S_ISREG(st.st_mode)
    except BaseException:
        os.close(fd)
        raise


# ---------------------------------------------------------------------------
# Input failures

# What reading an input may raise besides CliError: the file's own errors,
# gzip's (a corrupt deflate block, a stream cut short) and a decompression
# bomb's MemoryError.
READ_FAILURES = (OSError, EOFError, zlib.error, MemoryError)


def input_failure(name: str, exc: BaseException) -> CliError:
    """The one line reporting a failure to read the input `name`; the run
    goes on with the next input and ends with exit status 2."""
    if isinstance(exc, CliError):
        return exc
    if isinstance(exc, MemoryError):
        reason = "out of memory while reading it"
    elif isinstance(exc, zlib.error):
        reason = f"corrupt compressed data ({exc})"
    else:
        reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
    return CliError(f"{name}: {reason}")


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

    __slots__ = ("entry", "hard_links")

    def __init__(self, entry: Entry) -> None:
        self.entry = entry  # through symbolic links: the link stays, the file it names is edited
        self.hard_links: list[str] = []


def _distinct_files(files: list[Entry]) -> list[Edit]:
    """Each file once, however often and under whatever names it is given:
    editing one file twice in place would replace twice and lose the backup."""
    edits: dict[tuple[Any, ...], Edit] = {}
    for given in files:
        # A link met while walking is never followed, even if a file became one since.
        path = _link_target(given.path) if given.follow else given.path
        try:
            st = os.stat(path)
            key: tuple[Any, ...] = (st.st_dev, st.st_ino)
        except OSError:
            key = (path,)  # the error is reported when it is opened
        if given.error is not None:
            key = (path, "refused")
        edit = edits.setdefault(key, Edit(given._replace(path=path)))
        entry = os.path.realpath(path)  # the same directory entry, however it is written
        if entry not in map(os.path.realpath, [edit.entry.path, *edit.hard_links]):
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


def edit_in_place(files: list[Entry], suffix: str, skip_compressed: bool,
                  rewritten: Callable[[Source], Generator[bytes, None, None]]) -> bool:
    """Rewrites each regular file with the chunks `rewritten` makes of it;
    whether any failed. Anything else (a device, a FIFO, a socket) is refused
    untouched, as a rewrite would put a regular file in its place."""
    if any(entry.path == STDIN for entry in files):
        raise CliError("cannot edit stdin in place")
    failed = False
    for edit in _distinct_files(files):
        path = edit.entry.path
        try:
            source = open_source(edit.entry, regular_only=True)
            if source.compressed:
                source.close()
                if skip_compressed:
                    report(f"{path}: compressed, left as it is", "warning")
                    continue
                raise CliError(f"{path}: cannot edit compressed input in place, as it would be written back "
                               "uncompressed (--skip-compressed leaves such files alone)")
            # Streamed into the temporary file, batch by batch.
            with contextlib.closing(rewritten(source)) as chunks:
                write_atomically(path, chunks, suffix)
            for name in edit.hard_links:
                _relink(path, name)
        except READ_FAILURES + (CliError,) as exc:
            report(str(input_failure(path, exc)))
            failed = True
    return failed
