"""KLLSketch: the shared numeric input and quantile queries, accuracy, merging, persistence."""
import array
import decimal
import fractions
import json
import math

import numpy as np
import pytest

import murk
from conftest import HEADER, damaged_loads, murk_command, round_trips
from test_columns import Handmade, N, i64

KLL = murk.KLLSketch


def filled(values, k=200, seed=0):
    s = KLL(k, seed)
    s.update_array(np.asarray(values, dtype=np.float64))
    return s


# ---------------------------------------------------------------- numeric input

VALUES = [3, -1.5, 7, 0, 2.25, 1e300, -math.inf, 7, -0.0, 42]


@pytest.mark.parametrize("feed", [
    lambda s, v: [s.update(x) for x in v],
    lambda s, v: s.update(v),
    lambda s, v: s.update(iter(v)),
    lambda s, v: s.update([np.float32(x) if math.isfinite(x) and abs(x) < 1e30 else x for x in v]),
    lambda s, v: s.update(np.array(v)),
    lambda s, v: s.update_array(np.array(v)),
    lambda s, v: s.update_array(np.repeat(np.array(v), 3)[::3]),
    lambda s, v: s.update_array(np.insert(np.array(v), range(0, len(v), 3), math.nan)),
    lambda s, v: s.update_array(array.array("d", v)),
], ids=["one-by-one", "list", "iterator", "numpy-scalars", "update-numpy", "array", "strided", "nan-skip", "array.array"])
def test_every_input_path_gives_the_same_sketch(feed):
    # Long enough for level 0 to turn into blocks, read whole from arrays and
    # one value at a time from single updates.
    values = VALUES * 6000
    ref = KLL(200, seed=3)
    ref.update(values)
    s = KLL(200, seed=3)
    feed(s, values)
    assert s == ref and s.to_bytes() == ref.to_bytes()


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
                                   np.uint64, np.float16, np.float32, np.float64])
def test_integer_and_float_dtypes(dtype):
    v = np.arange(0, 120, 3).astype(dtype)
    a, b = KLL(8), KLL(8)
    a.update_array(v)
    b.update([float(x) for x in v])
    assert a == b
    a.update_array(v[::-2])
    b.update([float(x) for x in v[::-2]])
    assert a == b


def test_arrow_columns_read_like_arrays():
    pa = pytest.importorskip("pyarrow")
    values = [5, None, -3, 8, None, 1]
    ref = KLL(8)
    ref.update([5, -3, 8, 1] * 2)
    cols = [
        pa.chunked_array([pa.array(values, pa.int16()), pa.array(values, pa.int16())]),
        pa.array(values * 2, pa.float32()),
        pa.array(values * 2 + [float("nan")], pa.float64()),
        pa.array(values * 2, pa.int8()),
        pa.table({"x": pa.array(values * 2, pa.int64())}),
    ]
    for col in cols:
        s = KLL(8)
        s.update_column(col)
        assert s == ref, col.type if hasattr(col, "type") else col
    sliced = KLL(8)
    sliced.update_column(pa.array([100.0] + values * 2 + [100.0]).slice(1, 12))
    assert sliced == ref
    half = KLL(8)
    half.update_column(pa.array(np.array([1, 2, 3], dtype=np.float16)))
    assert half.quantiles([0, 1]) == [1.0, 3.0]
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    for col in (pl.Series(values * 2, dtype=pl.Int32), pd.Series(values * 2, dtype="Float64")):
        s = KLL(8)
        s.update_column(col)
        assert s == ref


@pytest.mark.parametrize("bad, fragment", [
    (["1", 2.0], "'str' object is not a number: '1'"),
    ([1.0, True], "'bool' object is not a number: True"),
    (iter([1.0, None, b"2"]), "'bytes' object is not a number"),
    ("12", "'str' object is not a number: '12'"),
    (np.array([True, False]), "bool array"),
    (object(), "'object' object is not a number"),
])
def test_non_numbers_raise_and_change_nothing(bad, fragment):
    s = KLL(8)
    s.update([1.0, 2.0])
    before = s.to_bytes()
    with pytest.raises(TypeError, match=fragment):
        s.update(bad)
    assert s.to_bytes() == before


