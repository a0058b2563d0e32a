"""Module surface: attributes, closed classes, signatures, the binder's messages,
conversions, borrow conflicts and the fault exception."""

import gc
import inspect
import weakref

import pytest

import fernquill
from fernquill import KeywordProcessor, PyKeywordMatch
from helpers import PanicException


def test_module_attributes():
    standard = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert set(dir(fernquill)) - standard == {"KeywordProcessor", "PyKeywordMatch"}
    assert fernquill.__doc__ == ""
    assert not hasattr(fernquill, "KeywordMatch")


@pytest.mark.parametrize("cls, name", [(KeywordProcessor, "KeywordProcessor"), (PyKeywordMatch, "PyKeywordMatch")])
def test_type_names(cls, name):
    assert cls.__module__ == "fernquill"
    assert cls.__name__ == cls.__qualname__ == name


def test_reimport_returns_same_module():
    import importlib

    assert importlib.import_module("fernquill") is fernquill


@pytest.mark.parametrize("make", [lambda: KeywordProcessor(), lambda: PyKeywordMatch("k", 1.0, 0, 1)])
def test_classes_are_closed(make):
    obj = make()
    cls = type(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize(
    "obj, signature",
    [
        (KeywordProcessor, "(case_sensitive=False, allow_overlaps=False)"),
        (PyKeywordMatch, "(keyword, similarity, start, end)"),
        (KeywordProcessor.add_keyword, "(self, /, keyword, clean_name=None)"),
        (KeywordProcessor.extract_keywords, "(self, /, text, threshold=None)"),
        (KeywordProcessor.parallel_replace_keywords_from_texts, "(self, /, texts, threshold=None)"),
        (KeywordProcessor.get_all_keywords, "(self, /)"),
        (KeywordProcessor.__setstate__, "(self, /, state)"),
        (PyKeywordMatch.__getnewargs__, "(self, /)"),
    ],
)
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature


def test_docstrings_hold_only_signatures():
    assert KeywordProcessor.__doc__ in (None, "")
    assert KeywordProcessor.__text_signature__ == "(case_sensitive=False, allow_overlaps=False)"
    assert PyKeywordMatch.__text_signature__ == "(keyword, similarity, start, end)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda kp: kp.add_keyword(), "KeywordProcessor.add_keyword() missing 1 required positional argument: 'keyword'"),
        (lambda kp: kp.add_keyword("a", "b", "c"), "KeywordProcessor.add_keyword() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda kp: kp.add_keyword(5, 6, 7), "KeywordProcessor.add_keyword() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda kp: kp.add_keyword("a", keyword="b"), "KeywordProcessor.add_keyword() got multiple values for argument 'keyword'"),
        (lambda kp: kp.add_keyword(word="a"), "KeywordProcessor.add_keyword() got an unexpected keyword argument 'word'"),
        (lambda kp: kp.remove_keyword("a", "b"), "KeywordProcessor.remove_keyword() takes 1 positional arguments but 2 were given"),
        (lambda kp: kp.add_non_word_boundary(), "KeywordProcessor.add_non_word_boundary() missing 1 required positional argument: 'boundary'"),
        (lambda kp: KeywordProcessor(1, 2, 3), "KeywordProcessor.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda kp: KeywordProcessor(case=True), "KeywordProcessor.__new__() got an unexpected keyword argument 'case'"),
        (lambda kp: PyKeywordMatch(), "PyKeywordMatch.__new__() missing 4 required positional arguments: 'keyword', 'similarity', 'start', and 'end'"),
        (lambda kp: PyKeywordMatch("k", 1.0), "PyKeywordMatch.__new__() missing 2 required positional arguments: 'start' and 'end'"),
        (lambda kp: PyKeywordMatch("k", 1.0, 0, 1, 2), "PyKeywordMatch.__new__() takes 4 positional arguments but 5 were given"),
        (lambda kp: PyKeywordMatch("k", 1.0, 0, end=1, start=2), "PyKeywordMatch.__new__() got multiple values for argument 'start'"),
        (lambda kp: kp.__setstate__(), "KeywordProcessor.__setstate__() missing 1 required positional argument: 'state'"),
    ],
)
def test_binding_errors(kp, call, message):
    with pytest.raises(TypeError) as info:
        call(kp)
    assert str(info.value) == message


