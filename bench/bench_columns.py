#!/usr/bin/env python3
"""Column calls (fernquill_tools.columns) against the list batch methods and Polars, on
the corpus split into lines, with 1k, 10k and 100k keywords.

  extract   columns.extract(kp, pyarrow column) (offsets="chars" and "bytes") against
            kp.parallel_extract_keywords_from_texts(lines as a list) and Polars
            str.extract_many(keywords, ascii_case_insensitive=True)
  replace   columns.replace against kp.parallel_replace_keywords_from_texts and Polars
            str.replace_many(keywords, clean names, ascii_case_insensitive=True)
  count     columns.count against Polars extract_many followed by a value count

The contenders of one row take turns, round after round; each figure is the best of
its rounds, and only ratios from this one run count. Polars knows no word boundaries
(it finds "cat" inside "concatenate") and folds ASCII case only, so its match counts
differ from fernquill's; they are printed beside the times.

Peak RSS of columns.extract is measured in a fresh interpreter (the input column
loaded, then one call), against the input column's and the result's buffer sizes.

Run: python3 bench/bench_columns.py [--quick] [--sizes 1000,10000,100000]
"""

import os
import subprocess
import sys
import textwrap
import time

import _common as C
import prepare_data

ROUNDS = 5


def load_lines(quick):
    lines = prepare_data.read_text(prepare_data.CORPUS).split("\n")
    return lines[: len(lines) // 8] if quick else lines


def alternate(contenders, rounds):
    """{name: best seconds}, {name: last result}: each round runs every contender once."""
    best, results = {}, {}
    for _ in range(rounds):
        for name, fn in contenders:
            t0 = time.perf_counter()
            results[name] = fn()
            t = time.perf_counter() - t0
            best[name] = min(best.get(name, t), t)
    return best, results


def run_size(size, lines, args, fernquill, columns, pa, pl):
    keywords = prepare_data.load_keywords(size)
    kp = C.fq_build(fernquill, keywords)
    column = pa.array(lines, pa.large_string() if sum(map(len, lines)) >= 2**31 else pa.string())
    series = pl.Series("text", lines)
    patterns, names = [k for k, _ in keywords], [c for _, c in keywords]
    nbytes = sum(C.utf8_len(t) for t in lines)
    rounds = 2 if args.quick else ROUNDS

    def pl_extract():
        return series.str.extract_many(patterns, ascii_case_insensitive=True)

    def pl_count():
        return pl_extract().explode().drop_nulls().value_counts()

    def pl_replace():
        return series.str.replace_many(patterns, names, ascii_case_insensitive=True)

    groups = {
        "extract": [
            ("columns.extract chars", lambda: pa.chunked_array(columns.extract(kp, column))),
            ("columns.extract bytes",
             lambda: pa.chunked_array(columns.extract(kp, column, offsets="bytes"))),
            ("parallel_extract list", lambda: kp.parallel_extract_keywords_from_texts(lines)),
            ("polars extract_many", pl_extract),
        ],
        "replace": [
            ("columns.replace", lambda: pa.chunked_array(columns.replace(kp, column))),
            ("parallel_replace list", lambda: kp.parallel_replace_keywords_from_texts(lines)),
            ("polars replace_many", pl_replace),
        ],
        "count": [
            ("columns.count", lambda: columns.count(kp, column)),
            ("polars extract_many+value_counts", pl_count),
        ],
    }
    rows = []
    for group, contenders in groups.items():
        best, results = alternate(contenders, rounds)
        ours = best[contenders[0][0]]
        for name, _ in contenders:
            rows.append([f"{size:,}", group, name, f"{best[name] * 1000:.0f}",
                         f"{C.mb_per_s(nbytes, best[name]):.0f}",
                         C.fmt_ratio(best[name] / ours) if name != contenders[0][0] else "1.00x",
                         matches_of(group, name, results[name], pa, pl)])
    return rows


def matches_of(group, name, result, pa, pl):
    """How many matches (or replaced rows) a result holds, to show the tasks differ."""
    if group == "extract":
        if name.startswith("columns"):
            return f"{pa.compute.list_value_length(result).to_numpy().sum():,}"
        if name.startswith("parallel"):
            return f"{sum(map(len, result)):,}"
        return f"{result.list.len().sum():,}"
    if group == "count":
        if isinstance(result, dict):
            return f"{sum(result.values()):,}"
        return f"{result['count'].sum():,}"
    return ""


PEAK_SCRIPT = textwrap.dedent("""
    import os, sys, threading, time
    import pyarrow as pa
    import fernquill
    from fernquill_tools import columns
    sys.path.insert(0, {here!r})
    import _common as C, prepare_data
    kp = C.fq_build(fernquill, prepare_data.load_keywords({size}))
    column = pa.array(open({corpus!r}, encoding="utf-8").read().split("\\n"))
    page = os.sysconf("SC_PAGE_SIZE")
    def rss(): return int(open("/proc/self/statm").read().split()[1]) * page >> 10
    # ru_maxrss keeps the peak of the set-up; sample the call itself instead
    # (it lets the interpreter run while the pool works).
    peak, done = [rss()], threading.Event()
    def sample():
        while not done.is_set():
            peak.append(rss())
            time.sleep(0.001)
    before = rss()
    sampler = threading.Thread(target=sample)
    sampler.start()
    result = pa.chunked_array(columns.extract(kp, column))
    done.set()
    sampler.join()
    print(before, max(peak + [rss()]), column.nbytes >> 10, result.nbytes >> 10)
""")


def peak_rss(size):
    code = PEAK_SCRIPT.format(here=C.HERE, corpus=prepare_data.CORPUS, size=size)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after, column_kib, result_kib = map(int, out.stdout.split())
    return before, after, column_kib, result_kib


def main():
    args = C.common_args(__doc__.split("\n")[0], extra=lambda ap: ap.add_argument(
        "--sizes", default="1000,10000,100000", help="keyword set sizes"))
    fernquill = C.import_fernquill()
    from fernquill_tools import columns
    pa = C.optional_import("pyarrow", "the Arrow column")
    pl = C.optional_import("polars", "Polars")
    if pa is None or pl is None:
        sys.exit("bench_columns needs pyarrow and polars")
    import pyarrow.compute  # noqa: F401 - list_value_length
    print(f"polars {pl.__version__}, pyarrow {pa.__version__}, "
          f"worker pool: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
    lines = load_lines(args.quick)
    print(f"{len(lines):,} lines, {sum(C.utf8_len(t) for t in lines) / 1e6:.1f} MB")
    rows = []
    for size in map(int, args.sizes.split(",")):
        rows += run_size(size, lines, args, fernquill, columns, pa, pl)
    C.print_table(["keywords", "task", "contender", "ms", "MB/s", "time / first", "matches"],
                  rows, title="column calls (the first contender of each task is the reference)")
    before, after, column_kib, result_kib = peak_rss(10000)
    print(f"\npeak RSS, columns.extract, 10k keywords: {before / 1024:.0f} MiB before the call "
          f"(input column {column_kib / 1024:.0f} MiB loaded), peak {after / 1024:.0f} MiB during "
          f"it: +{(after - before) / 1024:.0f} MiB for a result of {result_kib / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
