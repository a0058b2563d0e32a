"""Helpers shared by the test modules."""

import functools
import inspect
import os
import resource
import sysconfig

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import PanicException  # noqa: F401 - shared from here
from model import Model, f32  # noqa: F401 - f32 is shared from here

# Memory checks mean nothing under the address sanitizer, which quarantines freed memory.
skip_under_asan = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="the address sanitizer quarantines freed memory")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# A free-threaded interpreter's allocator (mimalloc) reserves address space up front, so
# an address-space limit set from the current size does not bind there: such checks run
# on GIL builds. Peak-memory checks run on both, with the bound each one holds to.
skip_on_free_threaded_allocator = pytest.mark.skipif(
    FREE_THREADED, reason="the free-threaded allocator reserves address space up front")


def rss_kib():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def fields(m):
    """A match as a (keyword, similarity, start, end) tuple."""
    return (m.keyword, m.similarity, m.start, m.end)


def fields_of(matches):
    return [fields(m) for m in matches]


def run(kp, text, threshold=None):
    return fields_of(kp.extract_keywords(text, threshold))


def processor(*keywords, case_sensitive=False, allow_overlaps=False):
    kp = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    for k in keywords:
        if isinstance(k, tuple):
            kp.add_keyword(*k)
        else:
            kp.add_keyword(k)
    return kp


ALPHABETS = ["ab ", "abc", "aé b", "xy\t", "aAbB İ"]


def random_case(rng):
    alphabet = rng.choice(ALPHABETS)
    options = dict(case_sensitive=rng.random() < 0.5, allow_overlaps=rng.random() < 0.3)
    if rng.random() < 0.3:
        options["word_chars"] = set(map(ord, rng.sample("abcxy \u00c3\u00a9", rng.randint(0, 4))))
    keywords = [("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 4))), rng.choice([None, None, "", "clean", "é"])) for _ in range(rng.randint(1, 6))]
    text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
    return options, keywords, text


def build(options, keywords):
    kp = KeywordProcessor(options["case_sensitive"], options["allow_overlaps"])
    model = Model(**options)
    if "word_chars" in options:
        kp.set_non_word_boundaries([chr(c) for c in options["word_chars"]])
    for k, clean in keywords:
        kp.add_keyword(k, clean)
        model.add_keyword(k, clean)
    return kp, model


def refusals_while_running(kp, thread, keyword, on_refusal=lambda: None):
    """Adds and removes `keyword` on `kp` for as long as `thread` runs, and
    returns the messages of the changes refused meanwhile (calling
    on_refusal() after each)."""
    refused = []
    while thread.is_alive():
        try:
            kp.add_keyword(keyword)
            kp.remove_keyword(keyword)
        except RuntimeError as exc:
            refused.append(str(exc))
            on_refusal()
    return refused


def scans_meeting_changes(kp, scan_once, keyword, most=50):
    """Runs scan_once() over and over on a thread while this one adds and
    removes `keyword` on `kp`, until a change has met the scan's borrow (or
    `most` scans have run, so that a missing borrow fails rather than hangs).
    Returns the scans' results and the messages of the refused changes.

    Repeating the scan keeps the check from depending on how the threads are
    scheduled: without an interpreter lock one scan may end before this
    thread first runs."""
    import threading

    results, met = [], threading.Event()

    def scan():
        while not met.is_set() and len(results) < most:
            results.append(scan_once())

    worker = threading.Thread(target=scan)
    worker.start()
    refused = refusals_while_running(kp, worker, keyword, met.set)
    worker.join()
    kp.remove_keyword(keyword)  # a change may have got in between two scans
    return results, refused


def each_seed(seeds):
    """Runs a randomized test once per seed in one test item, handing each as
    `seed`; a failure carries a note naming its seed (pytest shows it)."""
    seeds = tuple(seeds)

    def decorate(test):
        signature = inspect.signature(test)

        @functools.wraps(test)
        def run(*args, **kwargs):
            for seed in seeds:
                try:
                    test(*args, seed=seed, **kwargs)
                except BaseException as failure:
                    failure.add_note(f"with seed {seed!r}")
                    raise

        # pytest reads the fixtures from the signature: every parameter but the seed.
        run.__signature__ = signature.replace(parameters=[p for p in signature.parameters.values()
                                                         if p.name != "seed"])
        return run
    return decorate
