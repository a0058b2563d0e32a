"""Which files the `fernquill` command reads and rewrites: walking folders
(links, FIFOs, sockets, devices, unreadable entries), opening without waiting
on a file that changed type, input failures reported as one line, and
in-place edits that touch regular files inside the tree only."""

import contextlib
import ctypes
import gzip
import json
import os
import resource
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import types
import zlib

import pytest

from fernquill_tools import _read_ahead, cli, cli_files, cli_progress
from helpers import skip_under_asan
from test_cli import cli_env, fq

IS_ROOT = os.geteuid() == 0
PR_CAPBSET_DROP = 24
CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 1, 2
AS_LIMIT = 1 << 30  # address space of a run fed a gzip bomb
MEMBER = 64 << 20  # zeros per member of the bomb: 64 members, 4 GiB without a line feed


def _without_file_rights():
    """In the child before exec: as root, give up the rights that read past
    file modes, so that a mode of 000 refuses as it does for other users."""
    if IS_ROOT:
        libc = ctypes.CDLL(None, use_errno=True)
        for cap in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
            if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl")


def _limited_memory():
    _without_file_rights()
    resource.setrlimit(resource.RLIMIT_AS, (AS_LIMIT, AS_LIMIT))


def run(*args, cwd, limit_memory=False, input=None):
    return subprocess.run([sys.executable, "-m", "fernquill_tools", *map(str, args)], capture_output=True, cwd=cwd,
                          env=cli_env(), timeout=120, input=input,
                          preexec_fn=_limited_memory if limit_memory else _without_file_rights)


def error_lines(stderr):
    return [line for line in stderr.decode().splitlines() if line.startswith("fernquill: error: ")]


def bomb():
    member = gzip.compress(bytes(MEMBER), compresslevel=9)
    return gzip.compress(b"NY first member\n") + member * 64


def _socket(path):
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(path))


def _device(path):
    if not IS_ROOT:
        pytest.skip("making a device node needs root")
    os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # what /dev/null is


SPECIAL = {"fifo": os.mkfifo, "socket": _socket, "device": _device}


def _kind_of(path):
    st = os.lstat(path)
    return stat.S_IFMT(st.st_mode), st.st_rdev, st.st_mtime_ns


@pytest.mark.parametrize("kind", sorted(SPECIAL))
def test_in_place_refuses_what_is_not_a_regular_file(tmp_path, kind):
    node = tmp_path / kind
    SPECIAL[kind](node)
    before = _kind_of(node)
    result = fq("replace", "-e", "NY=X", "-i.bak", node)
    assert (result.returncode, result.stderr.decode()) == (2, f"fernquill: error: {node}: not a regular file\n")
    assert _kind_of(node) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [kind]


# Each entry of the swept tree: how to make it, and what each walk does with
# it: "read" (its records are processed), "passed" (left out silently, as grep
# does), or "refused" (one error line naming it, exit 2).
TREE = [
    ("a.txt", "text", "read", "read"),
    ("sub/b.txt", "text", "read", "read"),
    ("link_in.txt", "link:a.txt", "passed", "read"),
    ("link_out.txt", "link:../outside/victim.txt", "passed", "read"),
    ("sub/up", "link:..", "passed", "passed"),  # a loop of folders: warned about under -R
    ("dangling", "link:nowhere", "passed", "refused"),
    ("loop", "link:loop", "passed", "refused"),
    ("fifo", "fifo", "passed", "passed"),
    ("socket", "socket", "passed", "passed"),
    ("device", "device", "passed", "passed"),
    ("unreadable.txt", "locked file", "refused", "refused"),
    ("locked", "locked folder", "refused", "refused"),
    ("corrupt.gz", "corrupt gzip", "refused", "refused"),
    ("bomb.gz", "bomb", "refused", "refused"),
]


