"""Ctrl-C during every kind of long call: a real SIGINT from another process
ends the call with KeyboardInterrupt (the command line with exit status 130)
within 0.2 s, and the processor's state is what it was."""
import os
import random
import subprocess
import sys
import time

import pytest

from fernquill import KeywordProcessor
import fernquill_tools
from fernquill_tools import columns

# Each case runs seconds of work or a command: not in the fast tier.
pytestmark = pytest.mark.slow

LATENCY = 0.2  # seconds from the signal to the exception
DELAY = 0.3  # seconds into the call when the signal is sent

# Waits for a line on stdin, sleeps, prints the time (the monotonic clock is
# the system's, shared by both processes) and sends SIGINT to the parent.
KILLER = ("import os, signal, sys, time; sys.stdin.readline(); time.sleep(float(sys.argv[1])); "
          "print(time.monotonic(), flush=True); os.kill(os.getppid(), signal.SIGINT)")


def binary_words(rng, count, size):
    return ["".join(rng.choice("ab") for _ in range(size)) for _ in range(count)]


def long_search():
    """A processor and a text whose approximate search takes seconds: keywords
    longer than the text, over two letters, every position a start."""
    rng = random.Random(29)
    kp = KeywordProcessor(case_sensitive=True)
    kp.set_non_word_boundaries([])
    for word in binary_words(rng, 1000, 130):
        kp.add_keyword(word)
    return kp, binary_words(rng, 1, 100)[0]


def long_text():
    kp = KeywordProcessor()
    for word in ("never", "found", "here"):
        kp.add_keyword(word)
    return kp, "abcdefgh " * ((1 << 30) // 9)


def seconds_to_interrupt(call):
    """Runs call() while another process sends SIGINT DELAY seconds in;
    returns the seconds from the signal to the KeyboardInterrupt."""
    with subprocess.Popen([sys.executable, "-c", KILLER, str(DELAY)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as killer:
        killer.stdin.write("go\n")
        killer.stdin.flush()
        finished = False
        try:
            call()
            finished = True
            killer.wait()
            time.sleep(1)  # the signal lands here instead
        except KeyboardInterrupt:
            caught = time.monotonic()
        sent = float(killer.stdout.readline())
    assert not finished, "the call ended before the signal: it must take longer"
    return caught - sent


def in_process(make, call):
    kp, text = make()
    call(kp, "ab", 0.3)  # the approximate structures are built before the clock starts
    state = kp.__getstate__()
    latency = seconds_to_interrupt(lambda: call(kp, text, 0.3 if make is long_search else None))
    assert kp.__getstate__() == state
    return latency


def command_line(tmp_path):
    kp, text = long_search()
    keywords = tmp_path / "keywords.txt"
    keywords.write_text("\n".join(kp.get_all_keywords()) + "\n")
    lines = tmp_path / "lines.txt"
    lines.write_text((text + "\n") * 50)
    command = [sys.executable, "-m", "fernquill_tools", "extract", "-s", "--allow-overlaps",
               "-t", "0.3", "-k", str(keywords), str(lines)]
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as cli:
        time.sleep(DELAY + 2)  # past the start-up, into the scan
        assert cli.poll() is None, "the command ended before the signal"
        sent = time.monotonic()
        cli.send_signal(2)
        status = cli.wait()
        done = time.monotonic()
    assert status == 130
    return done - sent


@pytest.mark.parametrize("kind", [
    "approximate extract",
    "approximate replace",
    "companion extract",
    "batch",
    "column call",
    "command line",
    pytest.param("exact extract of 1 GiB", marks=pytest.mark.stress),
    pytest.param("exact batch of 1 GiB", marks=pytest.mark.stress),
])
def test_ctrl_c_ends_a_long_call_at_once_and_leaves_the_processor(kind, tmp_path):
    calls = {
        "approximate extract": lambda: in_process(long_search, lambda kp, text, t: kp.extract_keywords(text, t)),
        "approximate replace": lambda: in_process(long_search, lambda kp, text, t: kp.replace_keywords(text, t)),
        "companion extract": lambda: in_process(
            long_search, lambda kp, text, t: fernquill_tools.extract(kp, text, t, words="ascii")),
        "batch": lambda: in_process(
            long_search, lambda kp, text, t: kp.parallel_extract_keywords_from_texts([text] * 8, t)),
        "column call": lambda: in_process(
            long_search, lambda kp, text, t: columns.extract(kp, [text] * 8, t, words="ascii")),
        "command line": lambda: command_line(tmp_path),
        "exact extract of 1 GiB": lambda: in_process(long_text, lambda kp, text, t: kp.extract_keywords(text, t)),
        "exact batch of 1 GiB": lambda: in_process(
            long_text, lambda kp, text, t: kp.parallel_extract_keywords_from_texts([text, text], t)),
    }
    latency = calls[kind]()
    assert latency < LATENCY, f"{kind}: KeyboardInterrupt {latency:.3f} s after the signal"
