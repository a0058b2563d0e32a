#!/usr/bin/env python3
"""Approximate extraction on the typo corpus (bench/data/typos.txt) with 1k and 10k
keywords at thresholds 0.9, 0.8, 0.7, 0.5 and 0.3, side by side in one run:

- this build of fernquill (PYTHONPATH) against an earlier build given with --base (a
  build directory holding its fernquill*.so, e.g. one made from an older commit in a
  scratch worktree); the matches of the two must be identical, match for match;
- hyperscan's edit-distance mode, each keyword given the same edit budget k(w, t) that
  bounds fernquill's search (the largest e with f32(1 - e / max(|w| + e, len(clean)))
  >= t), compiled in a child process with a time limit (large sets take minutes);
- the `regex` module's fuzzy alternation with the same budgets, on a short prefix.

The peers report every (keyword, end) they find, not fernquill's one best match per
start, so only their speed is comparable; their match counts are printed for scale.
Times are CPU seconds of this process (the child's for hyperscan), min of the repeats.

Run: PYTHONPATH=build-dev python3 bench/bench_approx.py --base /tmp/approx-base/build
"""

import importlib.util
import multiprocessing
import os
import re
import struct
import sys
import time

import _common as C
import prepare_data

# threshold -> bytes of the typo text scanned (--quick takes a fifth)
TEXT_SIZE = {0.9: 1_000_000, 0.8: 400_000, 0.7: 150_000, 0.5: 15_000, 0.3: 2_000}
REGEX_SIZE = 2_000


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def budget(keyword_len, name_len, t):
    """k(w, t): the largest e whose best possible similarity still meets t."""
    e = 0
    while f32(1 - f32(f32(e + 1) / f32(max(keyword_len + e + 1, name_len)))) >= t and e < 64:
        e += 1
    return e


def budgets(keywords, t):
    out = []
    for k, c in C.lowered(keywords).items():
        kb = k.encode()
        out.append((kb, budget(len(kb), len((c if c is not None else k).encode()), f32(t))))
    return out


def cpu_time(fn, repeat):
    (best,), (result,) = C.cpu_times([fn], repeat)
    return best, result


