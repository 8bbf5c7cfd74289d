"""CuckooFilter: sizing, placement, relocation, deletion, statistics, persistence."""
import json
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import CuckooFilter
from conftest import EOF_MSG, G, HEADER, MASK, BadStr, damaged_loads, mix, round_trips, wrap, xxh

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
    return [b["fingerprints"] for b in json.loads(cf.to_json())["buckets"]]


def occupied(bks):
    return sum(1 for b in bks for f in b if f)


def payload(bks, nb=None, capacity=None, count=None, seed=0, version=2, tag=1):
    nb = len(bks) if nb is None else nb
    out = struct.pack("<BQ", version, len(bks)) + b"".join(struct.pack("<4H", *b) for b in bks)
    out += struct.pack("<QB", nb, tag) + (struct.pack("<Q", 4 * nb if capacity is None else capacity) if tag else b"")
    return out + struct.pack("<QQ", occupied(bks) if count is None else count, seed)


def record_json(bks, nb=None, capacity=None, count=None, seed=0, version=2, drop=()):
    rec = {"version": version, "buckets": [{"fingerprints": b} for b in bks],
           "num_buckets": len(bks) if nb is None else nb, "capacity": capacity,
           "count": occupied(bks) if count is None else count, "seed": seed}
    return json.dumps({k: v for k, v in rec.items() if k not in drop})


def cf_bytes(body):
    return wrap(body, b"MKCF", 1)


def load(codec, bks, **kw):
    return (CuckooFilter.from_json(record_json(bks, **kw)) if codec == "json"
            else CuckooFilter.from_bytes(cf_bytes(payload(bks, **kw))))


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("capacity, nb", [(1, 2), (4, 2), (5, 4), (100, 32), (1000, 512), (3800, 1024),
                                          (3889, 2048), (1_000_000, 524288)])
def test_sizing(capacity, nb):
    cf = CuckooFilter(capacity=capacity, seed=MASK)
    assert (cf.size_in_bytes, cf.capacity(), cf.seed, len(cf)) == (8 * nb, capacity, MASK, 0)
    assert len(buckets(cf)) == nb and cf.load_factor == 0.0 and cf.health() == "healthy"


# ---------------------------------------------------------------- placement

def test_published_vectors():
    assert place_item(b"hello", 512) == (16931, 253) and alt(253, 16931, 512) == 454
    assert place_hash(12345, 512) == (14929, 416) and alt(416, 14929, 512) == 505


PLACE = {"item": (CuckooFilter.add, place_item, lambda r: r.randbytes(r.randrange(40))),
         "hash": (CuckooFilter.add_hash, place_hash, lambda r: r.getrandbits(64))}


@pytest.mark.parametrize("seed", [0, 1, G, MASK])
@pytest.mark.parametrize("kind, codec", [("item", "json"), ("hash", "bytes")])
def test_placement_matches_model(seed, kind, codec):
    add, place, draw = PLACE[kind]
    rnd = random.Random(seed)
    for value in (draw(rnd) for _ in range(40)):
        (f, i1), cf = place(value, 64, seed), CuckooFilter(200, seed)
        assert add(cf, value) and buckets(cf)[i1] == [f, 0, 0, 0]
        # With the primary bucket full, the fingerprint goes to the alternate one.
        i2 = alt(i1, f, 64, seed)
        if i2 != i1:
            cf = load(codec, [[9] * 4 if i == i1 else EMPTY for i in range(64)], capacity=200, seed=seed)
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


def test_duplicates_are_removed_one_copy_at_a_time_and_failures_change_nothing():
    cf = CuckooFilter(1000, seed=3)
    assert cf.add("x") and cf.add(b"x") and cf.add_hash(42) and len(cf) == 3
    assert cf.query_many(["x", "y", [120]]) == cf.query_hashes([42, 43, 42]) == [True, False, True]
    assert [cf.remove("x") for _ in range(3)] == [True, True, False]
    assert len(cf) == 1 and "x" not in cf and cf.contains_hash(42)
    assert cf.update_hashes([5, 5]) == 2 and sum(b.count(place_hash(5, 512, 3)[0]) for b in buckets(cf)) == 2
    before = cf.to_bytes()
    for call in (lambda: cf.update(["ok", BadStr()]), lambda: cf.remove(BadStr())):
        with pytest.raises(KeyError):
            call()
    assert cf.to_bytes() == before  # failed calls change nothing


def test_exhausted_relocation_restores_every_bucket():
    # Fingerprints whose alternate is index ^ 1 can only move between buckets
    # 0 and 1; with both full and 2 and 3 empty, every walk must fail.
    closed = [f for f in range(2, 5000) if alt(0, f, 4) == 1][:8]
    x = next(x for x in range(10**6)
             if place_hash(x, 4)[1] < 2 and alt(0, place_hash(x, 4)[0], 4) == 1)
    for codec in ("json", "bytes"):
        cf = load(codec, [closed[:4], closed[4:], EMPTY, EMPTY], capacity=16)
        before = cf.to_bytes()
        assert not any(cf.add_hash(x) for _ in range(20)) and cf.update_hashes([x] * 5) == 0
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


