#!/usr/bin/env python3
"""Builds the benchmark data under bench/data/ (git-ignored).

Sources, all installable on a fresh Debian machine:
  * English prose: the reStructuredText sources of two Debian documentation packages,
    read from their html/_sources/**/*.rst.txt files:
      - the Linux kernel documentation, linux-doc-6.1 (`apt-get install linux-doc`),
        /usr/share/doc/linux-doc-*/html/_sources, translations left out;
      - the Python documentation, python3.11-doc (`apt-get install python3-doc`),
        /usr/share/doc/python3.*/html/_sources.
    The markup is stripped: directives (other than admonitions and object
    descriptions, whose bodies are prose), comments,
    literal and code blocks, section underlines and table borders are dropped, inline
    roles and emphasis are reduced to their text, and each paragraph becomes one line.
  * Dictionary words: /usr/share/dict/american-english (Debian package wamerican).

Outputs (bench/data/):
  corpus.txt             >= 20 MB of paragraphs, one per line
  keywords_{1000,10000,100000}.tsv
                         keyword<TAB>clean name; half dictionary words, half 2- and
                         3-word phrases that occur at least twice in the corpus, in
                         mixed case, unique after lower-casing, each set a prefix of
                         the next one
  typos.txt              the first 4 MB of the corpus with random typos in about one
                         word in eight (insertion, deletion, substitution, swap)
  short_texts.txt        100,000 sentences of 20 to 400 characters, one per line
  long_texts.txt         1,000 texts of about 10 KB (runs of whole paragraphs),
                         separated by lines holding only a form feed

Paragraphs whose lower-cased form has another UTF-8 length than the paragraph itself
(e.g. ones holding U+0130) are dropped, so that offsets into the lower-cased text are
offsets into the text as well; this keeps the peers' results comparable.

Usage: python3 bench/prepare_data.py [--force]
Benchmarks call ensure_data() and so run this automatically when data is missing.
"""

import argparse
import collections
import glob
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(HERE, "data")
CORPUS = os.path.join(DATA_DIR, "corpus.txt")
TYPOS = os.path.join(DATA_DIR, "typos.txt")
SHORT_TEXTS = os.path.join(DATA_DIR, "short_texts.txt")
LONG_TEXTS = os.path.join(DATA_DIR, "long_texts.txt")
KEYWORD_SIZES = (1000, 10000, 100000)
DICT_PATH = "/usr/share/dict/american-english"
# (Debian package to install, glob of its reST sources)
DOC_SOURCES = [("linux-doc", "/usr/share/doc/linux-doc-*/html/_sources"),
               ("python3-doc", "/usr/share/doc/python3.*/html/_sources")]
LONG_TEXT_SEPARATOR = "\n\f\n"

MIN_CORPUS_BYTES = 20_000_000
TYPO_BYTES = 4 * 1024 * 1024
SHORT_COUNT = 100_000
LONG_COUNT = 1_000
LONG_SIZE = 10_000
SEED = 20240611


def keyword_path(size):
    return os.path.join(DATA_DIR, f"keywords_{size}.tsv")


ALL_OUTPUTS = [CORPUS, TYPOS, SHORT_TEXTS, LONG_TEXTS] + [keyword_path(s) for s in KEYWORD_SIZES]


# ---------------------------------------------------------------------------
# Sources


