"""The column calls fed by a hostile producer through the Arrow PyCapsule
interface: forged structs, lying lengths and offsets, broken streams and
capsules, release callbacks that raise or call back in.

Each refusal is a clear TypeError or ValueError, every struct the call took
over is released exactly once, and the processor is left as it was.
"""

import ctypes
import gc
import signal
import sys
import threading
import tracemalloc

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import columns
from arrow_forgery import (ArrayColumn, Forgery, StreamColumn, int32s, int64s,
                           requires_ctypes_callbacks, view)
from helpers import FREE_THREADED, scans_meeting_changes

pytestmark = requires_ctypes_callbacks

CALLS = [columns.extract, columns.replace, columns.count]
I64_MAX = 2**63 - 1


def processor():
    kp = KeywordProcessor()
    kp.add_keyword("ab", "AB")
    return kp


def plain(forgery, format, length, buffers, **options):
    return ArrayColumn(forgery, forgery.schema(format), forgery.array(length, buffers, **options))


# (id, format, length, buffers, array options, exception, message)
STRING_ROWS = [None, int32s(0, 2, 5), b"ababc"]
LARGE_ROWS = [None, int64s(0, 2, 5), b"ababc"]
LONG = b"ab long enough for a reference"
VIEWS = [None, view(2, b"ab") + view(len(LONG), LONG), LONG, int64s(len(LONG))]
FORGED_ARRAYS = [
    ("int32 format", b"i", 2, STRING_ROWS, {}, TypeError, "int32"),
    ("no format", None, 2, STRING_ROWS, {}, TypeError, "format ''"),
    ("unknown format", b"uu", 2, STRING_ROWS, {}, TypeError, "format 'uu'"),
    ("binary", b"z", 2, STRING_ROWS, {}, TypeError, "binary"),
    ("two buffers", b"u", 2, STRING_ROWS[:2], {}, ValueError, "number of buffers"),
    ("four buffers", b"U", 2, LARGE_ROWS + [None], {}, ValueError, "number of buffers"),
    ("views, two buffers", b"vu", 2, VIEWS[:2], {}, ValueError, "number of buffers"),
    ("no buffer list", b"u", 2, None, {"n_buffers": 3}, ValueError, "no buffers"),
    ("no offsets", b"u", 2, [None, None, b"ababc"], {}, ValueError, "missing offsets"),
    ("no data", b"u", 2, [None, int32s(0, 2, 5), None], {}, ValueError, "missing data"),
    ("nulls without bitmap", b"u", 2, STRING_ROWS, {"null_count": 1}, ValueError, "validity"),
    ("negative length", b"u", -1, STRING_ROWS, {}, ValueError, "negative"),
    ("negative offset", b"u", 1, STRING_ROWS, {"offset": -1}, ValueError, "negative"),
    ("decreasing offsets", b"u", 2, [None, int32s(0, 4, 2), b"abcd"], {}, ValueError,
     "decreasing"),
    ("negative first offset", b"u", 1, [None, int32s(-2, 2), b"ab"], {}, ValueError, "negative"),
    ("large: decreasing offsets", b"U", 2, [None, int64s(0, 4, 2), b"abcd"], {}, ValueError,
     "decreasing"),
    # Lengths and offsets near 2**63: their sums and the buffer sizes they
    # imply overflow, so no buffer that size can exist.
    ("offset near 2**63", b"u", 1, STRING_ROWS, {"offset": I64_MAX}, ValueError, "too long"),
    ("length near 2**63", b"u", I64_MAX, STRING_ROWS, {}, ValueError, "too long"),
    ("offset plus length past 2**63", b"u", 2**62, STRING_ROWS, {"offset": 2**62}, ValueError,
     "too long"),
    ("large: length near 2**62", b"U", 2**61, LARGE_ROWS, {}, ValueError, "too long"),
    ("views: length near 2**60", b"vu", 2**59 + 1, VIEWS, {}, ValueError, "too long"),
    ("views: buffer count near 2**62", b"vu", 1, VIEWS, {"n_buffers": 2**62}, ValueError,
     "number of buffers"),
    ("views: index past the buffers", b"vu", 2,
     [None, view(2, b"ab") + view(len(LONG), LONG, buffer=1), LONG, int64s(len(LONG))], {},
     ValueError, "outside"),
    ("views: negative index", b"vu", 2,
     [None, view(2, b"ab") + view(len(LONG), LONG, buffer=-1), LONG, int64s(len(LONG))], {},
     ValueError, "outside"),
    ("views: past the buffer's end", b"vu", 2,
     [None, view(2, b"ab") + view(len(LONG), LONG, at=4), LONG, int64s(len(LONG))], {},
     ValueError, "outside"),
    ("views: size smaller than said", b"vu", 2, VIEWS[:3] + [int64s(len(LONG) - 1)], {},
     ValueError, "outside"),
    ("views: negative length", b"vu", 1, [None, view(-3), LONG, int64s(len(LONG))], {},
     ValueError, "negative"),
    ("views: no sizes", b"vu", 2, VIEWS[:3] + [None], {}, ValueError, "sizes"),
    ("invalid UTF-8", b"u", 2, [None, int32s(0, 2, 4), b"ab\xc3("], {}, ValueError, "UTF-8"),
    ("large: invalid UTF-8", b"U", 1, [None, int64s(0, 3), b"\xed\xa0\x80"], {}, ValueError,
     "UTF-8"),
    ("views: invalid UTF-8 inline", b"vu", 1, [None, view(2, b"\xff\xfe"), int64s()], {},
     ValueError, "UTF-8"),
    ("views: invalid UTF-8 out of line", b"vu", 1,
     [None, view(14, b"ab\xf0\x9f\x98"), b"ab\xf0\x9f\x98 cut short", int64s(15)], {},
     ValueError, "UTF-8"),
]


