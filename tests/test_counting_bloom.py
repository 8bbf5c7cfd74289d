"""CountingBloomFilter: sizing, checked counters, removal, merge, statistics, persistence."""
import json
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import CountingBloomFilter as CBF
from conftest import MASK, body, damaged_loads, item_ops, key, pair, pair_from_hash, round_trips, slots, wrap

FULL = "^counter capacity exceeded; create a larger filter or clear it$"


def counters(f):
    payload = body(f)
    (n,) = struct.unpack_from("<Q", payload)
    return list(payload[8:8 + n])


def record(counters, num_counters=None, num_hashes=1, count=0, seed=0):
    n = len(counters) if num_counters is None else num_counters
    return json.dumps({"counters": counters, "num_counters": n, "num_hashes": num_hashes,
                       "count": count, "seed": seed})


def payload(counters, num_counters, num_hashes=1, count=0, seed=0):
    return (struct.pack("<Q", len(counters)) + bytes(counters)
            + struct.pack("<QIQQ", num_counters, num_hashes, count, seed))


def load(codec, *fields):
    if codec == "json":
        return CBF.from_json(record(*fields))
    return CBF.from_bytes(wrap(payload(*fields), b"MKCB"))


class Model:
    """Independent reference: applies the counter rules item by item."""

    def __init__(self, m, k, seed):
        self.m, self.k, self.seed, self.count, self.c = m, k, seed, 0, [0] * m

    def pos(self, name, x):
        return slots(*(pair_from_hash(x, self.seed) if "hash" in name else pair(key(x), self.seed)),
                     self.k, self.m)

    def add(self, ps):
        if any(ps.count(q) > 255 - self.c[q] for q in set(ps)):
            return False
        for q in ps:
            self.c[q] += 1
        self.count = min(self.count + 1, MASK)
        return True

    def remove(self, ps):
        if not all(self.c[q] for q in ps):
            return False
        for q in ps:
            self.c[q] = max(self.c[q] - 1, 0)
        self.count = max(self.count - 1, 0)
        return True


def distinct_item(m, k, seed=0):
    return next(x for x in range(1000) if len(set(slots(*pair(key(x), seed), k, m))) == k)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("kwargs, msg", [
    ({}, "Either expected_items or num_counters must be provided"),
    ({"expected_items": 0, "num_hashes": 0}, "expected_items must be positive"),
    ({"expected_items": 0, "num_counters": 10}, "expected_items must be positive"),
    ({"num_counters": 0, "expected_items": 0}, "num_counters must be positive"),
    ({"expected_items": 10, "num_hashes": 0}, "num_hashes must be positive"),
    *[({"num_counters": 0, "false_positive_rate": p}, "false_positive_rate must be between 0 "
       "and 1 (exclusive)") for p in (1.0, 0.0, -0.5, float("nan"))],
])
def test_constructor_errors_in_order(kwargs, msg):
    with pytest.raises(ValueError) as e:
        CBF(**kwargs)
    assert str(e.value) == msg


@pytest.mark.parametrize("kwargs, m, k", [
    ({"expected_items": 1000}, 9586, 7),
    ({"expected_items": 100, "false_positive_rate": 0.001}, 1438, 10),
    ({"num_counters": 1000}, 1000, 7),
    ({"num_counters": 9}, 9, 6),
    ({"expected_items": 1000, "num_counters": 64}, 64, 1),
    ({"expected_items": 0, "num_counters": 5, "num_hashes": 2, "seed": MASK}, 5, 2),
    ({"num_counters": 3, "num_hashes": 2**32 - 1}, 3, 2**32 - 1),
])
def test_sizing(kwargs, m, k):
    f = CBF(**kwargs)
    assert (f.num_counters, f.num_hashes, f.size_in_bytes, f.seed) == (m, k, m, kwargs.get("seed", 0))


# ---------------------------------------------------------------- counter limits

@pytest.mark.parametrize("k", [3, 20, 70])  # batched, buffered with sort, in place with undo
def test_distinct_positions_take_255_adds(k):
    x, f = distinct_item(1000, k), CBF(num_counters=1000, num_hashes=k)
    f.update([x] * 254)
    f.add(x)
    before = f.to_bytes()
    assert f.count(x) == 255 and len(f) == 255
    for call in (lambda: f.add(x), lambda: f.update([x]), lambda: f.update_many([x, "y"])):
        with pytest.raises(OverflowError, match=FULL):
            call()
        assert f.to_bytes() == before


@pytest.mark.parametrize("k", [1, 16, 17, 65, 300])
@pytest.mark.parametrize("method", ["update", "update_hashes"])
def test_batch_stops_at_first_refused_element(k, method):
    # few counters: positions repeat and counters fill up quickly
    f, model = CBF(num_counters=7, num_hashes=k, seed=5), Model(7, k, seed=5)
    rng = random.Random(k)
    batch = [rng.randrange(200) for _ in range(30)] * 100
    with pytest.raises(OverflowError, match=FULL):
        getattr(f, method)(batch)
    applied = 0
    while model.add(model.pos(method, batch[applied])):
        applied += 1
    assert counters(f) == model.c and len(f) == applied == model.count > 0


# ---------------------------------------------------------------- remove and count

