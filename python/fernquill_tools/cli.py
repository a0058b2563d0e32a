"""The `fernquill` command: extract or replace keywords in files or stdin.

    fernquill extract -k keywords.tsv notes/*.txt      # JSON Lines, one per matching line
    fernquill replace -e 'New York=NYC' -i.bak city.txt
    fernquill extract --words ascii -k keywords.tsv notes/*.txt   # the module's byte word test

Exit status: 0 if something matched, 1 if nothing did, 2 on any error,
130 when interrupted.
"""

from __future__ import annotations

# Modules that only some runs need (gzip, json, tempfile, shutil, threading)
# are imported where they are used: start-up is a visible share of a short run.
import argparse
import collections
import contextlib
import importlib
import operator
import os
import re
import signal
import sys
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from typing import Any

from fernquill import KeywordProcessor, PyKeywordMatch

from fernquill_tools import PanicException, __version__, whole_words
from fernquill_tools._read_ahead import ReadAhead, closed_after, read_ahead
from fernquill_tools.cli_files import (
    PROG, READ_FAILURES, STDIN, STDIN_NAME, CliError, Entry, Source, edit_in_place, input_failure, input_files,
    open_source, reads_never_wait, write_atomically,
)
from fernquill_tools.cli_files import report as _error
from fernquill_tools.cli_progress import Progress
from fernquill_tools.keywords import load_keywords
from fernquill_tools.offsets import char_spans

_write_records: Callable[..., Any] | None
_utf8_lines: Callable[[bytes | bytearray], tuple[int, int]]
try:  # the native writer, built with the package
    _native = importlib.import_module("fernquill_tools._native")
    _write_records, _utf8_lines = _native.write_records, _native.utf8_lines
except (ImportError, AttributeError):  # the package's source alone: the same output, written in Python
    _write_records = None


def _python_utf8_lines(data: bytes | bytearray) -> tuple[int, int]:
    """The length of the longest valid UTF-8 prefix, or -1 when all is valid;
    the number of line feeds."""
    try:
        data.decode("utf-8")
        bad = -1
    except UnicodeDecodeError as exc:
        bad = exc.start
    return bad, data.count(b"\n")


if _write_records is None:
    _utf8_lines = _python_utf8_lines


# Records are read and processed this many bytes at a time, so memory stays
# flat whatever the input size (a single longer line is still read whole).
# Small files are packed together up to this size, so that many of them keep
# the worker pool busy at once.
DEFAULT_BATCH_BYTES = 4 << 20
EXIT_MATCH, EXIT_NO_MATCH, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130
_MATCH_TUPLE = PyKeywordMatch.__getnewargs__
_SPAN = operator.attrgetter("start", "end")
# Case-sensitivity flag of a processor state: its second byte from the end.
# Read from the processor's own state, which has nothing after the flags
# (a saved file may: the reader ignores trailing bytes).
STATE_CASE_SENSITIVE = -2
ERROR_POLICIES = ("strict", "replace", "skip")
WORD_TESTS = ("ascii", "unicode")


class OutputError(CliError):
    """Standard output cannot be written: nothing more is worth doing."""


class Terminated(BaseException):
    """SIGTERM, raised like KeyboardInterrupt so that clean-ups run."""


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


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    kw = common.add_argument_group("keywords")
    kw.add_argument("-k", "--keywords", metavar="FILE", action="append", default=[],
                    help="keyword file: TSV/CSV (keyword, optional clean name), JSON or plain text; "
                         "lines that are '#' alone or start with '# ' are comments; repeatable")
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
    opts.add_argument("--words", choices=WORD_TESTS, default="unicode",
                      help="the word-boundary test: whole characters, where Unicode letters, marks and "
                           "digits are word characters (unicode, the default, for 'zurück' or 'daß'), or "
                           "single bytes as the module tests them (ascii); --word-chars then means "
                           "characters of any script")
    opts.add_argument("--fallback", action=argparse.BooleanOptionalAction, default=None,
                      help="where the longest keyword at a position is glued to the next word, take the "
                           "longest shorter one there that is a whole word (as grep -w does); exact "
                           "matching only; on by default with --words unicode")
    inp = common.add_argument_group("input")
    inp.add_argument("files", nargs="*", metavar="FILE",
                     help="input files, plain or gzip-compressed; '-' or none for stdin")
    inp.add_argument("-r", "--recursive", action="store_true",
                     help="read the regular files in folders given as FILE, and in their subfolders; "
                          "symbolic links, FIFOs, sockets and devices met on the way are passed over")
    inp.add_argument("-R", "--dereference-recursive", action="store_true",
                     help="as -r, but follow symbolic links met on the way")
    inp.add_argument("--records", choices=("lines", "file"), default="lines",
                     help="a record is a line (default) or a whole file")
    inp.add_argument("--errors", choices=ERROR_POLICIES, default="strict",
                     help="input that is not UTF-8: stop at it with an error (strict, the default), "
                          "read each bad byte as U+FFFD (replace), or leave its records unscanned (skip)")
    inp.add_argument("--batch-bytes", type=_positive, default=DEFAULT_BATCH_BYTES, metavar="N",
                     help=argparse.SUPPRESS)
    inp.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    return common


