"""fernquill_tools.extract and .replace with Unicode words and the whole-word
fallback, against a regular expression over the lower-cased text: keywords
longest first, lookarounds by the same character classes."""

import collections
import random
import re
import sys
import unicodedata

import pytest

import fernquill
import fernquill_tools
from fernquill import KeywordProcessor
from fernquill_tools import columns

# Pieces of texts and keywords per script; each lower-cases to one character.
SCRIPTS = {
    "german": ["ä", "ö", "ü", "ß", "Ü", "z", "u", "r", "d", "a", "ck", "e"],
    "french": ["é", "è", "ç", "à", "É", "c", "a", "f", "e", "oe", "œ"],
    "turkish": ["ı", "ş", "ğ", "Ş", "i", "s", "t", "n", "b", "u", "l"],
    "russian": ["д", "Д", "а", "о", "м", "ё", "Ё", "ы"],
    "greek": ["α", "Α", "λ", "σ", "ς", "έ", "ο", "Ω"],
    "cjk": ["日", "本", "語", "人", "の", "カ", "ナ", "。"],
}
# Edges: separators, punctuation, digits of two scripts, combining marks
# (glued to the letter before them), the no-break space, the underscore.
EDGES = [" ", " ", ",", ".", "-", "\t", "\n", "_", "1", "٣", "\u0301", "\u0308", "\u00a0", "—", "'"]


def word_class(extra: frozenset[str]) -> str:
    """A regex class of the word characters: letters, marks and decimal digits
    of this interpreter's Unicode data, and the extra characters."""
    ranges: list[list[int]] = []
    for cp in range(sys.maxunicode + 1):
        ch = chr(cp)
        cat = unicodedata.category(ch)
        if cat[0] in "LM" or cat == "Nd" or ch in extra:
            if ranges and ranges[-1][1] == cp - 1:
                ranges[-1][1] = cp
            else:
                ranges.append([cp, cp])
    parts = []
    for lo, hi in ranges:
        parts.append(re.escape(chr(lo)) if lo == hi else f"{re.escape(chr(lo))}-{re.escape(chr(hi))}")
    return "[" + "".join(parts) + "]"


_CLASSES: dict[frozenset[str], str] = {}


def cached_class(extra: frozenset[str]) -> str:
    if extra not in _CLASSES:
        _CLASSES[extra] = word_class(extra)
    return _CLASSES[extra]


def reference(keywords: dict[str, str], text: str, extra: frozenset[str], fallback: bool):
    """(clean name, start, end) in str indices of the lower-cased text."""
    scan = text.lower()
    w = cached_class(extra)
    alternation = "|".join(re.escape(k) for k in sorted(keywords, key=len, reverse=True))
    if fallback:
        pattern = re.compile(f"(?<!{w})(?:{alternation})(?!{w})")
        found = [(m.start(), m.end()) for m in pattern.finditer(scan)]
    else:
        # Only the longest keyword at a position is tried.
        longest = re.compile(f"(?<!{w})(?:{alternation})")
        after = re.compile(w)
        found, i = [], 0
        while i < len(scan):
            m = longest.match(scan, i)
            if m and m.end() > m.start() and not after.match(scan, m.end()):
                found.append((m.start(), m.end()))
                i = m.end()
            else:
                i += 1
    return [(keywords[scan[s:e]], s + (scan[s] in " \t\n\r"), e) for s, e in found]


def random_text(rng: random.Random, pieces: list[str], n: int) -> str:
    return "".join(rng.choice(pieces) for _ in range(n))


@pytest.mark.slow
@pytest.mark.parametrize("script", sorted(SCRIPTS))
@pytest.mark.parametrize("fallback", [True, False])
def test_extract_matches_regex_reference(script, fallback):
    rng = random.Random(f"{script}-{fallback}")
    letters = SCRIPTS[script]
    pieces = letters + EDGES + ["a", "b", "A"]
    for trial in range(60):
        kp = KeywordProcessor(case_sensitive=False)
        extra: frozenset[str] = frozenset()
        if trial % 3 == 0:
            extra = frozenset(rng.sample(["_", "-", "—", "'"], 2))
            for ch in extra:
                kp.add_non_word_boundary(ch)
        keywords = {}
        for _ in range(rng.randint(1, 8)):
            # Keywords at word edges: prefixes of each other, some ending in
            # an edge character.
            stem = random_text(rng, letters, rng.randint(1, 3)).lower()
            for kw in (stem, stem + random_text(rng, pieces, rng.randint(1, 3)).lower()):
                if kw.strip() and kw[0] not in " \t\n" and len(kw.lower()) == len(kw):
                    keywords[kw] = kw.upper()
        for kw, clean in keywords.items():
            kp.add_keyword(kw, clean)
        for _ in range(15):
            text = random_text(rng, pieces, rng.randint(0, 40))
            if len(text.lower()) != len(text):
                continue
            got = [(m.keyword, m.start, m.end) for m in fernquill_tools.extract(kp, text, fallback=fallback)]
            want = reference(keywords, text, extra, fallback)
            assert got == want, (text, keywords, extra)
            replaced = fernquill_tools.replace(kp, text, fallback=fallback)
            expect = text
            for name, s, e in reversed(want):
                expect = expect[:s] + name + expect[e:]
            assert replaced == expect, (text, keywords)


