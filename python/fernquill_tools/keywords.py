"""Loading keywords from files into a processor."""

from __future__ import annotations

import os
import re
from collections.abc import Iterator
from typing import IO, Union

from fernquill import KeywordProcessor

__all__ = ["load_keywords"]

Source = Union[str, "os.PathLike[str]", IO[str], IO[bytes]]
Entry = tuple[str, Union[str, None]]
_SUFFIXES = {".tsv": "tsv", ".tab": "tsv", ".csv": "csv", ".json": "json", ".txt": "text"}
FORMATS = ("tsv", "csv", "json", "text")
BYTE_ORDER_MARK = "\ufeff"


class _Malformed(Exception):
    def __init__(self, line: int, message: str) -> None:
        super().__init__(message)
        self.line = line


def load_keywords(processor: KeywordProcessor, source: Source, format: str | None = None) -> int:
    """Adds the keywords of a file to `processor` and returns how many.

    `source` is a path or an open file (text or binary, UTF-8). Formats, taken
    from `format`, else from the file name's suffix, else from the content:

    - ``tsv``: ``keyword<TAB>clean name`` per line, the clean name optional;
    - ``csv``: ``keyword,clean name`` rows, the clean name optional;
    - ``json``: ``{"keyword": "clean name"}`` or ``{"clean name": ["keyword", ...]}``
      (a null clean name means none);
    - ``text``: one keyword per line.

    Lines end at a line feed (or CR LF) only; any other character, U+2028 or
    a form feed among them, belongs to the keyword; a byte order mark at the
    start is dropped. A text stream opened with universal newlines (Python's
    default) has already read each lone CR as a line end, so such a stream is
    refused: open it with ``newline=''``. In the line formats, blank
    lines (nothing but spaces and tabs) and comment lines are skipped. A
    comment line is ``#`` alone or ``#`` followed by a space or a tab, so
    ``#MeToo`` is a keyword; a keyword that starts with "# " can be given in
    JSON. A malformed line raises ValueError naming the file and line, and the
    processor is left as it was: all keywords are added or none.
    """
    name, content = _read(source)
    fmt = format or _guess_format(name, content)
    if fmt not in FORMATS:
        raise ValueError(f"{name}: unknown keyword file format {fmt!r} (one of {', '.join(FORMATS)})")
    try:
        entries = list(_PARSERS[fmt](content))
    except _Malformed as exc:
        raise ValueError(f"{name}:{exc.line}: {exc}") from None
    _add_all(processor, entries)
    return len(entries)


def _read(source: Source) -> tuple[str, str]:
    if isinstance(source, (str, os.PathLike)):
        name = os.fsdecode(source)
        with open(source, "rb") as f:
            raw: str | bytes = f.read()
    else:
        name = str(getattr(source, "name", "<stream>"))
        raw = source.read()
    if isinstance(raw, str):
        _refuse_translated_carriage_returns(source, name, raw)
        # As utf-8-sig reads bytes: a byte order mark is no part of a keyword.
        return name, raw.removeprefix(BYTE_ORDER_MARK)
    try:
        return name, raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = raw.count(b"\n", 0, exc.start) + 1
        raise ValueError(f"{name}:{line}: invalid UTF-8") from None


def _refuse_translated_carriage_returns(source: object, name: str, content: str) -> None:
    # A text stream opened with universal newlines has already turned each lone
    # CR into a line feed, cutting the keyword that held it.
    seen = getattr(source, "newlines", None)
    if seen is None or "\r" in content:
        return
    if "\r" in (seen if isinstance(seen, tuple) else (seen,)):
        raise ValueError(f"{name}: a lone carriage return was read as a line end; open the file with newline=''")


def _guess_format(name: str, content: str) -> str:
    fmt = _SUFFIXES.get(os.path.splitext(name)[1].lower())
    if fmt:
        return fmt
    if content.lstrip().startswith("{"):
        return "json"
    return "tsv" if "\t" in content else "text"


