#!/usr/bin/env python3
"""This build against an earlier one (--base DIR, a build directory holding its
fernquill*.so), and the batch method and pickles against their yardsticks:

1. extract_keywords on the whole corpus with 1k, 10k and 100k keywords: this build
   against the base, the two taking turns, CPU time (least of the runs), matches
   checked equal;
2. parallel_extract_keywords_from_texts against a loop of extract_keywords, on the
   corpus lines and on the 100,000 short texts, wall time (least of the runs, taking
   turns), results checked equal; the same for the base build when given, the two
   builds taking turns too;
3. pickle.loads of a 100,000-keyword processor against pyahocorasick's automaton,
   the two taking turns with the garbage collector off (CPU time, median of the
   runs: one thread each, so a busy machine skews them least), and the
   resident memory a loaded processor adds against one built by add_keyword (each
   measured in a fresh interpreter).

Run: PYTHONPATH=build-bench python3 bench/bench_against_base.py --base /path/to/old/build
"""

import contextlib
import gc
import os
import pickle
import statistics
import subprocess
import sys
import time

import _common as C
import prepare_data

PROTOCOL = pickle.HIGHEST_PROTOCOL


def wall_times(fns, repeat):
    """Least wall seconds and last result of each function, taking turns, gc off."""
    best, results = [None] * len(fns), [None] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            results[k] = None
            gc.collect()
            gc.disable()
            try:
                t0 = time.perf_counter()
                results[k] = fn()
                spent = time.perf_counter() - t0
            finally:
                gc.enable()
            best[k] = spent if best[k] is None else min(best[k], spent)
    return best, results


def spans_of_lists(lists):
    return [C.fq_spans(ms) for ms in lists]


def extract_rows(builds, corpus, sets, repeat):
    rows = []
    for n in sets:
        keywords = prepare_data.load_keywords(n)
        kps = [C.fq_build(module, keywords) for _, module in builds]
        times, found = C.cpu_times([lambda kp=kp: kp.extract_keywords(corpus) for kp in kps], repeat)
        spans = [C.fq_spans(f) for f in found]
        same = all(s == spans[0] for s in spans)
        row = [f"{n:,}", f"{len(found[0]):,}"] + [f"{t * 1e3:.0f}" for t in times]
        if len(times) > 1:
            row.append(C.fmt_ratio(times[1] / times[0]))
        row.append("yes" if same else "NO")
        rows.append(row)
    return rows


def batch_rows(builds, texts_by_name, keywords, repeat):
    """Wall time of the batch and the loop, and their CPU: of the calling thread and of
    all threads, the builds and the two forms taking turns. On a machine whose other
    processes leave the two cores less than free, wall time says little; the estimate
    column gives the speed-up on two idle cores from the CPU times: the loop's time
    against the larger of the calling thread's work and the whole batch's work spread
    over the cores. That holds for a batch whose calling thread builds results while the
    workers scan; for one that builds them after the workers (builds before this one),
    it flatters."""
    rows = []
    cores = os.cpu_count()
    processors = [C.fq_build(module, keywords) for _, module in builds]
    for name, texts in texts_by_name:
        best = [{} for _ in builds]
        results = [{} for _ in builds]
        for _ in range(repeat):
            for k, kp in enumerate(processors):
                for what, fn in (("batch", lambda: kp.parallel_extract_keywords_from_texts(texts)),
                                 ("loop", lambda: [kp.extract_keywords(t) for t in texts])):
                    results[k][what] = None
                    gc.collect()
                    gc.disable()
                    try:
                        w0, p0, t0 = time.perf_counter(), time.process_time(), time.thread_time()
                        results[k][what] = fn()
                        w1, p1, t1 = time.perf_counter(), time.process_time(), time.thread_time()
                    finally:
                        gc.enable()
                    times = (w1 - w0, p1 - p0, t1 - t0)
                    if what not in best[k] or times[0] < best[k][what][0]:
                        best[k][what] = times
        for (label, _), build_best, build_results in zip(builds, best, results):
            same = (spans_of_lists(build_results["batch"])
                    == spans_of_lists(build_results["loop"]))
            (bw, bp, bt), (lw, lp, _) = build_best["batch"], build_best["loop"]
            estimate = lp / max(bt, bp / cores)
            rows.append([label, name, f"{len(texts):,}", f"{lw * 1e3:.0f}", f"{bw * 1e3:.0f}",
                         C.fmt_ratio(lw / bw), f"{lp * 1e3:.0f}", f"{bt * 1e3:.0f}",
                         f"{bp * 1e3:.0f}", C.fmt_ratio(estimate), "yes" if same else "NO"])
    return rows


