"""Character offsets: the helper against a literal per-character model, and
against what replacement replaces, on random texts full of characters whose
lower-case form has another UTF-8 length."""

import random
import unicodedata

import pytest

import fernquill
from fernquill_tools import char_offsets, char_offsets_many, char_spans, offsets
from helpers import each_seed

# 'İ' grows when folded (2 -> 3 bytes), Kelvin 'K' and Angstrom 'Å' shrink
# (3 -> 1 and 3 -> 2), 'ẞ' shrinks (3 -> 2), 'Ⱥ' grows (2 -> 3), sigma
# folds by context; the rest are plain ASCII and multi-byte characters.
ALPHABET = ["İ", "\u212a", "\u212b", "ẞ", "Ⱥ", "Σ", "ς", "é", "€", "😀", "a", "b", "k", "i", " ", " ", "-"]
KEYWORD_PARTS = ["a", "b", "k", "i", "é", "ab", "ka", "bi", "i\u0307", "ß", "ⱥ", "σ", "å"]
# Multi-byte characters whose folding keeps every byte length.
SAME_LENGTHS = ["Σ", "ς", "é", "É", "€", "😀", "a", "b", "k", "i", " ", " ", "-"]
SAME_LENGTH_PARTS = ["a", "b", "k", "é", "ab", "ka", "σ", "€"]


def model_spans(text, matches, case_sensitive):
    """Which input character produced each scan-text byte, built one character
    at a time; then the widening rule of replacement, literally."""
    origin = []
    for index, ch in enumerate(text):
        folded = ch if case_sensitive else ch.lower()
        origin += [index] * len(folded.encode())
    scan = text if case_sensitive else text.lower()
    assert len(origin) == len(scan.encode())  # per-character folding = whole-text folding, in length

    def start(s):
        return len(text) if s >= len(origin) else origin[s]

    def end(e):
        if e == 0:
            return 0
        if e >= len(origin):
            return len(text)
        return origin[e] if origin[e] != origin[e - 1] else origin[e - 1] + 1

    return [(start(m.start), end(m.end)) for m in matches]


def splice(text, matches, spans):
    """The text with each span replaced by its clean name, skipping inverted
    spans and spans that overlap the previous replaced one, as replacement does."""
    out, cursor = [], 0
    for m, (s, e) in zip(matches, spans):
        if s < cursor or e < s:
            continue
        out += [text[cursor:s], m.keyword]
        cursor = e
    return "".join(out + [text[cursor:]])


def random_case(rng, alphabet, parts):
    case_sensitive = rng.random() < 0.3
    kp = fernquill.KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=rng.random() < 0.3)
    for _ in range(rng.randint(1, 6)):
        keyword = "".join(rng.choice(parts) for _ in range(rng.randint(1, 3)))
        kp.add_keyword(keyword, rng.choice([None, "X", "long clean name"]))
    if rng.random() < 0.3:
        kp.add_non_word_boundary(rng.choice(["é", "İ", "-"]))
    text = "".join(rng.choice(alphabet + parts) for _ in range(rng.randint(0, 30)))
    threshold = rng.choice([None, None, 0.9, 0.75, 0.6])
    return kp, case_sensitive, text, threshold


@pytest.mark.slow  # a randomized differential
@pytest.mark.parametrize("alphabet, parts", [(ALPHABET, KEYWORD_PARTS), (SAME_LENGTHS, SAME_LENGTH_PARTS)],
                         ids=["length-changing", "same-lengths"])
@each_seed(range(25))
def test_spans_agree_with_model_and_replacement(seed, alphabet, parts):
    rng = random.Random(seed)
    for _ in range(100):
        kp, case_sensitive, text, threshold = random_case(rng, alphabet, parts)
        matches = kp.extract_keywords(text, threshold)
        spans = char_spans(text, matches, case_sensitive=case_sensitive)
        assert spans == model_spans(text, matches, case_sensitive), (text, matches)
        assert splice(text, matches, spans) == kp.replace_keywords(text, threshold), (text, matches)
        objects = char_offsets(text, matches, case_sensitive=case_sensitive)
        assert [(m.keyword, m.similarity, m.start, m.end) for m in objects] == [
            (m.keyword, m.similarity, s, e) for m, (s, e) in zip(matches, spans)
        ]


@pytest.mark.parametrize(
    "text, span",
    [
        ("I like café in New York;", "New York"),  # a two-byte character before the match
        ("İİİİ new york", "new york"),  # each 'İ' folds to three bytes
        ("\u212a\u212a new york", "new york"),  # each Kelvin sign folds to one byte
        ("ẞΣ new york ΣΣ", "new york"),
        ("new york", "new york"),
    ],
)
def test_spans_slice_the_keyword(text, span):
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("new york")
    (match,) = char_offsets(text, kp.extract_keywords(text))
    assert text[match.start : match.end] == span


