"""ScalableBloomFilter: growth, membership, statistics, persistence."""
import json
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import ScalableBloomFilter as SBF
from conftest import (EOF_MSG, MASK, body, damaged_loads, item_ops, key, pair, pair_from_hash, positions,
                      round_trips, wrap)

INVALID = "Invalid Scalable Bloom filter: "
MALFORMED = INVALID + "malformed slice metadata"
GROWTH = INVALID + "growth parameters are out of range"


# ---------------------------------------------------------------- independent model

def shape(c, f):
    m = math.ceil(c * math.log(f) / -0.4804530139182014)
    return m, max(1, math.floor(m / c * 0.6931471805599453 + 0.5))


class Model:
    """The chain rebuilt in Python: slices of (m, k, capacity, fpr, bit set, count)."""

    def __init__(self, cap, p, g, r):
        self.cap, self.p, self.g, self.r = cap, p, g, r
        self.slices = []
        self.grow()

    def grow(self):
        if self.slices:
            last = self.slices[-1]
            c, f = int(last["capacity"] * self.g), last["fpr"] * self.r
        else:
            c, f = self.cap, (1 - self.r) * self.p
        m, k = shape(c, f)
        self.slices.append({"num_bits": m, "num_hashes": k, "count": 0, "capacity": c, "fpr": f, "set": set()})

    def has(self, h):
        return any(positions(*h, s["num_hashes"], s["num_bits"]) <= s["set"] for s in self.slices)

    def add(self, h):
        if self.has(h):
            return
        if self.slices[-1]["count"] >= self.slices[-1]["capacity"]:
            self.grow()
        s = self.slices[-1]
        s["set"] |= positions(*h, s["num_hashes"], s["num_bits"])
        s["count"] += 1


def decoded(sbf):
    """The filter's slices as the model writes them, read back from its JSON."""
    out = []
    for s in json.loads(sbf.to_json())["slices"]:
        bits = {w * 64 + b for w, word in enumerate(s.pop("bits")) for b in range(64) if word >> b & 1}
        out.append({**s, "set": bits})
    return out


def slice_json(bits=(0,), num_bits=64, num_hashes=1, count=0, capacity=1, fpr=0.1):
    return {"bits": list(bits), "num_bits": num_bits, "num_hashes": num_hashes,
            "count": count, "capacity": capacity, "fpr": fpr}


def record(slices=(), cap=1000, p=0.01, g=2.0, r=0.5, seed=0):
    return {"slices": list(slices), "initial_capacity": cap, "initial_fpr": p,
            "growth_ratio": g, "fpr_ratio": r, "seed": seed}


def payload(rec):
    out = struct.pack("<Q", len(rec["slices"]))
    for s in rec["slices"]:
        out += struct.pack(f"<Q{len(s['bits'])}QQIQQd", len(s["bits"]), *s["bits"], s["num_bits"],
                           s["num_hashes"], s["count"], s["capacity"], s["fpr"])
    return out + struct.pack("<QdddQ", rec["initial_capacity"], rec["initial_fpr"],
                             rec["growth_ratio"], rec["fpr_ratio"], rec["seed"])


def load(rec, codec):
    if codec == "json":
        return SBF.from_json(json.dumps(rec))
    return SBF.from_bytes(wrap(payload(rec), b"MKSB"))


# ---------------------------------------------------------------- construction and growth

@pytest.mark.parametrize("kwargs, msg", [
    ({"initial_capacity": 0, "false_positive_rate": 2.0, "growth_ratio": 0.5}, "initial_capacity must be positive"),
    *[({"false_positive_rate": p, "growth_ratio": 1.0}, "false_positive_rate must be between 0 and 1 (exclusive)")
      for p in (0.0, 1.0, math.nan)],
    *[({"growth_ratio": g, "fpr_ratio": 2.0}, "growth_ratio must be greater than 1") for g in (1.0, math.inf, math.nan)],
    *[({"fpr_ratio": r}, "fpr_ratio must be between 0 and 1 (exclusive)") for r in (0.0, 1.0, math.nan)],
])
def test_constructor_checks_in_order(kwargs, msg):
    with pytest.raises(ValueError) as e:
        SBF(**kwargs)
    assert str(e.value) == msg