def test_exotic_numbers_and_array_errors():
    s = KLL(8)
    s.update([decimal.Decimal("2.5"), fractions.Fraction(1, 4), np.int64(7), np.uint8(3), 2**70, math.nan, None])
    s.update(None)
    assert s.n == 5 and s.max == 2.0**70 and s.min == 0.25
    with pytest.raises(TypeError, match="not an array"):
        s.update_array([1.0, 2.0])
    with pytest.raises(ValueError, match="one-dimensional"):
        s.update_array(np.zeros((2, 2)))
    with pytest.raises(TypeError, match="not numeric"):
        s.update_array(np.array(["a"]))
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="cannot be read as numbers"):
        s.update_column(pa.array(["a"]))
    with pytest.raises(TypeError, match="bool"):
        s.update_column(pa.array([True]))
    assert s.n == 5


# ---------------------------------------------------------------- queries

@pytest.mark.parametrize("values", [
    [5.0], [2.0, 1.0], list(range(10)), [3.0] * 7 + [1.0, 9.0], [-math.inf, 0.0, math.inf, 1.0],
    list(np.random.default_rng(1).lognormal(size=150)),
], ids=["one", "two", "range", "ties", "infinities", "lognormal"])
def test_exact_while_small_equals_inverted_cdf(values):
    s = filled(values)
    assert s.num_retained == len(values)
    qs = np.linspace(0, 1, 101)
    expected = np.quantile(np.array(values), qs, method="inverted_cdf")
    assert s.quantiles(qs) == list(expected)
    assert [s.quantile(q) for q in qs] == list(expected)
    srt = np.sort(values)
    for x in list(srt) + [srt[0] - 1, srt[-1] + 1]:
        assert s.rank(x) == np.count_nonzero(srt <= x) / len(values)
    splits = sorted(set(v for v in values if math.isfinite(v)))
    assert s.cdf(splits) == [np.count_nonzero(srt <= x) / len(values) for x in splits] + [1.0]
    pmf = s.pmf(splits)
    assert math.isclose(sum(pmf), 1.0) and pmf[-1] == pytest.approx(np.count_nonzero(srt > splits[-1]) / len(values))


@pytest.mark.parametrize("call, msg", [
    (lambda s: s.quantile(1.5), "q must be between 0 and 1, got 1.5"),
    (lambda s: s.quantile(math.nan), "q must be between 0 and 1"),
    (lambda s: s.quantiles([0.5, -0.1]), "q must be between 0 and 1, got -0.1"),
    (lambda s: s.cdf([1.0, 1.0]), "strictly increasing"),
    (lambda s: s.pmf([2.0, 1.0]), "strictly increasing"),
    (lambda s: s.cdf([math.nan]), "NaN"),
    (lambda s: s.quantiles(np.array([0.5, np.nan])), "q must be between 0 and 1"),
    (lambda s: s.pmf(np.array([1.0, np.nan], dtype=np.float32)), "NaN"),
    (lambda s: s.quantiles([0.5, None]), None),
    (lambda s: s.rank(math.nan), "NaN"),
])
def test_query_validation(call, msg):
    with pytest.raises(ValueError if msg else TypeError, match=msg):
        call(filled([1.0, 2.0]))


@pytest.mark.parametrize("call", [
    lambda s: s.quantile(0.5), lambda s: s.quantiles([0.5]), lambda s: s.rank(1.0),
    lambda s: s.cdf([1.0]), lambda s: s.pmf([1.0]), lambda s: s.min, lambda s: s.max,
])
def test_empty_sketch_queries_raise(call):
    s = KLL()
    s.update([math.nan])
    assert s.is_empty() and len(s) == 0
    with pytest.raises(ValueError, match="KLLSketch is empty"):
        call(s)


