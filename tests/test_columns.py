"""The column calls give, row for row, what the module gives for each row.

The reference is literal: `char_offsets(row, kp.extract_keywords(row, t))`,
`kp.replace_keywords(row, t)` and a Counter over the matches, run row by row
in Python. The columns come in every form the calls take: lists, pyarrow
string / large_string / string_view arrays, sliced and in several chunks,
dictionary-encoded, Polars and pandas Series (categorical too).
"""

import collections
import importlib
import math
import random

import pytest

from fernquill import KeywordProcessor
import fernquill_tools
from fernquill_tools import char_offsets, columns
from helpers import PanicException, scans_meeting_changes
from arrow_forgery import ArrayColumn, Forgery, int64s, requires_ctypes_callbacks

pa = pytest.importorskip("pyarrow")


def optional_module(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


# Without them (no wheels for a free-threaded interpreter), their forms are left out.
pl = optional_module("polars")
pd = optional_module("pandas")

# Characters whose lower case changes byte length (İ, Kelvin K, ẞ), sigma in
# its three forms, ASCII case pairs, a two-byte letter, separators.
ALPHABET = ["a", "b", "A", "B", "é", "É", "İ", "i", "\u212a", "k", "ẞ", "ß", "Σ", "σ", "ς",
            " ", " ", "-", "_", "1"]


def random_word(rng, n_max=4):
    return "".join(rng.choice(ALPHABET[:15]) for _ in range(rng.randint(1, n_max)))


def random_row(rng):
    if rng.random() < 0.1:
        return None
    if rng.random() < 0.1:
        return ""
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 30)))


def random_processor(rng):
    """A processor and whether it is case-sensitive."""
    case_sensitive = rng.random() < 0.4
    kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=rng.random() < 0.2)
    for _ in range(rng.randint(1, 12)):
        word = random_word(rng)
        if rng.random() < 0.5:
            kp.add_keyword(word)
        else:
            kp.add_keyword(word, rng.choice(["X", "Ω", "", word.upper(), "long clean name"]))
    if rng.random() < 0.3:
        kp.add_non_word_boundary(rng.choice(["-", "_", "é", "İ"]))
    return kp, case_sensitive


def reference_extract(kp, row, threshold, offsets, case_sensitive=False):
    matches = kp.extract_keywords(row, threshold)
    if offsets == "chars":
        matches = char_offsets(row, matches, case_sensitive=case_sensitive)
    return [{"keyword": m.keyword, "similarity": m.similarity, "start": m.start, "end": m.end}
            for m in matches]


def as_column(rows, form, rng):
    """`rows` in the given form, nulls kept."""
    if form == "list":
        return list(rows)
    if form == "tuple":
        return tuple(rows)
    if form in ("string", "large_string", "string_view"):
        return pa.array(rows, type=getattr(pa, form)())
    if form == "chunked":
        cuts = sorted(rng.sample(range(len(rows) + 1), min(3, len(rows) + 1)))
        pieces = [rows[a:b] for a, b in zip([0] + cuts, cuts + [len(rows)])]
        return pa.chunked_array([pa.array(p, type=rng.choice([pa.string(), pa.string()]))
                                 for p in pieces], type=pa.string())
    if form == "chunked_large":
        half = len(rows) // 2
        return pa.chunked_array([pa.array(rows[:half], pa.large_string()),
                                 pa.array(rows[half:], pa.large_string())])
    if form == "sliced":
        # A slice with a non-zero offset into a longer array, nulls around it.
        padded = ["pad", None] + list(rows) + [None, "pad"]
        return pa.array(padded, type=rng.choice([pa.string(), pa.large_string(),
                                                 pa.string_view()])).slice(2, len(rows))
    if form == "list_nan":  # pandas' missing rows
        return [math.nan if r is None else r for r in rows]
    if form == "dictionary":
        return dictionary_column(rows, rng)
    if form == "polars":
        return pl.Series(rows, dtype=pl.String)
    if form == "polars_categorical":
        return pl.Series(rows, dtype=pl.Categorical)
    if form == "pandas":
        return pd.Series(rows, dtype=pd.ArrowDtype(pa.string()))
    if form == "pandas_category":
        return pd.Series(rows, dtype="category")
    raise AssertionError(form)


