#!/usr/bin/env python3
"""The clean names of every corpus line (10k keywords) on Spark, Ray Data and Dask
DataFrame, each on 1 and 2 workers, against the column call in this one process.

  one process     CPU time of fernquill_tools.columns.names over the lines, here
  ENGINE xN       wall time of the engine's with_column(..., "names") over the same
                  lines, already loaded and cached on N workers of one core each
                  (its pool: RAYON_NUM_THREADS=1), the result consumed on the workers

Prints each time and its ratio to the one-process CPU time: below 1 on two workers
means the cluster pays for itself on this machine. Engines that are not installed
are skipped. Run: python3 bench/bench_clusters.py [--quick]
"""

import os
import statistics
import sys
import time

import _common as C
import prepare_data

KEYWORDS = 10000
ROUNDS = 5
WORKERS = (1, 2)
os.environ["RAYON_NUM_THREADS"] = "1"
os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # the workers import this fernquill


def median_time(fn, clock=time.perf_counter, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


def spark_runner(kp, lines, workers):
    from pyspark.sql import SparkSession
    from fernquill_tools import spark as fq_spark
    session = (SparkSession.builder.master(f"local[{workers}]").appName("fernquill-bench")
               .config("spark.ui.enabled", "false").config("spark.executorEnv.RAYON_NUM_THREADS", "1")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    import pandas as pd
    df = session.createDataFrame(pd.DataFrame({"text": lines})).repartition(4 * workers).cache()
    df.count()

    def run():
        fq_spark.with_column(df, kp, "text", "names").write.format("noop").mode("overwrite").save()
    return run, session.stop


def ray_runner(kp, lines, workers):
    import pyarrow as pa
    import ray
    from fernquill_tools import ray as fq_ray
    ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}})
    table = pa.table({"text": lines})
    pieces = 4 * workers
    step = -(-len(lines) // pieces)
    ds = ray.data.from_arrow([table.slice(i, step) for i in range(0, len(lines), step)]).materialize()

    def run():
        fq_ray.with_column(ds, kp, "text", "names", concurrency=workers, num_cpus=0.5).materialize()
    return run, ray.shutdown


def dask_runner(kp, lines, workers):
    import pandas as pd
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster
    from fernquill_tools import dask as fq_dask
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, env={"RAYON_NUM_THREADS": "1"})
    client = Client(cluster)
    ddf = dd.from_pandas(pd.DataFrame({"text": pd.Series(lines, dtype="string[pyarrow]")}),
                         npartitions=4 * workers).persist()

    def run():
        fq_dask.with_column(ddf, kp, "text", "names").map_partitions(len).compute()

    def stop():
        client.close()
        cluster.close()
    return run, stop


ENGINES = {"Spark": ("pyspark", spark_runner), "Ray": ("ray", ray_runner), "Dask": ("dask.dataframe", dask_runner)}


def main():
    args = C.common_args(__doc__.split("\n")[0])
    fernquill = C.import_fernquill()
    import pyarrow as pa
    from fernquill_tools import columns

    lines = prepare_data.read_text(prepare_data.CORPUS).split("\n")
    if args.quick:
        lines = lines[: len(lines) // 8]
    kp = C.fq_build(fernquill, prepare_data.load_keywords(KEYWORDS))
    column = pa.array(lines)
    rounds = 3 if args.quick else ROUNDS
    base = median_time(lambda: columns.names(kp, column), time.process_time, rounds)
    print(f"{len(lines):,} lines, {sum(map(len, lines)) / 1e6:.1f} MB; rounds: {rounds}")
    print(f"{'one process (CPU)':<20} {base:8.3f} s   1.00x")
    for name, (module, runner) in ENGINES.items():
        if C.optional_import(module.split(".")[0], name) is None:
            continue
        for workers in WORKERS:
            run, stop = runner(kp, lines, workers)
            try:
                run()  # warm: processes started, the processor shipped
                took = median_time(run, rounds=rounds)
            finally:
                stop()
            print(f"{name + f' x{workers} (wall)':<20} {took:8.3f} s   {took / base:.2f}x")
    print(f"load average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    sys.exit(main())