def test_fresh_default_filter_and_worked_slice_shapes():
    f = SBF()
    assert (f.num_slices, f.num_filters, len(f), f.capacity(), f.size_in_bytes) == (1, 1, 0, 1000, 1384)
    assert f.false_positive_rate() == 0.0050000000000000044 and f.health() == "healthy"
    assert repr(f) == "ScalableBloomFilter(slices=1, count=0, size=1384B)"
    assert not any(f.query_many(range(1000)))
    f.update(range(5000))
    got = [(s["capacity"], s["fpr"], s["num_bits"], s["num_hashes"]) for s in decoded(f)]
    assert got == [(1000, 0.005, 11028, 8), (2000, 0.0025, 24941, 9), (4000, 0.00125, 55653, 10)]
    assert f.size_in_bytes == 8 * (173 + 390 + 870)


@pytest.mark.parametrize("kwargs, n, slices", [
    ({}, 15000, 4),  # four full slices: the defaults' worst case so far
    ({"initial_capacity": 500, "false_positive_rate": 0.02, "growth_ratio": 1.5, "fpr_ratio": 0.9}, 20000, 8),
])
def test_measured_false_positive_rate_stays_under_target(kwargs, n, slices):
    f = SBF(**kwargs)
    f.update(f"member-{i}" for i in range(n))
    assert f.num_slices == slices
    absent = [f"absent-{i}" for i in range(200000)]
    measured = sum(f.query_many(absent)) / len(absent)
    design, target = f.false_positive_rate(), kwargs.get("false_positive_rate", 0.01)
    sigma = math.sqrt(design / len(absent))
    assert measured < target and abs(measured - design) < 4 * sigma and f.health() == "healthy"


def test_health_compares_the_computed_double():
    assert SBF(fpr_ratio=1e-20).health() == "warning"
    over = record([slice_json(fpr=0.006), slice_json(fpr=0.006)], p=0.01)
    assert SBF.from_json(json.dumps(over)).health() == "warning"


@pytest.mark.parametrize("kwargs, exc", [
    # the design rate underflows to zero at the fifth slice
    ({"initial_capacity": 1, "growth_ratio": 1.5, "fpr_ratio": 1e-100}, OverflowError),
    # the second slice's capacity saturates at 2^64 - 1
    ({"initial_capacity": 1, "growth_ratio": 1e300}, MemoryError),
])
def test_growth_past_the_limits_fails_cleanly(kwargs, exc):
    f = SBF(**kwargs)
    with pytest.raises(exc):
        for x in range(10):
            f.add(x)
    before = f.to_bytes()
    for op in (lambda: f.add("one more new item"), lambda: f.update(["x", "y", "z"])):
        with pytest.raises(exc):
            op()
        assert f.to_bytes() == before
    assert SBF.from_bytes(before).to_bytes() == before


# ---------------------------------------------------------------- persistence

SMALL = record([slice_json([MASK, 5], 100, 3, 2, 4, 0.25)], cap=4, p=0.5, g=2.0, r=0.5, seed=7)


def test_layout():
    small = SBF.from_json(json.dumps(SMALL))
    assert small.to_bytes() == wrap(payload(SMALL), b"MKSB") and len(SBF().to_bytes()) == 1497


def test_copies_go_on_growing_like_the_original():
    f = SBF(initial_capacity=20, false_positive_rate=0.05, growth_ratio=1.7, fpr_ratio=0.6, seed=99)
    f.update(f"k{i}" for i in range(150))
    copies = round_trips(f)
    f.update(f"more{i}" for i in range(300))
    for g in copies:
        g.update(f"more{i}" for i in range(300))
        assert g.to_bytes() == f.to_bytes()


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_empty_slice_list(codec):
    f = load(record(cap=3, seed=5), codec)
    assert (f.num_slices, len(f), f.capacity(), f.false_positive_rate(), f.health()) == (0, 0, 0, 0.0, "healthy")
    assert not f.contains("x") and f.query_many(["x"]) == [False] and f.size_in_bytes == 0
    assert repr(f) == "ScalableBloomFilter(slices=0, count=0, size=0B)" and '"slices": [],' in f.to_json()
    assert f.to_bytes() == wrap(struct.pack("<QQdddQ", 0, 3, 0.01, 2.0, 0.5, 5), b"MKSB")
    for first in (lambda g: g.add("x"), lambda g: g.add_hash(1), lambda g: g.update(["x"])):
        g = f.copy()
        first(g)
        assert (g.num_slices, len(g), g.capacity()) == (1, 1, 3)
    f.clear()
    assert f.to_bytes() == SBF(initial_capacity=3, seed=5).to_bytes()


