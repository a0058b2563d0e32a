from typing import Any, Literal, final

from fernquill import KeywordProcessor, PyKeywordMatch

@final
class ArrowColumn:
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __len__(self) -> int: ...

def extract(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    offsets: Literal["chars", "bytes"] = "chars",
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn: ...
def replace(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn: ...
def count(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> dict[str, int]: ...
def names(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn: ...
def contains(
    processor: KeywordProcessor,
    column: Any,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> ArrowColumn: ...
def extract_text(
    processor: KeywordProcessor,
    text: str,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
    offsets: Literal["chars", "bytes"] = "chars",
) -> list[PyKeywordMatch]: ...
def replace_text(
    processor: KeywordProcessor,
    text: str,
    threshold: float | None = None,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
) -> str: ...
def write_records(
    processor: KeywordProcessor,
    blocks: list[tuple[bytes | bytearray, str, int]],
    threshold: float | None,
    output: Literal["lines", "counts", "replaced"],
    offsets: Literal["chars", "bytes"] = "chars",
    with_text: bool = False,
    whole_records: bool = False,
    words: Literal["ascii", "unicode"] | None = "unicode",
    fallback: bool | None = None,
    errors: Literal["strict", "replace", "skip"] = "strict",
) -> tuple[bytes, list[dict[str, int]] | None, int, list[tuple[int, int, int]], int]: ...
def count_records(counts: list[tuple[str | None, dict[str, int]]]) -> bytes: ...