def test_no_argument_methods_reject_arguments():
    with pytest.raises(TypeError, match=r"^PyKeywordMatch.__setstate__\(\) takes 1 positional arguments but 2 were given$"):
        PyKeywordMatch("k", 1.0, 0, 1).__setstate__(b"", b"")
    with pytest.raises(TypeError) as info:
        KeywordProcessor().get_all_keywords(1)
    assert str(info.value) == "KeywordProcessor.get_all_keywords() takes no arguments (1 given)"


def test_keyword_arguments_bind_by_name(kp):
    kp.add_keyword(clean_name="NY", keyword="new york")
    assert kp.get_all_keywords() == {"new york": "NY"}
    assert KeywordProcessor(allow_overlaps=True, case_sensitive=True).extract_keywords(text="A") == []


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda kp: kp.add_keyword(5), TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
        (lambda kp: kp.add_keyword("a", b"x"), TypeError, "argument 'clean_name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda kp: kp.remove_keyword(None), TypeError, "argument 'keyword': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda kp: kp.add_non_word_boundary(5), TypeError, "argument 'boundary': 'int' object cannot be converted to 'PyString'"),
        (lambda kp: kp.add_non_word_boundary("ab"), ValueError, "expected a string of length 1"),
        (lambda kp: kp.add_non_word_boundary(""), ValueError, "expected a string of length 1"),
        (lambda kp: KeywordProcessor(1), TypeError, "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
        (lambda kp: KeywordProcessor(False, "yes"), TypeError, "argument 'allow_overlaps': 'str' object cannot be converted to 'PyBool'"),
        (lambda kp: kp.__setstate__(bytearray(b"")), TypeError, "argument 'state': 'bytearray' object cannot be converted to 'PyBytes'"),
    ],
)
def test_conversion_errors(kp, call, exc, message):
    with pytest.raises(exc) as info:
        call(kp)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_wrapped_type_error_keeps_no_cause(kp):
    with pytest.raises(TypeError) as info:
        kp.add_keyword(5)
    assert info.value.__cause__ is None


def test_lone_surrogate_raises_encoding_error_unwrapped(kp):
    with pytest.raises(UnicodeEncodeError):
        kp.add_keyword("\ud800")
    assert len(kp) == 0


def test_str_subclass_is_text(kp):
    class S(str):
        pass

    kp.add_keyword(S("Hello"), S("Hi"))
    assert kp.get_all_keywords() == {"hello": "Hi"}


def test_boolean_conversion_accepts_none_and_numpy():
    np = pytest.importorskip("numpy")
    kp = KeywordProcessor(np.bool_(True), None)
    kp.add_keyword("Apple")
    assert kp.get_all_keywords() == {"Apple": "Apple"}
    kp = KeywordProcessor(None, None)
    kp.add_keyword("Apple")
    assert kp.get_all_keywords() == {"apple": "apple"}


def test_exclusive_borrow_conflict_from_iterator(kp):
    def boundaries():
        yield "a"
        kp.add_keyword("x")
        yield "b"

    class Seq(list):
        def __iter__(self):
            return boundaries()

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        kp.set_non_word_boundaries(Seq())
    kp.add_keyword("x")  # the borrow was released
    assert len(kp) == 1


def test_shared_borrow_conflict_while_exclusively_borrowed(kp):
    class Seq(list):
        def __iter__(self):
            kp.extract_keywords("a")
            return iter([])

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        kp.set_non_word_boundaries(Seq())


def test_match_setter_converts_before_borrowing():
    m = PyKeywordMatch("k", 1.0, 0, 1)

    class Index:
        def __index__(self):
            return m.end + 1  # reads the match during the conversion

    m.start = Index()
    assert m.start == 2


def test_panic_exception_is_base_exception_only():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__
    m = PyKeywordMatch("k", 1.0, 0, 1)
    caught = None
    try:
        try:
            m.__setstate__(b"")
        except Exception:  # noqa: BLE001 - must not catch it
            caught = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert isinstance(caught, PanicException)
    assert str(caught) == "called `Result::unwrap()` on an `Err` value: Io(Kind(UnexpectedEof))"


def test_wrong_self_type_is_refused():
    with pytest.raises(TypeError):
        KeywordProcessor.add_keyword(PyKeywordMatch("k", 1.0, 0, 1), "a")


def test_second_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    code = "try:\n    import fernquill\nexcept ImportError as e:\n    assert 'sub-interpreters' in str(e)\nelse:\n    raise AssertionError('imported')"
    for _ in range(2):
        interp = si.create()
        try:
            si.run_string(interp, code)
        finally:
            si.destroy(interp)