# ---------------------------------------------------------------- accuracy and merging

def max_rank_error(s, values):
    srt = np.sort(values)
    n = len(srt)
    qs = np.linspace(0.005, 0.995, 199)
    got = np.array(s.quantiles(qs))
    # The answer's rank span [rank below, rank at or below] must cover q.
    lo = np.searchsorted(srt, got, side="left") / n
    hi = np.searchsorted(srt, got, side="right") / n
    return float(np.max(np.maximum(0.0, np.maximum(lo - qs, qs - hi))))


@pytest.mark.parametrize("k, n", [(32, 20000), (200, 100000)])  # the second half in blocks
def test_rank_error_within_bound_over_seeds(k, n):
    rng = np.random.default_rng(k)
    errors = []
    for seed in range(40):
        values = rng.lognormal(size=n)
        errors.append(max_rank_error(filled(values, k, seed), values))
    bound = KLL(k).normalized_rank_error(pmf=True)
    assert sum(e > bound for e in errors) <= 1 and max(errors) < 1.5 * bound  # a 99% bound
    assert KLL(k).normalized_rank_error() < bound
    assert np.quantile(errors, 0.5) > bound / 4  # and not slack by far


def test_merge_stays_within_bound_and_takes_the_smaller_k():
    rng = np.random.default_rng(5)
    values = rng.normal(size=60000)
    parts = np.array_split(values, 6)
    merged = KLL(400, seed=1)
    for i, part in enumerate(parts):
        merged.merge(filled(part, k=400 if i % 2 else 100, seed=i))
    assert merged.k == 100 and merged.n == len(values)
    assert merged.min == values.min() and merged.max == values.max()
    assert max_rank_error(merged, values) <= merged.normalized_rank_error(pmf=True)
    assert merged.num_retained < 4 * 100 + 200


@pytest.mark.parametrize("k, n", [(8, 3000), (40, 20000), (200, 200000), (1000, 30000)])
def test_compactions_keep_values_distinct_and_levels_sorted(k, n):
    # Every input value is distinct, so a level-0 sort or a merge that
    # duplicated, invented or misplaced a value shows here.
    values = np.random.default_rng(k).permutation(n).astype(np.float64) - n // 2
    doc = json.loads(filled(values, k=k, seed=1).to_json())
    items = np.array(doc["items"], dtype=np.float64)
    assert len(set(items.tolist())) == len(items)
    assert np.isin(items, values).all()
    for h, end in enumerate(np.cumsum(doc["level_sizes"])[1:], start=1):
        level = items[end - doc["level_sizes"][h]:end]
        assert (np.diff(level) >= 0).all()


def test_a_deep_sketch_saved_with_narrow_low_levels_goes_on_in_blocks():
    # Before blocks, a sketch this deep kept values on levels 1 and 2 and up
    # to its whole slack on level 0; loading one and updating it must give
    # the same sketch by every path, with level 0 back under a block.
    rng = np.random.default_rng(8)
    sizes = [70, 5, 7, 10, 15, 20, 30, 40, 60, 100]
    levels = [rng.random(m) if h == 0 else np.sort(rng.random(m)) for h, m in enumerate(sizes)]
    items = np.concatenate(levels)
    doc = {"version": 1, "k": 200, "rng": 5, "n": sum(m << h for h, m in enumerate(sizes)),
           "min": float(items.min()), "max": float(items.max()), "level_sizes": sizes, "items": items.tolist()}
    more = rng.lognormal(size=3000)
    bulk, single = KLL.from_json(json.dumps(doc)), KLL.from_json(json.dumps(doc))
    bulk.update_array(more)
    for x in more:
        single.update(float(x))
    assert bulk == single and bulk.n == doc["n"] + len(more) and bulk.max == more.max()
    after = json.loads(bulk.to_json())
    assert after["level_sizes"][0] < 64 and max(after["level_sizes"][1:3]) <= 1
    assert bulk.num_retained < 3 * 200 + 64  # within the capacities and a block


