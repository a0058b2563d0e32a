"""The command line's native writer called directly, as a careless or hostile
caller would: wrong arguments, bytes that are not UTF-8, a processor changed
from another thread while the writer runs without the interpreter lock, and
memory running out half way."""

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
from collections import Counter

import pytest

import fernquill
from helpers import PanicException, each_seed, refusals_while_running

native = pytest.importorskip("fernquill_tools._native")
write_records = getattr(native, "write_records", None)
if write_records is None:
    pytest.skip("this build of the companion module has no command-line writer", allow_module_level=True)

PATH = b'"f.txt"'


def processor():
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("new york", "NYC")
    kp.add_keyword("la")
    return kp


def test_writes_lines_counts_and_replaced_text():
    kp = processor()
    blocks = [(b"New York\r\nno\nLA and la", PATH, 7), (bytearray(b"la\n"), b'"g"', 1)]
    out, counts, matched = write_records(kp, blocks, None, "lines")
    assert out == (b'{"path":"f.txt","line":7,"matches":[["NYC",1.0,0,8]]}\n'
                   b'{"path":"f.txt","line":9,"matches":[["la",1.0,0,2],["la",1.0,7,9]]}\n'
                   b'{"path":"g","line":1,"matches":[["la",1.0,0,2]]}\n')
    assert (counts, matched) == (None, 3)
    assert write_records(kp, blocks, None, "counts")[1:] == ([{"NYC": 1, "la": 2}, {"la": 1}], 3)
    assert write_records(kp, blocks, None, "replaced") == (b"NYC\r\nno\nla and lala\n", None, 3)
    assert write_records(kp, [(b"x la\nla", PATH, 1)], None, "replaced", whole_records=True)[0] == b"x la\nla"


@pytest.mark.parametrize("call, error, message", [
    (lambda kp: write_records("kp", [], None, "lines"), TypeError, "argument 'processor'"),
    (lambda kp: write_records(kp, ((b"", PATH, 1),), None, "lines"), TypeError, "argument 'blocks'"),
    (lambda kp: write_records(kp, [(b"", PATH)], None, "lines"), TypeError, "argument 'blocks'"),
    (lambda kp: write_records(kp, [("text", PATH, 1)], None, "lines"), TypeError, "bytes-like"),
    (lambda kp: write_records(kp, [(b"", PATH, -1)], None, "lines"), OverflowError, "negative"),
    (lambda kp: write_records(kp, [(b"", PATH, 2**64)], None, "lines"), OverflowError, "too big"),
    (lambda kp: write_records(kp, [(b"ok\n\xff\n", PATH, 1)], None, "lines"), ValueError, "not valid UTF-8"),
    (lambda kp: write_records(kp, [], None, "json"), ValueError, "output must be"),
    (lambda kp: write_records(kp, [], None, "lines", "words"), ValueError, "offsets must be"),
    (lambda kp: write_records(kp, [], None, "lines", words="latin"), ValueError, "words must be"),
    (lambda kp: write_records(kp, [], None, "lines", fallback="yes"), TypeError, "argument 'fallback'"),
    (lambda kp: write_records(kp, [(b"la", PATH, 1)], 1.5, "lines"), PanicException,
     "Threshold must be between 0 and 1"),
    (lambda kp: write_records(kp, [], "high", "lines"), TypeError, "argument 'threshold'"),
])
def test_wrong_calls_are_refused(call, error, message):
    kp = processor()
    before = kp.__getstate__()
    with pytest.raises(error, match=message):
        call(kp)
    assert kp.__getstate__() == before
    assert write_records(kp, [(b"la", PATH, 1)], None, "counts")[1] == [{"la": 1}]


@pytest.mark.slow  # a long write raced by a thread
def test_a_change_from_another_thread_waits_for_the_writer():
    kp = processor()
    block = b"New York and LA and nothing much\n" * 200_000
    expected = write_records(kp, [(block, PATH, 1)], None, "lines")
    # Without the interpreter lock the first change may land before the writer
    # borrows, so the writer sees either processor, but always a whole one.
    kp.add_keyword("nothing")
    with_change = write_records(kp, [(block, PATH, 1)], None, "lines")
    kp.remove_keyword("nothing")
    assert with_change != expected
    results = []
    started = threading.Event()

    def write():
        started.set()
        results.append(write_records(kp, [(block, PATH, 1)], None, "lines"))

    thread = threading.Thread(target=write)
    thread.start()
    started.wait()
    refused = refusals_while_running(kp, thread, "nothing")
    thread.join()
    assert len(results) == 1 and results[0] in (expected, with_change)
    assert set(refused) <= {"Already borrowed"}
    assert len(kp) == 2


