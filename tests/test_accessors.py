"""The pandas accessor and the Polars namespace: rows, index, names and
types around the column calls, which they must give unchanged. The column
calls' own answers are tested against the module elsewhere."""

import math
import random
import subprocess
import sys

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import columns

pa = pytest.importorskip("pyarrow")

METHODS = ["extract", "replace", "names", "count", "contains"]
PIECES = ["new york", "New York", "zur", "zurück", "da", "daß", " ", ", ", "x", "é", "NY"]


def random_processor(rng):
    kp = KeywordProcessor(case_sensitive=rng.random() < 0.3)
    for word in rng.sample(["new york", "new", "zur", "da", "ny", "é"], rng.randint(1, 5)):
        kp.add_keyword(word, rng.choice([None, "X", word.upper()]))
    return kp


def random_rows(rng, n):
    return [None if rng.random() < 0.15 else "".join(rng.choices(PIECES, k=rng.randint(0, 8))) for _ in range(n)]


def column_answers(kp, rows, options):
    """What each method must give for `rows`, from the column calls."""
    names = pa.chunked_array(columns.names(kp, rows, **options)).to_pylist()
    return {
        "extract": pa.chunked_array(columns.extract(kp, rows, **options)).to_pylist(),
        "replace": pa.chunked_array(columns.replace(kp, rows, **options)).to_pylist(),
        "names": names,
        "count": [None if n is None else len(n) for n in names],
        "contains": pa.chunked_array(columns.contains(kp, rows, **options)).to_pylist(),
    }


def test_pandas_accessor_keeps_the_callers_rows_and_index():
    pd = pytest.importorskip("pandas")
    import fernquill_tools.pandas  # noqa: F401 - registers .fq

    def as_series(rows, form, index):
        if form == "object":  # None, NaN and NA all stand for a missing row
            missing = [None, math.nan, pd.NA]
            return pd.Series([missing[i % 3] if r is None else r for i, r in enumerate(rows)], index=index,
                             dtype=object, name="text")
        dtype = {"str": "str", "category": "category", "arrow": pd.ArrowDtype(pa.string()),
                 "large": pd.ArrowDtype(pa.large_string())}[form]
        return pd.Series(rows, index=index, dtype=dtype, name="text")

    for seed in range(40):
        rng = random.Random(seed)
        kp = random_processor(rng)
        rows = random_rows(rng, rng.randint(0, 30))
        form = rng.choice(["object", "str", "category", "arrow", "large"])
        index = rng.sample(range(1000), len(rows)) if rng.random() < 0.5 else [f"r{i}" for i in range(len(rows))]
        frame = pd.DataFrame({"text": as_series(rows, form, index)})
        # Filtered, then re-indexed or re-ordered: the rows kept, in their new order.
        keep = [i for i in range(len(rows)) if rng.random() < 0.7]
        sub, sub_rows = frame.iloc[keep], [rows[i] for i in keep]
        if rng.random() < 0.5:
            sub = sub.reset_index(drop=True)
        else:
            sub, sub_rows = sub.iloc[::-1], sub_rows[::-1]
        options = rng.choice([{}, {"words": "ascii"}, {"words": "unicode", "fallback": False}])
        want = column_answers(kp, sub_rows, options)
        for method in METHODS:
            got = getattr(sub["text"].fq, method)(kp, **options)
            assert isinstance(got.dtype, pd.ArrowDtype), (seed, method, got.dtype)
            assert got.index.equals(sub.index) and got.name == "text", (seed, method)
            assert pa.chunked_array(got).to_pylist() == want[method], (seed, method, form)
        assigned = sub.assign(out=sub["text"].fq.replace(kp, **options))
        assert pa.chunked_array(assigned["out"]).to_pylist() == want["replace"], seed


def test_pandas_refusals_name_the_row():
    pd = pytest.importorskip("pandas")
    import fernquill_tools.pandas  # noqa: F401

    series = pd.Series(["a", None, 3], index=[7, 8, 9], dtype=object)
    with pytest.raises(TypeError, match="row 2 is 'int', not str: pass str, or None or NaN"):
        series.fq.contains(KeywordProcessor())


def test_polars_namespace_in_lazy_frames_and_on_series():
    pl = pytest.importorskip("polars")
    from fernquill_tools.polars import RESULT_TYPES

    for seed in range(25):
        rng = random.Random(seed)
        kp = random_processor(rng)
        rows = random_rows(rng, rng.randint(0, 30))
        options = rng.choice([{}, {"words": "ascii"}, {"fallback": False}])
        dtype = rng.choice([pl.String, pl.Categorical])
        want = column_answers(kp, rows, options)
        lazy = pl.LazyFrame({"text": pl.Series(rows, dtype=dtype)}).with_columns(
            **{method: getattr(pl.col("text").fq, method)(kp, **options) for method in METHODS})
        schema = lazy.collect_schema()
        frame = lazy.collect()
        assert frame.schema == schema, seed
        for method in METHODS:
            assert schema[method] == RESULT_TYPES[method], (seed, method)
            assert frame[method].to_list() == want[method], (seed, method)
            on_series = getattr(pl.Series("t", rows, dtype=dtype).fq, method)(kp, **options)
            assert on_series.name == "t" and on_series.to_list() == want[method], (seed, method)
        kept = pl.LazyFrame({"text": rows}).filter(pl.col("text").fq.contains(kp, **options)).collect()
        assert kept["text"].to_list() == [r for r, hit in zip(rows, want["contains"]) if hit], seed


@pytest.mark.slow  # starts an interpreter per case
@pytest.mark.parametrize("module, hidden", [("pandas", "polars"), ("polars", "pandas")])
def test_each_registers_without_the_other_library(module, hidden):
    pytest.importorskip(module)
    code = f"""
import sys
sys.modules[{hidden!r}] = None  # as if it were not installed: importing it fails
import {module}
import fernquill_tools.{module}
assert sys.modules[{hidden!r}] is None
from fernquill import KeywordProcessor
kp = KeywordProcessor()
kp.add_keyword("ab")
print({module}.Series(["ab c", None]).fq.count(kp).to_list())
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() in (["[1,", "<NA>]"], ["[1,", "None]"])
