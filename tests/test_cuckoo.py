"""CuckooFilter: sizing, placement, relocation, deletion, statistics, persistence."""
import json
import os
import random
import struct
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

from _murk import CuckooFilter
from conftest import G, HEADER, MASK, mix, wrap, xxh

ALT_SEED = 0xD6E8FEB86659FD93
EMPTY = [0, 0, 0, 0]


# ---------------------------------------------------------------- independent model

def place_item(key, nb, seed=0):
    return max(xxh(key, seed ^ G) & 0xFFFF, 1), xxh(key, seed) % nb


def place_hash(x, nb, seed=0):
    f = mix((((seed ^ G) ^ x) + G) & MASK) & 0xFFFF
    return f or 1, mix(((seed ^ x) + G) & MASK) & (nb - 1)


def alt(i, f, nb, seed=0):
    return i ^ (xxh(struct.pack("<H", f), seed ^ ALT_SEED) & (nb - 1))


def buckets(cf):
    p = cf.to_bytes()[HEADER:]
    (n,) = struct.unpack_from("<Q", p, 1)
    flat = struct.unpack_from(f"<{4 * n}H", p, 9)
    return [list(flat[i:i + 4]) for i in range(0, 4 * n, 4)]


def occupied(bks):
    return sum(1 for b in bks for f in b if f)


def payload(bks, nb=None, capacity=None, count=None, seed=0, version=2, tag=1):
    nb = len(bks) if nb is None else nb
    out = struct.pack("<BQ", version, len(bks)) + b"".join(struct.pack("<4H", *b) for b in bks)
    out += struct.pack("<QB", nb, tag) + (struct.pack("<Q", capacity or 4 * nb) if tag else b"")
    return out + struct.pack("<QQ", occupied(bks) if count is None else count, seed)


def record_json(bks, nb=None, capacity=None, count=None, seed=0, version=2, drop=()):
    rec = {"version": version, "buckets": [{"fingerprints": b} for b in bks],
           "num_buckets": len(bks) if nb is None else nb, "capacity": capacity,
           "count": occupied(bks) if count is None else count, "seed": seed}
    return json.dumps({k: v for k, v in rec.items() if k not in drop})


def load(codec, bks, **kw):
    if codec == "json":
        return CuckooFilter.from_json(record_json(bks, **kw))
    return CuckooFilter.from_bytes(wrap(payload(bks, **kw), b"MKCF", 1))


def filled(n):
    cf = CuckooFilter(n, seed=7)
    cf.update(f"item-{i}" for i in range(n))
    return cf


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("args, exc, msg", [
    ((0,), ValueError, "^capacity must be positive$"),
    ((-1,), OverflowError, None),
    ((0, -1), OverflowError, None),  # both converted before the value check
    ((None,), TypeError, "^argument 'capacity': "),
    ((0, "x"), TypeError, "^argument 'seed': "),
    ((2**64 - 1,), MemoryError, None),
    ((2**52,), MemoryError, None),
])
def test_constructor_errors(args, exc, msg):
    with pytest.raises(exc, match=msg):
        CuckooFilter(*args)


@pytest.mark.parametrize("capacity, nb", [
    (1, 2), (4, 2), (5, 4), (100, 32), (1000, 512), (3800, 1024), (3889, 2048), (1_000_000, 524288),
])
def test_sizing(capacity, nb):
    cf = CuckooFilter(capacity=capacity, seed=MASK)
    assert (cf.size_in_bytes, cf.capacity(), cf.seed, len(cf)) == (8 * nb, capacity, MASK, 0)
    assert len(buckets(cf)) == nb and cf.load_factor == 0.0 and cf.health() == "healthy"


# ---------------------------------------------------------------- placement

@pytest.mark.parametrize("kind, value, f, i1, i2", [
    ("item", "hello", 16931, 253, 454),
    ("hash", 12345, 14929, 416, 505),
])
def test_published_vectors(kind, value, f, i1, i2):
    model = place_item(value.encode(), 512) if kind == "item" else place_hash(value, 512)
    assert model == (f, i1) and alt(i1, f, 512) == i2
    cf = CuckooFilter(1000)
    assert (cf.add if kind == "item" else cf.add_hash)(value) is True
    assert buckets(cf)[i1] == [f, 0, 0, 0]


