"""The command's read-ahead helper: items in order, failures in their place, a
bounded lead, and a helper that stops and cleans up when the taker stops."""

import contextlib
import random
import threading
import time

import pytest

from fernquill_tools import _read_ahead
from fernquill_tools._read_ahead import closed_after, read_ahead
from helpers import each_seed


class Made:
    """A generator of n items that records how far it got and on which thread
    its clean-up ran; it can fail at one item."""

    def __init__(self, n, fail_at=None):
        self.n, self.fail_at = n, fail_at
        self.made = 0
        self.cleaned_on = None

    def __iter__(self):
        try:
            for i in range(self.n):
                if i == self.fail_at:
                    raise MemoryError(f"at {i}")
                self.made += 1
                yield i
        finally:
            self.cleaned_on = threading.current_thread()


def helpers():
    return [t for t in threading.enumerate() if t.name == "fernquill-read-ahead"]


@each_seed(range(20))
def test_items_come_in_order_and_failures_in_their_place(seed):
    rng = random.Random(seed)
    n = rng.randint(0, 30)
    fail_at = rng.choice([None, rng.randint(0, n)]) if n else None
    source = Made(n, fail_at)
    got = []
    if fail_at is None:
        got = list(read_ahead(iter(source)))
        assert got == list(range(n))
    else:
        with pytest.raises(MemoryError, match=f"at {fail_at}"):
            for item in read_ahead(iter(source)):
                got.append(item)
        assert got == list(range(fail_at))
    assert source.cleaned_on is not None and source.cleaned_on is not threading.current_thread()
    assert helpers() == []


def test_the_helper_stays_a_bounded_number_of_items_ahead():
    source = Made(100)
    items = read_ahead(iter(source))
    for taken in range(1, 6):
        assert next(items) == taken - 1
        # Give the helper time to run as far ahead as it may.
        for _ in range(50):
            if source.made >= taken + _read_ahead.AHEAD:
                break
            threading.Event().wait(0.002)
        assert source.made <= taken + _read_ahead.AHEAD
    items.close()


@pytest.mark.parametrize("how", ["close", "error"])
def test_a_taker_that_stops_stops_the_helper(how):
    source = Made(10_000)
    with contextlib.suppress(KeyError):
        with contextlib.closing(read_ahead(iter(source))) as items:
            for item in items:
                if item == 3:
                    if how == "error":
                        raise KeyError(item)
                    break
    assert helpers() == []
    assert source.made <= 4 + _read_ahead.AHEAD
    assert source.cleaned_on is not None


def test_command_output_failure_leaves_no_helper(tmp_path, monkeypatch, capsys):
    # Several regular files are read ahead; a failing standard output stops
    # the run with exit 2, and the helper with it.
    from fernquill_tools import cli

    paths = []
    for i in range(4):
        path = tmp_path / f"{i}.txt"
        path.write_text("NY\n" * 1000)
        paths.append(str(path))

    class Full:
        def write(self, data):
            raise OSError(28, "No space left on device")

        def flush(self):
            pass

    monkeypatch.setattr(cli.Output, "__init__", lambda self: setattr(self, "stream", Full()))
    monkeypatch.setattr(cli, "_silence_stdout", lambda: None)
    status = cli.main(["extract", "--batch-bytes", "100", "-e", "NY", *paths])
    assert status == 2
    assert capsys.readouterr().err == "fernquill: error: standard output: No space left on device\n"
    assert helpers() == []


@pytest.mark.parametrize("kind, ahead", [("regular", True), ("missing", True), ("stdin", False),
                                         ("fifo", False), ("device", False), ("regular+fifo", False)])
def test_only_inputs_whose_reads_never_wait_are_read_ahead(tmp_path, kind, ahead):
    # A helper blocked in a read of a pipe could never be told to stop.
    import os
    import types

    from fernquill_tools import cli_files

    regular = tmp_path / "r.txt"
    regular.write_text("x\n")
    fifo = tmp_path / "p"
    os.mkfifo(fifo)
    files = {"regular": [regular], "missing": [tmp_path / "nothing"], "stdin": ["-"], "fifo": [fifo],
             "device": [os.devnull], "regular+fifo": [regular, fifo]}[kind]
    args = types.SimpleNamespace(files=[str(f) for f in files], save=None, recursive=False)
    assert cli_files.reads_never_wait(cli_files.input_files(args)) is ahead


def test_keywords_that_fail_while_inputs_are_read_ahead(tmp_path, capsys):
    # The inputs are read while the keywords load; a bad keyword file still
    # ends the run with its one error line and no output, and stops the helper.
    from fernquill_tools import cli

    data = tmp_path / "in.txt"
    data.write_text("NY\n" * 100_000)
    bad = tmp_path / "k.tsv"
    bad.write_text("a\tb\tc\n")
    assert cli.main(["extract", "-k", str(bad), str(data)]) == 2
    assert capsys.readouterr() == ("", f"fernquill: error: {bad}:1: expected keyword[<TAB>clean name], got 3 fields\n")
    assert helpers() == []


def test_an_input_that_is_the_saved_processor_is_read_once_saved(tmp_path, capsys):
    # --save writes before any input is read, as it did before inputs were
    # read ahead: here the input is the state just written, which is not UTF-8.
    from fernquill_tools import cli

    path = tmp_path / "f"
    path.write_text("nothing to find\n")
    assert cli.main(["extract", "-e", "la", "--save", str(path), str(path)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"fernquill: error: {path}:") and err.endswith(": invalid UTF-8\n")


def test_the_helper_starts_before_the_first_item_is_asked_for():
    # So that the command's first batch is read while its keywords load.
    source = Made(10)
    items = read_ahead(iter(source))
    for _ in range(500):
        if source.made >= 1:
            break
        threading.Event().wait(0.002)
    assert source.made >= 1
    items.close()
    assert helpers() == [] and source.cleaned_on is not None


def _stuck(entered, release):
    entered.set()
    release.wait()
    yield 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_does_not_wait_for_a_stuck_helper(interrupt):
    # A helper stuck in a call it cannot be told to leave (an open that waits)
    # must not hold the command at Ctrl-C; an ordinary failure still waits.
    for failure, waits in ((interrupt, False), (ValueError, True)):
        entered, release = threading.Event(), threading.Event()
        timer = threading.Timer(0.5, release.set)
        started = time.monotonic()
        with pytest.raises(failure):
            with closed_after(read_ahead(_stuck(entered, release))):
                timer.start()
                assert entered.wait(10)
                raise failure
        assert release.is_set() == waits, failure
        timer.join()
    assert time.monotonic() - started >= 0.5
