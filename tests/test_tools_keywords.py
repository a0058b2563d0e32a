"""load_keywords: every format, format detection, and all-or-nothing errors
that name the file and line; the exported PanicException and its pickling."""

import csv
import io
import json
import pickle
import random
import time
from concurrent.futures import ProcessPoolExecutor

import pytest

import fernquill
import fernquill_tools
from fernquill_tools import PanicException, load_keywords
from helpers import each_seed

EXPECTED = {"new york": "NYC", "los angeles": "LA", "python": "python"}


@pytest.mark.parametrize(
    "name, content",
    [
        ("k.tsv", "# comment\nNew York\tNYC\n\nLos Angeles\tLA\npython\n"),
        ("k.tsv", "New York\tNYC\r\nLos Angeles\tLA\r\npython\t\r\n"),
        ("k.csv", 'New York,NYC\n"Los Angeles",LA\npython\n'),
        ("k.json", json.dumps({"New York": "NYC", "Los Angeles": "LA", "python": None})),
        ("k.json", json.dumps({"NYC": ["New York"], "LA": ["los angeles"], "python": ["PYTHON"]})),
        ("k.txt", "New York\nLos Angeles\npython\n"),
        ("no_suffix", "New York\tNYC\nLos Angeles\tLA\npython\n"),
        ("no_suffix", '{"New York": "NYC", "Los Angeles": "LA", "python": null}'),
    ],
)
def test_formats(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content, encoding="utf-8", newline="")
    kp = fernquill.KeywordProcessor()
    assert load_keywords(kp, path) == 3
    expected = EXPECTED if name != "k.txt" else {k: k for k in EXPECTED}
    assert kp.get_all_keywords() == expected
    # The same from open files, binary and text.
    for mode in ("rb", "r"):
        other = fernquill.KeywordProcessor()
        with open(path, mode) as f:
            load_keywords(other, f)
        assert other.get_all_keywords() == expected


def test_explicit_format_overrides_suffix():
    kp = fernquill.KeywordProcessor()
    load_keywords(kp, io.StringIO("a,b\n"), format="text")
    assert kp.get_all_keywords() == {"a,b": "a,b"}


@pytest.mark.parametrize(
    "name, content, where, message",
    [
        ("k.tsv", "a\tA\nb\tB\textra\n", "k.tsv:2:", "3 fields"),
        ("k.tsv", "a\n\tB\n", "k.tsv:2:", "empty keyword"),
        # Skipped lines (blank, CR alone, comments) still count.
        ("k.tsv", "a\tA\n\n# note\nb\tB\tC\n", "k.tsv:4:", "3 fields"),
        ("k.tsv", "a\n\r\n \t\n\tA\n", "k.tsv:4:", "empty keyword"),
        ("k.csv", 'a,A\nb,B\n"c,C\n', "k.csv:3:", ""),
        ("k.csv", "a,A\nb,B,C\n", "k.csv:2:", "3 fields"),
        ("k.json", '{"a": "A",\n "b": 5}', "k.json:2:", "expected a clean name"),
        ("k.json", '{"a": "A",\n "b": }', "k.json:2:", "Expecting value"),
        ("k.json", '["a"]', "k.json:1:", "expected an object"),
        ("k.json", '{"A": ["a", 3]}', "k.json:1:", "expected a clean name"),
    ],
)
def test_malformed_files_add_nothing(tmp_path, name, content, where, message):
    path = tmp_path / name
    path.write_text(content, encoding="utf-8")
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("kept", "K")
    before = kp.__getstate__()
    with pytest.raises(ValueError) as info:
        load_keywords(kp, path)
    assert str(info.value).startswith(f"{tmp_path / where}")
    assert message in str(info.value)
    assert kp.__getstate__() == before


def test_unknown_format_is_refused(tmp_path):
    path = tmp_path / "k.txt"
    path.write_text("a\n")
    with pytest.raises(ValueError, match="unknown keyword file format 'xml'"):
        load_keywords(fernquill.KeywordProcessor(), path, format="xml")


def test_invalid_utf8_names_the_line(tmp_path):
    path = tmp_path / "k.tsv"
    path.write_bytes(b"a\tA\nb\xff\tB\n")
    kp = fernquill.KeywordProcessor()
    with pytest.raises(ValueError, match=r"k\.tsv:2: invalid UTF-8"):
        load_keywords(kp, path)
    assert len(kp) == 0


