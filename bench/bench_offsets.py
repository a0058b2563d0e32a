"""Cost of the character-offset helpers of fernquill_tools relative to
extract_keywords on the same texts, one call per corpus line, in one run:
ASCII lines (the fast path), non-ASCII lines whose lower-casing keeps byte
lengths, and the same lines with 'İ' and the Kelvin sign in front (the path
that maps through folded characters).

Each column times a list comprehension over the lines; "net" subtracts the same
comprehension around no call at all, which both sides pay. The last columns
compare char_offsets_many with the batch method (worker pool) on the same lines.

    PYTHONPATH=build-bench:python python3 bench/bench_offsets.py [--quick] [--keywords 10000]
"""

import _common as C
import prepare_data

from fernquill_tools import char_offsets, char_offsets_many, char_spans, load_keywords


def main():
    args = C.common_args(__doc__.splitlines()[0], lambda ap: ap.add_argument("--keywords", default="10000"))
    fernquill = C.import_fernquill()
    kp = fernquill.KeywordProcessor()
    load_keywords(kp, f"{C.HERE}/data/keywords_{args.keywords}.tsv")
    lines = prepare_data.read_text(prepare_data.CORPUS).split("\n")
    if args.quick:
        lines = lines[:20000]
    groups = {
        "ASCII lines": [s for s in lines if s.isascii()],
        "non-ASCII lines": [s for s in lines if not s.isascii()],
    }
    groups["'İ\u212a' + non-ASCII lines"] = ["İ\u212a " + s for s in groups["non-ASCII lines"]]
    repeat = 3 if args.quick else 5
    rows = []
    for label, texts in groups.items():
        t_extract, found = C.best_time(lambda: [kp.extract_keywords(s) for s in texts], repeat)
        pairs = list(zip(texts, found))
        t_offsets, _ = C.best_time(lambda: [char_offsets(s, m) for s, m in pairs], repeat)
        t_spans, _ = C.best_time(lambda: [char_spans(s, m) for s, m in pairs], repeat)
        t_loop, _ = C.best_time(lambda: [m for s, m in pairs], repeat)
        t_batch, batch = C.best_time(lambda: kp.parallel_extract_keywords_from_texts(texts), repeat)
        t_many, _ = C.best_time(lambda: char_offsets_many(texts, batch), repeat)
        size = sum(len(s.encode()) for s in texts)
        net = t_extract - t_loop
        rows.append([label, len(texts), f"{size / 1e6:.1f}", sum(map(len, found)), f"{t_extract * 1e3:.0f}",
                     f"{t_offsets * 1e3:.1f}", f"{100 * t_offsets / t_extract:.1f}%",
                     f"{100 * (t_offsets - t_loop) / net:.1f}%",
                     f"{t_spans * 1e3:.1f}", f"{100 * t_spans / t_extract:.1f}%",
                     f"{100 * (t_spans - t_loop) / net:.1f}%",
                     f"{t_batch * 1e3:.0f}", f"{t_many * 1e3:.1f}", f"{100 * t_many / t_batch:.1f}%"])
    C.print_table(["texts", "count", "MB", "matches", "extract ms", "char_offsets ms", "of extract", "net",
                   "char_spans ms", "of extract", "net", "batch ms", "char_offsets_many ms", "of batch"], rows,
                  title=f"== keywords_{args.keywords}, one call per line ==")


if __name__ == "__main__":
    main()
