"""Repeated calls of every entry point keep memory and reference counts flat."""

import pickle
import sys

import pytest

from fernquill import KeywordProcessor, PyKeywordMatch
from helpers import PanicException, rss_kib, skip_under_asan

# Thousands of rounds of every entry point, watching memory and reference counts.
pytestmark = [pytest.mark.slow, skip_under_asan]


def exercise(kp, text, texts, state):
    kp.extract_keywords(text)
    kp.extract_keywords(text, 0.8)
    kp.replace_keywords(text)
    kp.parallel_extract_keywords_from_texts(texts)
    kp.parallel_replace_keywords_from_texts(texts, 0.9)
    kp.get_all_keywords()
    repr(kp)
    kp.__setstate__(state)
    pickle.loads(pickle.dumps(kp.extract_keywords(text)))
    try:
        kp.extract_keywords(text, 2.0)
    except PanicException:
        pass
    try:
        kp.parallel_extract_keywords_from_texts([text, 1])
    except TypeError:
        pass
    try:
        kp.__setstate__(state[:-5])
    except PanicException:
        pass


def test_entry_points_do_not_leak():
    kp = KeywordProcessor()
    for word in ["coffee", "tea", "New York", "café", "İstanbul"]:
        kp.add_keyword(word, word.upper())
    text = "I like coffee and tea in New York and a café in İstanbul " * 5
    texts = [text, "coffee", "", "nothing here"] * 5
    state = kp.__getstate__()
    # The class too: its instances hold no reference to it, and none may be
    # taken or dropped on their behalf.
    watched = (text, texts[1], state, PyKeywordMatch)
    refs = [sys.getrefcount(o) for o in watched]
    for _ in range(300):
        exercise(kp, text, texts, state)
    before = rss_kib()
    for _ in range(3000):
        exercise(kp, text, texts, state)
    assert rss_kib() - before < 4096
    assert [sys.getrefcount(o) for o in watched] == refs


def test_match_objects_do_not_leak():
    before = None
    for round_ in range(2):
        for _ in range(200_000):
            m = PyKeywordMatch("a keyword longer than the small buffer", 0.5, 1, 2)
            m.keyword = "another long keyword text to copy around"
        if round_ == 0:
            before = rss_kib()
    assert rss_kib() - before < 2048