def test_interrupted_loading_restores_the_processor(tmp_path):
    class Stop(BaseException):
        pass

    class Flaky:
        """Passes through to a processor, failing on the third keyword."""

        def __init__(self, kp):
            self.kp, self.calls = kp, 0

        def add_keyword(self, keyword, clean_name=None):
            self.calls += 1
            if self.calls == 3:
                raise Stop
            self.kp.add_keyword(keyword, clean_name)

        def __getstate__(self):
            return self.kp.__getstate__()

        def __setstate__(self, state):
            self.kp.__setstate__(state)

    kp = fernquill.KeywordProcessor()
    kp.add_keyword("a", "old")
    before = kp.__getstate__()
    with pytest.raises(Stop):
        load_keywords(Flaky(kp), io.StringIO("a\tnew\nb\nc\nd\n"), format="tsv")
    assert kp.__getstate__() == before


def test_panic_exception_is_the_module_class():
    with pytest.raises(PanicException, match="Threshold must be between 0 and 1"):
        fernquill.KeywordProcessor().extract_keywords("x", 1.5)
    assert PanicException.__module__ == "fernquill_tools"
    assert fernquill_tools.PanicException is PanicException
    assert not issubclass(PanicException, Exception)
    assert "PanicException" not in dir(fernquill)


def extract_in_worker(threshold):
    kp = fernquill.KeywordProcessor()
    kp.add_keyword("abc")
    return [m.keyword for m in kp.extract_keywords("abc", threshold)]


def test_panic_in_a_worker_process_reaches_the_parent():
    exc = PanicException("Threshold must be between 0 and 1")
    again = pickle.loads(pickle.dumps(exc))
    assert type(again) is PanicException and again.args == exc.args
    with ProcessPoolExecutor(max_workers=1) as pool:
        assert pool.submit(extract_in_worker, 0.9).result() == ["abc"]
        with pytest.raises(PanicException, match="^Threshold must be between 0 and 1$"):
            pool.submit(extract_in_worker, 7.0).result()


# Characters that str.splitlines takes for line ends, and others a keyword
# may hold; none of them may cut a keyword or shift a line number.
INNER = ["\x85", "\u2028", "\u2029", "\f", "\x1c", "\x1d", "\x1e", "\x0b", "#", " ", "é", "a", "B", "7",
         "\x00", "İ", "😀"]


def random_entries(rng):
    entries = []
    for _ in range(rng.randint(1, 12)):
        keyword = rng.choice(["", "#", "x"]) + "".join(rng.choice(INNER) for _ in range(rng.randint(1, 6)))
        if not keyword.strip(" \t") or keyword == "#" or keyword.startswith(("# ", "#\t")):
            keyword = "k" + keyword  # not blank, not a comment
        clean = rng.choice([None, "".join(rng.choice(INNER) for _ in range(rng.randint(1, 4)))])
        entries.append((keyword, clean))
    return entries


def written(fmt, entries, newline, rng):
    lines = []
    for keyword, clean in entries:
        if rng.random() < 0.2:
            lines.append(rng.choice(["", "   ", "# a comment \u2028 with a separator", "#"]))
        if fmt == "tsv":
            lines.append(keyword if clean is None else f"{keyword}\t{clean}")
        elif fmt == "csv":
            buf = io.StringIO()
            csv.writer(buf, lineterminator="").writerow([keyword] if clean is None else [keyword, clean])
            lines.append(buf.getvalue())
        else:
            lines.append(keyword)
    return newline.join(lines) + rng.choice(["", newline])


@pytest.mark.parametrize("fmt", ["tsv", "csv", "text"])
def test_line_formats_keep_every_keyword(tmp_path, fmt):
    path = tmp_path / f"k.{'txt' if fmt == 'text' else fmt}"
    for seed in range(200):
        rng = random.Random(seed)
        entries = random_entries(rng)
        newline = rng.choice(["\n", "\r\n"])
        content = written(fmt, entries, newline, rng)
        path.write_text(content, encoding="utf-8", newline="")
        kp = fernquill.KeywordProcessor(case_sensitive=True)
        assert load_keywords(kp, path) == len(entries), f"seed {seed}: {content!r}"
        expected = {}
        for keyword, clean in entries:
            expected[keyword] = clean if clean is not None and fmt != "text" else keyword
        assert kp.get_all_keywords() == expected, f"seed {seed}: {content!r}"


@pytest.mark.parametrize("separator", ["\x85", "\u2028", "\u2029", "\f", "\x1e", "\r"])
@pytest.mark.parametrize("name", ["k.tsv", "k.txt"])
def test_separators_inside_a_keyword_and_line_numbers(tmp_path, separator, name):
    path = tmp_path / name
    path.write_text(f"caf\u00e9{separator}bar\tCafe\n#MeToo\n\tempty\n", encoding="utf-8", newline="")
    kp = fernquill.KeywordProcessor()
    if name == "k.tsv":
        with pytest.raises(ValueError, match=r"k\.tsv:3: empty keyword"):
            load_keywords(kp, path)
        path.write_text(f"caf\u00e9{separator}bar\tCafe\n#MeToo\n", encoding="utf-8", newline="")
        load_keywords(kp, path)
        assert kp.get_all_keywords() == {f"caf\u00e9{separator}bar": "Cafe", "#metoo": "#metoo"}
    else:
        load_keywords(kp, path)
        assert f"caf\u00e9{separator}bar\tcafe" in kp.get_all_keywords()


