"""The `fernquill` command: extract or replace keywords in files or stdin.

    fernquill extract -k keywords.tsv notes/*.txt      # JSON Lines, one per matching line
    fernquill replace -e 'New York=NYC' -i.bak city.txt

Exit status: 0 if something matched, 1 if nothing did, 2 on any error,
130 when interrupted.
"""

from __future__ import annotations

import argparse
import collections
import importlib
import json
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any

from fernquill import KeywordProcessor, PyKeywordMatch

from fernquill_tools import PanicException, __version__
from fernquill_tools.keywords import load_keywords
from fernquill_tools.offsets import char_spans


PROG = "fernquill"
STDIN = "-"
STDIN_NAME = "<stdin>"
# Records are read and processed this many bytes at a time, so memory stays
# flat whatever the input size (a single longer line is still read whole).
DEFAULT_BATCH_BYTES = 4 << 20
EXIT_MATCH, EXIT_NO_MATCH, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130
_MATCH_TUPLE = PyKeywordMatch.__getnewargs__
# Case-sensitivity flag of a saved processor state: the second byte from the end.
STATE_CASE_SENSITIVE = -2


class CliError(Exception):
    """An error reported as one line, naming the file (and line) at fault."""


# ---------------------------------------------------------------------------
# Arguments


def _threshold(value: str) -> float:
    try:
        t = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid threshold {value!r}: not a number") from None
    if not 0.0 <= t <= 1.0:  # also refuses NaN
        raise argparse.ArgumentTypeError(f"threshold {value} is outside 0..1")
    return t


