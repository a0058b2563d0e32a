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
import contextlib
import os
import signal
import sys
from collections.abc import Generator, Iterable, Sequence

from fernquill import KeywordProcessor

from fernquill_tools import PanicException, __version__
from fernquill_tools._read_ahead import ReadAhead, closed_after, read_ahead
from fernquill_tools.cli_files import (
    PROG, CliError, Entry, Source, edit_in_place, input_files, reads_never_wait, write_atomically,
)
from fernquill_tools.cli_files import report as _error
from fernquill_tools.cli_progress import Progress
from fernquill_tools.cli_search import (
    DEFAULT_BATCH_BYTES, Batch, Output, OutputError, Search, batches, groups, stream,
)
from fernquill_tools.keywords import load_keywords

EXIT_MATCH, EXIT_NO_MATCH, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130
ERROR_POLICIES = ("strict", "replace", "skip")
WORD_TESTS = ("ascii", "unicode")


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


def _edit_in_place(files: list[Entry], args: argparse.Namespace, search: Search, progress: Progress) -> bool:
    """Rewrites each file with its keywords replaced; whether any failed."""
    def rewritten(source: Source) -> Generator[bytes, None, None]:
        found = batches(source, args, progress)
        with closed_after(read_ahead(found) if source.regular else found) as items:
            for batch in items:
                yield search.replaced(batch)

    return edit_in_place(files, args.suffix, args.skip_compressed, rewritten)


def _input_groups(files: list[Entry], args: argparse.Namespace, progress: Progress) -> ReadAhead[
        list[Batch] | CliError] | Generator[list[Batch] | CliError, None, None]:
    """The groups of `groups`, read ahead on a helper thread where reads never wait."""
    found = groups(files, args, progress)
    return read_ahead(found) if reads_never_wait(files) else found


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
    search = Search(args, kp)
    if in_place:
        failed = _edit_in_place(files, args, search, progress)
    else:
        out = Output()
        if items is None:
            with closed_after(_input_groups(files, args, progress)) as found:
                failed = stream(found, search, out)
        else:
            failed = stream(items, search, out)
    matched = search.matched
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