def test_csv_refuses_a_lone_carriage_return_naming_its_line(tmp_path):
    path = tmp_path / "k.csv"
    path.write_bytes(b"a,A\n\"quoted\rkept\",B\nlone\rcr,C\n")
    kp = fernquill.KeywordProcessor()
    with pytest.raises(ValueError, match=r"k\.csv:3: carriage return inside an unquoted field"):
        load_keywords(kp, path)
    assert len(kp) == 0


@pytest.mark.parametrize("line, kept", [("#MeToo", True), ("#1 fan", True), ("##", True),
                                        ("# MeToo", False), ("#\tx", False), ("#", False)])
def test_only_a_hash_and_a_blank_start_a_comment(line, kept):
    for fmt in ("tsv", "csv", "text"):
        kp = fernquill.KeywordProcessor(case_sensitive=True)
        assert load_keywords(kp, io.StringIO(f"{line}\nother\n"), format=fmt) == 1 + kept
        assert (line in kp.get_all_keywords()) == kept


@pytest.mark.slow  # 200,000 keywords
def test_json_loads_in_linear_time():
    keys = {f"keyword number {i}": f"clean {i % 97}" for i in range(200_000)}
    content = json.dumps(keys, indent=1)
    started = time.process_time()  # the work done, which a loaded machine does not stretch
    kp = fernquill.KeywordProcessor()
    assert load_keywords(kp, io.StringIO(content), format="json") == len(keys)
    # A search of the whole file per key took about 20 ms per thousand keys at
    # 10k keys and grows with the square: hours here.
    assert time.process_time() - started < 20
    assert len(kp) == len(keys)
    bad = content[:-2] + ',\n "last": 5}'
    with pytest.raises(ValueError, match=rf":{len(keys) + 2}: 'last': expected a clean name"):
        load_keywords(kp, io.StringIO(bad), format="json")


def test_a_str_without_utf8_form_adds_nothing(tmp_path):
    # A text stream opened with surrogateescape gives such a str: the
    # processor refuses the keyword, and the keywords before it go too.
    path = tmp_path / "k.tsv"
    path.write_bytes(b"bar\ncaf\xe9\tCafe\n")
    kp = fernquill.KeywordProcessor()
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        with pytest.raises(UnicodeEncodeError):
            load_keywords(kp, f, format="tsv")
    assert len(kp) == 0


@pytest.mark.parametrize("fmt", ["tsv", "csv", "text", "json"])
@pytest.mark.parametrize("opened", ["text", "binary", "path"])
@each_seed(range(10))
def test_byte_order_mark_is_no_part_of_a_keyword(tmp_path, fmt, opened, seed):
    rng = random.Random(seed)
    entries = random_entries(rng)
    content = (json.dumps(dict(entries), ensure_ascii=rng.random() < 0.5) if fmt == "json"
               else written(fmt, entries, rng.choice(["\n", "\r\n"]), rng))
    path = tmp_path / f"k.{'txt' if fmt == 'text' else fmt}"
    path.write_text("\ufeff" + content, encoding="utf-8", newline="")
    kp = fernquill.KeywordProcessor(case_sensitive=True)
    if opened == "path":
        load_keywords(kp, path)
    else:
        with open(path, "rb") if opened == "binary" else open(path, encoding="utf-8", newline="") as f:
            load_keywords(kp, f)
    named = fmt != "text"
    assert kp.get_all_keywords() == {k: c if c is not None and named else k for k, c in dict(entries).items()}


@pytest.mark.parametrize("content", ["caf\u00e9\rbar\tCafe\nb\n", "a\r\ncaf\u00e9\rbar"])
def test_a_stream_that_took_a_lone_carriage_return_for_a_line_end_is_refused(tmp_path, content):
    path = tmp_path / "k.tsv"
    path.write_text(content, encoding="utf-8", newline="")
    kp = fernquill.KeywordProcessor()
    with open(path, encoding="utf-8") as f, pytest.raises(ValueError, match="lone carriage return"):
        load_keywords(kp, f)
    assert len(kp) == 0
    with open(path, encoding="utf-8", newline="") as f:  # as written: the CR belongs to the keyword
        load_keywords(kp, f)
    assert "caf\u00e9\rbar" in kp.get_all_keywords() or "caf\u00e9\r" in kp.get_all_keywords()
