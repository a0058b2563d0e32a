"""Processor state: exact layout, every reading failure, all-or-nothing
loading, deep tries and round trips."""

import copy
import pickle
import random
import struct

import pytest

from fernquill import KeywordProcessor
from helpers import PanicException, each_seed, run

PREFIX = "called `Result::unwrap()` on an `Err` value: "
SET_END = 8 + 17408 * 8
EOF_FAILURE = "Io(Kind(UnexpectedEof))"


def u64(n):
    return struct.pack("<Q", n)


def header(words=None):
    data = bytearray(u64(17408) + bytes(17408 * 8))
    for c in words if words is not None else b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz":
        data[8 + c // 8] |= 1 << (c % 8)
    return bytes(data)


def leaf(name=None):
    return u64(0) + (b"\x00" if name is None else b"\x01" + u64(len(name)) + name)


def node(children, name=None):
    out = u64(len(children))
    for key, child in children:
        out += key + child
    return out + (b"\x00" if name is None else b"\x01" + u64(len(name)) + name)


def test_empty_processor_state():
    s = KeywordProcessor().__getstate__()
    assert len(s) == 139283
    assert s[0:8] == bytes.fromhex("0044000000000000")
    assert s[14:24] == bytes.fromhex("FF03FEFFFF07FEFFFF07")
    assert s[8:14] == bytes(6) and s[24:SET_END] == bytes(SET_END - 24)
    assert s[SET_END:] == bytes(8) + b"\x00\x00\x00"
    assert s == header() + leaf() + b"\x00\x00"


def test_state_of_ab():
    kp = KeywordProcessor()
    kp.add_keyword("ab")
    s = kp.__getstate__()
    assert len(s) == 139313
    assert s[SET_END:] == node([(b"a", node([(b"b", leaf(b"ab"))]))]) + b"\x00\x00"


def test_state_of_e_acute_and_options():
    kp = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    kp.add_keyword("é")
    s = kp.__getstate__()
    assert s[SET_END:] == node([(b"\xc3\x83", node([(b"\xc2\xa9", leaf("é".encode()))]))]) + b"\x01\x01"


def test_children_sorted_and_word_set_written():
    kp = KeywordProcessor()
    kp.set_non_word_boundaries(["\U0010ffff", "x"])
    for k in ["b", "a", "c"]:
        kp.add_keyword(k)
    s = kp.__getstate__()
    assert s[:SET_END] == header([ord("x")])[:SET_END - 8] + s[SET_END - 8:SET_END]
    assert s[SET_END - 1] == 0x80  # bit of U+10FFFF
    assert s[SET_END:] == node([(b"a", leaf(b"a")), (b"b", leaf(b"b")), (b"c", leaf(b"c"))]) + b"\x00\x00"


def loaded(state):
    kp = KeywordProcessor()
    kp.__setstate__(state)
    return kp


def test_setstate_replaces_everything():
    kp = KeywordProcessor()
    kp.add_keyword("old")
    kp.__setstate__(header(b"_") + node([(b"A", leaf(b"X"))]) + b"\x01\x00")
    assert kp.get_all_keywords() == {"A": "X"}
    assert run(kp, "_A A a") == [("X", 1.0, 3, 4)]  # case-sensitive, '_' a word character


def test_repeated_key_keeps_the_later_child():
    kp = loaded(header() + node([(b"a", leaf(b"first")), (b"a", node([(b"b", leaf(b"deep"))], b"second"))]) + b"\x00\x00")
    assert kp.get_all_keywords() == {"a": "second", "ab": "deep"}
    assert len(kp) == 2


def test_keys_above_a_byte_are_kept_but_never_match():
    kp = loaded(header() + node([("€".encode(), leaf(b"euro")), (b"a", leaf(b"a"))]) + b"\x00\x00")
    assert len(kp) == 2
    assert run(kp, "€ a") == [("a", 1.0, 4, 5)]
    assert loaded(kp.__getstate__()).get_all_keywords() == kp.get_all_keywords()


@pytest.mark.parametrize("threshold", [0.5, 0.6, 0.75, 0.8, 0.9])
@pytest.mark.parametrize("text", ["b", "xb", "a b", "ab", "Āb", "€b", " b", "bb b"])
def test_keys_above_a_byte_never_match_approximately(text, threshold):
    # Under U+0100 a named chain 'b'; beside it the ordinary keyword 'ab'.
    # An edit of the approximate search may skip a text byte but never take
    # an edge that no byte can take.
    far = node([(b"b", leaf(b"far"))], b"near")
    kp = loaded(header() + node([("Ā".encode(), far), (b"a", node([(b"b", leaf(b"AB"))]))]) + b"\x00\x00")
    matches = run(kp, text, threshold)
    assert all(keyword == "AB" for keyword, *_ in matches)
    assert all(start <= end for _, _, start, end in matches)


def test_extra_bytes_are_ignored():
    kp = KeywordProcessor()
    kp.add_keyword("x")
    assert loaded(kp.__getstate__() + b"junk").get_all_keywords() == {"x": "x"}


# Every field, cut and forged length of the layout is the engine tests' and the
# fuzz targets' to check; here each kind of failure once, through the method:
# refused with the reader's text, and the processor exactly as it was.
REFUSED_STATES = [
    (b"", EOF_FAILURE),
    (u64(17407) + bytes(17407 * 8), 'Custom("Expected 17408 elements, got 17407")'),
    (header() + leaf()[:5], EOF_FAILURE),
    (header() + leaf() + b"\x00\x07", "InvalidBoolEncoding(7)"),
    (header() + u64(0) + b"\x02", "InvalidTagEncoding(2)"),
    (header() + u64(1) + b"\xed\xa0\x80", "InvalidCharEncoding"),
    (header() + u64(0) + b"\x01" + u64(2**64 - 1) + b"abc", 'Io(Custom { kind: UnexpectedEof, error: "" })'),
    (header() + u64(0) + b"\x01" + u64(1) + b"\xff" + b"\x00\x00", "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"),
    (header() + (u64(1) + b"a") * 100_000, EOF_FAILURE),  # deep, then cut short
]


@pytest.mark.parametrize("data, failure", REFUSED_STATES, ids=[f"{i}-{f[:20]}" for i, (_, f) in enumerate(REFUSED_STATES)])
def test_refused_state_leaves_the_processor_as_it_was(data, failure):
    kp = KeywordProcessor(case_sensitive=True, allow_overlaps=True)
    kp.add_keyword("cat")
    kp.add_non_word_boundary("_")
    text = "conCATenate cat"
    assert run(kp, text) == [("cat", 1.0, 12, 15)]  # and the scan index is compiled
    before = kp.__getstate__()
    with pytest.raises(PanicException) as info:
        kp.__setstate__(data)
    assert str(info.value) == PREFIX + failure
    assert kp.__getstate__() == before
    assert run(kp, text) == [("cat", 1.0, 12, 15)]


@pytest.mark.parametrize("bad", ["text", bytearray(b"x"), memoryview(b"x"), None])
def test_setstate_requires_bytes(bad):
    with pytest.raises(TypeError, match=r"^argument 'state': '\w+' object cannot be converted to 'PyBytes'$"):
        KeywordProcessor().__setstate__(bad)


def random_processor(rng):
    kp = KeywordProcessor(case_sensitive=rng.random() < 0.5, allow_overlaps=rng.random() < 0.5)
    if rng.random() < 0.5:
        kp.set_non_word_boundaries([chr(rng.choice([rng.randrange(0x80), rng.randrange(0x110000)])) for _ in range(rng.randint(0, 20)) if True])
    alphabet = "abcAé€ 𝄞"
    for _ in range(rng.randint(0, 30)):
        k = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 6)))
        kp.add_keyword(k, rng.choice([None, k[::-1], "x"]))
    return kp, alphabet


