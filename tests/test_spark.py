"""murk.spark on a real local Spark: sketches merged inside Spark equal local
builds, groups equal a pandas groupby, and bad calls fail on the driver."""
import math
import os
import sys

import pytest
from environment import spark_missing

if spark_missing():
    pytest.skip(spark_missing(), allow_module_level=True)

import pandas as pd
import pyarrow as pa
from pyspark.sql import SparkSession
from pyspark.sql import functions as F

import murk
import murk.spark as ms
from murk._kinds import KINDS

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::DeprecationWarning")

PARAMS = {
    "bloom": {"expected_items": 2000}, "counting-bloom": {"expected_items": 2000},
    "cms": {"width": 4096, "depth": 4}, "hll": {"precision": 12}, "minhash": {"num_hashes": 64},
    "topk": {"k": 1000},
}
MERGEABLE = [k for k in KINDS.values() if k.mergeable and k.feeds is not None]

N = 3000
COLUMNS = {
    "day": [f"d{i % 4}" for i in range(N)],
    "country": [None if i % 11 == 0 else f"c{i % 3}" for i in range(N)],
    "user": [None if i % 29 == 0 else f"u{(i * 7) % 600}" for i in range(N)],
    "latency": [float((i * 37) % 1000) / 10 for i in range(N)],
    "n": [i % 50 for i in range(N)],
}
SCHEMA = "day string, country string, user string, latency double, n int"
EVENTS = pd.DataFrame(COLUMNS)


def plain(values):
    """pandas' missing values back to None."""
    return [None if pd.isna(v) else v for v in values]


@pytest.fixture(scope="module")
def spark(tmp_path_factory):
    # Workers run this interpreter, which has this murk installed.
    saved = os.environ.get("PYSPARK_PYTHON")
    os.environ["PYSPARK_PYTHON"] = sys.executable
    scratch = tmp_path_factory.mktemp("spark")
    session = (
        SparkSession.builder.master("local[2]").appName("murk-tests")
        .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "3").config("spark.default.parallelism", "2")
        .config("spark.local.dir", str(scratch)).config("spark.sql.warehouse.dir", str(scratch / "warehouse"))
        .config("spark.sql.session.timeZone", "UTC")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()
    if saved is None:
        os.environ.pop("PYSPARK_PYTHON", None)
    else:
        os.environ["PYSPARK_PYTHON"] = saved


@pytest.fixture(scope="module")
def events(spark):
    return spark.createDataFrame(list(zip(*COLUMNS.values())), SCHEMA).repartition(4).cache()


def local(kind, values):
    sketch = kind.cls(**PARAMS.get(kind.name, {}))
    sketch.update_column(pa.array(values))
    return sketch


def assert_same_sketch(kind, got, want, values):
    """Byte for byte where the merge order cannot matter, else the answers."""
    assert type(got) is kind.cls
    if kind.exact_merge:
        assert got.to_bytes() == want.to_bytes()
    present = [v for v in values if v is not None]
    if kind.summary == "cardinality":
        assert abs(got.cardinality() - len(set(present))) < 0.1 * len(set(present))
    elif kind.summary == "top":  # k exceeds the distinct items: every count is exact
        assert sorted(got.top()) == sorted(want.top())
    elif kind.summary == "quantiles":
        ordered = sorted(present)
        for q in (0.1, 0.5, 0.9):
            rank = sum(v <= got.quantile(q) for v in ordered) / len(ordered)
            assert abs(rank - q) < 0.05
    if kind.answers is not None:
        assert got.query_many(present[:50]) == want.query_many(present[:50])


@pytest.mark.parametrize("kind", MERGEABLE, ids=lambda k: k.name)
def test_sketch_equals_a_local_build(events, kind):
    column = "latency" if kind.feeds == "numbers" else "user"
    got = ms.sketch(events, column, kind.name, **PARAMS.get(kind.name, {}))
    assert_same_sketch(kind, got, local(kind, COLUMNS[column]), COLUMNS[column])