# Run in a fresh interpreter: the resident memory a processor adds, built or loaded.
RSS_CHILD = r"""
import gc, pickle, sys
sys.path.insert(0, sys.argv[1])
import _common as C, prepare_data
fernquill = C.load_build(sys.argv[2]) if sys.argv[4] != "-" else __import__("fernquill")
sys.modules["fernquill"] = fernquill  # what pickle finds the class by
keywords = prepare_data.load_keywords(100_000)
blob = None
if sys.argv[3] == "loaded":
    kp = fernquill.KeywordProcessor()
    for k, c in keywords:
        kp.add_keyword(k, c)
    blob = pickle.dumps(kp)
    del kp
def rss():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
if blob is None:
    kp = fernquill.KeywordProcessor()
    for k, c in keywords:
        kp.add_keyword(k, c)
else:
    kp = pickle.loads(blob)
print(rss() - before)
"""


def resident_growth(how, build_dir):
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", RSS_CHILD, bench_dir, build_dir or bench_dir, how,
                          "base" if build_dir else "-"],
                         capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


@contextlib.contextmanager
def as_fernquill(module):
    """Pickle finds a class by its module's name: let it find this build's."""
    saved = sys.modules.get("fernquill")
    sys.modules["fernquill"] = module
    try:
        yield
    finally:
        sys.modules["fernquill"] = saved


def loads_with(module, blob):
    with as_fernquill(module):
        return pickle.loads(blob)


def pickle_rows(builds, keywords, ahocorasick, repeat):
    rows = []
    fns, labels = [], []
    for label, module in builds:
        kp = C.fq_build(module, keywords)
        with as_fernquill(module):
            blob = pickle.dumps(kp, PROTOCOL)
        fns.append(lambda module=module, blob=blob: loads_with(module, blob))
        labels.append(f"fernquill {label}")
    if ahocorasick:
        automaton = C.pyac_build(ahocorasick, keywords)
        ablob = pickle.dumps(automaton, PROTOCOL)
        del automaton
        fns.append(lambda: pickle.loads(ablob))
        labels.append("pyahocorasick")
    samples = [[] for _ in fns]
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            gc.collect()
            gc.disable()
            try:
                t0 = time.process_time()
                obj = fn()
                samples[k].append(time.process_time() - t0)
            finally:
                gc.enable()
            del obj
    medians = [statistics.median(s) for s in samples]
    for label, m in zip(labels, medians):
        ratio = C.fmt_ratio(medians[-1] / m) if ahocorasick and label != "pyahocorasick" else ""
        rows.append([label, f"{m * 1e3:.1f}", ratio])
    return rows


def main():
    def extra(ap):
        ap.add_argument("--base", help="build directory of the earlier fernquill")
        ap.add_argument("--sets", default="1000,10000,100000", help="keyword set sizes")
        ap.add_argument("--only", default="extract,batch,pickle", help="parts to run")
        ap.add_argument("--repeat", type=int, default=5)

    args = C.common_args(__doc__.split("\n")[0], extra)
    fernquill = C.import_fernquill()
    builds = [("this build", fernquill)]
    if args.base:
        builds.append(("base", C.load_build(args.base)))
    parts = args.only.split(",")
    corpus = prepare_data.read_text(prepare_data.CORPUS)
    repeat = 2 if args.quick else args.repeat

    if "extract" in parts:
        sets = [int(s) for s in args.sets.split(",")]
        headers = ["keywords", "matches"] + [f"{label} ms" for label, _ in builds]
        if len(builds) > 1:
            headers.append("this build faster")
        C.print_table(headers + ["same"], extract_rows(builds, corpus, sets, repeat),
                      title=f"== extract_keywords on the corpus ({C.utf8_len(corpus) / 1e6:.1f} MB),"
                            f" CPU ms, least of {repeat} ==")
    if "batch" in parts:
        lines = corpus.split("\n")
        shorts = prepare_data.load_short_texts()
        C.print_table(["build", "texts", "count", "loop ms", "batch ms", "batch faster",
                       "loop CPU", "batch caller CPU", "batch all CPU", "idle 2-core estimate",
                       "same"],
                      batch_rows(builds, [("corpus lines", lines), ("short texts", shorts)],
                                 prepare_data.load_keywords(10_000), repeat),
                      title=f"== parallel_extract_keywords_from_texts against a loop, 10k keywords,"
                            f" ms (the run of least wall time of {repeat}) ==")
    if "pickle" in parts:
        ahocorasick = C.optional_import("ahocorasick", "pyahocorasick")
        keywords = prepare_data.load_keywords(100_000)
        runs = max(repeat, 7)
        C.print_table(["pickle.loads, 100k keywords", "median ms", "faster than pyahocorasick"],
                      pickle_rows(builds, keywords, ahocorasick, runs),
                      title=f"== pickle.loads, CPU ms, median of {runs}, taking turns, gc off ==")
        rows = []
        for label, build_dir in [("this build", None)] + ([("base", args.base)] if args.base else []):
            built = resident_growth("built", build_dir)
            loaded = resident_growth("loaded", build_dir)
            rows.append([label, f"{built / 1e6:.1f}", f"{loaded / 1e6:.1f}",
                         C.fmt_ratio(loaded / built)])
        C.print_table(["build", "built MB", "loaded MB", "loaded / built"], rows,
                      title="== resident memory a 100k-keyword processor adds (fresh interpreter) ==")
    print(f"load average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    sys.exit(main())
