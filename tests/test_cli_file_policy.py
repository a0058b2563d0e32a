"""Which files the `fernquill` command reads and rewrites, tried as a hostile
user would: every kind of file in a walked tree, links out of it, special files
given to -i, broken and explosive gzip, a file that turns into a FIFO."""

import ctypes
import gzip
import json
import os
import resource
import socket
import stat
import subprocess
import sys
import threading

import pytest

from fernquill_tools import cli, cli_progress
from helpers import skip_under_asan
from test_cli import cli_env

IS_ROOT = os.geteuid() == 0
PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_SETPCAP = 24, 1, 2, 8
UNDER_ASAN = skip_under_asan.args[0]  # the address limit is for the command's own memory
AS_LIMIT = 1 << 30  # address space of a run fed the gzip bomb, which expands to 4 GiB


def _drop_file_rights(limit_memory):
    # Root reads past a mode of 000: give that right up for the command (and a
    # memory limit for the bomb).
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) if IS_ROOT else ():
        if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl")
    if limit_memory:
        resource.setrlimit(resource.RLIMIT_AS, (AS_LIMIT, AS_LIMIT))


def run(*args, cwd, limit_memory=False, input=None):
    return subprocess.run([sys.executable, "-m", "fernquill_tools", *map(str, args)], capture_output=True, cwd=cwd,
                          env=cli_env(), timeout=120, input=input, preexec_fn=lambda: _drop_file_rights(limit_memory))


def _can_drop_file_rights():
    with open("/proc/self/status") as f:
        effective = next(int(line.split()[1], 16) for line in f if line.startswith("CapEff:"))
    return not IS_ROOT or bool(effective & (1 << CAP_SETPCAP))


def _socket(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(path))


def _gzip_broken_in_second_member(path):
    good = gzip.compress(b"NY before the damage\n" * 1000)
    path.write_bytes(good + good[:12] + b"\xff" * 40 + good[52:])


MAKE = {
    "text": lambda p: p.write_text(f"NY in {p.name}\n"),
    "fifo": os.mkfifo,
    "socket": _socket,
    "device": lambda p: os.mknod(p, stat.S_IFCHR | 0o666, os.makedev(1, 3)),  # what /dev/null is
    "locked file": lambda p: (p.write_text("NY\n"), p.chmod(0)),
    "locked folder": lambda p: (p.mkdir(), (p / "in.txt").write_text("NY\n"), p.chmod(0)),
    "corrupt gzip": _gzip_broken_in_second_member,
    "bomb": lambda p: p.write_bytes(gzip.compress(b"NY first member\n") + gzip.compress(bytes(64 << 20), 9) * 64),
}
# Each entry of the swept tree, and what -r and -R do with it: "read",
# "passed" over silently (as grep), or "refused" with one line naming it.
TREE = [
    ("a.txt", "text", "read", "read"), ("sub/b.txt", "text", "read", "read"),
    ("link_in.txt", "link:a.txt", "passed", "read"),
    ("link_out.txt", "link:../outside/victim.txt", "passed", "read"),
    ("sub/up", "link:..", "passed", "passed"),  # a loop of folders: a warning under -R
    ("dangling", "link:nowhere", "passed", "refused"), ("loop", "link:loop", "passed", "refused"),
    ("fifo", "fifo", "passed", "passed"), ("socket", "socket", "passed", "passed"),
    ("device", "device", "passed", "passed"),
    ("unreadable.txt", "locked file", "refused", "refused"), ("locked", "locked folder", "refused", "refused"),
    ("corrupt.gz", "corrupt gzip", "refused", "refused"), ("bomb.gz", "bomb", "refused", "refused"),
]


def snapshot(root):
    """Type, device, time and readable bytes of every entry but folders' times."""
    shot = {}
    for path in sorted(p for p in root.rglob("*") if "locked/" not in str(p)):
        st = os.lstat(path)
        data = path.read_bytes() if stat.S_ISREG(st.st_mode) and path.name != "bomb.gz" and st.st_mode & 0o444 else None
        shot[str(path.relative_to(root))] = (stat.S_IFMT(st.st_mode), st.st_rdev,
                                             None if stat.S_ISDIR(st.st_mode) else st.st_mtime_ns, data)
    return shot


@pytest.mark.slow  # a gzip bomb of 4 GiB, three times
@skip_under_asan
@pytest.mark.skipif(not IS_ROOT or not _can_drop_file_rights(), reason="device nodes need root, able to drop rights")
@pytest.mark.parametrize("command", [("extract", "-r"), ("extract", "-R"), ("replace", "-i", "-r")])
def test_a_sweep_over_every_kind_of_file(tmp_path, command):
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "victim.txt").write_text("NY outside\n")
    for name, how, *_ in TREE:
        path = tmp_path / "tree" / name
        path.symlink_to(how[5:]) if how.startswith("link:") else MAKE[how](path)
    expected = {name: outcome[command[-1] == "-R"] for name, _, *outcome in TREE}
    before = snapshot(tmp_path)
    try:
        result = run(*command, "-e", "NY=X", "tree", cwd=tmp_path, limit_memory=True)
    finally:
        (tmp_path / "tree" / "locked").chmod(0o755)
    errors = [line.split(": ")[2][5:] for line in result.stderr.decode().splitlines() if ": error: " in line]
    assert (result.returncode, sorted(errors)) == (2, sorted(n for n, o in expected.items() if o == "refused"))
    read = sorted(name for name, outcome in expected.items() if outcome == "read")
    if command[0] == "extract":  # the first members of the gzip files are read before they fail
        found = {json.loads(line)["path"][5:] for line in result.stdout.splitlines()}
        assert sorted(found) == sorted(read + ["bomb.gz", "corrupt.gz"]) and snapshot(tmp_path) == before
        return
    after = snapshot(tmp_path)
    for name, (*_, data) in before.items():
        if name[5:] in read:
            assert after[name][3] == data.replace(b"NY", b"X"), name
        else:
            assert after[name] == before[name], f"{name} was touched"