@pytest.mark.parametrize("column,spark_type", [
    ("s", "string"), ("b", "binary"), ("t", "tinyint"), ("i", "int"), ("l", "bigint"),
])
def test_item_columns_key_like_the_python_values(spark, column, spark_type):
    values = {
        "s": ["a", None, "é", "", "a"], "b": [b"a", b"\x00\xff", None, b""], "t": [-128, 0, 127, None],
        "i": [-(2**31), 7, None, 2**31 - 1], "l": [-(2**63), 2**63 - 1, None, 12],
    }[column]
    df = spark.createDataFrame([(v,) for v in values], f"{column} {spark_type}").repartition(2)
    want = murk.HyperLogLog(precision=10)
    want.update([v for v in values if v is not None])
    assert ms.sketch(df, column, murk.HyperLogLog, precision=10).to_bytes() == want.to_bytes()


def test_empty_dataframe_gives_an_empty_sketch(events):
    got = ms.sketch(events.where("false"), "user", "hll", precision=11, seed=5)
    assert got.to_bytes() == murk.HyperLogLog(precision=11, seed=5).to_bytes()


@pytest.mark.parametrize("name", ["hll", "cms", "topk"])
def test_sketch_by_matches_a_pandas_groupby(events, name):
    kind = KINDS[name]
    got = {(r.day, r.country): r.sketch
           for r in ms.sketch_by(events, ["day", "country"], "user", name, **PARAMS[name]).collect()}
    groups = EVENTS.groupby(["day", "country"], dropna=False)["user"]
    assert len(got) == groups.ngroups
    for (day, country), users in groups:
        key = (day, *plain([country]))
        values = plain(users)
        assert_same_sketch(kind, kind.cls.from_bytes(got[key]), local(kind, values), values)


def test_merge_by_rolls_days_up_like_a_build_over_the_week(spark, events):
    daily = ms.sketch_by(events, ["day", "country"], "user", "hll", precision=12)
    gap = spark.createDataFrame([("d9", "c0", None)], daily.schema)  # a missing day adds nothing
    weekly = ms.merge_by(daily.unionByName(gap), "country", "sketch", murk.HyperLogLog)
    got = {r.country: bytes(r.sketch) for r in weekly.collect()}
    want = {r.country: bytes(r.sketch)
            for r in ms.sketch_by(events, "country", "user", "hll", precision=12).collect()}
    assert got == want and len(got) == 4


def _sketches(spark, name, **params):
    """A DataFrame of sketches built locally, one per country, plus a null one."""
    rows = []
    for country, users in EVENTS.groupby("country")["user"]:
        sketch = KINDS[name].cls(**params)
        sketch.update([u for u in plain(users) if u is not None])
        rows.append((country, sketch.to_bytes()))
    return spark.createDataFrame(rows + [("none", None)], "country string, sketch binary"), dict(rows)


@pytest.mark.parametrize("name,params,question,answer", [
    ("hll", {}, {}, lambda s: s.cardinality()),
    ("cms", {"width": 64, "depth": 3}, {"item": "u7"}, lambda s: s.count("u7")),
    ("bloom", {"expected_items": 100}, {"item": "u14"}, lambda s: "u14" in s),
    ("topk", {"k": 5}, {"top": 3}, lambda s: [{"item": i, "count": c} for i, c in s.top(3)]),
])
def test_estimate_answers_what_the_sketch_answers(spark, name, params, question, answer):
    df, local_sketches = _sketches(spark, name, **params)
    out = ms.estimate(df, "sketch", name, **question, name="answer").collect()
    assert {r.country for r in out} == {*local_sketches, "none"}
    for r in out:
        if r.country == "none":
            assert r.answer is None
            continue
        want = answer(KINDS[name].cls.from_bytes(local_sketches[r.country]))
        got = [x.asDict() for x in r.answer] if name == "topk" else r.answer
        assert got == want


def _jobs(spark):
    return len(spark.sparkContext.statusTracker().getJobIdsForGroup())