def dictionary_column(forgery, index_format, length, buffers, *, values=STRING_ROWS, dictionary=True,
                      **options):
    """A dictionary array over the two rows of STRING_ROWS ("ab", "abc"),
    whose dictionary is the parent's own (released with it, never alone)."""
    schema = forgery.schema(index_format)
    schema.dictionary = ctypes.addressof(forgery.schema(b"u"))
    array = forgery.array(length, buffers, **options)
    if dictionary:
        array.dictionary = ctypes.addressof(forgery.array(2, values))
    return ArrayColumn(forgery, schema, array)


# (id, index format, length, buffers, options, message); every one a ValueError
FORGED_DICTIONARIES = [
    ("index past the dictionary", b"i", 2, [None, int32s(1, 2)], {}, "out of range"),
    ("negative index", b"c", 1, [None, (ctypes.c_int8, [-1])], {}, "out of range"),
    ("huge unsigned index", b"L", 1, [None, (ctypes.c_uint64, [2**64 - 1])], {}, "out of range"),
    ("no dictionary", b"i", 1, [None, int32s(0)], {"dictionary": False}, "without its dictionary"),
    ("no indices", b"i", 1, [None, None], {}, "missing indices"),
    ("three buffers", b"i", 1, [None, int32s(0), None], {}, "number of buffers"),
    ("length near 2**63", b"l", I64_MAX, [None, int64s(0)], {}, "too long"),
    ("a malformed dictionary", b"i", 1, [None, int32s(0)], {"values": [None, int32s(0, 4, 2), b"abcd"]},
     "decreasing"),
]


@pytest.mark.parametrize("case", FORGED_DICTIONARIES, ids=[c[0] for c in FORGED_DICTIONARIES])
def test_forged_dictionaries_are_refused_and_released(case):
    _, index_format, length, buffers, options, message = case
    forgery = Forgery()
    with pytest.raises(ValueError, match=message):
        columns.names(processor(), dictionary_column(forgery, index_format, length, buffers, **options))
    assert forgery.released_once()


def test_a_forged_dictionary_read_rightly_when_told_the_truth():
    # Row 1's index is null, row 3's is out of range but null; offset 1.
    forgery = Forgery()
    column = dictionary_column(forgery, b"S", 4, [bytes([0b1010]), (ctypes.c_uint16, [9, 0, 0, 1, 7])],
                               offset=1, null_count=2)
    assert pa_rows(columns.replace(processor(), column)) == ["AB", None, "abc", None]
    gc.collect()
    assert forgery.released_once()


