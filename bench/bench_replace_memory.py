#!/usr/bin/env python3
"""Peak memory of one replace_keywords call, per kind of text, each in a fresh
interpreter: the rise of the resident high-water mark (VmHWM, reset just before
the call) over the resident size before it, with the text already made.

Given per text as a ratio to the text's size in memory (sys.getsizeof) and to its
UTF-8 size. Kinds:
  ascii        ASCII words, a keyword about every 2 KB
  leading-I    the same with one U+0130 first (the whole str becomes 2 bytes a
               character, and lower-casing changes byte lengths)
  dense-I      U+0130 and ASCII words alternating (length changes everywhere)
  dense-kelvin U+212A (3 UTF-8 bytes, folds to 1) and ASCII words alternating

Run: PYTHONPATH=build-dev python3 bench/bench_replace_memory.py [--mb 100] [--kinds ...]
"""

import argparse
import os
import subprocess
import sys

CHILD = r"""
import sys
from fernquill import KeywordProcessor

def kib(field):
    return int(open("/proc/self/status").read().split(field + ":")[1].split()[0]) * 1024

kind, size = sys.argv[1], int(sys.argv[2])
filler = "lorem ipsum dolor sit amet consectetur " * 50 + "apple "
if kind == "ascii":
    unit = filler
elif kind == "leading-I":
    unit = filler
elif kind == "dense-I":
    unit = "\u0130x "
else:
    unit = "\u212Ax "
text = (unit * (size // len(unit.encode()) + 1))
text = text[:len(text) * size // len(text.encode())]
if kind == "leading-I":
    text = "\u0130" + text[1:]
kp = KeywordProcessor()
kp.add_keyword("apple", "pear")
kp.add_keyword("ix", "Q")
kp.extract_keywords("warm up apple")
utf8 = len(text.encode())
in_memory = sys.getsizeof(text)
base = kib("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from here
out = kp.replace_keywords(text)
peak = kib("VmHWM") - base
print(peak, in_memory, utf8)
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--kinds", nargs="*", default=["ascii", "leading-I", "dense-I", "dense-kelvin"])
    args = ap.parse_args()
    print(f"{'text':14} {'UTF-8 MB':>9} {'str MB':>8} {'peak MB':>8} {'peak/str':>9} {'peak/UTF-8':>11}")
    for kind in args.kinds:
        out = subprocess.run([sys.executable, "-c", CHILD, kind, str(args.mb << 20)], capture_output=True,
                             text=True, env=os.environ)
        if out.returncode != 0:
            print(f"{kind:14} failed: {out.stderr.strip()[-300:]}")
            continue
        peak, in_memory, utf8 = map(int, out.stdout.split())
        mb = 1 << 20
        print(f"{kind:14} {utf8 / mb:9.1f} {in_memory / mb:8.1f} {peak / mb:8.1f} {peak / in_memory:9.2f} "
              f"{peak / utf8:11.2f}")


if __name__ == "__main__":
    main()
