"""murk.dask on a real two-process cluster, and on the local schedulers."""
import doctest
import functools
import pickle

import dask
import dask.array as da
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from dask.sizeof import sizeof
from distributed import Client, LocalCluster

import murk
import murk.dask

MISSING = [None, float("nan"), pd.NA, np.float32("nan"), pd.NaT]
# Text, ints and bytes, with every kind of missing value mixed in.
VALUES = [MISSING[i % 5] if i % 13 == 0 else (f"user{i % 700}" if i % 3 else i % 90 if i % 2 else b"b%d" % (i % 40))
          for i in range(6000)]
PRESENT = [v for v in VALUES if not pd.isna(v)]
WORDS = [f"w{i % 900}" for i in range(6000)]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster, set_as_default=False) as c:
        yield c


def collection(kind, values, n=12):
    if kind == "bag":
        return db.from_sequence(values, npartitions=n)
    if kind == "array":
        return da.from_array(np.array(values, dtype=object), chunks=-(-len(values) // n))
    if kind == "series":
        return dd.from_pandas(pd.Series(values, dtype=object, index=range(5, 5 + len(values))), npartitions=n)
    # Dask refuses an index holding missing text, so the index case gets none.
    return dd.from_pandas(pd.Series(0, index=pd.Index([v for v in values if not pd.isna(v)])), npartitions=n,
                          sort=False).index


def minhash_factory():
    return murk.MinHash(64, seed=9)


# Every way to name a factory: a class with params, a partial of one, and callables.
FACTORIES = {
    "BloomFilter": (murk.BloomFilter, {"expected_items": 5000, "seed": 4}),
    "CountingBloomFilter": (functools.partial(murk.CountingBloomFilter, num_hashes=5), {"expected_items": 5000}),
    "CountMinSketch": (murk.CountMinSketch, {"width": 300, "depth": 4}),
    "HyperLogLog": (lambda: murk.HyperLogLog(11, seed=2), {}),
    "MinHash": (minhash_factory, {}),
    "ThetaSketch": (murk.ThetaSketch, {"lg_k": 10, "seed": 3}),  # exact at this size: the same bytes
}


def reference(factory, params, values):
    sketch = factory(**params)
    sketch.update(values)
    return sketch.to_bytes()


@pytest.mark.parametrize("kind", ["bag", "array", "series", "index"])
def test_cluster_build_matches_one_process(client, kind):
    values = VALUES if kind != "index" else PRESENT
    coll = collection(kind, values)
    built = [murk.dask.build(coll, f, split_every=3, **p) for f, p in FACTORIES.values()]
    for (factory, params), sketch in zip(FACTORIES.values(), client.gather(client.compute(built))):
        assert sketch.to_bytes() == reference(factory, params, PRESENT)


def test_cluster_topk_finds_the_heavy_hitters(client):
    rng = np.random.default_rng(3)
    stream = [f"item{k}" for k in rng.zipf(1.3, 40_000)]
    top = client.compute(murk.dask.build(collection("bag", stream, 10), murk.TopK, k=40)).result()
    counts = pd.Series(stream).value_counts()
    heavy = counts[counts > len(stream) / 40].index
    assert len(heavy) >= 5 and all(item in top for item in heavy)
    assert [item for item, _ in top.top(5)] == list(counts.index[:5])


@pytest.mark.parametrize("scheduler", ["threads", "sync"])
def test_local_schedulers_build_and_query(scheduler):
    hll = murk.dask.build(collection("bag", VALUES, 6), murk.HyperLogLog, precision=10, split_every=False)
    assert hll.compute(scheduler=scheduler).to_bytes() == reference(murk.HyperLogLog, {"precision": 10}, PRESENT)
    bf = murk.BloomFilter(expected_items=1000)
    bf.update(PRESENT[:500])
    answers = murk.dask.contains(collection("series", VALUES, 6), bf).compute(scheduler=scheduler)
    assert answers.tolist() == [not pd.isna(v) and v in bf for v in VALUES]


FLOATS = np.where(np.arange(3000) % 7 == 0, np.nan, np.arange(3000) % 400 / 4)
TEXT = pd.Series([None if i % 11 == 0 else f"t{i % 500}" for i in range(3000)], dtype="string")
INTS = pd.Series([None if i % 9 == 0 else i % 300 - 150 for i in range(3000)], dtype="Int64")
CATS = TEXT.astype("category")
STAMPS = np.where(np.arange(3000) % 5 == 0, np.datetime64("NaT"), np.datetime64("2024-01-01") + np.arange(3000) % 90)


@pytest.mark.parametrize("coll, present", [
    (da.from_array(FLOATS, chunks=700), FLOATS[~np.isnan(FLOATS)].tolist()),
    (dd.from_pandas(TEXT, npartitions=4), TEXT.dropna().tolist()),
    (dd.from_pandas(INTS, npartitions=4), INTS.dropna().tolist()),  # Arrow-backed: read in place
    (dd.from_pandas(CATS, npartitions=4), CATS.dropna().tolist()),
    (da.from_array(STAMPS, chunks=700), STAMPS[~np.isnat(STAMPS)].tolist()),
    (dd.from_pandas(pd.Series(STAMPS), npartitions=4), pd.Series(STAMPS).dropna().tolist()),
    (db.from_sequence(MISSING * 3, npartitions=4), []),  # empty and all-missing partitions: an empty sketch
], ids=["float-array", "string-series", "int-series", "category-series", "datetime-array", "datetime-series",
        "all-missing"])
def test_typed_partitions_skip_their_missing_values(coll, present):
    got = murk.dask.build(coll, murk.HyperLogLog, precision=10).compute(scheduler="sync")
    assert got.to_bytes() == reference(murk.HyperLogLog, {"precision": 10}, present)


@pytest.mark.parametrize("kind", ["bag", "array", "series", "index"])
@pytest.mark.parametrize("sketch", [
    murk.CountingBloomFilter(expected_items=2000), murk.ScalableBloomFilter(100), murk.CuckooFilter(4000),
    murk.CountMinSketch(width=64, depth=3), murk.TopK(30),
])
def test_cluster_contains_answers_per_element(client, kind, sketch):
    words = WORDS[:2000] + [None, "None", float("nan"), "nan"] * 10
    values = words if kind != "index" else WORDS[:2000]
    sketch.update(["None", "nan"] + WORDS[:300] * 2)
    coll = collection(kind, values, 5)
    result = murk.dask.contains(coll, sketch)
    got = client.compute(result).result()
    expected = [0 if pd.isna(v) else sketch.query_many([v])[0] for v in values]
    assert list(got) == expected
    counts = isinstance(sketch, (murk.CountMinSketch, murk.TopK))
    if kind == "bag":
        assert {type(x) for x in got} == {int if counts else bool}
    else:
        assert got.dtype == (np.uint64 if counts else bool)
    if kind == "array":
        assert result.chunks == coll.chunks
    else:
        assert result.npartitions == coll.npartitions
    if kind in ("series", "index"):
        assert list(got.index) == (values if kind == "index" else list(range(5, 5 + len(values))))


def test_contains_ships_a_snapshot_of_the_sketch_once():
    bf = murk.BloomFilter(num_bits=2**23, num_hashes=3)  # 1 MiB of bits
    bf.update(WORDS[:10])
    result = murk.dask.contains(collection("bag", WORDS, 16), bf)
    assert len(pickle.dumps(dict(result.__dask_graph__()))) < 1.5 * bf.size_in_bytes
    bf.update(WORDS)
    assert sum(result.compute(scheduler="sync")) == sum(w in WORDS[:10] for w in WORDS)


def unmergeable():
    return murk.CuckooFilter(100)


@pytest.mark.parametrize("values, factory, params, error, match", [
    ("bag", murk.ScalableBloomFilter, {}, TypeError, "ScalableBloomFilter cannot be merged"),
    ("bag", unmergeable, {}, TypeError, "CuckooFilter cannot be merged"),
    ("bag", lambda: set(), {}, TypeError, "must return an empty murk"),
    ("bag", "HyperLogLog", {}, TypeError, "must be callable"),
    ("bag", murk.HyperLogLog, {"precision": 99}, ValueError, "precision"),
    ("bag", murk.HyperLogLog, {"split_every": 1}, ValueError, "at least 2"),
    ("bag", murk.HyperLogLog, {"split_every": 2.0}, TypeError, "split_every"),
    ("frame", murk.HyperLogLog, {}, TypeError, "pick one column"),
    ("matrix", murk.HyperLogLog, {}, TypeError, "1-D Dask Array"),
    ("pandas", murk.HyperLogLog, {}, TypeError, "expected a Dask Bag"),
])
def test_bad_input_is_refused_before_any_task_runs(values, factory, params, error, match):
    def explode(_):
        raise AssertionError("a partition was computed")

    coll = {
        "bag": db.from_sequence(range(4), npartitions=2).map(explode),
        "frame": dd.from_pandas(pd.DataFrame({"a": [1, 2]}), npartitions=1),
        "matrix": da.zeros((4, 4), chunks=2),
        "pandas": pd.Series(["a"]),
    }[values]
    with pytest.raises(error, match=match):
        murk.dask.build(coll, factory, **params)


@pytest.mark.parametrize("sketch", [murk.HyperLogLog(), murk.MinHash(), "a sketch"])
def test_contains_refuses_sketches_without_item_queries(sketch):
    with pytest.raises(TypeError, match="per-item answers"):
        murk.dask.contains(collection("bag", WORDS), sketch)


def test_workers_account_sketches_by_their_size():
    for sketch in (murk.BloomFilter(num_bits=2**23, num_hashes=3), murk.CuckooFilter(4000), murk.TopK(30)):
        assert sizeof(sketch) == sketch.size_in_bytes


def test_docstring_example_runs():
    with dask.config.set(scheduler="sync"):
        result = doctest.testmod(murk.dask)
    assert result.attempted >= 3 and result.failed == 0