@pytest.mark.parametrize("case", FORGED_ARRAYS, ids=[c[0] for c in FORGED_ARRAYS])
@pytest.mark.parametrize("call", CALLS, ids=lambda c: c.__name__)
def test_forged_arrays_are_refused_and_released(case, call):
    _, format, length, buffers, options, error, message = case
    kp = processor()
    state = kp.__getstate__()
    forgery = Forgery()
    with pytest.raises(error, match=message):
        call(kp, plain(forgery, format, length, buffers, **options))
    assert forgery.released_once()
    assert kp.__getstate__() == state


@pytest.mark.slow  # every forged array read
def test_the_forged_arrays_read_rightly_when_told_the_truth():
    # The cases above differ from these in one lie each.
    kp = processor()
    for format, length, buffers, want in [
        (b"u", 2, STRING_ROWS, ["AB", "abc"]),
        (b"U", 2, LARGE_ROWS, ["AB", "abc"]),
        (b"vu", 2, VIEWS, ["AB", "AB" + LONG[2:].decode()]),
        (b"u", 1, [None, int32s(7, 7, 9), b"xxxxxxxab"], [""]),  # offsets need not start at 0
    ]:
        forgery = Forgery()
        got = columns.replace(kp, plain(forgery, format, length, buffers))
        assert list(map(str, pa_rows(got))) == want
        del got
        gc.collect()
        assert forgery.released_once()


def pa_rows(result):
    pa = pytest.importorskip("pyarrow")
    return pa.chunked_array(result).to_pylist()


def table_of(forgery, length, child, *, offset=0, validity=None, null_count=0, **options):
    """A one-column table (struct array) over `child`, a struct no one else releases."""
    schema = forgery.schema(b"+s", children=[forgery.schema(b"u", release=False)])
    table = forgery.array(length, [validity], offset=offset, null_count=null_count,
                          children=[child], **options)
    return ArrayColumn(forgery, schema, table)


def child_rows(forgery, length=3):
    return forgery.array(length, [None, int32s(0, 2, 5, 7), b"ababcab"], release=False)


@pytest.mark.parametrize("case, message", [
    (lambda f: table_of(f, 2, child_rows(f), offset=2), "shorter than the table"),
    (lambda f: table_of(f, 4, child_rows(f)), "shorter than the table"),
    (lambda f: table_of(f, 1, child_rows(f), offset=2**63 - 1), "shorter than the table"),
    (lambda f: table_of(f, 2, child_rows(f), n_children=0), "not one column"),
    (lambda f: table_of(f, 2, child_rows(f), n_children=2), "not one column"),
    (lambda f: table_of(f, 2, child_rows(f), validity=b"\x02", null_count=1), "null rows"),
    (lambda f: table_of(f, 2, child_rows(f), validity=b"\x02", null_count=-1), "null rows"),
    (lambda f: table_of(f, 2, child_rows(f), offset=1, validity=b"\x05", null_count=-1),
     "null rows"),
])
def test_forged_one_column_tables_are_refused(case, message):
    kp = processor()
    forgery = Forgery()
    with pytest.raises(ValueError, match=message):
        columns.count(kp, case(forgery))
    assert forgery.released_once()


@pytest.mark.parametrize("rows, offset, validity", [
    (2, 1, b"\x06"),  # the unset bit lies before the table's rows
    (9, 0, b"\xff\x01"),  # a whole byte of the bitmap, then one bit
    (2, 0, None),
])
def test_a_table_that_did_not_count_its_nulls_is_read_when_it_has_none(rows, offset, validity):
    forgery = Forgery()
    text = b"ab" * (rows + offset)
    child = forgery.array(rows + offset, [None, int32s(*range(0, len(text) + 1, 2)), text],
                          release=False)
    column = table_of(forgery, rows, child, offset=offset, validity=validity, null_count=-1)
    assert columns.count(processor(), column) == {"AB": rows}
    assert forgery.released_once()


def test_a_one_column_table_reads_its_column_at_its_offset():
    forgery = Forgery()
    column = table_of(forgery, 2, child_rows(forgery), offset=1)
    assert columns.count(processor(), column) == {"AB": 1}  # rows "abc" and "ab"
    assert forgery.released_once()


def test_a_struct_already_released_is_refused():
    kp = processor()
    forgery = Forgery()
    array = forgery.array(2, STRING_ROWS, release=False)
    with pytest.raises(TypeError, match="already used"):
        columns.count(kp, ArrayColumn(forgery, forgery.schema(b"u"), array))
    schema = forgery.schema(b"u", release=False)
    with pytest.raises(TypeError, match="already used"):
        columns.count(kp, ArrayColumn(forgery, schema, forgery.array(2, STRING_ROWS)))
    assert forgery.released_once()