def test_end_inside_a_folded_character_widens_to_it():
    # 'İ' folds to 'i' + U+0307: the keyword 'i' ends inside its folded bytes.
    kp = fernquill.KeywordProcessor(allow_overlaps=True)
    kp.add_keyword("i", "I")
    text = "xİy"
    assert char_spans(text, kp.extract_keywords(text)) == [(1, 2)]
    assert kp.replace_keywords(text) == "xIy"


def test_ascii_text_keeps_the_list():
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("abc")
    matches = kp.extract_keywords("x abc y")
    assert char_offsets("x abc y", matches) is matches
    assert char_offsets("x abc y", tuple(matches)) == matches


def test_known_length_changers_match_this_interpreter():
    known = offsets.KNOWN_LENGTH_CHANGERS.get(unicodedata.unidata_version)
    if known is None:
        pytest.skip(f"no table kept for Unicode {unicodedata.unidata_version}; found at run time")
    assert known == offsets.find_length_changers()


def test_many_texts_at_once():
    rng = random.Random(99)
    kp = fernquill.KeywordProcessor()
    for part in KEYWORD_PARTS:
        kp.add_keyword(part)
    texts = ["".join(rng.choice(ALPHABET + KEYWORD_PARTS) for _ in range(20)) for _ in range(200)]
    texts += ["a b ab ka", ""]
    results = kp.parallel_extract_keywords_from_texts(texts)
    many = char_offsets_many(texts, results)
    assert [[(m.start, m.end) for m in found] for found in many] == [
        char_spans(text, found) for text, found in zip(texts, results)]
    assert many[-2] is results[-2]  # ASCII: as it was
    with pytest.raises(ValueError):
        char_offsets_many(texts, results[:-1])
    with pytest.raises(ValueError, match="beyond the text"):  # an ASCII row given a longer text's matches
        char_offsets_many(["", "a b"], [[], results[-2]])


def scan_size(text, case_sensitive):
    return len((text if case_sensitive else text.lower()).encode())


@pytest.mark.slow  # a randomized differential
@pytest.mark.parametrize("alphabet, parts", [(ALPHABET, KEYWORD_PARTS), (SAME_LENGTHS, SAME_LENGTH_PARTS),
                                             ([" ", "a", "b", "k"], ["a", "ab", "ka"])],
                         ids=["length-changing", "same-lengths", "ascii"])
@each_seed(range(10))
def test_offsets_of_another_text_are_refused(seed, alphabet, parts):
    rng = random.Random(seed)
    refused = 0
    for _ in range(200):
        kp, case_sensitive, text, threshold = random_case(rng, alphabet, parts)
        matches = kp.extract_keywords(text, threshold)
        shorter = text[: rng.randint(0, len(text))]
        beyond = any(max(m.start, m.end) > scan_size(shorter, case_sensitive) for m in matches)
        for call in (char_spans, char_offsets, _one_of_many, _from_an_iterator):
            if beyond:
                with pytest.raises(ValueError, match="beyond the text"):
                    call(shorter, matches, case_sensitive=case_sensitive)
            else:
                call(shorter, matches, case_sensitive=case_sensitive)
        refused += beyond
    assert refused > 20


def _one_of_many(text, matches, case_sensitive):
    return char_offsets_many([text], iter([iter(matches)]), case_sensitive=case_sensitive)[0]


def _from_an_iterator(text, matches, case_sensitive):
    return char_spans(text, (m for m in matches), case_sensitive=case_sensitive)


def _spans(found):
    return [m if isinstance(m, tuple) else (m.start, m.end) for m in found]


@pytest.mark.parametrize("alphabet, parts", [(ALPHABET, KEYWORD_PARTS), ([" ", "a", "b", "k"], ["a", "ab", "ka"])],
                         ids=["non-ascii", "ascii"])
@each_seed(range(10))
def test_any_iterable_of_matches(seed, alphabet, parts):
    rng = random.Random(seed)
    for _ in range(100):
        kp, case_sensitive, text, threshold = random_case(rng, alphabet, parts)
        matches = kp.extract_keywords(text, threshold)
        want = [(m.keyword, m.start, m.end) for m in char_offsets(text, matches, case_sensitive=case_sensitive)]
        for given in (iter(matches), (m for m in matches), tuple(matches)):
            got = char_offsets(text, given, case_sensitive=case_sensitive)
            assert [(m.keyword, m.start, m.end) for m in got] == want
        spans = [(start, end) for _, start, end in want]
        for call in (char_spans, _one_of_many):
            for given in (iter(matches), (m for m in matches), tuple(matches)):
                got = call(text, given, case_sensitive=case_sensitive)
                assert _spans(got) == spans, call.__name__