@pytest.mark.parametrize("seed", [0, 1, G, MASK])
@pytest.mark.parametrize("kind, codec", [("item", "json"), ("hash", "bytes")])
def test_placement_matches_model(seed, kind, codec):
    rnd = random.Random(seed)
    for _ in range(40):
        if kind == "item":
            value = rnd.randbytes(rnd.randrange(40))
            (f, i1), add = place_item(value, 64, seed), CuckooFilter.add
        else:
            value = rnd.getrandbits(64)
            (f, i1), add = place_hash(value, 64, seed), CuckooFilter.add_hash
        cf = CuckooFilter(200, seed)
        assert add(cf, value) and buckets(cf)[i1] == [f, 0, 0, 0]
        # With the primary bucket full, the fingerprint goes to the alternate one.
        i2 = alt(i1, f, 64, seed)
        if i2 != i1:
            bks = [EMPTY] * 64
            bks[i1] = [9, 9, 9, 9]
            cf = load(codec, bks, capacity=200, seed=seed)
            assert add(cf, value) and buckets(cf)[i2] == [f, 0, 0, 0]


@pytest.mark.parametrize("seed", [0, 99])
def test_fingerprint_zero_is_never_stored(seed):
    x = next(x for x in range(10**6) if mix((((seed ^ G) ^ x) + G) & MASK) & 0xFFFF == 0)
    cf = CuckooFilter(100, seed)
    cf.add_hash(x)
    assert buckets(cf)[place_hash(x, 32, seed)[1]] == [1, 0, 0, 0]
    for low in (0, 1):
        key = next(f"k{i}" for i in range(10**6) if xxh(f"k{i}".encode(), seed ^ G) & 0xFFFF == low)
        cf = CuckooFilter(100, seed)
        cf.add(key)
        assert buckets(cf)[place_item(key.encode(), 32, seed)[1]] == [1, 0, 0, 0]
        assert cf.remove(key) and len(cf) == 0


# ---------------------------------------------------------------- insert, query, remove

def test_full_filter_refuses_before_touching_buckets():
    cf = CuckooFilter(2)
    assert cf.add("a") and cf.add_hash(1)
    before = cf.to_bytes()
    assert cf.add("c") is False and cf.add_hash(2) is False and cf.update(["d", "e"]) == 0
    assert cf.to_bytes() == before and cf.health() == "saturated" and cf.load_factor == 1.0
    assert CuckooFilter(2).update(["x", "y", "z"]) == 2


def test_duplicates_removal_copy_and_clear():
    cf = CuckooFilter(1000, seed=3)
    assert cf.add("x") and cf.add(b"x") and cf.add_hash(42) and len(cf) == 3
    dup = cf.copy()
    assert [cf.remove("x") for _ in range(3)] == [True, True, False]
    assert len(cf) == 1 and "x" not in cf and "x" in dup and len(dup) == 3
    assert cf.contains_hash(42) and not cf.contains_hash(43)
    assert dup.query_many(["x", "y", [120]]) == [True, False, True]
    assert dup.query_hashes([42, 43, 42]) == [True, False, True]
    assert dup.update_hashes([5, 5]) == 2
    assert sum(b.count(place_hash(5, 512, 3)[0]) for b in buckets(dup)) == 2
    dup.clear()
    assert (len(dup), "x" in dup, dup.capacity(), dup.seed) == (0, False, 1000, 3)
    assert dup.to_bytes() == CuckooFilter(1000, seed=3).to_bytes()


