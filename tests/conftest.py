import os
import pathlib
import shutil
import subprocess

import pytest

import fernquill

ROOT = pathlib.Path(__file__).resolve().parent.parent




@pytest.fixture
def kp():
    return fernquill.KeywordProcessor()


@pytest.fixture(scope="session")
def engine_tests_binary(tmp_path_factory):
    """The C++ engine test binary: FERNQUILL_ENGINE_TESTS, or built once here."""
    given = os.environ.get("FERNQUILL_ENGINE_TESTS")
    if given:
        return pathlib.Path(given)
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    build = tmp_path_factory.mktemp("engine-build")
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DFERNQUILL_BUILD_MODULE=OFF", "-DFERNQUILL_BUILD_TESTS=ON"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "engine_tests"], check=True, capture_output=True)
    return build / "engine_tests"
