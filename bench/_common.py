"""Helpers shared by the benchmark scripts: timing, tables, peers, result checks.

Every extractor here returns a list of (clean name, start, end) over the lower-cased
text; fernquill's own results are PyKeywordMatch objects with byte offsets, which
`fq_spans` and `to_char_offsets` turn into comparable spans.
"""

import argparse
import importlib.util
import gc
import hashlib
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import prepare_data  # noqa: E402

# Word characters of a default fernquill processor (ASCII letters and digits).
WORD_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
WORD_BYTES = frozenset(ord(c) for c in WORD_CHARS)
# See fq_build.
WARM_UP_BYTES_PER_KEYWORD_BYTE = 8


def import_fernquill():
    try:
        import fernquill
    except ImportError as e:
        sys.exit(f"cannot import fernquill ({e}); build it and run with "
                 "PYTHONPATH=<build dir>, e.g. PYTHONPATH=build-bench")
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(fernquill.__file__)))
    print(f"fernquill: {fernquill.__file__} (built {built})")
    return fernquill


def optional_import(name, note):
    try:
        return __import__(name)
    except ImportError as e:
        print(f"[skip] {note}: {name} not importable ({e}); pip install -r bench/requirements.txt")
        return None


def common_args(description, extra=None):
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--quick", action="store_true", help="less data, fewer repeats")
    if extra:
        extra(ap)
    args = ap.parse_args()
    prepare_data.ensure_data()
    # Other processes on the machine skew every figure; say how busy it was.
    print(f"load average at start: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    return args


# ---------------------------------------------------------------------------
# Timing


def best_time(fn, repeat=3, budget=None):
    """Runs fn() `repeat` times (fewer once `budget` seconds are spent, at least once)
    with the cyclic garbage collector off, as timeit does; returns (min seconds, result
    of the last run)."""
    times = []
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t0)
        finally:
            gc.enable()
        if budget is not None and sum(times) >= budget:
            break
    return min(times), result


def load_build(directory):
    """The fernquill module of a build directory, loaded beside the one on PYTHONPATH."""
    found = [f for f in os.listdir(directory) if f.startswith("fernquill") and f.endswith(".so")]
    if not found:
        sys.exit(f"no fernquill*.so in {directory}")
    module_origin = importlib.util.spec_from_file_location("fernquill", os.path.join(directory, found[0]))
    module = importlib.util.module_from_spec(module_origin)
    module_origin.loader.exec_module(module)
    return module


def cpu_times(fns, repeat):
    """Min CPU seconds and last result of each function. The functions take
    turns, so that a slow spell of the shared machine falls on all alike."""
    best, results = [None] * len(fns), [None] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.process_time()
            results[k] = fn()
            spent = time.process_time() - t0
            best[k] = spent if best[k] is None else min(best[k], spent)
    return best, results


def mb_per_s(nbytes, seconds):
    return nbytes / seconds / 1e6


def utf8_len(text):
    return len(text.encode("utf-8"))


def print_table(headers, rows, title=None):
    cells = [[str(h) for h in headers]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    if title:
        print(f"\n{title}")
    line = "  ".join("-" * w for w in widths)
    for k, r in enumerate(cells):
        print("  ".join(c.rjust(w) if k and i else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))))
        if k == 0:
            print(line)


def fmt_ratio(x):
    return f"{x:.2f}x"


# ---------------------------------------------------------------------------
# Keyword processors


def fq_build(fernquill, keywords):
    """A processor holding the keywords, its exact scan index already compiled. After a
    change, scans use the store's own walk until their work pays for a compile, or compile
    at once for a text longer than that budget (under 8 bytes per keyword byte): the
    warm-up text here is that long, and all blanks, so scanning it costs next to nothing."""
    kp = fernquill.KeywordProcessor()
    for k, c in keywords:
        kp.add_keyword(k, c)
    kp.extract_keywords(" " * (WARM_UP_BYTES_PER_KEYWORD_BYTE * (1 + sum(utf8_len(k) for k, _ in keywords))))
    return kp


def no_match_twin(keywords):
    """The keywords with a byte appended that the texts never hold: a scan walks the same
    trie paths as with the real keywords but never reaches a keyword end, so comparing
    the two isolates what the matches cost (records, Python objects)."""
    return [(k + "\x01", c) for k, c in keywords]