def test_exhausted_relocation_restores_every_bucket():
    # Fingerprints whose alternate is index ^ 1 can only move between buckets
    # 0 and 1; with both full and 2 and 3 empty, every walk must fail.
    closed = [f for f in range(2, 5000) if alt(0, f, 4) == 1][:8]
    x = next(x for x in range(10**6)
             if place_hash(x, 4)[1] < 2 and alt(0, place_hash(x, 4)[0], 4) == 1)
    for codec in ("json", "bytes"):
        cf = load(codec, [closed[:4], closed[4:], EMPTY, EMPTY], capacity=16)
        before = cf.to_bytes()
        assert not any(cf.add_hash(x) for _ in range(20))
        assert cf.update_hashes([x] * 5) == 0
        assert cf.to_bytes() == before and len(cf) == 8


def test_relocation_keeps_every_item_at_full_load():
    cf = CuckooFilter.from_json(record_json([EMPTY] * 256))  # capacity 4 * 256
    added = []
    for key in (f"k{i}" for i in range(1100)):
        before = cf.to_bytes()
        if cf.add(key):
            added.append(key)
        else:
            assert cf.to_bytes() == before
    assert len(added) > 900 and len(cf) == len(added) and all(cf.query_many(added))
    assert CuckooFilter.from_bytes(cf.to_bytes()).to_bytes() == cf.to_bytes()  # count is consistent
    # Colliding fingerprints share both buckets, so every removal finds a copy.
    random.Random(5).shuffle(added)
    assert all(cf.remove(key) for key in added)
    assert len(cf) == 0 and buckets(cf) == [EMPTY] * 256


@pytest.mark.parametrize("method", ["update", "update_many"])
def test_update_counts_and_matches_single_adds(method):
    items = ["a", b"b", [99], bytearray(b"d"), 5, None, "a"]
    single = CuckooFilter(1000)
    for x in items:
        single.add(x)
    cf = CuckooFilter(1000)
    assert getattr(cf, method)(iter(items)) == 7 and cf.to_bytes() == single.to_bytes()
    assert getattr(cf, method)("xyz") == 3 and cf.query_many("xyzw") == [True, True, True, False]
    assert getattr(cf, method)([]) == 0 and cf.query_many([]) == [] and cf.query_hashes([]) == []


class Bad:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("call, exc", [
    (lambda cf: cf.update(["ok", Bad()]), RuntimeError),
    (lambda cf: cf.query_many(["ok", Bad()]), RuntimeError),
    (lambda cf: cf.remove(Bad()), RuntimeError),
    (lambda cf: cf.update_hashes([1, -1]), OverflowError),
    (lambda cf: cf.update_hashes([1, "2"]), TypeError),
    (lambda cf: cf.update_hashes("12"), TypeError),
    (lambda cf: cf.add_hash(2**64), OverflowError),
])
def test_bad_input_changes_nothing(call, exc):
    cf = CuckooFilter(100)
    cf.add("seed item")
    before = cf.to_bytes()
    with pytest.raises(exc):
        call(cf)
    assert cf.to_bytes() == before and "ok" not in cf


@pytest.mark.parametrize("capacity, count, health, text", [
    (100, 84, "healthy", "84.00"), (100, 85, "warning", "85.00"),
    (100, 95, "saturated", "95.00"), (1000, 5, "healthy", "0.50"), (3, 1, "healthy", "33.33"),
    (3, 2, "healthy", "66.67"), (128, 128, "saturated", "100.00"),
])
def test_statistics(capacity, count, health, text):
    nb = len(buckets(CuckooFilter(capacity)))
    flat = [1] * count + [0] * (4 * nb - count)
    cf = CuckooFilter.from_json(record_json([flat[i:i + 4] for i in range(0, 4 * nb, 4)], capacity=capacity))
    assert (cf.health(), cf.load_factor, len(cf)) == (health, count / capacity, count)
    assert repr(cf) == f"CuckooFilter(capacity={capacity}, count={count}, load_factor={text}%)"


# ---------------------------------------------------------------- persistence