# (keywords, text, options, expected (clean name, start, end) in str indices)
CASES = [
    (["zur"], "zurück zur Schule", {}, [("zur", 7, 10)]),
    (["zur"], "zurück zur Schule", {"words": "ascii", "fallback": False}, [("zur", 0, 3), ("zur", 7, 10)]),
    (["da"], "daß da", {}, [("da", 4, 6)]),
    (["new", "new york"], "New Yorker", {}, [("new", 0, 3)]),
    (["new", "new york"], "New Yorker", {"fallback": False}, []),
    (["new", "new york"], "New Yorker", {"words": "ascii", "fallback": False}, []),
    (["café"], "Café\u0301 noir, café.", {}, [("café", 12, 16)]),
    (["日本"], "日本語 日本。", {}, [("日本", 4, 6)]),
    (["istanbul"], "İstanbul istanbul", {}, [("istanbul", 9, 17)]),
    (["σ"], "Σ ΑΣ", {}, [("σ", 0, 1)]),
]


@pytest.mark.parametrize("keywords, text, options, want", CASES)
def test_extract_cases(keywords, text, options, want):
    kp = KeywordProcessor()
    for kw in keywords:
        kp.add_keyword(kw)
    got = [(m.keyword, m.start, m.end) for m in fernquill_tools.extract(kp, text, **options)]
    assert got == want
    assert all(m.similarity == 1.0 for m in fernquill_tools.extract(kp, text, **options))


def test_module_methods_are_unchanged():
    kp = KeywordProcessor()
    kp.add_keyword("zur")
    before = [(m.keyword, m.start, m.end) for m in kp.extract_keywords("zurück")]
    fernquill_tools.extract(kp, "zurück")
    assert before == [("zur", 0, 3)]
    assert [(m.keyword, m.start, m.end) for m in kp.extract_keywords("zurück")] == before
    assert kp.replace_keywords("zurück") == "zurück"


def as_tuples(matches):
    return [(m.keyword, m.similarity, m.start, m.end) for m in matches]


@pytest.mark.slow  # a randomized differential
def test_ascii_words_equal_the_module_and_unicode_words_are_the_default():
    # 200 processors over 50 random texts each: words="ascii" alone (the
    # fallback goes with it) is the module's scan, for one text and for a
    # column; no options at all is Unicode words with the fallback.
    pa = pytest.importorskip("pyarrow")
    rng = random.Random(5)
    pieces = ["a", "b", " ", "ü", "é", "A", ",", "_", "ß", "日"]
    for trial in range(200):
        case_sensitive = rng.random() < 0.5
        kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=rng.random() < 0.2)
        for _ in range(5):
            kp.add_keyword(random_text(rng, pieces, rng.randint(1, 4)), rng.choice([None, "X"]))
        texts = [random_text(rng, pieces, rng.randint(0, 30)) for _ in range(50)]
        threshold = rng.choice([None, 1.0, 0.8])
        module = [kp.extract_keywords(text, threshold) for text in texts]
        for text, found in zip(texts, module):
            got = fernquill_tools.extract(kp, text, threshold, words="ascii", offsets="bytes")
            assert as_tuples(got) == as_tuples(found), (trial, text)
            assert fernquill_tools.replace(kp, text, threshold, words="ascii") == kp.replace_keywords(text, threshold)
            assert as_tuples(fernquill_tools.extract(kp, text, threshold)) == as_tuples(
                fernquill_tools.extract(kp, text, threshold, words="unicode", fallback=True)), (trial, text)
        rows = pa.chunked_array(columns.extract(kp, texts, threshold, words="ascii", offsets="bytes")).to_pylist()
        assert [[(m["keyword"], m["start"], m["end"]) for m in row] for row in rows] == [
            [(m.keyword, m.start, m.end) for m in found] for found in module], trial
        assert pa.chunked_array(columns.replace(kp, texts, threshold, words="ascii")).to_pylist() == [
            kp.replace_keywords(text, threshold) for text in texts], trial
        assert pa.chunked_array(columns.names(kp, texts, threshold, words="ascii")).to_pylist() == [
            [m.keyword for m in found] for found in module], trial
        assert pa.chunked_array(columns.contains(kp, texts, threshold, words="ascii")).to_pylist() == [
            bool(found) for found in module], trial
        assert columns.count(kp, texts, threshold, words="ascii") == dict(
            collections.Counter(m.keyword for found in module for m in found)), trial


def test_approximate_mode():
    # The approximate search keeps its candidates; Unicode words drop those
    # glued to a letter, and the fallback changes nothing.
    kp = KeywordProcessor()
    kp.add_keyword("hello")
    assert [(m.keyword, m.start, m.end) for m in fernquill_tools.extract(kp, "éhelo world", 0.8, words="ascii")] == [("hello", 1, 5)]
    assert fernquill_tools.extract(kp, "éhelo world", 0.8) == []
    rng = random.Random(9)
    for _ in range(100):
        text = random_text(rng, ["h", "e", "l", "o", " ", "ö", "x"], 20)
        with_fallback = fernquill_tools.extract(kp, text, 0.8, words="ascii", fallback=True)
        without = fernquill_tools.extract(kp, text, 0.8, words="ascii", fallback=False)
        assert [(m.keyword, m.start, m.end) for m in with_fallback] == [(m.keyword, m.start, m.end) for m in without]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda kp: fernquill_tools.extract(kp, "x", words="latin"), "words must be"),
        (lambda kp: fernquill_tools.extract(kp, "x", offsets="lines"), "offsets must be"),
        (lambda kp: fernquill_tools.extract(kp, "x", 1.5), "Threshold must be between 0 and 1"),
        (lambda kp: fernquill_tools.replace(kp, b"x"), "argument 'text'"),
        (lambda kp: fernquill_tools.extract("kp", "x"), "KeywordProcessor"),
    ],
)
def test_bad_arguments(call, message):
    kp = KeywordProcessor()
    with pytest.raises(BaseException, match=message):
        call(kp)