def apt_install(*packages):
    if shutil.which("apt-get") is None:
        sys.exit(f"needs the Debian packages {' '.join(packages)} and apt-get is missing")
    print(f"installing {' '.join(packages)} with apt-get ...", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    rc = subprocess.call(["apt-get", "install", "-y", *packages], env=env,
                         stdout=subprocess.DEVNULL)
    if rc != 0:
        subprocess.call(["apt-get", "update"], env=env, stdout=subprocess.DEVNULL)
        rc = subprocess.call(["apt-get", "install", "-y", *packages], env=env,
                             stdout=subprocess.DEVNULL)
    if rc != 0:
        sys.exit(f"apt-get install {' '.join(packages)} failed")


def doc_source_dirs():
    missing = [pkg for pkg, pattern in DOC_SOURCES if not glob.glob(pattern)]
    if missing:
        apt_install(*missing)
    dirs = []
    for pkg, pattern in DOC_SOURCES:
        found = sorted(glob.glob(pattern))
        if not found:
            sys.exit(f"no {pattern} after installing {pkg}")
        dirs.append(found[-1])
    return dirs


def dictionary_words():
    if not os.path.exists(DICT_PATH):
        apt_install("wamerican")
    with open(DICT_PATH, encoding="utf-8") as f:
        return [w.strip() for w in f if w.strip()]


# ---------------------------------------------------------------------------
# reStructuredText to paragraphs

# Directives whose body is prose worth keeping; every other directive is dropped
# together with its indented body (code, tables of contents, kernel-doc stanzas).
PROSE_DIRECTIVES = {
    "note", "warning", "attention", "caution", "danger", "error", "hint", "important", "tip",
    "admonition", "seealso", "topic", "sidebar", "epigraph", "highlights", "pull-quote",
    "impl-detail", "versionadded", "versionchanged", "deprecated", "deprecated-removed",
    "function", "method", "class", "attribute", "data", "exception", "decorator",
    "classmethod", "staticmethod", "abstractmethod", "coroutinefunction", "coroutinemethod",
    "describe", "option", "cmdoption", "envvar", "opcode", "module", "c:function", "c:macro",
    "c:type", "c:member", "c:var", "changelog", "availability"}

UNDERLINE = re.compile(r"([=\-~^*#\"`'+:._])\1{2,}")
TABLE_BORDER = re.compile(r"[+=\- |:]+")
DIRECTIVE = re.compile(r"\.\.\s+([\w:-]+)::")
ROLE_WITH_TARGET = re.compile(r":[\w:+-]+:`([^`<]*?)\s*<[^`>]*>`")
ROLE = re.compile(r":[\w:+-]+:`([^`]*)`")
LITERAL = re.compile(r"``([^`]+)``")
LINK = re.compile(r"`([^`<]*?)\s*<[^`>]*>`__?")
REF = re.compile(r"`([^`]+)`__?")
BACKTICK = re.compile(r"`([^`]+)`")
STRONG = re.compile(r"\*\*(\S(?:[^*]*?\S)?)\*\*")
EMPHASIS = re.compile(r"(?<![\w*])\*(\S(?:[^*]*?\S)?)\*(?![\w*])")
FOOTNOTE = re.compile(r"\s*\[(?:#\w*|\*|\d+)\]_")
SPACES = re.compile(r"\s+")


def clean_inline(s):
    s = ROLE_WITH_TARGET.sub(r"\1", s)
    s = ROLE.sub(r"\1", s)
    s = LITERAL.sub(r"\1", s)
    s = LINK.sub(r"\1", s)
    s = REF.sub(r"\1", s)
    s = BACKTICK.sub(r"\1", s)
    s = STRONG.sub(r"\1", s)
    s = EMPHASIS.sub(r"\1", s)
    s = FOOTNOTE.sub("", s)
    return s


def rst_paragraphs(source):
    """Yields the prose paragraphs of one reST document, one string each."""
    paragraph = []
    skip_deeper_than = None  # inside a dropped block: skip lines indented deeper

    def flush():
        if paragraph:
            text = SPACES.sub(" ", " ".join(paragraph)).strip()
            paragraph.clear()
            if len(text) >= 20 and sum(ch.isalpha() for ch in text) > len(text) // 2:
                return text
        paragraph.clear()
        return None

    for raw in source.splitlines():
        stripped = raw.strip()
        indent = len(raw) - len(raw.lstrip())
        if skip_deeper_than is not None:
            if not stripped or indent > skip_deeper_than:
                continue
            skip_deeper_than = None
        if not stripped:
            p = flush()
            if p:
                yield p
            continue
        if stripped.startswith(".."):
            p = flush()
            if p:
                yield p
            m = DIRECTIVE.match(stripped)
            if not (m and m.group(1) in PROSE_DIRECTIVES):
                skip_deeper_than = indent
            continue
        if UNDERLINE.fullmatch(stripped) or TABLE_BORDER.fullmatch(stripped):
            # A section title was collected as a paragraph line: keep it separate.
            p = flush()
            if p:
                yield p
            continue
        if stripped.startswith("|") or stripped.startswith("+"):
            stripped = stripped.replace("|", " ")
        if stripped.startswith(":") and re.match(r":[\w ]+:\s", stripped):
            stripped = re.sub(r"^:[\w ]+:\s*", "", stripped)  # field list name
        if stripped.endswith("::"):
            # A literal block follows; "text::" reads as "text:".
            stripped = stripped[:-2].rstrip()
            stripped = stripped + ":" if stripped else ""
            skip_deeper_than = indent
        if stripped:
            paragraph.append(clean_inline(stripped))
        if skip_deeper_than is not None:
            p = flush()
            if p:
                yield p
    p = flush()
    if p:
        yield p


def same_length_when_lowered(p):
    return len(p.lower().encode("utf-8")) == len(p.encode("utf-8"))


def build_corpus(src_dirs):
    files = []
    for src_dir in src_dirs:
        for root, dirs, names in os.walk(src_dir):
            dirs[:] = sorted(d for d in dirs if d != "translations")
            files.extend(os.path.join(root, n) for n in sorted(names) if n.endswith(".rst.txt"))
    paragraphs = []
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            paragraphs.extend(p for p in rst_paragraphs(f.read()) if same_length_when_lowered(p))
    return paragraphs


# ---------------------------------------------------------------------------
# Keywords

WORD = re.compile(r"[A-Za-z]+")
# Runs of letter words separated by single spaces, not glued to letters or digits.
NGRAM_LINE = re.compile(r"(?<![A-Za-z0-9])[A-Za-z]+(?: [A-Za-z]+)*(?![A-Za-z0-9])")


def phrases(paragraphs, min_count=2):
    """2- and 3-word n-grams of letter words occurring at least min_count times
    (ignoring case), each in its most frequent spelling, unique after lower-casing."""
    counts = collections.Counter()
    for p in paragraphs:
        for run in NGRAM_LINE.findall(p):
            w = run.split(" ")
            if len(w) >= 2:
                counts.update(map(" ".join, zip(w, w[1:])))
            if len(w) >= 3:
                counts.update(map(" ".join, zip(w, w[1:], w[2:])))
    total = collections.Counter()
    best = {}
    for form, c in counts.items():
        key = form.lower()
        total[key] += c
        if key not in best or (c, best[key]) > (counts[best[key]], form):
            best[key] = form
    return [best[k] for k, c in total.items() if c >= min_count]


def mixed_case(word, rng):
    r = rng.random()
    if r < 0.15:
        return word.upper()
    if r < 0.35:
        return word[:1].upper() + word[1:]
    return word


def clean_name(keyword):
    return "_".join(w[:1].upper() + w[1:].lower() for w in keyword.split(" "))


def keyword_lists(paragraphs, rng):
    words = [w for w in dictionary_words() if WORD.fullmatch(w)]  # no possessives
    rng.shuffle(words)
    found = phrases(paragraphs)
    found.sort()
    rng.shuffle(found)
    biggest = max(KEYWORD_SIZES)
    seen = set()
    merged = []
    wi = pi = 0
    # Alternate words and phrases so that every prefix is half and half.
    while len(merged) < biggest:
        if wi >= len(words) and pi >= len(found):
            sys.exit(f"only {len(merged)} distinct keywords, need {biggest}")
        take_word = (len(merged) % 2 == 0 and wi < len(words)) or pi >= len(found)
        if take_word:
            kw = mixed_case(words[wi], rng)
            wi += 1
        else:
            kw = found[pi]
            pi += 1
        if kw.lower() in seen:
            continue
        seen.add(kw.lower())
        merged.append(kw)
    return merged


# ---------------------------------------------------------------------------
# Derived texts

LETTERS = "abcdefghijklmnopqrstuvwxyz"


def add_typos(text, rng, rate=0.125):
    def typo(m):
        w = m.group(0)
        if len(w) < 3 or rng.random() >= rate:
            return w
        i = rng.randrange(len(w))
        kind = rng.randrange(4)
        if kind == 0:
            return w[:i] + rng.choice(LETTERS) + w[i:]
        if kind == 1:
            return w[:i] + w[i + 1:]
        if kind == 2:
            return w[:i] + rng.choice(LETTERS) + w[i + 1:]
        i = min(i, len(w) - 2)
        return w[:i] + w[i + 1] + w[i] + w[i + 2:]

    return WORD.sub(typo, text)


SENTENCE_SPLIT = re.compile(r"(?<=[.!?])\s+(?=[A-Z])")


def short_texts(paragraphs, rng):
    sentences = []
    for p in paragraphs:
        sentences.extend(s for s in SENTENCE_SPLIT.split(p) if 20 <= len(s) <= 400)
    rng.shuffle(sentences)
    if len(sentences) < SHORT_COUNT:
        sys.exit(f"only {len(sentences)} sentences, need {SHORT_COUNT}")
    return sentences[:SHORT_COUNT]


def long_texts(paragraphs):
    texts, current, size = [], [], 0
    for p in paragraphs:
        current.append(p)
        size += len(p) + 1
        if size >= LONG_SIZE:
            texts.append("\n".join(current))
            current, size = [], 0
            if len(texts) == LONG_COUNT:
                return texts
    sys.exit(f"only {len(texts)} long texts, need {LONG_COUNT}")


def write(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def prepare():
    t0 = time.perf_counter()
    os.makedirs(DATA_DIR, exist_ok=True)
    rng = random.Random(SEED)
    srcs = doc_source_dirs()
    print(f"reading {', '.join(srcs)} ...", flush=True)
    paragraphs = build_corpus(srcs)
    corpus = "\n".join(paragraphs) + "\n"
    size = len(corpus.encode("utf-8"))
    if size < MIN_CORPUS_BYTES:
        sys.exit(f"corpus holds only {size} bytes, need {MIN_CORPUS_BYTES}")
    write(CORPUS, corpus)
    print(f"corpus: {len(paragraphs)} paragraphs, {size / 1e6:.1f} MB", flush=True)

    keywords = keyword_lists(paragraphs, rng)
    for n in KEYWORD_SIZES:
        write(keyword_path(n), "".join(f"{k}\t{clean_name(k)}\n" for k in keywords[:n]))
    print(f"keywords: {', '.join(str(n) for n in KEYWORD_SIZES)}", flush=True)

    head = corpus.encode("utf-8")[:TYPO_BYTES].decode("utf-8", errors="ignore")
    write(TYPOS, add_typos(head, rng))
    write(SHORT_TEXTS, "\n".join(short_texts(paragraphs, rng)) + "\n")
    write(LONG_TEXTS, LONG_TEXT_SEPARATOR.join(long_texts(paragraphs)))
    print(f"data ready in {DATA_DIR} ({time.perf_counter() - t0:.1f} s)", flush=True)


# ---------------------------------------------------------------------------
# Loading, shared by the benchmarks


def ensure_data():
    if not all(os.path.exists(p) for p in ALL_OUTPUTS):
        prepare()


def read_text(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def load_keywords(size):
    """[(keyword, clean name)] of the keyword set with `size` entries."""
    with open(keyword_path(size), encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t")) for line in f]


def load_short_texts():
    return read_text(SHORT_TEXTS).splitlines()


def load_long_texts():
    return read_text(LONG_TEXTS).split(LONG_TEXT_SEPARATOR)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--force", action="store_true", help="rebuild even if the data exists")
    args = ap.parse_args()
    if args.force or not all(os.path.exists(p) for p in ALL_OUTPUTS):
        prepare()
    else:
        print(f"data already present in {DATA_DIR} (use --force to rebuild)")


if __name__ == "__main__":
    main()
