"""Keyword store: adding, removing, counting, listing, word characters and
lower-casing, through the KeywordProcessor class."""

import random
import sys

import pytest

from fernquill import KeywordProcessor
from helpers import rss_kib, skip_under_asan


def test_new_processor_is_empty():
    kp = KeywordProcessor()
    assert len(kp) == 0
    assert not kp
    assert repr(kp) == "KeywordProcessor(num_keywords=0)"
    assert kp.get_all_keywords() == {}
    assert kp.get_all_keywords() is not kp.get_all_keywords()


def test_count_and_repr_follow_the_store(kp):
    kp.add_keyword("a")
    kp.add_keyword("ab")
    assert len(kp) == 2 and repr(kp) == "KeywordProcessor(num_keywords=2)"
    kp.add_keyword("ab", "other")  # replaces the clean name only
    assert len(kp) == 2
    assert kp.get_all_keywords() == {"a": "a", "ab": "other"}


def test_case_folding_of_keywords_but_not_clean_names(kp):
    kp.add_keyword("Apple")
    assert kp.get_all_keywords() == {"apple": "apple"}
    kp.add_keyword("Apple", "Fruit")
    assert kp.get_all_keywords() == {"apple": "Fruit"}
    assert kp.remove_keyword("APPLE") is True
    assert len(kp) == 0


def test_case_sensitive_keeps_distinct_keywords():
    kp = KeywordProcessor(case_sensitive=True)
    kp.add_keyword("Apple")
    kp.add_keyword("apple")
    assert kp.get_all_keywords() == {"Apple": "Apple", "apple": "apple"}
    assert kp.remove_keyword("APPLE") is False


@pytest.mark.parametrize("clean_name", [None, "NY"])
def test_clean_name_none_means_absent(kp, clean_name):
    kp.add_keyword("New York", clean_name)
    assert kp.get_all_keywords() == {"new york": clean_name or "new york"}


def test_empty_keyword(kp):
    kp.add_keyword("", "nothing")
    assert len(kp) == 1
    assert kp.get_all_keywords() == {"": "nothing"}
    assert kp.remove_keyword("") is True
    assert kp.remove_keyword("") is False
    assert len(kp) == 0


@pytest.mark.parametrize(
    "remove, removed, left",
    [
        ("ab", True, {"abc": "abc"}),
        ("abc", True, {"ab": "ab"}),
        ("a", False, {"ab": "ab", "abc": "abc"}),
        ("abcd", False, {"ab": "ab", "abc": "abc"}),
        ("missing", False, {"ab": "ab", "abc": "abc"}),
    ],
)
def test_remove_prunes_only_dead_nodes(kp, remove, removed, left):
    kp.add_keyword("ab")
    kp.add_keyword("abc")
    assert kp.remove_keyword(remove) is removed
    assert kp.get_all_keywords() == left
    # The remaining keywords still work, and the removed one can come back.
    kp.add_keyword(remove)
    assert set(kp.get_all_keywords()) == set(left) | {remove}


def test_pruned_path_leaves_minimal_state(kp):
    empty_size = len(kp.__getstate__())
    kp.add_keyword("Café")
    assert kp.get_all_keywords() == {"café": "café"}
    assert kp.remove_keyword("CAFÉ") is True
    assert len(kp.__getstate__()) == empty_size  # the root has no children left


@pytest.mark.parametrize(
    "keyword, stored",
    [("İstanbul", "i\u0307stanbul"), ("ΟΔΟΣ", "οδος"[:-1] + "ς"), ("Σ", "σ"), ("ǅ", "ǆ"), ("K", "k")],
)
def test_keywords_are_stored_fully_lower_cased(kp, keyword, stored):
    kp.add_keyword(keyword)
    assert kp.get_all_keywords() == {stored: stored}
    assert stored == keyword.lower()


@pytest.mark.slow  # every code point
def test_lower_casing_matches_str_lower_for_every_code_point():
    # Blocks of code points stored as keywords; U+03A3 is left to the sigma
    # test, since its mapping depends on its neighbours.
    kp = KeywordProcessor()
    blocks = []
    for start in range(0, 0x110000, 512):
        block = "".join(chr(c) for c in range(start, min(start + 512, 0x110000)) if not 0xD800 <= c < 0xE000 and c != 0x3A3)
        if block:
            blocks.append(block)
            kp.add_keyword(block, str(len(blocks)))
    stored = kp.get_all_keywords()
    assert len(stored) == len(blocks)
    assert {k: v for k, v in stored.items()} == {b.lower(): str(i) for i, b in enumerate(blocks, 1)}


SIGMA_PARTS = ["A", "a", "Σ", "σ", "\u0301", "\u00b7", " ", "1", "'", "ǅ", "\u02b0", "İ", "\u0345"]


