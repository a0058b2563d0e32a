"""Calls from several Python threads at once.

With the GIL a call holds the lock for its whole length; without it (a
free-threaded interpreter) a call holds its processor borrowed for its whole
length. Either way scans of one processor may overlap, a change meets a borrow
held by another thread with the usual error, and nothing is lost or corrupted:
every result equals what a single thread replaying the same calls gets.
"""

from __future__ import annotations

import os
import pickle
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from fernquill import KeywordProcessor, PyKeywordMatch
from helpers import fields_of

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"
THREADS = 8
STRESS_SECONDS = float(os.environ.get("FERNQUILL_STRESS_SECONDS", "4"))

WORDS = ["tea", "green tea", "milk", "oolong", "café au lait", "İstanbul", "chai", "matcha",
         "earl grey", "sugar", "honey", "lemon", "mint", "ginger"]
TOGGLED = ["biscuit", "scone", "jam", "cream"]  # added and removed while others read


def random_text(rng: random.Random, words: int) -> str:
    vocabulary = WORDS + TOGGLED + ["the", "a", "with", "and", "of", "cup", "pot", "x" * 30]
    return " ".join(rng.choice(vocabulary) for _ in range(words)) + rng.choice(["", ".", " tea"])


def filled(keywords, **options) -> KeywordProcessor:
    kp = KeywordProcessor(**options)
    for i, word in enumerate(keywords):
        kp.add_keyword(word, None if i % 3 else word.upper())
    return kp


def borrow_error(exc: BaseException) -> bool:
    return type(exc) is RuntimeError and str(exc) in (BORROWED, MUTABLY_BORROWED)


# ---- the interpreter lock --------------------------------------------------


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    # -W error turns the interpreter's "GIL has been enabled" warning into a failure.
    code = ("import sys, fernquill, fernquill_tools, fernquill_tools.cli; "
            "assert not sys._is_gil_enabled(), 'the GIL was enabled'")
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr


# ---- borrows held by another thread ----------------------------------------


class BlockingTexts:
    """A sequence whose iteration waits on `release`, so that the call
    converting it holds its borrow for as long as the test needs."""

    def __init__(self, items):
        self.items = items
        self.entered = threading.Event()
        self.release = threading.Event()

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.entered.set()
        assert self.release.wait(30)
        return iter(self.items)


def run_in_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            outcome["error"] = exc

    thread = threading.Thread(target=body)
    thread.start()
    return thread, outcome


@pytest.mark.parametrize("holder", ["parallel_extract_keywords_from_texts",
                                    "parallel_replace_keywords_from_texts"])
def test_shared_borrow_held_by_another_thread(holder):
    kp = filled(WORDS)
    texts = BlockingTexts(["green tea with milk", "chai"])
    thread, outcome = run_in_thread(lambda: getattr(kp, holder)(texts))
    assert texts.entered.wait(30)
    try:
        # Reads go on beside the held shared borrow; changes are refused.
        assert fields_of(kp.extract_keywords("milk tea")) == [("milk", 1.0, 0, 4),
                                                              ("TEA", 1.0, 5, 8)]
        assert pickle.loads(pickle.dumps(kp)).get_all_keywords() == kp.get_all_keywords()
        for change in (lambda: kp.add_keyword("scone"), lambda: kp.remove_keyword("tea"),
                       lambda: kp.add_non_word_boundary("-"),
                       lambda: kp.__setstate__(kp.__getstate__())):
            with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
                change()
    finally:
        texts.release.set()
        thread.join(30)
    assert "error" not in outcome
    assert len(outcome["result"]) == 2
    # Nothing changed and the borrow is gone.
    assert kp.get_all_keywords() == filled(WORDS).get_all_keywords()
    assert kp.remove_keyword("tea") is True


def test_exclusive_borrow_held_by_another_thread():
    kp = filled(WORDS)
    boundaries = BlockingTexts(["-", "_"])
    thread, outcome = run_in_thread(lambda: kp.set_non_word_boundaries(boundaries))
    assert boundaries.entered.wait(30)
    try:
        for read in (lambda: kp.extract_keywords("tea"), lambda: kp.replace_keywords("tea"),
                     lambda: kp.parallel_extract_keywords_from_texts(["tea", "milk"]),
                     kp.__getstate__, kp.get_all_keywords, lambda: len(kp)):
            with pytest.raises(RuntimeError, match=f"^{MUTABLY_BORROWED}$"):
                read()
        with pytest.raises(RuntimeError, match=f"^{BORROWED}$"):
            kp.add_keyword("scone")
    finally:
        boundaries.release.set()
        thread.join(30)
    assert outcome == {"result": None}
    assert fields_of(kp.extract_keywords("tea-milk tea_")) == []  # both are word characters now
    assert len(kp) == len(WORDS)


