"""The command line's --words and --fallback against fernquill_tools.extract
and .replace, record by record, over random German, French and CJK files:
extract (character and byte offsets, with the matched text), counts, replace
to standard output and in place, lines longer than a batch, whole-file
records, lines left unscanned or read with U+FFFD, gzip input."""

import gzip
import json
import random

import pytest

import fernquill
import fernquill_tools
from fernquill_tools import char_spans, cli
from helpers import each_seed
from test_cli import fq
from test_whole_words import EDGES, SCRIPTS, random_text

SCRIPT_NAMES = ["german", "french", "cjk"]
BAD_BYTES = [b"\xff", b"\xc3", b"\xe2\x82"]
WORD_CHARS = ["_", "-", "—", "ß", "é"]


def dumps(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode()


def run_in_process(capsysbinary, argv):
    status = cli.main(argv)
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err


def decoded_lines(data, errors):
    """(line number, text or None for a skipped line, carriage return, raw
    bytes) of each line, and whether the last line ended."""
    if data.startswith(b"\x1f\x8b"):
        data = gzip.decompress(data)
    lines = data.split(b"\n")
    final_newline = lines[-1] == b""
    if final_newline:
        lines.pop()
    out = []
    for number, raw in enumerate(lines, 1):
        cr = raw.endswith(b"\r")
        raw = raw[:-1] if cr else raw
        try:
            text = raw.decode()
        except UnicodeDecodeError:
            text = None if errors == "skip" else raw.decode("utf-8", "replace")
        out.append((number, text, cr, raw))
    return out, final_newline


def counted(named_files, records_of, extract, per_file):
    """The count rows of extract(text) over the records of each file (a text
    of None is a record left unscanned)."""
    tables = {}
    for name, data in named_files:
        table = tables.setdefault(name if per_file else "", {})
        for _, text, _, _ in records_of(data)[0]:
            for m in [] if text is None else extract(text):
                table[m.keyword] = table.get(m.keyword, 0) + 1
    out = []
    for name, table in tables.items():
        for keyword, count in sorted(table.items(), key=lambda kv: (-kv[1], kv[0])):
            out.append(dumps({"path": name, "keyword": keyword, "count": count} if per_file
                             else {"keyword": keyword, "count": count}) + b"\n")
    return b"".join(out)


class Setup:
    """A random processor, its command-line arguments, and the whole-word
    calls the command must agree with."""

    def __init__(self, rng):
        self.letters = SCRIPTS[rng.choice(SCRIPT_NAMES)]
        self.pieces = self.letters + EDGES + ["a", "b", "A", "\r\n"]
        self.case_sensitive = rng.random() < 0.3
        allow_overlaps = rng.random() < 0.1
        self.kp = fernquill.KeywordProcessor(case_sensitive=self.case_sensitive, allow_overlaps=allow_overlaps)
        self.args = (["-s"] if self.case_sensitive else []) + (["--allow-overlaps"] if allow_overlaps else [])
        for _ in range(rng.randint(1, 6)):
            # Keywords that are prefixes of each other, some ending in an edge.
            stem = random_text(rng, self.letters, rng.randint(1, 3))
            for keyword in (stem, stem + random_text(rng, self.pieces, rng.randint(1, 2))):
                if "\n" in keyword or "\r" in keyword or not keyword.strip():
                    continue
                clean = rng.choice([None, keyword.upper(), "Ω"])
                self.kp.add_keyword(keyword, clean)
                self.args += ["-e", keyword if clean is None else f"{keyword}={clean}"]
        if rng.random() < 0.3:
            chars = "".join(rng.sample(WORD_CHARS, 2))
            for ch in chars:
                self.kp.add_non_word_boundary(ch)
            self.args.append(f"--word-chars={chars}")  # it may start with a dash
        self.threshold = rng.choice([None, None, None, 0.8])
        self.args += ["-t", str(self.threshold)] if self.threshold else []
        self.words = rng.choice(["ascii", "unicode"])
        self.fallback = rng.random() < 0.6
        self.args += ["--words", self.words] + (["--fallback"] if self.fallback else [])

    def extract(self, text, offsets="chars"):
        return fernquill_tools.extract(self.kp, text, self.threshold, words=self.words, fallback=self.fallback,
                                       offsets=offsets)

    def replace(self, text):
        return fernquill_tools.replace(self.kp, text, self.threshold, words=self.words, fallback=self.fallback)

    def random_file(self, rng, bad):
        parts = []
        for _ in range(rng.randint(0, 80)):
            if bad and rng.random() < 0.03:
                parts.append(rng.choice(BAD_BYTES))
            else:
                parts.append(rng.choice(self.pieces).encode())
        return b"".join(parts)


def records(data, errors, whole):
    """(line number or None, text or None for an unscanned record, CR, raw
    bytes) of each record, and whether the last line ended."""
    if not whole:
        return decoded_lines(data, errors)
    if data.startswith(b"\x1f\x8b"):
        data = gzip.decompress(data)
    try:
        text = data.decode()
    except UnicodeDecodeError:
        text = None if errors == "skip" else data.decode("utf-8", "replace")
    return [(None, text, False, data)], False


def expected_extract(setup, named_files, errors, whole, offsets, with_text):
    out = []
    for name, data in named_files:
        for number, text, _, _ in records(data, errors, whole)[0]:
            found = [] if text is None else setup.extract(text)
            if not found:
                continue
            shown = found
            if offsets == "bytes":
                shown = setup.extract(text, offsets="bytes")
                # Byte offsets of the scan text name the same characters.
                chars = char_spans(text, shown, case_sensitive=setup.case_sensitive)
                assert chars == [(m.start, m.end) for m in found], text
            rendered = [[m.keyword, round(m.similarity, 2), s.start, s.end] + ([text[m.start:m.end]] if with_text else [])
                        for m, s in zip(found, shown)]
            out.append(dumps({"path": name, "line": number, "matches": rendered}) + b"\n")
    return b"".join(out)


def expected_counts(setup, named_files, errors, whole, per_file):
    return counted(named_files, lambda data: records(data, errors, whole), setup.extract, per_file)


def expected_replace(setup, data, errors, whole):
    found, final_newline = records(data, errors, whole)
    rendered = [(raw if text is None else setup.replace(text).encode()) + b"\r" * cr for _, text, cr, raw in found]
    return b"\n".join(rendered) + (b"\n" if final_newline and found else b"")


@pytest.mark.slow  # a randomized differential
@each_seed(range(40))
def test_output_equals_the_whole_word_calls(tmp_path, capsysbinary, seed):
    rng = random.Random(seed)
    setup = Setup(rng)
    errors = rng.choice(["replace", "skip"])
    whole = rng.random() < 0.2
    bad = rng.random() < 0.4
    named_files = []
    for i in range(rng.randint(1, 4)):
        data = setup.random_file(rng, bad)
        if rng.random() < 0.2:  # a line longer than the smallest batches
            data += random_text(rng, setup.letters + [" "], 300).encode() + b"\n"
        path = tmp_path / f"seed{seed}-in{i}.txt"  # no seed meets another's files or backups
        path.write_bytes(gzip.compress(data) if rng.random() < 0.2 else data)
        named_files.append((str(path), path.read_bytes()))
    paths = [name for name, _ in named_files]
    common = [*setup.args, "--errors", errors, "--batch-bytes", str(rng.choice([16, 100, 1 << 22]))]
    common += ["--records", "file"] if whole else []

    offsets, with_text = rng.choice(["chars", "bytes"]), rng.random() < 0.4
    argv = ["extract", *common, "--offsets", offsets, *(["--with-text"] if with_text else []), *paths]
    want = expected_extract(setup, named_files, errors, whole, offsets, with_text)
    assert run_in_process(capsysbinary, argv) == (0 if want else 1, want, b"")

    per_file = rng.random() < 0.5
    argv = ["extract", *common, "-c", *(["--per-file"] if per_file else []), *paths]
    counts = expected_counts(setup, named_files, errors, whole, per_file)
    assert run_in_process(capsysbinary, argv) == (0 if counts else 1, counts, b"")

    want = b"".join(expected_replace(setup, data, errors, whole) for _, data in named_files)
    assert run_in_process(capsysbinary, ["replace", *common, *paths]) == (0 if counts else 1, want, b"")

    plain = [(name, data) for name, data in named_files if not data.startswith(b"\x1f\x8b")]
    if plain:
        status, _, err = run_in_process(capsysbinary, ["replace", *common, "-i.bak", *[n for n, _ in plain]])
        assert (status, err) == (0 if expected_counts(setup, plain, errors, whole, False) else 1, b"")
        for name, data in plain:
            with open(name, "rb") as edited, open(name + ".bak", "rb") as backup:
                assert (edited.read(), backup.read()) == (expected_replace(setup, data, errors, whole), data)


@pytest.mark.slow  # a run of the command per mode
def test_german_sample_by_whole_words(tmp_path):
    # The glued matches of the byte test go; the one behind a longer keyword
    # that is glued comes back with the fallback.
    path = tmp_path / "de.txt"
    path.write_text("Zurück zur Straße, daß da\nNew Yorker in New York\n", encoding="utf-8")
    keywords = ["-e", "zur", "-e", "da", "-e", "new", "-e", "new york=NYC", "-e", "straße"]
    whole = [[["zur", 1.0, 7, 10], ["straße", 1.0, 11, 17], ["da", 1.0, 23, 25]],
             [["new", 1.0, 0, 3], ["NYC", 1.0, 14, 22]]]
    runs = {
        ("--words", "ascii"): [[["zur", 1.0, 0, 3], ["zur", 1.0, 7, 10], ["straße", 1.0, 11, 17],
                                ["da", 1.0, 19, 21], ["da", 1.0, 23, 25]], [["NYC", 1.0, 14, 22]]],
        ("--words", "ascii", "--fallback"): [[["zur", 1.0, 0, 3], ["zur", 1.0, 7, 10], ["straße", 1.0, 11, 17],
                                              ["da", 1.0, 19, 21], ["da", 1.0, 23, 25]],
                                             [["new", 1.0, 0, 3], ["NYC", 1.0, 14, 22]]],
        ("--no-fallback",): [whole[0], [["NYC", 1.0, 14, 22]]],
        (): whole,  # unicode words, and the fallback with them
    }
    for options, want in runs.items():
        result = fq("extract", *keywords, *options, path)
        assert result.returncode == 0
        assert [line.split(b'"matches":')[1] for line in result.stdout.splitlines()] == [
            dumps(matches) + b"}" for matches in want]
    result = fq("replace", *keywords, "--words", "unicode", "--fallback", path)
    assert result.stdout.decode() == "Zurück zur straße, daß da\nnew Yorker in NYC\n"


@pytest.mark.slow  # a run of the command per value
@pytest.mark.parametrize("command", ["extract", "replace"])
@pytest.mark.parametrize("args, message", [
    # (how the choices are quoted after this differs between Python versions)
    (["--words", "latin"], "argument --words: invalid choice: 'latin' (choose from "),
    (["--words", "Unicode"], "argument --words: invalid choice: 'Unicode'"),
    (["--words"], "argument --words: expected one argument"),
    (["--fallback=yes"], "argument --fallback/--no-fallback: ignored explicit argument 'yes'"),
])
def test_bad_option_values_are_usage_errors(command, args, message):
    result = fq(command, "-e", "zur", *args, input=b"zur\n")
    assert (result.returncode, result.stdout) == (2, b"")
    assert message in result.stderr.decode()