def _positive(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        n = 0
    if n <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {value!r}")
    return n


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    kw = common.add_argument_group("keywords")
    kw.add_argument("-k", "--keywords", metavar="FILE", action="append", default=[],
                    help="keyword file: TSV/CSV (keyword, optional clean name), JSON or plain text; repeatable")
    kw.add_argument("-e", "--keyword", metavar="KW[=CLEAN]", action="append", default=[],
                    help="one keyword, with an optional clean name; repeatable")
    kw.add_argument("--processor", metavar="FILE",
                    help="load a processor saved with --save (its options and keywords)")
    kw.add_argument("--save", metavar="FILE",
                    help="save the processor's state to FILE; without input files, only save")
    opts = common.add_argument_group("matching")
    opts.add_argument("-s", "--case-sensitive", action="store_true", help="match case exactly")
    opts.add_argument("--allow-overlaps", action="store_true",
                      help="match inside words too (no word-boundary tests)")
    opts.add_argument("--word-chars", metavar="CHARS", default="",
                      help="characters to count as word characters besides ASCII letters and digits")
    opts.add_argument("-t", "--threshold", type=_threshold, metavar="T",
                      help="approximate matching with similarity at least T (0..1)")
    inp = common.add_argument_group("input")
    inp.add_argument("files", nargs="*", metavar="FILE", help="input files; '-' or none for stdin")
    inp.add_argument("--records", choices=("lines", "file"), default="lines",
                     help="a record is a line (default) or a whole file")
    inp.add_argument("--batch-bytes", type=_positive, default=DEFAULT_BATCH_BYTES, metavar="N",
                     help=argparse.SUPPRESS)
    inp.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")

    status = "exit status: 0 if anything matched, 1 if nothing did, 2 on an error, 130 when interrupted"
    parser = argparse.ArgumentParser(prog=PROG, description="Find and replace many keywords in text in one pass.",
                                     epilog=status)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    ex = sub.add_parser("extract", parents=[common], help="print matches as JSON Lines", epilog=status,
                        description='Print one JSON object per matching record: {"path": ..., "line": ..., '
                                    '"matches": [[clean name, similarity, start, end], ...]}.')
    ex.add_argument("--offsets", choices=("chars", "bytes"), default="chars",
                    help="offsets as str indices of the record (default) or UTF-8 byte offsets "
                         "into the (lower-cased) record")
    ex.add_argument("-c", "--count", action="store_true", help="print match counts per keyword instead")
    rp = sub.add_parser("replace", parents=[common], help="replace keywords by their clean names", epilog=status,
                        description="Print the input with every keyword replaced by its clean name.")
    rp.add_argument("-i", "--in-place", dest="in_place", action="store_true",
                    help="edit the files in place; -iSUFFIX or --in-place=SUFFIX keeps a backup")
    rp.add_argument("--in-place-suffix", dest="suffix", default="", help=argparse.SUPPRESS)
    return parser


def _split_in_place(argv: Sequence[str]) -> list[str]:
    # Like sed: a backup suffix is glued to the option (-i.bak, --in-place=.bak),
    # so that `-i FILE` never reads FILE as a suffix.
    out: list[str] = []
    for i, arg in enumerate(argv):
        if arg == "--":
            return out + list(argv[i:])
        if arg.startswith("--in-place="):
            out += ["--in-place", "--in-place-suffix=" + arg.split("=", 1)[1]]
        elif arg.startswith("-i") and len(arg) > 2 and not arg.startswith("--"):
            out += ["--in-place", "--in-place-suffix=" + arg[2:]]
        else:
            out.append(arg)
    return out


# ---------------------------------------------------------------------------
# The processor


def _build_processor(args: argparse.Namespace) -> tuple[KeywordProcessor, bool]:
    """The processor and its case-sensitivity."""
    kp = KeywordProcessor(case_sensitive=args.case_sensitive, allow_overlaps=args.allow_overlaps)
    case_sensitive = args.case_sensitive
    if args.processor:
        try:
            with open(args.processor, "rb") as f:
                state = f.read()
        except OSError as exc:
            raise CliError(f"{args.processor}: {exc.strerror}") from None
        try:  # raw state bytes, not a pickle: loading never runs code from the file
            kp.__setstate__(state)
        except PanicException:
            raise CliError(f"{args.processor}: not a saved fernquill processor") from None
        case_sensitive = bool(state[STATE_CASE_SENSITIVE])
    for ch in args.word_chars:
        kp.add_non_word_boundary(ch)
    for path in args.keywords:
        try:
            load_keywords(kp, path)
        except OSError as exc:
            raise CliError(f"{path}: {exc.strerror}") from None
        except ValueError as exc:
            raise CliError(str(exc)) from None
    for given in args.keyword:
        keyword, _, clean_name = given.partition("=")
        if not keyword:
            raise CliError(f"-e {given!r}: empty keyword")
        kp.add_keyword(keyword, clean_name or None)
    if len(kp) == 0:
        raise CliError("no keywords: give -k FILE, -e KEYWORD or --processor FILE")
    if args.save:
        _write_atomically(args.save, [kp.__getstate__()])
    return kp, case_sensitive


def _write_atomically(path: str, chunks: Iterable[bytes], suffix: str = "") -> None:
    """Writes `path` through a temporary file beside it and os.replace, so a
    crash leaves either the old file or the new one, never half of it. With a
    suffix, the old file stays as `path + suffix`."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            for chunk in chunks:
                out.write(chunk)
            out.flush()
            os.fsync(out.fileno())
        if os.path.exists(path):
            os.chmod(tmp, os.stat(path).st_mode & 0o7777)
            if suffix:
                _backup(path, path + suffix)
        else:  # a new file gets the usual permissions, not mkstemp's 0600
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _backup(path: str, backup: str) -> None:
    # A second name for the old file, so that `path` itself is never missing.
    if os.path.lexists(backup):
        os.unlink(backup)
    try:
        os.link(path, backup)
    except OSError:  # no hard links here
        shutil.copy2(path, backup)


# ---------------------------------------------------------------------------
# Input


@dataclass
class Batch:
    path: str
    first_line: int | None  # None: whole-file records
    texts: list[str]
    carriage_returns: list[bool] | None  # lines that ended in "\r\n", if any did
    final_newline: bool


def _open(path: str) -> tuple[IO[bytes], str, int | None]:
    if path == STDIN:
        return sys.stdin.buffer, STDIN_NAME, None
    try:
        f = open(path, "rb")
        return f, path, os.fstat(f.fileno()).st_size
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror}") from None


def _decode(data: bytes, name: str, first_line: int) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = first_line + data.count(b"\n", 0, exc.start)
        raise CliError(f"{name}:{line}: invalid UTF-8") from None


def _read(stream: IO[bytes], name: str, size: int) -> bytes:
    try:
        # One read of what is there (a whole batch from a file, what has
        # arrived from a pipe), so that piped input flows through promptly.
        return stream.read1(size) if size > 0 else stream.read()  # type: ignore[attr-defined]
    except OSError as exc:
        raise CliError(f"{name}: {exc.strerror}") from None


def _line_batches(stream: IO[bytes], name: str, batch_bytes: int, progress: Callable[[int], None]) -> Iterator[Batch]:
    pending: list[bytes] = []  # the start of a line that has not ended yet
    line = 1
    while True:
        chunk = _read(stream, name, batch_bytes)
        progress(len(chunk))
        if chunk:
            cut = chunk.rfind(b"\n") + 1
            if cut == 0:  # still inside one line longer than a batch: keep reading
                pending.append(chunk)
                continue
            data = b"".join([*pending, chunk[:cut]])
            pending = [chunk[cut:]]
        else:
            data = b"".join(pending)
        if not data:
            return
        text = _decode(data, name, line)
        lines = text.split("\n")
        final_newline = text.endswith("\n")
        if final_newline:
            lines.pop()
        crs = None
        if "\r" in text:
            crs = [s.endswith("\r") for s in lines]
            lines = [s[:-1] if cr else s for s, cr in zip(lines, crs)]
        yield Batch(name, line, lines, crs, final_newline)
        line += len(lines)
        if not chunk:
            return


def _file_batch(stream: IO[bytes], name: str, progress: Callable[[int], None]) -> Iterator[Batch]:
    data = _read(stream, name, -1)
    progress(len(data))
    yield Batch(name, None, [_decode(data, name, 1)], None, False)


class _Progress:
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


# ---------------------------------------------------------------------------
# Output


def _json_encoder() -> Callable[[Any], bytes]:
    try:  # optional, the [cli] extra
        orjson = importlib.import_module("orjson")
        return orjson.dumps  # type: ignore[no-any-return]
    except ImportError:
        pass

    def dumps(obj: Any) -> bytes:
        return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")

    return dumps


class Extractor:
    def __init__(self, args: argparse.Namespace, kp: KeywordProcessor, case_sensitive: bool, out: IO[bytes]) -> None:
        self.kp, self.threshold, self.out = kp, args.threshold, out
        self.case_sensitive = case_sensitive
        self.chars = args.offsets == "chars"
        self.exact = args.threshold in (None, 1.0)
        self.counts: collections.Counter[str] | None = collections.Counter() if args.count else None
        self.dumps = _json_encoder()
        self.matched = False
        self.rounded: dict[float, float] = {}

    def batch(self, batch: Batch) -> None:
        results = self.kp.parallel_extract_keywords_from_texts(batch.texts, self.threshold)
        if self.counts is not None:
            for matches in results:
                self.counts.update([m.keyword for m in matches])
            self.matched = self.matched or bool(self.counts)
            return
        dumps, first, path, texts = self.dumps, batch.first_line, batch.path, batch.texts
        exact, chars = self.exact, self.chars
        # Each match is written as [keyword, similarity, start, end]: for exact
        # matching on ASCII text (or with byte offsets) the engine's own tuple.
        # One comprehension over the records, as this is the command's hot loop.
        lines = [
            dumps({
                "path": path,
                "line": None if first is None else first + i,
                "matches": list(map(_MATCH_TUPLE, matches))
                if exact and (not chars or texts[i].isascii())
                else self._matches(texts[i], matches),
            })
            for i, matches in enumerate(results)
            if matches
        ]
        if lines:
            self.matched = True
            lines.append(b"")
            self.out.write(b"\n".join(lines))

    def _matches(self, text: str, matches: list[PyKeywordMatch]) -> list[tuple[str, float, int, int]]:
        if self.chars and not text.isascii():
            spans = char_spans(text, matches, case_sensitive=self.case_sensitive)
        else:
            spans = [(m.start, m.end) for m in matches]
        rounded = self.rounded
        out = []
        for m, (start, end) in zip(matches, spans):
            s = m.similarity
            r = rounded.get(s)
            if r is None:  # the engine rounds to two decimals in 32 bits; show them as such
                r = rounded[s] = round(s, 2)
            out.append((m.keyword, r, start, end))
        return out

    def finish(self) -> None:
        if self.counts is not None:
            ranked = sorted(self.counts.items(), key=lambda kv: (-kv[1], kv[0]))
            self.out.write(b"".join(self.dumps({"keyword": k, "count": n}) + b"\n" for k, n in ranked))


class Replacer:
    def __init__(self, args: argparse.Namespace, kp: KeywordProcessor, out: IO[bytes]) -> None:
        self.kp, self.threshold, self.out = kp, args.threshold, out
        self.matched = False

    def replaced(self, batch: Batch) -> bytes:
        texts = batch.texts
        results = self.kp.parallel_replace_keywords_from_texts(texts, self.threshold)
        if not self.matched:
            # A clean name equal to its keyword leaves the text as it was: ask
            # extraction, until the first match is known.
            self.matched = results != texts or any(self.kp.parallel_extract_keywords_from_texts(texts, self.threshold))
        if batch.carriage_returns is not None:
            results = [r + "\r" if cr else r for r, cr in zip(results, batch.carriage_returns)]
        text = "\n".join(results)
        if batch.final_newline:
            text += "\n"
        return text.encode("utf-8")

    def batch(self, batch: Batch) -> None:
        self.out.write(self.replaced(batch))

    def finish(self) -> None:
        pass


# ---------------------------------------------------------------------------
# Running


def _batches(path: str, args: argparse.Namespace) -> Iterator[Batch]:
    stream, name, size = _open(path)
    progress = _Progress(size, name, not args.no_progress)
    try:
        if args.records == "file":
            yield from _file_batch(stream, name, progress)
        else:
            yield from _line_batches(stream, name, args.batch_bytes, progress)
    finally:
        progress.close()
        if stream is not sys.stdin.buffer:
            stream.close()


def _error(message: str) -> None:
    sys.stderr.write(f"{PROG}: error: {message}\n")
    sys.stderr.flush()


def _run(args: argparse.Namespace) -> int:
    kp, case_sensitive = _build_processor(args)
    files = args.files or ([] if args.save else [STDIN])
    if not files:
        return EXIT_MATCH
    out = sys.stdout.buffer
    worker: Extractor | Replacer
    worker = Extractor(args, kp, case_sensitive, out) if args.command == "extract" else Replacer(args, kp, out)
    in_place = getattr(args, "in_place", False) or bool(getattr(args, "suffix", ""))
    if in_place and STDIN in files:
        raise CliError("cannot edit stdin in place")
    failed = False
    for path in files:
        try:
            if in_place:
                assert isinstance(worker, Replacer)
                # Streamed into the temporary file, batch by batch.
                _write_atomically(path, (worker.replaced(b) for b in _batches(path, args)), args.suffix)
            else:
                for batch in _batches(path, args):
                    worker.batch(batch)
                    out.flush()
        except CliError as exc:
            _error(str(exc))
            failed = True
        except OSError as exc:
            if isinstance(exc, BrokenPipeError):
                raise
            _error(f"{exc.filename or path}: {exc.strerror}")
            failed = True
    worker.finish()
    out.flush()
    if failed:
        return EXIT_ERROR
    return EXIT_MATCH if worker.matched else EXIT_NO_MATCH


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(_split_in_place(sys.argv[1:] if argv is None else argv))
    if args.processor and (args.case_sensitive or args.allow_overlaps):
        _error("-s/--case-sensitive and --allow-overlaps come from the saved state with --processor")
        return EXIT_ERROR
    try:
        return _run(args)
    except CliError as exc:
        _error(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from complaining about stdout again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_MATCH
