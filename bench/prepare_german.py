#!/usr/bin/env python3
"""Builds the German benchmark data under bench/data/ (git-ignored).

Sources, both installable on a fresh Debian machine:
  * German prose: the German manual pages of manpages-de (`apt-get install
    manpages-de`), /usr/share/man/de/man*/*.gz. The roff markup is stripped:
    requests and comments are dropped (the text arguments of the font requests
    .B, .I, .BI, ... kept), font changes and other escapes reduced to their
    text, and each paragraph (text between paragraph requests) becomes one line.
  * German words: /usr/share/dict/ngerman (Debian package wngerman).

Outputs (bench/data/):
  german_corpus.txt          the paragraphs, one per line (about 10 MB)
  german_keywords_10000.tsv  keyword<TAB>clean name: the 10,000 dictionary words
                             met most often in the corpus (ties by the word), as
                             they are spelt in the dictionary; clean name the
                             word in upper case

Usage: python3 bench/prepare_german.py [--force]
"""

import argparse
import collections
import glob
import gzip
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import prepare_data  # noqa: E402

CORPUS = os.path.join(prepare_data.DATA_DIR, "german_corpus.txt")
KEYWORD_COUNT = 10_000
KEYWORDS = os.path.join(prepare_data.DATA_DIR, f"german_keywords_{KEYWORD_COUNT}.tsv")
MAN_GLOB = "/usr/share/man/de/man*/*.gz"
DICT_PATH = "/usr/share/dict/ngerman"
OUTPUTS = [CORPUS, KEYWORDS]
MIN_PARAGRAPH = 20

# Requests that end a paragraph; every other request is dropped, keeping the
# text arguments of the font requests.
BREAKS = {"PP", "LP", "P", "TP", "IP", "HP", "SH", "SS", "TH", "br", "sp", "RS", "RE", "nf",
          "fi", "EX", "EE", "TQ", "in", "ti", "bp", "ne"}
FONT_REQUESTS = {"B", "I", "R", "SB", "SM", "BI", "BR", "IB", "IR", "RB", "RI", "UR", "MT"}
NAMED = {"em": "—", "en": "–", "lq": "“", "rq": "”", "Bq": "„", "bq": "‚", "oq": "‘",
         "cq": "’", "aq": "'", "dq": '"', "Fo": "«", "Fc": "»", "fo": "‹", "fc": "›",
         "hy": "-", "mi": "-", "bu": "•", "co": "©", "rg": "®", "tm": "™", "de": "°",
         "ti": "~", "ha": "^", "rs": "\\", "sc": "§", "ss": "ß", ":a": "ä", ":o": "ö",
         ":u": "ü", ":A": "Ä", ":O": "Ö", ":U": "Ü", "<=": "≤", ">=": "≥", "->": "→",
         "mu": "×", "pl": "+", "eq": "="}
ESCAPE = re.compile(r"\\(?:f(?:\[[^\]]*\]|\(..|.)|\((..)|\[([^\]]*)\]|[-e\\]|[&/,|^%:]|"
                    r"s[-+]?\d|[*n](?:\(..|\[[^\]]*\]|.)|.)")
SPACES = re.compile(r"\s+")
WORD = re.compile(r"\w+")


def unescape(m):
    whole = m.group(0)
    name = m.group(1) or m.group(2)
    if name is not None:
        return NAMED.get(name, "")
    if whole == "\\-":
        return "-"
    if whole in ("\\e", "\\\\"):
        return "\\"
    if whole == "\\ ":
        return " "
    return ""


def man_paragraphs(source):
    """Yields the prose paragraphs of one manual page."""
    paragraph = []

    def flush():
        text = SPACES.sub(" ", " ".join(paragraph)).strip()
        paragraph.clear()
        if len(text) >= MIN_PARAGRAPH and sum(ch.isalpha() for ch in text) > len(text) // 2:
            return text
        return None

    for line in source.splitlines():
        if line.startswith((".", "'")):
            request = line[1:].split(None, 1)
            name = request[0] if request else ""
            if name in FONT_REQUESTS and len(request) > 1:
                paragraph.append(ESCAPE.sub(unescape, request[1].replace('"', "")))
                continue
            if name in BREAKS or not name.startswith("\\\""):
                p = flush()
                if p:
                    yield p
            continue
        if not line.strip():
            p = flush()
            if p:
                yield p
            continue
        paragraph.append(ESCAPE.sub(unescape, line))
    p = flush()
    if p:
        yield p


def build_corpus():
    pages = sorted(glob.glob(MAN_GLOB))
    if not pages:
        prepare_data.apt_install("manpages-de")
        pages = sorted(glob.glob(MAN_GLOB))
    paragraphs = []
    for path in pages:
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
            paragraphs.extend(man_paragraphs(f.read()))
    return [p for p in paragraphs if prepare_data.same_length_when_lowered(p)]


def keyword_list(paragraphs):
    if not os.path.exists(DICT_PATH):
        prepare_data.apt_install("wngerman")
    with open(DICT_PATH, encoding="utf-8") as f:
        words = {w.strip() for w in f if w.strip()}
    counts = collections.Counter(w for p in paragraphs for w in WORD.findall(p) if w in words)
    ranked = sorted(counts.items(), key=lambda item: (-item[1], item[0]))[:KEYWORD_COUNT]
    return [(w, w.upper()) for w, _ in ranked]


def prepare():
    os.makedirs(prepare_data.DATA_DIR, exist_ok=True)
    paragraphs = build_corpus()
    prepare_data.write(CORPUS, "\n".join(paragraphs) + "\n")
    keywords = keyword_list(paragraphs)
    prepare_data.write(KEYWORDS, "".join(f"{k}\t{c}\n" for k, c in keywords))
    print(f"{CORPUS}: {len(paragraphs)} paragraphs; {KEYWORDS}: {len(keywords)} keywords")


def ensure_data():
    if not all(os.path.exists(p) for p in OUTPUTS):
        prepare()


def load_keywords():
    with open(KEYWORDS, encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t")) for line in f]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--force", action="store_true", help="rebuild even if the data exists")
    if ap.parse_args().force or not all(os.path.exists(p) for p in OUTPUTS):
        prepare()


if __name__ == "__main__":
    sys.exit(main())