def hyperscan_child(pairs, data, out):
    import hyperscan

    t0 = time.process_time()
    db = hyperscan.Database()
    exts = [hyperscan.ExpressionExt(flags=hyperscan.HS_EXT_FLAG_EDIT_DISTANCE if e else 0,
                                    min_offset=0, max_offset=0, min_length=0, edit_distance=e,
                                    hamming_distance=0) for _, e in pairs]
    try:
        db.compile(expressions=[re.escape(k) for k, _ in pairs], ids=list(range(len(pairs))),
                   elements=len(pairs), flags=[0] * len(pairs), ext=exts)
    except hyperscan.error as e:
        out.put(("error", str(e)))
        return
    compile_s = time.process_time() - t0
    count = [0]

    def on_match(*_):
        count[0] += 1

    scan_s, _ = cpu_time(lambda: db.scan(data, match_event_handler=on_match), 2)
    out.put(("ok", compile_s, scan_s, count[0] // 2))


def hyperscan_run(pairs, data, limit):
    """(compile s, scan s, matches), or a reason why there is none."""
    try:
        import hyperscan  # noqa: F401
    except ImportError:
        return "not installed"
    ctx = multiprocessing.get_context("fork")
    out = ctx.Queue()
    child = ctx.Process(target=hyperscan_child, args=(pairs, data, out))
    child.start()
    child.join(limit)
    if child.is_alive():
        child.kill()
        child.join()
        return f"compile > {limit:.0f} s"
    result = out.get() if not out.empty() else ("error", "no result")
    return result[1:] if result[0] == "ok" else f"error: {result[1][:40]}"


def regex_run(pairs, text):
    try:
        import regex
    except ImportError:
        return "not installed"
    parts = [f"(?:{regex.escape(k.decode())}){{e<={e}}}" if e else regex.escape(k.decode())
             for k, e in pairs]
    pattern = regex.compile("|".join(parts))
    seconds, found = cpu_time(lambda: sum(1 for _ in pattern.finditer(text)), 1)
    return seconds, found


def main():
    def extra(ap):
        ap.add_argument("--base", help="build directory of the earlier fernquill to compare with")
        ap.add_argument("--hyperscan-limit", type=float, default=240.0,
                        help="seconds allowed for a hyperscan compile")
        ap.add_argument("--counts", default="1000,10000", help="keyword counts, comma-separated")
        ap.add_argument("--thresholds", default=",".join(str(t) for t in TEXT_SIZE),
                        help="thresholds, comma-separated, among " + ", ".join(map(str, TEXT_SIZE)))

    args = C.common_args(__doc__.split("\n")[0], extra)
    fernquill = C.import_fernquill()
    base = C.load_build(args.base) if args.base else None
    typo = prepare_data.read_text(prepare_data.TYPOS)
    scale = 0.2 if args.quick else 1.0
    repeat = 1 if args.quick else 5
    print(f"text: {prepare_data.TYPOS}; CPU seconds, min of {repeat} runs taken in turns"
          + (f"; earlier build: {args.base}" if base else ""))

    for n in [int(c) for c in args.counts.split(",")]:
        keywords = prepare_data.load_keywords(n)
        kp = C.fq_build(fernquill, keywords)
        kp_base = C.fq_build(base, keywords) if base else None
        rows = []
        for th in [float(t) for t in args.thresholds.split(",")]:
            size = TEXT_SIZE[th]
            text = typo[:int(size * scale)]
            data = text.lower().encode()
            nbytes = C.utf8_len(text)
            kp.extract_keywords(text[:100], th)  # builds the threshold's structures
            runs = [lambda: kp.extract_keywords(text, th)]
            if kp_base is not None:
                runs.append(lambda: kp_base.extract_keywords(text, th))
            times, found = C.cpu_times(runs, repeat)
            t_new = times[0]
            new = [(m.keyword, m.similarity, m.start, m.end) for m in found[0]]
            row = [th, f"{nbytes / 1e3:.0f}", f"{C.mb_per_s(nbytes, t_new):.2f}", len(new)]
            if kp_base is not None:
                t_old = times[1]
                old = [(m.keyword, m.similarity, m.start, m.end) for m in found[1]]
                row += [f"{C.mb_per_s(nbytes, t_old):.2f}", f"{t_old / t_new:.1f}x",
                        "yes" if old == new else "NO"]
            pairs = budgets(keywords, th)
            hs = hyperscan_run(pairs, data, args.hyperscan_limit)
            if isinstance(hs, str):
                row += [hs, "-", "-"]
            else:
                row += [f"{hs[0]:.1f}", f"{C.mb_per_s(len(data), hs[1]):.2f}",
                        f"{hs[1] / t_new * nbytes / len(data):.2f}x"]
            short = text[:int(REGEX_SIZE * scale)]
            rx = regex_run(pairs, short.lower())
            if isinstance(rx, str):
                row += [rx, "-"]
            else:
                t_short, _ = cpu_time(lambda: kp.extract_keywords(short, th), repeat)
                row += [f"{C.mb_per_s(C.utf8_len(short), rx[0]):.4f}",
                        f"{rx[0] / max(t_short, 1e-9):.2f}x"]
            rows.append(row)
            print(f"  done {n} keywords, t={th}", flush=True)
        headers = ["threshold", "text KB", "fernquill MB/s", "matches"]
        if kp_base is not None:
            headers += ["earlier MB/s", "speed-up", "identical"]
        headers += ["hyperscan compile s", "hyperscan MB/s", "fernquill vs hyperscan",
                    "regex MB/s", "fernquill vs regex"]
        C.print_table(headers, rows, title=f"== {n} keywords ==")
    print("\nspeed-up = earlier build's time / this build's time on the same text. "
          "'fernquill vs X' = X's time / fernquill's time (above 1: fernquill is faster). "
          "regex runs on the first 2 KB only.")


if __name__ == "__main__":
    sys.exit(main())
