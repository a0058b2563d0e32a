"""Find and replace many keywords in text in one pass.

Offsets in matches are UTF-8 byte offsets into the scanned text (the
lower-cased text for a processor that is not case-sensitive); use
`fernquill_tools.char_offsets` for `str` indices. Internal faults (a threshold
outside 0..1, a malformed pickled state) raise `fernquill_tools.PanicException`,
which derives from BaseException.
"""

from collections.abc import Sequence
from typing import final

@final
class PyKeywordMatch:
    """One keyword occurrence: the clean name, the similarity (1.0 for exact
    matches, rounded to two decimals) and the byte span [start, end)."""

    keyword: str
    """The clean name of the matched keyword."""
    similarity: float
    """1.0 for an exact match; for approximate matching 1 - edits / max(consumed, len(clean name))."""
    start: int
    """Byte offset of the first matched byte (inclusive)."""
    end: int
    """Byte offset just past the match (exclusive)."""
    def __new__(cls, keyword: str, similarity: float, start: int, end: int) -> PyKeywordMatch: ...
    def __getstate__(self) -> bytes:
        """The match as bytes, for pickling."""
    def __setstate__(self, state: bytes) -> None:
        """Replaces the match with a state from `__getstate__`."""
    def __getnewargs__(self) -> tuple[str, float, int, int]:
        """`(keyword, similarity, start, end)`."""

@final
class KeywordProcessor:
    """A keyword store that extracts and replaces its keywords in texts.

    Without `case_sensitive`, keywords and texts are lower-cased (full Unicode
    mapping). A keyword matches only where it is not glued to word characters
    (ASCII letters and digits by default); `allow_overlaps` drops that test.
    """

    def __new__(cls, case_sensitive: bool | None = False, allow_overlaps: bool | None = False) -> KeywordProcessor: ...
    def __len__(self) -> int:
        """The number of stored keywords."""
    def add_keyword(self, keyword: str, clean_name: str | None = None) -> None:
        """Stores `keyword`, reported (and replaced) as `clean_name`, or as itself."""
    def remove_keyword(self, keyword: str) -> bool:
        """Removes `keyword`; True if it was stored."""
    def get_all_keywords(self) -> dict[str, str]:
        """The stored keywords (lower-cased unless case-sensitive) and their clean names."""
    def add_non_word_boundary(self, boundary: str) -> None:
        """Adds one character to the word-character set."""
    def set_non_word_boundaries(self, boundaries: Sequence[str]) -> None:
        """Replaces the word-character set by these characters."""
    def extract_keywords(self, text: str, threshold: float | None = None) -> list[PyKeywordMatch]:
        """The keyword occurrences in `text`, in text order.

        Exact matching takes the longest keyword at each position; a
        `threshold` below 1 switches to approximate matching, which keeps the
        best keyword whose similarity reaches it.
        """
    def replace_keywords(self, text: str, threshold: float | None = None) -> str:
        """`text` with every occurrence replaced by its clean name."""
    def parallel_extract_keywords_from_texts(
        self, texts: Sequence[str], threshold: float | None = None
    ) -> list[list[PyKeywordMatch]]:
        """`extract_keywords` of every text, run on the worker pool, in input order."""
    def parallel_replace_keywords_from_texts(self, texts: Sequence[str], threshold: float | None = None) -> list[str]:
        """`replace_keywords` of every text, run on the worker pool, in input order."""
    def __getstate__(self) -> bytes:
        """The whole processor (word characters, keywords, options) as bytes."""
    def __setstate__(self, state: bytes) -> None:
        """Replaces the processor with a state from `__getstate__`."""
