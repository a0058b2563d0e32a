"""PyKeywordMatch: construction, attributes, repr, state and pickling."""

import copy
import pickle
import random
import struct
import sys

import pytest

from fernquill import PyKeywordMatch
from helpers import PanicException, f32, fields

PREFIX = "called `Result::unwrap()` on an `Err` value: "


def state(keyword=b"", similarity=1.0, start=0, end=0, length=None):
    n = len(keyword) if length is None else length
    return struct.pack("<Q", n) + keyword + struct.pack("<f", similarity) + struct.pack("<QQ", start, end)


def test_fields_and_single_precision():
    m = PyKeywordMatch("abc", 0.1, 0, 3)
    assert fields(m) == ("abc", 0.10000000149011612, 0, 3)
    assert PyKeywordMatch(keyword="k", similarity=1, start=5, end=2).similarity == 1.0


@pytest.mark.parametrize(
    "similarity, text",
    [
        (0.5, "0.50"),
        (1, "1.00"),
        (0.125, "0.12"),
        (0.375, "0.38"),
        (float("nan"), "NaN"),
        (-float("nan"), "NaN"),
        (float("inf"), "inf"),
        (-float("inf"), "-inf"),
        (-0.0, "-0.00"),
        (-0.001, "-0.00"),
        (1e30, "1000000015047466219876688855040.00"),
        (0.8, "0.80"),
        (1e300, "inf"),
    ],
)
def test_repr_similarity(similarity, text):
    m = PyKeywordMatch("abc", similarity, 0, 3)
    assert repr(m) == f"KeywordMatch(keyword='abc', similarity={text}, start=0, end=3)"


def test_repr_similarity_matches_exact_decimal_rounding():
    from decimal import ROUND_HALF_EVEN, Decimal

    rng = random.Random(3)
    for _ in range(5000):
        x = f32(rng.uniform(-2, 2) if rng.random() < 0.5 else rng.randrange(-400, 400) / 200)
        expected = Decimal(x).quantize(Decimal("0.01"), rounding=ROUND_HALF_EVEN)
        text = repr(PyKeywordMatch("k", x, 0, 0)).split("similarity=")[1].split(",")[0]
        if str(expected) == "0.00" and struct.pack("<f", x)[3] & 0x80:
            expected = "-0.00"
        assert text == str(expected), x


def test_repr_prints_keyword_verbatim():
    m = PyKeywordMatch("it's a \\ \n line", 1.0, 1, 2)
    assert repr(m) == "KeywordMatch(keyword='it's a \\ \n line', similarity=1.00, start=1, end=2)"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(keyword=1), TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        (dict(similarity="x"), TypeError, "argument 'similarity': must be real number, not str"),
        (dict(start=1.5), TypeError, "argument 'start': 'float' object cannot be interpreted as an integer"),
        (dict(end="3"), TypeError, "argument 'end': 'str' object cannot be interpreted as an integer"),
        (dict(start=-1), OverflowError, None),
        (dict(end=2**64), OverflowError, None),
    ],
)
def test_constructor_errors(kwargs, exc, message):
    args = dict(keyword="k", similarity=1.0, start=0, end=1) | kwargs
    with pytest.raises(exc) as info:
        PyKeywordMatch(**args)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message


def test_conversion_order_reports_first_parameter():
    with pytest.raises(TypeError, match="^argument 'keyword'"):
        PyKeywordMatch(1, "x", -1, None)
    with pytest.raises(TypeError, match="^argument 'similarity'"):
        PyKeywordMatch("k", "x", -1, None)


def test_index_and_float_protocols():
    class Idx:
        def __index__(self):
            return 7

    class Flt:
        def __float__(self):
            return 0.25

    m = PyKeywordMatch("k", Flt(), Idx(), True)
    assert fields(m) == ("k", 0.25, 7, 1)


def test_unchecked_field_relations():
    m = PyKeywordMatch("k", -3.5, 5, 2)
    assert fields(m) == ("k", -3.5, 5, 2)
    assert PyKeywordMatch("k", 1e300, 0, 0).similarity == float("inf")


