"""Companions of the fernquill extension module, with native helpers of their own
(`_native`, built with the package).

- `PanicException`: the class of fernquill's internal faults, importable by name;
- `char_offsets`, `char_offsets_many`, `char_spans`: the byte offsets of matches as
  `str` indices;
- `load_keywords`: fills a processor from a TSV, CSV, JSON or plain-text file;
- `extract`, `replace`: one text by whole words in any script (Unicode word
  boundaries and the longest whole-word keyword);
- the `fernquill` command-line tool (`python -m fernquill_tools`).
"""

from pkgutil import extend_path

from fernquill import KeywordProcessor, PyKeywordMatch

# The native helpers sit in a `fernquill_tools` folder of their own when the
# package is run from a source checkout beside a CMake build tree (on sys.path);
# installed, this adds nothing.
__path__ = extend_path(__path__, __name__)

from fernquill_tools.keywords import load_keywords
from fernquill_tools.offsets import char_offsets, char_offsets_many, char_spans
from fernquill_tools.whole_words import extract, replace

__all__ = [
    "PanicException",
    "char_offsets",
    "char_offsets_many",
    "char_spans",
    "extract",
    "load_keywords",
    "replace",
]
__version__ = "0.2.0"


def _panic_exception_type() -> type[BaseException]:
    # The extension module keeps the class to itself; an out-of-range threshold
    # is a documented fault that raises it, so take the class from there.
    try:
        KeywordProcessor().extract_keywords("", 2.0)
    except BaseException as exc:  # noqa: BLE001 - exactly the class we want
        if type(exc).__name__ == "PanicException":
            return type(exc)
        raise
    raise ImportError("fernquill accepted an out-of-range threshold")


PanicException = _panic_exception_type()
del KeywordProcessor, PyKeywordMatch
