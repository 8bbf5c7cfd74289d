"""CountMinSketch: sizing, hashing, counting, combining, persistence."""
import json
import math
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import CountMinSketch as CMS
from conftest import G, HEADER, MASK, mix, wrap, xxh

EITHER = "Either provide (width, depth) or (error_rate, confidence)"
DIMS = "table dimensions do not match width and depth"
RATE = "error_rate must be between 0 and 1 (exclusive)"
CONF = "confidence must be between 0 and 1 (exclusive)"
EOF_MSG = "Deserialization error: io error: unexpected end of file"


def item_cols(key, width, depth, seed=0):
    return [xxh(key, seed + r * G) % width for r in range(depth)]


def hash_cols(x, width, depth, seed=0):
    return [mix(((((seed + r * G) & MASK) ^ x) + G) & MASK) % width for r in range(depth)]


def table(sketch):
    """The counter rows, decoded from the binary form."""
    p, off, rows = sketch.to_bytes()[HEADER:], 9, []
    for _ in range(struct.unpack_from("<Q", p, 1)[0]):
        (n,) = struct.unpack_from("<Q", p, off)
        rows.append(list(struct.unpack_from(f"<{n}Q", p, off + 8)))
        off += 8 + 8 * n
    return rows


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


class BadStr:
    def __str__(self):
        raise KeyError("no")


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("kwargs, msg", [
    ({}, EITHER), ({"width": 100}, EITHER), ({"error_rate": 0.01}, EITHER), ({"depth": 5}, EITHER),
    ({"confidence": 0.9}, EITHER), ({"depth": 5, "error_rate": 0.01, "confidence": 0.99}, EITHER),
    ({"width": 0, "error_rate": 0.01, "confidence": 0.99}, EITHER),
    ({"width": 0, "depth": 0}, "width must be positive"), ({"width": 10, "depth": 0}, "depth must be positive"),
    ({"error_rate": 1.0, "confidence": 2.0}, RATE), ({"error_rate": math.nan, "confidence": 0.5}, RATE),
    ({"error_rate": 0.5, "confidence": 1}, CONF), ({"error_rate": 0.5, "confidence": -math.inf}, CONF),
    ({"error_rate": 0.01, "confidence": 1e-17}, "depth must be positive"),
    ({"width": 0, "depth": 1, "seed": -1}, OverflowError),  # converted before sizing
    ({"width": 2**40, "depth": 7}, MemoryError), ({"width": 1, "depth": 2**45}, MemoryError),
    ({"error_rate": 1e-300, "confidence": 0.5}, MemoryError),
])
def test_constructor_refusals_in_order(kwargs, msg):
    if isinstance(msg, str):
        raises(ValueError, lambda: CMS(**kwargs), msg)
    else:
        raises(msg, lambda: CMS(**kwargs))


@pytest.mark.parametrize("args, width, depth", [
    ({"error_rate": 0.01, "confidence": 0.99}, 272, 5), ({"error_rate": 0.001, "confidence": 0.999}, 2719, 7),
    ({"error_rate": 0.1, "confidence": 0.9}, 28, 3), ({"error_rate": 0.5, "confidence": 0.5}, 6, 1),
    ({"width": 100, "depth": 5, "error_rate": 5.0, "confidence": math.nan}, 100, 5),
])
def test_sizing(args, width, depth):
    s = CMS(**args)
    assert (s.width, s.depth, s.size_in_bytes, s.total_count, len(s)) == (width, depth, 8 * width * depth, 0, 0)
    assert table(s) == [[0] * width] * depth


# ---------------------------------------------------------------- hashing and counting

@pytest.mark.parametrize("seed, key, cols", [
    (0, "hello", [109, 195, 155, 159, 238]), (7, b"hello", [43, 111, 61, 173, 89]),
    (0, [104, 101, 108, 108, 111], [109, 195, 155, 159, 238]),
    (0, 12345, [144, 257, 263, 43, 160]),  # as a caller hash
])
def test_published_columns(seed, key, cols):
    s = CMS(272, 5, seed=seed)
    s.add_hash(key) if isinstance(key, int) else s.add(key)
    assert [row.index(1) for row in table(s)] == cols


