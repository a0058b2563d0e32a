"""Short rows of a block are scanned as one text with a separator byte
after each row; every row must still get exactly what its own scan gives.

The reference is the single-text call for each row (`fernquill_tools.extract`
and `replace` with the same options, which scan one text alone). The rows
are built to meet the separator: rows ending in a keyword's prefix, empty
rows, rows of word characters on both sides of the cut, and characters whose
code points are the bytes that never occur in UTF-8 (U+00C0, U+00C1, U+00F5
to U+00FF), which a processor may make word characters.
"""

import collections
import random

import pytest

from fernquill import KeywordProcessor
import fernquill_tools
from fernquill_tools import columns

pa = pytest.importorskip("pyarrow")

# The code points whose values are the bytes that UTF-8 never holds.
NEVER_UTF8 = ["\u00c0", "\u00c1"] + [chr(c) for c in range(0xF5, 0x100)]
PIECES = ["a", "b", "B", "é", "ÿ", "Ÿ", "À", "İ", "σ", "ς", " ", "  ", ",", "-", "1", "日"]
# Keywords may begin or end with a space, whose match reports its start past it.
KEYWORD_PIECES = PIECES[:10] + [" "]
LONG_ROW = 17 << 10  # past the joined rows' limit: scanned where it lies


def random_processor(rng):
    kp = KeywordProcessor(case_sensitive=rng.random() < 0.3, allow_overlaps=rng.random() < 0.15)
    keywords = ["".join(rng.choice(KEYWORD_PIECES) for _ in range(rng.randint(1, 5)))
                for _ in range(rng.randint(1, 8))]
    for word in keywords:
        kp.add_keyword(word, rng.choice([None, "X", "", word.upper()]))
    roll = rng.random()
    if roll < 0.15:  # every separator a word character: rows one by one
        for c in NEVER_UTF8:
            kp.add_non_word_boundary(c)
    elif roll < 0.45:
        for c in rng.sample(NEVER_UTF8, rng.randint(1, len(NEVER_UTF8) - 1)):
            kp.add_non_word_boundary(c)
    if rng.random() < 0.3:
        kp.add_non_word_boundary(rng.choice(["-", ",", "é", "日"]))
    return kp, keywords


def random_row(rng, keywords):
    if rng.random() < 0.08:
        return None
    size = rng.choice([0, 1, 3, 20, 80, 300, 4096, LONG_ROW if rng.random() < 0.05 else 30])
    parts, length = [], 0
    while length < size:
        part = rng.choice(keywords) if rng.random() < 0.4 else rng.choice(PIECES)
        parts.append(part)
        length += len(part)
    if rng.random() < 0.4:  # a row that stops inside a keyword
        word = rng.choice(keywords)
        parts.append(word[:rng.randint(1, len(word))])
    return "".join(parts)


@pytest.mark.slow  # a randomized differential
def test_rows_scanned_together_match_each_row_scanned_alone():
    for seed in range(120):
        rng = random.Random(seed)
        kp, keywords = random_processor(rng)
        rows = [random_row(rng, keywords) for _ in range(rng.randint(1, 40))]
        words = rng.choice(["ascii", "unicode"])
        fallback = rng.random() < 0.5
        offsets = rng.choice(["chars", "bytes"])
        threshold = None if rng.random() < 0.9 else 0.8
        column = rows if rng.random() < 0.5 else pa.array(rows, rng.choice([pa.string(),
                                                                            pa.string_view()]))
        options = {"words": words, "fallback": fallback}
        alone = [None if r is None else
                 [{"keyword": m.keyword, "similarity": m.similarity, "start": m.start,
                   "end": m.end}
                  for m in fernquill_tools.extract(kp, r, threshold, offsets=offsets, **options)]
                 for r in rows]
        got = pa.chunked_array(columns.extract(kp, column, threshold, offsets=offsets,
                                               **options)).to_pylist()
        assert got == alone, f"seed {seed}"
        replaced = pa.chunked_array(columns.replace(kp, column, threshold, **options)).to_pylist()
        assert replaced == [None if r is None else fernquill_tools.replace(kp, r, threshold,
                                                                           **options)
                            for r in rows], f"seed {seed}"
        counted = collections.Counter(m["keyword"] for r in alone if r for m in r)
        assert columns.count(kp, column, threshold, **options) == counted, f"seed {seed}"