def test_exact_bytes_and_json_of_smallest_filter():
    data = CuckooFilter(1).to_bytes()
    assert len(data) == 79 and data[:5] == b"MKCF\x01"
    assert data[HEADER:] == bytes([2]) + struct.pack("<Q", 2) + bytes(16) + struct.pack("<QBQQQ", 2, 1, 1, 0, 0)
    bucket = '    {\n      "fingerprints": [\n' + ",\n".join(["        0"] * 4) + "\n      ]\n    }"
    assert CuckooFilter(1).to_json() == (
        '{\n  "version": 2,\n  "buckets": [\n' + bucket + ",\n" + bucket + '\n  ],\n'
        '  "num_buckets": 2,\n  "capacity": 1,\n  "count": 0,\n  "seed": 0\n}')


@pytest.mark.parametrize("capacity", [1, 13, 1000])
def test_round_trips(capacity, tmp_path):
    cf = filled(capacity)
    path = str(tmp_path / "f.murk")
    cf.save(path)
    keys = [f"item-{i}" for i in range(capacity)]
    for again in (CuckooFilter.from_bytes(cf.to_bytes()), CuckooFilter.from_json(cf.to_json()),
                  CuckooFilter.load(path), CuckooFilter.from_bytes(bytearray(cf.to_bytes()))):
        assert again.to_bytes() == cf.to_bytes() and repr(again) == repr(cf)
        assert again.query_many(keys) == cf.query_many(keys)
    with open(path, "rb") as fh:
        assert fh.read() == cf.to_bytes()


@pytest.mark.parametrize("make", [
    lambda: CuckooFilter.from_json(record_json([EMPTY] * 2, capacity=None)),
    lambda: CuckooFilter.from_json(record_json([EMPTY] * 2, drop=("capacity",))),
    lambda: CuckooFilter.from_json(json.dumps([2, [[EMPTY], {"fingerprints": EMPTY, "x": [1]}], 2, None, 0, 0])),
    lambda: CuckooFilter.from_bytes(wrap(payload([EMPTY] * 2, tag=0), b"MKCF", 1)),
])
def test_absent_capacity_means_all_slots(make):
    assert make().capacity() == 8


@pytest.mark.parametrize("kw, msg", [
    ({"bks": [EMPTY] * 3, "version": 1}, "^Unsupported Cuckoo filter data version$"),
    ({"bks": [[1] * 4] * 2, "version": 3, "count": 9, "capacity": 0}, "^Unsupported Cuckoo filter data version$"),
    ({"bks": [EMPTY] * 3}, "^Invalid Cuckoo filter: bucket count must be a non-zero power of two$"),
    ({"bks": [], "nb": 0}, "bucket count must be a non-zero power of two"),
    ({"bks": [EMPTY] * 2, "nb": 3, "capacity": 1, "count": 5}, "bucket count must be a non-zero power of two"),
    ({"bks": [EMPTY] * 2, "nb": 4}, "^Invalid Cuckoo filter: bucket array length does not match metadata$"),
    ({"bks": [EMPTY] * 2, "capacity": 9, "count": 3}, "^Invalid Cuckoo filter: capacity metadata is out of range$"),
    ({"bks": [[1, 1, 0, 0]] * 2, "capacity": 3}, "capacity metadata is out of range"),
    ({"bks": [EMPTY] * 2, "count": 1}, "^Invalid Cuckoo filter: stored count does not match occupied slots$"),
])
@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_order_and_messages(kw, msg, codec):
    kw = dict(kw)
    with pytest.raises(ValueError, match=msg):
        load(codec, kw.pop("bks"), **kw)


def test_capacity_zero_is_out_of_range_and_full_buckets_are_accepted():
    with pytest.raises(ValueError, match="capacity metadata is out of range"):
        CuckooFilter.from_json(record_json([EMPTY] * 2, capacity=0))
    cf = load("bytes", [[65535, 2, 3, 4], [1, 0, 9, 9]], capacity=8)
    assert (cf.capacity(), len(cf), cf.health()) == (8, 7, "warning")


def mutated(fn):
    rec = json.loads(CuckooFilter(1).to_json())
    fn(rec)
    return json.dumps(rec)


def set_bucket(value):
    return lambda r: r["buckets"].__setitem__(0, value)