@pytest.mark.parametrize("capacity, count, health, text", [
    (100, 84, "healthy", "84.00"), (100, 85, "warning", "85.00"), (100, 95, "saturated", "95.00"),
    (1000, 5, "healthy", "0.50"), (3, 2, "healthy", "66.67"), (128, 128, "saturated", "100.00"),
])
def test_statistics(capacity, count, health, text):
    nb = len(buckets(CuckooFilter(capacity)))
    flat = [1] * count + [0] * (4 * nb - count)
    cf = CuckooFilter.from_json(record_json([flat[i:i + 4] for i in range(0, 4 * nb, 4)], capacity=capacity))
    assert (cf.health(), cf.load_factor, len(cf)) == (health, count / capacity, count)
    assert repr(cf) == f"CuckooFilter(capacity={capacity}, count={count}, load_factor={text}%)"


# ---------------------------------------------------------------- persistence

def test_exact_bytes_of_smallest_filter():
    data = CuckooFilter(1).to_bytes()
    assert len(data) == 79 and data == cf_bytes(payload([EMPTY] * 2, capacity=1))


def test_absent_capacity_means_all_slots_and_any_fingerprint_loads():
    for cf in (CuckooFilter.from_json(record_json([EMPTY] * 2, capacity=None)),
               CuckooFilter.from_json(record_json([EMPTY] * 2, drop=("capacity",))),
               CuckooFilter.from_bytes(cf_bytes(payload([EMPTY] * 2, tag=0)))):
        assert cf.capacity() == 8
    cf = load("bytes", [[65535, 2, 3, 4], [1, 0, 9, 9]], capacity=8)
    assert (cf.capacity(), len(cf), cf.health()) == (8, 7, "warning")


ERR = {"ver": "Unsupported Cuckoo filter data version",
       "pow2": "Invalid Cuckoo filter: bucket count must be a non-zero power of two",
       "len": "Invalid Cuckoo filter: bucket array length does not match metadata",
       "cap": "Invalid Cuckoo filter: capacity metadata is out of range",
       "count": "Invalid Cuckoo filter: stored count does not match occupied slots"}


@pytest.mark.parametrize("kw, msg", [
    ({"bks": [EMPTY] * 3, "version": 1}, "ver"),
    ({"bks": [[1] * 4] * 2, "version": 3, "count": 9, "capacity": 0}, "ver"),
    ({"bks": [EMPTY] * 3}, "pow2"), ({"bks": [], "nb": 0}, "pow2"),
    ({"bks": [EMPTY] * 2, "nb": 3, "capacity": 1, "count": 5}, "pow2"), ({"bks": [EMPTY] * 2, "nb": 4}, "len"),
    ({"bks": [EMPTY] * 2, "capacity": 9, "count": 3}, "cap"), ({"bks": [EMPTY] * 2, "capacity": 0}, "cap"),
    ({"bks": [[1, 1, 0, 0]] * 2, "capacity": 3}, "cap"), ({"bks": [EMPTY] * 2, "count": 1}, "count"),
])
@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_order_and_messages(kw, msg, codec):
    kw = dict(kw)
    with pytest.raises(ValueError) as e:
        load(codec, kw.pop("bks"), **kw)
    assert str(e.value) == ERR[msg]


def test_binary_refusals():
    p = payload([EMPTY] * 2)
    bad_tag = cf_bytes(p[:33] + b"\x02" + p[34:])  # the tag in front of the optional capacity
    for data, msg in [(bad_tag, "^Deserialization error: tag for enum is not valid, found 2$"),
                      (cf_bytes(struct.pack("<BQ", 2, 2**61) + bytes(40)), EOF_MSG)]:  # no huge allocation
        with pytest.raises(ValueError, match=msg):
            CuckooFilter.from_bytes(data)


def test_random_damage_never_crashes():
    cf = CuckooFilter(40, seed=7)
    cf.update(f"item-{i}" for i in range(40))
    for loaded in damaged_loads(CuckooFilter, cf.to_bytes()[HEADER:], b"MKCF", 1, 400):
        assert CuckooFilter.from_bytes(loaded.to_bytes()).to_bytes() == loaded.to_bytes()
        loaded.add("after")


@settings(max_examples=60, deadline=None)
@given(capacity=st.integers(1, 40), seed=st.integers(0, MASK), ops=st.lists(st.one_of(
    st.tuples(st.sampled_from(["add", "remove"]), st.text(max_size=6)),
    st.tuples(st.just("add_hash"), st.integers(0, MASK)),
    st.tuples(st.just("update"), st.lists(st.binary(max_size=4), max_size=8)),
    st.tuples(st.just("clear"), st.none())), max_size=40))
def test_random_operations_copy_and_round_trip(capacity, seed, ops):
    cf = CuckooFilter(capacity, seed)
    for name, arg in ops:
        getattr(cf, name)() if arg is None else getattr(cf, name)(arg)
    assert len(cf) == occupied(buckets(cf)) <= capacity
    data, twin = cf.to_bytes(), cf.copy()
    twin.clear()  # the copy shares nothing with the original
    assert twin.to_bytes() == CuckooFilter(capacity, seed).to_bytes() and cf.to_bytes() == data
    round_trips(cf)