def dictionary_column(rows, rng):
    """`rows` dictionary-encoded with indices of a random integer type, null
    rows either null indices or indices of a null dictionary value, and
    values that no row uses."""
    values = sorted({r for r in rows if r is not None}) + ["unused", None]
    rng.shuffle(values)
    null_at = values.index(None)
    indices = [null_at if r is None and rng.random() < 0.5 else None if r is None else values.index(r)
               for r in rows]
    index_type = rng.choice([pa.int8(), pa.uint8(), pa.int16(), pa.uint16(), pa.int32(), pa.uint32(),
                             pa.int64(), pa.uint64()])
    padded = pa.array([0] + indices, index_type)
    value_type = rng.choice([pa.string(), pa.large_string(), pa.string_view()])
    return pa.DictionaryArray.from_arrays(padded, pa.array(values, value_type)).slice(1)


FORMS = ["list", "list_nan", "tuple", "string", "large_string", "string_view", "chunked",
         "chunked_large", "sliced", "dictionary"] + ["polars", "polars_categorical"] * (pl is not None) + [
         "pandas", "pandas_category"] * (pd is not None)


def rows_of(result):
    return pa.chunked_array(result).to_pylist()


@pytest.mark.slow  # a randomized differential
@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("threshold", [None, 0.75])
def test_random_columns_match_the_module_row_for_row(form, threshold):
    rng = random.Random(f"{form}-{threshold}")
    for _ in range(25):
        kp, case_sensitive = random_processor(rng)
        rows = [random_row(rng) for _ in range(rng.randint(0, 40))]
        column = as_column(rows, form, rng)
        for offsets in ("chars", "bytes"):
            got = rows_of(columns.extract(kp, column, threshold, offsets=offsets, words="ascii"))
            want = [None if r is None
                    else reference_extract(kp, r, threshold, offsets, case_sensitive)
                    for r in rows]
            assert got == want, (rows, offsets)
        replaced = rows_of(columns.replace(kp, column, threshold, words="ascii"))
        assert replaced == [None if r is None else kp.replace_keywords(r, threshold) for r in rows]
        counted = collections.Counter(m.keyword for r in rows if r is not None
                                      for m in kp.extract_keywords(r, threshold))
        assert list(columns.count(kp, column, threshold, words="ascii").items()) == list(counted.items())


# Letters of several scripts, a combining mark, and separators, so that the
# Unicode word test and the fallback both decide matches.
WORD_ALPHABET = ["a", "b", "ab", "ä", "ß", "é", "ı", "д", "σ", "ς", "日", "\u0301", " ", " ", ",",
                 "_", "1"]


@pytest.mark.parametrize("form", ["list", "string_view", "chunked"] + ["polars"] * (pl is not None))
@pytest.mark.parametrize("words, fallback", [("unicode", True), ("unicode", False),
                                             ("ascii", True)])
