#!/usr/bin/env python3
"""Column calls against Polars' own string functions at 10k keywords, on 1M rows of 20
bytes, 1M rows of 80 bytes (cut from the corpus at spaces) and the corpus lines.

  count    columns.count(kp, column)   vs  Polars str.contains_any (a bool per row, which
           stops at a row's first match; columns.count counts every word-bounded match)
  extract  columns.extract(kp, column) vs  Polars str.extract_many
  replace  columns.replace(kp, column) vs  Polars str.replace_many

Polars folds ASCII case (ascii_case_insensitive=True) and knows no word boundaries.
The two contenders of a task take turns, round after round; each figure is the median
of its rounds, wall and CPU (the process's, all threads) alike, and only ratios from
this one run count. The load average is printed before and after.

Run: python3 bench/bench_columns_vs_polars.py [--rounds 5] [--rows 1000000]
"""

import argparse
import os
import statistics
import time

import _common as C
import prepare_data

KEYWORDS = 10_000


def cut_rows(text, width, count):
    """`count` rows of about `width` bytes, cut from the corpus at spaces."""
    words, rows, row, size = text.split(), [], [], 0
    for word in words * (1 + width * count // max(1, len(text))):
        row.append(word)
        size += len(word) + 1
        if size >= width:
            rows.append(" ".join(row)[:width])
            if len(rows) == count:
                return rows
            row, size = [], 0
    return rows


def run_rounds(contenders, rounds):
    """{name: ([wall], [cpu])}: each round runs every contender once, in turn."""
    times = {name: ([], []) for name, _ in contenders}
    for _ in range(rounds):
        for name, fn in contenders:
            w0, c0 = time.perf_counter(), time.process_time()
            fn()
            times[name][0].append(time.perf_counter() - w0)
            times[name][1].append(time.process_time() - c0)
    return times


def tasks(kp, columns, pa, series, column, patterns, names):
    return {
        "count": [("columns.count", lambda: columns.count(kp, column)),
                  ("polars contains_any",
                   lambda: series.str.contains_any(patterns, ascii_case_insensitive=True))],
        "extract": [("columns.extract", lambda: pa.chunked_array(columns.extract(kp, column))),
                    ("polars extract_many",
                     lambda: series.str.extract_many(patterns, ascii_case_insensitive=True))],
        "replace": [("columns.replace", lambda: pa.chunked_array(columns.replace(kp, column))),
                    ("polars replace_many",
                     lambda: series.str.replace_many(patterns, names,
                                                     ascii_case_insensitive=True))],
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--rows", type=int, default=1_000_000)
    args = ap.parse_args()
    fernquill = C.import_fernquill()
    from fernquill_tools import columns
    import polars as pl
    import pyarrow as pa

    prepare_data.ensure_data()
    corpus = prepare_data.read_text(prepare_data.CORPUS)
    keywords = prepare_data.load_keywords(KEYWORDS)
    kp = C.fq_build(fernquill, keywords)
    patterns, names = [k for k, _ in keywords], [c for _, c in keywords]
    inputs = {"20-byte rows": cut_rows(corpus, 20, args.rows),
              "80-byte rows": cut_rows(corpus, 80, args.rows),
              "corpus lines": corpus.split("\n")}
    print(f"load before: {os.getloadavg()}")
    table = []
    for label, rows in inputs.items():
        column, series = pa.array(rows), pl.Series(rows)
        for task, contenders in tasks(kp, columns, pa, series, column, patterns, names).items():
            times = run_rounds(contenders, args.rounds)
            (ours, _), (theirs, _) = contenders
            wall = {n: statistics.median(t[0]) for n, t in times.items()}
            cpu = {n: statistics.median(t[1]) for n, t in times.items()}
            table.append([label, task, f"{wall[ours] * 1e3:.0f}", f"{wall[theirs] * 1e3:.0f}",
                          f"{wall[theirs] / wall[ours]:.2f}x", f"{cpu[ours] * 1e3:.0f}",
                          f"{cpu[theirs] * 1e3:.0f}", f"{cpu[theirs] / cpu[ours]:.2f}x"])
    C.print_table(["input", "task", "ours wall ms", "polars wall ms", "wall ratio",
                   "ours cpu ms", "polars cpu ms", "cpu ratio"], table,
                  title=f"columns vs Polars, {KEYWORDS:,} keywords, medians of {args.rounds}")
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
