"""Character offsets for matches.

fernquill reports byte offsets into the UTF-8 text it scanned, which for a
case-insensitive processor is the lower-cased text. This module maps them to
`str` indices of the text as given, with the rule replacement uses: a start
inside a character moves back to that character, an end inside a character
moves forward past it, so a span covers every input character that
contributed a byte to it.
"""

from __future__ import annotations

import operator
import re
import threading
import unicodedata
from collections.abc import Iterable, Sequence

from fernquill import PyKeywordMatch

__all__ = ["char_offsets", "char_offsets_many", "char_spans"]

# UTF-8 continuation bytes; deleting them from a byte run leaves one byte per
# character that starts in the run.
_CONTINUATION = bytes(range(0x80, 0xC0))
_BLOCK = 256
_SURROGATES = range(0xD800, 0xE000)

# The characters whose lower-case form has another UTF-8 length, per Unicode
# version, so that the usual interpreters need not search for them.
KNOWN_LENGTH_CHANGERS = {
    "14.0.0": "\u0130\u023a\u023e\u1e9e\u2126\u212a\u212b\u2c62\u2c64\u2c6d\u2c6e\u2c6f\u2c70"
    "\u2c7e\u2c7f\ua78d\ua7aa\ua7ab\ua7ac\ua7ad\ua7ae\ua7b0\ua7b1\ua7b2\ua7c5",
}

_SPAN = operator.attrgetter("start", "end")
_START = operator.attrgetter("start")
_END = operator.attrgetter("end")

_changers: re.Pattern[str] | None = None
_changers_lock = threading.Lock()


def find_length_changers() -> str:
    """The characters whose lower-case form has another UTF-8 length (U+0130,
    U+212A, U+1E9E, ...), from this interpreter's Unicode data."""
    found: list[str] = []
    for base in range(0, 0x110000, _BLOCK):
        if base in _SURROGATES:
            continue
        block = "".join(map(chr, range(base, base + _BLOCK)))
        if block.lower() == block:  # nothing in the block changes case
            continue
        found.extend(c for c in block if len(c.lower().encode()) != len(c.encode()))
    return "".join(found)


def _length_changers() -> re.Pattern[str]:
    """A pattern for those characters, made on the first case-insensitive
    non-ASCII text."""
    global _changers
    with _changers_lock:
        if _changers is None:
            chars = KNOWN_LENGTH_CHANGERS.get(unicodedata.unidata_version) or find_length_changers()
            _changers = re.compile("[" + "".join(map(re.escape, chars)) + "]")
        return _changers


def _same_length_spans(text: str, data: bytes, matches: Sequence[PyKeywordMatch]) -> list[tuple[int, int]]:
    """Spans when the scan text has the input's byte structure (case-sensitive,
    or no character changes length when folded): scan bytes are input bytes.

    Walks the offsets in match order, counting the characters that start
    between one offset and the next; an inverted span steps back a byte.
    """
    size, length = len(data), len(text)
    cursor = chars = 0  # characters starting in data[:cursor]

    def count(b: int) -> int:
        nonlocal cursor, chars
        if b >= cursor:
            chars += len(data[cursor:b].translate(None, _CONTINUATION))
        else:
            chars -= len(data[b:cursor].translate(None, _CONTINUATION))
        cursor = b
        return chars

    spans = []
    for m in matches:
        s, e = m.start, m.end
        start = length if s >= size else count(s) - (data[s] & 0xC0 == 0x80)
        spans.append((start, length if e >= size else count(e)))
    return spans


def _offset_table(text: str, data: bytes, changers: list[tuple[int, int, int, int]], offsets: Iterable[int]) -> dict[int, tuple[int, int]]:
    """Maps each scan-text byte offset to (index as a start, index as an end).

    One pass over the offsets in ascending order. The scan text is the input
    with each length-changing character swapped for its folded bytes; every
    other character keeps its byte length, so between two such characters
    scan bytes and input bytes differ by a fixed shift and share character
    boundaries.
    """
    scan_size = len(data) + sum(folded - given for _, given, folded, _ in changers)
    table: dict[int, tuple[int, int]] = {}
    shift = 0  # scan byte minus input byte, before changer `j`
    j = 0
    cursor_byte, cursor_char = 0, 0  # characters starting in data[:cursor_byte]
    for b in sorted(set(offsets)):
        if b >= scan_size:
            table[b] = (len(text), len(text))
            continue
        while j < len(changers):
            at, given, folded, _ = changers[j]
            if at + shift + folded > b:
                break
            shift += folded - given
            j += 1
        if j < len(changers) and b >= changers[j][0] + shift:
            # Inside the folded bytes of one changer.
            at, _, _, index = changers[j]
            table[b] = (index, index if b == at + shift else index + 1)
            continue
        o = b - shift
        cursor_char += len(data[cursor_byte:o].translate(None, _CONTINUATION))
        cursor_byte = o
        inside = o < len(data) and data[o] & 0xC0 == 0x80
        table[b] = (cursor_char - inside, cursor_char)
    return table