def test_whole_word_options_match_the_single_text_calls(form, words, fallback):
    rng = random.Random(f"{form}-{words}-{fallback}")
    for _ in range(25):
        kp = KeywordProcessor(case_sensitive=rng.random() < 0.3)
        for _ in range(rng.randint(1, 10)):
            word = "".join(rng.choice(WORD_ALPHABET[:12]) for _ in range(rng.randint(1, 4)))
            kp.add_keyword(word, rng.choice([None, "X", word.upper()]))
        if rng.random() < 0.3:
            kp.add_non_word_boundary(rng.choice(["_", "ä", "日"]))
        rows = [None if rng.random() < 0.1 else
                "".join(rng.choice(WORD_ALPHABET) for _ in range(rng.randint(0, 25)))
                for _ in range(rng.randint(0, 30))]
        column = as_column(rows, form, rng)
        threshold = rng.choice([None, 0.7])
        got = rows_of(columns.extract(kp, column, threshold, words=words, fallback=fallback))
        want = [None if r is None else
                [{"keyword": m.keyword, "similarity": m.similarity, "start": m.start, "end": m.end}
                 for m in fernquill_tools.extract(kp, r, threshold, words=words, fallback=fallback)]
                for r in rows]
        assert got == want, rows
        replaced = rows_of(columns.replace(kp, column, threshold, words=words, fallback=fallback))
        assert replaced == [None if r is None else
                            fernquill_tools.replace(kp, r, threshold, words=words, fallback=fallback)
                            for r in rows]
        counted = collections.Counter(m["keyword"] for r in got if r is not None for m in r)
        got_counts = columns.count(kp, column, threshold, words=words, fallback=fallback)
        assert list(got_counts.items()) == list(counted.items())
        names = rows_of(columns.names(kp, column, threshold, words=words, fallback=fallback))
        assert names == [None if r is None else [m["keyword"] for m in r] for r in got]
        found = rows_of(columns.contains(kp, column, threshold, words=words, fallback=fallback))
        assert found == [None if r is None else bool(r) for r in got]


@pytest.mark.parametrize("call", [columns.extract, columns.replace, columns.count, columns.names,
                                  columns.contains])
def test_word_options_are_checked(call):
    kp = KeywordProcessor()
    kp.add_keyword("a")
    with pytest.raises(ValueError, match="words must be"):
        call(kp, ["a"], words="latin")
    with pytest.raises(TypeError, match="fallback"):
        call(kp, ["a"], fallback="yes")


@pytest.mark.parametrize("name", ["extract", "replace", "count", "names", "contains"])
def test_native_calls_read_their_options_by_position_and_by_name(name):
    # The native calls share one argument reader; each must find `words`
    # and `fallback` in its own places, and only extract takes `offsets`.
    call = getattr(fernquill_tools._native, name)
    kp = KeywordProcessor()
    kp.add_keyword("ab")
    rows = ["ab", "xab ab", "ab\u00e9 ab"]
    extra = ("chars",) if name == "extract" else ()
    for words, fallback in [("ascii", False), ("unicode", True), ("unicode", False)]:
        by_position = call(kp, rows, None, *extra, words, fallback)
        by_name = call(kp, rows, None, words=words, fallback=fallback)
        want = getattr(columns, name)(kp, rows, words=words, fallback=fallback)
        if name == "count":
            assert by_position == by_name == want
        else:
            assert rows_of(by_position) == rows_of(by_name) == rows_of(want)
    with pytest.raises(ValueError, match="words must be"):
        call(kp, rows, None, *extra, "latin")
    if name != "extract":
        with pytest.raises(TypeError, match="offsets"):
            call(kp, rows, offsets="bytes")


@pytest.mark.stress  # 60,000 rows against the module, row by row
def test_many_blocks_match_the_module():
    # Enough text for many blocks on the pool, rows of every size.
    rng = random.Random(7)
    kp, case_sensitive = random_processor(rng)
    rows = [random_row(rng) if rng.random() < 0.99 else (random_row(rng) or "ab") * 5000
            for _ in range(60_000)]
    column = pa.array(rows, pa.large_string())
    got = columns.extract(kp, column, words="ascii")
    assert pa.chunked_array(got).num_chunks > 1
    assert rows_of(got) == [
        None if r is None else reference_extract(kp, r, None, "chars", case_sensitive)
        for r in rows]
    assert rows_of(columns.replace(kp, column, words="ascii")) == [
        None if r is None else kp.replace_keywords(r) for r in rows]
    counted = collections.Counter(
        m.keyword for r in rows if r is not None for m in kp.extract_keywords(r))
    assert list(columns.count(kp, column, words="ascii").items()) == list(counted.items())


