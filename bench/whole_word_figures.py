#!/usr/bin/env python3
"""Corpus figures of the whole-word options of fernquill_tools.extract.

German (bench/prepare_german.py, 10,000 keywords): how many matches are glued
to a letter (a letter right before the start or at the end, by this
interpreter's Unicode data), for the module's scan and for words="unicode".

English (bench/prepare_data.py, 10,000 keywords): the matches of
`grep -F -w -i -o` against those of fallback=True (words="unicode" and
"ascii"), per keyword; every difference is listed with the context of a few
of its occurrences.

Usage: PYTHONPATH=<build> python3 bench/whole_word_figures.py [--german-only | --english-only]
"""

import argparse
import collections
import os
import subprocess
import sys
import tempfile
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import prepare_data  # noqa: E402
import prepare_german  # noqa: E402

import fernquill  # noqa: E402
import fernquill_tools  # noqa: E402


def is_letter(ch):
    return unicodedata.category(ch)[0] == "L"


def glued(text, start, end):
    return (start > 0 and is_letter(text[start - 1])) or (end < len(text) and is_letter(text[end]))


def processor(pairs):
    kp = fernquill.KeywordProcessor()
    for keyword, clean in pairs:
        kp.add_keyword(keyword, clean)
    return kp


def german():
    prepare_german.ensure_data()
    kp = processor(prepare_german.load_keywords())
    with open(prepare_german.CORPUS, encoding="utf-8") as f:
        paragraphs = f.read().splitlines()
    counts = collections.Counter()
    examples = collections.Counter()
    for p in paragraphs:
        module = fernquill_tools.char_offsets(p, kp.extract_keywords(p))
        unicode = fernquill_tools.extract(kp, p)
        counts["module"] += len(module)
        counts["unicode"] += len(unicode)
        for m in module:
            if glued(p, m.start, m.end):
                counts["module glued"] += 1
                examples[p[max(0, m.start - 3):m.end + 3]] += 1
        counts["unicode glued"] += sum(glued(p, m.start, m.end) for m in unicode)
    print(f"German corpus: {len(paragraphs)} paragraphs, 10,000 keywords")
    for kind in ("module", "unicode"):
        n, g = counts[kind], counts[f"{kind} glued"]
        print(f"  {kind:8} {n:9,} matches, {g:7,} glued to a letter ({100 * g / max(n, 1):.1f}%)")
    print("  most frequent glued spans of the module:",
          ", ".join(repr(s) for s, _ in examples.most_common(8)))


def english():
    prepare_data.ensure_data()
    pairs = prepare_data.load_keywords(10000)
    kp = processor(pairs)
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("".join(k.lower() + "\n" for k, _ in pairs))
        patterns = f.name
    env = dict(os.environ, LC_ALL="C.UTF-8")
    out = subprocess.run(["grep", "-F", "-w", "-i", "-o", "-f", patterns, prepare_data.CORPUS],
                         capture_output=True, env=env, check=False).stdout.decode()
    os.unlink(patterns)
    grep = collections.Counter(line.lower() for line in out.splitlines())
    with open(prepare_data.CORPUS, encoding="utf-8") as f:
        paragraphs = f.read().splitlines()
    print(f"English corpus: {len(paragraphs)} paragraphs, 10,000 keywords; "
          f"grep -F -w -i -o: {sum(grep.values()):,} matches")
    for words in ("unicode", "ascii"):
        ours = collections.Counter()
        contexts = collections.defaultdict(list)
        for p in paragraphs:
            low = p.lower()
            for m in fernquill_tools.extract(kp, p, words=words, fallback=True):
                span = low[m.start:m.end]
                ours[span] += 1
                if len(contexts[span]) < 3:
                    contexts[span].append(p[max(0, m.start - 12):m.end + 12])
        print(f"  fallback=True, words={words!r}: {sum(ours.values()):,} matches")
        only_grep = grep - ours
        only_ours = ours - grep
        print(f"    found by grep only: {sum(only_grep.values()):,} "
              f"({', '.join(f'{k!r} {v}' for k, v in only_grep.most_common(12))})")
        print(f"    found by fernquill only: {sum(only_ours.values()):,} "
              f"({', '.join(f'{k!r} {v}' for k, v in only_ours.most_common(12))})")
        for k, _ in only_ours.most_common(5):
            print(f"      {k!r}: e.g. {contexts[k]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--german-only", action="store_true")
    ap.add_argument("--english-only", action="store_true")
    args = ap.parse_args()
    if not args.english_only:
        german()
    if not args.german_only:
        english()


if __name__ == "__main__":
    main()