def test_reproducible_by_seed():
    values = np.random.default_rng(2).random(50000)
    a, b, c = filled(values, seed=9), filled(values, seed=9), filled(values, seed=10)
    assert a == b and a.to_bytes() == b.to_bytes() and a != c
    assert repr(a).startswith("KLLSketch(k=200, n=50000, retained=")


# ---------------------------------------------------------------- persistence

def test_round_trips_and_continues_identically():
    values = np.random.default_rng(3).lognormal(size=5000)
    values[7] = math.inf
    for s in (KLL(), filled(values, k=16, seed=4)):
        for copy in round_trips(s):
            assert copy == s
            copy.update_array(values[:999])
            s2 = s.copy()
            s2.update_array(values[:999])
            assert copy == s2
    assert json.loads(KLL().to_json())["min"] == "inf"


def test_damaged_records():
    s = filled(np.arange(100.0), k=8, seed=1)
    payload = s.to_bytes()[HEADER:]
    for loaded in damaged_loads(KLL, payload, b"MKKL", 7, 400):
        loaded.quantiles([0, 0.5, 1])
        loaded.update_array(np.arange(50.0))
    good = json.loads(s.to_json())
    for field, value, msg in [
        ("k", 7, "k must be between"),
        ("n", good["n"] + 1, "do not add up to n"),
        ("level_sizes", good["level_sizes"][:-1], "add up"),
        ("items", good["items"][:1] + [-5.0] + good["items"][2:], "outside"),
        ("min", "-inf", None),
        ("max", 1.0, "outside"),
        ("min", "nope", "expected f64"),
    ]:
        bad = dict(good, **{field: value})
        if msg is None:
            assert KLL.from_json(json.dumps(bad)).min == -math.inf
            continue
        with pytest.raises(ValueError, match=msg):
            KLL.from_json(json.dumps(bad))


# ---------------------------------------------------------------- command line and Dask

