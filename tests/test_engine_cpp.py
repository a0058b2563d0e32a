"""Runs the C++ engine tests (built by the engine_tests_binary fixture)."""

import subprocess

import pytest

# Builds the engine tests with CMake, then runs the million-case differential among them.
pytestmark = pytest.mark.slow


def test_engine_unit_tests(engine_tests_binary):
    result = subprocess.run([str(engine_tests_binary)], capture_output=True, text=True, timeout=1200)
    print(result.stdout[-2000:])
    assert result.returncode == 0, result.stderr[-5000:] + result.stdout[-2000:]
    assert " passed, 0 failed" in result.stdout
