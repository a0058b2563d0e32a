"""The `fernquill extract` command against the library's batch extraction on the
same corpus: throughput of each and the ratio, with and without the [cli] extra
(orjson), in one run. Output of the command goes to /dev/null.

    PYTHONPATH=build-bench:python python3 bench/bench_cli.py [--quick] [--keywords 10000]
"""

import os
import subprocess
import sys

from _common import best_time, common_args, import_fernquill

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
# Runs the command with the optional packages hidden, as without the [cli] extra.
WITHOUT_EXTRA = "import sys; sys.modules['orjson'] = sys.modules['tqdm'] = None; " \
                "from fernquill_tools.cli import main; sys.exit(main())"
WITH_EXTRA = "import sys; from fernquill_tools.cli import main; sys.exit(main())"


def main():
    args = common_args(__doc__.splitlines()[0], lambda ap: ap.add_argument("--keywords", default="10000"))
    fernquill = import_fernquill()
    import fernquill_tools

    corpus = os.path.join(DATA, "corpus.txt")
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

    def batch():
        return kp.parallel_extract_keywords_from_texts(lines)

    def command(code):
        cmd = [sys.executable, "-c", code, "extract", "-k", keywords, corpus]

        def run():
            with open(os.devnull, "wb") as sink:
                subprocess.run(cmd, stdout=sink, check=True)

        return run

    # Rounds of all three, so that each side meets the same changes of load on a
    # shared machine; the best of each counts.
    runs = {"batch method (in memory)": batch, "CLI with [cli] extra": command(WITH_EXTRA),
            "CLI without the extra": command(WITHOUT_EXTRA)}
    best = dict.fromkeys(runs, float("inf"))
    result = None
    for _ in range(2 if args.quick else 3):
        for label, fn in runs.items():
            t, out = best_time(fn, repeat=1)
            best[label] = min(best[label], t)
            if label.startswith("batch"):
                result = out
    print(f"corpus {size / 1e6:.1f} MB, {len(lines)} lines, keywords_{args.keywords}, "
          f"{sum(map(len, result))} matches")
    print(f"{'':28} {'MB/s':>8} {'ratio to batch':>15}")
    base = best["batch method (in memory)"]
    for label, t in best.items():
        print(f"{label:28} {size / t / 1e6:8.1f} {base / t:15.2f}")

if __name__ == "__main__":
    main()
