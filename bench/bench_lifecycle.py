#!/usr/bin/env python3
"""The compiled index's lifecycle at 100k keywords: what a change costs the scans after it,
and what each structure takes in memory, beside a pyahocorasick automaton of the same
keywords, in one run.

1. No-op changes (re-adding a stored keyword with its own clean name, adding a word
   character that already is one), each followed by a short scan, against the short
   scans alone.
2. Real changes (adding a new keyword, then removing it) alternating with short scans,
   against the short scans alone: the factor between the two.
3. Memory, as growth of the resident set (after malloc_trim): the store after the adds,
   the exact scan index after a first long scan (of blanks, which leaves no results
   behind), the approximate search's structures
   after a first approximate scan; pyahocorasick's automaton with its own size report.

Run: PYTHONPATH=build-bench python3 bench/bench_lifecycle.py [--quick] [--keywords N]
Point PYTHONPATH at an older build to get its figures from the same script.
"""

import ctypes
import gc
import time

import _common as C
import prepare_data

PAGE = 4096


def rss_bytes():
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def per_call_us(fn, calls, budget):
    """Mean microseconds per call of fn(i) over up to `calls` calls or `budget` seconds."""
    gc.disable()
    try:
        t0 = time.perf_counter()
        done = 0
        while done < calls:
            fn(done)
            done += 1
            if done % 16 == 0 and time.perf_counter() - t0 > budget:
                break
        return (time.perf_counter() - t0) / done * 1e6, done
    finally:
        gc.enable()


def main():
    args = C.common_args(
        __doc__.split("\n")[0],
        lambda ap: ap.add_argument("--keywords", type=int, default=100000, choices=(1000, 10000, 100000)))
    fernquill = C.import_fernquill()
    ahocorasick = C.optional_import("ahocorasick", "pyahocorasick automaton memory")
    keywords = prepare_data.load_keywords(args.keywords)
    shorts = prepare_data.load_short_texts()[:1000]
    calls = 2000 if args.quick else 20000
    budget = 2.0 if args.quick else 6.0

    base = rss_bytes()
    kp = fernquill.KeywordProcessor()
    for k, c in keywords:
        kp.add_keyword(k, c)
    store = rss_bytes() - base
    # A text longer than the store walk's budget compiles the exact index at once; blanks,
    # so that the scan leaves no results behind to count.
    kp.extract_keywords(" " * (C.WARM_UP_BYTES_PER_KEYWORD_BYTE * (1 + sum(C.utf8_len(k) for k, _ in keywords))))
    exact = rss_bytes() - base - store
    kp.extract_keywords("warm up", 0.9)
    approx = rss_bytes() - base - store - exact

    def scan(i):
        kp.extract_keywords(shorts[i % len(shorts)])

    stored_k, stored_c = keywords[len(keywords) // 2]

    def noop_add(i):
        kp.add_keyword(stored_k, stored_c)
        scan(i)

    def noop_word_char(i):
        kp.add_non_word_boundary("a")
        scan(i)

    def real_change(i):
        # Alternately add a new keyword and remove it again: every call changes the store.
        if i % 2 == 0:
            kp.add_keyword(f"zz lifecycle {i}", "x")
        else:
            kp.remove_keyword(f"zz lifecycle {i - 1}")
        scan(i)

    alone, n_alone = per_call_us(scan, calls, budget)
    rows = [["short scans alone", f"{alone:.2f}", n_alone, "", ""]]
    for name, fn in [("no-op add_keyword + scan", noop_add),
                     ("no-op add_non_word_boundary + scan", noop_word_char),
                     ("real change + scan", real_change)]:
        us, n = per_call_us(fn, calls, budget)
        rows.append([name, f"{us:.2f}", n, f"{(us - alone) / 1000:.3f}", C.fmt_ratio(us / alone)])
    C.print_table(["loop", "us/iteration", "iterations", "ms over scans alone", "factor"], rows,
                  f"{len(keywords)} keywords, short texts of {sum(map(len, shorts)) // len(shorts)} "
                  "characters on average")

    mem_rows = [["fernquill store", f"{store / 2**20:.1f}", ""],
                ["fernquill exact scan index", f"{exact / 2**20:.1f}", ""],
                ["fernquill store + exact index", f"{(store + exact) / 2**20:.1f}", ""],
                ["fernquill approximate structures", f"{approx / 2**20:.1f}", ""]]
    if ahocorasick is not None:
        before = rss_bytes()
        automaton = C.pyac_build(ahocorasick, keywords)
        grown = rss_bytes() - before
        reported = automaton.get_stats()["total_size"]
        mem_rows.append(["pyahocorasick automaton", f"{grown / 2**20:.1f}",
                         f"{reported / 2**20:.1f}"])
        mem_rows.append(["ratio store + exact / pyahocorasick", C.fmt_ratio((store + exact) / grown), ""])
    C.print_table(["structure", "MiB (resident growth)", "MiB (own report)"], mem_rows,
                  f"memory at {len(keywords)} keywords")


if __name__ == "__main__":
    main()
