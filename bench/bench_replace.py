#!/usr/bin/env python3
"""Replacement: fernquill.replace_keywords against peers, and against fernquill's own
extraction of the same text, in one run.

  fernquill        KeywordProcessor.replace_keywords (text outside the matches is kept
                   as given, upper case included)
  re.sub           the trie-shaped alternation of bench_extract in an atomic group with
                   word-boundary lookarounds, compiled with re.IGNORECASE, run on the
                   text as given, the clean name looked up in a dict of lower-cased
                   keywords
  pyahocorasick    spans found as in bench_extract (iter_long on text.lower() and the
                   word-boundary filter), then the pieces of the original text and the
                   clean names joined
  ahocorasick_rs   the same with a leftmost-longest automaton

Run: PYTHONPATH=build-bench python3 bench/bench_replace.py [--quick]
"""

import sys

import _common as C
import prepare_data


def main():
    args = C.common_args(__doc__.split("\n")[0], lambda ap: ap.add_argument(
        "--mb", type=float, default=None, help="text size in MB (default 8, quick 2)"))
    fernquill = C.import_fernquill()
    ahocorasick = C.optional_import("ahocorasick", "pyahocorasick")
    ahocorasick_rs = C.optional_import("ahocorasick_rs", "ahocorasick_rs")

    mb = args.mb if args.mb is not None else (2 if args.quick else 8)
    text = prepare_data.read_text(prepare_data.CORPUS)[:int(mb * 1e6)]
    nbytes = C.utf8_len(text)
    repeat = 1 if args.quick else 3
    budget = 2.0 if args.quick else 5.0
    print(f"text: {nbytes / 1e6:.1f} MB of {prepare_data.CORPUS}; min of up to {repeat} runs")

    notes = []
    for n in (10000, 100000):
        keywords = prepare_data.load_keywords(n)
        kp = C.fq_build(fernquill, keywords)
        t_rep, out_fq = C.best_time(lambda: kp.replace_keywords(text), repeat, budget)
        t_ext, matches = C.best_time(lambda: kp.extract_keywords(text), repeat, budget)
        count = len(matches)
        del matches
        tools = []
        rx = C.ReSub(keywords)
        tools.append(("re.sub", lambda: rx.replace(text)))
        if ahocorasick:
            a = C.pyac_build(ahocorasick, keywords)
            tools.append(("pyahocorasick", lambda: C.join_spans(text, C.pyac_extract(a, text))))
        if ahocorasick_rs:
            rs = C.RsMatcher(ahocorasick_rs, keywords)
            tools.append(("ahocorasick_rs", lambda: C.join_spans(text, rs.extract(text))))

        rows = [["fernquill replace", f"{t_rep * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_rep):.1f}",
                 "1.00x", "-"],
                ["fernquill extract", f"{t_ext * 1e3:.0f}", f"{C.mb_per_s(nbytes, t_ext):.1f}",
                 f"{t_ext / t_rep:.2f}x", "-"]]
        for name, fn in tools:
            t, out = C.best_time(fn, repeat, budget)
            same = out == out_fq
            if name == "re.sub" and not same:
                notes.append(f"!! {n} keywords: re.sub output differs from fernquill's")
            rows.append([name, f"{t * 1e3:.0f}", f"{C.mb_per_s(nbytes, t):.1f}",
                         C.fmt_ratio(t / t_rep), "same" if same else "differs"])
            del out
        C.print_table(["tool", "ms", "MB/s", "fernquill replace speed-up",
                       "output vs fernquill"], rows,
                      title=f"== {n} keywords, {count} replacements ==")
        print(f"fernquill replace costs {t_rep / t_ext:.2f}x its extraction of the same text "
              f"(+{(t_rep - t_ext) * 1e3:.0f} ms)")
        del out_fq, kp, tools
    print("\nre.sub must give fernquill's output exactly. The Aho-Corasick outputs differ "
          "where their\nspans do (see bench_extract: matches starting inside words hide "
          "word-start matches).")
    for note in notes:
        print(note)


if __name__ == "__main__":
    sys.exit(main())