# Each block of rows on the pool becomes one chunk of the result.
BLOCK_BYTES, BLOCK_ROWS = 512 << 10, 1 << 16


def planned_chunk_lengths(chunks):
    """Rows per block: a block closes at the row whose bytes reach BLOCK_BYTES or at
    BLOCK_ROWS rows, and never spans two chunks."""
    lengths = []
    for rows in chunks:
        begin = size = 0
        for i, row in enumerate(rows):
            size += len(row.encode()) if row else 0
            if size >= BLOCK_BYTES or i + 1 - begin >= BLOCK_ROWS:
                lengths.append(i + 1 - begin)
                begin, size = i + 1, 0
        if begin < len(rows):
            lengths.append(len(rows) - begin)
    return lengths or [0]


@pytest.mark.slow  # megabytes of rows per form
@pytest.mark.parametrize("form", ["list", "string", "large_string", "string_view", "sliced",
                                  "chunked"])
def test_blocks_follow_the_byte_and_row_budgets(form):
    rng = random.Random(form)
    rows = ([None if rng.random() < 0.1 else "x" * rng.randint(0, 3000) for _ in range(1500)]
            + ["é" * 300_000, "y" * (BLOCK_BYTES - 1), "z", "w" * BLOCK_BYTES, None]
            + ["", None, "ab"] * 30_000)
    column = as_column(rows, form, rng)
    chunks = ([c.to_pylist() for c in column.chunks] if isinstance(column, pa.ChunkedArray)
              else [rows])
    kp = KeywordProcessor()
    kp.add_keyword("ab")
    got = pa.chunked_array(columns.extract(kp, column))
    assert [len(c) for c in got.chunks] == planned_chunk_lengths(chunks)
    assert got.to_pylist()[-3:] == [[], None, [{"keyword": "ab", "similarity": 1.0,
                                                "start": 0, "end": 2}]]


@requires_ctypes_callbacks
def test_a_null_row_claiming_a_terabyte_costs_nothing():
    # Nothing reads a null row's bytes, so nothing is reserved for them.
    forgery = Forgery()
    array = forgery.array(2, [b"\x01", int64s(0, 2, 2**40), b"ab"], null_count=1)
    column = ArrayColumn(forgery, forgery.schema(b"U"), array)
    kp = KeywordProcessor()
    kp.add_keyword("ab", "AB")
    assert rows_of(columns.replace(kp, column)) == ["AB", None]


@pytest.mark.parametrize("form", ["list", "chunked"])
def test_count_of_many_names_some_shared(form):
    # Thousands of distinct names, each block counting many of them, and
    # names that several keywords share: counted by their text over the
    # whole column.
    rng = random.Random(form)
    kp = KeywordProcessor()
    words = [f"w{i}" for i in range(4000)]
    for i, word in enumerate(words):
        kp.add_keyword(word, f"name {i % 2500}" if i % 3 else None)
    rows = [" ".join(rng.choice(words) for _ in range(rng.randint(0, 60)))
            if rng.random() < 0.95 else None for _ in range(3000)]
    want = collections.Counter(m.keyword for r in rows if r is not None
                               for m in kp.extract_keywords(r))
    assert len(want) > 2000
    # In the order of first matches, as the Counter has them.
    assert list(columns.count(kp, as_column(rows, form, rng)).items()) == list(want.items())


