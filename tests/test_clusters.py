"""The cluster engines' column calls on real local clusters: every row of
every task equals the column call's over the same rows, nulls kept, and the
counts equal one `columns.count` over the whole column."""

import importlib
import os
import random
import sys

import pytest

from fernquill import KeywordProcessor
from fernquill_tools import columns
from fernquill_tools.row_tasks import KINDS, Task

pa = pytest.importorskip("pyarrow")


def engine(name):
    """The cluster engine's module; CI installs them all, so there a missing
    one fails instead of skipping."""
    return importlib.import_module(name) if os.environ.get("CI") else pytest.importorskip(name)

pytestmark = pytest.mark.stress

WORDS = ["new", "york", "los", "angeles", "für", "straße", "ny", "la", "big", "apple", "x"]


def processor_and_rows(seed, n_rows=300):
    rng = random.Random(seed)
    kp = KeywordProcessor()
    for _ in range(12):
        kp.add_keyword(" ".join(rng.sample(WORDS, rng.randint(1, 2))), rng.choice(["A", "B", "Ü", None]))
    rows = [None if rng.random() < 0.1 else
            " ".join(rng.choice(WORDS + ["New York", "LA,"]) for _ in range(rng.randint(0, 12)))
            for _ in range(n_rows)]
    return kp, rows


def expected(kp, rows, kind, options):
    return Task(kp, kind, options).apply(pa.array(rows, pa.string())).to_pylist()


OPTIONS = [{"words": "ascii"}, {"words": "unicode", "fallback": True}]


def check_engine(run_with_column, run_count, seeds=(0, 1)):
    for seed in seeds:
        kp, rows = processor_and_rows(seed)
        for options in OPTIONS:
            for kind in KINDS:
                got = run_with_column(kp, rows, kind, options)
                assert got == expected(kp, rows, kind, options), (seed, kind, options)
            assert run_count(kp, rows, options) == columns.count(kp, rows, **options), (seed, options)


def test_spark_local_cluster(monkeypatch):
    engine("pyspark")
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)  # the workers import this fernquill
    from pyspark.sql import SparkSession
    from fernquill_tools import spark as fq_spark

    session = (SparkSession.builder.master("local-cluster[2,1,1024]").appName("fernquill-tests")
               .config("spark.ui.enabled", "false").config("spark.executorEnv.RAYON_NUM_THREADS", "1")
               .getOrCreate())
    try:
        def frame(rows):
            return session.createDataFrame([(i, r) for i, r in enumerate(rows)], "id int, text string").repartition(3)

        def with_column(kp, rows, kind, options):
            out = fq_spark.with_column(frame(rows), kp, "text", kind, output="found", **options)
            return [row.found if kind != "extract" or row.found is None else [m.asDict() for m in row.found]
                    for row in out.orderBy("id").collect()]

        def count(kp, rows, options):
            return fq_spark.count(session.createDataFrame([(r,) for r in rows], "text string"), kp, "text", **options)

        check_engine(with_column, count)
    finally:
        session.stop()


def test_ray_local_cluster():
    ray = engine("ray")
    from fernquill_tools import ray as fq_ray

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"RAYON_NUM_THREADS": "1"}})
    try:
        ray.data.DataContext.get_current().execution_options.preserve_order = True

        def dataset(rows):
            table = pa.table({"id": list(range(len(rows))), "text": pa.array(rows, pa.string())})
            return ray.data.from_arrow([table.slice(0, 100), table.slice(100, 100), table.slice(200)])

        def with_column(kp, rows, kind, options):
            out = fq_ray.with_column(dataset(rows), kp, "text", kind, output="found", concurrency=2,
                                     num_cpus=0.5, **options)
            table = pa.concat_tables(ray.get(out.to_arrow_refs())).sort_by("id")
            return table["found"].to_pylist()

        def count(kp, rows, options):
            return fq_ray.count(dataset(rows), kp, "text", concurrency=2, num_cpus=0.5, **options)

        check_engine(with_column, count, seeds=(0,))
    finally:
        ray.shutdown()


def test_dask_dataframe_local_cluster():
    pd = pytest.importorskip("pandas")
    dd = engine("dask.dataframe")
    from dask.distributed import Client, LocalCluster
    from fernquill_tools import dask as fq_dask

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster):
        def frame(rows):
            # a filtered, re-indexed frame: the new column must keep the rows' index
            index = [1000 - i for i in range(len(rows))]
            pdf = pd.DataFrame({"text": pd.Series(rows, dtype="string[pyarrow]", index=index)})
            return dd.from_pandas(pdf, npartitions=3, sort=False)

        def with_column(kp, rows, kind, options):
            out = fq_dask.with_column(frame(rows), kp, "text", kind, output="found", **options).compute()
            assert list(out.index) == [1000 - i for i in range(len(rows))]
            assert isinstance(out["found"].dtype, pd.ArrowDtype)
            return pa.array(out["found"]).to_pylist()

        def count(kp, rows, options):
            return fq_dask.count(frame(rows), kp, "text", **options).compute()

        check_engine(with_column, count)


@pytest.mark.parametrize("bad", ["find", "count"])
def test_task_names_checked(bad):
    with pytest.raises(ValueError, match="unknown task"):
        Task(KeywordProcessor(), bad)



def test_readme_cluster_examples(monkeypatch):
    """The README's cluster sessions (its `pycon` blocks), in order, in one
    namespace, each showing exactly what it prints."""
    import doctest
    import pathlib
    import re
    for name in ("pyspark", "ray", "dask.dataframe"):
        engine(name)
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    sessions = re.findall(r"^```pycon\n(.*?)^```", readme, re.S | re.M)
    assert len(sessions) == 3
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    monkeypatch.setenv("RAYON_NUM_THREADS", "1")
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    namespace = {}
    for number, body in enumerate(sessions, 1):
        test = parser.get_doctest(body, namespace, f"README cluster session {number}", "README.md", 0)
        test.globs = namespace
        assert runner.run(test, clear_globs=False).failed == 0, f"README cluster session {number} failed"