def _parser() -> argparse.ArgumentParser:
    common = _common_options()
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
    ex.add_argument("--with-text", action="store_true",
                    help="add the matched text of the record to each match, as a fifth item")
    ex.add_argument("-c", "--count", action="store_true", help="print match counts per keyword instead")
    ex.add_argument("--per-file", action="store_true",
                    help='with --count: counts for each file, {"path": ..., "keyword": ..., "count": ...}')
    rp = sub.add_parser("replace", parents=[common], help="replace keywords by their clean names", epilog=status,
                        description="Print the input with every keyword replaced by its clean name.")
    rp.add_argument("-i", "--in-place", dest="in_place", action="store_true",
                    help="edit the files in place; -iSUFFIX or --in-place=SUFFIX keeps a backup")
    rp.add_argument("--in-place-suffix", dest="suffix", default="", help=argparse.SUPPRESS)
    rp.add_argument("--skip-compressed", action="store_true",
                    help="with -i: leave gzip-compressed files as they are, with a warning, instead of "
                         "stopping at each with an error")
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


def _usage_conflict(args: argparse.Namespace) -> str | None:
    """Options that do not go together, as one line, or None."""
    if args.processor and (args.case_sensitive or args.allow_overlaps):
        return "-s/--case-sensitive and --allow-overlaps come from the saved state with --processor"
    if args.command == "replace" and args.skip_compressed and not (args.in_place or args.suffix):
        return "--skip-compressed goes with -i/--in-place"
    if args.command == "extract":
        if args.per_file and not args.count:
            return "--per-file goes with -c/--count"
        if args.with_text and args.count:
            return "--with-text does not go with -c/--count"
    return None


# ---------------------------------------------------------------------------
# The processor


def _build_processor(args: argparse.Namespace) -> KeywordProcessor:
    kp = KeywordProcessor(case_sensitive=args.case_sensitive, allow_overlaps=args.allow_overlaps)
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
        write_atomically(args.save, [kp.__getstate__()])
    return kp


def _case_sensitive(kp: KeywordProcessor) -> bool:
    return bool(kp.__getstate__()[STATE_CASE_SENSITIVE])


# ---------------------------------------------------------------------------
# Input


class Batch:
    """Whole records of one file as valid UTF-8: lines (with their line
    feeds; the last one may lack it at the end of the file) or a whole file."""

    __slots__ = ("path", "first_line", "data", "skipped")

    def __init__(self, path: str, first_line: int | None, data: bytes | bytearray,
                 skipped: dict[int, bytes] | None = None) -> None:
        self.path = path
        self.first_line = first_line  # None: whole-file records
        self.data = data
        # Lines left unscanned under --errors skip (their index in the batch, and
        # their bytes as read); their place in `data` holds an empty line.
        self.skipped: dict[int, bytes] = {} if skipped is None else skipped


def _read(source: Source, size: int) -> bytes:
    # One read of what is there (a whole batch from a file, what has arrived
    # from a pipe), so that piped input flows through promptly. A failure is
    # reported by input_failure, where the file is given up.
    return source.stream.read1(size) if size > 0 else source.stream.read()  # type: ignore[attr-defined]


def _valid(data: bytes | bytearray, bad: int, name: str, first_line: int | None,
           errors: str) -> tuple[bytes | bytearray, dict[int, bytes]]:
    """`data`, valid UTF-8 up to `bad` (-1: throughout), made valid by the
    --errors policy, and the lines skipped."""
    if bad < 0:
        return data, {}
    if errors == "strict":
        line = (first_line or 1) + data.count(b"\n", 0, bad)
        raise CliError(f"{name}:{line}: invalid UTF-8")
    if errors == "replace":
        return data.decode("utf-8", "replace").encode("utf-8"), {}
    if first_line is None:  # a whole-file record
        return b"", {0: bytes(data)}
    lines = bytes(data).split(b"\n")
    skipped: dict[int, bytes] = {}
    for i, raw in enumerate(lines):
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            skipped[i] = raw
            lines[i] = b""
    return b"\n".join(lines), skipped