def lowered(keywords):
    """{lower-cased keyword: clean name}; a later duplicate wins, as in add_keyword."""
    return {k.lower(): c for k, c in keywords}


def fq_spans(matches):
    return [(m.keyword, m.start, m.end) for m in matches]


def to_char_offsets(text_lower, spans):
    """Turns byte-offset spans over text_lower's UTF-8 into str index spans. The spans
    must come in ascending, non-overlapping order (as every extractor here gives them)."""
    data = text_lower.encode("utf-8")
    if len(data) == len(text_lower):
        return list(spans)
    out = []
    prev_b = prev_c = 0
    for name, s, e in spans:
        cs = prev_c + len(data[prev_b:s].decode("utf-8"))
        ce = cs + len(data[s:e].decode("utf-8"))
        out.append((name, cs, ce))
        prev_b, prev_c = e, ce
    return out


# pyahocorasick: automaton of lower-cased keywords, iter_long on the lower-cased text,
# then the word-boundary tests in Python.
def pyac_build(ahocorasick, keywords):
    a = ahocorasick.Automaton()
    for k, c in lowered(keywords).items():
        a.add_word(k, (len(k), c))
    a.make_automaton()
    return a


def pyac_extract(a, text):
    low = text.lower()
    last = len(low) - 1
    w = WORD_CHARS
    out = []
    append = out.append
    for end, (klen, clean) in a.iter_long(low):
        start = end - klen + 1
        if (start == 0 or low[start - 1] not in w) and (end == last or low[end + 1] not in w):
            append((clean, start, end + 1))
    return out


# ahocorasick_rs: leftmost-longest automaton on the lower-cased text, same filter.
class RsMatcher:
    def __init__(self, ahocorasick_rs, keywords):
        low = lowered(keywords)
        self.cleans = list(low.values())
        self.ac = ahocorasick_rs.AhoCorasick(
            list(low.keys()), matchkind=ahocorasick_rs.MatchKind.LeftmostLongest)

    def extract(self, text):
        low = text.lower()
        n = len(low)
        w = WORD_CHARS
        cleans = self.cleans
        out = []
        append = out.append
        for i, start, end in self.ac.find_matches_as_indexes(low):
            if (start == 0 or low[start - 1] not in w) and (end == n or low[end] not in w):
                append((cleans[i], start, end))
        return out


# Python re: one trie-shaped alternation inside an atomic group, so that the longest
# keyword at a position is the only candidate, between word-boundary lookarounds.
def trie_pattern(words):
    trie = {}
    for word in words:
        node = trie
        for ch in word:
            node = node.setdefault(ch, {})
        node[""] = None  # end of a keyword

    # Built bottom-up over an explicit stack: keyword length sets the depth.
    done = {}
    stack = [(trie, False)]
    while stack:
        node, expanded = stack.pop()
        children = [ch for ch in node if ch]
        if not expanded:
            stack.append((node, True))
            stack.extend((node[ch], False) for ch in children)
            continue
        children.sort()
        if not children:
            done[id(node)] = ""
            continue
        subs = [(ch, done.pop(id(node[ch]))) for ch in children]
        if all(not sub for _, sub in subs) and len(subs) > 1:
            body = "[" + "".join(re.escape(ch) for ch, _ in subs) + "]"
        elif len(subs) == 1:
            ch, sub = subs[0]
            body = re.escape(ch) + sub
            if "" in node:
                body = f"(?:{body})"
        else:
            body = "(?:" + "|".join(re.escape(ch) + sub for ch, sub in subs) + ")"
        if "" in node:
            body += "?"  # greedy: the longer keyword is tried first
        done[id(node)] = body
    return done[id(trie)]


class ReMatcher:
    def __init__(self, keywords):
        self.low = lowered(keywords)
        self.regex = re.compile(
            r"(?<![a-z0-9])(?>" + trie_pattern(self.low) + r")(?![a-z0-9])")

    def extract(self, text):
        low = self.low
        return [(low[m.group()], m.start(), m.end()) for m in self.regex.finditer(text.lower())]


class ReSub:
    """re.sub over the text as given: the same trie pattern compiled with IGNORECASE,
    the clean name looked up in a dict of lower-cased keywords."""

    def __init__(self, keywords):
        self.low = lowered(keywords)
        self.regex = re.compile(
            r"(?<![A-Za-z0-9])(?>" + trie_pattern(self.low) + r")(?![A-Za-z0-9])",
            re.IGNORECASE)

    def replace(self, text):
        low = self.low
        return self.regex.sub(lambda m: low[m.group().lower()], text)