@each_seed(range(3))
def test_round_trip_property(seed):
    rng = random.Random(seed)
    for _ in range(60):
        kp, alphabet = random_processor(rng)
        for copier in (lambda p: pickle.loads(pickle.dumps(p)), copy.copy, copy.deepcopy):
            back = copier(kp)
            assert back is not kp
            assert back.__getstate__() == kp.__getstate__()
            assert back.get_all_keywords() == kp.get_all_keywords()
            for _ in range(5):
                text = "".join(rng.choice(alphabet + "x .") for _ in range(rng.randint(0, 15)))
                threshold = rng.choice([None, 0.8, 0.6])
                assert run(back, text, threshold) == run(kp, text, threshold)


def test_deep_trie_pickles():
    kp = KeywordProcessor()
    word = "a" * 1_000_000
    kp.add_keyword(word, "long")
    back = pickle.loads(pickle.dumps(kp))
    assert back.get_all_keywords() == {word: "long"}
    assert [m.keyword for m in back.extract_keywords(word)] == ["long"]


def test_paths_that_are_not_utf8_are_listed_lossily():
    # A loaded state may hold a path whose bytes are no UTF-8 text.
    kp = loaded(header() + node([(b"\xc3\xbf", leaf(b"name"))]) + b"\x00\x00")
    assert kp.get_all_keywords() == {"\ufffd": "name"}
    assert kp.extract_keywords("\u00ff") == []
