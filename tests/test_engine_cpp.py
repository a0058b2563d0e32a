"""Runs the C++ engine tests (built by the engine_tests_binary fixture): every
case, with the approximate search's differential against the literal search
at a fiftieth of its size; the stress tier runs that differential whole."""

import os
import subprocess

import pytest

FULL_CASES = 1_000_000
# Enough cases that the differential meets every pruning it counts.
REDUCED_CASES = FULL_CASES // 50


def run_engine_tests(binary, name_filter, cases):
    # The time limit only guards against a hang: a run cut short fails the count below.
    env = dict(os.environ, FERNQUILL_APPROX_CASES=str(cases), FERNQUILL_APPROX_SECONDS="1500")
    result = subprocess.run([str(binary), *name_filter], capture_output=True, text=True, timeout=1800, env=env)
    print(result.stdout[-2000:])
    assert result.returncode == 0, result.stderr[-5000:] + result.stdout[-2000:]
    return result.stdout


@pytest.mark.slow
def test_engine_unit_tests(engine_tests_binary):
    out = run_engine_tests(engine_tests_binary, [], REDUCED_CASES)
    assert " passed, 0 failed" in out
    assert f"approx differential: {REDUCED_CASES} cases" in out


@pytest.mark.stress
def test_approx_differential_at_full_size(engine_tests_binary):
    out = run_engine_tests(engine_tests_binary, ["approx_differential_million_cases"], FULL_CASES)
    assert "1 passed, 0 failed" in out
    assert f"approx differential: {FULL_CASES} cases" in out
