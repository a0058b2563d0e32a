"""The Dask example reads each file in byte ranges cut at line ends: every line
of every file is read by exactly one range, whatever the block size."""

import importlib.util
import pathlib
import random

import pytest

from helpers import each_seed

pytest.importorskip("dask.distributed")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def load_example():
    module_spec = importlib.util.spec_from_file_location("dask_corpus", ROOT / "examples" / "dask_corpus.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


example = load_example()


@each_seed(range(20))
def test_ranges_read_every_line_once(tmp_path, seed):
    rng = random.Random(seed)
    lines = ["".join(rng.choice("ab İ\r") for _ in range(rng.choice([0, 1, 5, 40])))
             for _ in range(rng.randint(0, 60))]
    text = "\n".join(lines) + rng.choice(["", "\n"])
    (tmp_path / "a.txt").write_bytes(text.encode("utf-8"))
    (tmp_path / "empty.txt").write_bytes(b"")
    files = example.list_files(str(tmp_path), "*.txt")
    assert [pathlib.Path(p).name for p, _ in files] == ["a.txt", "empty.txt"]
    blocksize = rng.choice([1, 2, 3, 7, 64, 1 << 20])
    read = [line for r in example.byte_ranges(files, blocksize) for line in example.read_lines(*r)]
    # The file's lines as a text reader splits them (a trailing newline ends the last line).
    want = [line.rstrip("\r") for line in text.encode().decode().split("\n")]
    if text.endswith("\n") or text == "":
        want.pop()
    assert read == want


def test_pool_sizing_shares_the_cores_of_a_host():
    class Worker:
        ip, address = "10.0.0.1", "tcp://10.0.0.1:1"

        class scheduler:
            @staticmethod
            async def identity():
                return {"workers": {"tcp://10.0.0.1:1": {"host": "10.0.0.1"},
                                    "tcp://10.0.0.1:2": {"host": "10.0.0.1"},
                                    "tcp://10.0.0.2:1": {"host": "10.0.0.2"}}}

    import asyncio
    import os
    saved = os.environ.get(example.POOL_SIZE_VARIABLE)
    try:
        asyncio.run(example.PoolSizing().setup(Worker()))
        assert example.pool_size() == max(1, example.usable_cores() // 2)
        asyncio.run(example.PoolSizing(3).setup(Worker()))
        assert example.pool_size() == 3
    finally:
        if saved is None:
            os.environ.pop(example.POOL_SIZE_VARIABLE, None)
        else:
            os.environ[example.POOL_SIZE_VARIABLE] = saved
