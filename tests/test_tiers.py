"""The guard of the slow tier: a test that asks for a C++ build fixture must be
marked slow, or collection stops and names it."""

import pytest

import conftest


class Item:
    """What the guard reads of a collected test."""

    def __init__(self, nodeid, fixturenames, slow):
        self.nodeid, self.fixturenames, self.slow = nodeid, fixturenames, slow

    def get_closest_marker(self, name):
        return pytest.mark.slow.mark if name == "slow" and self.slow else None


@pytest.mark.parametrize("fixture", sorted(conftest.BUILD_FIXTURES))
def test_build_fixtures_need_the_slow_mark(fixture):
    items = [Item("t.py::plain", ["tmp_path"], False),
             Item("t.py::marked", [fixture, "tmp_path"], True),
             Item("t.py::unmarked", ["tmp_path", fixture], False)]
    with pytest.raises(pytest.UsageError) as info:
        conftest.pytest_collection_modifyitems(None, items)
    assert str(info.value).endswith(": t.py::unmarked")
    conftest.pytest_collection_modifyitems(None, items[:2])  # marked and plain pass