@pytest.mark.parametrize("text, detail", [
    (mutated(set_bucket({"fingerprints": [0, 0, 0]})), "an array of length 4"),
    (mutated(set_bucket({"fingerprints": [0, 0, 0, 65536]})), "integer `65536`, expected u16"),
    (mutated(set_bucket({"fingerprints": [0, 0, 0, 1.5]})), "floating point"),
    (mutated(set_bucket({})), "missing field `fingerprints`"),
    (mutated(set_bucket([])), "struct Bucket with 1 element"),
    (mutated(set_bucket(5)), "struct Bucket with 1 element"),
    (mutated(lambda r: r.pop("count")), "missing field `count`"),
    (mutated(lambda r: r.update(version=256)), "expected u8"),
    (mutated(lambda r: r.update(buckets={})), "expected a sequence"),
    ('{"buckets": [{"fingerprints": [0,0,0,0], "fingerprints": [0,0,0,0]}]}', "duplicate field `fingerprints`"),
    ('{"seed": 1, "seed": 1}', "duplicate field `seed`"),
    ('{"version": 2,', "at line 1 column"),
    ("[2, []]", "struct CuckooFilterData with 6 elements"),
])
def test_json_decoding_errors(text, detail):
    with pytest.raises(ValueError, match="^Deserialization error: .*" + detail.replace("`", ".")):
        CuckooFilter.from_json(text)


def with_byte(data, offset, value):
    return data[:offset] + bytes([value]) + data[offset + 1:]


@pytest.mark.parametrize("data, msg", [
    (wrap(with_byte(payload([EMPTY] * 2), 9 + 16 + 8, 2), b"MKCF", 1),
     "^Deserialization error: tag for enum is not valid, found 2$"),
    (wrap(struct.pack("<BQ", 2, 2**61) + bytes(40), b"MKCF", 1), "^Deserialization error: io error: unexpected end"),
    (wrap(b"", b"MKCF", 2), r"^unsupported binary format version: 2 \(expected 1\)$"),
    (b"MKBF" + bytes(17), "^invalid Murk binary format$"),
])
def test_binary_decoding_errors(data, msg):
    with pytest.raises(ValueError, match=msg):
        CuckooFilter.from_bytes(data)


def test_every_payload_prefix_is_refused():
    p = filled(10).to_bytes()[HEADER:]
    for k in range(len(p)):
        with pytest.raises(ValueError, match="^Deserialization error: io error: unexpected end of file$"):
            CuckooFilter.from_bytes(wrap(p[:k], b"MKCF", 1))


def test_random_byte_flips_never_crash():
    rnd = random.Random(1)
    good = filled(40).to_bytes()
    for _ in range(400):
        p = bytearray(good[HEADER:])
        for _ in range(rnd.randint(1, 3)):
            p[rnd.randrange(len(p))] ^= 1 << rnd.randrange(8)
        for data in (wrap(bytes(p), b"MKCF", 1), good[:HEADER] + bytes(p)):
            try:
                cf = CuckooFilter.from_bytes(data)
            except ValueError:
                continue
            assert CuckooFilter.from_bytes(cf.to_bytes()).to_bytes() == cf.to_bytes()
            cf.add("after")


ops = st.lists(st.one_of(
    st.tuples(st.just("add"), st.text(max_size=6)),
    st.tuples(st.just("add_hash"), st.integers(0, MASK)),
    st.tuples(st.just("remove"), st.text(max_size=6)),
    st.tuples(st.just("update"), st.lists(st.binary(max_size=4), max_size=8)),
), max_size=40)


@settings(max_examples=60, deadline=None)
@given(capacity=st.integers(1, 40), seed=st.integers(0, MASK), ops=ops)
def test_random_operations_round_trip(capacity, seed, ops):
    cf = CuckooFilter(capacity, seed)
    for name, arg in ops:
        getattr(cf, name)(arg)
    assert len(cf) == occupied(buckets(cf)) <= capacity
    data = cf.to_bytes()
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f")
        cf.save(path)
        loaded = CuckooFilter.load(path)
    for again in (CuckooFilter.from_bytes(data), CuckooFilter.from_json(cf.to_json()), loaded):
        assert again.to_bytes() == data
