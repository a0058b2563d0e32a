"""Keyword extraction and replacement for one text, by whole words in any
script.

The module's own methods test word boundaries on single bytes, so a keyword
matches inside 'zurück' ('zur') or 'daß' ('da'), and where the longest keyword
at a position is glued to the next word nothing shorter is tried. These
functions take two options of the scan instead:

- `words="unicode"`: the character before a match and the one after it are
  word characters when Unicode calls them a letter, a mark or a decimal digit,
  or when they are in the processor's word-character set (read by code point,
  so `add_non_word_boundary("—")` means the dash); `words="ascii"` is the
  module's byte test;
- `fallback=True`: where the longest keyword at a position fails the end test,
  the longest keyword on the same path that passes it is taken (what
  `grep -w` and a longest-first alternation give).

Both are on by default here, as everywhere in the companion, for users who
want whole words; `fallback=None` goes with `words`, so `words="ascii"` alone
gives the module's results. With
a threshold below 1, the approximate search keeps its own candidates;
`words="unicode"` then drops those glued to a word character, and `fallback`
has no effect. With `allow_overlaps=True` there are no word tests, and the
options change nothing.
"""

from __future__ import annotations

from typing import Literal

from fernquill import KeywordProcessor, PyKeywordMatch

from fernquill_tools import _native

__all__ = ["extract", "replace"]

Words = Literal["ascii", "unicode"]


def extract(
    processor: KeywordProcessor,
    text: str,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
    offsets: Literal["chars", "bytes"] = "chars",
) -> list[PyKeywordMatch]:
    """Every keyword occurrence in `text` that is a whole word, with `start`
    and `end` as `str` indices of `text` (as `char_offsets` gives them), or
    with `offsets="bytes"` as UTF-8 byte offsets into the scanned (lower-cased)
    text, as the module's methods report them.
    The defaults are for whole words in any script; see the module's note."""
    return _native.extract_text(processor, text, threshold, words, fallback, offsets)


def replace(
    processor: KeywordProcessor,
    text: str,
    threshold: float | None = None,
    *,
    words: Words = "unicode",
    fallback: bool | None = None,
) -> str:
    """`text` with every whole-word keyword occurrence replaced by its clean
    name. The defaults are for whole words in any script; see the module's
    note."""
    return _native.replace_text(processor, text, threshold, words, fallback)