def join_spans(text, spans):
    """Replacement from (clean name, start, end) spans: pieces of text and clean names."""
    pieces = []
    append = pieces.append
    prev = 0
    for clean, s, e in spans:
        append(text[prev:s])
        append(clean)
        prev = e
    append(text[prev:])
    return "".join(pieces)


# hyperscan: one pattern "[^a-z0-9]keyword" per keyword on the lower-cased UTF-8 text
# with one space in front, so that every permitted start has a boundary byte before it.
# Hyperscan reports every occurrence at a permitted start; Python keeps the longest
# per start, applies the end test to it and drops the ones inside an accepted match.
def hs_escape(keyword):
    return b"".join(bytes([b]) if chr(b).isalnum() and b < 128 else b"\\x%02x" % b
                    for b in keyword.encode("utf-8"))


class HsMatcher:
    """Compiling thousands of patterns that start with a character class takes hyperscan
    minutes, so the database is cached under bench/data/ (keyed by the patterns);
    `compile_seconds` is None when it came from the cache."""

    def __init__(self, hyperscan, keywords):
        low = lowered(keywords)
        self.keys = list(low.keys())
        self.cleans = list(low.values())
        self.lens = [len(k.encode("utf-8")) for k in self.keys]
        exprs = [b"[^a-z0-9]" + hs_escape(k) for k in self.keys]
        digest = hashlib.sha1(b"\n".join(exprs)).hexdigest()[:16]
        cache = os.path.join(prepare_data.DATA_DIR, f"hyperscan_{len(exprs)}_{digest}.db")
        self.compile_seconds = None
        if os.path.exists(cache):
            with open(cache, "rb") as f:
                self.db = hyperscan.loadb(f.read(), hyperscan.HS_MODE_BLOCK)
            self.scratch = hyperscan.Scratch(self.db)
            return
        t0 = time.perf_counter()
        self.db = hyperscan.Database()
        self.db.compile(expressions=exprs, ids=list(range(len(exprs))), elements=len(exprs),
                        flags=0)
        self.compile_seconds = time.perf_counter() - t0
        self.scratch = hyperscan.Scratch(self.db)
        with open(cache + ".tmp", "wb") as f:
            f.write(hyperscan.dumpb(self.db))
        os.replace(cache + ".tmp", cache)

    def extract(self, text):
        data = b" " + text.lower().encode("utf-8")
        lens = self.lens
        best = {}
        get = best.get

        def on_match(i, frm, to, flags, ctx):
            s = to - lens[i]
            if get(s, (0, 0))[0] < to:
                best[s] = (to, i)

        self.db.scan(data, match_event_handler=on_match, scratch=self.scratch)
        n = len(data)
        wb = WORD_BYTES
        cleans = self.cleans
        out = []
        resume = 0
        for s in sorted(best):
            if s < resume:
                continue
            e, i = best[s]
            if e == n or data[e] not in wb:
                out.append((cleans[i], s - 1, e - 1))
                resume = e
        return out


# ---------------------------------------------------------------------------
# Result checks


def compare_spans(reference, other):
    """(spans only in reference, spans only in other), by (start, end)."""
    a = {(s, e) for _, s, e in reference}
    b = {(s, e) for _, s, e in other}
    return sorted(a - b), sorted(b - a)


def context(text, start, end, width=20):
    left = text[max(0, start - width):start].replace("\n", " ")
    right = text[end:end + width].replace("\n", " ")
    return f"...{left}[{text[start:end]}]{right}..."


def cost_per_match_object(fernquill, count=1_000_000, repeat=5):
    """ns that one extracted match costs beyond the scan: a text of `count` one-byte
    keywords "a a a ..." scanned by a processor holding "a" (one match each) and by one
    holding "b" (same text, same positions visited, no match)."""
    text = "a " * count
    hit = fernquill.KeywordProcessor()
    hit.add_keyword("a")
    miss = fernquill.KeywordProcessor()
    miss.add_keyword("b")
    t_hit, res = best_time(lambda: hit.extract_keywords(text), repeat)
    assert len(res) == count, len(res)
    del res
    t_miss, res = best_time(lambda: miss.extract_keywords(text), repeat)
    assert not res
    return (t_hit - t_miss) / count * 1e9, t_hit, t_miss
