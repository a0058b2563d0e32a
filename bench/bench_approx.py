#!/usr/bin/env python3
"""Approximate extraction: fernquill with thresholds 0.9, 0.8, 0.7 and 0.5 on text with
typos, against exact extraction of the same text.

No peer has the same semantics (an edit search through the keyword trie from every
permitted start, scored against the clean name). For scale only, a rapidfuzz-based
approach is timed as well: the text is cut into windows of 1 to 3 words, every distinct
window is scored against every keyword with Levenshtein.normalized_similarity
(rapidfuzz.process.cdist, one thread), and at each word the best window reaching the
threshold is taken, left to right without overlap. That is a different semantics
(word-aligned windows, similarity against the keyword, not the clean name), so its
match counts are not expected to agree.

The text shrinks as the threshold falls, since the edit search grows quickly with the
number of edits allowed.

Run: PYTHONPATH=build-bench python3 bench/bench_approx.py [--quick]
"""

import re
import sys

import _common as C
import prepare_data

# threshold -> bytes of the typo text scanned (full run; --quick takes a fifth)
TEXT_SIZE = {0.9: 1_000_000, 0.8: 400_000, 0.7: 150_000, 0.5: 15_000}
RAPIDFUZZ_SIZE = 20_000
WORD_RE = re.compile(r"[a-z0-9]+")


class RapidfuzzMatcher:
    def __init__(self, rapidfuzz, keywords):
        low = C.lowered(keywords)
        self.keys = list(low.keys())
        self.cleans = list(low.values())
        self.rf = rapidfuzz

    def extract(self, text, threshold):
        process = self.rf.process
        scorer = self.rf.distance.Levenshtein.normalized_similarity
        low = text.lower()
        words = [(m.start(), m.end()) for m in WORD_RE.finditer(low)]
        windows = {}
        for i in range(len(words)):
            for k in range(3):
                if i + k < len(words):
                    windows.setdefault(low[words[i][0]:words[i + k][1]], None)
        uniq = list(windows)
        best = {}
        for c in range(0, len(uniq), 4000):
            chunk = uniq[c:c + 4000]
            scores = process.cdist(chunk, self.keys, scorer=scorer, score_cutoff=threshold,
                                   dtype="float32", workers=1)
            idx = scores.argmax(axis=1)
            for w, j, row in zip(chunk, idx, scores):
                if row[j] >= threshold:
                    best[w] = (float(row[j]), int(j))
        out = []
        i = 0
        while i < len(words):
            choice = None
            for k in range(3):
                if i + k < len(words):
                    hit = best.get(low[words[i][0]:words[i + k][1]])
                    if hit and (choice is None or hit[0] >= choice[0]):
                        choice = (hit[0], hit[1], k)
            if choice is None:
                i += 1
                continue
            score, j, k = choice
            out.append((self.cleans[j], words[i][0], words[i + k][1]))
            i += k + 1
        return out


def main():
    args = C.common_args(__doc__.split("\n")[0])
    fernquill = C.import_fernquill()
    rapidfuzz = C.optional_import("rapidfuzz", "rapidfuzz comparison")
    if rapidfuzz is not None:
        try:
            import numpy  # noqa: F401  (cdist returns a numpy array)
            import rapidfuzz.distance  # noqa: F401
            import rapidfuzz.process  # noqa: F401
        except ImportError as e:
            print(f"[skip] rapidfuzz comparison: {e}")
            rapidfuzz = None

    typo = prepare_data.read_text(prepare_data.TYPOS)
    scale = 0.2 if args.quick else 1.0
    repeat = 1 if args.quick else 3
    budget = 3.0 if args.quick else 5.0
    print(f"text: {prepare_data.TYPOS} (about one word in eight with a typo); "
          f"min of up to {repeat} runs")

    for n in (1000, 10000):
        kp = C.fq_build(fernquill, prepare_data.load_keywords(n))
        rf = RapidfuzzMatcher(rapidfuzz, prepare_data.load_keywords(n)) if rapidfuzz else None
        rows = []
        for th, size in TEXT_SIZE.items():
            text = typo[:int(size * scale)]
            nbytes = C.utf8_len(text)
            t_ex, exact = C.best_time(lambda: kp.extract_keywords(text), max(repeat, 5), budget)
            t_ap, approx = C.best_time(lambda: kp.extract_keywords(text, th), repeat, budget)
            sims = [m.similarity for m in approx]
            below_one = sum(1 for s in sims if s < 1.0)
            row = [th, f"{nbytes / 1e3:.0f}", f"{t_ap * 1e3:.0f}",
                   f"{C.mb_per_s(nbytes, t_ap):.3f}", f"{C.mb_per_s(nbytes, t_ex):.1f}",
                   f"{t_ap / t_ex:.0f}x", len(approx), below_one, len(exact)]
            if rf is not None:
                rf_size = min(RAPIDFUZZ_SIZE, size)
                rf_text = typo[:int(rf_size * scale)]
                t_rf, rf_res = C.best_time(lambda: rf.extract(rf_text, th), 1)
                fq_same = len(approx) if rf_size == size else len(kp.extract_keywords(rf_text, th))
                rf_bytes = C.utf8_len(rf_text)
                row += [f"{rf_bytes / 1e3:.0f}", f"{C.mb_per_s(rf_bytes, t_rf):.3f}",
                        len(rf_res), fq_same]
            rows.append(row)
        headers = ["threshold", "text KB", "approx ms", "approx MB/s", "exact MB/s",
                   "slowdown", "matches", "of them < 1.0", "exact matches"]
        if rf is not None:
            headers += ["rapidfuzz KB", "rapidfuzz MB/s", "rapidfuzz matches",
                        "fernquill on that text"]
        C.print_table(headers, rows, title=f"== {n} keywords ==")
    print("\nslowdown = approximate time / exact time on the same text. 'of them < 1.0' counts "
          "matches found only through edits.\nrapidfuzz runs a different semantics "
          "(see the header of this script); its MB/s is for scale only and its matches "
          "are word-aligned windows, so the counts differ by design.")


if __name__ == "__main__":
    sys.exit(main())
