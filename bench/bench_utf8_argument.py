"""What reading a str argument as UTF-8 costs, per kind of str.

A non-ASCII str has no UTF-8 form of its own. The scans that only read a text
use CPython's cached copy, made on the first call and kept on the caller's str
for the str's life; a private copy made and dropped on each call would cost one
encoding per call instead. So this prints, for each kind and size of text,
alternating in one run:

- the time of `extract_keywords(text)` and of `text.encode()` on a str without
  a cached copy (the encoding a private copy makes every call), and their
  ratio: the share of a repeated call that the cached copy saves;
- how much `sys.getsizeof(text)` grows after a first call (the cached copy:
  `len(text.encode()) + 1` bytes, kept until the str dies).

With `--against PYTHON`, the same calls are also timed under another interpreter
(for instance a venv with an older build), the two taking turns, and the ratio
of their medians is printed per text.

    python bench/bench_utf8_argument.py [--rounds 15 | --quick] [--against /venv/bin/python]
"""

import argparse
import json
import random
import statistics
import subprocess
import sys
import time

from fernquill import KeywordProcessor

VOCABULARY = {
    "ascii": "the city of new york has many old buildings and quiet streets near the river".split(),
    "latin-1": "le café crème à côté de la gare était fermé après une journée très chargée".split(),
    "two-byte": "в москве зимой холодно но улицы города полны людей и огней вечером".split(),
    "four-byte": "the 😀 party 🎉 had cake 🍰 and music 🎵 until late 🌙 night".split(),
}
SIZES = {"1 KB": 1 << 10, "1 MB": 1 << 20}
KEYWORDS = 1000


def make_text(kind, size, rng):
    words = VOCABULARY[kind]
    parts, length = [], 0
    while length < size:
        word = rng.choice(words)
        parts.append(word)
        length += len(word.encode()) + 1
    return " ".join(parts)


def make_processor(rng):
    kp = KeywordProcessor()
    pool = [w for words in VOCABULARY.values() for w in words]
    for i in range(KEYWORDS):
        kp.add_keyword(f"{rng.choice(pool)} {rng.choice(pool)}" if i % 2 else f"{rng.choice(pool)}{i}")
    return kp


def per_call(fn, text, budget=0.05):
    """Seconds per call of fn(text), over enough calls to fill the budget."""
    calls, start = 0, time.perf_counter()
    while True:
        fn(text)
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= budget:
            return elapsed / calls


def cases():
    rng = random.Random(1)
    kp = make_processor(rng)
    for kind in VOCABULARY:
        for size_name, size in SIZES.items():
            yield f"{kind:9} {size_name}", kp, make_text(kind, size, rng)


def worker(rounds):
    """Median seconds per extract_keywords call per case, as JSON (for --against)."""
    out = {}
    for name, kp, text in cases():
        out[name] = statistics.median(per_call(kp.extract_keywords, text) for _ in range(rounds))
    print(json.dumps(out))


def in_process(rounds):
    print(f"{'text':14} {'extract':>10} {'encode':>10} {'share':>7} {'str grows':>10} {'cached copy':>12}")
    for name, kp, text in cases():
        extract, encode = [], []
        uncached = text[:-1] + text[-1]  # str.encode() reuses a cached copy, so time a twin without one
        for _ in range(rounds):  # the two take turns
            extract.append(per_call(kp.extract_keywords, text))
            encode.append(per_call(str.encode, uncached))
        unused = text[:-1] + text[-1]  # a str no call has seen yet
        before = sys.getsizeof(unused)
        kp.extract_keywords(unused)
        grown = sys.getsizeof(unused) - before
        e, c = statistics.median(extract), statistics.median(encode)
        if text.isascii():  # read in place either way
            print(f"{name:14} {e * 1e6:8.1f}us {'-':>10} {'-':>7} {grown:9}B {0:11}B")
            continue
        cached = len(text.encode()) + 1
        print(f"{name:14} {e * 1e6:8.1f}us {c * 1e6:8.1f}us {c / e:7.1%} {grown:9}B {cached:11}B")


def against(rounds, other):
    mine, theirs = [], []
    for _ in range(rounds):  # the interpreters take turns
        for runs, python in ((mine, sys.executable), (theirs, other)):
            result = subprocess.run([python, __file__, "--worker", "--rounds", "1"], capture_output=True,
                                    text=True, check=True)
            runs.append(json.loads(result.stdout))
    print(f"\n{'text':14} {'this':>10} {'other':>10} {'this/other':>11}   ({other})")
    for name in mine[0]:
        a = statistics.median(r[name] for r in mine)
        b = statistics.median(r[name] for r in theirs)
        print(f"{name:14} {a * 1e6:8.1f}us {b * 1e6:8.1f}us {a / b:11.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--quick", action="store_true", help="3 rounds")
    parser.add_argument("--against", metavar="PYTHON", help="another interpreter to time beside this one")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.rounds = 3
    if args.worker:
        worker(args.rounds)
        return
    in_process(args.rounds)
    if args.against:
        against(args.rounds, args.against)


if __name__ == "__main__":
    main()