def good_array(forgery):
    return forgery.array(2, STRING_ROWS)


# (id, stream options, number of good chunks before, exception, message)
BROKEN_STREAMS = [
    ("schema fails", {"fail_at": "schema"}, ValueError, "give its schema: the source went away"),
    ("second chunk fails", {"fail_at": 1}, ValueError, "next chunk: the source went away"),
    ("first chunk fails", {"fail_at": 0}, ValueError, "next chunk"),
    ("fails without a message", {"fail_at": 1, "null_callbacks": ("get_last_error",)},
     ValueError, "next chunk$"),
    ("no get_schema", {"null_callbacks": ("get_schema",)}, ValueError, "malformed Arrow stream"),
    ("no get_next", {"null_callbacks": ("get_next",)}, ValueError, "malformed Arrow stream"),
    ("not strings", {"format": b"l"}, TypeError, "int64"),
]


@pytest.mark.parametrize("case", BROKEN_STREAMS, ids=[c[0] for c in BROKEN_STREAMS])
@pytest.mark.parametrize("call", CALLS, ids=lambda c: c.__name__)
def test_broken_streams_are_refused_and_released(case, call):
    _, options, error, message = case
    options = dict(options)
    kp = processor()
    state = kp.__getstate__()
    forgery = Forgery()
    arrays = [good_array(forgery) for _ in range(3)]
    stream = forgery.stream(options.pop("format", b"u"), arrays, **options)
    with pytest.raises(error, match=message):
        call(kp, StreamColumn(forgery, stream))
    assert forgery.released_once()
    assert kp.__getstate__() == state


def test_a_stream_with_a_malformed_chunk_releases_the_chunks_before():
    kp = processor()
    forgery = Forgery()
    arrays = [good_array(forgery), forgery.array(2, [None, int32s(0, 4, 2), b"abcd"]),
              good_array(forgery)]
    with pytest.raises(ValueError, match="decreasing"):
        columns.extract(kp, StreamColumn(forgery, forgery.stream(b"u", arrays)))
    assert forgery.released_once()
    assert arrays[2].release is not None  # never asked for


def test_an_empty_stream_is_an_empty_column():
    forgery = Forgery()
    column = StreamColumn(forgery, forgery.stream(b"u", []))
    assert len(columns.extract(processor(), column)) == 0
    assert forgery.released_once()


# The makers below return what the export hands over and the forgery holding
# the structs behind it: a capsule keeps no reference to its struct, so the
# forgery must outlive the call (dropped, it goes with the next garbage
# collection, and the call reads freed memory).
def capsule_of(name):
    forgery = Forgery()
    return forgery.capsule(forgery.stream(b"u", [good_array(forgery)]), name), forgery


class Exporting:
    """Answers __arrow_c_stream__ or __arrow_c_array__ with whatever it is given."""

    def __init__(self, method, result):
        self.result = result
        setattr(self, method, self.export)

    def export(self, requested_schema=None):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class SourceFault(Exception):
    pass


def two_capsules(pick=tuple, first=b"arrow_schema", second=b"arrow_array"):
    forgery = Forgery()
    pair = (forgery.capsule(forgery.schema(b"u"), first),
            forgery.capsule(forgery.array(2, STRING_ROWS), second))
    return pick(pair), forgery


