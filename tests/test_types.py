"""The type stubs as a type checker meets them: mypy --strict accepts an
example that uses every method, refuses a wrongly typed call, and stubtest
finds the stubs in line with the module."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import fernquill_tools

# Each test starts mypy or stubtest.
pytestmark = pytest.mark.slow

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "fernquill-stubs" / "__init__.pyi"

EXAMPLE = '''
import pickle
from fernquill import KeywordProcessor, PyKeywordMatch
from fernquill_tools import PanicException, char_offsets, char_spans, load_keywords

kp: KeywordProcessor = KeywordProcessor(case_sensitive=False, allow_overlaps=None)
kp.add_keyword("New York", "NYC")
kp.add_keyword("python")
removed: bool = kp.remove_keyword("python")
kp.add_non_word_boundary("-")
kp.set_non_word_boundaries(["a", "b"])
count: int = len(kp)
keywords: dict[str, str] = kp.get_all_keywords()
matches: list[PyKeywordMatch] = kp.extract_keywords("in new york", 0.8)
replaced: str = kp.replace_keywords("in new york")
batch: list[list[PyKeywordMatch]] = kp.parallel_extract_keywords_from_texts(["a", "b"], None)
batch_replaced: list[str] = kp.parallel_replace_keywords_from_texts(("a", "b"))
state: bytes = kp.__getstate__()
kp.__setstate__(state)
copy: KeywordProcessor = pickle.loads(pickle.dumps(kp))

m = PyKeywordMatch("NYC", 1.0, 3, 11)
fields: tuple[str, float, int, int] = (m.keyword, m.similarity, m.start, m.end)
m.__setstate__(m.__getstate__())
args: tuple[str, float, int, int] = m.__getnewargs__()

spans: list[tuple[int, int]] = char_spans("in new york", matches, case_sensitive=False)
chars: list[PyKeywordMatch] = char_offsets("in new york", matches)
added: int = load_keywords(kp, "keywords.tsv", format="tsv")
try:
    kp.extract_keywords("x", 2.0)
except PanicException as exc:
    message: str = str(exc)
'''


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    """mypy's environment: the installed stub package, or (module built but not
    installed) the stubs copied as a plain fernquill.pyi on MYPYPATH."""
    env = dict(os.environ)
    if not any((pathlib.Path(p) / "fernquill-stubs").is_dir() for p in sys.path if p):
        stubs = tmp_path_factory.mktemp("stubs")
        shutil.copy(STUBS, stubs / "fernquill.pyi")
        env["MYPYPATH"] = os.pathsep.join([str(stubs), str(pathlib.Path(fernquill_tools.__file__).parent.parent)])
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    env["MYPY_CACHE_DIR"] = str(tmp_path_factory.mktemp("mypy-cache"))
    return env


def mypy(env, tmp_path, source):
    path = tmp_path / "example.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", str(path)],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


def test_strict_example_passes(env, tmp_path):
    result = mypy(env, tmp_path, EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "call, error",
    [
        ("KeywordProcessor().add_keyword(5)", "arg-type"),
        ("KeywordProcessor().extract_keywords('x', '0.8')", "arg-type"),
        ("x: str = KeywordProcessor().extract_keywords('x')", "assignment"),
        ("class Sub(KeywordProcessor): pass", "misc"),  # @final
        ("PyKeywordMatch('a', 1.0, 0)", "call-arg"),
    ],
)
def test_wrong_calls_fail(env, tmp_path, call, error):
    result = mypy(env, tmp_path, f"from fernquill import KeywordProcessor, PyKeywordMatch\n{call}\n")
    assert result.returncode == 1 and f"[{error}]" in result.stdout, result.stdout + result.stderr


def test_stubtest_agrees_with_the_module(env, tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "fernquill"],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_companion_package_is_strictly_typed(env, tmp_path):
    # By name, not by path: a path inside site-packages makes mypy treat every
    # module beside it (typing_extensions among them) as the user's own.
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "-p", "fernquill_tools"],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
