#!/usr/bin/env python3
"""Pickling a processor of 100,000 keywords: pickle.dumps / pickle.loads time and size,
against building the same processor with add_keyword, and against pickling an
equivalent pyahocorasick automaton (and, for scale, a plain dict of the keywords).

A processor compiles its scan structures on the first scan after a change, so both
the built and the unpickled processor are also timed through their first extraction
of a short text ("+ first scan").

Run: PYTHONPATH=build-bench python3 bench/bench_pickle.py [--quick]
"""

import pickle
import sys

import _common as C
import prepare_data

PROTOCOL = pickle.HIGHEST_PROTOCOL
PROBE = "The Linux kernel documentation tree, with the standard hardware mechanism."


def main():
    args = C.common_args(__doc__.split("\n")[0])
    fernquill = C.import_fernquill()
    ahocorasick = C.optional_import("ahocorasick", "pyahocorasick")
    n = 100_000
    runs = 2 if args.quick else 5
    keywords = prepare_data.load_keywords(n)
    sample = prepare_data.read_text(prepare_data.CORPUS)[:200_000]

    def build():
        kp = fernquill.KeywordProcessor()
        for k, c in keywords:
            kp.add_keyword(k, c)
        return kp

    t_build, kp = C.best_time(build, runs)
    t_build_scan, _ = C.best_time(lambda: build().extract_keywords(PROBE), runs)
    t_dump, blob = C.best_time(lambda: pickle.dumps(kp, PROTOCOL), runs)
    t_load, kp2 = C.best_time(lambda: pickle.loads(blob), runs)
    t_load_scan, _ = C.best_time(lambda: pickle.loads(blob).extract_keywords(PROBE), runs)
    assert len(kp2) == len(kp) == n
    assert C.fq_spans(kp2.extract_keywords(sample)) == C.fq_spans(kp.extract_keywords(sample))
    rows = [
        ["fernquill add_keyword x 100,000", f"{t_build * 1e3:.0f}", "", "1.00x"],
        ["  + first scan", f"{t_build_scan * 1e3:.0f}", "", ""],
        ["fernquill pickle.dumps", f"{t_dump * 1e3:.0f}", f"{len(blob) / 1e6:.2f}",
         f"{t_dump / t_build:.2f}x"],
        ["fernquill pickle.loads", f"{t_load * 1e3:.0f}", "",
         f"{t_load / t_build:.2f}x"],
        ["  + first scan", f"{t_load_scan * 1e3:.0f}", "",
         f"{t_load_scan / t_build_scan:.2f}x of built + first scan"],
    ]
    del kp2
    if ahocorasick:
        t_abuild, a = C.best_time(lambda: C.pyac_build(ahocorasick, keywords), runs)
        t_adump, ablob = C.best_time(lambda: pickle.dumps(a, PROTOCOL), runs)
        t_aload, a2 = C.best_time(lambda: pickle.loads(ablob), runs)
        assert C.pyac_extract(a2, sample) == C.pyac_extract(a, sample)
        rows += [
            ["pyahocorasick build (add_word, make_automaton)", f"{t_abuild * 1e3:.0f}", "",
             f"{t_abuild / t_build:.2f}x"],
            ["pyahocorasick pickle.dumps", f"{t_adump * 1e3:.0f}", f"{len(ablob) / 1e6:.2f}",
             f"{t_adump / t_build:.2f}x"],
            ["pyahocorasick pickle.loads", f"{t_aload * 1e3:.0f}", "",
             f"{t_aload / t_build:.2f}x"],
        ]
        summary = (f"\nfernquill against pyahocorasick: dumps {t_adump / t_dump:.2f}x faster, "
                   f"loads {t_aload / t_load:.2f}x faster, state {len(ablob) / len(blob):.2f}x "
                   f"smaller ({len(blob) / n:.1f} bytes per keyword).")
        del a, a2, ablob
    d = dict(keywords)
    t_ddump, dblob = C.best_time(lambda: pickle.dumps(d, PROTOCOL), runs)
    t_dload, _ = C.best_time(lambda: pickle.loads(dblob), runs)
    rows += [
        ["dict {keyword: clean name} pickle.dumps", f"{t_ddump * 1e3:.0f}",
         f"{len(dblob) / 1e6:.2f}", f"{t_ddump / t_build:.2f}x"],
        ["dict pickle.loads", f"{t_dload * 1e3:.0f}", "", f"{t_dload / t_build:.2f}x"],
    ]
    C.print_table(["operation", "ms", "MB", "time vs add_keyword build"], rows,
                  title=f"== {n:,} keywords, pickle protocol {PROTOCOL}, min of {runs} runs ==")
    if ahocorasick:
        print(summary)


if __name__ == "__main__":
    sys.exit(main())