def test_cli_quantiles_build_info_merge(tmp_path):
    lines = b"".join(b"%d\n" % i for i in range(1, 101))
    (tmp_path / "n.txt").write_bytes(lines + b"oops\n\nnan\n")
    proc = murk_command("quantiles", "--q", "0,0.5,1", "n.txt", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"0\t1.0\n0.5\t50.0\n1\t100.0\n"
    assert proc.stderr == b"murk: warning: skipped 1 line(s) that are not numbers (first: 'oops')\n"
    proc = murk_command("quantiles", "--json", "--k", "8", "--q", "0.25", "-", stdin=lines)
    report = json.loads(proc.stdout)
    assert report["n"] == 100 and abs(report["quantiles"][0]["value"] - 25) <= 100 * 2.5 / 8
    for args, msg in [
        (("quantiles", "-"), b"murk: error: no numbers in the input: 2 line(s) are not numbers (first: 'a')\n"),
        (("quantiles", "--q", "2", "n.txt"), b"murk: error: q must be between 0 and 1, got 2\n"),
    ]:
        proc = murk_command(*args, stdin=b"a\nb\n", cwd=tmp_path)
        assert proc.returncode == 2 and proc.stderr.endswith(msg), proc.stderr
    proc = murk_command("quantiles", "--kind", "dd", "--k", "8", "n.txt", cwd=tmp_path)
    assert proc.returncode == 2 and b"--k applies to --kind kll" in proc.stderr
    assert murk_command("build", "kll", "--k", "32", "--seed", "5", "n.txt", "-o", "a.kll", cwd=tmp_path).returncode == 0
    built = KLL.load(str(tmp_path / "a.kll"))
    assert built == filled(np.arange(1.0, 101.0), k=32, seed=5)
    assert murk_command("merge", "a.kll", "a.kll", "-o", "b.kll", cwd=tmp_path).returncode == 0
    info = json.loads(murk_command("info", "--json", "b.kll", cwd=tmp_path).stdout)
    assert info["kind"] == "kll" and info["n"] == 200 and info["k"] == 32


def test_cli_reads_numeric_and_text_columns(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    pq.write_table(pa.table({"ms": pa.array([1.5, None, 3.0, 2.0])}), tmp_path / "t.parquet")
    (tmp_path / "t.csv").write_text("ms,x\n4,a\n,b\nbad,c\n")
    proc = murk_command("quantiles", "--column", "ms", "--q", "0,1", "t.parquet", "t.csv", cwd=tmp_path)
    assert proc.stdout == b"0\t1.5\n1\t4.0\n" and b"skipped 1 line(s)" in proc.stderr


def test_dask_builds_numeric_partitions():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    import dask.array as da
    import murk.dask
    values = np.random.default_rng(4).lognormal(size=5000)
    values[::9] = np.nan
    present = values[~np.isnan(values)]
    for coll in (dd.from_pandas(pd.Series(values), npartitions=4),
                 dd.from_pandas(pd.Series(values).astype("Float64"), npartitions=3),
                 da.from_array(values, chunks=700)):
        got = murk.dask.build(coll, KLL, k=64).compute()
        assert got.n == len(present) and got.min == present.min() and got.max == present.max()
        assert max_rank_error(got, present) <= got.normalized_rank_error(pmf=True)


# ---------------------------------------------------------------- hand-built numeric columns

def f64(*v):
    return np.array(v, dtype=np.float64).tobytes()


NUMERIC_MALFORMED = {
    "nulls without bitmap": ("g", 1, [None, f64(1.0)], dict(null_count=1), "no validity buffer"),
    "no data buffer": ("g", 1, [None, None], {}, "no data buffer"),
    "three buffers": ("g", 1, [None, f64(1.0), None], {}, "3 buffers"),
    "negative length": ("l", -1, [None, i64()], {}, "negative length"),
    "offset plus length overflows": ("g", 2**62, [None, f64()], dict(offset=2**62), "overflows"),
}


@pytest.mark.parametrize("fmt, length, buffers, extra, msg", NUMERIC_MALFORMED.values(), ids=NUMERIC_MALFORMED.keys())
def test_malformed_numeric_columns_raise_change_nothing_and_are_released(fmt, length, buffers, extra, msg):
    s = filled([1.0, 2.0])
    before = s.to_bytes()
    col = Handmade(N(fmt, length, buffers, **extra))
    with pytest.raises(ValueError, match=msg):
        s.update_column(col)
    assert s.to_bytes() == before and sorted(col.released) == ["array", "schema"]


def test_hand_built_numeric_columns_read_offsets_bitmaps_and_halves():
    bitmap = bytes([0b1011])  # rows 0, 1 and 3 valid
    s = KLL(8)
    s.update_column(Handmade(N("g", 3, [bitmap, f64(9.0, 1.0, 5.0, 7.0)], offset=1, null_count=1)))
    assert s.quantiles([0, 1]) == [1.0, 7.0] and s.n == 2
    half = KLL(8)
    half.update_column(Handmade(N("e", 3, [None, np.array([0.5, -2, 65504], dtype=np.float16).tobytes()])))
    assert half.quantiles([0, 0.5, 1]) == [-2.0, 0.5, 65504.0]
    # A refused type raises TypeError even when the producer's release runs Python (ctypes).
    with pytest.raises(TypeError, match="bool"):
        KLL().update_column(Handmade(N("b", 1, [None, bytes([1])])))
    with pytest.raises(TypeError, match="TopK reads string columns"):
        murk.TopK(3).update_column(Handmade(N("l", 1, [None, i64(5)])))
