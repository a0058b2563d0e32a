"""Compare the engine's lower-casing with this interpreter's str.lower().

The comparison runs through the C++ test binary: the cases are written to a
file and `engine_tests driven_lower_generated_cases` checks each one (the binary is
built once per session, or taken from FERNQUILL_ENGINE_TESTS).

The table generator's derivation of the final-sigma properties is checked
against the Unicode definitions here directly.
"""

import importlib.util
import os
import pathlib
import random
import subprocess
import sys
import unicodedata

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SIGMA = "\u03a3"
MAX_CP = 0x110000



def load_generator():
    module_spec = importlib.util.spec_from_file_location("gen_case_tables",
                                                  ROOT / "tools" / "gen_case_tables.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def all_chars():
    return (chr(cp) for cp in range(MAX_CP) if not 0xD800 <= cp <= 0xDFFF)


def escape(s):
    return (s.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r"))


def origin_field(s):
    """Expected origin map: each output byte maps to the offset of the first
    byte of the input character that produced it; "-" when no character
    changes its UTF-8 length."""
    offsets = []
    changed = False
    at = 0
    for ch in s:
        width = len(ch.encode("utf-8"))
        # Both sigma forms are two bytes, so context does not matter here.
        out_width = 2 if ch == SIGMA else len(ch.lower().encode("utf-8"))
        changed |= out_width != width
        offsets.extend([at] * out_width)
        at += width
    assert len(offsets) == len(s.lower().encode("utf-8"))
    return ",".join(map(str, offsets)) if changed else "-"


def case_line(s):
    return f"{escape(s)}\t{escape(s.lower())}\t{origin_field(s)}\n"


def is_assigned(ch):
    return unicodedata.category(ch) not in ("Cn", "Co")


# Character pools for random final-sigma contexts, chosen from the general
# categories (independently of the tables under test).
IGNORABLE_CATEGORIES = ("Mn", "Me", "Cf", "Lm", "Sk")
CASED_CATEGORIES = ("Lu", "Ll", "Lt")


def context_pools():
    cased, ignorable, other = [], [], []
    for ch in all_chars():
        cat = unicodedata.category(ch)
        if cat in IGNORABLE_CATEGORIES:
            ignorable.append(ch)
        elif cat in CASED_CATEGORIES:
            cased.append(ch)
        elif cat != "Cn":
            other.append(ch)
    ignorable += list("'.:^`\u00b7\u2019\u00ad")
    cased += list("AzΣσς\u0130\u212a\u1e9e")
    other += list(" 1,;!-\u4e2d")
    return cased, ignorable, other


def write_cases(path):
    rng = random.Random(20240601)
    count = 0
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        # Every code point, in runs of consecutive code points.
        run = []
        for ch in all_chars():
            run.append(ch)
            if len(run) == 48:
                f.write(case_line("".join(run)))
                count += 1
                run = []
        if run:
            f.write(case_line("".join(run)))
            count += 1
        # Every assigned code point as the neighbour of a sigma on either side.
        for ch in all_chars():
            if is_assigned(ch):
                f.write(case_line(f"{ch}{SIGMA} A{ch}{SIGMA} A{SIGMA}{ch}"))
                count += 1
        # Random strings around sigmas.
        cased, ignorable, other = context_pools()
        pools = [cased, ignorable, ignorable, other, [SIGMA], list("ABCxyz' ")]
        for _ in range(30000):
            length = rng.randint(1, 14)
            s = "".join(rng.choice(rng.choice(pools)) for _ in range(length))
            if SIGMA not in s:
                pos = rng.randint(0, len(s))
                s = s[:pos] + SIGMA + s[pos:]
            f.write(case_line(s))
            count += 1
        # Longer mixed texts, to cross the engine's internal block and buffer sizes.
        words = ["The", "QUICK", "brown", "ΦΟΞ", "ΟΔΟΣ", "İstanbul", "Straße", "\u212aelvin",
                 "ÉCOLE", "Москва", "中文", "😀", "ŞİMDİ", "\u1e9e", " ", "  ", ", ", "'"]
        for _ in range(2000):
            s = "".join(rng.choice(words) for _ in range(rng.randint(1, 400)))
            f.write(case_line(s))
            count += 1
    return count


@pytest.mark.slow  # every code point
def test_generator_properties_match_unicode_categories():
    gen = load_generator()
    for ch in all_chars():
        flags = gen.properties(ch)
        cat = unicodedata.category(ch)
        if cat in IGNORABLE_CATEGORIES:
            assert flags == gen.IGNORABLE, (hex(ord(ch)), flags)
        elif cat in CASED_CATEGORIES:
            assert flags == gen.CASED, (hex(ord(ch)), flags)
        elif cat == "Cn":
            assert flags == 0, (hex(ord(ch)), flags)
        # MidLetter and MidNumLet characters are case-ignorable too.
    for ch in "'.:\u00b7\u2019\u2027\ufe13\ufe52\ufe55\uff07\uff0e\uff1a":
        assert gen.properties(ch) == gen.IGNORABLE, hex(ord(ch))
    for ch in " 1,;\u4e2d\n":
        assert gen.properties(ch) == 0, hex(ord(ch))


@pytest.mark.slow  # generates the whole tables
def test_generated_tables_are_compact(tmp_path):
    gen = load_generator()
    out = tmp_path / "case_tables.inc"
    assert gen.main(["gen_case_tables.py", str(out)]) == 0
    text = out.read_text(encoding="ascii")
    assert len(text) < 300_000
    assert "kStage1" in text and "kEntries" in text and "kExpansions" in text


@pytest.mark.slow  # builds the engine tests
def test_engine_lowercase_matches_str_lower(tmp_path, engine_tests_binary):
    cases = tmp_path / "lower_cases.txt"
    count = write_cases(cases)
    assert count > 50000
    env = dict(os.environ, FERNQUILL_LOWER_CASES=str(cases))
    result = subprocess.run([str(engine_tests_binary), "driven_lower_generated_cases"], env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-5000:]
    assert "1 passed, 0 failed" in result.stdout, result.stdout + result.stderr[-5000:]


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-v"]))
