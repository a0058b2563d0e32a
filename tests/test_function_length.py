"""No function in the engine runs over about 60 lines: each reads as a few named steps. One
that stays longer is listed in LONGER with the reason."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# The engine's folders: everything but the bindings.
ENGINE = ["support", "text", "trie", "exact", "approx", "keyword_processor", "state", "worker_pool"]
LIMIT = 60
LONGER: dict[str, str] = {}

COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.DOTALL)
LITERAL = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'')
PREPROCESSOR = re.compile(r"^[ \t]*#[^\n]*", re.MULTILINE)
CONTAINER = re.compile(r"\b(namespace|class|struct|union|enum)\b|extern\s*$")
CONTROL = re.compile(r"^(if|for|while|switch|do|else|try|catch|return)\b")
NAME = re.compile(r"([\w:~]+)\s*(?:<[^()]*>)?\s*\(")


def line_ends(match):
    return "\n" * match.group(0).count("\n")


def plain_code(text):
    """The source with comments, literals and preprocessor lines blanked, lines kept."""
    text = COMMENT.sub(line_ends, text)
    text = LITERAL.sub('""', text)
    return PREPROCESSOR.sub("", text)


def long_functions(text, limit=LIMIT):
    """(name, first line, lines) of each function body over `limit` lines: a block opened
    after a parameter list, at file, namespace or class level (lambdas and blocks inside a
    function count as the function's)."""
    found, stack, head, line = [], [], "", 1
    for ch in plain_code(text):
        if ch == "\n":
            line += 1
        if ch == "{":
            h = " ".join(head.split())
            if any(kind == "function" for kind, _, _ in stack):
                kind = "block"
            elif "(" in h and not CONTROL.match(h) and "=" not in h.split("(")[0]:
                kind = "function"
            elif CONTAINER.search(h) or not h:
                kind = "container"
            else:
                kind = "block"
            stack.append((kind, line, h))
            head = ""
        elif ch == "}":
            if stack:
                kind, first, h = stack.pop()
                if kind == "function" and line - first + 1 > limit:
                    name = NAME.search(h)
                    found.append((name.group(1) if name else h, first, line - first + 1))
            head = ""
        elif ch == ";":
            head = ""
        else:
            head += ch
    return found


def engine_functions_over_the_limit():
    over = []
    for folder in ENGINE:
        for path in sorted((SRC / folder).rglob("*")):
            if path.suffix not in (".hpp", ".cpp"):
                continue
            for name, first, lines in long_functions(path.read_text(encoding="utf-8")):
                if name.split("::")[-1] not in LONGER:
                    over.append(f"{path.relative_to(SRC)}:{first} {name}: {lines} lines")
    return over


def test_no_engine_function_is_over_the_limit():
    assert engine_functions_over_the_limit() == []


def test_the_check_sees_a_long_function_and_nothing_else():
    body = "\n".join(f"  x += {k};" for k in range(70))
    table = "\n".join(f"  {{{k}, \"{{\"}}," for k in range(70))
    source = (f"namespace a {{\n// f() {{\nint Holder::long_one(int x) const {{\n{body}\n"
              f"  auto g = [&] {{ return x; }};\n  return g();\n}}\n"
              f"const int kTable[][2] = {{\n{table}\n}};\n"
              f"struct S {{\n  void inline_member() {{\n{body}\n  }}\n}};\n"
              f"int short_one() {{ if (true) {{ return 1; }} return 0; }}\n}}\n")
    assert long_functions(source) == [("Holder::long_one", 3, 74), ("inline_member", 150, 72)]