@pytest.mark.parametrize("start, count, after", [
    ([3], 1, [0]),      # all three positions on one counter: one remove undoes one add
    ([2], 0, [0]),      # never below zero, and count stays at 0
    ([200], 7, [197]),
])
def test_remove_with_repeated_positions(start, count, after):
    f = CBF.from_json(record(start, num_hashes=3, count=count))
    assert f.remove("anything") is True
    assert counters(f) == after and len(f) == max(count - 1, 0)


def test_count_is_the_minimum_counter():
    c = [(i * 37) % 256 for i in range(50)]
    f = CBF.from_json(record(c, num_hashes=4, seed=9))
    for x in ["a", "b", "c", "d", b"\x00", 12]:
        ps = slots(*pair(key(x), 9), 4, 50)
        assert f.count(x) == min(c[q] for q in ps)
        assert f.contains(x) == all(c[q] for q in ps)


# ---------------------------------------------------------------- merge

@pytest.mark.parametrize("a, b, total", [
    ([1, 200, 0, 255], [254, 55, 9, 0], [255, 255, 9, 255]),
    *[([1] * n, [2] * (n - 1) + [255], None) for n in (1, 8, 9, 1000)],  # last position overflows
])
def test_merge(a, b, total):
    fa, fb = CBF.from_json(record(a, count=MASK - 1)), CBF.from_json(record(b, count=6))
    before = fa.to_bytes(), fb.to_bytes()
    if total is None:
        with pytest.raises(OverflowError, match="^counter capacity exceeded during merge$"):
            fa.merge(fb)
        assert fa.to_bytes() == before[0]
    else:
        assert fa.merge(fb) is None
        assert counters(fa) == total and json.loads(fa.to_json())["count"] == MASK
    assert fb.to_bytes() == before[1]


# ---------------------------------------------------------------- statistics and lifecycle

@pytest.mark.parametrize("nonzero, n, k, health", [
    (0, 13, 2, "healthy"), (1, 1, 5, "saturated"), (64, 100, 2, "healthy"), (65, 100, 3, "warning"),
    (79, 100, 1, "warning"), (80, 100, 4, "saturated"), (17, 17, 2, "saturated"),
])
def test_statistics(nonzero, n, k, health):
    values = [1, 0x80, 0xFF, 0x7F, 0x01, 0x10]
    c = [values[i % len(values)] for i in range(nonzero)] + [0] * (n - nonzero)
    random.Random(n).shuffle(c)
    f = CBF.from_json(record(c, num_hashes=k, count=4))
    r = nonzero / n
    assert (f.fill_ratio(), f.false_positive_rate, f.health()) == (r, r ** k, health)
    assert repr(f) == f"CountingBloomFilter(num_counters={n}, num_hashes={k}, count=4)"


# ---------------------------------------------------------------- persistence

def test_layout():
    fields = ([255, 1, 0], 3, 7, MASK, 2**64 - 2)
    assert load("json", *fields).to_bytes() == wrap(payload(*fields), b"MKCB")


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("c, n, k, msg", [
    ([], 0, 0, "num_counters must be positive"),
    ([0, 0, 0], 4, 0, "num_hashes must be positive"),
    *[(c, n, 1, "counter array length does not match num_counters")
      for c, n in [([0, 0, 0], 4), ([0] * 5, 4), ([], MASK)]],
])
def test_validation_order(codec, c, n, k, msg):
    with pytest.raises(ValueError) as e:
        load(codec, c, n, k)
    assert str(e.value) == msg


def test_random_damage_never_crashes():
    f = CBF(num_counters=60, num_hashes=3, seed=3)
    f.update(range(40))
    for g in damaged_loads(CBF, body(f), b"MKCB", 7, 500):
        assert len(counters(g)) == g.num_counters
        if g.num_hashes > 1000:  # a damaged hash count is valid, just slow to use
            continue
        g.query_many(range(20))
        g.remove(3)
        try:
            g.update(range(5))
        except OverflowError:
            pass


# bytearray keys are copied before a batch runs
_keys = st.one_of(st.binary(max_size=12), st.binary(max_size=40).map(bytearray), st.text(max_size=6),
                  st.integers(0, 50))
_ops = item_ops(_keys, st.integers(0, MASK), 6, 25, st.tuples(st.just("remove"), _keys))


@settings(max_examples=150, deadline=None)
@given(m=st.integers(1, 12), k=st.sampled_from([1, 2, 5, 20, 70]), seed=st.integers(0, MASK),
       ops=_ops)
def test_random_operations_follow_the_model_and_round_trip(m, k, seed, ops):
    f, model = CBF(num_counters=m, num_hashes=k, seed=seed), Model(m, k, seed)
    for name, arg in ops:
        batch = arg if name.startswith("update") else [arg]
        if name == "remove":
            assert f.remove(arg) == model.remove(model.pos(name, arg))
            continue
        if all(model.add(model.pos(name, x)) for x in batch):  # the model stops at a refusal
            getattr(f, name)(arg)
        else:
            with pytest.raises(OverflowError, match=FULL):
                getattr(f, name)(arg)
    assert counters(f) == model.c and len(f) == model.count
    round_trips(f)