def _line_batches(source: Source, errors: str, batch_bytes: int, progress: Callable[[int], None]) -> Iterator[Batch]:
    pending = bytearray()  # the start of a line that has not ended yet
    line = 1
    while True:
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
            bad, line_feeds = _utf8_lines(data)
            valid, skipped = _valid(data, bad, source.name, line, errors)
            yield Batch(source.name, line, valid, skipped)
            line += line_feeds + (not data.endswith(b"\n"))
        if not chunk:
            return


def _file_batch(source: Source, errors: str, progress: Callable[[int], None]) -> Iterator[Batch]:
    data = _read(source, -1)
    progress(len(data))
    valid, skipped = _valid(data, _utf8_lines(data)[0], source.name, None, errors)
    yield Batch(source.name, None, valid, skipped)


def _batches(source: Source, args: argparse.Namespace, progress: Progress) -> Generator[Batch, None, None]:
    read = progress.reading(source)
    try:
        if args.records == "file":
            yield from _file_batch(source, args.errors, read)
        else:
            yield from _line_batches(source, args.errors, args.batch_bytes, read)
    finally:
        source.close()


def _groups(files: Iterable[Entry], args: argparse.Namespace,
            progress: Progress) -> Generator[list[Batch] | CliError, None, None]:
    """Batches of consecutive files, packed up to the batch size. A file that
    fails gives its error after the batches before it, and is not read further.
    What comes from a pipe or a terminal is processed as it arrives."""
    group: list[Batch] = []
    size = 0
    for entry in files:
        try:
            source = open_source(entry)
            for batch in _batches(source, args, progress):
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
# Records


class Records:
    """A batch split into the texts that are scanned."""

    __slots__ = ("texts", "carriage_returns", "final_newline")

    def __init__(self, texts: list[str], carriage_returns: list[bool] | None, final_newline: bool) -> None:
        self.texts = texts
        self.carriage_returns = carriage_returns  # lines that ended in "\r\n", if any did
        self.final_newline = final_newline


def _records(batch: Batch) -> Records:
    text = batch.data.decode("utf-8")
    if batch.first_line is None:
        return Records([text], None, False)
    lines = text.split("\n")
    final_newline = text.endswith("\n")
    if final_newline:
        lines.pop()
    crs = None
    if "\r" in text:
        crs = [s.endswith("\r") for s in lines]
        lines = [s[:-1] if cr else s for s, cr in zip(lines, crs)]
    return Records(lines, crs, final_newline)


# ---------------------------------------------------------------------------
# Output


class Output:
    """Standard output as bytes. A failed write (closed, full, an I/O error)
    becomes OutputError; a reader that went away stays BrokenPipeError."""

    def __init__(self) -> None:
        if sys.stdout is None:  # started with the descriptor closed
            raise OutputError("standard output: Bad file descriptor")
        self.stream = sys.stdout.buffer

    def write(self, data: bytes) -> None:
        try:
            self.stream.write(data)
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(f"standard output: {exc.strerror}") from None


# What json.dumps(ensure_ascii=False) escapes in a str.
_JSON_ESCAPED = re.compile(r'[\x00-\x1f"\\]')


def _plain_json(obj: Any) -> bytes:
    """Compact JSON in UTF-8: the bytes orjson gives too, for the values the
    command writes (str without lone surrogates, int, float, None, lists, dicts)."""
    if isinstance(obj, str) and _JSON_ESCAPED.search(obj) is None:  # a file name, mostly: no json import
        return b'"' + obj.encode("utf-8") + b'"'
    import json

    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _json_encoder() -> Callable[[Any], bytes]:
    """The faster encoder when there are many objects to write. Its import
    costs more than a short run's scan, so the native writer's few file names
    go through _plain_json instead."""
    try:  # optional, the [cli] extra
        orjson = importlib.import_module("orjson")
        return orjson.dumps  # type: ignore[no-any-return]
    except ImportError:
        return _plain_json


def _escaped_json(obj: Any) -> bytes:
    """JSON in ASCII, for records of a file whose name is not UTF-8: the name's
    undecodable bytes come out as \\udcXX escapes, which `json.loads` then
    `os.fsencode` turn back into the name's own bytes."""
    import json

    return json.dumps(obj, separators=(",", ":")).encode("ascii")


