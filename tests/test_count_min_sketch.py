"""CountMinSketch: sizing, hashing, counting, combining, persistence."""
import json
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import CountMinSketch as CMS
from conftest import G, HEADER, MASK, BadStr, damaged_loads, mix, round_trips, wrap, xxh

EITHER = "Either provide (width, depth) or (error_rate, confidence)"
DIMS = "table dimensions do not match width and depth"
SIZE = "width and depth must be positive"
VER = "Unsupported Count-Min Sketch data version"
RATE = "error_rate must be between 0 and 1 (exclusive)"
CONF = "confidence must be between 0 and 1 (exclusive)"
EOF_MSG = "Deserialization error: io error: unexpected end of file"


def item_cols(key, width, depth, seed=0):
    return [xxh(key, seed + r * G) % width for r in range(depth)]


def hash_cols(x, width, depth, seed=0):
    return [mix(((((seed + r * G) & MASK) ^ x) + G) & MASK) % width for r in range(depth)]


def table(sketch):
    return json.loads(sketch.to_json())["table"]


def payload(rows, width, depth, count=0, seed=0, version=2):
    out = struct.pack("<BQ", version, len(rows))
    for row in rows:
        out += struct.pack(f"<Q{len(row)}Q", len(row), *row)
    return out + struct.pack("<4Q", width, depth, count, seed)


def cm(body):
    return wrap(body, b"MKCM", 1)


def record(rows, width, depth, count=0, seed=0, version=2, codec="json"):
    if codec == "json":
        return CMS.from_json(json.dumps({"version": version, "table": rows, "width": width,
                                         "depth": depth, "count": count, "seed": seed}))
    return CMS.from_bytes(cm(payload(rows, width, depth, count, seed, version)))


def raises(exc, call, msg=None):
    with pytest.raises(exc) as e:
        call()
    assert msg is None or str(e.value) == msg


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("kwargs, msg", [
    ({}, EITHER), ({"width": 100}, EITHER), ({"error_rate": 0.01}, EITHER),
    ({"depth": 5, "error_rate": 0.01, "confidence": 0.99}, EITHER),
    ({"width": 0, "error_rate": 0.01, "confidence": 0.99}, EITHER),
    ({"width": 0, "depth": 0}, "width must be positive"), ({"width": 10, "depth": 0}, "depth must be positive"),
    ({"error_rate": 1.0, "confidence": 2.0}, RATE), ({"error_rate": math.nan, "confidence": 0.5}, RATE),
    ({"error_rate": 0.5, "confidence": 1}, CONF), ({"error_rate": 0.5, "confidence": -math.inf}, CONF),
    ({"error_rate": 0.01, "confidence": 1e-17}, "depth must be positive"),
    ({"width": 0, "depth": 1, "seed": -1}, OverflowError),  # converted before sizing
    ({"width": 2**40, "depth": 7}, MemoryError), ({"error_rate": 1e-300, "confidence": 0.5}, MemoryError),
])
def test_constructor_refusals_in_order(kwargs, msg):
    if isinstance(msg, str):
        raises(ValueError, lambda: CMS(**kwargs), msg)
    else:
        raises(msg, lambda: CMS(**kwargs))


@pytest.mark.parametrize("args, width, depth, total, bound", [
    ({"error_rate": 0.01, "confidence": 0.99}, 272, 5, 1000, 10), ({"width": 1, "depth": 1}, 1, 1, MASK, MASK),
    ({"error_rate": 0.001, "confidence": 0.999}, 2719, 7, 10**6, 1000),
    ({"error_rate": 0.1, "confidence": 0.9}, 28, 3, 0, 0), ({"error_rate": 0.5, "confidence": 0.5}, 6, 1, 0, 0),
    ({"width": 1, "depth": 1, "error_rate": 5.0, "confidence": math.nan}, 1, 1, 3, 9),  # explicit sizes win
])
def test_sizing_and_statistics(args, width, depth, total, bound):
    s = CMS(**args)
    assert (s.width, s.depth, s.size_in_bytes, len(s)) == (width, depth, 8 * width * depth, 0)
    assert table(s) == [[0] * width] * depth
    s.add_hash(1, total)
    assert (s.error_rate(), s.confidence(), s.error_bound()) == (math.e / width, 1.0 - math.e ** -depth, bound)
    assert repr(s) == f"CountMinSketch(width={width}, depth={depth}, total_count={total})"


# ---------------------------------------------------------------- hashing and counting

@pytest.mark.parametrize("seed, key, cols", [
    (0, "hello", [109, 195, 155, 159, 238]), (7, b"hello", [43, 111, 61, 173, 89]),
    (0, 12345, [144, 257, 263, 43, 160]),  # as a caller hash
])
def test_published_columns(seed, key, cols):
    s = CMS(272, 5, seed=seed)
    s.add_hash(key) if isinstance(key, int) else s.add(key)
    assert [row.index(1) for row in table(s)] == cols


def test_query_aliases_and_saturated_length():
    s = CMS(272, 5)
    s.add("x", 5)
    s.add_count(b"x", 3)
    s.update_hashes([42, 42])
    assert (s.query("x"), s.count("x"), s["x"], s.query_hash(42), len(s)) == (8, 8, 8, 2, 10)
    s.add("x", MASK)
    assert (s["x"], s.total_count) == (MASK, MASK)
    raises(OverflowError, lambda: len(s))


def test_conversion_order_and_failed_calls_change_nothing():
    s = CMS(10, 2)
    s.add("before")
    snapshot = s.to_bytes()
    raises(OverflowError, lambda: s.add(BadStr(), -1))  # the count is converted before the item
    raises(KeyError, lambda: s.add_count(BadStr(), 1))
    with pytest.raises(TypeError, match="^argument 'hash': "):  # and the hash before the count
        s.add_hash("x", -1)
    raises(KeyError, lambda: s.update(["ok", BadStr()]))
    assert s.to_bytes() == snapshot


