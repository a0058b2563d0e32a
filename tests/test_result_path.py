"""Results of long texts (many pieces of matches, shared clean-name strings,
reused match memory) and batches built while the workers scan, against the
literal model and the one-text methods."""

import gc
import pickle
import random
import subprocess
import sys
import textwrap

import pytest

from fernquill import KeywordProcessor, PyKeywordMatch

from helpers import PanicException, build, each_seed, fields, fields_of, skip_on_free_threaded_allocator, skip_under_asan

LETTERS = "abcAB  ,é"


def dense_case(rng):
    """Options, keywords over few letters (so that matches come every few
    bytes) and a long text."""
    options = dict(case_sensitive=rng.random() < 0.5, allow_overlaps=rng.random() < 0.3)
    keywords = [("".join(rng.choice("abc") for _ in range(rng.randint(1, 5))),
                 rng.choice([None, None, "", "clean", "é", "Name"]))
                for _ in range(rng.randint(1, 40))]
    text = "".join(rng.choice(LETTERS) for _ in range(rng.randint(0, 30000)))
    return options, keywords, text


@pytest.mark.slow  # a randomized differential of long texts
@each_seed(range(4))
def test_long_texts_match_the_literal_model(seed):
    rng = random.Random(seed)
    for _ in range(6):
        options, keywords, text = dense_case(rng)
        kp, model = build(options, keywords)
        want = model.extract(text)
        assert fields_of(kp.extract_keywords(text)) == want
        # Twice: the second call runs on the compiled index and reused memory.
        assert fields_of(kp.extract_keywords(text)) == want


def test_matches_of_one_clean_name_share_one_str():
    kp = KeywordProcessor()
    kp.add_keyword("ab", "Name")
    kp.add_keyword("cd", "Name")
    kp.add_keyword("ef")
    text = "ab cd ef " * 3000
    matches = kp.extract_keywords(text)
    assert [m.keyword for m in matches] == ["Name", "Name", "ef"] * 3000
    by_value = {}
    for m in matches:
        assert type(m.keyword) is str
        by_value.setdefault(m.keyword, set()).add(id(m.keyword))
    # One str per stored clean name per call: "Name" is stored twice.
    assert len(by_value["ef"]) == 1
    assert len(by_value["Name"]) == 2
    # Sharing is invisible otherwise: the state is that of a match made anew,
    # and changing one match leaves the others alone.
    first, second = matches[0], matches[3]
    assert first.__getstate__() == PyKeywordMatch("Name", 1.0, 0, 2).__getstate__()
    first.keyword = "Other"
    assert (second.keyword, matches[1].keyword) == ("Name", "Name")
    # The matches outlive changes of the processor and the processor itself.
    kp.remove_keyword("ab")
    del kp
    gc.collect()
    assert fields(second) == ("Name", 1.0, 9, 11)
    restored = pickle.loads(pickle.dumps(second))
    assert fields(restored) == fields(second) and restored is not second


def test_keyword_values_are_kept_as_plain_str():
    class Text(str):
        pass

    m = PyKeywordMatch(Text("név"), 0.5, 0, 1)
    assert type(m.keyword) is str and m.keyword == "név"
    m.keyword = Text("más")
    assert type(m.keyword) is str and m.keyword == "más"
    plain = "plain ü"
    m.keyword = plain
    assert m.keyword is plain
    assert m.__getstate__()[8:8 + len(plain.encode())] == plain.encode()
    assert repr(m) == "KeywordMatch(keyword='plain ü', similarity=0.50, start=0, end=1)"
    with pytest.raises(UnicodeEncodeError):
        m.keyword = "\ud800"
    assert m.keyword is plain


def test_freed_matches_are_reused_without_changing_results():
    kp = KeywordProcessor()
    kp.add_keyword("a")
    text = "a " * 50000
    want = [("a", 1.0, 2 * i, 2 * i + 1) for i in range(50000)]
    for _ in range(3):
        matches = kp.extract_keywords(text)
        assert fields_of(matches) == want
        kept = matches[::7]
        del matches
        assert fields_of(kept) == want[::7]