def make_tree(root, with_bomb=True):
    tree, outside = root / "tree", root / "outside"
    (tree / "sub").mkdir(parents=True)
    outside.mkdir()
    (outside / "victim.txt").write_text("NY outside\n")
    for name, how, *_ in TREE:
        path = tree / name
        if how == "text":
            path.write_text(f"NY in {name}\n")
        elif how.startswith("link:"):
            path.symlink_to(how[5:])
        elif how in SPECIAL:
            SPECIAL[how](path)
        elif how == "locked file":
            path.write_text("NY locked\n")
            path.chmod(0)
        elif how == "locked folder":
            path.mkdir()
            (path / "inside.txt").write_text("NY inside\n")
            path.chmod(0)
        elif how == "corrupt gzip":  # the second member's deflate blocks overwritten
            good = gzip.compress(b"NY before the damage\n" * 1000)
            path.write_bytes(good + good[:12] + b"\xff" * 40 + good[52:])
        elif how == "bomb":
            path.write_bytes(bomb() if with_bomb else gzip.compress(b"NY\n"))
    return tree, outside


def snapshot(root):
    """Type, device, time and bytes of every entry (a folder's time changes
    with its entries, and is left out)."""
    shot = {}
    for path in sorted(root.rglob("*")):
        name = str(path.relative_to(root))
        if name.startswith("tree/locked/"):
            continue
        kind, rdev, mtime = _kind_of(path)
        readable = stat.S_ISREG(kind) and path.name not in ("bomb.gz", "unreadable.txt")
        shot[name] = (kind, rdev, None if stat.S_ISDIR(kind) else mtime, path.read_bytes() if readable else None)
    return shot


def _may_drop_file_rights():
    if not IS_ROOT:
        return True
    with open("/proc/self/status") as f:
        effective = next(int(line.split()[1], 16) for line in f if line.startswith("CapEff:"))
    return bool(effective & (1 << 8))  # CAP_SETPCAP, to drop a right for good


@pytest.mark.slow  # a gzip bomb of 4 GiB, three times
@skip_under_asan  # the address limit is for the command's own memory
@pytest.mark.skipif(not _may_drop_file_rights(), reason="root that cannot give up reading past file modes")
@pytest.mark.parametrize("command", [("extract", "-r"), ("extract", "-R"), ("replace", "-i", "-r")])
def test_a_sweep_over_every_kind_of_file(tmp_path, command):
    tree, outside = make_tree(tmp_path)
    follow = command[-1] == "-R"
    expected = {name: (deref if follow else plain) for name, _, plain, deref in TREE}
    before = snapshot(tmp_path)
    try:
        result = run(*command, "-e", "NY=X", "tree", cwd=tmp_path, limit_memory=True)
    finally:
        (tree / "locked").chmod(0o755)
    refused = sorted(name for name, outcome in expected.items() if outcome == "refused")
    named = sorted(line.split(": ")[2][len("tree/"):] for line in error_lines(result.stderr))
    assert (result.returncode, named) == (2, refused), result.stderr.decode()
    read = sorted(name for name, outcome in expected.items() if outcome == "read")
    if command[0] == "extract":
        found = sorted({json.loads(line)["path"][len("tree/"):] for line in result.stdout.splitlines()})
        # Both gzip files' first members are read before the failure in the next.
        assert found == sorted(read + ["bomb.gz", "corrupt.gz"]), result.stderr.decode()
        assert snapshot(tmp_path) == before
        return
    after = snapshot(tmp_path)
    for name in before:
        if expected.get(name.removeprefix("tree/")) == "read":
            assert after[name][3] == before[name][3].replace(b"NY", b"X"), name
        else:
            assert after[name] == before[name], f"{name} was touched"


def test_walking_lists_regular_files_and_what_it_could_not_list(tmp_path, capsys):
    tree, _ = make_tree(tmp_path, with_bomb=False)
    (tree / "locked").chmod(0o755)  # its refusal needs a user that mode 000 stops: the sweep's
    # What listing decides; the rest is decided when a file is opened.
    listed_later = {"locked": "passed", "unreadable.txt": "read", "corrupt.gz": "read", "bomb.gz": "read"}
    for follow in (False, True):
        args = types.SimpleNamespace(files=[str(tree)], save=None, recursive=not follow, dereference_recursive=follow)
        entries = cli_files.input_files(args)
        listed = {os.path.relpath(e.path, tree): "refused" if e.error else "read" for e in entries}
        assert {name: listed.get(name, "passed") for name, *_ in TREE} == {
            name: listed_later.get(name, deref if follow else plain) for name, _, plain, deref in TREE}, follow
        assert all(e.regular_only and e.follow == follow for e in entries if e.error is None)
        assert listed.get("locked/inside.txt") == "read"
    assert capsys.readouterr().err == f"fernquill: warning: {tree / 'sub' / 'up'}: recursive directory loop\n"