@pytest.mark.stress  # a 60 MiB record under five address-space limits
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limit allows")
def test_memory_running_out_leaves_the_processor_usable():
    code = textwrap.dedent("""
        import resource
        import fernquill
        from fernquill_tools._native import write_records
        kp = fernquill.KeywordProcessor()
        kp.add_keyword("la", "Los Angeles")
        block = b"la " * (20 << 20) + b"\\n"
        before = kp.__getstate__()
        outcomes = set()
        for mb in (8, 32, 128, 512, 2048):
            vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (vm + (mb << 20), resource.RLIM_INFINITY))
            try:
                for output in ("lines", "counts", "replaced"):
                    write_records(kp, [(block, b'"f"', 1)], None, output)
                outcomes.add("completed")
            except MemoryError:
                outcomes.add("failed")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            assert kp.__getstate__() == before
            assert write_records(kp, [(b"la\\n", b'"f"', 1)], None, "counts")[1] == [{"Los Angeles": 1}]
        print(" ".join(sorted(outcomes)))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["completed", "failed"]


def python_utf8_lines(data):
    try:
        bytes(data).decode("utf-8")
        bad = -1
    except UnicodeDecodeError as exc:
        bad = exc.start
    return bad, bytes(data).count(b"\n")


@pytest.mark.slow  # a randomized differential
@each_seed(range(10))
def test_utf8_lines_agrees_with_the_codec(seed):
    # Small inputs, and ones past the size checked without the interpreter lock.
    import random

    rng = random.Random(seed)
    pieces = [b"a", b"\n", b"\r\n", "é".encode(), "😀".encode(), b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xe2\x82"]
    for size in (0, 1, 7, 300):
        data = b"".join(rng.choice(pieces[:5] if rng.random() < 0.5 else pieces) for _ in range(size))
        big = b"x\n" * (rng.randint(1, 3) << 19) + data
        for value in (data, bytearray(data), memoryview(big), big):
            assert native.utf8_lines(value) == python_utf8_lines(value)


def test_invalid_utf8_in_a_later_share_of_work_is_refused_whole():
    # The check runs in the workers, one share of a block each: the output of
    # the shares before the bad one must not come back either.
    kp = processor()
    block = b"la\n" * (1 << 20) + b"\xff\n" + b"la\n" * 10
    with pytest.raises(ValueError, match="a block is not valid UTF-8"):
        write_records(kp, [(block, PATH, 1)], None, "lines")
    assert write_records(kp, [(b"la\n" * 3, PATH, 1)], None, "counts")[1] == [{"la": 3}]


def rendered_lines(kp, lines, threshold):
    """The JSON Lines the command writes for `lines`, from the module's own matches."""
    from fernquill_tools import char_offsets
    out = []
    for number, line in enumerate(lines, 1):
        matches = char_offsets(line, kp.extract_keywords(line, threshold))
        if matches:
            record = {"path": "f.txt", "line": number,
                      "matches": [[m.keyword, round(m.similarity, 2), m.start, m.end] for m in matches]}
            out.append(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
    return "".join(out).encode()


LONG_RECORD = 1 << 20  # records from this size on are written as their matches come


@pytest.mark.slow  # megabytes checked against the module, line by line
@each_seed(range(2))  # one without overlaps, one with
def test_long_records_with_dense_matches_equal_the_module(seed):
    check_long_records_with_dense_matches(seed)


@pytest.mark.stress
@each_seed(range(2, 4))
def test_more_long_records_with_dense_matches(seed):
    check_long_records_with_dense_matches(seed)


def check_long_records_with_dense_matches(seed):
    rng = random.Random(seed)
    kp = fernquill.KeywordProcessor(allow_overlaps=seed % 2 == 1)
    for word, name in [("ny", "New York"), ("ny and", "X"), ("İst", "ist"), ("kelvin", None), ("la", "")]:
        kp.add_keyword(word, name)
    words = ["NY", "ny", "and", "la", "Kelvin", "İst", "ıst", "x", "NY and", "\t", "é"]
    ascii_words = [w for w in words if w.isascii()]

    def line(size, pool):
        parts, n = [], 0
        while n < size:
            parts.append(rng.choice(pool))
            n += len(parts[-1]) + 1
        return " ".join(parts)

    lines = [line(LONG_RECORD + rng.randrange(1000), ascii_words), line(200, words),
             line(LONG_RECORD + rng.randrange(1000), words), ""]
    data = "\n".join(lines).encode()
    for threshold in (None, 0.8):
        out, _, matched = write_records(kp, [(data, PATH, 1)], threshold, "lines")
        assert out == rendered_lines(kp, lines, threshold)
        counts = write_records(kp, [(data, PATH, 1)], threshold, "counts")[1][0]
        assert counts == Counter(m.keyword for row in lines for m in kp.extract_keywords(row, threshold))
        replaced = write_records(kp, [(data, PATH, 1)], threshold, "replaced")[0]
        assert replaced.decode() == "\n".join(kp.replace_keywords(row, threshold) for row in lines)
        assert matched == sum(bool(kp.extract_keywords(row, threshold)) for row in lines)
