#!/usr/bin/env python3
"""The four data tasks on 1M rows through the pandas accessor, the Polars
namespace (a lazy query) and the DuckDB SQL functions, against the direct
column call and Polars' own functions.

  extract    columns.extract  | s.fq.extract | pl.col.fq.extract | fq_extract(text) | Polars str.extract_many
  replace    columns.replace  | s.fq.replace | ...               | fq_replace(text) | Polars str.replace_many
  count      columns.names    | s.fq.count   | ...               | fq_count(text)   | Polars extract_many().list.len()
  contains   columns.contains | s.fq.contains| ...               | fq_contains(text)| Polars str.contains_any

The rows are made from a seeded draw of words (a fifth of them keywords, in
any case), 1,000 keywords with clean names. Every fernquill contender scans
whole words by Unicode boundaries (the default); Polars knows no word
boundaries and folds ASCII case only, so its answers differ and its figure
is for scale. The contenders of a task take turns, round after round; each
figure is the median of its rounds, and only ratios from one run count.

Run: python3 bench/bench_dataframes.py [--rows 1000000] [--rounds 3]
"""

import argparse
import random
import statistics
import time

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa

from fernquill import KeywordProcessor
from fernquill_tools import columns
from fernquill_tools import duckdb as fq_duckdb
import fernquill_tools.pandas  # noqa: F401 - registers Series.fq
import fernquill_tools.polars  # noqa: F401 - registers Expr.fq, Series.fq

KEYWORDS = 1000
SEED = 20261208


def make_data(rows):
    rng = random.Random(SEED)
    letters = "abcdefghijklmnopqrstuvwxyzäöüéß"
    vocabulary = ["".join(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(20_000)]
    keywords = sorted({" ".join(rng.sample(vocabulary, rng.choice([1, 1, 2]))) for _ in range(KEYWORDS)})
    words = vocabulary + keywords * 5
    texts = [None if rng.random() < 0.01 else " ".join(rng.choices(words, k=rng.randint(3, 15))).capitalize()
             for _ in range(rows)]
    return texts, keywords


def contenders(task, kp, column, frame, lazy, con, patterns, names):
    """(name, function) for each way to do `task` over the same rows."""
    direct = {"extract": columns.extract, "replace": columns.replace, "count": columns.names,
              "contains": columns.contains}[task]
    yield "column call", lambda: pa.chunked_array(direct(kp, column))
    yield "pandas .fq", lambda: getattr(frame["text"].fq, task)(kp)
    yield "Polars lazy .fq", lambda: lazy.select(getattr(pl.col("text").fq, task)(kp)).collect()
    yield "DuckDB SQL", lambda: con.sql(f"select fq_{task}(text) from texts").to_arrow_table()
    own = {
        "extract": lambda: pl.col("text").str.extract_many(patterns, ascii_case_insensitive=True),
        "replace": lambda: pl.col("text").str.replace_many(patterns, names, ascii_case_insensitive=True),
        "count": lambda: pl.col("text").str.extract_many(patterns, ascii_case_insensitive=True).list.len(),
        "contains": lambda: pl.col("text").str.contains_any(patterns, ascii_case_insensitive=True),
    }[task]
    yield "Polars own", lambda: lazy.select(own()).collect()


def alternate(runs, rounds):
    times = {name: [] for name, _ in runs}
    for _ in range(rounds):
        for name, fn in runs:
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    texts, keywords = make_data(args.rows)
    kp = KeywordProcessor()
    names = [k.upper() for k in keywords]
    for keyword, name in zip(keywords, names):
        kp.add_keyword(keyword, name)
    column = pa.chunked_array([pa.array(texts, pa.string())])
    frame = pd.DataFrame({"text": pd.Series(texts, dtype=pd.ArrowDtype(pa.string()))})
    lazy = pl.LazyFrame({"text": pl.Series(texts, dtype=pl.String)})
    con = duckdb.connect()
    con.register("texts", pa.table({"text": column}))
    fq_duckdb.register(con, kp)
    print(f"{args.rows:,} rows, {sum(len(t.encode()) for t in texts if t) / 1e6:.0f} MB, {len(keywords)} keywords, "
          f"median of {args.rounds} rounds")
    print(f"{'task':<10} {'contender':<17} {'seconds':>8} {'vs column call':>15}")
    for task in ("extract", "replace", "count", "contains"):
        times = alternate(list(contenders(task, kp, column, frame, lazy, con, keywords, names)), args.rounds)
        base = times["column call"]
        for name, seconds in times.items():
            print(f"{task:<10} {name:<17} {seconds:8.3f} {seconds / base:14.2f}x")


if __name__ == "__main__":
    main()
