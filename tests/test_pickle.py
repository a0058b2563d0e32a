"""Processor state: exact layout, every reading failure, all-or-nothing
loading, deep tries and round trips."""

import copy
import pickle
import random
import struct

import pytest

from fernquill import KeywordProcessor
from helpers import PanicException, run

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


BAD_STATES = [
    (b"", EOF_FAILURE),
    (u64(17407) + bytes(17407 * 8), 'Custom("Expected 17408 elements, got 17407")'),
    (u64(17407) + bytes(100), EOF_FAILURE),
    (u64(2**64 - 1), EOF_FAILURE),
    (header()[:-3], EOF_FAILURE),
    (header(), EOF_FAILURE),
    (header() + leaf()[:5], EOF_FAILURE),
    (header() + leaf() + b"\x02\x00", "InvalidBoolEncoding(2)"),
    (header() + leaf() + b"\x00\x07", "InvalidBoolEncoding(7)"),
    (header() + leaf() + b"\x00", EOF_FAILURE),
    (header() + u64(0) + b"\x02", "InvalidTagEncoding(2)"),
    (header() + u64(0), EOF_FAILURE),
    (header() + u64(1) + b"\xff", "InvalidCharEncoding"),
    (header() + u64(1) + b"\x80", "InvalidCharEncoding"),
    (header() + u64(1) + b"\xc3", "InvalidCharEncoding"),
    (header() + u64(1) + b"\xe2\x82", "InvalidCharEncoding"),
    (header() + u64(1) + b"\xc0\x80", "InvalidCharEncoding"),
    (header() + u64(1) + b"\xed\xa0\x80", "InvalidCharEncoding"),
    (header() + u64(1) + b"\xf4\x90\x80\x80", "InvalidCharEncoding"),
    (header() + u64(1), EOF_FAILURE),
    (header() + u64(2**64 - 1) + b"a" + leaf(), EOF_FAILURE),
    (header() + u64(0) + b"\x01" + u64(5) + b"abc", 'Io(Custom { kind: UnexpectedEof, error: "" })'),
    (header() + u64(0) + b"\x01" + u64(2**64 - 1) + b"abc", 'Io(Custom { kind: UnexpectedEof, error: "" })'),
    (header() + u64(0) + b"\x01" + u64(1) + b"\xff" + b"\x00\x00", "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })"),
]


@pytest.mark.parametrize("data, failure", BAD_STATES, ids=[f"{i}-{f[:20]}" for i, (_, f) in enumerate(BAD_STATES)])
def test_bad_states_are_refused_without_harm(data, failure):
    kp = KeywordProcessor(allow_overlaps=True)
    kp.add_keyword("cat")
    before = kp.__getstate__()
    with pytest.raises(PanicException) as info:
        kp.__setstate__(data)
    assert str(info.value) == PREFIX + failure
    assert kp.__getstate__() == before
    assert run(kp, "concatenate") == [("cat", 1.0, 3, 6)]


def test_truncation_at_every_offset_of_the_trie():
    kp = KeywordProcessor()
    for k in ["ab", "é", "a€"]:
        kp.add_keyword(k, k.upper())
    good = kp.__getstate__()
    for cut in range(SET_END - 9, len(good)):
        target = KeywordProcessor()
        with pytest.raises(PanicException) as info:
            target.__setstate__(good[:cut])
        text = str(info.value)[len(PREFIX):]
        assert text in (EOF_FAILURE, "InvalidCharEncoding", 'Io(Custom { kind: UnexpectedEof, error: "" })')
        if text == "InvalidCharEncoding":
            assert 0x80 <= good[cut - 1] and good[cut] & 0xC0 == 0x80  # cut inside a key
        assert len(target) == 0


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


@pytest.mark.parametrize("seed", range(3))
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


def test_forged_deep_nesting_never_crashes():
    depth = 10_000_000
    state = header() + (u64(1) + b"a") * depth + leaf(b"deep") + b"\x00" * depth + b"\x00\x00"
    kp = KeywordProcessor()
    kp.add_keyword("keep")
    try:
        kp.__setstate__(state)
    except PanicException as exc:
        assert str(exc)
        assert kp.get_all_keywords() == {"keep": "keep"}
    else:
        assert len(kp) == 1
    del state


def test_fuzzed_states_are_accepted_or_refused_cleanly():
    rng = random.Random(5)
    seeds = []
    for _ in range(6):
        kp, _ = random_processor(rng)
        seeds.append(kp.__getstate__())
    accepted = refused = 0
    for i in range(3000):
        data = bytearray(rng.choice(seeds))
        mode = i % 4
        if mode == 0:
            del data[rng.randrange(len(data)):]
        elif mode == 1:
            for _ in range(rng.randint(1, 4)):
                pos = rng.randrange(SET_END - 8, len(data))
                data[pos] = rng.randrange(256)
        elif mode == 2:
            pos = rng.randrange(SET_END, max(SET_END + 1, len(data) - 8))
            data[pos:pos + 8] = u64(rng.choice([2**64 - 1, 2**63, 2**32, 131073, rng.randrange(1000)]))
        else:
            data[0:8] = u64(rng.choice([17408, 17407, 2**64 - 1, 0]))
        kp = KeywordProcessor()
        kp.add_keyword("keep")
        try:
            kp.__setstate__(bytes(data))
            accepted += 1
        except PanicException as exc:
            assert str(exc).startswith(PREFIX)
            assert kp.get_all_keywords() == {"keep": "keep"}
            refused += 1
    assert accepted > 50 and refused > 500


def test_paths_that_are_not_utf8_are_listed_lossily():
    # A loaded state may hold a path whose bytes are no UTF-8 text.
    kp = loaded(header() + node([(b"\xc3\xbf", leaf(b"name"))]) + b"\x00\x00")
    assert kp.get_all_keywords() == {"\ufffd": "name"}
    assert kp.extract_keywords("\u00ff") == []
