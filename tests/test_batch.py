"""The batch methods: conversion of the list, results in input order equal to
the one-text methods, faults, and the worker pool's size and fork safety."""

import multiprocessing
import os
import random
import subprocess
import sys
import textwrap

import pytest

from fernquill import KeywordProcessor, PyKeywordMatch
from helpers import PanicException, build, each_seed, fields_of, random_case, run

EXTRACT = "parallel_extract_keywords_from_texts"
REPLACE = "parallel_replace_keywords_from_texts"


@pytest.fixture
def tea():
    kp = KeywordProcessor()
    kp.add_keyword("coffee", "tea")
    return kp


@pytest.mark.parametrize("method", [EXTRACT, REPLACE])
@pytest.mark.parametrize("threshold", [None, 5.0])
def test_empty_list(tea, method, threshold):
    assert getattr(tea, method)([], threshold) == []


def test_single_text(tea):
    result = tea.parallel_extract_keywords_from_texts(["I like coffee"])
    assert [fields_of(r) for r in result] == [[("tea", 1.0, 7, 13)]]


def test_small_list(tea):
    texts = ["", "coffee", "no match here"]
    assert [fields_of(r) for r in tea.parallel_extract_keywords_from_texts(texts)] == [[], [("tea", 1.0, 0, 6)], []]
    assert tea.parallel_replace_keywords_from_texts(texts) == ["", "tea", "no match here"]


def test_order_with_one_long_text_first(tea):
    texts = ["coffee " * 150_000] + [f"{i} coffee" if i % 3 else str(i) for i in range(1000)]
    extracted = tea.parallel_extract_keywords_from_texts(texts)
    assert len(extracted) == len(texts)
    assert len(extracted[0]) == 150_000
    for i, matches in enumerate(extracted[1:]):
        expected = [("tea", 1.0, len(str(i)) + 1, len(str(i)) + 7)] if i % 3 else []
        assert fields_of(matches) == expected
    replaced = tea.parallel_replace_keywords_from_texts(texts)
    assert replaced[0] == "tea " * 150_000
    assert replaced[1:] == [t.replace("coffee", "tea") for t in texts[1:]]


@each_seed(range(3))
def test_equal_to_one_text_methods(seed):
    rng = random.Random(seed)
    for _ in range(150):
        texts = []
        options, keywords, _ = random_case(rng)
        kp, _model = build(options, keywords)
        for _ in range(rng.randint(0, 12)):
            texts.append(random_case(rng)[2])
        threshold = rng.choice([None, 0.9, 0.7, 0.5])
        batch = kp.parallel_extract_keywords_from_texts(texts, threshold)
        assert [fields_of(r) for r in batch] == [run(kp, t, threshold) for t in texts]
        assert kp.parallel_replace_keywords_from_texts(texts, threshold) == [kp.replace_keywords(t, threshold) for t in texts]


def test_results_are_new_objects(tea):
    text = "coffee"
    a, b = tea.parallel_extract_keywords_from_texts([text, text])
    assert a is not b and a[0] is not b[0]
    assert isinstance(a[0], PyKeywordMatch)


class GetItemOnly:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class LenRaises(list):
    def __len__(self):
        raise ValueError("no length")


@pytest.mark.parametrize(
    "texts",
    [("a coffee", "coffee"), type("L", (list,), {})(["a coffee", "coffee"]), GetItemOnly(["a coffee", "coffee"]), LenRaises(["a coffee", "coffee"])],
)
def test_accepted_sequences(tea, texts):
    assert tea.parallel_replace_keywords_from_texts(texts) == ["a tea", "tea"]


def len_raising(exc):
    class Sequence(list):
        def __len__(self):
            raise exc()

    return Sequence


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("method", [EXTRACT, REPLACE])
def test_length_hint_passes_non_errors_on(tea, method, exc):
    # Only ordinary errors of the length hint are dropped.
    with pytest.raises(exc):
        getattr(tea, method)(len_raising(exc)(["coffee"]))