@pytest.mark.parametrize("call,error,match", [
    (lambda df: ms.sketch(df, "nope", "hll"), ValueError, "no column 'nope'.*day, country"),
    (lambda df: ms.sketch(df, "latency", "hll"), TypeError, "'latency' is double.*HyperLogLog does not take"),
    (lambda df: ms.sketch(df, "n", "topk", k=3), TypeError, "TopK does not take; it takes string"),
    (lambda df: ms.sketch(df, "user", "cuckoo", capacity=10), TypeError, "CuckooFilter cannot be merged"),
    (lambda df: ms.sketch(df, "user", murk.ScalableBloomFilter), TypeError, "cannot be merged"),
    (lambda df: ms.sketch(df, "user", "minhash-lsh"), TypeError, "not built from a column"),
    (lambda df: ms.sketch(df, "user", "hyperloglog"), ValueError, "unknown sketch kind.*hll"),
    (lambda df: ms.sketch(df, "user", dict), TypeError, "dict is not a murk sketch class"),
    (lambda df: ms.sketch(df, "user", "hll", width=3), TypeError, "HyperLogLog parameters.*width"),
    (lambda df: ms.sketch(df, "user", "hll", precision=99), ValueError, "HyperLogLog parameters.*precision"),
    (lambda df: ms.sketch_by(df, [], "user", "hll"), ValueError, "no group keys"),
    (lambda df: ms.sketch_by(df.withColumn("tags", F.array("user")), "tags", "user", "hll"), TypeError,
     "group key 'tags' is array<string>"),
    (lambda df: ms.sketch_by(df, "day", "user", "hll", sketch_column="day"), ValueError, "name of a group key"),
    (lambda df: ms.merge_by(df, "day", "user", "hll"), TypeError, "'user' is string, not a binary column"),
    (lambda df: ms.estimate(df, "user", "hll"), TypeError, "not a binary column"),
    (lambda df: ms.sketch(EVENTS, "user", "hll"), TypeError, "expected a Spark DataFrame, got pandas"),
])
def test_bad_calls_fail_on_the_driver_before_any_job(spark, events, call, error, match):
    before = _jobs(spark)
    with pytest.raises(error, match=match):
        call(events)
    assert _jobs(spark) == before


@pytest.mark.parametrize("name,question,error,match", [
    ("minhash", {}, TypeError, "MinHash has no single number"),
    ("cms", {}, TypeError, r"no single number to estimate \(ask with item"),
    ("hll", {"item": "a"}, TypeError, "no per-item answer"),
    ("hll", {"q": 0.5}, TypeError, "does not answer quantiles"),
    ("topk", {"item": 3}, TypeError, "'int' object"),
    ("topk", {"top": 0}, ValueError, "positive int"),
    ("cms", {"item": "a", "top": 2}, ValueError, "top= goes with"),
    ("cms", {"item": "a", "q": 0.5}, ValueError, "one question at a time"),
    ("cms", {"item": "a", "name": "country"}, ValueError, "already has a column 'country'"),
])
def test_bad_questions_fail_on_the_driver(spark, name, question, error, match):
    df = spark.createDataFrame([("c", b"")], "country string, sketch binary")
    before = _jobs(spark)
    with pytest.raises(error, match=match):
        ms.estimate(df, "sketch", name, **question)
    assert _jobs(spark) == before


@pytest.mark.skipif(not any(k.summary == "quantiles" for k in KINDS.values()), reason="no quantile kind registered")
def test_quantile_kinds_answer_quantiles_and_ranks_in_spark(spark, events):
    for kind in (k for k in KINDS.values() if k.summary == "quantiles" and k.mergeable):
        per_day = ms.sketch_by(events, "day", "latency", kind.name, sketch_column="lat")
        out = ms.estimate(ms.estimate(per_day, "lat", kind.name, q=[0.5, 0.9]), "lat", kind.name, rank=50.0)
        for r in out.collect():
            sketch = kind.cls.from_bytes(r.lat)
            assert r.quantiles == pytest.approx(list(sketch.quantiles([0.5, 0.9])))
            assert math.isclose(r.rank, sketch.rank(50.0))


def test_keys_of_every_atomic_type_survive_grouping_and_estimate(spark):
    rows = [(i % 2 == 0, i % 3, float(i % 2) / 4, f"{i % 2}.50", f"2026-12-0{1 + i % 2}",
             f"2026-12-01 0{i % 3}:00:00", bytes([i % 2]) if i % 5 else None, f"u{i}") for i in range(60)]
    df = spark.createDataFrame(rows, "b boolean, s smallint, f double, d string, day string, ts string, "
                               "raw binary, user string").selectExpr(
        "b", "s", "f", "cast(d as decimal(5, 2)) as d", "cast(day as date) as day",
        "cast(ts as timestamp) as ts", "raw", "user")
    keys = ["b", "s", "f", "d", "day", "ts", "raw"]
    out = ms.estimate(ms.sketch_by(df, keys, "user", "hll"), "sketch", "hll").collect()
    want = {tuple(r): n for r, n in df.groupBy(keys).count().rdd.map(lambda r: (tuple(r)[:-1], r[-1])).collect()}
    assert {tuple(r[k] for k in keys): round(r.cardinality) for r in out} == want
