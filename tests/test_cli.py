"""The `fernquill` command, run as a subprocess on the shipped sample files:
output against the library, stdin, in-place editing, and every error path
with its exit status."""

import collections
import gzip
import json
import os
import pathlib
import pty
import select
import signal
import subprocess
import sys
import sysconfig

import pytest

import fernquill
import fernquill_tools
from fernquill_tools import char_spans, cli, load_keywords

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"
KEYWORDS = DATA / "keywords.tsv"
SAMPLES = sorted(DATA.glob("*.txt"))
FROM_SOURCE = pathlib.Path(fernquill_tools.__file__).is_relative_to(ROOT / "python")


def cli_env():
    env = dict(os.environ)
    # Absolute paths, since some runs change directory; when the package is not
    # installed, let the child find its source.
    paths = [str(ROOT / "python")] if FROM_SOURCE else []
    paths += [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def fq(*args, input=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "fernquill_tools", *map(str, args)], input=input,
                          capture_output=True, env=cli_env(), cwd=cwd, timeout=120)


def processor(case_sensitive=False):
    kp = fernquill.KeywordProcessor(case_sensitive=case_sensitive)
    load_keywords(kp, KEYWORDS)
    return kp


def records(stdout):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines()]


def expected_extract(kp, paths, offsets="chars", case_sensitive=False):
    out = []
    for path in paths:
        for number, line in enumerate(path.read_text(encoding="utf-8").split("\n"), 1):
            matches = kp.extract_keywords(line)
            if not matches:
                continue
            spans = (char_spans(line, matches, case_sensitive=case_sensitive) if offsets == "chars"
                     else [(m.start, m.end) for m in matches])
            out.append({"path": str(path), "line": number,
                        "matches": [[m.keyword, m.similarity, s, e] for m, (s, e) in zip(matches, spans)]})
    return out


@pytest.mark.slow  # a run of the command per option
@pytest.mark.parametrize("offsets", ["chars", "bytes"])
@pytest.mark.parametrize("case_sensitive", [False, True])
def test_extract_matches_the_library(offsets, case_sensitive):
    flags = ["-s"] if case_sensitive else []
    result = fq("extract", "-k", KEYWORDS, "--offsets", offsets, *flags, *SAMPLES)
    assert result.returncode == 0 and result.stderr == b""
    kp = processor(case_sensitive)
    assert records(result.stdout) == expected_extract(kp, SAMPLES, offsets, case_sensitive)


def test_char_offsets_slice_the_original_lines():
    folded = {k for k in processor().get_all_keywords()}
    result = fq("extract", "-k", KEYWORDS, *SAMPLES)
    checked = 0
    for record in records(result.stdout):
        line = pathlib.Path(record["path"]).read_text(encoding="utf-8").split("\n")[record["line"] - 1]
        for _, _, start, end in record["matches"]:
            assert line[start:end].lower() in folded
            checked += 1
    assert checked >= 15


@pytest.mark.slow  # a run of the command per mode
def test_stdin_and_threshold_and_counts():
    text = SAMPLES[0].read_bytes()
    kp = processor()
    expected = [dict(r, path="<stdin>") for r in expected_extract(kp, SAMPLES[:1])]
    for args in ([], ["-"]):
        result = fq("extract", "--words", "ascii", "-k", KEYWORDS, *args, input=text)
        assert result.returncode == 0 and records(result.stdout) == expected
    lines = text.decode().split("\n")
    approx = records(fq("extract", "--words", "ascii", "-k", KEYWORDS, "-t", "0.8", input=text).stdout)
    want = [(i + 1, [m.keyword for m in kp.extract_keywords(line, 0.8)]) for i, line in enumerate(lines)]
    assert [(r["line"], [m[0] for m in r["matches"]]) for r in approx] == [w for w in want if w[1]]
    assert all(0.8 <= m[1] <= 1.0 and round(m[1], 2) == m[1] for r in approx for m in r["matches"])
    counts = collections.Counter(m.keyword for line in lines for m in kp.extract_keywords(line, 0.8))
    got = records(fq("extract", "--words", "ascii", "-k", KEYWORDS, "-t", "0.8", "--count", input=text).stdout)
    assert {r["keyword"]: r["count"] for r in got} == counts
    assert [r["count"] for r in got] == sorted(counts.values(), reverse=True)