@pytest.mark.slow  # a dozen runs of the command, one of them a gzip bomb
def test_what_a_run_refuses_and_its_exit_status(tmp_path):
    for kind in ("fifo", "socket") + (("device",) if IS_ROOT else ()):
        MAKE[kind](tmp_path / kind)
    (tmp_path / "empty").mkdir()
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / "a.txt").write_text("NY\n")
    (tmp_path / "tree" / "b.gz").write_bytes(gzip.compress(b"NY\n"))
    (tmp_path / "via").symlink_to("tree")
    _gzip_broken_in_second_member(tmp_path / "corrupt.gz")
    MAKE["bomb"](tmp_path / "bomb.gz")
    (tmp_path / "truncated.gz").write_bytes(gzip.compress(b"NY\n" * 1000)[:-6])
    cases = [  # arguments, stdin, exit status, error lines, records found
        (["replace", "-i", *[k for k in ("fifo", "socket", "device") if (tmp_path / k).exists()]], None, 2,
         [f"{k}: not a regular file" for k in ("fifo", "socket", "device") if (tmp_path / k).exists()], 0),
        (["extract", "-r", "empty"], None, 1, [], 0),
        (["replace", "-i", "-r", "empty"], None, 1, [], 0),
        (["extract", "-r", "via"], None, 0, [], 2),  # a link named by the user is followed
        (["replace", "--skip-compressed", "tree/a.txt"], None, 2, ["--skip-compressed goes with -i/--in-place"], 0),
        (["extract", "corrupt.gz", "tree/a.txt"], None, 2, ["corrupt.gz: corrupt compressed data"], 1001),
        (["extract", "-", "tree/a.txt"], "corrupt.gz", 2, ["<stdin>: corrupt compressed data"], 1001),
        (["extract", "--records", "file", "-", "tree/a.txt"], "truncated.gz", 2, ["<stdin>: Compressed file ended"], 1),
        (["extract", "/proc/self/mem", "tree/a.txt"], None, 2, ["/proc/self/mem: Input/output error"], 1),
        (["extract", "--records", "file", "-", "tree/a.txt"], "bomb.gz", 2, ["<stdin>: out of memory"], 1),
        (["replace", "-i", "--skip-compressed", "-r", "via"], None, 0, [], 0),
    ]
    for args, given, status, errors, found in cases:
        data = (tmp_path / given).read_bytes() if given else None
        if given == "bomb.gz" and UNDER_ASAN:
            continue
        result = run(*args[:1], "-e", "NY", *args[1:], cwd=tmp_path, input=data, limit_memory=given == "bomb.gz")
        lines = [line.split(": ", 2)[2] for line in result.stderr.decode().splitlines() if ": error: " in line]
        assert (result.returncode, len(lines), result.stdout.count(b"\n")) == (status, len(errors), found), args
        assert all(line.startswith(error) for line, error in zip(lines, errors)), (args, lines)
    assert result.stderr == b"fernquill: warning: via/b.gz: compressed, left as it is\n"
    assert [stat.S_IFMT(os.lstat(tmp_path / k).st_mode) for k in ("fifo", "socket")] == [stat.S_IFIFO, stat.S_IFSOCK]


def test_a_listed_file_that_became_a_fifo_is_refused_not_waited_for(tmp_path):
    big, later = tmp_path / "big.txt", tmp_path / "later.txt"
    big.write_bytes(b"NY and more words\n" * 20_000)
    later.write_text("NY\n")
    # Small batches: the helper reaches the second file long after the listing.
    proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "extract", "-e", "NY", "--batch-bytes", "2000",
                             str(big), str(later)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
    stuck = threading.Timer(60, proc.kill)  # a helper waiting for the FIFO's writer never ends
    stuck.start()
    try:
        out = proc.stdout.readline()
        later.unlink()
        os.mkfifo(later)
        out += proc.stdout.read()
        err = proc.stderr.read()
    finally:
        stuck.cancel()
        proc.wait()
    assert (proc.returncode, err.decode(), out.count(b"\n")) == (
        2, f"fernquill: error: {later}: not a regular file\n", 20_000)


class _Terminal(list):
    """A stderr that is a terminal, keeping what is drawn."""

    write, isatty, flush = list.append, lambda self: True, lambda self: None


def test_the_progress_bar_covers_the_whole_run(tmp_path, monkeypatch):
    data = [b"NY\n" * 300_000, gzip.compress(b"plain words\n" * 400_000), b"NY\n" * 200_000]
    for i, d in enumerate(data):
        (tmp_path / str(i)).write_bytes(d)
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the plain display
    monkeypatch.setattr(cli_progress, "REDRAW_SECONDS", 0.0)
    monkeypatch.setattr(sys, "stderr", _Terminal())
    assert cli.main(["extract", "-c", "-e", "NY", "--batch-bytes", "65536", *(str(tmp_path / str(i)) for i in range(3))]) == 0
    shown = [t for t in sys.stderr if "files" in t]
    shares = [int(t.rsplit(" ", 1)[1].rstrip("%")) for t in shown]
    assert shares == sorted(shares) and shares[-1] == 100, shown
    assert sorted({t.split(":")[0] for t in shown}) == ["\r1/3 files", "\r2/3 files", "\r3/3 files"]
    assert f" {sum(map(len, data)) >> 20} MiB" in shown[-1] and sys.stderr[-1] == "\r\x1b[K"
