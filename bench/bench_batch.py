#!/usr/bin/env python3
"""Batch methods: parallel_extract_keywords_from_texts and
parallel_replace_keywords_from_texts against a Python loop over the one-text methods
and against peers looping over the same texts, with 10,000 keywords, on 100,000 short
texts (sentences) and on 1,000 long texts (about 10 KB each).

Also: the fixed cost of a batch call (0 texts, 1 text against the plain call), and the
share of a batch call spent building Python objects, estimated two ways:
  objects x cost  the number of match objects times the cost of one object, measured
                  here as in bench_objects (one-byte keyword matches minus the same
                  scan without matches)
  no-match twin   the same batch with a processor whose keywords are the real ones
                  with a byte appended that the texts never hold ("\x01"): the scan
                  walks the same trie paths but finds nothing; it also walks the word
                  starts inside would-be matches, so the difference is a rough figure

The worker pool has as many threads as the machine has cores unless RAYON_NUM_THREADS
says otherwise; this machine has os.cpu_count() cores and the speed-up of the parallel
phase cannot exceed that.

Run: PYTHONPATH=build-bench python3 bench/bench_batch.py [--quick]
"""

import gc
import os
import sys
import time

import _common as C
import prepare_data

KEYWORDS = 10000


def per_call(fn, calls, runs=5):
    """min over runs of the mean seconds of one fn() call, in a loop of `calls`."""
    best = None
    for _ in range(runs):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        t = (time.perf_counter() - t0) / calls
        best = t if best is None else min(best, t)
    return best


def cores_used(fn):
    """CPU time of the process / wall time of one fn() call: how many cores it kept busy."""
    gc.collect()
    gc.disable()
    try:
        w0, c0 = time.perf_counter(), time.process_time()
        fn()
        return (time.process_time() - c0) / (time.perf_counter() - w0)
    finally:
        gc.enable()