@pytest.mark.slow  # a run of the command per option
def test_keyword_options_and_saved_processor(tmp_path):
    state = tmp_path / "kp.state"
    text = "Big Apple, big apple and BIG APPLE, Gotham\n".encode()
    saved = fq("extract", "-e", "big apple=NYC", "-e", "Gotham", "-s", "--save", state)
    assert saved.returncode == 0 and saved.stdout == b"" and state.exists()
    direct = fq("extract", "-e", "big apple=NYC", "-e", "Gotham", "-s", input=text)
    loaded = fq("extract", "--processor", state, input=text)
    assert records(loaded.stdout) == records(direct.stdout)
    assert [m[2:] for m in records(loaded.stdout)[0]["matches"]] == [[11, 20], [36, 42]]
    kp = fernquill.KeywordProcessor()
    kp.__setstate__(state.read_bytes())
    assert kp.get_all_keywords() == {"big apple": "NYC", "Gotham": "Gotham"}
    # Word characters and overlaps.
    assert fq("extract", "-e", "apple", input=b"apple-pie\n").returncode == 0
    assert fq("extract", "-e", "apple", "--word-chars", "-", input=b"apple-pie\n").returncode == 1
    assert fq("extract", "-e", "cat", input=b"concatenate\n").returncode == 1
    assert fq("extract", "-e", "cat", "--allow-overlaps", input=b"concatenate\n").returncode == 0


def test_whole_file_records(tmp_path):
    path = tmp_path / "doc.txt"
    path.write_text("first New York\nthen İ los angeles\n", encoding="utf-8")
    (record,) = records(fq("extract", "-k", KEYWORDS, "--records", "file", path).stdout)
    text = path.read_text(encoding="utf-8")
    assert record["line"] is None
    assert [text[s:e] for _, _, s, e in record["matches"]] == ["New York", "los angeles"]


def test_bounded_batches_keep_line_numbers(tmp_path):
    path = tmp_path / "many.txt"
    lines = [f"line {i} {'New York' if i % 7 == 0 else 'nothing'}" for i in range(3000)]
    lines[1400] = "x " * 5000 + "New York"  # a line ten batches long
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = fq("extract", "-e", "new york", "--batch-bytes", "1000", path)
    assert [r["line"] for r in records(result.stdout)] == [i + 1 for i in range(3000) if i % 7 == 0 or i == 1400]
    assert records(result.stdout)[200]["matches"] == [["new york", 1.0, 10000, 10008]]


def test_replace_to_stdout_keeps_line_ends():
    kp = processor()
    for raw in [b"New York\r\nthen LOS ANGELES\r\n", b"no final newline New York", b"a\n\nNew York\n"]:
        result = fq("replace", "-k", KEYWORDS, input=raw)
        assert result.returncode == 0
        expected = "\n".join(kp.replace_keywords(line.rstrip("\r")) + ("\r" if line.endswith("\r") else "")
                             for line in raw.decode().split("\n"))
        assert result.stdout.decode() == expected


def test_replace_exit_status_counts_unchanged_matches():
    assert fq("replace", "-e", "same", input=b"the same\n").returncode == 0
    assert fq("replace", "-e", "other", input=b"the same\n").returncode == 1


def test_replace_in_place(tmp_path):
    kp = processor()
    originals = {}
    for sample in SAMPLES:
        copy = tmp_path / sample.name
        copy.write_bytes(sample.read_bytes())
        copy.chmod(0o640)
        originals[copy] = sample.read_text(encoding="utf-8")
    files = sorted(originals)
    assert fq("replace", "-k", KEYWORDS, "-i.orig", *files).returncode == 0
    for path, text in originals.items():
        assert path.read_text(encoding="utf-8") == "\n".join(kp.replace_keywords(x) for x in text.split("\n"))
        assert (tmp_path / (path.name + ".orig")).read_text(encoding="utf-8") == text
        assert path.stat().st_mode & 0o777 == 0o640
    # -i followed by a file name: the file is an input, not a backup suffix.
    first = files[0]
    first.write_text("los angeles\n", encoding="utf-8")
    assert fq("replace", "-k", KEYWORDS, "-i", first).returncode == 0
    assert first.read_text(encoding="utf-8") == "LA\n"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_in_place_failure_leaves_the_file(tmp_path):
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_text("New York\n", encoding="utf-8")
    bad.write_bytes(b"New York\nok\n\xff broken\n")
    result = fq("replace", "-k", KEYWORDS, "--in-place", bad, good)
    assert result.returncode == 2
    assert result.stderr.decode() == f"fernquill: error: {bad}:3: invalid UTF-8\n"
    assert bad.read_bytes() == b"New York\nok\n\xff broken\n"
    assert good.read_text() == "NYC\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.txt", "good.txt"]


