"""The source folders depend one way: each may include only itself and the folders below it."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Lowest first. A folder may include headers of its own and of earlier folders only.
LAYERS = ["support", "text", "trie", "exact", "approx", "keyword_processor", "state", "worker_pool",
          "module", "arrow", "columns", "search", "tools_module"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)
INCLUDED_FILE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.(?:hpp|inc)"', re.MULTILINE)


def upward_includes(src=SRC):
    rank = {name: i for i, name in enumerate(LAYERS)}
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".inc"):
            continue
        folder = path.relative_to(src).parts[0]
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target not in rank or rank[target] > rank[folder]:
                found.append(f"{path.relative_to(src)} includes {target}/")
    return found


def test_every_source_folder_has_a_layer():
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert folders == set(LAYERS)


def test_no_folder_includes_one_above_it():
    assert upward_includes() == []


def test_the_check_sees_an_upward_include(tmp_path):
    # The guard itself must fail on a violation, not pass vacuously.
    for name in ("trie", "module"):
        (tmp_path / name).mkdir()
    (tmp_path / "module" / "m.hpp").write_text("#pragma once\n")
    (tmp_path / "trie" / "t.cpp").write_text('#include <vector>\n#include "module/m.hpp"\n')
    assert upward_includes(tmp_path) == ["trie/t.cpp includes module/"]


def include_cycles(src=SRC):
    """Pairs of files (a header with its source counted as one) that reach each other through
    their includes: data that flows across and back."""
    edges = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp"):
            continue
        unit = str(path.relative_to(src).with_suffix(""))
        targets = {t for t in INCLUDED_FILE.findall(path.read_text(encoding="utf-8")) if t != unit}
        edges.setdefault(unit, set()).update(targets)

    def reach(start):
        seen, todo = set(), [start]
        while todo:
            for nxt in edges.get(todo.pop(), ()):
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        return seen

    reached = {unit: reach(unit) for unit in edges}
    return sorted(f"{a} <-> {b}" for a in edges for b in reached[a] if a < b and a in reached.get(b, ()))


def test_no_two_files_include_each_other_round_about():
    assert include_cycles() == []


def test_the_check_sees_a_round_about_include(tmp_path):
    (tmp_path / "approx").mkdir()
    (tmp_path / "approx" / "index.hpp").write_text('#include "approx/cache.hpp"\n')
    (tmp_path / "approx" / "cache.hpp").write_text("#pragma once\n")
    (tmp_path / "approx" / "cache.cpp").write_text('#include "approx/plan.hpp"\n')
    (tmp_path / "approx" / "plan.cpp").write_text('#include "approx/index.hpp"\n')
    assert include_cycles(tmp_path) == ["approx/cache <-> approx/index", "approx/cache <-> approx/plan",
                                        "approx/index <-> approx/plan"]