def _corrupt_second_member(path):
    good = gzip.compress(b"NY before the damage\n" * 1000)
    path.write_bytes(good + good[:12] + b"\xff" * 40 + good[52:])


# An input that fails part way, the records read before the failure (lines
# mode only: a whole-file record is all or nothing), and its reason.
FAILURES = [
    ("corrupt", _corrupt_second_member, 1000, "corrupt compressed data"),
    ("truncated", lambda p: p.write_bytes(gzip.compress(b"NY\n" * 100_000)[:-100]), None,
     "Compressed file ended before the end-of-stream marker was reached"),
    ("not gzip", lambda p: p.write_bytes(b"\x1f\x8b\x09" + bytes(20)), 0, "Unknown compression method"),
    ("unreadable", None, 0, "Input/output error"),  # /proc/self/mem opens, and fails to read at 0
    pytest.param("bomb", lambda p: p.write_bytes(bomb()), 1, "out of memory while reading it",
                 marks=[pytest.mark.slow, skip_under_asan]),
]


@pytest.mark.parametrize("records", ["lines", "file"])
@pytest.mark.parametrize("name, make, lines_read, reason", FAILURES)
def test_an_input_failure_is_one_line_and_the_next_file_is_read(tmp_path, name, make, lines_read, reason, records):
    bad = tmp_path / "bad.gz"
    if make is None:
        bad = "/proc/self/mem"
    else:
        make(bad)
    last = tmp_path / "last.txt"
    last.write_text("NY last\n")
    for via_stdin in (False, True):
        if via_stdin and make is None:
            continue
        given = ["-", last] if via_stdin else [bad, last]
        result = run("extract", "-e", "NY", "--records", records, *given, cwd=tmp_path,
                     limit_memory=name == "bomb", input=bad.read_bytes() if via_stdin else None)
        shown = "<stdin>" if via_stdin else str(bad)
        assert result.returncode == 2, (via_stdin, result.stderr)
        (line,) = result.stderr.decode().splitlines()
        assert line.startswith(f"fernquill: error: {shown}: {reason}"), line
        paths = [json.loads(r)["path"] for r in result.stdout.splitlines()]
        before = paths.count(shown)
        if records == "file":
            assert before == 0
        elif lines_read is not None:
            assert before == lines_read, (via_stdin, before)
        assert paths[-1] == str(last)


def test_a_listed_file_that_became_a_fifo_is_refused_not_waited_for(tmp_path):
    big = tmp_path / "big.txt"
    big.write_bytes(b"NY and more words\n" * 20_000)
    later = tmp_path / "later.txt"
    later.write_text("NY\n")
    # Small batches: the helper reads the big file a group ahead, long after the listing.
    proc = subprocess.Popen([sys.executable, "-m", "fernquill_tools", "extract", "-e", "NY", "--batch-bytes", "2000",
                             str(big), str(later)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env())
    stuck = threading.Timer(60, proc.kill)  # a helper waiting for the FIFO's writer would never end
    stuck.start()
    try:
        out = proc.stdout.readline()  # listed, and reading
        later.unlink()
        os.mkfifo(later)
        out += proc.stdout.read()
        err = proc.stderr.read()
    finally:
        stuck.cancel()
        proc.wait()
    assert (proc.returncode, err.decode()) == (2, f"fernquill: error: {later}: not a regular file\n")
    assert out.count(b"\n") == 20_000


def test_opening_refuses_a_changed_type_without_waiting(tmp_path):
    # As each kind of special file, the name listed as a regular file opens at
    # once (a FIFO without a writer would otherwise wait) and is refused.
    for kind, make in sorted(SPECIAL.items()):
        if kind == "device" and not IS_ROOT:
            continue
        path = tmp_path / kind
        path.write_text("x\n")
        (entry,) = cli_files.input_files(types.SimpleNamespace(files=[str(path)], save=None, recursive=False))
        path.unlink()
        make(path)
        opened = threading.Thread(target=lambda: pytest.raises(cli_files.CliError, cli_files.open_source, entry),
                                  daemon=True)
        opened.start()
        opened.join(timeout=10)
        assert not opened.is_alive(), f"opening a {kind} listed as a regular file waits"
        with pytest.raises(cli_files.CliError, match="not a regular file"):
            cli_files.open_source(entry)
    # Under -r a file that became a link is not followed.
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "f.txt").write_text("x\n")
    (entry,) = cli_files.input_files(types.SimpleNamespace(files=[str(tmp_path / "sub")], save=None, recursive=True))
    (tmp_path / "sub" / "f.txt").unlink()
    (tmp_path / "sub" / "f.txt").symlink_to(tmp_path / "socket")
    with pytest.raises(cli_files.CliError, match="not a regular file"):
        cli_files.open_source(entry)


