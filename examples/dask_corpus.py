"""Per-keyword counts over a directory of text files on a Dask cluster.

The processor is built once and broadcast to every worker. The workers list
the files and read them, each task a range of about --blocksize bytes cut at
line ends, so the client never opens a file and needs no access to them. Each
range is counted on its worker with `fernquill_tools.columns.count` (the rows
scanned on the worker's pool, no Python object per match), and the counts are
summed on the workers: only the totals come back.

    python examples/dask_corpus.py KEYWORDS DIR [--scheduler ADDRESS] [--workers 2]
           [--blocksize 8MiB] [--per-host-files] [--compare]

Without --scheduler it starts a LocalCluster of worker processes on this
machine. By default DIR is one shared directory (every worker sees the same
files); with --per-host-files each host holds its own files under DIR, and
each range is read by a worker on the host that has it. Every worker, also
one that joins later, sizes its fernquill pool for its own host through a
worker plugin: the host's usable cores shared out among the worker processes
on it. Prints one JSON object: the counts, the number of lines, the time
taken, the pool size of each worker, and with --compare the same counted in
this one process.
"""

import argparse
import collections
import json
import os
import pathlib
import time

from dask.distributed import Client, LocalCluster, WorkerPlugin

from fernquill import KeywordProcessor
from fernquill_tools import columns, load_keywords

# The worker pool of fernquill is sized from this variable when it starts (on
# a process's first batch or column call).
POOL_SIZE_VARIABLE = "RAYON_NUM_THREADS"


def usable_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


class PoolSizing(WorkerPlugin):
    """Sets the pool size of each worker process before its first scan:
    its host's usable cores divided among the worker processes on that host
    (each worker runs one Dask thread). Registered with the scheduler, so a
    worker that joins later runs it too."""

    name = "fernquill-pool-sizing"

    def __init__(self, threads=None):
        self.threads = threads  # a fixed size, or None to share the host's cores

    async def setup(self, worker):
        threads = self.threads
        if threads is None:
            identity = await worker.scheduler.identity()
            neighbours = {address for address, info in identity["workers"].items()
                          if info["host"] == worker.ip and address != worker.address}
            threads = max(1, usable_cores() // (len(neighbours) + 1))
        os.environ[POOL_SIZE_VARIABLE] = str(threads)


def pool_size():
    return int(os.environ.get(POOL_SIZE_VARIABLE, "0"))


def list_files(directory, pattern):
    """(path, size) of the matching files, as this worker sees them."""
    return [(str(p), p.stat().st_size) for p in sorted(pathlib.Path(directory).glob(pattern))
            if p.is_file()]


def byte_ranges(files, blocksize):
    """(path, start, end) ranges of at most blocksize bytes covering each file."""
    return [(path, start, min(size, start + blocksize))
            for path, size in files for start in range(0, max(size, 1), blocksize)]


def read_lines(path, start, end):
    """The lines that start in [start, end) of the file: a line belongs to the
    range its first byte is in."""
    lines = []
    with open(path, "rb") as f:
        if start > 0:
            f.seek(start - 1)
            f.readline()  # the rest of the line that began before start
        while f.tell() < end:
            line = f.readline()
            if not line:
                break
            lines.append(line.rstrip(b"\r\n").decode("utf-8"))
    return lines


def count_range(processor, path, start, end):
    """One range: its lines counted on this worker's pool."""
    lines = read_lines(path, start, end)
    return collections.Counter(columns.count(processor, lines)), len(lines)


def add_up(*parts):
    counts, total = collections.Counter(), 0
    for part, n in parts:
        counts += part
        total += n
    return counts, total


def count_on_cluster(client, processor, directory, pattern, blocksize, per_host_files):
    shared = client.scatter(processor, broadcast=True)
    if per_host_files:
        # One listing per host, its ranges read by that host's workers in turn.
        listings = client.run(list_files, directory, pattern)
        by_host = collections.defaultdict(list)
        for address in listings:
            by_host[client.scheduler_info()["workers"][address]["host"]].append(address)
        tasks = []
        for workers in by_host.values():
            ranges = byte_ranges(listings[workers[0]], blocksize)
            tasks += [(r, [workers[i % len(workers)]]) for i, r in enumerate(ranges)]
    else:
        # Listed by a worker, not here: the client needs no access to the files.
        files = client.submit(list_files, directory, pattern, pure=False).result()
        tasks = [(r, None) for r in byte_ranges(files, blocksize)]
    if not tasks:
        raise SystemExit(f"no {pattern} files in {directory} on the workers")
    parts = [client.submit(count_range, shared, *r, workers=w, pure=False) for r, w in tasks]
    return client.submit(add_up, *parts, pure=False).result()


def count_locally(processor, directory, pattern):
    parts = [count_range(processor, path, 0, size) for path, size in list_files(directory, pattern)]
    return add_up(*parts)


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
    parser.add_argument("directory", help="directory of UTF-8 text files, as the workers see it")
    parser.add_argument("--pattern", default="*.txt", help="file names to read (default *.txt)")
    parser.add_argument("--scheduler", help="address of a running scheduler; default: a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--blocksize", default="8MiB", help="bytes of text per task")
    parser.add_argument("--pool-threads", type=int,
                        help="pool threads per worker (default: the host's cores / its workers)")
    parser.add_argument("--per-host-files", action="store_true",
                        help="each host has its own files under DIRECTORY (no shared filesystem)")
    parser.add_argument("--compare", action="store_true", help="also count in this process and compare")
    args = parser.parse_args()

    processor = KeywordProcessor()
    load_keywords(processor, args.keywords)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        client.wait_for_workers(1 if args.scheduler else args.workers)
        client.register_plugin(PoolSizing(args.pool_threads))
        start = time.perf_counter()
        counts, lines = count_on_cluster(client, processor, args.directory, args.pattern,
                                         parse_size(args.blocksize), args.per_host_files)
        result = {"counts": dict(counts.most_common()), "lines": lines,
                  "seconds": round(time.perf_counter() - start, 3),
                  "workers": len(client.scheduler_info()["workers"]),
                  "pool_threads": sorted(client.run(pool_size).values())}
    if not args.scheduler:
        cluster.close()
    if args.compare:
        start = time.perf_counter()
        local, local_lines = count_locally(processor, args.directory, args.pattern)
        result["single_process"] = {"seconds": round(time.perf_counter() - start, 3), "lines": local_lines,
                                    "same_counts": local == counts and local_lines == lines}
    print(json.dumps(result, ensure_ascii=False))


if __name__ == "__main__":
    main()
