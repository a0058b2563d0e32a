"""Approximate extraction on a generated English-like corpus with typos, against digests
of the results recorded with the engine before its approximate search was made faster
(the literal search's results, which the faster search must reproduce match for match);
and the cost of a very long keyword that occurs exactly."""

import hashlib
import random
import time

import pytest

from fernquill import KeywordProcessor
from helpers import build, each_seed

SYLLABLES = ["al", "an", "ar", "be", "ca", "con", "de", "di", "el", "en", "er", "ex", "for",
             "in", "ing", "is", "it", "la", "le", "lo", "ma", "ment", "ne", "no", "or", "pe",
             "pro", "ra", "re", "ri", "sa", "se", "st", "ta", "te", "ter", "tion", "to", "un",
             "ve", "ver", "wa"]


def corpus(seed=5, words=3000, keywords=400):
    rng = random.Random(seed)
    vocabulary = sorted({"".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 5)))
                         for _ in range(2500)})
    chosen = rng.sample(vocabulary, keywords)
    pairs = []
    for k, word in enumerate(chosen):
        if k % 7 == 0:  # a phrase
            word = f"{word} {rng.choice(vocabulary)}"
        clean = word.title() if k % 3 else None
        if k % 11 == 0:
            clean = word + " (" + "x" * rng.randint(1, 12) + ")"  # longer clean name
        pairs.append((word, clean))
    out = []
    for _ in range(words):
        word = rng.choice(chosen) if rng.random() < 0.3 else rng.choice(vocabulary)
        if rng.random() < 0.15:  # one typo: replace, drop or insert a letter
            at = rng.randrange(len(word))
            letter = rng.choice("abcdefghijklmnopqrstuvwxyz")
            word = rng.choice([word[:at] + letter + word[at + 1:], word[:at] + word[at + 1:],
                               word[:at] + letter + word[at:]])
        if rng.random() < 0.1:
            word = word.capitalize()
        out.append(word + rng.choice([" ", " ", " ", ", ", ". ", "\n", "-"]))
    return pairs, "".join(out)


def digest(matches):
    h = hashlib.sha256()
    for m in matches:
        h.update(f"{m.keyword}\x00{m.similarity!r}\x00{m.start}\x00{m.end}\n".encode())
    return f"{len(matches)}:{h.hexdigest()[:16]}"


# (allow_overlaps, threshold, text bytes) -> digest recorded with the earlier engine.
EXPECTED = {
    (False, 0.95, 30000): "879:fcc0adf462a0b4eb",
    (False, 0.9, 30000): "970:152b03e5c483e87b",
    (False, 0.8, 30000): "1161:47db86f12f8c1d11",
    (False, 0.7, 30000): "1419:bbdf46b35e9b8059",
    (False, 0.6, 30000): "1682:a7710247b01e1df8",
    (False, 0.5, 8000): "507:838f7d9c3c689dde",
    (True, 0.9, 30000): "1962:6c99ebe9f2da9e36",
    (True, 0.7, 30000): "3754:471aa8cf9c7071e6",
    (True, 0.3, 300): "58:861251e1ee83ec8e",
}


@pytest.mark.parametrize("overlaps, threshold, size", sorted(EXPECTED))
def test_corpus_results_unchanged(overlaps, threshold, size):
    pairs, text = corpus()
    kp = KeywordProcessor(allow_overlaps=overlaps)
    for word, clean in pairs:
        kp.add_keyword(word, clean)
    assert digest(kp.extract_keywords(text[:size], threshold)) == EXPECTED[
        (overlaps, threshold, size)]


@pytest.mark.slow  # a keyword of a million bytes
@pytest.mark.parametrize("threshold", [0.9, 0.99])
def test_long_keyword_occurring_exactly_costs_linear_time(threshold):
    rng = random.Random(3)
    keyword = "zq" + "".join(rng.choice("abcdefgh ") for _ in range(1 << 20)) + "zq"
    kp = KeywordProcessor()
    kp.add_keyword(keyword)
    kp.add_keyword("ab")
    kp.extract_keywords("abc", threshold)  # compiles the scan structures
    text = keyword + " and more"
    t0 = time.process_time()  # the work done, which a loaded machine does not stretch
    found = kp.extract_keywords(text, threshold)
    elapsed = time.process_time() - t0
    assert [(m.keyword, m.similarity, m.start, m.end) for m in found] == [
        (keyword, 1.0, 0, len(keyword))]
    assert elapsed < 1.0


def dense_binary_case(rng, keywords, size, text_size):
    """A processor without word characters holding keywords over {a, b}, with its
    model, and a text over the same letters: edit paths meet in the same states
    over and over."""
    options = {"case_sensitive": True, "allow_overlaps": False, "word_chars": []}
    words = {"".join(rng.choice("ab") for _ in range(size)) for _ in range(keywords)}
    kp, model = build(options, [(w, None) for w in sorted(words)])
    return kp, model, "".join(rng.choice("ab") for _ in range(text_size))


def test_dense_binary_keywords_at_low_threshold_take_well_under_a_second():
    kp, _, text = dense_binary_case(random.Random(21), 100, 60, 40)
    t0 = time.process_time()  # the work done, which a loaded machine does not stretch
    found = kp.extract_keywords(text, 0.3)
    elapsed = time.process_time() - t0
    assert found and all(m.similarity >= 0.3 for m in found)
    assert elapsed < 1.0


@pytest.mark.slow  # a randomized differential
@each_seed(range(6))
def test_dense_binary_keywords_match_the_model(seed):
    rng = random.Random(seed)
    kp, model, text = dense_binary_case(rng, rng.randrange(6, 24), rng.randrange(8, 13),
                                        rng.randrange(5, 10))
    for threshold in (0.3, 0.45, 0.6):
        got = [(m.keyword, m.similarity, m.start, m.end)
               for m in kp.extract_keywords(text, threshold)]
        assert got == model.extract(text, threshold)