# ---- stress: many threads, checked against a single-threaded replay ----------


THRESHOLDS = [None, None, None, 0.8]


def read_call(rng: random.Random, texts):
    """A random reading call: (name, arguments)."""
    kind = rng.choice(["extract", "extract", "replace", "batch_extract", "batch_replace",
                       "pickle", "len"])
    threshold = rng.choice(THRESHOLDS)
    if kind in ("batch_extract", "batch_replace"):
        return kind, (tuple(rng.sample(texts, rng.randint(0, 4))), threshold)
    return kind, (rng.choice(texts), threshold)


def perform_read(kp: KeywordProcessor, kind: str, args):
    """Runs a reading call and returns its result in comparable form."""
    text, threshold = args
    if kind == "extract":
        return fields_of(kp.extract_keywords(text, threshold))
    if kind == "replace":
        return kp.replace_keywords(text, threshold)
    if kind == "batch_extract":
        return [fields_of(r) for r in kp.parallel_extract_keywords_from_texts(list(text), threshold)]
    if kind == "batch_replace":
        return kp.parallel_replace_keywords_from_texts(list(text), threshold)
    if kind == "pickle":
        copy = pickle.loads(pickle.dumps(kp))
        return copy.get_all_keywords(), fields_of(copy.extract_keywords(text, threshold))
    assert kind == "len"
    return len(kp)


def perform_change(kp: KeywordProcessor, kind: str, args):
    if kind == "add":
        return kp.add_keyword(*args)
    if kind == "remove":
        return kp.remove_keyword(*args)
    assert kind == "setstate"
    return kp.__setstate__(args[0])


def own_call(rng: random.Random, texts, snapshots):
    """A call on a thread's own processor: a change or a read."""
    roll = rng.random()
    if roll < 0.2:
        word = rng.choice(WORDS + TOGGLED)
        return "add", (word, rng.choice([None, word.title()]))
    if roll < 0.35:
        return "remove", (rng.choice(WORDS + TOGGLED),)
    if roll < 0.4 and snapshots:
        return "setstate", (rng.choice(snapshots),)
    return read_call(rng, texts)


class Worker:
    """One of the stress threads and its log of calls and results."""

    def __init__(self, index: int, shared: KeywordProcessor, toggled: KeywordProcessor,
                 match: PyKeywordMatch, texts, deadline: float, start: threading.Barrier):
        self.rng = random.Random(index)
        self.index = index
        self.shared, self.toggled, self.match = shared, toggled, match
        self.texts, self.deadline, self.start = texts, deadline, start
        self.own = filled(WORDS[index % 4::2])
        self.own_log: list = []  # (kind, args, result or exception text)
        self.shared_log: list = []  # (kind, args, result)
        self.toggled_log: list = []  # (kind, args, result), reads only
        self.toggled_states: list = []  # the writer's successful changes, in order
        self.match_reads: list = []
        self.failures: list = []

    def run(self):
        try:
            self.start.wait(30)
            writer = self.index == 0
            while time.monotonic() < self.deadline:
                self.step(writer)
        except BaseException as exc:  # noqa: BLE001 - reported by the test
            self.failures.append(repr(exc))

    def step(self, writer: bool):
        rng = self.rng
        target = rng.randrange(4)
        if target == 0:
            kind, args = own_call(rng, self.texts, [entry[2] for entry in self.own_log
                                                    if entry[0] == "getstate"])
            if kind in ("add", "remove", "setstate"):
                self.own_log.append((kind, args, perform_change(self.own, kind, args)))
            else:
                self.own_log.append((kind, args, perform_read(self.own, kind, args)))
            if rng.random() < 0.05:
                self.own_log.append(("getstate", (), self.own.__getstate__()))
        elif target == 1:
            kind, args = read_call(rng, self.texts)
            self.shared_log.append((kind, args, perform_read(self.shared, kind, args)))
        elif target == 2 and writer:
            self.change_toggled(rng)
        elif target == 2:
            kind, args = read_call(rng, self.texts)
            try:
                self.toggled_log.append((kind, args, perform_read(self.toggled, kind, args)))
            except RuntimeError as exc:
                if not borrow_error(exc):
                    raise
        else:
            self.use_match(rng, writer)

    def change_toggled(self, rng: random.Random):
        word = rng.choice(TOGGLED)
        try:
            if rng.random() < 0.5:
                self.toggled.add_keyword(word)
                self.toggled_states.append(("add", word))
            else:
                self.toggled.remove_keyword(word)
                self.toggled_states.append(("remove", word))
        except RuntimeError as exc:
            if not borrow_error(exc):
                raise

    def use_match(self, rng: random.Random, writer: bool):
        try:
            if writer:
                self.match.keyword = rng.choice(WORDS)
            else:
                self.match_reads.append((self.match.keyword, self.match.__getnewargs__()))
        except RuntimeError as exc:
            if not borrow_error(exc):
                raise