@pytest.mark.parametrize(
    "texts, exc, message",
    [
        ("coffee", TypeError, "argument 'texts': Can't extract `str` to `Vec`"),
        ((t for t in ["a"]), TypeError, "argument 'texts': 'generator' object cannot be converted to 'Sequence'"),
        ({"a"}, TypeError, "argument 'texts': 'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, TypeError, "argument 'texts': 'dict' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'texts': 'int' object cannot be converted to 'Sequence'"),
        (b"ab", TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'"),
        (["coffee", 1], TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'"),
    ],
)
@pytest.mark.parametrize("method", [EXTRACT, REPLACE])
def test_refused_inputs(tea, method, texts, exc, message):
    with pytest.raises(exc) as info:
        getattr(tea, method)(texts)
    assert str(info.value) == message


def test_lone_surrogate_error_is_unwrapped(tea):
    with pytest.raises(UnicodeEncodeError):
        tea.parallel_extract_keywords_from_texts(["ok", "\ud800"])


def test_texts_error_reported_before_threshold_error(tea):
    with pytest.raises(TypeError, match="^argument 'texts'"):
        tea.parallel_extract_keywords_from_texts("x", "bad")
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        tea.parallel_extract_keywords_from_texts(["coffee"], "x")


def test_iteration_errors(tea):
    class Raising(list):
        def __iter__(self):
            raise KeyError("boom")

    class RaisingType(list):
        def __iter__(self):
            raise TypeError("bad")

    with pytest.raises(KeyError):
        tea.parallel_extract_keywords_from_texts(Raising())
    with pytest.raises(TypeError, match="^argument 'texts': bad$"):
        tea.parallel_extract_keywords_from_texts(RaisingType())


def test_huge_reported_length(tea):
    class Huge(list):
        def __len__(self):
            return sys.maxsize

    with pytest.raises(PanicException, match="^capacity overflow$"):
        tea.parallel_extract_keywords_from_texts(Huge(["coffee"]))

    class Large(list):
        def __len__(self):
            return 2**40  # possible, but must not reserve that much

    assert tea.parallel_replace_keywords_from_texts(Large(["coffee"])) == ["tea"]


def test_reentrant_iteration(tea):
    class Mutating(list):
        def __iter__(self):
            tea.add_keyword("x")
            return iter([])

    class Reading(list):
        def __iter__(self):
            tea.extract_keywords("coffee")
            return iter(["coffee"])

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        tea.parallel_extract_keywords_from_texts(Mutating())
    assert tea.parallel_replace_keywords_from_texts(Reading()) == ["tea"]


@pytest.mark.parametrize("threshold", [1.5, -0.1, float("nan")])
@pytest.mark.parametrize("method", [EXTRACT, REPLACE])
def test_threshold_fault(tea, method, threshold):
    with pytest.raises(PanicException, match="^Threshold must be between 0 and 1$"):
        getattr(tea, method)(["coffee"], threshold)
    with pytest.raises(PanicException, match="^Threshold must be between 0 and 1$"):
        getattr(tea, method)(["coffee"] * 10_000, threshold)


def test_processor_usable_after_fault(tea):
    with pytest.raises(PanicException):
        tea.parallel_extract_keywords_from_texts(["coffee", "x"], 2.0)
    tea.add_keyword("milk")  # the borrow was released
    assert tea.parallel_replace_keywords_from_texts(["coffee milk", "x"]) == ["tea milk", "x"]


def run_python(code, env_overrides=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_overrides or {})
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


THREAD_DELTA = """
import os, fernquill
before = len(os.listdir("/proc/self/task"))
kp = fernquill.KeywordProcessor()
kp.add_keyword("a")
assert kp.parallel_replace_keywords_from_texts(["a"] * 50) == ["a"] * 50
print(len(os.listdir("/proc/self/task")) - before)
"""


def default_size():
    return int(run_python(THREAD_DELTA))


@pytest.mark.slow  # an interpreter per setting
@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "1000"}, 255),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "default"),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "6"}, 6),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "7"}, 7),
        ({"RAYON_RS_NUM_CPUS": "0"}, "default"),
        ({"RAYON_RS_NUM_CPUS": "x"}, "default"),
    ],
)
def test_pool_size_from_environment(env, expected):
    size = int(run_python(THREAD_DELTA, env))
    assert size == (default_size() if expected == "default" else expected)


def test_pool_size_fixed_at_creation_and_not_created_by_failed_conversion():
    out = run_python(
        """
        import os, fernquill
        count = lambda: len(os.listdir("/proc/self/task"))
        start = count()
        kp = fernquill.KeywordProcessor()
        try:
            kp.parallel_extract_keywords_from_texts(["coffee", 1])
        except TypeError:
            pass
        no_pool = count() - start
        kp.parallel_extract_keywords_from_texts([])
        created = count() - start
        os.environ["RAYON_NUM_THREADS"] = "9"
        kp.parallel_extract_keywords_from_texts(["a", "b"])
        print(no_pool, created, count() - start)
        """,
        {"RAYON_NUM_THREADS": "2"},
    )
    assert out == "0 2 2"


def test_fork_after_pool_started(tea):
    tea.parallel_replace_keywords_from_texts(["coffee", "coffee"])
    pid = os.fork()
    if pid == 0:  # child: must not wait for workers that do not exist here
        try:
            ok = tea.parallel_replace_keywords_from_texts(["coffee"] * 100) == ["tea"] * 100
            os._exit(0 if ok else 1)
        except BaseException:  # noqa: BLE001
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def _child_batch(n):
    kp = KeywordProcessor()
    kp.add_keyword("coffee", "tea")
    return kp.parallel_replace_keywords_from_texts([f"coffee {n}"] * 20)


def test_multiprocessing_fork_pool(tea):
    tea.parallel_extract_keywords_from_texts(["coffee", "x"])
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        results = pool.map_async(_child_batch, range(4)).get(timeout=60)
    assert results == [[f"tea {n}"] * 20 for n in range(4)]
