"""The `fernquill` command used as a careless or hostile user would: one file
given twice in place, files owned by others, SIGTERM in the middle of a
rewrite, folders it may not write to, closed and full output, a saved state
with bytes appended, and a single line far longer than a batch."""

import os
import random
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import fernquill
from fernquill_tools import cli, cli_files
from test_cli import KEYWORDS, cli_env, fq, records
from helpers import skip_under_asan

IS_ROOT = os.geteuid() == 0
NOBODY = 65534


def test_one_file_given_twice_is_edited_once(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("NY twice\n")
    alias = tmp_path / "alias.txt"
    alias.hardlink_to(path)
    link = tmp_path / "link.txt"
    link.symlink_to(path)
    result = fq("replace", "-e", "NY=NY-NY", "-i.bak", path, path, alias)
    assert (result.returncode, result.stderr) == (0, b"")
    assert path.read_text() == "NY-NY twice\n"
    assert (tmp_path / "f.txt.bak").read_text() == "NY twice\n"
    assert not (tmp_path / "alias.txt.bak").exists()
    # To standard output a file given twice is simply read twice, like cat.
    assert fq("replace", "-e", "NY=X", link, path).stdout == b"X-X twice\n" * 2


@pytest.mark.skipif(not IS_ROOT, reason="giving files to another owner needs root")
def test_in_place_keeps_owner_group_and_mode(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("NY\n")
    os.chown(path, NOBODY, NOBODY)
    path.chmod(0o640)
    assert fq("replace", "-e", "NY=X", "-i", path).returncode == 0
    st = path.stat()
    assert (path.read_text(), st.st_uid, st.st_gid, st.st_mode & 0o7777) == ("X\n", NOBODY, NOBODY, 0o640)


def test_in_place_keeps_the_mode_for_the_owner(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("NY\n")
    path.chmod(0o604)
    before = path.stat()
    assert fq("replace", "-e", "NY=X", "-i", path).returncode == 0
    after = path.stat()
    assert (after.st_uid, after.st_gid, after.st_mode & 0o7777) == (before.st_uid, before.st_gid, 0o604)


def _wait_for(predicate, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = predicate()
        if found:
            return found
        time.sleep(0.01)
    raise AssertionError("timed out")


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, -signal.SIGTERM), (signal.SIGINT, 130)])
def test_a_signal_during_a_rewrite_leaves_no_temporary_file(tmp_path, sig, status):
    path = tmp_path / "big.txt"
    original = b"some text and New York\n" * 400_000
    path.write_bytes(original)
    # Small batches make the rewrite take a while; the temporary file shows it started.
    proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "replace", "-k", str(KEYWORDS),
                             "--batch-bytes", "2000", "-i.bak", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
    _wait_for(lambda: [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")])
    proc.send_signal(sig)
    assert proc.wait(timeout=60) == status
    assert proc.stderr.read() == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.txt"]
    assert path.read_bytes() == original


def test_unwritable_folder_names_the_input(tmp_path, monkeypatch, capsys):
    path = tmp_path / "f.txt"
    path.write_text("NY\n")
    if IS_ROOT:  # root writes anywhere: the folder refuses through mkstemp, as it would
        def refuse(dir=None, prefix=None, suffix=None):
            name = os.path.join(dir, prefix + "x" + suffix)
            raise PermissionError(13, "Permission denied", name)

        monkeypatch.setattr(tempfile, "mkstemp", refuse)
    else:
        tmp_path.chmod(0o555)
    try:
        status = cli.main(["replace", "-e", "NY=X", "-i", str(path)])
    finally:
        tmp_path.chmod(0o755)
    assert status == 2
    assert capsys.readouterr().err == f"fernquill: error: {path}: cannot write a new file beside it: Permission denied\n"
    assert path.read_text() == "NY\n"
    assert [p.name for p in tmp_path.iterdir()] == ["f.txt"]


def _shell(command, **kwargs):
    return subprocess.run(["bash", "-c", command], capture_output=True, env=cli_env(), timeout=120, **kwargs)


CLI = f"{sys.executable} -m fernquill_tools"


@pytest.mark.slow  # a run of the command per output
@pytest.mark.parametrize("args", [["extract"], ["extract", "-c"], ["extract", "-c", "--per-file"], ["replace"]])
@pytest.mark.parametrize("redirect, reason", [(">&-", "Bad file descriptor"), ("> /dev/full", "No space left on device")])
def test_failed_output_exits_2_with_one_line(tmp_path, args, redirect, reason):
    path = tmp_path / "f.txt"
    path.write_text("NY and NY\n" * 1000)
    result = _shell(f"{CLI} {' '.join(args)} -e NY {path} {redirect}")
    assert (result.returncode, result.stderr.decode()) == (2, f"fernquill: error: standard output: {reason}\n")


@pytest.mark.slow  # 300,000 lines through a pipe
@pytest.mark.parametrize("args", [["extract"], ["replace"]])
def test_a_reader_that_stops_early_is_not_an_error(tmp_path, args):
    path = tmp_path / "f.txt"
    path.write_text("NY and NY\n" * 300_000)
    result = _shell(f"{CLI} {' '.join(args)} -e NY {path} | head -1; exit ${{PIPESTATUS[0]}}")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.count(b"\n") == 1


def test_padded_state_file_keeps_its_case_sensitivity(tmp_path):
    state = tmp_path / "kp.state"
    assert fq("extract", "-e", "ab", "--save", state).returncode == 0  # not case-sensitive
    padded = tmp_path / "padded.state"
    padded.write_bytes(state.read_bytes() + b"\n")
    kp = fernquill.KeywordProcessor(case_sensitive=True)
    kp.__setstate__(padded.read_bytes())
    text = "İ ab\n"  # 'İ' folds to three bytes: byte and character offsets differ
    (match,) = kp.extract_keywords(text.rstrip("\n"))
    assert (match.start, match.end) == (4, 6)
    for saved in (state, padded):
        result = fq("extract", "--processor", saved, input=text.encode())
        assert records(result.stdout)[0]["matches"] == [["ab", 1.0, 2, 4]]


@pytest.mark.stress  # a line of 256 MiB, five times
@skip_under_asan  # its shadow memory counts in the peak
@pytest.mark.parametrize("args, unit", [
    (["replace"], b"New York and some more words "),
    (["extract", "-c"], b"New York and some more words "),
    (["extract"], b"New York and some more words "),
    # a match every seven bytes: no list of the matches may be held
    (["replace"], b"NY and "),
    (["extract", "-c"], b"NY and "),
    # the whole-word scans take their matches a piece at a time too
    (["replace", "--words", "unicode", "--fallback"], b"NY and "),
    (["extract", "-c", "--words", "unicode"], b"NY and "),
])
def test_one_long_line_stays_within_a_few_copies(tmp_path, args, unit):
    size = 256 << 20
    path = tmp_path / "line.txt"
    with open(path, "wb") as f:
        unit *= 1024
        for _ in range(size // len(unit)):
            f.write(unit)
        f.write(b"\n")
    code = ("import resource, subprocess, sys; "
            "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL); "
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, r.returncode)")
    result = subprocess.run([sys.executable, "-c", code, sys.executable, "-m", "fernquill_tools", *args,
                             "-e", "new york=NYC", "-e", "NY=X", str(path)], capture_output=True, env=cli_env(), timeout=900)
    peak_kib, status = map(int, result.stdout.split())
    assert status == 0, result.stderr
    copies = peak_kib * 1024 / size
    assert copies < 4.5, f"{' '.join(args)}: peak {copies:.1f} times the line"


def test_every_name_of_a_file_shows_one_edit(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("NY twice\n")
    (tmp_path / "hard.txt").hardlink_to(path)
    (tmp_path / "link.txt").symlink_to("f.txt")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "up.txt").symlink_to("../f.txt")
    names = ["link.txt", "f.txt", "hard.txt", "./f.txt", "sub/up.txt", "sub/../f.txt"]
    result = fq("replace", "-e", "NY=NY-NY", "-i.bak", *names, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    # The links stay links, the hard link stays the same file, and the backup holds the original.
    assert [(tmp_path / name).read_text() for name in names] == ["NY-NY twice\n"] * len(names)
    assert (tmp_path / "link.txt").is_symlink() and (tmp_path / "sub" / "up.txt").is_symlink()
    assert path.stat().st_ino == (tmp_path / "hard.txt").stat().st_ino
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.txt", "f.txt.bak", "hard.txt", "link.txt", "sub"]
    assert (tmp_path / "f.txt.bak").read_text() == "NY twice\n"


@pytest.mark.skipif(not IS_ROOT, reason="editing as another user needs root")
@pytest.mark.parametrize("owner, kept_bits", [((NOBODY, NOBODY), 0o6000), ((NOBODY, 0), 0o4000), ((0, 0), 0)])
def test_set_id_bits_are_not_handed_to_a_new_owner(owner, kept_bits):
    # Rewritten by nobody, who may keep only their own user and group. (The
    # interpreter lives where nobody may not run it: a forked child drops its
    # rights and writes the file as the command does.)
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        path = os.path.join(folder, "tool")
        with open(path, "w") as f:
            f.write("NY\n")
        os.chown(path, *owner)
        os.chmod(path, 0o6755)
        child = os.fork()
        if child == 0:
            status = 1
            try:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
                cli_files.write_atomically(path, [b"X\n"])
                status = 0
            finally:
                os._exit(status)
        assert os.waitpid(child, 0)[1] == 0
        st = os.stat(path)
        assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (NOBODY, NOBODY, 0o755 | kept_bits)


@pytest.mark.stress  # a few dozen interrupted rewrites, a second apart
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_at_any_moment_leaves_the_file_whole(tmp_path, sig):
    original = b"some text and New York\n" * 40_000
    replaced = original.replace(b"New York", b"NYC")
    rng = random.Random(sig)
    outcomes = set()
    for _ in range(25):
        path = tmp_path / "f.txt"
        path.write_bytes(original)
        proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "replace", "-e", "new york=NYC",
                                 "--batch-bytes", "20000", "-i.bak", str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
        time.sleep(rng.uniform(0.0, 1.5))
        proc.send_signal(sig)
        status = proc.wait(timeout=60)
        names = sorted(p.name for p in tmp_path.iterdir())
        if path.read_bytes() == replaced:
            assert names == ["f.txt", "f.txt.bak"] and (tmp_path / "f.txt.bak").read_bytes() == original
            outcomes.add("done" if status == 0 else "signalled after")
        else:
            assert path.read_bytes() == original and status != 0
            assert names in (["f.txt"], ["f.txt", "f.txt.bak"]), names
            outcomes.add("signalled")
        for p in tmp_path.iterdir():
            p.unlink()
    assert "signalled" in outcomes
