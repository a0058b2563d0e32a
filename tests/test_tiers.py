"""The tiers' guards: a test that asks for a C++ build fixture must be marked
slow (or stress), or collection stops and names it; the stress tier runs only
when the mark expression names it."""

import inspect

import pytest

import conftest


class Item:
    """What the guards read of a collected test."""

    def __init__(self, nodeid, fixturenames, *marks):
        self.nodeid, self.fixturenames, self.marks = nodeid, fixturenames, marks

    def get_closest_marker(self, name):
        return getattr(pytest.mark, name).mark if name in self.marks else None


class Config:
    """A configuration with a mark expression that records what it deselects."""

    def __init__(self, markexpr):
        self.markexpr, self.deselected = markexpr, []
        self.hook = self

    def getoption(self, name):
        assert name == "markexpr"
        return self.markexpr

    def pytest_deselected(self, items):
        self.deselected += items


@pytest.mark.parametrize("fixture", sorted(conftest.BUILD_FIXTURES))
def test_build_fixtures_need_a_long_tier_mark(fixture):
    items = [Item("t.py::plain", ["tmp_path"]),
             Item("t.py::marked", [fixture, "tmp_path"], "slow"),
             Item("t.py::stress", [fixture], "stress"),
             Item("t.py::unmarked", ["tmp_path", fixture])]
    with pytest.raises(pytest.UsageError) as info:
        conftest.pytest_collection_modifyitems(None, items)
    assert str(info.value).endswith(": t.py::unmarked")
    conftest.pytest_collection_modifyitems(None, items[:3])  # marked and plain pass


@pytest.mark.parametrize("markexpr, kept", [
    ("", ["plain", "slow"]),
    ("not slow", ["plain", "slow"]),  # -m itself then drops the slow one
    ("stress", ["plain", "slow", "stress", "both"]),  # -m itself then keeps the stress ones
    ("slow or stress", ["plain", "slow", "stress", "both"]),
])
def test_stress_runs_only_when_named(markexpr, kept):
    items = [Item("plain", []), Item("slow", [], "slow"), Item("stress", [], "stress"),
             Item("both", [], "slow", "stress")]
    config = Config(markexpr)
    conftest.pytest_collection_modifyitems(config, items)
    assert [item.nodeid for item in items] == kept
    assert sorted(item.nodeid for item in config.deselected) == sorted({"stress", "both"} - set(kept))


def test_each_seed_runs_every_seed_and_names_the_failing_one():
    from helpers import each_seed

    seen = []

    @each_seed(range(5))
    def check(tmp_path, seed):
        seen.append((tmp_path, seed))
        assert seed != 3

    assert list(inspect.signature(check).parameters) == ["tmp_path"]  # the fixtures pytest hands over
    with pytest.raises(AssertionError) as info:
        check("folder")
    assert seen == [("folder", seed) for seed in range(4)]
    assert info.value.__notes__ == ["with seed 3"]