def test_counts_and_queries():
    s = CMS(272, 5)
    assert s.query("x") == 0 and s["x"] == 0
    s.add("x", 5)
    s.add_count(b"x", 3)
    s.add("x", 0)
    s.add_hash(42, 2)
    s.update_hashes([42, 42])
    assert (s.query("x"), s.count("x"), s["x"], s.query_hash(42)) == (8, 8, 8, 4)
    assert (s.total_count, len(s)) == (12, 12)
    assert s.query_many(["x", "y", "x"]) == [8, 0, 8] and s.query_hashes([42, 7]) == [4, 0]
    s.add("x", MASK)
    s.add_hash(42, MASK)
    s.update(["x"])
    assert (s["x"], s.query_hash(42), s.total_count) == (MASK, MASK, MASK)
    raises(OverflowError, lambda: len(s))


def test_estimate_is_min_over_rows():
    rng = random.Random(5)
    rows = [[rng.randrange(1, 1000) for _ in range(11)] for _ in range(4)]
    s = record(rows, 11, 4, seed=9)
    keys = [f"k{i}" for i in range(50)]
    expected = [min(rows[r][c] for r, c in enumerate(item_cols(k.encode(), 11, 4, 9))) for k in keys]
    assert s.query_many(keys) == expected == [s[k] for k in keys]
    assert s.query_hashes(range(50)) == [min(rows[r][c] for r, c in enumerate(hash_cols(x, 11, 4, 9)))
                                         for x in range(50)]


def test_count_is_converted_before_the_item_and_hash_before_count():
    s = CMS(10, 2)
    raises(OverflowError, lambda: s.add(BadStr(), -1))
    raises(KeyError, lambda: s.add_count(BadStr(), 1))
    with pytest.raises(TypeError, match="^argument 'hash': "):
        s.add_hash("x", -1)
    assert s.total_count == 0


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
    assert batch.query_many(keys) == [single[k] for k in keys]
    assert batch.query_hashes(range(60)) == [single.query_hash(i) for i in range(60)]


@pytest.mark.parametrize("method, arg, exc", [
    ("update", ["ok", BadStr()], KeyError), ("update_many", ["ok", BadStr()], KeyError),
    ("update", 5, TypeError), ("update_hashes", [1, -1], OverflowError),
])
def test_failing_batch_changes_nothing(method, arg, exc):
    s = CMS(20, 3)
    s.add("before")
    snapshot = s.to_bytes()
    raises(exc, lambda: getattr(s, method)(arg))
    assert s.to_bytes() == snapshot


# ---------------------------------------------------------------- merge, inner product, statistics

@pytest.mark.parametrize("a, b, msg", [
    ((100, 5, 0), (200, 5, 0), "width mismatch (100 vs 200)"),
    ((100, 5, 1), (200, 4, 2), "width mismatch (100 vs 200)"),
    ((100, 5, 1), (100, 4, 2), "depth mismatch (5 vs 4)"), ((100, 5, 0), (100, 5, 1), "seed mismatch (0 vs 1)"),
    ((100, 5, MASK), (100, 5, 0), f"seed mismatch ({MASK} vs 0)"),
])
def test_mismatches(a, b, msg):
    x, y = CMS(a[0], a[1], seed=a[2]), CMS(b[0], b[1], seed=b[2])
    x.add("k")
    before = x.to_bytes()
    raises(ValueError, lambda: x.merge(y), "Cannot merge: " + msg)
    raises(ValueError, lambda: x.inner_product(y),
           "Cannot compute inner product: sketches must have matching dimensions and seed")
    assert x.to_bytes() == before