def _encoder_for_path(path: str, dumps: Callable[[Any], bytes]) -> Callable[[Any], bytes]:
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:  # bytes the file system gave that are not UTF-8
        return _escaped_json
    return dumps


class Scan:
    """How records are scanned: the processor, the threshold and the
    whole-word options (--words, --fallback)."""

    __slots__ = ("kp", "threshold", "words", "fallback")

    def __init__(self, kp: KeywordProcessor, threshold: float | None, words: whole_words.Words = "unicode",
                 fallback: bool | None = None) -> None:
        # Unset, the fallback goes with the words, as in the other calls.
        self.kp, self.threshold, self.words = kp, threshold, words
        self.fallback = words == "unicode" if fallback is None else fallback

    @classmethod
    def for_args(cls, args: argparse.Namespace, kp: KeywordProcessor) -> Scan:
        return cls(kp, args.threshold, args.words, args.fallback)

    @property
    def module_scan(self) -> bool:
        return self.words == "ascii" and not self.fallback

    def extract(self, texts: list[str]) -> list[list[PyKeywordMatch]]:
        """The matches of each text with byte offsets into its scan text, as
        the module's batch method gives them."""
        if self.module_scan:
            return self.kp.parallel_extract_keywords_from_texts(texts, self.threshold)
        return [whole_words.extract(self.kp, text, self.threshold, words=self.words,
                                    fallback=self.fallback, offsets="bytes") for text in texts]

    def replace(self, texts: list[str]) -> list[str]:
        if self.module_scan:
            return self.kp.parallel_replace_keywords_from_texts(texts, self.threshold)
        return [whole_words.replace(self.kp, text, self.threshold, words=self.words,
                                    fallback=self.fallback) for text in texts]


class NativeWriter:
    """The records of a group of batches scanned and written by the native
    writer, in one call on the worker pool."""

    def __init__(self, scan: Scan, write: Callable[..., Any], offsets: str, with_text: bool, whole_records: bool,
                 dumps: Callable[[Any], bytes]) -> None:
        self.scan, self.write_records = scan, write
        self.offsets, self.with_text, self.whole_records = offsets, with_text, whole_records
        self.dumps = dumps
        self.paths: dict[str, bytes] = {}

    @classmethod
    def for_args(cls, args: argparse.Namespace, scan: Scan, dumps: Callable[[Any], bytes]) -> NativeWriter | None:
        if _write_records is None:
            return None
        return cls(scan, _write_records, getattr(args, "offsets", "chars"), getattr(args, "with_text", False),
                   args.records == "file", dumps)

    def write(self, group: list[Batch], output: str) -> tuple[bytes, list[dict[str, int]] | None, int]:
        blocks = [(batch.data, self._path_json(batch.path), batch.first_line or 1) for batch in group]
        scan = self.scan
        result: tuple[bytes, list[dict[str, int]] | None, int] = self.write_records(
            scan.kp, blocks, scan.threshold, output, self.offsets, self.with_text, self.whole_records,
            scan.words, scan.fallback)
        return result

    def _path_json(self, path: str) -> bytes:
        encoded = self.paths.get(path)
        if encoded is None:
            encoded = self.paths[path] = _encoder_for_path(path, self.dumps)(path)
        return encoded


