"""Text arguments are read as UTF-8 by one rule: the scans that only read a text
(extract and both batch methods) and match keywords use CPython's UTF-8 copy
cached on the str, so that a second read need not encode it again;
replace_keywords, keywords and clean names use a private copy and leave the str
as it was. Every
kind of str (ASCII, Latin-1, two- and four-byte, a subclass) and str items made
on the fly by a sequence are read as they are."""

import sys

import pytest

from fernquill import KeywordProcessor, PyKeywordMatch

WORDS = {
    "ascii": "new york",
    "latin-1": "café crème",
    "two-byte": "Москва",
    "four-byte": "😀 smile",
}


class Sub(str):
    pass


def fresh(text, kind=str):
    # A str object of its own: one of the dict's constants may already carry a
    # UTF-8 copy made elsewhere.
    return kind("".join(list(text)))


def processor_with(word):
    kp = KeywordProcessor()
    kp.add_keyword(word, "<" + word + ">")
    return kp


def set_keyword(_kp, s):
    m = PyKeywordMatch("k", 1.0, 0, 1)
    m.keyword = s
    return m.keyword


CALLS = {
    "add_keyword": lambda kp, s: (kp.add_keyword(s), kp.get_all_keywords())[1],
    "clean_name": lambda kp, s: (kp.add_keyword("x", s), kp.get_all_keywords())[1],
    "remove_keyword": lambda kp, s: kp.remove_keyword(s),
    "extract_keywords": lambda kp, s: [(m.keyword, m.start, m.end) for m in kp.extract_keywords(s)],
    "approximate": lambda kp, s: [(m.keyword, m.start, m.end) for m in kp.extract_keywords(s, 0.8)],
    "replace_keywords": lambda kp, s: kp.replace_keywords(s),
    "parallel_extract": lambda kp, s: [[m.keyword for m in r] for r in kp.parallel_extract_keywords_from_texts([s, s])],
    "parallel_replace": lambda kp, s: kp.parallel_replace_keywords_from_texts([s, s]),
    "PyKeywordMatch": lambda _kp, s: PyKeywordMatch(s, 1.0, 0, 1).keyword,
    "keyword setter": set_keyword,
}

# The calls that leave CPython's cached UTF-8 copy on a non-ASCII str: the
# scans that only read it, and matches, which keep the str and read it again.
CACHING = {"extract_keywords", "approximate", "parallel_extract", "parallel_replace", "PyKeywordMatch",
           "keyword setter"}

# What each call gives for a str that reads as `word`, the processor's keyword.
EXPECTED = {
    "add_keyword": lambda w: {w.lower(): w.lower()},  # the stored keyword names itself
    "clean_name": lambda w: {w.lower(): "<" + w + ">", "x": w},
    "remove_keyword": lambda w: True,
    "extract_keywords": lambda w: [("<" + w + ">", 0, len(w.lower().encode()))],
    "approximate": lambda w: [("<" + w + ">", 0, len(w.lower().encode()))],
    "replace_keywords": lambda w: "<" + w + ">",
    "parallel_extract": lambda w: [["<" + w + ">"]] * 2,
    "parallel_replace": lambda w: ["<" + w + ">"] * 2,
    "PyKeywordMatch": lambda w: w,
    "keyword setter": lambda w: w,
}


@pytest.mark.parametrize("kind", [str, Sub], ids=["str", "subclass"])
@pytest.mark.parametrize("word", WORDS.values(), ids=WORDS.keys())
@pytest.mark.parametrize("call", CALLS, ids=CALLS.keys())
def test_text_read_whole_and_utf8_copy_kept_only_by_scans(call, word, kind):
    kp = processor_with(word)
    s = fresh(word, kind)
    size = sys.getsizeof(s)
    assert CALLS[call](kp, s) == EXPECTED[call](word)
    cached = len(word.encode()) + 1 if call in CACHING and not word.isascii() else 0
    assert sys.getsizeof(s) == size + cached
    assert s == word
    # A second call reads the cached copy, or makes its own again.
    assert CALLS[call](processor_with(word), s) == EXPECTED[call](word)
    assert sys.getsizeof(s) == size + cached


class MadeOnTheFly:
    """A sequence whose items are new strs, dropped by the caller as soon as
    the method has taken them."""

    def __init__(self, words):
        self.words = words

    def __len__(self):
        return len(self.words)

    def __getitem__(self, i):
        return fresh(self.words[i])


@pytest.mark.parametrize("word", WORDS.values(), ids=WORDS.keys())
def test_batch_holds_items_made_on_the_fly(word):
    kp = processor_with(word)
    # Items of one size in a row: a str freed too early would be reused by the
    # next one, and its text would read as the next text.
    words = [f"{i:04d} {word}" for i in range(2000)]
    extracted = kp.parallel_extract_keywords_from_texts(MadeOnTheFly(words))
    assert [[(m.keyword, m.start) for m in r] for r in extracted] == [[("<" + word + ">", 5)]] * len(words)
    replaced = kp.parallel_replace_keywords_from_texts(MadeOnTheFly(words))
    assert replaced == [f"{i:04d} <{word}>" for i in range(len(words))]
