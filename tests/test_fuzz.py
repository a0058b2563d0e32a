"""Short, bounded runs of the fuzz targets in fuzz/ (long runs are done by hand,
see fuzz/README.md). A target stops the process on any broken invariant, so a
clean exit after the requested number of inputs is the pass."""

import pathlib
import subprocess

import pytest

# Builds the fuzz targets, then runs each for thousands of inputs.
pytestmark = pytest.mark.stress

ROOT = pathlib.Path(__file__).resolve().parent.parent
TARGETS = ("fuzz_processor_state", "fuzz_match_state", "fuzz_extract")
RUNS = 20000


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_target_short_run(fuzz_build, target, tmp_path):
    binary = fuzz_build / "fuzz" / target
    seeds = ROOT / "fuzz" / "corpus" / target
    # libFuzzer writes what it finds into the first folder: a scratch one.
    out = subprocess.run([str(binary), f"-runs={RUNS}", "-seed=1", str(tmp_path), str(seeds)],
                         capture_output=True, text=True, timeout=900)
    # The driver reports on stdout, libFuzzer on stderr.
    assert out.returncode == 0, out.stderr[-3000:] + out.stdout[-2000:]
    assert f"Done {RUNS} runs" in out.stdout + out.stderr