# (id, method, a maker of what the export returns or raises and the forgery behind it
# (made afresh for each call), exception, message)
BAD_EXPORTS = [
    ("stream capsule named as an array", "__arrow_c_stream__",
     lambda: capsule_of(b"arrow_array"), TypeError,
     "capsule named 'arrow_array', not 'arrow_array_stream'"),
    ("stream capsule without a name", "__arrow_c_stream__", lambda: capsule_of(None),
     TypeError, "capsule named None"),
    ("stream: not a capsule", "__arrow_c_stream__", lambda: (42, None), TypeError,
     "'int', not a capsule"),
    ("stream raises", "__arrow_c_stream__", lambda: (SourceFault("gone"), None), SourceFault, "^gone$"),
    ("array raises", "__arrow_c_array__", lambda: (SourceFault("gone"), None), SourceFault, "^gone$"),
    ("array: one capsule", "__arrow_c_array__", lambda: two_capsules(lambda pair: pair[:1]), TypeError,
     "two capsules"),
    ("array: a list", "__arrow_c_array__", lambda: two_capsules(list), TypeError,
     "two capsules"),
    ("array: three items", "__arrow_c_array__", lambda: two_capsules(lambda pair: (*pair, pair[0])), TypeError,
     "two capsules"),
    ("array: swapped", "__arrow_c_array__", lambda: two_capsules(lambda pair: pair[::-1]), TypeError,
     "capsule named 'arrow_array', not 'arrow_schema'"),
    ("array: wrong second name", "__arrow_c_array__",
     lambda: two_capsules(second=b"arrow_array_stream"), TypeError,
     "capsule named 'arrow_array_stream', not 'arrow_array'"),
    ("array: not capsules", "__arrow_c_array__", lambda: (("a", "b"), None), TypeError,
     "'str', not a capsule"),
]


@pytest.mark.parametrize("case", BAD_EXPORTS, ids=[c[0] for c in BAD_EXPORTS])
@pytest.mark.parametrize("call", CALLS, ids=lambda c: c.__name__)
def test_bad_exports_are_refused(case, call):
    _, method, make, error, message = case
    kp = processor()
    state = kp.__getstate__()
    exported, forgery = make()
    with pytest.raises(error, match=message):
        call(kp, Exporting(method, exported))
    assert kp.__getstate__() == state
    del forgery  # only now


def test_a_non_callable_export_is_refused():
    column = Exporting("__arrow_c_stream__", None)
    column.__arrow_c_stream__ = None
    with pytest.raises(TypeError, match="not callable"):
        columns.count(processor(), column)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_release_that_raises_is_ignored_after_a_good_call():
    def raising():
        raise RuntimeError("a release that fails")

    forgery = Forgery(on_release=raising)
    column = StreamColumn(forgery, forgery.stream(b"u", [good_array(forgery)]))
    assert columns.count(processor(), column) == {"AB": 1}
    assert forgery.released_once()


@pytest.mark.parametrize("format", [b"i", b"u"])
def test_a_release_running_python_keeps_the_pending_error(format):
    # The releases run while the call unwinds with its own error set; a
    # callback into Python there must not eat or replace it.
    seen = []
    forgery = Forgery(on_release=lambda: seen.append(len(seen)))
    array = forgery.array(2, [None, int32s(0, 4, 2), b"abcd"])
    with pytest.raises((TypeError, ValueError), match="int32|decreasing"):
        columns.extract(processor(), ArrayColumn(forgery, forgery.schema(format), array))
    assert seen == [0, 1]
    assert forgery.released_once()


def test_releases_that_call_back_in_cannot_change_the_processor():
    kp = processor()
    state = kp.__getstate__()
    outcomes = []

    def call_back_in():
        try:
            kp.add_keyword("intruder")
            outcomes.append("changed")
        except RuntimeError as e:
            outcomes.append(str(e))
        outcomes.append(columns.count(kp, ["ab ab"]))  # reading is fine

    forgery = Forgery(on_release=call_back_in)
    arrays = [good_array(forgery), good_array(forgery)]
    column = StreamColumn(forgery, forgery.stream(b"u", arrays))
    assert columns.count(kp, column) == {"AB": 2}
    assert outcomes == ["Already borrowed", {"AB": 2}] * 4  # schema, two chunks, stream
    assert kp.__getstate__() == state
    assert forgery.released_once()


def test_a_stream_that_calls_back_in_cannot_change_the_processor():
    kp = processor()
    state = kp.__getstate__()
    forgery = Forgery()

    class Mutating(StreamColumn):
        def __arrow_c_stream__(self, requested_schema=None):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                kp.remove_keyword("ab")
            return super().__arrow_c_stream__(requested_schema)

    column = Mutating(forgery, forgery.stream(b"u", [good_array(forgery)]))
    assert columns.count(kp, column) == {"AB": 1}
    assert kp.__getstate__() == state


