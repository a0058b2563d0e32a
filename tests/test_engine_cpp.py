"""Builds the C++ engine tests with CMake and runs them."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
def test_engine_unit_tests(tmp_path_factory):
    build = pathlib.Path(os.environ.get("FERNQUILL_ENGINE_BUILD_DIR") or tmp_path_factory.mktemp("engine-build"))
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DFERNQUILL_BUILD_MODULE=OFF", "-DFERNQUILL_BUILD_TESTS=ON"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "engine_tests"], check=True, capture_output=True)
    result = subprocess.run([str(build / "engine_tests")], capture_output=True, text=True, timeout=1200)
    print(result.stdout[-2000:])
    assert result.returncode == 0, result.stderr[-5000:] + result.stdout[-2000:]
    assert " passed, 0 failed" in result.stdout
