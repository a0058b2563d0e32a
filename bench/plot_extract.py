"""Bar chart of extraction throughput, fernquill beside its peers, from the
JSON that `bench_extract.py --json` writes; also prints the table as Markdown.

    PYTHONPATH=build-bench python3 bench/bench_extract.py --sets 1000,10000 --json bench/extract.json
    python3 bench/plot_extract.py bench/extract.json bench/extract.png    # needs matplotlib
"""

import argparse
import json

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

TOOLS = ["fernquill", "pyahocorasick", "ahocorasick_rs", "hyperscan", "re"]
COLOURS = ["#2a7d4f", "#8c8c8c", "#b0b0b0", "#6f8fb5", "#d3a45a"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("results", help="JSON written by bench_extract.py --json")
    ap.add_argument("png", help="chart to write")
    args = ap.parse_args()
    with open(args.results) as f:
        data = json.load(f)
    sets = sorted(data["mb_per_s"], key=int)
    tools = [t for t in TOOLS if any(t in data["mb_per_s"][s] for s in sets)]

    fig, ax = plt.subplots(figsize=(7.5, 3.6), dpi=120)
    width = 0.8 / len(tools)
    for i, (tool, colour) in enumerate(zip(tools, COLOURS)):
        values = [data["mb_per_s"][s].get(tool, 0) for s in sets]
        bars = ax.bar([x + i * width for x in range(len(sets))], values, width, label=tool, color=colour)
        ax.bar_label(bars, fmt="%.0f", fontsize=7, padding=1)
    ax.set_xticks([x + width * (len(tools) - 1) / 2 for x in range(len(sets))])
    ax.set_xticklabels([f"{int(s):,} keywords" for s in sets])
    ax.set_ylabel("MB/s (higher is better)")
    ax.set_title(f"Keyword extraction, {data['text_mb']} MB of English prose, one thread")
    ax.legend(frameon=False, fontsize=8)
    ax.spines[["top", "right"]].set_visible(False)
    fig.tight_layout()
    fig.savefig(args.png)

    print("| tool | " + " | ".join(f"{int(s):,} keywords" for s in sets) + " |")
    print("|---|" + "---:|" * len(sets))
    for tool in tools:
        cells = []
        for s in sets:
            mbs = data["mb_per_s"][s].get(tool)
            ratio = data["mb_per_s"][s]["fernquill"] / mbs if mbs else None
            cells.append("-" if mbs is None else f"{mbs:.0f} MB/s" + ("" if tool == "fernquill" else f" ({ratio:.1f}x)"))
        print(f"| {tool} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
