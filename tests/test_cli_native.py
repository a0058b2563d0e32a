"""The command line's native searcher called directly, as a careless or hostile
caller would: wrong arguments, bytes that are not UTF-8 under each --errors
policy against Python's codec, a processor changed from another thread while
the searcher runs without the interpreter lock, and memory running out half
way."""

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
from fernquill_tools import char_offsets
from helpers import PanicException, each_seed, refusals_while_running

native = pytest.importorskip("fernquill_tools._native")
write_records = getattr(native, "write_records", None)
if write_records is None:
    pytest.skip("this build of the companion module has no command-line writer", allow_module_level=True)

PATH = "f.txt"


def processor():
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("new york", "NYC")
    kp.add_keyword("la")
    return kp


def test_writes_lines_counts_and_replaced_text():
    kp = processor()
    blocks = [(b"New York\r\nno\nLA and la", PATH, 7), (bytearray(b"la\n"), "g", 1)]
    out, counts, matched, failures, next_line = write_records(kp, blocks, None, "lines")
    assert out == (b'{"path":"f.txt","line":7,"matches":[["NYC",1.0,0,8]]}\n'
                   b'{"path":"f.txt","line":9,"matches":[["la",1.0,0,2],["la",1.0,7,9]]}\n'
                   b'{"path":"g","line":1,"matches":[["la",1.0,0,2]]}\n')
    assert (counts, matched, failures, next_line) == (None, 3, [], 2)
    assert write_records(kp, blocks, None, "counts")[1:3] == ([{"NYC": 1, "la": 2}, {"la": 1}], 3)
    assert write_records(kp, blocks, None, "replaced")[:3] == (b"NYC\r\nno\nla and lala\n", None, 3)
    assert write_records(kp, [(b"x la\nla", PATH, 1)], None, "replaced", whole_records=True)[0] == b"x la\nla"


