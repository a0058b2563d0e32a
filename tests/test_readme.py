"""Every Python example of the README runs, in order, in one session, and shows
exactly what it prints; the command-line example shows the command's output."""

import doctest
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)


def blocks(language):
    return [body for lang, body in FENCE.findall(README) if lang == language]


IMPORTED = re.compile(r"^>>> (?:import|from) ([\w.]+)", re.M)


def cannot_import(name):
    try:
        importlib.import_module(name)
    except ImportError:
        return True
    return False


def missing_modules(body):
    """The modules a block imports that this interpreter cannot import (the
    data-frame libraries have no wheels for some interpreters, free-threaded ones
    among them, and the companion's modules over them import them)."""
    return sorted({name for name in IMPORTED.findall(body) if cannot_import(name)})


def test_python_blocks(monkeypatch):
    monkeypatch.chdir(ROOT)  # the examples read examples/data/
    # A real module as the session's namespace, so that functions defined in
    # the examples pickle by reference into worker processes.
    session = types.ModuleType("readme_session")
    monkeypatch.setitem(sys.modules, session.__name__, session)
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    python = blocks("python")
    assert len(python) >= 6
    passed_over = {}
    for number, body in enumerate(python, 1):
        assert ">>>" in body, f"python block {number} is not a session example"
        if missing_modules(body):
            passed_over[number] = missing_modules(body)
            continue
        test = parser.get_doctest(body, {}, f"README python block {number}", "README.md", 0)
        test.globs = session.__dict__  # one session for all blocks (get_doctest copies)
        result = runner.run(test, clear_globs=False)
        assert result.failed == 0, f"README python block {number} failed (see the output above)"
    if passed_over:
        pytest.skip(f"README python blocks not run, their modules are missing: {passed_over}")


def test_command_line_example_output():
    examples = re.findall(r"^(fernquill extract [^\n#]*)\n# (\{.*\})$", "\n".join(blocks("bash")), re.M)
    assert examples
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    for command, shown in examples:
        args = command.split()[1:]
        result = subprocess.run([sys.executable, "-m", "fernquill_tools", *args], cwd=ROOT, env=env,
                                capture_output=True, text=True, timeout=120)
        assert result.stdout.splitlines()[0] == shown


def test_setup_commands():
    first = blocks("bash")[0].splitlines()
    assert first[1] == 'python3 -m pip install ".[test]" && python3 -m pytest'
    ci = (ROOT / ".ci" / "run").read_text()
    assert 'python3 -m pip install ".[test]" && python3 -m pytest\n' in ci
    install, _, run = first[0].partition(" && ")
    assert install == "python3 -m pip install ."
    args = run.split()[3:]  # after "python3 -m fernquill_tools"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in sys.path if p)
    result = subprocess.run(" ".join([sys.executable, "-m", "fernquill_tools", *args]), shell=True, cwd=ROOT,
                            env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and len(result.stdout.splitlines()) >= 6