class ClaimedLength:
    """A sequence that says it is far longer than it is, and may act on each
    item it hands out."""

    def __init__(self, rows, claimed, on_item=None):
        self.rows, self.claimed, self.on_item = rows, claimed, on_item

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i >= len(self.rows):
            raise IndexError(i)
        if self.on_item is not None:
            self.on_item()
        return self.rows[i]


def test_a_sequence_lying_about_its_length_is_read_as_far_as_it_goes():
    # Nothing is set aside for the rows it only claims.
    column = ClaimedLength(["ab", None, "x ab"], 2**62)
    assert columns.count(processor(), column) == {"AB": 2}
    assert len(columns.replace(processor(), column)) == 3


def test_a_sequence_that_changes_the_processor_while_read_is_refused():
    kp = processor()
    state = kp.__getstate__()
    column = ClaimedLength(["ab"], 1, on_item=lambda: kp.add_keyword("intruder"))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        columns.extract(kp, column)
    assert kp.__getstate__() == state


def test_a_column_that_exports_itself_recursively_stops_cleanly():
    kp = processor()

    class Recursive:
        def __arrow_c_stream__(self, requested_schema=None):
            return columns.count(kp, self)

    with pytest.raises(RecursionError):
        columns.count(kp, Recursive())
    assert columns.count(kp, ["ab"]) == {"AB": 1}  # the borrows were all given back
    kp.add_keyword("cd")


def hostile_round(kp):
    """One call of each kind of refusal and one good call."""
    for case in FORGED_ARRAYS[::3]:
        _, format, length, buffers, options, error, _ = case
        with pytest.raises(error):
            columns.extract(kp, plain(Forgery(), format, length, buffers, **options))
    for case in BROKEN_STREAMS:
        options = dict(case[1])
        forgery = Forgery()
        arrays = [good_array(forgery), good_array(forgery)]
        stream = forgery.stream(options.pop("format", b"u"), arrays, **options)
        with pytest.raises(case[2]):
            columns.replace(kp, StreamColumn(forgery, stream))
    forgery = Forgery()
    assert columns.count(kp, StreamColumn(forgery, forgery.stream(b"u", [good_array(forgery)])))


@pytest.mark.stress  # two thousand rounds of every refusal
@pytest.mark.skipif(FREE_THREADED, reason="the free-threaded interpreter frees memory lazily: "
                    "making ctypes callbacks alone grows the traced total there")
def test_hostile_input_leaks_no_python_objects():
    # ctypes and the interpreter fill caches on the first rounds, and free
    # lists make the total wander by some 15 KB; an object of 32 bytes leaked
    # per round would add 64 KB.
    kp = processor()
    tracemalloc.start()
    try:
        for _ in range(100):
            hostile_round(kp)
        gc.collect()
        settled = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            hostile_round(kp)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - settled
    finally:
        tracemalloc.stop()
    assert grown < 32 << 10, grown


def test_a_list_column_scanned_while_another_thread_changes_the_processor():
    # Lists need no Arrow library, so this runs on every interpreter.
    kp = processor()
    for i in range(2000):
        kp.add_keyword(f"word{i}")
    rows = [" ".join(f"word{j}" for j in range(i, i + 300)) + " ab" for i in range(2000)]
    rows[::7] = [None] * len(rows[::7])
    want = columns.count(kp, rows)
    state = kp.__getstate__()
    counted, refused = scans_meeting_changes(kp, lambda: columns.count(kp, rows), "intruder")
    assert counted and all(c == want for c in counted)
    assert set(refused) == {"Already borrowed"}
    assert kp.__getstate__() == state


@pytest.mark.slow  # a long call interrupted
@pytest.mark.skipif(FREE_THREADED, reason="needs the interpreter lock to order the threads")
def test_ctrl_c_during_a_call_is_raised_when_it_returns():
    # With a long switch interval the helper thread gets the lock only when
    # the call releases it to scan, so the signal lands during the scan.
    kp = processor()
    rows = ["ab cd " * 200] * 20_000
    want = columns.count(kp, rows)
    started = threading.Event()

    def interrupt():
        started.wait()
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    helper = threading.Thread(target=interrupt)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        helper.start()
        with pytest.raises(KeyboardInterrupt):
            started.set()
            columns.count(kp, rows)
    finally:
        sys.setswitchinterval(interval)
        helper.join()
    assert columns.count(kp, rows) == want
    kp.add_keyword("cd")  # no borrow was left behind