def test_exit_status_of_walks_and_compressed_edits(tmp_path):
    (tmp_path / "empty").mkdir()
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / "a.txt").write_text("NY\n")
    (tmp_path / "tree" / "b.txt.gz").write_bytes(gzip.compress(b"NY\n"))
    (tmp_path / "via").symlink_to("tree")
    cases = [
        # (command, exit status, stderr, a.txt afterwards)
        (["extract", "-e", "NY", "-r", "empty"], 1, "", "NY\n"),
        (["replace", "-e", "NY=X", "-i", "-r", "empty"], 1, "", "NY\n"),
        (["extract", "-e", "NY", "-r", "via"], 0, "", "NY\n"),  # a link named by the user is followed
        (["replace", "-e", "NY=X", "--skip-compressed", "-r", "tree"], 2,
         "fernquill: error: --skip-compressed goes with -i/--in-place\n", "NY\n"),
        (["replace", "-e", "NY=X", "-i", "--skip-compressed", "-r", "via"], 0,
         "fernquill: warning: via/b.txt.gz: compressed, left as it is\n", "X\n"),
    ]
    for args, status, err, text in cases:
        result = fq(*args, cwd=tmp_path)
        assert (result.returncode, result.stderr.decode(), (tmp_path / "tree" / "a.txt").read_text()) == (
            status, err, text), args
    assert gzip.decompress((tmp_path / "tree" / "b.txt.gz").read_bytes()) == b"NY\n"


class _Terminal:
    """A stderr that says it is a terminal, and keeps what is drawn."""

    def __init__(self):
        self.drawn = []

    def isatty(self):
        return True

    def write(self, text):
        self.drawn.append(text)

    def flush(self):
        pass


def test_the_progress_bar_covers_the_whole_run(tmp_path, monkeypatch, capsysbinary):
    paths = []
    for i, data in enumerate([b"NY\n" * 300_000, gzip.compress(b"plain words\n" * 400_000), b"NY\n" * 200_000]):
        paths.append(tmp_path / f"{i}.txt")
        paths[-1].write_bytes(data)
    total = sum(p.stat().st_size for p in paths)
    terminal = _Terminal()
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the plain display
    monkeypatch.setattr(cli_progress, "REDRAW_SECONDS", 0.0)
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["extract", "-c", "-e", "NY", "--batch-bytes", "65536", *map(str, paths)]) == 0
    shown = [t for t in terminal.drawn if t.startswith("\r") and "files" in t]
    shares = [int(t.rsplit(" ", 1)[1].rstrip("%")) for t in shown]
    assert shares == sorted(shares) and shares[-1] == 100, shown
    assert [t.split(":")[0] for t in shown][-1] == "\r3/3 files"
    assert {t.split(":")[0] for t in shown} == {f"\r{i}/3 files" for i in (1, 2, 3)}
    assert f"{total >> 20} MiB" in shown[-1] and terminal.drawn[-1] == "\r\x1b[K"
