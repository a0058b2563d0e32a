import os
import pathlib
import shutil
import subprocess

import sys

import pytest

import fernquill

ROOT = pathlib.Path(__file__).resolve().parent.parent

try:
    import fernquill_tools  # noqa: F401 - installed beside the module
except ImportError:
    pass
if getattr(sys.modules.get("fernquill_tools"), "__file__", None) is None:
    # The module alone from a build directory (whose native helpers' folder
    # alone reads as a namespace package): use the package source, which finds
    # those helpers in the build directory's folder.
    sys.modules.pop("fernquill_tools", None)
    sys.path.insert(0, str(ROOT / "python"))
    import fernquill_tools


def _stale_installed_sources():
    """The package's Python files that differ between the checkout and the
    installed copy: tests of the checkout against an older install fail in
    ways that look like real faults."""
    installed = pathlib.Path(fernquill_tools.__file__).parent
    source = ROOT / "python" / "fernquill_tools"
    if installed == source or not source.is_dir():
        return []
    return sorted(path.name for path in source.glob("*.py")
                  if not (installed / path.name).is_file()
                  or (installed / path.name).read_bytes() != path.read_bytes())


def pytest_configure(config):
    stale = _stale_installed_sources()
    if stale:
        raise pytest.UsageError("the installed fernquill_tools differs from this checkout in "
                                + ", ".join(stale) + "; reinstall it (pip install .)")


# Fixtures that compile C++ with CMake: a test that asks for one takes minutes
# on a fresh checkout, so it must be in the slow tier.
BUILD_FIXTURES = frozenset({"engine_build", "engine_tests_binary", "fuzz_build"})


def pytest_collection_modifyitems(config, items):
    unmarked = [item.nodeid for item in items
                if BUILD_FIXTURES.intersection(getattr(item, "fixturenames", ()))
                and item.get_closest_marker("slow") is None and item.get_closest_marker("stress") is None]
    if unmarked:
        raise pytest.UsageError("tests that build C++ must be marked @pytest.mark.slow: "
                                + ", ".join(unmarked))
    if config is not None:
        leave_out_stress(config, items)


def leave_out_stress(config, items):
    """The stress tier runs only when asked by name (`-m stress`, as .ci/run
    does): plain `pytest -q` and `-m "not slow"` leave it out."""
    if "stress" in (config.getoption("markexpr") or ""):
        return
    stress = [item for item in items if item.get_closest_marker("stress") is not None]
    if stress:
        config.hook.pytest_deselected(items=stress)
        items[:] = [item for item in items if item.get_closest_marker("stress") is None]


@pytest.fixture
def kp():
    return fernquill.KeywordProcessor()


@pytest.fixture(scope="session")
def engine_build(tmp_path_factory):
    """A Release build tree of the engine with its tests and fuzz targets
    (the latter on the plain mutation driver, which any compiler can build),
    configured once; targets are built on demand."""
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    build = tmp_path_factory.mktemp("engine-build")
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DFERNQUILL_BUILD_MODULE=OFF", "-DFERNQUILL_BUILD_TESTS=ON",
                 "-DFERNQUILL_BUILD_FUZZ=ON", "-DFERNQUILL_FUZZ_ENGINE=driver",
                 # The tables come from this interpreter's Unicode data, as the
                 # tests' expectations do.
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    return build


def build_targets(build, *targets):
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", *targets], check=True, capture_output=True)


@pytest.fixture(scope="session")
def engine_tests_binary(request):
    """The C++ engine test binary: FERNQUILL_ENGINE_TESTS, or built once here."""
    given = os.environ.get("FERNQUILL_ENGINE_TESTS")
    if given:
        return pathlib.Path(given)
    build = request.getfixturevalue("engine_build")
    build_targets(build, "engine_tests")
    return build / "engine_tests"


@pytest.fixture(scope="session")
def fuzz_build(request):
    """A build tree holding the fuzz targets under fuzz/: FERNQUILL_FUZZ_BUILD,
    or built once here."""
    given = os.environ.get("FERNQUILL_FUZZ_BUILD")
    if given:
        return pathlib.Path(given)
    build = request.getfixturevalue("engine_build")
    build_targets(build, "fuzz_processor_state", "fuzz_match_state", "fuzz_extract")
    return build
