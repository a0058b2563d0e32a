"""examples/dask_corpus.py on a LocalCluster of two worker processes, against
counts made here in one process."""

import collections
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

import fernquill
from fernquill_tools import load_keywords

# Starts a Dask cluster of worker processes.
pytestmark = pytest.mark.stress

pytest.importorskip("dask.distributed")

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEYWORDS = ROOT / "examples" / "data" / "keywords.tsv"
WORDS = ["New York", "los angeles", "python", "PYTHON", "café", "machine learning", "İstanbul",
         "the", "a", "coffee", "new", "york", "İ", "\u212a", "pythonic", "and"]


def write_corpus(directory):
    rng = random.Random(7)
    for name in ("one.txt", "two.txt", "three.txt"):
        lines = (" ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12))) for _ in range(3000))
        (directory / name).write_text("\n".join(lines) + "\n", encoding="utf-8")
    (directory / "skipped.csv").write_text("python\n", encoding="utf-8")  # not *.txt


def test_counts_on_two_worker_processes_match_one_process(tmp_path):
    write_corpus(tmp_path)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "dask_corpus.py"), str(KEYWORDS), str(tmp_path),
         "--workers", "2", "--blocksize", "64KiB", "--compare"],
        capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)

    expected = expected_counts(tmp_path)
    assert report["counts"] == expected and sum(expected.values()) > 1000
    assert report["lines"] == 9000 and report["workers"] == 2
    assert report["single_process"]["same_counts"]


def run_example(tmp_path, *options):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    env.pop("RAYON_NUM_THREADS", None)
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "dask_corpus.py"), str(KEYWORDS), str(tmp_path),
         "--workers", "2", "--blocksize", "64KiB", "--compare", *options],
        capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


def test_per_host_files_and_pool_sizes(tmp_path):
    write_corpus(tmp_path)
    report = run_example(tmp_path, "--per-host-files")
    assert report["single_process"]["same_counts"] and report["lines"] == 9000
    # Two workers on this host share its cores.
    cores = len(os.sched_getaffinity(0))
    assert report["pool_threads"] == [max(1, cores // 2)] * 2


def test_a_worker_that_joins_later_gets_a_pool_size(tmp_path):
    import importlib.util
    from dask.distributed import Client, LocalCluster

    module_spec = importlib.util.spec_from_file_location("dask_corpus", ROOT / "examples" / "dask_corpus.py")
    example = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(example)
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.register_plugin(example.PoolSizing(3))
        cluster.scale(2)
        client.wait_for_workers(2)
        assert sorted(client.run(example.pool_size).values()) == [3, 3]


def expected_counts(directory):
    kp = fernquill.KeywordProcessor()
    load_keywords(kp, KEYWORDS)
    expected = collections.Counter()
    for path in sorted(directory.glob("*.txt")):
        for line in path.read_text(encoding="utf-8").splitlines():
            expected.update(m.keyword for m in kp.extract_keywords(line))
    return dict(expected)


# Runs the example with an audit hook that refuses this process any look into
# the corpus folder; the worker processes (spawned, without the hook) may.
NO_LOOK_RUNNER = """
import runpy, sys
folder = sys.argv[1]
def refuse(event, args):
    if event in ("open", "os.listdir", "os.scandir", "glob.glob") and args and \\
            str(args[0]).startswith(folder):
        raise PermissionError(f"the client looked into the corpus: {event} {args[0]}")
sys.addaudithook(refuse)
sys.argv = sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


@pytest.mark.parametrize("options", [(), ("--per-host-files",)])
def test_the_client_never_looks_at_the_files(tmp_path, options):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    write_corpus(corpus)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    result = subprocess.run(
        [sys.executable, "-c", NO_LOOK_RUNNER, str(corpus), str(ROOT / "examples" / "dask_corpus.py"),
         str(KEYWORDS), str(corpus), "--workers", "2", "--blocksize", "64KiB", *options],
        capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert report["counts"] == expected_counts(corpus) and report["lines"] == 9000


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two cores to tell hosts apart")
def test_with_a_scheduler_the_pool_is_sized_by_the_worker_not_the_client(tmp_path):
    # The client runs on one core; the worker, started here, sees all of ours.
    from dask.distributed import LocalCluster

    write_corpus(tmp_path)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    env.pop("RAYON_NUM_THREADS", None)
    one_core = min(os.sched_getaffinity(0))
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        result = subprocess.run(
            [sys.executable, str(ROOT / "examples" / "dask_corpus.py"), str(KEYWORDS),
             str(tmp_path), "--scheduler", cluster.scheduler_address, "--blocksize", "64KiB"],
            capture_output=True, text=True, env=env, timeout=600,
            preexec_fn=lambda: os.sched_setaffinity(0, {one_core}))
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert report["pool_threads"] == [len(os.sched_getaffinity(0))]
    assert report["counts"] == expected_counts(tmp_path)
