"""extract_keywords: exact and approximate matching, word boundaries, case
folding, offsets and threshold handling."""

import random

import pytest

from fernquill import PyKeywordMatch
from helpers import PanicException, build, each_seed, processor, random_case, run
from model import Model, f32

THRESHOLD_ERROR = "Threshold must be between 0 and 1"


@pytest.mark.parametrize(
    "keywords, text, expected",
    [
        (["coffee"], "coffee is hot", [("coffee", 1.0, 0, 6)]),
        (["coffee"], "I like coffee", [("coffee", 1.0, 7, 13)]),
        (["coffee"], "coffees", []),
        (["coffee"], "coffee3", []),
        (["coffee"], "coffee!", [("coffee", 1.0, 0, 6)]),
        (["coffee"], "_coffee_", [("coffee", 1.0, 1, 7)]),
        (["new", "new york"], "New York City", [("new york", 1.0, 0, 8)]),
        (["new", "new york"], "new yorker", []),
        ([" go"], "a, go", [(" go", 1.0, 3, 5)]),
        ([" go"], "we go", []),
        ([("NY", "New York"), ("LA", "Los Angeles")], "from ny to la", [("New York", 1.0, 5, 7), ("Los Angeles", 1.0, 11, 13)]),
        (["caf"], "café", [("caf", 1.0, 0, 3)]),
        (["café"], "un café", [("café", 1.0, 3, 8)]),
        (["apple"], "İ apple", [("apple", 1.0, 4, 9)]),
        (["a"], "a a a", [("a", 1.0, 0, 1), ("a", 1.0, 2, 3), ("a", 1.0, 4, 5)]),
        ([""], "abc", []),
        ([], "abc", []),
        (["coffee"], "", []),
        (["k"], "K", [("k", 1.0, 0, 1)]),  # Kelvin sign folds to ASCII k
    ],
)
def test_exact_edge_cases(keywords, text, expected):
    assert run(processor(*keywords), text) == expected


def test_case_sensitive_exact():
    assert run(processor("Coffee", case_sensitive=True), "coffee Coffee") == [("Coffee", 1.0, 7, 13)]


@pytest.mark.parametrize(
    "keywords, text, expected",
    [
        (["cat"], "concatenate", [("cat", 1.0, 3, 6)]),
        (["cat"], "catcat", [("cat", 1.0, 0, 3), ("cat", 1.0, 3, 6)]),
        (["abc", "bcd"], "abcd", [("abc", 1.0, 0, 3)]),
    ],
)
def test_allow_overlaps(keywords, text, expected):
    assert run(processor(*keywords, allow_overlaps=True), text) == expected


def test_overlapping_keywords_without_allow_overlaps():
    assert run(processor("abc", "bcd"), "abcd") == []


def test_word_character_set_applies_to_bytes():
    kp = processor("caf")
    kp.add_non_word_boundary("\u00c3")  # the lead byte of 'é' read as a code point
    assert run(kp, "café") == []


@pytest.mark.parametrize(
    "keywords, text, threshold, expected",
    [
        (["hello"], "helo world", 0.8, [("hello", f32(0.8), 0, 4)]),
        (["hello"], "hallo world", 0.8, [("hello", f32(0.8), 0, 5)]),
        (["hello"], "say helo", 0.8, [("hello", f32(0.8), 4, 8)]),
        (["hello"], "say helo", 0.85, []),
        (["hello"], "he llo world", 0.8, [("hello", f32(0.83), 0, 6)]),
        (["hello"], "hellox", 0.9, []),
        (["hello"], "helloxx yo", 0.9, [("hello", 1.0, 0, 5)]),
        (["hello"], "hello", 0.9, [("hello", 1.0, 0, 5)]),
        ([("hello", "greeting")], "helo world", 0.8, [("greeting", f32(0.88), 0, 4)]),
        ([("hello", "hi")], "helo world", 0.8, []),
        ([("hello", "hi")], "helo world", 0.75, [("hi", 0.75, 0, 4)]),
        (["abc"], "abx y", 0.6, [("abc", f32(0.67), 0, 2)]),
        (["abc"], "xabc", 0.6, [("abc", 0.75, 0, 4)]),
        (["abc"], "abx y", 0.67, []),
        (["abc"], "abx y", 0.66, [("abc", f32(0.67), 0, 2)]),
        (["new", "new york"], "new york", 0.9, [("new", 1.0, 0, 3)]),
    ],
)
def test_approximate_edge_cases(keywords, text, threshold, expected):
    assert run(processor(*keywords), text, threshold) == expected


