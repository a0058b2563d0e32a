#!/usr/bin/env python3
"""The Spark recipe in local[2]: the keywords of every corpus line (10k keywords), as a
list of clean names per row, then the total number of matches, by

  one process          columns.extract over the lines in this process (no Spark)
  mapPartitions        rdd.mapPartitions with parallel_extract_keywords_from_texts
  pandas UDF, list     the former README recipe: parallel_extract on texts.tolist()
  pandas UDF, column   the README recipe: columns.extract on the Arrow-backed batch
  mapInArrow, column   columns.extract on each Arrow record batch, no pandas at all

Spark's Python workers are separate processes; each sizes its own fernquill pool from
RAYON_NUM_THREADS (set to 1 here: two tasks at once on two cores). The contenders take
turns, round after round; each figure is the best of its rounds.

Needs pyspark and a Java runtime. Run: python3 bench/bench_spark.py [--quick]
"""

import os
import sys
import time

import _common as C
import prepare_data

KEYWORDS = 10000
ROUNDS = 3


def keyword_lists(extracted, pa):
    """list<string> of clean names from the list<struct> result, without Python objects."""
    lists = pa.chunked_array(extracted).combine_chunks()
    return pa.ListArray.from_arrays(lists.offsets, lists.values.field("keyword"),
                                    mask=lists.is_null())


def main():
    args = C.common_args(__doc__.split("\n")[0])
    fernquill = C.import_fernquill()
    from fernquill_tools import columns
    import pyarrow as pa
    try:
        import pandas as pd
        from pyspark.sql import SparkSession, functions as F
    except ImportError as e:
        sys.exit(f"bench_spark needs pyspark and pandas ({e})")

    lines = prepare_data.read_text(prepare_data.CORPUS).split("\n")
    if args.quick:
        lines = lines[: len(lines) // 8]
    keywords = prepare_data.load_keywords(KEYWORDS)
    kp = C.fq_build(fernquill, keywords)

    os.environ["RAYON_NUM_THREADS"] = "1"
    spark = (SparkSession.builder.master("local[2]").appName("fernquill-bench")
             .config("spark.sql.execution.arrow.pyspark.enabled", "true")
             .config("spark.executorEnv.RAYON_NUM_THREADS", "1")
             .config("spark.ui.enabled", "false")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    df = spark.createDataFrame(pd.DataFrame({"text": lines})).repartition(2).cache()
    df.count()
    shared = spark.sparkContext.broadcast(kp)

    def by_map_partitions():
        def part(rows):
            texts = [r.text for r in rows]
            yield sum(len(m) for m in shared.value.parallel_extract_keywords_from_texts(texts))
        return sum(df.rdd.mapPartitions(part).collect())

    @F.pandas_udf("array<string>")
    def udf_list(texts: pd.Series) -> pd.Series:
        found = shared.value.parallel_extract_keywords_from_texts(texts.tolist())
        return pd.Series([[m.keyword for m in matches] for matches in found])

    @F.pandas_udf("array<string>")
    def udf_column(texts: pd.Series) -> pd.Series:
        names = keyword_lists(columns.extract(shared.value, texts), pa)
        return names.to_pandas(types_mapper=pd.ArrowDtype)

    def by_udf(udf):
        return lambda: df.select(F.size(udf("text")).alias("n")).agg(F.sum("n")).first()[0]

    def by_map_in_arrow():
        def batches(it):
            for batch in it:
                names = keyword_lists(columns.extract(shared.value, batch.column("text")), pa)
                yield pa.record_batch([names], names=["keywords"])
        out = df.mapInArrow(batches, "keywords array<string>")
        return out.select(F.size("keywords").alias("n")).agg(F.sum("n")).first()[0]

    def one_process():
        return sum(pa.compute.list_value_length(keyword_lists(columns.extract(kp, lines), pa))
                   .fill_null(0).to_pylist())

    import pyarrow.compute  # noqa: F401
    contenders = [("one process", one_process), ("mapPartitions", by_map_partitions),
                  ("pandas UDF, list", by_udf(udf_list)), ("pandas UDF, column", by_udf(udf_column)),
                  ("mapInArrow, column", by_map_in_arrow)]
    best, results = {}, {}
    for _ in range(1 if args.quick else ROUNDS):
        for name, fn in contenders:
            t0 = time.perf_counter()
            results[name] = fn()
            best[name] = min(best.get(name, float("inf")), time.perf_counter() - t0)
    spark.stop()
    base = best["one process"]
    C.print_table(["contender", "seconds", "time / one process", "matches"],
                  [[n, f"{best[n]:.2f}", C.fmt_ratio(best[n] / base), f"{results[n]:,}"]
                   for n, _ in contenders],
                  title=f"Spark local[2], {len(lines):,} lines, {KEYWORDS:,} keywords")


if __name__ == "__main__":
    main()