@pytest.mark.skipif(pl is None, reason="needs polars")
def test_result_types_and_imports():
    kp = KeywordProcessor()
    kp.add_keyword("new york", "NY")
    rows = ["I love New York", None, "", "new york, new york"]
    extracted = columns.extract(kp, rows)
    want = pa.list_(pa.struct([("keyword", pa.string()), ("similarity", pa.float32()),
                               ("start", pa.int64()), ("end", pa.int64())]))
    assert pa.array(extracted).type.equals(want, check_metadata=False)
    assert len(extracted) == 4
    assert pl.Series(extracted).to_list()[3] == [
        {"keyword": "NY", "similarity": 1.0, "start": 0, "end": 8},
        {"keyword": "NY", "similarity": 1.0, "start": 10, "end": 18}]
    assert pa.array(columns.replace(kp, rows)).type == pa.string()
    assert pa.array(columns.replace(kp, pa.array(rows, pa.large_string()))).type == pa.large_string()
    assert pl.Series(columns.replace(kp, rows)).to_list() == ["I love NY", None, "", "NY, NY"]


def test_the_result_is_shared_not_copied():
    kp = KeywordProcessor()
    kp.add_keyword("a")
    result = columns.replace(kp, ["a b", "b a"])
    first, second = pa.array(result), pa.chunked_array(result).chunk(0)
    assert first.buffers()[2].address == second.buffers()[2].address
    del result  # the arrays keep the buffers alive
    assert first.to_pylist() == ["a b", "b a"] and second.to_pylist() == first.to_pylist()


@pytest.mark.parametrize("column, named", [
    (42, "'int'"),
    ("a text", "'str'"),
    (b"bytes", "'bytes'"),
    ({1, 2}, "'set'"),
    (pa.array([1, 2]), "int64"),
    (pa.array([b"x"]), "binary"),
    (pa.array([1, 2]).dictionary_encode(), "dictionary of int64"),
])
def test_other_types_are_refused_by_name(column, named):
    kp = KeywordProcessor()
    for call in (columns.extract, columns.replace, columns.count, columns.names, columns.contains):
        with pytest.raises(TypeError, match=named) as refused:
            call(kp, column)
        assert "pass " in str(refused.value)  # and what to pass instead


@pytest.mark.parametrize("rows, row, named", [
    (["a", 3], 1, "int"), (["a", "b", 2.5], 2, "float"), ([b"a"], 0, "bytes"), (["a", ["b"]], 1, "list")])
def test_rows_of_a_sequence_must_be_str_or_missing(rows, row, named):
    with pytest.raises(TypeError, match=f"argument 'column': row {row} is '{named}', not str: pass str, "
                                        "or None or NaN for a missing row"):
        columns.extract(KeywordProcessor(), rows)


def test_processor_must_be_a_keyword_processor():
    with pytest.raises(TypeError, match="'list' object cannot be converted to 'KeywordProcessor'"):
        columns.extract(["a"], ["a"])


@pytest.mark.parametrize("threshold", [1.5, -0.1, float("nan")])
def test_bad_threshold_panics_before_the_column_is_read(threshold):
    class Column:
        def __arrow_c_stream__(self, requested_schema=None):
            raise AssertionError("the column was read")

    for call in (columns.extract, columns.replace, columns.count):
        with pytest.raises(PanicException, match="^Threshold must be between 0 and 1$"):
            call(KeywordProcessor(), Column(), threshold)


def test_offsets_option_is_checked():
    with pytest.raises(ValueError, match="chars"):
        columns.extract(KeywordProcessor(), ["a"], offsets="lines")


def test_processor_stays_borrowed_while_the_column_is_read():
    kp = KeywordProcessor()
    kp.add_keyword("a")

    class Column:
        def __arrow_c_stream__(self, requested_schema=None):
            kp.add_keyword("b")  # a change in the middle of the call
            return pa.chunked_array([["a b"]]).__arrow_c_stream__()

    with pytest.raises(RuntimeError, match="Already borrowed"):
        columns.extract(kp, Column())
    assert kp.get_all_keywords() == {"a": "a"}
    assert rows_of(columns.replace(kp, ["a b"])) == ["a b"]  # the borrow was given back