# A comment is "#" alone or "#" and a blank; "#MeToo" and "#1" stay keywords.
_COMMENT = re.compile(r"#(?:[ \t]|$)")
_BLANK = " \t"
# A line that starts with none of these is neither blank nor a comment.
_SKIPPED_START = " \t#"


def _is_skipped(line: str) -> bool:
    return not line.strip(_BLANK) or line[:1] == "#" and _COMMENT.match(line) is not None


def _lines(content: str) -> Iterator[tuple[int, str]]:
    # str.splitlines would also split at U+0085, U+2028, form feed and
    # others, cutting keywords that hold them.
    lines = content.split("\n")
    if lines[-1] == "":
        lines.pop()
    for number, line in enumerate(lines, 1):
        if line[-1:] == "\r":
            line = line[:-1]
        # ""[:1] is in any str, so an empty line takes the full test.
        if line[:1] not in _SKIPPED_START or not _is_skipped(line):
            yield number, line


def _keyword(line: int, keyword: str) -> str:
    if not keyword:
        raise _Malformed(line, "empty keyword")
    return keyword


def _parse_tsv(content: str) -> Iterator[Entry]:
    for number, line in _lines(content):
        keyword, _, clean_name = line.partition("\t")
        if "\t" in clean_name:
            fields = line.count("\t") + 1
            raise _Malformed(number, f"expected keyword[<TAB>clean name], got {fields} fields")
        yield _keyword(number, keyword), clean_name or None


def _csv_lines(content: str) -> Iterator[str]:
    start = 0
    while start < len(content):
        end = content.find("\n", start) + 1 or len(content)
        yield content[start:end]
        start = end


def _parse_csv(content: str) -> Iterator[Entry]:
    import csv  # here, as json below: most keyword files need neither

    # Lines cut at LF only (a lone CR is refused by the reader, not taken for
    # a line end, which would split a keyword).
    reader = csv.reader(_csv_lines(content), strict=True)
    try:
        for row in reader:
            number = reader.line_num
            if not row or not "".join(row).strip(_BLANK) or _COMMENT.match(row[0]):
                continue
            if len(row) > 2:
                raise _Malformed(number, f"expected keyword[,clean name], got {len(row)} fields")
            yield _keyword(number, row[0]), (row[1] if len(row) == 2 and row[1] else None)
    except csv.Error as exc:
        # The reader's own words suggest reopening the file, which cannot help.
        message = "carriage return inside an unquoted field" if "new-line character" in str(exc) else str(exc)
        raise _Malformed(reader.line_num, message) from None


def _parse_text(content: str) -> Iterator[Entry]:
    for _, line in _lines(content):
        yield line, None


def _parse_json(content: str) -> Iterator[Entry]:
    import json

    try:
        data = json.loads(content)
    except json.JSONDecodeError as exc:
        raise _Malformed(exc.lineno, exc.msg) from None
    if not isinstance(data, dict):
        raise _Malformed(1, "expected an object of keywords")

    def line_of(key: str) -> int:
        # json keeps no positions; the first place the key is written is close
        # enough. Sought only for an error, so that loading stays linear.
        at = content.find(json.dumps(key, ensure_ascii=False))
        return content.count("\n", 0, at) + 1 if at >= 0 else 1

    for key, value in data.items():
        if isinstance(value, str) or value is None:
            keywords, clean_name = [key], value
        elif isinstance(value, list) and all(isinstance(k, str) for k in value):
            keywords, clean_name = value, key
        else:
            raise _Malformed(line_of(key), f"{key!r}: expected a clean name or a list of keywords")
        for keyword in keywords:
            if not keyword:
                raise _Malformed(line_of(key), "empty keyword")
            yield keyword, clean_name


_PARSERS = {"tsv": _parse_tsv, "csv": _parse_csv, "json": _parse_json, "text": _parse_text}


def _add_all(processor: KeywordProcessor, entries: list[Entry]) -> None:
    # Adding can still fail half way (MemoryError, or an interrupt); put the
    # saved state back so that the processor is never left half filled.
    saved = processor.__getstate__()
    try:
        for keyword, clean_name in entries:
            processor.add_keyword(keyword, clean_name)
    except BaseException:
        processor.__setstate__(saved)
        raise