def test_similarities_read_back_as_single_precision():
    kp = processor("hello", "abc")
    assert kp.extract_keywords("helo world", 0.8)[0].similarity == 0.800000011920929
    assert kp.extract_keywords("abx y", 0.6)[0].similarity == 0.6700000166893005


@pytest.mark.parametrize("threshold", [0.0, 0.3, 0.5, 0.9])
def test_candidates_that_consume_no_text_are_ignored(threshold):
    # The empty keyword and a one-byte keyword reached only by skipping its
    # byte would score without consuming text; they are never candidates.
    kp = processor(("", "empty keyword"), ("q", "a long clean name"))
    assert all(m.keyword != "empty keyword" for m in kp.extract_keywords("x y z", threshold))
    results = run(kp, "x q", threshold)
    assert all(start <= 3 for _, _, start, _ in results)
    assert len({start for _, _, start, _ in results}) == len(results)


def test_one_byte_keyword_at_half_threshold_matches_itself():
    assert run(processor("a"), "b a", 0.5) == Model_for(["a"]).extract("b a", 0.5)


def Model_for(keywords, **options):
    model = Model(**options)
    for k in keywords:
        model.add_keyword(k)
    return model


@pytest.mark.parametrize("threshold", [1.1, -0.1, float("nan"), float("inf"), 2])
@pytest.mark.parametrize("text", ["", "coffee"])
def test_threshold_out_of_range(threshold, text):
    kp = processor("coffee")
    with pytest.raises(PanicException) as info:
        kp.extract_keywords(text, threshold)
    assert str(info.value) == THRESHOLD_ERROR


@pytest.mark.parametrize("threshold", [None, 1, 1.0, 1.00000001, True])
def test_threshold_one_means_exact(threshold):
    kp = processor("new", "new york")
    assert run(kp, "new york", threshold) == [("new york", 1.0, 0, 8)]


def test_negative_zero_threshold_is_accepted():
    assert run(processor("ab"), "ab", -0.0) == [("ab", 1.0, 0, 2)]


def test_threshold_conversion_errors():
    kp = processor("a")
    with pytest.raises(TypeError, match=r"^argument 'threshold': must be real number, not str$"):
        kp.extract_keywords("a", "x")
    with pytest.raises(TypeError, match=r"^argument 'text': 'int' object cannot be converted to 'PyString'$"):
        kp.extract_keywords(1, "x")

    class Bad:
        def __float__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        kp.extract_keywords("a", Bad())

    class Low:
        def __float__(self):
            return -1.0

    with pytest.raises(PanicException):
        kp.extract_keywords("a", Low())


def test_results_are_new_match_objects():
    kp = processor("a")
    first, second = kp.extract_keywords("a"), kp.extract_keywords("a")
    assert isinstance(first[0], PyKeywordMatch) and first[0] is not second[0]
    kp.remove_keyword("a")
    assert first[0].keyword == "a"  # owns its text


@pytest.mark.slow  # a randomized differential
@each_seed(range(4))
def test_randomized_against_model(seed):
    rng = random.Random(seed)
    for _ in range(1500):
        options, keywords, text = random_case(rng)
        kp, model = build(options, keywords)
        threshold = rng.choice([None, 1.0, 0.95, 0.9, 0.8, 0.75, 0.7, 0.6, 0.5])
        assert run(kp, text, threshold) == model.extract(text, threshold), (options, keywords, text, threshold)