class Extractor:
    def __init__(self, args: argparse.Namespace, kp: KeywordProcessor, out: Output) -> None:
        self.scan, self.out = Scan.for_args(args, kp), out
        self.chars = args.offsets == "chars"
        self.with_text = args.with_text
        self.exact = args.threshold in (None, 1.0)
        self.counting = args.count
        self.per_file = args.per_file
        # Counts per path; all under "" unless --per-file.
        self.counts: dict[str, collections.Counter[str]] = {}
        self._dumps: Callable[[Any], bytes] | None = None
        self.matched = False
        self.rounded: dict[float, float] = {}
        self.native = NativeWriter.for_args(args, self.scan, _plain_json)
        # Needed by the Python rendering only; the state is a copy of the whole store.
        self.case_sensitive = _case_sensitive(kp) if self.native is None else False

    @property
    def dumps(self) -> Callable[[Any], bytes]:
        # Chosen on first need: a run of the native writer without counts needs none.
        if self._dumps is None:
            self._dumps = _json_encoder()
        return self._dumps

    def group(self, group: list[Batch]) -> None:
        if self.native is not None:
            self._native_group(group)
            return
        records = [_records(batch) for batch in group]
        texts = [text for r in records for text in r.texts]
        results = self.scan.extract(texts)
        at = 0
        for batch, r in zip(group, records):
            mine = results[at : at + len(r.texts)]
            at += len(r.texts)
            if self.counting:
                self._count(batch.path, mine)
            else:
                self._write(batch, r.texts, mine)

    def _native_group(self, group: list[Batch]) -> None:
        assert self.native is not None
        output, counts, matched = self.native.write(group, "counts" if self.counting else "lines")
        if counts is not None:
            for batch, found in zip(group, counts):
                self.counts.setdefault(batch.path if self.per_file else "", collections.Counter()).update(found)
        if output:
            self.out.write(output)
        self.matched = self.matched or matched > 0

    def _count(self, path: str, results: list[list[PyKeywordMatch]]) -> None:
        counter = self.counts.setdefault(path if self.per_file else "", collections.Counter())
        for matches in results:
            counter.update([m.keyword for m in matches])
        self.matched = self.matched or bool(counter)

    def _write(self, batch: Batch, texts: list[str], results: list[list[PyKeywordMatch]]) -> None:
        first, path = batch.first_line, batch.path
        dumps = _encoder_for_path(path, self.dumps)
        plain = self.exact and not self.with_text
        chars = self.chars
        # Each match is written as [keyword, similarity, start, end]: for exact
        # matching on ASCII text (or with byte offsets) the engine's own tuple.
        # One comprehension over the records, as this is the command's hot loop.
        lines = [
            dumps({
                "path": path,
                "line": None if first is None else first + i,
                "matches": list(map(_MATCH_TUPLE, matches))
                if plain and (not chars or texts[i].isascii())
                else self._matches(texts[i], matches),
            })
            for i, matches in enumerate(results)
            if matches
        ]
        if lines:
            self.matched = True
            lines.append(b"")
            self.out.write(b"\n".join(lines))

    def _matches(self, text: str, matches: list[PyKeywordMatch]) -> list[tuple[Any, ...]]:
        ascii_text = text.isascii()
        char_ends = (list(map(_SPAN, matches)) if ascii_text
                     else char_spans(text, matches, case_sensitive=self.case_sensitive))
        spans = char_ends if self.chars else list(map(_SPAN, matches))
        rounded = self.rounded
        out: list[tuple[Any, ...]] = []
        for m, (start, end), (cs, ce) in zip(matches, spans, char_ends):
            s = m.similarity
            r = rounded.get(s)
            if r is None:  # the engine rounds to two decimals in 32 bits; show them as such
                r = rounded[s] = round(s, 2)
            out.append((m.keyword, r, start, end, text[cs:ce]) if self.with_text else (m.keyword, r, start, end))
        return out

    def finish(self) -> None:
        rows: list[bytes] = []
        for path, counter in self.counts.items():
            ranked = sorted(counter.items(), key=lambda kv: (-kv[1], kv[0]))
            dumps = _encoder_for_path(path, self.dumps)
            rows += [dumps({"path": path, "keyword": k, "count": n} if self.per_file else {"keyword": k, "count": n})
                     + b"\n" for k, n in ranked]
        if rows:
            self.out.write(b"".join(rows))


class Replacer:
    def __init__(self, args: argparse.Namespace, kp: KeywordProcessor, out: Output | None) -> None:
        self.scan, self.out = Scan.for_args(args, kp), out
        self.matched = False
        self.native = NativeWriter.for_args(args, self.scan, _plain_json)

    def replaced(self, batch: Batch) -> bytes:
        return b"".join(self._replaced([batch]))

    def _replaced(self, group: list[Batch]) -> list[bytes]:
        # Lines left unscanned go back as they were read: the Python rendering.
        if self.native is not None and not any(batch.skipped for batch in group):
            output, _, matched = self.native.write(group, "replaced")
            self.matched = self.matched or matched > 0
            return [output]
        records = [_records(batch) for batch in group]
        texts = [text for r in records for text in r.texts]
        results = self.scan.replace(texts)
        if not self.matched:
            # A clean name equal to its keyword leaves the text as it was: ask
            # extraction, until the first match is known.
            self.matched = results != texts or any(self.scan.extract(texts))
        out = []
        at = 0
        for batch, r in zip(group, records):
            mine = results[at : at + len(r.texts)]
            at += len(r.texts)
            out.append(_joined(batch, r, mine))
        return out

    def group(self, group: list[Batch]) -> None:
        assert self.out is not None
        self.out.write(b"".join(self._replaced(group)))

    def finish(self) -> None:
        pass


