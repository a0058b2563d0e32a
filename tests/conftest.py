import os
import pathlib

import sys

import pytest

import engine_build
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
# on a fresh checkout, so it must be in the slow tier (or the stress tier).
BUILD_FIXTURES = frozenset({"engine_tests_binary", "fuzz_build"})


def needs_a_build(item):
    return bool(BUILD_FIXTURES.intersection(getattr(item, "fixturenames", ())))


def pytest_collection_modifyitems(config, items):
    unmarked = [item.nodeid for item in items if needs_a_build(item)
                and item.get_closest_marker("slow") is None and item.get_closest_marker("stress") is None]
    if unmarked:
        raise pytest.UsageError("tests that build C++ must be marked @pytest.mark.slow: "
                                + ", ".join(unmarked))
    if config is not None:
        leave_out_stress(config, items)
    # The tests that wait for the background build run last.
    items.sort(key=needs_a_build)


def pytest_collection_finish(session):
    targets = engine_build.targets_needed(item.fixturenames for item in session.items)
    if targets and not session.config.option.collectonly:
        BUILD[0] = engine_build.EngineBuild(targets)
        BUILD[0].start()


def pytest_sessionfinish(session):
    if BUILD[0] is not None:
        BUILD[0].stop()


BUILD = [None]  # this session's background build, once started


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


def built_folder():
    build = BUILD[0].wait() if BUILD[0] is not None else None
    if build is None:
        pytest.skip("cmake is not installed")
    return build


@pytest.fixture(scope="session")
def engine_tests_binary():
    """The C++ engine test binary: FERNQUILL_ENGINE_TESTS, or this session's build."""
    given = os.environ.get("FERNQUILL_ENGINE_TESTS")
    return pathlib.Path(given) if given else built_folder() / "engine_tests"


@pytest.fixture(scope="session")
def fuzz_build():
    """A build tree holding the fuzz targets under fuzz/: FERNQUILL_FUZZ_BUILD,
    or this session's build."""
    given = os.environ.get("FERNQUILL_FUZZ_BUILD")
    return pathlib.Path(given) if given else built_folder()