@pytest.mark.slow  # a long call raced by threads
def test_other_threads_run_during_a_call_and_cannot_change_the_processor():
    kp = KeywordProcessor()
    for i in range(2000):
        kp.add_keyword(f"word{i}")
    column = pa.array([" ".join(f"word{j}" for j in range(i, i + 400)) for i in range(3000)])
    want = rows_of(columns.replace(kp, column))
    same, refused = scans_meeting_changes(
        kp, lambda: rows_of(columns.replace(kp, column)) == want, "intruder")
    assert same and all(same)
    assert set(refused) == {"Already borrowed"}  # this thread ran, and met the borrow, while the scan worked
    assert "intruder" not in kp.get_all_keywords()


def malformed_arrays():
    offsets = pa.py_buffer(bytes(pa.array([0, 3, 1], pa.int32()).buffers()[1]))
    data = pa.py_buffer(b"abc")
    yield pa.Array.from_buffers(pa.string(), 2, [None, offsets, data])  # decreasing offsets
    bad = pa.py_buffer(bytes(pa.array([0, 2], pa.int32()).buffers()[1]))
    yield pa.Array.from_buffers(pa.string(), 1, [None, bad, pa.py_buffer(b"\xff\xfe")])


@pytest.mark.parametrize("array", list(malformed_arrays()), ids=["offsets", "utf8"])
def test_malformed_arrow_input_is_a_value_error(array):
    kp = KeywordProcessor()
    kp.add_keyword("a")
    with pytest.raises(ValueError, match="malformed Arrow string array|not valid UTF-8"):
        columns.extract(kp, array)


def test_a_table_is_not_a_column():
    # A table of one string column stands for that column; of more, or of
    # another type, it is refused.
    for table, named in [(pa.table({"id": [1], "text": ["a"]}), "got a table of 2 columns, not a column: "
                                                                "pass one column"),
                         (pa.table({"id": [1]}), "got a table of one int64 column: pass a column of strings")]:
        with pytest.raises(TypeError, match=named):
            columns.count(KeywordProcessor(), table)


MEMORY_SWEEP = """
import ctypes
import resource
import pyarrow as pa
from fernquill import KeywordProcessor
from fernquill_tools import columns

kp = KeywordProcessor()
for i in range(3000):
    kp.add_keyword(f"w{i}", f"name {i}")
column = pa.array([" ".join(f"w{j}" for j in range(i % 50, i % 50 + 300)) for i in range(3000)])
state = kp.__getstate__()
calls = {"extract": lambda: columns.extract(kp, column),
         "replace": lambda: columns.replace(kp, column),
         "count": lambda: columns.count(kp, column)}
def rows(r):
    return r if isinstance(r, dict) else pa.chunked_array(r).to_pylist()
want = {name: rows(call()) for name, call in calls.items()}  # starts the pool first
failed = completed = 0
trim = ctypes.CDLL(None).malloc_trim
for mb in range(0, 96, 3):
    for name, call in calls.items():
        trim(0)  # freed memory back to the system, so that the limit bites
        vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (mb << 20), resource.RLIM_INFINITY))
        try:
            result = call()
        except MemoryError:
            result = None
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        assert kp.__getstate__() == state
        if result is None:
            failed += 1
        else:
            completed += 1
            assert rows(result) == want[name], name
        del result
assert rows(calls["extract"]()) == want["extract"]
print(failed, completed)
"""


@pytest.mark.stress  # a hundred calls under rising address-space limits
@pytest.mark.skipif("libasan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limits allow")
def test_memory_errors_leave_the_processor_unchanged():
    import subprocess
    import sys
    # One malloc arena: worker threads' own arenas hold address space reserved
    # before the limit, which would let every call through.
    env = dict(__import__("os").environ, MALLOC_ARENA_MAX="1")
    result = subprocess.run([sys.executable, "-c", MEMORY_SWEEP], capture_output=True, text=True,
                            timeout=900, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    failed, completed = map(int, result.stdout.split())
    assert failed > 0 and completed > 0  # the sweep reached both outcomes