def _joined(batch: Batch, records: Records, results: list[str]) -> bytes:
    """The replaced records with their line ends, and skipped lines as read."""
    if records.carriage_returns is not None:
        results = [r + "\r" if cr else r for r, cr in zip(results, records.carriage_returns)]
    if batch.skipped:
        if batch.first_line is None:
            return batch.skipped[0]
        lines = [line.encode("utf-8") for line in results]
        for i, raw in batch.skipped.items():
            lines[i] = raw
        return b"\n".join(lines) + (b"\n" if records.final_newline else b"")
    text = "\n".join(results)
    if records.final_newline:
        text += "\n"
    return text.encode("utf-8")


# ---------------------------------------------------------------------------
# Running


def _edit_in_place(files: list[Entry], args: argparse.Namespace, worker: Replacer, progress: Progress) -> bool:
    """Rewrites each file with its keywords replaced; whether any failed."""
    def rewritten(source: Source) -> Generator[bytes, None, None]:
        batches = _batches(source, args, progress)
        with closed_after(read_ahead(batches) if source.regular else batches) as items:
            for batch in items:
                yield worker.replaced(batch)

    return edit_in_place(files, args.suffix, args.skip_compressed, rewritten)


def _input_groups(files: list[Entry], args: argparse.Namespace, progress: Progress) -> ReadAhead[
        list[Batch] | CliError] | Generator[list[Batch] | CliError, None, None]:
    """The groups of _groups, read ahead on a helper thread where reads never wait."""
    groups = _groups(files, args, progress)
    return read_ahead(groups) if reads_never_wait(files) else groups


def _stream(items: Iterable[list[Batch] | CliError], worker: Extractor | Replacer) -> bool:
    """Processes the groups to standard output; whether any failed."""
    failed = False
    for item in items:
        if isinstance(item, CliError):
            _error(str(item))
            failed = True
        else:
            worker.group(item)
    worker.finish()
    return failed


def _run(args: argparse.Namespace) -> int:
    in_place = getattr(args, "in_place", False) or bool(getattr(args, "suffix", ""))
    files = input_files(args)
    with contextlib.closing(Progress.for_run(files, not args.no_progress)) as progress:
        if in_place or args.save:  # an input may be the file saved: read it only once it is
            kp = _build_processor(args)
            return _run_with(kp, files, None, args, progress, in_place)
        # The first groups are read while the keywords load.
        with closed_after(_input_groups(files, args, progress)) as items:
            kp = _build_processor(args)
            return _run_with(kp, files, items, args, progress, in_place)


def _run_with(kp: KeywordProcessor, files: list[Entry], items: Iterable[list[Batch] | CliError] | None,
              args: argparse.Namespace, progress: Progress, in_place: bool) -> int:
    if not files:  # only saving; or folders with nothing to read in them
        return EXIT_NO_MATCH if args.files else EXIT_MATCH
    if in_place:
        replacer = Replacer(args, kp, None)
        failed = _edit_in_place(files, args, replacer, progress)
        matched = replacer.matched
    else:
        out = Output()
        worker = Extractor(args, kp, out) if args.command == "extract" else Replacer(args, kp, out)
        if items is None:
            with closed_after(_input_groups(files, args, progress)) as groups:
                failed = _stream(groups, worker)
        else:
            failed = _stream(items, worker)
        matched = worker.matched
    if failed:
        return EXIT_ERROR
    return EXIT_MATCH if matched else EXIT_NO_MATCH


def _silence_stdout() -> None:
    # Whatever is still buffered goes nowhere, so that the interpreter's final
    # flush does not fail (and complain) again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def _on_sigterm(signum: int, frame: object) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(_split_in_place(sys.argv[1:] if argv is None else argv))
    conflict = _usage_conflict(args)
    if conflict:
        _error(conflict)
        return EXIT_ERROR
    try:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    except ValueError:  # not the main thread: the caller keeps its own handling
        previous = None
    try:
        return _run(args)
    except OutputError as exc:
        _silence_stdout()
        _error(str(exc))
        return EXIT_ERROR
    except CliError as exc:
        _error(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        _silence_stdout()
        return EXIT_MATCH
    except Terminated:
        # Clean-ups have run; end by the signal itself, as the sender expects.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGTERM)
        raise
    finally:
        if previous is not None and signal.getsignal(signal.SIGTERM) is _on_sigterm:
            signal.signal(signal.SIGTERM, previous)