def test_merge_adds_counters_and_totals_saturating():
    a, b = CMS(30, 3, seed=9), CMS(30, 3, seed=9)
    a.update(["x", "y", "x"])
    b.update(["x", "z"])
    b.add("big", MASK - 3)
    b_before = b.to_bytes()
    expected = [[min(p + q, MASK) for p, q in zip(r, t)] for r, t in zip(table(a), table(b))]
    assert a.merge(b) is None
    assert table(a) == expected and a.total_count == MASK and a["x"] >= 3
    assert b.to_bytes() == b_before


@pytest.mark.parametrize("rows_a, rows_b, expected", [
    ([[1, 2], [3, 0]], [[4, 5], [1, 1]], 3),
    ([[2**32, 1]], [[2**32, 1]], MASK),            # product overflows
    ([[2**63, 2**63]], [[1, 1]], MASK),            # sum overflows
    ([[0, 0], [7, 7]], [[9, 9], [1, 1]], 0),
])
def test_inner_product_is_min_of_saturating_row_dots(rows_a, rows_b, expected):
    w, d = len(rows_a[0]), len(rows_a)
    assert record(rows_a, w, d).inner_product(record(rows_b, w, d)) == expected


@pytest.mark.parametrize("width, depth, total, bound", [(272, 5, 1000, 10), (272, 5, 0, 0), (1, 1, 3, 9),
                                                        (2719, 7, 10**6, 1000), (1, 1, MASK, MASK)])
def test_statistics(width, depth, total, bound):
    s = record([[0] * width] * depth, width, depth, count=total)
    assert s.error_rate() == math.e / width
    assert s.confidence() == 1.0 - math.e ** -depth
    assert s.error_bound() == bound
    assert repr(s) == f"CountMinSketch(width={width}, depth={depth}, total_count={total})"


def test_copy_and_clear():
    s = CMS(40, 3, seed=5)
    s.update(["a", "b"])
    c = s.copy()
    c.add("a", 10)
    assert s.clear() is None and s.to_bytes() == CMS(40, 3, seed=5).to_bytes()
    assert (c["a"], c.total_count) == (11, 12)


# ---------------------------------------------------------------- persistence

def test_binary_and_json_layout():
    s = CMS(2, 1)
    assert s.to_bytes() == cm(payload([[0, 0]], 2, 1)) and len(s.to_bytes()) == 86
    assert s.to_json() == ('{\n  "version": 2,\n  "table": [\n    [\n      0,\n      0\n    ]\n  ],\n'
                           '  "width": 2,\n  "depth": 1,\n  "count": 0,\n  "seed": 0\n}')
    big = record([[MASK, 1]], 2, 1, count=MASK, seed=MASK)
    assert json.loads(big.to_json())["table"] == [[MASK, 1]] and '"count": 18446744073709551615' in big.to_json()


def test_round_trips(tmp_path):
    s = CMS(error_rate=0.01, confidence=0.99, seed=123)
    s.update([f"item{i % 97}" for i in range(5000)])
    s.add_hash(7, 3)
    path = str(tmp_path / "cms.bin")
    s.save(path)
    doc = json.loads(s.to_json())
    shuffled = json.dumps({"extra": [1, {"a": 2}], **dict(reversed(list(doc.items())))})
    for t in (CMS.from_bytes(s.to_bytes()), CMS.from_json(s.to_json()), CMS.load(path),
              CMS.from_json(shuffled), CMS.from_json(json.dumps(list(doc.values())))):
        assert t.to_bytes() == s.to_bytes() and (t.width, t.depth, t.seed, len(t)) == (272, 5, 123, 5003)
        assert t.query_hash(7) == s.query_hash(7) == 3 and t["item5"] == s["item5"] >= 52
    with open(path, "rb") as f:
        assert f.read() == s.to_bytes()


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("rows, width, depth, version, msg", [
    ([[0]], 1, 1, 1, "Unsupported Count-Min Sketch data version"),
    ([], 0, 0, 3, "Unsupported Count-Min Sketch data version"),
    ([[0]], 0, 1, 2, "width and depth must be positive"), ([], 1, 0, 2, "width and depth must be positive"),
    ([[0, 0], [0, 0]], 2, 3, 2, DIMS), ([], 2, 1, 2, DIMS), ([[0, 0], [0]], 2, 2, 2, DIMS),
    ([[0], [0]], 2, 2, 2, DIMS), ([[0] * 3], 2, 1, 2, DIMS), ([[0]], MASK, 1, 2, DIMS),
])
def test_validation(codec, rows, width, depth, version, msg):
    raises(ValueError, lambda: record(rows, width, depth, version=version, codec=codec), msg)


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_count_is_not_checked_against_counters(codec):
    s, t = record([[0, 0], [0, 0]], 2, 2, count=7, seed=MASK, codec=codec), record([[5, 5]], 2, 1, codec=codec)
    assert (len(s), s["x"], s.seed, len(t), t["anything"]) == (7, 0, MASK, 0, 5)