@each_seed(range(3))
def test_batches_equal_the_one_text_methods(seed):
    rng = random.Random(seed)
    options, keywords, _ = dense_case(rng)
    kp, _ = build(options, keywords)
    texts = []
    for _ in range(rng.randint(2, 400)):
        long_text = rng.random() < 0.05
        texts.append("".join(rng.choice(LETTERS) for _ in range(rng.randint(0, 20000 if long_text else 80))))
    for threshold in (None, 0.8):
        if threshold is not None:
            texts = [t[:200] for t in texts[:60]]
        got = kp.parallel_extract_keywords_from_texts(texts, threshold)
        assert [fields_of(r) for r in got] == [fields_of(kp.extract_keywords(t, threshold)) for t in texts]
        assert kp.parallel_replace_keywords_from_texts(texts, threshold) == [
            kp.replace_keywords(t, threshold) for t in texts]


@pytest.mark.parametrize("method", ["parallel_extract_keywords_from_texts", "parallel_replace_keywords_from_texts"])
def test_a_bad_threshold_fails_the_batch_before_any_result(method):
    kp = KeywordProcessor()
    kp.add_keyword("a")
    call = getattr(kp, method)
    assert call([], 2.0) == []
    for texts in (["a"], ["a"] * 1000):
        with pytest.raises(PanicException, match="Threshold must be between 0 and 1"):
            call(texts, float("nan"))
    # The processor and the pool go on as before.
    got = call(["a", "b a"])
    if method.startswith("parallel_extract"):
        assert [fields_of(r) for r in got] == [[("a", 1.0, 0, 1)], [("a", 1.0, 2, 3)]]
    else:
        assert got == ["a", "b a"]


def run_isolated(body):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    return out.stdout


def test_a_batch_started_while_results_are_built_runs_without_waiting_forever():
    # The results are built while the workers still scan; building makes
    # lists, which may run a collection and its callbacks, which may start a
    # batch of their own on the same thread.
    out = run_isolated("""
        import gc
        from fernquill import KeywordProcessor
        kp = KeywordProcessor()
        kp.add_keyword("tea")
        inner = []
        def callback(phase, info):
            if phase == "start" and len(inner) < 3:
                inner.append(kp.parallel_extract_keywords_from_texts(["tea", "no", "a tea"] * 50))
        gc.callbacks.append(callback)
        gc.set_threshold(50)
        texts = ["tea and tea", "nothing", "tea"] * 3000
        got = kp.parallel_extract_keywords_from_texts(texts)
        gc.callbacks.remove(callback)
        assert [[(m.keyword, m.start, m.end) for m in r] for r in got] == [
            [(m.keyword, m.start, m.end) for m in kp.extract_keywords(t)] for t in texts]
        assert inner, "no collection ran during the batch"
        for r in inner:
            assert [len(x) for x in r] == [1, 0, 1] * 50
        print("ok", len(inner))
    """)
    assert out.startswith("ok")


@pytest.mark.slow  # an interpreter under a memory limit
@skip_on_free_threaded_allocator
@skip_under_asan
def test_running_out_of_memory_while_building_a_batch_leaves_the_pool_usable():
    out = run_isolated("""
        import resource
        from fernquill import KeywordProcessor
        kp = KeywordProcessor()
        kp.add_keyword("a")
        texts = ["a " * 20000] * 64
        want = kp.parallel_extract_keywords_from_texts(texts[:2])
        outcomes = set()
        for mb in (5, 20, 60, 400):
            vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (vm + (mb << 20), resource.RLIM_INFINITY))
            try:
                got = kp.parallel_extract_keywords_from_texts(texts)
                outcomes.add("completed")
            except MemoryError:
                got = None
                outcomes.add("failed")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
            if got is not None:
                assert len(got) == 64 and all(len(r) == 20000 for r in got)
            del got
        again = kp.parallel_extract_keywords_from_texts(texts[:2])
        assert [[(m.start, m.end) for m in r] for r in again] == [[(m.start, m.end) for m in r] for r in want]
        print(sorted(outcomes))
    """)
    assert "failed" in out