@pytest.mark.slow  # a run of the command per error
@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["extract", "-e", "x", "missing.txt"], None, "fernquill: error: missing.txt: No such file or directory\n"),
        (["extract", "-e", "x", "-"], b"fine\n\xc3\x28 bad\n", "fernquill: error: <stdin>:2: invalid UTF-8\n"),
        (["extract", "-k", "bad.tsv", "-"], b"", "fernquill: error: bad.tsv:2: expected keyword[<TAB>clean name], got 3 fields\n"),
        (["extract", "-k", "missing.tsv"], b"", "fernquill: error: missing.tsv: No such file or directory\n"),
        (["extract", "--processor", "bad.tsv"], b"", "fernquill: error: bad.tsv: not a saved fernquill processor\n"),
        (["extract", "-e", ""], b"", "fernquill: error: -e '': empty keyword\n"),
        (["extract"], b"", "fernquill: error: no keywords: give -k FILE, -e KEYWORD or --processor FILE\n"),
        (["replace", "-e", "x", "-i"], b"", "fernquill: error: cannot edit stdin in place\n"),
        (["extract", "--processor", "bad.tsv", "-s"], b"",
         "fernquill: error: -s/--case-sensitive and --allow-overlaps come from the saved state with --processor\n"),
        (["extract", "-e", "x", "."], None, "fernquill: error: .: Is a directory\n"),
    ],
)
def test_errors_are_one_line_and_exit_2(tmp_path, args, stdin, message):
    (tmp_path / "bad.tsv").write_text("a\tA\nb\tB\tC\n", encoding="utf-8")
    result = fq(*args, input=stdin, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == (2, message)


def test_an_error_does_not_stop_the_other_files(tmp_path):
    result = fq("extract", "-k", KEYWORDS, tmp_path / "missing.txt", SAMPLES[0])
    assert result.returncode == 2
    assert records(result.stdout) == expected_extract(processor(), SAMPLES[:1])


@pytest.mark.slow  # a run of the command per value
@pytest.mark.parametrize("value", ["1.5", "-0.1", "nan", "abc"])
def test_threshold_out_of_range_is_a_usage_error(value):
    result = fq("extract", "-e", "x", "-t", value, input=b"")
    assert result.returncode == 2
    err = result.stderr.decode()
    assert err.startswith("usage: fernquill extract") and "argument -t/--threshold" in err
    assert "Traceback" not in err


def test_nothing_matched_exits_1():
    result = fq("extract", "-k", KEYWORDS, input=b"nothing to see\n")
    assert (result.returncode, result.stdout, result.stderr) == (1, b"", b"")


@pytest.mark.slow  # a run over 200,000 lines
def test_broken_pipe_is_quiet(tmp_path):
    big = tmp_path / "big.txt"
    big.write_text("New York and los angeles\n" * 200_000, encoding="utf-8")
    proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "extract", "-k", str(KEYWORDS), str(big)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
    assert proc.stdout.readline().startswith(b'{"path"')
    proc.stdout.close()
    assert proc.wait(timeout=120) == 0
    assert proc.stderr.read() == b""


def test_interrupt_exits_130():
    proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "extract", "-e", "york"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
    proc.stdin.write(b"new york\n")
    proc.stdin.flush()
    assert proc.stdout.readline().startswith(b'{"path"')  # now waiting for more input
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert proc.stderr.read() == b""
    proc.stdin.close()


def test_progress_bar_only_on_a_terminal():
    quiet = fq("extract", "-k", KEYWORDS, SAMPLES[0])
    assert quiet.stderr == b""
    leader, follower = pty.openpty()
    # The built-in bar; tqdm's own may be switched off where the tests run.
    without_tqdm = "import sys; sys.modules['tqdm'] = None; from fernquill_tools.cli import main; sys.exit(main())"
    try:
        proc = subprocess.run([sys.executable, "-c", without_tqdm, "extract", "-k", str(KEYWORDS), str(SAMPLES[0])],
                              stdout=subprocess.PIPE, stderr=follower, env=cli_env(), timeout=120)
        shown = b""
        while select.select([leader], [], [], 0.5)[0]:  # read while the terminal is still open
            shown += os.read(leader, 4096)
    finally:
        os.close(follower)
        os.close(leader)
    assert proc.returncode == 0 and proc.stdout == quiet.stdout
    assert b"1/1 files: 0 MiB 100%" in shown  # one bar for the run, whatever the number of files


@pytest.mark.skipif(FROM_SOURCE, reason="the console script needs an installed package")
def test_console_script():
    script = pathlib.Path(sysconfig.get_path("scripts")) / "fernquill"
    result = subprocess.run([script, "extract", "-k", KEYWORDS, *SAMPLES], capture_output=True, timeout=120)
    assert result.returncode == 0
    assert result.stdout == fq("extract", "-k", KEYWORDS, *SAMPLES).stdout


def test_in_place_in_many_batches_and_saved_state_permissions(tmp_path):
    path = tmp_path / "long.txt"
    lines = [f"{i} New York\r" if i % 3 else f"{i} los angeles" for i in range(500)]
    path.write_text("\n".join(lines), encoding="utf-8", newline="")
    assert fq("replace", "-k", KEYWORDS, "--batch-bytes", "64", "--in-place=~", path).returncode == 0
    assert path.read_bytes().decode().split("\n") == [
        line.replace("New York", "NYC").replace("los angeles", "LA") for line in lines]
    assert (tmp_path / "long.txt~").read_bytes().decode().split("\n") == lines
    state = tmp_path / "kp.state"
    umask = os.umask(0o022)
    try:
        assert fq("extract", "-e", "a", "--save", state).returncode == 0
    finally:
        os.umask(umask)
    assert state.stat().st_mode & 0o777 == 0o644


def run_in_process(capsysbinary, argv):
    status = cli.main(argv)
    captured = capsysbinary.readouterr()
    return status, captured.out, captured.err


def test_strict_errors_name_the_file_and_line_and_go_on(tmp_path, capsysbinary):
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_bytes(b"la\n")
    bad.write_bytes(b"la\nfine\n\xc3 la\nla\n")
    status, out, err = run_in_process(capsysbinary, ["extract", "-e", "la", str(good), str(bad), str(good)])
    assert status == 2
    assert err == f"fernquill: error: {bad}:3: invalid UTF-8\n".encode()
    line = json.dumps({"path": str(good), "line": 1, "matches": [["la", 1.0, 0, 2]]}, separators=(",", ":")).encode()
    assert out == line + b"\n" + line + b"\n"


@pytest.mark.parametrize("count", [[], ["-c", "--per-file"]], ids=["records", "counts"])
def test_file_names_that_are_not_utf8_come_back_byte_for_byte(tmp_path, capsysbinary, count):
    raw = os.fsencode(tmp_path) + b"/caf\xe9 \xff.txt"
    with open(raw, "wb") as f:
        f.write("la Straße\nla\n".encode())
    status, out, err = run_in_process(capsysbinary, ["extract", "-e", "la=Là", *count, os.fsdecode(raw)])
    assert (status, err) == (0, b"")
    found = [json.loads(line) for line in out.splitlines()]
    assert [os.fsencode(r["path"]) for r in found] == [raw] * (1 if count else 2)
    assert found[0]["count" if count else "line"] == (2 if count else 1)


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


def test_many_small_files_share_a_search(tmp_path, monkeypatch, capsysbinary):
    from fernquill_tools import cli_search

    paths = []
    for i in range(50):
        path = tmp_path / f"{i:02}.txt"
        path.write_text(f"la {i}\n" * (i % 3))
        paths.append(str(path))
    calls = []
    original = cli_search.Search.search

    def search(self, batches):
        calls.append([b.reading.name for b in batches])
        return original(self, batches)

    monkeypatch.setattr(cli_search.Search, "search", search)
    status, out, _ = run_in_process(capsysbinary, ["extract", "-e", "la", *paths])
    assert status == 0 and out.count(b"\n") == sum(i % 3 for i in range(50))
    assert calls == [[p for i, p in enumerate(paths) if i % 3]]  # one call for all the files