BAD_RECORDS = [
    ({"initial_capacity": 0, "initial_fpr": 2.0, "growth_ratio": 0.0}, INVALID + "initial capacity must be positive"),
    ({"initial_fpr": 1.0, "growth_ratio": 1.0}, INVALID + "false-positive rate is out of range"),
    ({"growth_ratio": 1.0}, GROWTH),
    ({"fpr_ratio": 0.0, "slices": [slice_json(capacity=0)]}, GROWTH),
    ({"slices": [slice_json(capacity=0)]}, MALFORMED),
    ({"slices": [slice_json(), slice_json(bits=[], num_bits=0)]}, MALFORMED),
    ({"slices": [slice_json(num_hashes=0)]}, MALFORMED),
    ({"slices": [slice_json(count=2, capacity=1)]}, MALFORMED),
    ({"slices": [slice_json(bits=[0] * 172, num_bits=11028, capacity=1000)]}, MALFORMED),
    ({"slices": [slice_json(bits=[0], num_bits=MASK)]}, MALFORMED),
    ({"slices": [slice_json(fpr=1.0)]}, MALFORMED),
]


@pytest.mark.parametrize("codec, changes, msg", [
    *[(codec, *case) for codec in ("json", "bytes") for case in BAD_RECORDS],
    ("bytes", {"growth_ratio": math.inf}, GROWTH),  # JSON has no infinity
])
def test_validation(codec, changes, msg):
    with pytest.raises(ValueError) as e:
        load({**record(), **changes}, codec)
    assert str(e.value) == msg


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_leaves_unchecked_fields_alone(codec):
    rec = record([slice_json([1 << 40], 40, count=7, capacity=7, fpr=0.9),
                  slice_json([MASK, MASK], 128, 5, MASK, MASK, 1e-300),
                  slice_json(capacity=MASK)], cap=9, p=0.2, seed=MASK)
    f = load(rec, codec)
    assert f.to_bytes() == wrap(payload(rec), b"MKSB") and f.seed == MASK
    assert '"fpr": 1e-300' in f.to_json() and SBF.from_json(f.to_json()).to_bytes() == f.to_bytes()
    # totals past 2^64 stay exact; len() cannot hold them
    assert f.capacity() == 2 * MASK + 7 and f"count={MASK + 7}," in repr(f)
    with pytest.raises(OverflowError):
        len(f)


def test_json_records_may_be_arrays():
    text = SBF(initial_capacity=2).to_json()
    s = json.loads(text)["slices"][0]
    as_arrays = [[[s[k] for k in ("bits", "num_bits", "num_hashes", "count", "capacity", "fpr")]],
                 2, 0.01, 2, 0.5, 0]
    assert SBF.from_json(json.dumps(as_arrays)).to_json() == text


def test_huge_declared_slice_or_word_counts_are_refused_without_allocating():
    for head in (struct.pack("<Q", MASK), struct.pack("<QQ", 2**40, 2**61)):
        with pytest.raises(ValueError, match=EOF_MSG):
            SBF.from_bytes(wrap(head + bytes(40), b"MKSB"))


def test_random_damage_is_refused_or_loads_consistently():
    f = SBF(initial_capacity=3, false_positive_rate=0.2)
    f.update(range(12))
    for g in damaged_loads(SBF, body(f), b"MKSB", 77, 400):
        g.query_many(range(5))
        again = g.to_bytes()
        assert SBF.from_bytes(again).to_bytes() == again


# ---------------------------------------------------------------- model property

_items = st.one_of(st.sampled_from(["a", "b", "c", b"d", "\ud800"]), st.text(max_size=4))
_ops = item_ops(_items, st.integers(0, 40), 6, 20)


@settings(max_examples=120, deadline=None)
@given(cap=st.integers(1, 6), p=st.sampled_from([0.01, 0.3, 0.6]), g=st.sampled_from([1.2, 2.0, 3.5]),
       r=st.sampled_from([0.1, 0.5, 0.9]), seed=st.integers(0, MASK), ops=_ops)
def test_random_operations_follow_the_model_and_round_trip(cap, p, g, r, seed, ops):
    f, model = SBF(cap, p, g, r, seed), Model(cap, p, g, r)
    for name, arg in ops:
        getattr(f, name)(arg)
        for x in (arg if name.startswith("update") else [arg]):
            model.add(pair_from_hash(x, seed) if "hash" in name else pair(key(x), seed))
    assert decoded(f) == model.slices
    assert len(f) == sum(s["count"] for s in model.slices)
    round_trips(f)
