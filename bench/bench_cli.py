"""The `fernquill extract` command side by side with what a user would compare it
with, in one run, the contenders taking turns in each round: the library's batch
method on the same lines in memory, the command without the [cli] extra, an
older build of the command (--old-python, e.g. a venv built from an earlier
commit), `fernquill_tools.columns.extract` on the same lines as a pyarrow
column, and ripgrep's fixed-string search for the lower-cased keywords in the
lower-cased corpus (an easier task: no word boundaries, no case folding).
Output of the commands goes to /dev/null; times are wall-clock, best of the rounds.
Beside them, the CPU time of each (user and system, all threads; of the child
process for a command): on a shared machine, where other work takes turns with
the pool, it is the steadier of the two.

    python3 bench/bench_cli.py [--quick] [--keywords 10000] [--old-python /path/to/venv/bin/python]
                               [--words ascii] [--corpus FILE]

The command and the column call both scan with --words (ascii by default: the
batch method's own scan, and a test an older build knows).
"""

import os
import resource
import shutil
import subprocess
import sys

from _common import best_time, common_args, import_fernquill

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
# Runs the command with the optional packages hidden, as without the [cli] extra.
WITHOUT_EXTRA = "import sys; sys.modules['orjson'] = sys.modules['tqdm'] = None; " \
                "from fernquill_tools.cli import main; sys.exit(main())"
WITH_EXTRA = "import sys; from fernquill_tools.cli import main; sys.exit(main())"
BASELINE = "batch method (in memory)"


def arguments(ap):
    ap.add_argument("--keywords", default="10000")
    ap.add_argument("--old-python", help="an interpreter with an earlier build of fernquill and its command")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--words", choices=("ascii", "unicode"), default="ascii")
    ap.add_argument("--corpus", help="another input than the benchmark corpus, e.g. it repeated to 200 MB")


def lower_cased_copy(path, suffix):
    """The file lower-cased beside the data (made once), for ripgrep."""
    target = os.path.join(DATA, os.path.basename(path) + suffix)
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(path):
        with open(path, encoding="utf-8") as f, open(target, "w", encoding="utf-8") as out:
            out.write(f.read().lower())
    return target


def keyword_list(tsv):
    target = os.path.join(DATA, os.path.basename(tsv) + ".keywords.lower.txt")
    if not os.path.exists(target):
        with open(tsv, encoding="utf-8") as f, open(target, "w", encoding="utf-8") as out:
            out.writelines(line.split("\t")[0].lower() + "\n" for line in f if line.strip())
    return target


def command(argv):
    def run():
        with open(os.devnull, "wb") as sink:
            subprocess.run(argv, stdout=sink, check=True)

    run.in_child = True  # its CPU time is the child's
    return run


def contenders(args, kp, lines, corpus, keywords):
    runs = {BASELINE: lambda: kp.parallel_extract_keywords_from_texts(lines)}
    words = ["--words", args.words]
    runs["CLI (this build)"] = command([sys.executable, "-c", WITH_EXTRA, "extract", *words, "-k", keywords, corpus])
    runs["CLI without the extra"] = command(
        [sys.executable, "-c", WITHOUT_EXTRA, "extract", *words, "-k", keywords, corpus])
    if args.old_python:
        runs["CLI, older build"] = command(
            [args.old_python, "-c", WITH_EXTRA, "extract", *words, "-k", keywords, corpus])
    try:
        import pyarrow
        from fernquill_tools import columns
    except ImportError as exc:
        print(f"[skip] columns.extract: {exc}")
    else:
        column = pyarrow.array(lines)
        runs["columns.extract (pyarrow)"] = lambda: columns.extract(kp, column, words=args.words)
    rg = shutil.which("rg")
    if rg:
        runs["rg -F -o -f (lower-cased)"] = command(
            [rg, "-F", "-o", "-f", keyword_list(keywords), lower_cased_copy(corpus, ".lower.txt")])
    else:
        print("[skip] ripgrep: apt-get install ripgrep")
    return runs


def main():
    args = common_args(__doc__.splitlines()[0], arguments)
    fernquill = import_fernquill()
    import fernquill_tools

    corpus = args.corpus or os.path.join(DATA, "corpus.txt")
    keywords = os.path.join(DATA, f"keywords_{args.keywords}.tsv")
    if args.quick:  # the first 4 MB
        quick = os.path.join(DATA, "corpus_head.txt")
        with open(corpus, "rb") as f, open(quick, "wb") as out:
            out.write(f.read(4 << 20).rpartition(b"\n")[0] + b"\n")
        corpus = quick
    size = os.path.getsize(corpus)
    kp = fernquill.KeywordProcessor()
    fernquill_tools.load_keywords(kp, keywords)
    with open(corpus, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines[-1] == "":
        lines.pop()

    # Rounds of every contender, so that each meets the same changes of load on
    # a shared machine; the best of each counts.
    runs = contenders(args, kp, lines, corpus, keywords)
    best = dict.fromkeys(runs, float("inf"))
    best_cpu = dict.fromkeys(runs, float("inf"))
    for _ in range(1 if args.quick else args.rounds):
        for label, fn in runs.items():
            in_child = getattr(fn, "in_child", False)
            before = cpu_seconds(in_child)
            t, _ = best_time(fn, repeat=1)
            best[label] = min(best[label], t)
            best_cpu[label] = min(best_cpu[label], cpu_seconds(in_child) - before)
    print(f"corpus {size / 1e6:.1f} MB, {len(lines)} lines, keywords_{args.keywords}")
    print(f"{'':30} {'seconds':>8} {'MB/s':>8} {'x batch':>8} {'x CLI':>8} {'CPU s':>8} {'x CLI CPU':>10}")
    cli, cli_cpu = best["CLI (this build)"], best_cpu["CLI (this build)"]
    for label, t in best.items():
        cpu = best_cpu[label]
        print(f"{label:30} {t:8.3f} {size / t / 1e6:8.1f} {best[BASELINE] / t:8.2f} {cli / t:8.2f} "
              f"{cpu:8.3f} {cli_cpu / cpu:10.2f}")
    print("x batch: the batch method's time over this one; x CLI: this build's command's time over this one;")
    print("CPU s: user and system seconds of all its threads; x CLI CPU: the command's over this one")


def cpu_seconds(children):
    """User and system time of this process, or of its finished children."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN if children else resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


if __name__ == "__main__":
    main()
