"""Per-keyword counts over a directory of text files on a Dask cluster.

The processor is built once and broadcast to every worker; each partition of
lines is extracted with the batch method and counted on its worker, and the
counts are summed on the workers: only the totals come back, never match
objects.

    python examples/dask_corpus.py KEYWORDS DIR [--scheduler ADDRESS] [--workers 2]
           [--blocksize 8MiB] [--compare]

Without --scheduler it starts a LocalCluster of worker processes on this machine.
Prints one JSON object: the counts, the number of lines and the time taken, and
with --compare the same counted in this one process.
"""

import argparse
import collections
import json
import operator
import os
import pathlib
import time

import dask.bag as db
from dask.distributed import Client, LocalCluster

from fernquill import KeywordProcessor
from fernquill_tools import load_keywords

# The batch methods run on a pool of threads per process, sized from this
# variable when the pool starts (on the first batch call).
POOL_SIZE_VARIABLE = "RAYON_NUM_THREADS"


def count_keywords(lines, processor):
    """One partition: its lines extracted on the worker's pool, counted."""
    texts = [line.rstrip("\r\n") for line in lines]
    counts = collections.Counter()
    for matches in processor.parallel_extract_keywords_from_texts(texts):
        counts.update(m.keyword for m in matches)
    return [(counts, len(texts))]


def add(a, b):
    return a[0] + b[0], a[1] + b[1]


def set_pool_size(threads):
    # Takes effect only before the worker's first batch call, which is when it
    # sizes its pool; so this runs before any work is sent.
    os.environ[POOL_SIZE_VARIABLE] = str(threads)


def count_on_cluster(client, processor, paths, blocksize):
    shared = client.scatter(processor, broadcast=True)
    lines = db.read_text(paths, blocksize=blocksize)
    per_partition = lines.map_partitions(count_keywords, shared)
    counts, total = per_partition.fold(add, add, initial=(collections.Counter(), 0)).compute()
    return counts, total


def count_locally(processor, paths):
    counts, total = collections.Counter(), 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            part, n = count_keywords(f, processor)[0]
        counts += part
        total += n
    return counts, total


def parse_size(text):
    units = {"kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "b": 1}
    lower = text.lower()
    for unit, scale in units.items():
        if lower.endswith(unit):
            return int(float(lower[: -len(unit)]) * scale)
    return int(lower)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("keywords", help="keyword file (TSV, CSV, JSON or plain text)")
    parser.add_argument("directory", type=pathlib.Path, help="directory of UTF-8 text files")
    parser.add_argument("--pattern", default="*.txt", help="file names to read (default *.txt)")
    parser.add_argument("--scheduler", help="address of a running scheduler; default: a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--blocksize", default="8MiB", help="bytes of text per partition")
    parser.add_argument("--compare", action="store_true", help="also count in this process and compare")
    args = parser.parse_args()

    processor = KeywordProcessor()
    load_keywords(processor, args.keywords)
    paths = sorted(str(p) for p in args.directory.glob(args.pattern))
    if not paths:
        parser.error(f"no {args.pattern} files in {args.directory}")

    # Worker processes x pool threads should not exceed the cores: one Dask
    # thread per worker, and the cores shared out among the workers' pools.
    threads = max(1, (os.cpu_count() or 1) // args.workers)
    if args.scheduler:
        client = Client(args.scheduler)
        client.run(set_pool_size, threads)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               env={POOL_SIZE_VARIABLE: str(threads)}, dashboard_address=None)
        client = Client(cluster)
    with client:
        client.wait_for_workers(1 if args.scheduler else args.workers)
        start = time.perf_counter()
        counts, lines = count_on_cluster(client, processor, paths, parse_size(args.blocksize))
        result = {"counts": dict(counts.most_common()), "lines": lines,
                  "seconds": round(time.perf_counter() - start, 3), "workers": len(client.scheduler_info()["workers"]),
                  "pool_threads_per_worker": threads}
    if not args.scheduler:
        cluster.close()
    if args.compare:
        start = time.perf_counter()
        local, local_lines = count_locally(processor, paths)
        result["single_process"] = {"seconds": round(time.perf_counter() - start, 3), "lines": local_lines,
                                    "same_counts": local == counts and local_lines == lines}
    print(json.dumps(result, ensure_ascii=False))


if __name__ == "__main__":
    main()