def _changers_in(text: str) -> list[tuple[int, int, int, int]]:
    """(input byte, input length, folded length, character index) of each
    character of `text` whose folded form has another byte length."""
    changers = []
    byte, char = 0, 0
    for m in _length_changers().finditer(text):
        i = m.start()
        byte += len(text[char:i].encode("utf-8"))
        c = m.group()
        changers.append((byte, len(c.encode("utf-8")), len(c.lower().encode("utf-8")), i))
        char = i
    return changers


def _check_within(spans: Iterable[tuple[int, int]], scan_size: int) -> None:
    # Offsets past the scanned text come from another text: no index of this
    # one stands for them.
    for start, end in spans:
        if start > scan_size or end > scan_size:
            raise ValueError(f"match offsets {start}..{end} lie beyond the text ({scan_size} bytes scanned)")


def char_spans(
    text: str, matches: Iterable[PyKeywordMatch], *, case_sensitive: bool = False
) -> list[tuple[int, int]]:
    """The `(start, end)` str indices in `text` of each match's byte span.

    `matches` come from `extract_keywords(text)` of a processor whose
    `case_sensitive` option is the one given here. A span whose ends fall
    inside a character is widened to whole characters, as `replace_keywords`
    does. Offsets beyond the scanned text (matches of another text) raise
    ValueError. Linear in the length of the text; a pure-ASCII text costs only
    the loop over the matches.
    """
    matches = _read_once(matches)
    if text.isascii():
        spans = list(map(_SPAN, matches))
        _check_within(spans, len(text))
        return spans
    data = text.encode("utf-8")
    changers = [] if case_sensitive else _changers_in(text)
    if not changers:
        _check_within(map(_SPAN, matches), len(data))
        return _same_length_spans(text, data, matches)
    scan_size = len(data) + sum(folded - given for _, given, folded, _ in changers)
    _check_within(map(_SPAN, matches), scan_size)
    table = _offset_table(text, data, changers, [m.start for m in matches] + [m.end for m in matches])
    return [(table[m.start][0], table[m.end][1]) for m in matches]


def char_offsets(
    text: str, matches: Iterable[PyKeywordMatch], *, case_sensitive: bool = False
) -> list[PyKeywordMatch]:
    """The matches with `start` and `end` as str indices of `text` (see
    `char_spans`). For a pure-ASCII text byte and character offsets coincide,
    and the given matches come back as they are; otherwise new match objects.
    """
    if not isinstance(matches, list):  # any iterable, read once
        matches = list(matches)
    if text.isascii():
        _check_within(map(_SPAN, matches), len(text))
        return matches
    spans = char_spans(text, matches, case_sensitive=case_sensitive)
    return [PyKeywordMatch(m.keyword, m.similarity, s, e) for m, (s, e) in zip(matches, spans)]


def char_offsets_many(
    texts: Iterable[str], results: Iterable[Iterable[PyKeywordMatch]], *, case_sensitive: bool = False
) -> list[list[PyKeywordMatch]]:
    """`char_offsets` of each text with its matches, for the result of a batch
    method; an ASCII text costs a test and a look at its matches' offsets."""
    return [
        _ascii_checked(text, matches) if text.isascii() else char_offsets(text, matches, case_sensitive=case_sensitive)
        for text, matches in zip(texts, results, strict=True)
    ]


def _read_once(matches: Iterable[PyKeywordMatch]) -> Sequence[PyKeywordMatch]:
    # The offsets are read more than once: an iterator would be empty the second time.
    return matches if isinstance(matches, (list, tuple)) else list(matches)


def _ascii_checked(text: str, matches: Iterable[PyKeywordMatch]) -> list[PyKeywordMatch]:
    if not isinstance(matches, list):
        matches = list(matches)
    # An approximate match may start past its end (a trailing blank left
    # out), so both ends are looked at.
    if max(map(_END, matches), default=0) > len(text) or max(map(_START, matches), default=0) > len(text):
        _check_within(map(_SPAN, matches), len(text))
    return matches
