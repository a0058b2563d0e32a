#!/usr/bin/env python3
"""extract_keywords on the corpus: this interpreter's fernquill against other installs of it
(each given as the python of a venv it is installed in), at 1k, 10k and 100k keywords.

Each install runs in its own process (two builds of the module cannot share one: both load a
library of the same name), the processes taking turns; each reports the CPU time of its
fastest call, and the table gives the median of those over the rounds, the matches per call
and the time per match. With --callgrind, each install's instructions per match instead: one
call under callgrind (the whole call, scan included) divided by its matches.

Run: python3 bench/bench_match_cost.py [--rounds 5] [--callgrind] /path/to/base/venv/bin/python
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import gc, sys, time
sys.path.insert(0, sys.argv[1])
import fernquill, prepare_data
n, calls, mb = int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
kp = fernquill.KeywordProcessor()
for k, c in prepare_data.load_keywords(n):
    kp.add_keyword(k, c)
with open(prepare_data.CORPUS, encoding="utf-8") as f:
    corpus = f.read(int(mb * 1e6))
kp.extract_keywords(corpus)  # compiles the index, warms the caches
best = None
for _ in range(calls):
    gc.disable()
    t0 = time.process_time()
    found = kp.extract_keywords(corpus if calls else "")
    spent = time.process_time() - t0
    gc.enable()
    del found
    best = spent if best is None else min(best, spent)
print(best, len(kp.extract_keywords(corpus)))
"""

# Under callgrind: one extract_keywords call counted alone (callgrind collects inside map's
# next step only), after a batch call on the same text has compiled the index and left freed
# match objects behind (the steady state). The same run with an empty text is subtracted.
CALLGRIND_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
import fernquill, prepare_data
n, mb, empty = int(sys.argv[2]), float(sys.argv[3]), sys.argv[4] == "empty"
kp = fernquill.KeywordProcessor()
for k, c in prepare_data.load_keywords(n):
    kp.add_keyword(k, c)
with open(prepare_data.CORPUS, encoding="utf-8") as f:
    corpus = f.read(int(mb * 1e6))
kp.parallel_extract_keywords_from_texts([corpus])
found = list(map(kp.extract_keywords, ["" if empty else corpus]))[0]
print(len(found))
"""


def run_timed(python, n, calls, mb):
    out = subprocess.run([python, "-c", CHILD, HERE, str(n), str(calls), str(mb)],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), int(out[1])


def instructions(python, n, mb, empty):
    """Instructions of one call and its number of matches."""
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "cg.out")
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
             "--toggle-collect=map_next", python, "-c", CALLGRIND_CHILD, HERE, str(n), str(mb),
             "empty" if empty else "text"], capture_output=True, text=True, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out_file) as f:
            total = next(int(line.split()[1]) for line in f if line.startswith("summary:"))
        return total, int(result.stdout.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("others", nargs="+", help="python executables of other installs")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--calls", type=int, default=3)
    ap.add_argument("--mb", type=float, default=4.0, help="megabytes of the corpus per call")
    ap.add_argument("--sets", default="1000,10000,100000")
    ap.add_argument("--callgrind", action="store_true")
    args = ap.parse_args()
    pythons = [sys.executable] + args.others
    for n in (int(s) for s in args.sets.split(",")):
        if args.callgrind:
            for python in pythons:
                total, matches = instructions(python, n, args.mb, False)
                total -= instructions(python, n, args.mb, True)[0]
                print(f"{n:>7,} keywords  {matches:,} matches  "
                      f"{total / max(matches, 1):5.0f} instructions per match, the whole call "
                      f"(scan included)  {python}")
            continue
        samples = [[] for _ in pythons]
        matches = []
        for _ in range(args.rounds):
            for k, python in enumerate(pythons):
                spent, found = run_timed(python, n, args.calls, args.mb)
                samples[k].append(spent)
                matches.append(found)
        if len(set(matches)) != 1:
            sys.exit(f"the installs disagree on the number of matches: {sorted(set(matches))}")
        medians = [statistics.median(s) for s in samples]
        for python, m in zip(pythons, medians):
            print(f"{n:>7,} keywords  {m * 1e3:8.1f} ms  {m * 1e9 / matches[0]:6.1f} ns/match  "
                  f"{medians[1] / m if len(medians) > 1 else 1:5.2f}x  {python}")
        print(f"         {matches[0]:,} matches per call, medians of {args.rounds} rounds")


if __name__ == "__main__":
    main()
