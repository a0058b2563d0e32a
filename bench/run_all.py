#!/usr/bin/env python3
"""Runs every benchmark script in turn, each in its own interpreter, and prints their
tables; --quick passes --quick to each (less data, fewer repeats).

Run: PYTHONPATH=build-bench python3 bench/run_all.py [--quick] [--only NAME[,NAME]]
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = ["bench_extract", "bench_approx", "bench_replace", "bench_batch", "bench_pickle",
           "bench_objects", "bench_lifecycle", "bench_utf8_argument"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="short version of every script")
    ap.add_argument("--only", default=None, help="comma-separated script names to run")
    args = ap.parse_args()
    names = SCRIPTS if not args.only else [n.strip() for n in args.only.split(",")]
    unknown = [n for n in names if n not in SCRIPTS]
    if unknown:
        ap.error(f"unknown scripts {unknown}; choose from {SCRIPTS}")

    sys.path.insert(0, HERE)
    import prepare_data
    prepare_data.ensure_data()

    failed = []
    t_all = time.perf_counter()
    for name in names:
        cmd = [sys.executable, os.path.join(HERE, name + ".py")] + (["--quick"] if args.quick
                                                                     else [])
        print(f"\n{'=' * 78}\n{name}{' --quick' if args.quick else ''}\n{'=' * 78}", flush=True)
        t0 = time.perf_counter()
        rc = subprocess.call(cmd)
        print(f"[{name}: {time.perf_counter() - t0:.0f} s, exit {rc}]", flush=True)
        if rc:
            failed.append(name)
    print(f"\nall done in {time.perf_counter() - t_all:.0f} s"
          + (f"; FAILED: {', '.join(failed)}" if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