@pytest.mark.parametrize("call, error, message", [
    (lambda kp: write_records("kp", [], None, "lines"), TypeError, "argument 'processor'"),
    (lambda kp: write_records(kp, ((b"", PATH, 1),), None, "lines"), TypeError, "argument 'blocks'"),
    (lambda kp: write_records(kp, [(b"", PATH)], None, "lines"), TypeError, "argument 'blocks'"),
    (lambda kp: write_records(kp, [("text", PATH, 1)], None, "lines"), TypeError, "bytes-like"),
    (lambda kp: write_records(kp, [(b"", PATH, -1)], None, "lines"), OverflowError, "negative"),
    (lambda kp: write_records(kp, [(b"", PATH, 2**64)], None, "lines"), OverflowError, "too big"),
    (lambda kp: write_records(kp, [(b"", b"f", 1)], None, "lines"), TypeError, "expected a str path"),
    (lambda kp: write_records(kp, [], None, "lines", errors="ignore"), ValueError, "errors must be"),
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
                    write_records(kp, [(block, "f", 1)], None, output)
                outcomes.add("completed")
            except MemoryError:
                outcomes.add("failed")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            assert kp.__getstate__() == before
            assert write_records(kp, [(b"la\\n", "f", 1)], None, "counts")[1] == [{"Los Angeles": 1}]
        print(" ".join(sorted(outcomes)))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["completed", "failed"]


PIECES = [b"la", b" ", b"New York", b"\n", b"\n", b"\r\n", "é".encode(), "İ".encode(), b"\xff", b"\xc3",
          b"\xed\xa0\x80", b"\xe2\x82", b"\xf0\x90\x80", b"\xc0\xaf"]


def policed_lines(data, errors):
    """(text as the --errors policy reads it or None when skipped, line end,
    raw bytes) of each line of `data`."""
    out = []
    for raw in data.splitlines(keepends=True):
        body = raw.rstrip(b"\n").removesuffix(b"\r")
        try:
            text = body.decode()
        except UnicodeDecodeError:
            text = None if errors != "replace" else body.decode("utf-8", "replace")
        out.append((text, raw[len(body):], raw))
    return out


def expected_search(kp, files, blocks, errors):
    """What the searcher gives for the blocks of `files` under `errors`:
    replaced text, counts, matched records and failures."""
    want, failures, counts, matched = b"", [], Counter(), 0
    for f, data in enumerate(files):
        mine = [(data, first) for data, path, first in blocks if path == f"file{f}"]
        first = mine[0][1]
        lines = policed_lines(data, errors)
        bad = [i for i, (text, _, _) in enumerate(lines) if text is None] if errors == "strict" else []
        if bad:  # the file stops before the block holding its first bad line
            kept, seen = 0, 0
            for block, _ in mine:
                if seen + len(block.splitlines()) > bad[0]:
                    break
                seen += len(block.splitlines())
            lines = lines[:seen]
        for text, end, raw in lines:
            found = [] if text is None else kp.extract_keywords(text)
            want += raw if text is None else kp.replace_keywords(text).encode() + end
            counts.update(m.keyword for m in found)
            matched += bool(found)
        if bad:
            failures.append((f, first + bad[0], len(want)))
    return want, counts, matched, failures


def random_blocks(rng, files):
    """The files cut into blocks at random line ends, the later blocks of a
    file going on from the one before."""
    blocks = []
    for f, data in enumerate(files):
        lines = data.splitlines(keepends=True)
        cuts = sorted(rng.sample(range(1, len(lines)), min(max(len(lines) - 1, 0), rng.randint(0, 3))))
        first = rng.randint(1, 9)
        for i, (a, b) in enumerate(zip([0, *cuts], [*cuts, len(lines)])):
            blocks.append((b"".join(lines[a:b]), f"file{f}", first if i == 0 else 0))
    return blocks


def test_errors_policies_agree_with_the_codec():
    # The module's own scan (words="ascii") is the reference for the records read.
    kp = processor()
    for seed in range(300):
        rng = random.Random(seed)
        files = [b"".join(rng.choices(PIECES, k=rng.randint(1, 40))) for _ in range(rng.randint(1, 3))]
        blocks = random_blocks(rng, files)
        errors = rng.choice(["replace", "skip", "strict"])
        out, _, matched, failures, _ = write_records(kp, blocks, None, "replaced", words="ascii", errors=errors)
        counts = write_records(kp, blocks, None, "counts", words="ascii", errors=errors)[1]
        want, want_counts, want_matched, want_failures = expected_search(kp, files, blocks, errors)
        message = f"seed {seed}"
        assert out == want, message
        assert sum(map(Counter, counts), Counter()) == want_counts, message
        assert matched == want_matched, message
        assert [(int(blocks[b][1][4:]), line, offset) for b, line, offset in failures] == want_failures, message


def test_bad_bytes_in_a_later_share_of_work_stop_the_file_whole():
    # The check runs in the workers, one share of a block each: the output of
    # the shares before the bad one must not come back, nor the blocks going on
    # from it; the next file's must, and numbering goes on.
    kp = processor()
    block = b"la\n" * (1 << 20) + b"\xff\n" + b"la\n" * 10
    blocks = [(b"la\n", "a", 1), (block, "a", 0), (b"la\n", "a", 0), (b"x\nla\n", "b", 1)]
    found = write_records(kp, blocks, None, "counts")
    assert found == (b"", [{"la": 1}, {}, {}, {"la": 1}], 2, [(1, (1 << 20) + 2, 0)], 3)
    out, _, _, failures, _ = write_records(kp, blocks, None, "replaced")
    assert (out, failures) == (b"la\nx\nla\n", [(1, (1 << 20) + 2, 3)])


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
        out, _, matched, _, _ = write_records(kp, [(data, PATH, 1)], threshold, "lines", words="ascii")
        assert [json.loads(record) for record in out.splitlines()] == [
            {"path": PATH, "line": number, "matches": [[m.keyword, round(m.similarity, 2), m.start, m.end]
                                                       for m in char_offsets(row, kp.extract_keywords(row, threshold))]}
            for number, row in enumerate(lines, 1) if kp.extract_keywords(row, threshold)]
        counts = write_records(kp, [(data, PATH, 1)], threshold, "counts", words="ascii")[1][0]
        assert counts == Counter(m.keyword for row in lines for m in kp.extract_keywords(row, threshold))
        replaced = write_records(kp, [(data, PATH, 1)], threshold, "replaced", words="ascii")[0]
        assert replaced.decode() == "\n".join(kp.replace_keywords(row, threshold) for row in lines)
        assert matched == sum(bool(kp.extract_keywords(row, threshold)) for row in lines)


def test_count_records_quote_names_as_json_does():
    # A file name that is not UTF-8 (a str with \udcXX escapes from the file
    # system) makes its records all ASCII, as json.dumps then writes them.
    rng = random.Random(5)
    alphabet = [chr(i) for i in range(0x80)] + ["\u2028", "\x85", "é", "😀", "\ufeff", "\ud7ff", "\udcff", "\udc80"]
    for _ in range(2000):
        name = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 10)))
        keyword = rng.choice(["la", "Là \"q\"", "😀\t", "\x7f"])
        counts = {keyword: 3, "b": 3, "a": 9}
        try:
            name.encode()
            ascii = False
        except UnicodeEncodeError:
            ascii = True
        want = b"".join(json.dumps({"path": name, "keyword": k, "count": n}, ensure_ascii=ascii,
                                   separators=(",", ":")).encode() + b"\n"
                        for k, n in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])))
        assert native.count_records([(name, counts)]) == want, repr(name)
    assert native.count_records([(None, {"x": 2**64 - 1})]) == b'{"keyword":"x","count":18446744073709551615}\n'
