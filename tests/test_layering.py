"""The source folders depend one way: each may include only itself and the folders below it."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Lowest first. A folder may include headers of its own and of earlier folders only.
LAYERS = ["support", "text", "trie", "keyword_processor", "state", "worker_pool", "module", "tools_native"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


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
