#!/usr/bin/env python3
"""Python threads sharing one processor: 1 thread against 2 calling extract_keywords.

Each interpreter given with --python runs a worker process that loads the 10,000
keywords into one case-insensitive processor and cuts the English corpus into 1 MB
pieces. The parent then asks the workers, in alternating turns, to scan all pieces
with one thread, or with two threads taking half of the pieces each, and collects the
wall times. Printed per interpreter: the best time of each, and "2 threads" as the
one-thread time over the two-thread time (2.0 is perfect use of two cores; with the
GIL the threads take turns, so about 1.0). When two interpreters are given, the
single-thread time of each is also set against the first one's. "cores" is the process
CPU time over the wall time (how many cores the threads really had), and "CPU 2t vs 1t"
the CPU time two threads spent against one (above 1.0: contention between them).
Each interpreter also runs, in the same turns, a pure-Python scan of the same pieces (a
dict lookup per word, a tuple per match kept in a list that is then dropped): its
"2 threads" ratio is what the interpreter and the machine give two threads that share
nothing but the interpreter, the yardstick for fernquill's.

Run: python3 bench/bench_threads.py --python python3 --python /path/to/python3.13t
(each interpreter must import fernquill; the defaults are this interpreter and, when it
exists, the free-threaded one of tools/build_free_threaded_python.sh in
build/ci-free-threaded-venv)
"""

import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FREE_THREADED_VENV_PYTHON = os.path.join(HERE, "..", "build", "ci-free-threaded-venv", "bin", "python")
KEYWORDS = 10_000
PIECE_BYTES = 1 << 20


# ---- the worker, inside each interpreter ------------------------------------


def corpus_pieces(mb):
    import prepare_data

    text = prepare_data.read_text(prepare_data.CORPUS)
    data = text.encode()[: mb * PIECE_BYTES]
    # Cut at spaces so that every piece is whole UTF-8 and whole words.
    pieces, start = [], 0
    while start < len(data):
        end = min(start + PIECE_BYTES, len(data))
        if end < len(data):
            end = data.rindex(b" ", start, end) + 1
        pieces.append(data[start:end].decode())
        start = end
    return pieces


def pure_python_extract(names, text):
    """The pure-Python yardstick: every word of the piece looked up, a tuple per match."""
    found = []
    at = 0
    for word in text.lower().split():
        name = names.get(word)
        if name is not None:
            found.append((name, 1.0, at, at + len(word)))
        at += len(word) + 1
    return found


def scan(extract, pieces, threads):
    """Wall and process CPU seconds to scan every piece with `threads` threads; match
    count. The wall time runs from the first thread's start to the last one's end, as
    the threads see them: the parent thread may be scheduled late after the barrier."""
    counts = [0] * threads
    spans = [(0.0, 0.0)] * threads
    start = threading.Barrier(threads + 1)

    def body(part):
        start.wait()
        t0 = time.perf_counter()
        n = 0
        for text in pieces[part::threads]:
            n += len(extract(text))
        counts[part] = n
        spans[part] = (t0, time.perf_counter())

    workers = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    c0 = time.process_time()
    start.wait()
    for w in workers:
        w.join()
    cpu = time.process_time() - c0
    return max(end for _, end in spans) - min(begin for begin, _ in spans), cpu, sum(counts)


def worker(mb):
    sys.path.insert(0, HERE)
    import prepare_data
    from fernquill import KeywordProcessor

    kp = KeywordProcessor()
    for keyword, clean in prepare_data.load_keywords(KEYWORDS):
        kp.add_keyword(keyword, clean)
    names = {k.lower(): c or k for k, c in prepare_data.load_keywords(KEYWORDS)}
    extracts = {"fernquill": kp.extract_keywords,
                "python": lambda text: pure_python_extract(names, text)}
    pieces = corpus_pieces(mb)
    scan(kp.extract_keywords, pieces[:1], 1)  # compiles the index
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"ready {len(pieces)} {int(gil)}", flush=True)
    for line in sys.stdin:
        what, threads = line.split()
        seconds, cpu, matches = scan(extracts[what], pieces, int(threads))
        print(f"{seconds} {cpu} {matches}", flush=True)


# ---- the parent ----------------------------------------------------------------


class Contender:
    """One interpreter's worker process; times and CPU per (scan, threads)."""

    def __init__(self, python, mb):
        self.python = python
        self.proc = subprocess.Popen([python, __file__, "--worker", "--mb", str(mb)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        _, pieces, gil = self.proc.stdout.readline().split()
        self.pieces, self.gil = int(pieces), gil == "1"
        self.times = {(w, t): [] for w in SCANS for t in (1, 2)}
        self.cpu = {(w, t): [] for w in SCANS for t in (1, 2)}
        self.matches = {w: set() for w in SCANS}

    def run(self, what, threads):
        self.proc.stdin.write(f"{what} {threads}\n")
        self.proc.stdin.flush()
        seconds, cpu, matches = self.proc.stdout.readline().split()
        self.times[what, threads].append(float(seconds))
        self.cpu[what, threads].append(float(cpu))
        self.matches[what].add(int(matches))

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


SCANS = ("fernquill", "python")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--python", action="append", help="an interpreter to measure (repeatable)")
    ap.add_argument("--mb", type=int, default=16, help="megabytes of corpus (default 16)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.mb)

    sys.path.insert(0, HERE)
    import prepare_data

    prepare_data.ensure_data()
    pythons = args.python or [sys.executable] + (
        [FREE_THREADED_VENV_PYTHON] if os.path.exists(FREE_THREADED_VENV_PYTHON) else [])
    print(f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    contenders = [Contender(p, args.mb) for p in pythons]
    # The interpreters and thread counts take turns, so that a busy spell of the
    # machine falls on all of them.
    for _ in range(args.rounds):
        for what in SCANS:
            for threads in (1, 2):
                for c in contenders:
                    c.run(what, threads)
    for c in contenders:
        c.close()

    base = min(contenders[0].times["fernquill", 1])
    print(f"{KEYWORDS} keywords, {contenders[0].pieces} pieces of 1 MB, best of {args.rounds}")
    print(f"{'interpreter':<44} {'GIL':>4} {'1 thread':>9} {'2 threads':>9} {'2 threads':>9} "
          f"{'1 thread':>9} {'cores':>6} {'cores':>6} {'CPU 2t':>7}")
    print(f"{'':<44} {'':>4} {'s':>9} {'s':>9} {'speed-up':>9} {'vs first':>9} {'1t':>6} "
          f"{'2t':>6} {'vs 1t':>7}")
    for c in contenders:
        for what in SCANS:
            times = {t: c.times[what, t] for t in (1, 2)}
            best = {t: min(range(len(times[t])), key=times[t].__getitem__) for t in (1, 2)}
            one, two = times[1][best[1]], times[2][best[2]]
            cpu_one, cpu_two = c.cpu[what, 1][best[1]], c.cpu[what, 2][best[2]]
            agree = "" if len(c.matches[what]) == 1 else f"  MATCH COUNTS DIFFER: {sorted(c.matches[what])}"
            label = f"{what}: {c.python[-(34 - len(what)):]}"
            print(f"{label:<44} {'on' if c.gil else 'off':>4} {one:>9.3f} {two:>9.3f} "
                  f"{one / two:>8.2f}x {base / one:>8.2f}x {cpu_one / one:>6.2f} "
                  f"{cpu_two / two:>6.2f} {cpu_two / cpu_one:>6.2f}x{agree}")
    # A speed-up needs a free core: when the machine is busier than its cores, the
    # "cores" columns (process CPU time over wall time) show how much was had.
    print(f"load average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
