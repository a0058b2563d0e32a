"""The `fernquill` command against a straightforward rendering of its output
from the library, line by line, over random files: non-ASCII text and
characters whose lower case changes length, CRLF and empty lines, lines longer
than a batch, bytes that are not UTF-8 under each --errors policy, gzip input,
many small files packed into one batch, folders with -r."""

import gzip
import json
import os
import random
import subprocess
import sys

import pytest

import fernquill
from fernquill_tools import cli
from test_cli import cli_env, fq
from test_tools_offsets import model_spans

PIECES = ["new york", "NEW YORK", "la", "LA", "İ", "\u212a", "ẞ", "Σ", "é", "😀", " ", " ", ",", "x", "ab",
          "\r", "\n", "\n", "\n", "\r\n", "\t"]
BAD_BYTES = [b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\xaf"]
KEYWORDS = ["new york", "la", "ab", "é", "σ", "x y", "İ", "k"]


def dumps(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode()


def random_file(rng, bad):
    parts = []
    for _ in range(rng.randint(0, 60)):
        if bad and rng.random() < 0.05:
            parts.append(rng.choice(BAD_BYTES))
        else:
            parts.append(rng.choice(PIECES).encode())
    if rng.random() < 0.2:
        parts.append(b"la " * rng.randint(50, 200))  # longer than the smallest batches
    return b"".join(parts)


def random_processor(rng):
    case_sensitive = rng.random() < 0.3
    kp = fernquill.KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=rng.random() < 0.2)
    args = ["-s"] if case_sensitive else []
    if kp.__getstate__()[-1]:
        args.append("--allow-overlaps")
    for keyword in rng.sample(KEYWORDS, rng.randint(1, len(KEYWORDS))):
        clean = rng.choice([None, "NYC", "Ω", "a\"quote\\"])
        kp.add_keyword(keyword, clean)
        args += ["-e", keyword if clean is None else f"{keyword}={clean}"]
    if rng.random() < 0.2:
        kp.add_non_word_boundary("é")
        args += ["--word-chars", "é"]
    return kp, case_sensitive, args


def decoded_lines(data, errors):
    """(line number, text or None for a skipped line, carriage return) of each line."""
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


def expected_extract(kp, case_sensitive, named_files, threshold, offsets, errors, with_text):
    out = []
    for name, data in named_files:
        for number, text, _, _ in decoded_lines(data, errors)[0]:
            matches = [] if text is None else kp.extract_keywords(text, threshold)
            if not matches:
                continue
            chars = model_spans(text, matches, case_sensitive)
            rendered = []
            for m, (cs, ce) in zip(matches, chars):
                start, end = (cs, ce) if offsets == "chars" else (m.start, m.end)
                rendered.append([m.keyword, round(m.similarity, 2), start, end] + ([text[cs:ce]] if with_text else []))
            out.append(dumps({"path": name, "line": number, "matches": rendered}) + b"\n")
    return b"".join(out)


def expected_counts(kp, named_files, threshold, errors, per_file):
    return counted(named_files, lambda data: decoded_lines(data, errors), lambda text: kp.extract_keywords(text, threshold),
                   per_file)


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


def expected_replace(kp, named_files, threshold, errors):
    out = []
    for _, data in named_files:
        lines, final_newline = decoded_lines(data, errors)
        rendered = [(raw if text is None else kp.replace_keywords(text, threshold).encode()) + b"\r" * cr
                    for _, text, cr, raw in lines]
        out.append(b"\n".join(rendered) + (b"\n" if final_newline and lines else b""))
    return b"".join(out)


@pytest.fixture(params=["native", "python"])
def writer(request, monkeypatch):
    """The native writer, or the Python rendering that stands in without it."""
    if request.param == "native" and cli._write_records is None:
        pytest.skip("the companion package's native module is not built")
    if request.param == "python":
        monkeypatch.setattr(cli, "_write_records", None)
    return request.param


def run_in_process(capsysbinary, argv):
    status = cli.main(argv)
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize("seed", range(60))
def test_output_equals_the_line_by_line_rendering(tmp_path, capsysbinary, writer, seed):
    rng = random.Random(seed)
    check_against_rendering(tmp_path, capsysbinary, rng, long_lines=False)


@pytest.mark.slow  # a randomized differential over long lines
@pytest.mark.parametrize("seed", range(3))
def test_lines_longer_than_a_share_of_work(tmp_path, capsysbinary, writer, seed):
    # The native writer hands out a few hundred KiB of lines per worker; these
    # lines are longer, around short ones.
    check_against_rendering(tmp_path, capsysbinary, random.Random(seed), long_lines=True)


def check_against_rendering(tmp_path, capsysbinary, rng, long_lines):
    kp, case_sensitive, kp_args = random_processor(rng)
    errors = rng.choice(["replace", "skip"])
    bad = rng.random() < 0.5
    named_files = []
    for i in range(rng.randint(1, 5)):
        data = random_file(rng, bad)
        if long_lines:
            data += b"x " + random_file(rng, bad).replace(b"\n", b" ") * rng.randint(3000, 9000) + b"\n" + data
        path = tmp_path / f"in{i}.txt"
        path.write_bytes(gzip.compress(data) if rng.random() < 0.2 else data)
        named_files.append((str(path), path.read_bytes()))
    threshold = rng.choice([None, None, 0.8])
    common = [*kp_args, "--words", "ascii", "--errors", errors, "--batch-bytes", str(rng.choice([16, 100, 4096, 1 << 22]))]
    common += ["-t", str(threshold)] if threshold else []
    paths = [name for name, _ in named_files]

    offsets, with_text = rng.choice(["chars", "bytes"]), rng.random() < 0.3
    argv = ["extract", *common, "--offsets", offsets, *(["--with-text"] if with_text else []), *paths]
    want = expected_extract(kp, case_sensitive, named_files, threshold, offsets, errors, with_text)
    assert run_in_process(capsysbinary, argv) == (0 if want else 1, want, b"")

    per_file = rng.random() < 0.5
    argv = ["extract", *common, "-c", *(["--per-file"] if per_file else []), *paths]
    want = expected_counts(kp, named_files, threshold, errors, per_file)
    assert run_in_process(capsysbinary, argv) == (0 if want else 1, want, b"")

    status, out, err = run_in_process(capsysbinary, ["replace", *common, *paths])
    assert (out, err) == (expected_replace(kp, named_files, threshold, errors), b"")
    assert status == (0 if expected_counts(kp, named_files, threshold, errors, False) else 1)


def test_strict_errors_name_the_file_and_line_and_go_on(tmp_path, capsysbinary, writer):
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_bytes(b"la\n")
    bad.write_bytes(b"la\nfine\n\xc3 la\nla\n")
    status, out, err = run_in_process(capsysbinary, ["extract", "-e", "la", str(bad), str(good)])
    assert status == 2
    assert err == f"fernquill: error: {bad}:3: invalid UTF-8\n".encode()
    assert out == dumps({"path": str(good), "line": 1, "matches": [["la", 1.0, 0, 2]]}) + b"\n"


@pytest.mark.parametrize("count", [[], ["-c", "--per-file"]], ids=["records", "counts"])
def test_file_names_that_are_not_utf8_come_back_byte_for_byte(tmp_path, capsysbinary, writer, count):
    raw = os.fsencode(tmp_path) + b"/caf\xe9 \xff.txt"
    with open(raw, "wb") as f:
        f.write("la Straße\nla\n".encode())
    status, out, err = run_in_process(capsysbinary, ["extract", "-e", "la", *count, os.fsdecode(raw)])
    assert (status, err) == (0, b"")
    records = [json.loads(line) for line in out.splitlines()]
    assert [os.fsencode(r["path"]) for r in records] == [raw] * (1 if count else 2)
    assert records[0]["count" if count else "line"] == (2 if count else 1)


def test_gzip_from_stdin_and_in_place_refused(tmp_path):
    data = "New York\nnothing\nİ new york\n".encode()
    result = fq("extract", "-e", "new york", "--with-text", input=gzip.compress(data))
    assert result.returncode == 0
    assert [json.loads(line)["matches"][0][4] for line in result.stdout.splitlines()] == ["New York", "new york"]
    path = tmp_path / "f.txt.gz"
    path.write_bytes(gzip.compress(data))
    result = fq("replace", "-e", "new york", "-i", path)
    assert (result.returncode, result.stderr.decode()) == (
        2, f"fernquill: error: {path}: cannot edit compressed input in place, as it would be written back "
           "uncompressed (--skip-compressed leaves such files alone)\n")
    assert gzip.decompress(path.read_bytes()) == data
    broken = tmp_path / "broken.gz"
    broken.write_bytes(gzip.compress(data)[:-6])
    result = fq("extract", "-e", "new york", broken)
    assert result.returncode == 2 and result.stderr.startswith(f"fernquill: error: {broken}: ".encode())


def test_recursive_reads_folders_in_order(tmp_path):
    (tmp_path / "b" / "deep").mkdir(parents=True)
    (tmp_path / "a.txt").write_text("la 1\n")
    (tmp_path / "b" / "deep" / "z.txt").write_text("la 3\n")
    (tmp_path / "b" / "c.txt").write_text("la 2\n")
    (tmp_path / "b" / ".hidden").write_text("la 0\n")
    result = fq("extract", "-e", "la", "-r", tmp_path / "b", tmp_path / "a.txt")
    order = [json.loads(line)["path"] for line in result.stdout.splitlines()]
    base = str(tmp_path / "b")
    assert order == [os.path.join(base, ".hidden"), os.path.join(base, "c.txt"),
                     os.path.join(base, "deep", "z.txt"), str(tmp_path / "a.txt")]
    assert fq("extract", "-e", "la", tmp_path / "b").returncode == 2  # a folder without -r


@pytest.mark.parametrize("args, message", [
    (["extract", "-e", "x", "--per-file"], "--per-file goes with -c/--count"),
    (["extract", "-e", "x", "-c", "--with-text"], "--with-text does not go with -c/--count"),
])
def test_options_that_do_not_go_together(args, message):
    result = fq(*args, input=b"")
    assert (result.returncode, result.stderr.decode()) == (2, f"fernquill: error: {message}\n")


def test_many_small_files_share_a_batch(tmp_path, monkeypatch, capsysbinary, writer):
    paths = []
    for i in range(50):
        path = tmp_path / f"{i:02}.txt"
        path.write_text(f"la {i}\n" * (i % 3))
        paths.append(str(path))
    calls = []
    original = cli.Extractor.group

    def group(self, batches):
        calls.append([b.path for b in batches])
        return original(self, batches)

    monkeypatch.setattr(cli.Extractor, "group", group)
    status, out, _ = run_in_process(capsysbinary, ["extract", "-e", "la", *paths])
    assert status == 0 and out.count(b"\n") == sum(i % 3 for i in range(50))
    assert calls == [[p for i, p in enumerate(paths) if i % 3]]  # one call for all the files


@pytest.mark.parametrize("seed", range(5))
def test_file_names_quoted_without_json_as_json_quotes_them(seed):
    # File names skip the json module where nothing needs escaping; the bytes
    # must be json's (and orjson's) whatever the name holds.
    rng = random.Random(seed)
    alphabet = [chr(i) for i in range(0x80)] + ["\u2028", "\x85", "é", "😀", "\ufeff", "\ud7ff"]
    for _ in range(2000):
        name = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 10)))
        assert cli._plain_json(name) == dumps(name)
    assert cli._plain_json({"keyword": "a\"b", "count": 3}) == dumps({"keyword": "a\"b", "count": 3})