def test_final_sigma_contexts():
    rng = random.Random(7)
    texts = ["Σ", "AΣ", "AΣB", "AΣ\u0301", "A\u00b7Σ", "Σ\u0301A", "ΑΣ ΑΣ", "A\u0301\u0301Σ\u0301\u0301", "1Σ", "AΣΣ"]
    texts += ["".join(rng.choice(SIGMA_PARTS) for _ in range(rng.randint(1, 8))) for _ in range(3000)]
    kp = KeywordProcessor()
    for i, text in enumerate(texts):
        kp.add_keyword(text, str(i))
    stored = kp.get_all_keywords()
    expected = {}
    for i, text in enumerate(texts):
        expected[text.lower()] = str(i)
    assert stored == expected


def test_word_characters():
    kp = KeywordProcessor()
    kp.add_keyword("coffee")
    assert kp.extract_keywords("_coffee_")[0].start == 1
    kp.add_non_word_boundary("_")
    assert kp.extract_keywords("_coffee_") == []


def test_set_non_word_boundaries_replaces_the_set():
    kp = KeywordProcessor()
    kp.add_keyword("coffee")
    kp.set_non_word_boundaries(("x", "y"))
    assert [m.keyword for m in kp.extract_keywords("acoffeeb")] == ["coffee"]
    assert kp.extract_keywords("xcoffee") == []
    kp.set_non_word_boundaries([])
    assert [m.keyword for m in kp.extract_keywords("xcoffeey")] == ["coffee"]


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", TypeError, "argument 'boundaries': Can't extract `str` to `Vec`"),
        ({"a"}, TypeError, "argument 'boundaries': 'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, TypeError, "argument 'boundaries': 'dict' object cannot be converted to 'Sequence'"),
        ((c for c in "ab"), TypeError, "argument 'boundaries': 'generator' object cannot be converted to 'Sequence'"),
        (["a", "bc"], ValueError, "expected a string of length 1"),
        (["a", 5], TypeError, "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
        (b"ab", TypeError, "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_set_non_word_boundaries_errors_leave_set_unchanged(value, exc, message):
    kp = KeywordProcessor()
    kp.add_keyword("coffee")
    with pytest.raises(exc) as info:
        kp.set_non_word_boundaries(value)
    assert type(info.value) is exc and str(info.value) == message
    assert kp.extract_keywords("acoffee") == []  # letters are still word characters


def test_set_non_word_boundaries_iteration_errors():
    class Broken(list):
        def __iter__(self):
            raise KeyError("boom")

    class BrokenType(list):
        def __iter__(self):
            raise TypeError("bad iter")

    class BadLen(list):
        def __len__(self):
            raise ValueError("no length")

    kp = KeywordProcessor()
    with pytest.raises(KeyError):
        kp.set_non_word_boundaries(Broken())
    with pytest.raises(TypeError, match=r"^argument 'boundaries': bad iter$"):
        kp.set_non_word_boundaries(BrokenType())
    kp.set_non_word_boundaries(BadLen(["q"]))  # the length is only a hint
    kp.add_keyword("coffee")
    assert kp.extract_keywords("acoffee") != []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_boundaries_length_hint_passes_non_errors_on(exc):
    class Interrupted(list):
        def __len__(self):
            raise exc()

    kp = KeywordProcessor()
    with pytest.raises(exc):
        kp.set_non_word_boundaries(Interrupted(["_"]))
    kp.add_keyword("coffee")
    assert kp.extract_keywords("acoffee") == []  # unchanged: 'a' is still a word character


def test_options_cannot_be_read_or_set(kp):
    with pytest.raises(AttributeError):
        kp.case_sensitive
    with pytest.raises(AttributeError):
        kp.case_sensitive = True


def test_equality_is_identity():
    a, b = KeywordProcessor(), KeywordProcessor()
    assert a != b and a == a
    assert hash(a) != hash(b)


def test_very_long_keyword():
    kp = KeywordProcessor()
    word = "ab" * 500_000
    kp.add_keyword(word)
    assert len(kp) == 1
    assert kp.get_all_keywords() == {word: word}
    assert kp.remove_keyword(word) is True
    kp.add_keyword(word)
    del kp  # destroying a deep trie must not exhaust the stack


@pytest.mark.slow  # a memory loop
@skip_under_asan
def test_add_remove_loop_does_not_grow():
    kp = KeywordProcessor()
    keyword, clean = "some keyword", "clean name"
    refs = (sys.getrefcount(keyword), sys.getrefcount(clean))
    for _ in range(50_000):  # warm up allocator pools
        kp.add_keyword(keyword, clean)
        kp.remove_keyword(keyword)
    before = rss_kib()
    for i in range(500_000):
        kp.add_keyword(keyword, clean)
        kp.remove_keyword(keyword)
    assert rss_kib() - before < 2048
    assert (sys.getrefcount(keyword), sys.getrefcount(clean)) == refs
    assert len(kp) == 0