@pytest.mark.parametrize("method", ["update", "update_many"])
@pytest.mark.parametrize("depth", [1, 7, 32, 33])  # deep sketches take the unbuffered batch path
def test_batches_equal_single_calls(method, depth):
    single, batch = CMS(7, depth, seed=3), CMS(7, depth, seed=3)
    keys = [f"k{i}" for i in range(40)] + [b"a", [98], bytearray(b"a"), memoryview(b"b"), (97,)]
    for i, k in enumerate(keys + ["a", "b", "a", "b"]):
        single.add(k)
        single.add_hash(i)
    assert getattr(batch, method)(keys) is None
    getattr(batch, method)("ab")  # a str is iterated per character
    getattr(batch, method)(c for c in "ab")
    batch.update_hashes(range(len(keys) + 4))
    assert batch.to_bytes() == single.to_bytes()


# ---------------------------------------------------------------- merge, inner product, statistics

def test_merge_adds_counters_and_totals_saturating():
    a, b = record([[1, 2], [3, 0]], 2, 2, count=5), record([[4, MASK], [0, 7]], 2, 2, count=MASK - 1)
    b_before = b.to_bytes()
    assert a.merge(b) is None
    assert (table(a), a.total_count, b.to_bytes()) == ([[5, MASK], [3, 7]], MASK, b_before)


@pytest.mark.parametrize("rows_a, rows_b, expected", [
    ([[1, 2], [3, 0]], [[4, 5], [1, 1]], 3),
    ([[2**32, 1]], [[2**32, 1]], MASK),            # product overflows
    ([[2**63, 2**63]], [[1, 1]], MASK),            # sum overflows
    ([[0, 0], [7, 7]], [[9, 9], [1, 1]], 0),
])
def test_inner_product_is_min_of_saturating_row_dots(rows_a, rows_b, expected):
    w, d = len(rows_a[0]), len(rows_a)
    assert record(rows_a, w, d).inner_product(record(rows_b, w, d)) == expected


# ---------------------------------------------------------------- persistence

def test_binary_and_json_layout():
    s = CMS(2, 1)
    assert s.to_bytes() == cm(payload([[0, 0]], 2, 1)) and len(s.to_bytes()) == 86


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("rows, width, depth, version, msg", [
    ([[0]], 1, 1, 1, VER), ([], 0, 0, 3, VER), ([[0]], 0, 1, 2, SIZE), ([], 1, 0, 2, SIZE), ([[0]], MASK, 1, 2, DIMS),
    ([[0, 0], [0, 0]], 2, 3, 2, DIMS), ([[0, 0], [0]], 2, 2, 2, DIMS), ([[0] * 3], 2, 1, 2, DIMS),
])
def test_validation(codec, rows, width, depth, version, msg):
    raises(ValueError, lambda: record(rows, width, depth, version=version, codec=codec), msg)


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_count_is_not_checked_against_counters(codec):
    s, t = record([[0, 0], [0, 0]], 2, 2, count=7, seed=MASK, codec=codec), record([[5, 5]], 2, 1, codec=codec)
    assert (len(s), s["x"], s.seed, len(t), t["anything"]) == (7, 0, MASK, 0, 5)


def test_huge_declared_row_counts_are_refused_without_allocating():
    for data in (cm(struct.pack("<BQ", 2, MASK)), cm(struct.pack("<BQQ", 2, 1, 2**61))):
        raises(ValueError, lambda: CMS.from_bytes(data), EOF_MSG)


def test_random_byte_flips_never_crash():
    s = CMS(5, 3)
    s.update(["a", "b", "c"])
    for t in damaged_loads(CMS, s.to_bytes()[HEADER:], b"MKCM", 1, 2000):
        t.add("z")
        assert t["z"] >= 1 and t.to_bytes()[HEADER + 1:HEADER + 9] == struct.pack("<Q", t.depth)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 9), st.integers(1, 4), st.sampled_from([0, 7, MASK, 2**64 - G]), st.lists(st.one_of(
    st.tuples(st.just("add"), st.binary(max_size=300), st.integers(0, MASK)),
    st.tuples(st.just("hash"), st.integers(0, MASK), st.integers(0, 3)),
    st.tuples(st.sampled_from(["merge", "clear"]), st.none(), st.none())), max_size=12))
def test_operations_match_model_and_round_trip(width, depth, seed, ops):
    s, model, total = CMS(width, depth, seed=seed), [[0] * width for _ in range(depth)], 0
    for op, a, n in ops:
        if op == "clear":
            s.clear()
            model, total = [[0] * width for _ in range(depth)], 0
        elif op == "merge":
            twin = s.copy()
            s.merge(twin)
            twin.clear()  # the copy shares nothing with the original
            model, total = [[min(2 * v, MASK) for v in row] for row in model], min(2 * total, MASK)
        else:
            s.add(a, n) if op == "add" else s.add_hash(a, n)
            for r, c in enumerate((item_cols if op == "add" else hash_cols)(a, width, depth, seed)):
                model[r][c] = min(model[r][c] + n, MASK)
            total = min(total + n, MASK)
    assert table(s) == model and s.total_count == total
    keys = [a for op, a, _ in ops if op == "add"] + [b"absent"]
    assert s.query_many(keys) == [min(model[r][c] for r, c in enumerate(item_cols(k, width, depth, seed)))
                                  for k in keys]
    assert s.query_hashes(range(9)) == [min(model[r][c] for r, c in enumerate(hash_cols(x, width, depth, seed)))
                                        for x in range(9)]
    round_trips(s)