def test_setters_convert_like_the_constructor():
    m = PyKeywordMatch("k", 1.0, 0, 1)
    m.keyword = "new"
    m.similarity = 0.3
    m.start = 2**63
    m.end = 0
    assert fields(m) == ("new", f32(0.3), 2**63, 0)
    with pytest.raises(TypeError, match=r"^argument 'similarity': "):
        m.similarity = "x"
    with pytest.raises(OverflowError):
        m.start = -1
    with pytest.raises(TypeError, match=r"^argument 'keyword': 'NoneType' object"):
        m.keyword = None
    assert fields(m) == ("new", f32(0.3), 2**63, 0)


@pytest.mark.parametrize("name", ["keyword", "similarity", "start", "end"])
def test_attributes_cannot_be_deleted(name):
    m = PyKeywordMatch("k", 1.0, 0, 1)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(m, name)


def test_state_layout():
    assert PyKeywordMatch("", 1.0, 0, 0).__getstate__() == bytes(8) + b"\x00\x00\x80\x3f" + bytes(16)
    s = PyKeywordMatch("é", 0.5, 3, 2**64 - 1).__getstate__()
    assert s == state("é".encode(), 0.5, 3, 2**64 - 1)
    assert len(s) == 28 + 2


def test_getnewargs():
    args = PyKeywordMatch("k", 0.1, 2, 3).__getnewargs__()
    assert args == ("k", f32(0.1), 2, 3)
    assert [type(a) for a in args] == [str, float, int, int]


# The byte-level cases (every field, cut and fuzzed input) are the engine
# tests' and the fuzz targets'; here each kind of failure once, through the
# method: refused with the reader's text, and the match exactly as it was.
@pytest.mark.parametrize(
    "data, failure",
    [
        (b"", "Io(Kind(UnexpectedEof))"),
        (struct.pack("<Q", 2**64 - 1) + b"abc", 'Io(Custom { kind: UnexpectedEof, error: "" })'),
        (state(b"ab\xe2\x82x"), "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(2) })"),
        (state(b"k")[:14], "Io(Kind(UnexpectedEof))"),
        (state(b"k")[:-1], "Io(Kind(UnexpectedEof))"),
    ],
)
def test_refused_state_leaves_the_match_as_it_was(data, failure):
    m = PyKeywordMatch("old", 0.5, 1, 2)
    with pytest.raises(PanicException) as info:
        m.__setstate__(data)
    assert str(info.value) == PREFIX + failure
    assert fields(m) == ("old", 0.5, 1, 2)
    assert m.__getstate__() == state(b"old", 0.5, 1, 2)


def test_setstate_accepts_extra_bytes_and_any_float():
    m = PyKeywordMatch("old", 0.5, 1, 2)
    m.__setstate__(state(b"new", float("nan"), 4, 3) + b"trailing")
    assert m.keyword == "new" and m.similarity != m.similarity and (m.start, m.end) == (4, 3)
    m.__setstate__(state=state(b"x", 0.75, 0, 1))
    assert fields(m) == ("x", 0.75, 0, 1)


@pytest.mark.parametrize("bad", ["text", bytearray(28), memoryview(bytes(28)), None])
def test_setstate_requires_bytes(bad):
    m = PyKeywordMatch("k", 1.0, 0, 1)
    with pytest.raises(TypeError, match=r"^argument 'state': '\w+' object cannot be converted to 'PyBytes'$"):
        m.__setstate__(bad)


def test_setstate_accepts_bytes_subclass():
    class B(bytes):
        pass

    m = PyKeywordMatch("k", 1.0, 0, 1)
    m.__setstate__(B(state(b"sub", 0.5, 1, 1)))
    assert fields(m) == ("sub", 0.5, 1, 1)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    m = PyKeywordMatch("naïve 'quoted'", 0.1, 2**40, 7)
    back = pickle.loads(pickle.dumps(m, protocol))
    assert fields(back) == fields(m)
    assert back is not m and back != m


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_round_trip(copier):
    m = PyKeywordMatch("k", f32(0.3), 0, 5)
    c = copier(m)
    assert fields(c) == fields(m) and c != m


def test_no_reference_leaks_in_accessors():
    m = PyKeywordMatch("k", 0.5, 1, 2)
    s = m.__getstate__()
    before = sys.getrefcount(s)
    for _ in range(10000):
        m.__setstate__(s)
        m.keyword, m.similarity, m.start, m.end
        repr(m)
        m.__getnewargs__()
    assert sys.getrefcount(s) == before