@pytest.mark.parametrize("text, detail", [
    ('{"version": 2, "table": [[0]], "width": 1, "depth": 1, "count": 0}', "missing field `seed`"),
    ('{"version": 2, "table": [[-1]], "width": 1, "depth": 1, "count": 0, "seed": 0}', "invalid value"),
    ('{"version": 2, "table": [[0.5]], "width": 1, "depth": 1, "count": 0, "seed": 0}', "invalid type"),
    ('{"version": 2, "table": [0], "width": 1, "depth": 1, "count": 0, "seed": 0}', "invalid type"),
    ('[2, [[0]], 1, 1, 0]', "invalid length 5, expected struct CountMinSketchData with 6 elements"),
])
def test_json_decoding_errors(text, detail):
    with pytest.raises(ValueError) as e:
        CMS.from_json(text)
    assert str(e.value).startswith("Deserialization error: " + detail) and " at line " in str(e.value)


@pytest.mark.parametrize("data, msg", [
    (wrap(payload([[0]], 1, 1), b"MKCF", 1), "invalid Murk binary format"),
    (wrap(payload([[0]], 1, 1), b"MKCM", 2), "unsupported binary format version: 2 (expected 1)"),
    (cm(struct.pack("<BQ", 2, MASK)), EOF_MSG), (cm(struct.pack("<BQQ", 2, 1, 2**61)), EOF_MSG),
])
def test_envelope_and_decode_errors(data, msg):
    raises(ValueError, lambda: CMS.from_bytes(data), msg)


def test_truncated_payloads_are_refused_and_trailing_bytes_ignored():
    good = payload([[1, 2]], 2, 1, count=3)
    assert CMS.from_bytes(cm(good + b"junk")).to_bytes() == cm(good)
    s = CMS(3, 2, seed=1)
    s.update(["a", "b"])
    body = s.to_bytes()[HEADER:]
    for n in range(len(body)):
        raises(ValueError, lambda: CMS.from_bytes(cm(body[:n])), EOF_MSG)


def test_random_byte_flips_never_crash():
    s = CMS(5, 3)
    s.update(["a", "b", "c"])
    body, rng = s.to_bytes()[HEADER:], random.Random(1)
    for _ in range(2000):
        b = bytearray(body)
        for _ in range(rng.randint(1, 3)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        try:
            t = CMS.from_bytes(cm(bytes(b)))
        except ValueError:
            continue
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
            s.merge(s.copy())
            model, total = [[min(2 * v, MASK) for v in row] for row in model], min(2 * total, MASK)
        else:
            s.add(a, n) if op == "add" else s.add_hash(a, n)
            for r, c in enumerate((item_cols if op == "add" else hash_cols)(a, width, depth, seed)):
                model[r][c] = min(model[r][c] + n, MASK)
            total = min(total + n, MASK)
    assert table(s) == model and s.total_count == total
    assert CMS.from_bytes(s.to_bytes()).to_bytes() == s.to_bytes() == CMS.from_json(s.to_json()).to_bytes()