def replay_own(worker: Worker):
    """The same calls on a fresh processor in one thread give the same results."""
    kp = filled(WORDS[worker.index % 4::2])
    for kind, args, result in worker.own_log:
        if kind == "getstate":
            assert kp.__getstate__() == result
        elif kind in ("add", "remove", "setstate"):
            assert perform_change(kp, kind, args) == result, (kind, args)
        else:
            assert perform_read(kp, kind, args) == result, (kind, args)
    assert kp.get_all_keywords() == worker.own.get_all_keywords()


def toggled_versions(writer: Worker):
    """The keyword sets the toggled processor went through, in order."""
    present: set[str] = set()
    versions = [frozenset(present)]
    for kind, word in writer.toggled_states:
        (present.add if kind == "add" else present.discard)(word)
        if versions[-1] != present:
            versions.append(frozenset(present))
    return versions


def check_toggled_reads(worker: Worker, versions, base: KeywordProcessor):
    """Each read saw one version, and a later read never an earlier version."""
    processors: dict = {}
    results: dict = {}

    def result_at(version, kind, args):
        if version not in processors:
            processors[version] = pickle.loads(pickle.dumps(base))
            for word in sorted(version):
                processors[version].add_keyword(word)
        key = (version, kind, args)
        if key not in results:
            results[key] = perform_read(processors[version], kind, args)
        return results[key]

    position = 0
    for kind, args, result in worker.toggled_log:
        while result_at(versions[position], kind, args) != result:
            position += 1
            assert position < len(versions), f"no version of the processor gives {kind}{args}"


@pytest.mark.slow  # a randomized stress run of many threads
def test_stress_against_single_threaded_replay():
    rng = random.Random(7)
    texts = [random_text(rng, n) for n in (0, 3, 40, 400, 2000)]
    shared = filled(WORDS)
    toggled = filled(WORDS, case_sensitive=True)
    base = pickle.loads(pickle.dumps(toggled))
    match = PyKeywordMatch("tea", 1.0, 0, 3)
    start = threading.Barrier(THREADS)
    deadline = time.monotonic() + STRESS_SECONDS
    workers = [Worker(i, shared, toggled, match, texts, deadline, start) for i in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(STRESS_SECONDS + 120)
    assert not any(t.is_alive() for t in threads)
    assert [w.failures for w in workers] == [[]] * THREADS

    # The shared processor was only read: every result is the one-thread result.
    for w in workers:
        for kind, args, result in w.shared_log:
            assert perform_read(shared, kind, args) == result, (kind, args)
        replay_own(w)
    versions = toggled_versions(workers[0])
    for w in workers[1:]:
        check_toggled_reads(w, versions, base)
    final = {word for word in TOGGLED if word in toggled.get_all_keywords()}
    assert frozenset(final) == versions[-1]
    # Reads of the shared match saw whole values, never a torn one.
    for w in workers[1:]:
        for keyword, newargs in w.match_reads:
            assert keyword in WORDS
            assert newargs[0] in WORDS and newargs[1:] == (1.0, 0, 3)
    # The work was spread: every thread made calls on every kind of target.
    assert all(w.own_log and w.shared_log for w in workers)
    assert workers[0].toggled_states and any(w.toggled_log for w in workers[1:])