def main():
    args = C.common_args(__doc__.split("\n")[0])
    fernquill = C.import_fernquill()
    ahocorasick = C.optional_import("ahocorasick", "pyahocorasick")
    ahocorasick_rs = C.optional_import("ahocorasick_rs", "ahocorasick_rs")
    hyperscan = C.optional_import("hyperscan", "hyperscan")

    keywords = prepare_data.load_keywords(KEYWORDS)
    kp = C.fq_build(fernquill, keywords)
    nomatch = C.fq_build(fernquill, C.no_match_twin(keywords))
    peers = []
    if ahocorasick:
        a = C.pyac_build(ahocorasick, keywords)
        peers.append(("pyahocorasick loop", lambda t: C.pyac_extract(a, t)))
    if ahocorasick_rs:
        rs = C.RsMatcher(ahocorasick_rs, keywords)
        peers.append(("ahocorasick_rs loop", rs.extract))
    rx = C.ReMatcher(keywords)
    peers.append(("re loop", rx.extract))
    resub = C.ReSub(keywords)
    if hyperscan:
        hs = C.HsMatcher(hyperscan, keywords)
        peers.append(("hyperscan loop", hs.extract))

    repeat = 1 if args.quick else 3
    budget = 3.0 if args.quick else 6.0
    scale = 5 if args.quick else 1
    short = prepare_data.load_short_texts()[:100_000 // scale]
    long_ = prepare_data.load_long_texts()[:1_000 // scale]
    per_obj_ns, _, _ = C.cost_per_match_object(fernquill, repeat=3)
    print(f"{KEYWORDS} keywords; worker pool: {os.environ.get('RAYON_NUM_THREADS', 'default')}"
          f" threads on {os.cpu_count()} cores; min of up to {repeat} runs")

    verdicts = []
    for label, texts in ((f"{len(short):,} short texts", short),
                         (f"{len(long_):,} long texts", long_)):
        nbytes = sum(C.utf8_len(t) for t in texts)
        t_batch, res_b = C.best_time(lambda: kp.parallel_extract_keywords_from_texts(texts),
                                     repeat, budget)
        t_loop, res_l = C.best_time(lambda: [kp.extract_keywords(t) for t in texts],
                                    repeat, budget)
        matches = sum(len(r) for r in res_b)
        assert [C.fq_spans(r) for r in res_b] == [C.fq_spans(r) for r in res_l], \
            "batch and loop disagree"
        del res_b, res_l
        t_nm, res_nm = C.best_time(lambda: nomatch.parallel_extract_keywords_from_texts(texts),
                                   repeat, budget)
        assert not any(res_nm)
        del res_nm
        rows = [["fernquill batch", f"{t_batch * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_batch):.1f}",
                 "1.00x", matches],
                ["fernquill loop", f"{t_loop * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_loop):.1f}",
                 C.fmt_ratio(t_loop / t_batch), matches]]
        for name, fn in peers:
            t, res = C.best_time(lambda: [fn(t) for t in texts], repeat, budget)
            rows.append([name, f"{t * 1e3:.0f}", f"{C.mb_per_s(nbytes, t):.1f}",
                         C.fmt_ratio(t / t_batch), sum(len(r) for r in res)])
            del res
        C.print_table(["extract", "ms", "MB/s", "batch speed-up", "matches"], rows,
                      title=f"== extract: {label}, {nbytes / 1e6:.1f} MB ==")
        share_obj = matches * per_obj_ns * 1e-9 / t_batch
        share_nm = (t_batch - t_nm) / t_batch
        print(f"objects in the batch call: {matches} x {per_obj_ns:.0f} ns = "
              f"{share_obj * 100:.0f}% of it; no-match twin: {t_nm * 1e3:.0f} ms, "
              f"{share_nm * 100:.0f}% less (rough)")
        busy = cores_used(lambda: kp.parallel_extract_keywords_from_texts(texts))
        print(f"the batch kept {busy:.2f} cores busy on average (process CPU time / wall time)")
        verdicts.append((label, "extract", t_loop / t_batch))

        t_rb, out_b = C.best_time(lambda: kp.parallel_replace_keywords_from_texts(texts),
                                  repeat, budget)
        t_rl, out_l = C.best_time(lambda: [kp.replace_keywords(t) for t in texts],
                                  repeat, budget)
        assert out_b == out_l, "batch and loop replacements disagree"
        del out_l
        rows = [["fernquill batch", f"{t_rb * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_rb):.1f}",
                 "1.00x", ""],
                ["fernquill loop", f"{t_rl * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_rl):.1f}",
                 C.fmt_ratio(t_rl / t_rb), "same"]]
        rep_peers = [("re.sub loop", resub.replace)]
        if ahocorasick:
            rep_peers.append(("pyahocorasick loop",
                              lambda t: C.join_spans(t, C.pyac_extract(a, t))))
        if ahocorasick_rs:
            rep_peers.append(("ahocorasick_rs loop", lambda t: C.join_spans(t, rs.extract(t))))
        for name, fn in rep_peers:
            t, out = C.best_time(lambda: [fn(t) for t in texts], repeat, budget)
            same = sum(1 for x, y in zip(out, out_b) if x == y)
            rows.append([name, f"{t * 1e3:.0f}", f"{C.mb_per_s(nbytes, t):.1f}",
                         C.fmt_ratio(t / t_rb), f"{same}/{len(texts)} texts same"])
            del out
        del out_b
        C.print_table(["replace", "ms", "MB/s", "batch speed-up", "output vs batch"], rows,
                      title=f"== replace: {label} ==")
        verdicts.append((label, "replace", t_rl / t_rb))

    # Fixed cost of the batch call itself.
    one = short[0]
    calls = 2000 if args.quick else 20000
    t_plain = per_call(lambda: kp.extract_keywords(one), calls)
    t_b0 = per_call(lambda: kp.parallel_extract_keywords_from_texts([]), calls)
    t_b1 = per_call(lambda: kp.parallel_extract_keywords_from_texts([one]), calls)
    t_rplain = per_call(lambda: kp.replace_keywords(one), calls)
    t_rb0 = per_call(lambda: kp.parallel_replace_keywords_from_texts([]), calls)
    t_rb1 = per_call(lambda: kp.parallel_replace_keywords_from_texts([one]), calls)
    us = lambda t: f"{t * 1e6:.2f}"  # noqa: E731
    C.print_table(["call", "extract us", "replace us"], [
        ["plain call, 1 text", us(t_plain), us(t_rplain)],
        ["batch of 0 texts", us(t_b0), us(t_rb0)],
        ["batch of 1 text", us(t_b1), us(t_rb1)],
        ["batch of 1 - plain", us(t_b1 - t_plain), us(t_rb1 - t_rplain)],
    ], title=f"== fixed cost per call ({len(one)}-character sentence, mean of {calls}) ==")

    print("\nTargets: batch >= 1.7x the loop for long texts, faster than the loop for short:")
    for label, op, ratio in verdicts:
        target = 1.7 if "long" in label else 1.0
        ok = ratio >= target if "long" in label else ratio > target
        print(f"  {'met    ' if ok else 'NOT met'}  {op} {label}: {ratio:.2f}x the loop "
              f"(target {'>=' if 'long' in label else '>'} {target}x)")


if __name__ == "__main__":
    sys.exit(main())
