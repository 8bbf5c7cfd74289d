"""HyperLogLog: registers, estimate, intervals, merging and persistence."""
import json
import math
import operator
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import HyperLogLog
from conftest import EOF_MSG, G, MASK, Z, damaged_loads, item_ops, key, mix, round_trips, wrap, xxh

VER, COUNT = "Unsupported HyperLogLog data version", "register count does not match precision"
RANK = "register contains an impossible rank"


def unmix(h):
    """Inverse of the SplitMix64 finaliser."""
    h = h ^ (h >> 31) ^ (h >> 62)
    h = (h * pow(0x94D049BB133111EB, -1, 1 << 64)) & MASK
    h = h ^ (h >> 27) ^ (h >> 54)
    h = (h * pow(0xBF58476D1CE4E5B9, -1, 1 << 64)) & MASK
    return h ^ (h >> 30) ^ (h >> 60)


def state(h):
    return tuple(json.loads(h.to_json())[k] for k in ("registers", "precision", "count", "seed"))


def hl(body):
    return wrap(body, b"MKHL", 1)


def payload(regs, p, count=0, seed=0, version=2):
    return struct.pack("<BQ", version, len(regs)) + bytes(regs) + struct.pack("<BQQ", p, count, seed)


def record(regs, p, count=0, seed=0, version=2, codec="json"):
    if codec == "json":
        return HyperLogLog.from_json(json.dumps({"version": version, "registers": regs, "precision": p,
                                                 "count": count, "seed": seed}))
    return HyperLogLog.from_bytes(hl(payload(regs, p, count, seed, version)))


def observe(regs, p, h):
    w, j = (h << p) & MASK, h >> (64 - p)
    regs[j] = max(regs[j], 65 - w.bit_length() if w else 65 - p)


def reference_estimate(regs):
    m = len(regs)
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1 + 1.079 / m))
    s = 0.0
    for r in regs:  # index order, as the rounding of the sum depends on it
        s += 2.0 ** -r
    e = alpha * m * m / s
    if e <= 2.5 * m:
        return m * math.log(m / regs.count(0)) if regs.count(0) else e
    if e > 2.0 ** 64 / 30:
        x = e * 2.0 ** -64
        return math.inf if x >= 1 else math.log1p(-x) * -(2.0 ** 64)
    return e


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("p", [4, 5, 14, 18])
def test_fresh_counter(p):
    h, m = HyperLogLog(p) if p != 14 else HyperLogLog(), 1 << p
    assert (h.precision, h.seed, h.size_in_bytes, state(h)) == (p, 0, m, ([0] * m, p, 0, 0))
    assert h.standard_error == 1.04 / math.sqrt(m) and h.relative_error() == 1.04 / math.sqrt(m) * 100
    assert h.cardinality() == h.query() == h.estimate == 0.0 and len(h) == 0
    assert h.confidence_interval() == (0.0, 0.0)
    assert repr(h) == f"HyperLogLog(precision={p}, cardinality=0, memory={m}B)"


# ---------------------------------------------------------------- adding

@pytest.mark.parametrize("p, seed", [(4, 0), (10, 7), (18, MASK)])
def test_caller_hash_picks_register_and_capped_rank(p, seed):
    top = (1 << p) - 1
    values = [top << (64 - p) | 1 << (63 - p),  # rank 1
              top << (64 - p) | 1,              # rank 64 - p
              3 << (64 - p),                    # nothing left: capped at 65 - p
              3 << (64 - p) | 12345]            # same register, 14 bits left: lower rank
    h = HyperLogLog(p, seed)
    h.update_hashes([((unmix(v) - G) & MASK) ^ seed for v in values])
    expected = [0] * (1 << p)
    expected[top], expected[3] = 64 - p, 65 - p
    assert state(h)[0] == expected and state(h)[2] == 4


# ---------------------------------------------------------------- estimate

ESTIMATES = {  # precision, register at index i
    "one register": (4, lambda r, i: int(i == 0)),
    "no zeros, small E": (4, lambda r, i: 1),  # E below 2.5m, yet no linear counting
    "half zeros": (10, lambda r, i: r.choice([0, 1, 2, 5])),
    "rounded sum": (14, lambda r, i: 51 if i % 1000 == 7 else r.randint(2, 20)),
    # tiny terms after a large running sum are lost; an exact sum would keep them
    "lost terms": (14, lambda r, i: 1 if i < 8192 else 51),
    "kept terms": (14, lambda r, i: 51 if i < 8192 else 1),
    "large range": (4, lambda r, i: 56),
    "infinite": (4, lambda r, i: 61),
    "infinite p18": (18, lambda r, i: 47),
}


@pytest.mark.parametrize("name", ESTIMATES)
def test_estimate_matches_reference(name):
    p, fill = ESTIMATES[name]
    rng = random.Random(name)
    regs = [fill(rng, i) for i in range(1 << p)]
    h, e = record(regs, p), reference_estimate(regs)
    assert h.cardinality() == h.estimate == e
    assert repr(h) == f"HyperLogLog(precision={p}, cardinality={e:.0f}, memory={1 << p}B)"
    if e < 2**63:
        assert len(h) == math.floor(e + 0.5)
    else:
        with pytest.raises(OverflowError):
            len(h)
        assert h.confidence_interval() == (0.0, math.inf)  # inf - inf clamps to 0


@pytest.mark.parametrize("level", sorted(Z))
@pytest.mark.parametrize("p, n", [(4, 3), (14, 20000)])
def test_confidence_interval(level, p, n):
    h = HyperLogLog(p)
    h.update(range(n))
    e = h.cardinality()
    margin = 1.04 / math.sqrt(1 << p) * Z[level] * e
    for c in (level, math.nextafter(level, 2), math.nextafter(level, 0)):
        assert h.confidence_interval(confidence=c) == (max(e - margin, 0.0), e + margin)


# ---------------------------------------------------------------- merge, copy, clear

def test_merge_is_register_max_with_a_saturating_count():
    a, b = record([0, 5] * 8, 4, count=MASK - 1), record([1] * 16, 4, count=5)
    b_before, alias, union = b.to_bytes(), a, a | b
    a |= b
    assert union.to_bytes() == a.to_bytes() and a is alias and b.to_bytes() == b_before
    assert state(a)[:3] == ([1, 5] * 8, 4, MASK)
    a.add("x")
    assert state(a)[2] == MASK
    c = record([2] * 16, 4, count=3)
    assert c.merge(b) is None and state(c)[:3] == ([2] * 16, 4, 8)
    alias = c
    c |= c  # self-merge cannot borrow twice: falls back to c | c, a new counter
    assert c is not alias and state(c)[:3] == ([2] * 16, 4, 16)


# ---------------------------------------------------------------- persistence

def test_layouts():
    assert HyperLogLog(4).to_bytes() == hl(payload([0] * 16, 4)) and len(HyperLogLog().to_bytes()) == 16431
    h = record(list(range(16)), 4, count=MASK, seed=MASK - 1)
    assert h.to_bytes() == hl(payload(list(range(16)), 4, MASK, MASK - 1)) and f'"count": {MASK},' in h.to_json()


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("regs, p, version, msg", [
    ([0] * 16, 4, 1, VER), ([0] * 8, 3, 3, VER), ([0] * 8, 3, 2, "precision must be between 4 and 18"),
    ([], 19, 2, "precision must be between 4 and 18"), ([0] * 15, 4, 2, COUNT), ([99] * 17, 4, 2, COUNT),
    ([0] * 15 + [62], 4, 2, RANK), ([0] * 1023 + [56], 10, 2, RANK),
    ([61] * 15 + [0], 4, 2, None), ([47] * (1 << 18), 18, 2, None),  # highest possible ranks are accepted
])
def test_validation(codec, regs, p, version, msg):
    if msg is None:
        assert state(record(regs, p, seed=5, codec=codec)) == (regs, p, 0, 5)
        return
    with pytest.raises(ValueError) as e:
        record(regs, p, codec=codec, version=version)
    assert str(e.value) == (msg if version != 2 else "Invalid HyperLogLog: " + msg)


@pytest.mark.parametrize("data", [
    hl(payload([0] * 16, 4, version=9)[:-1]),  # decoded before validated
    hl(struct.pack("<BQ", 2, MASK) + bytes(40)),  # no huge allocation
])
def test_short_payloads_are_refused_first(data):
    with pytest.raises(ValueError, match=EOF_MSG):
        HyperLogLog.from_bytes(data)


def test_random_damage_never_crashes():
    h = HyperLogLog(5, 1)
    h.update(range(100))
    for loaded in damaged_loads(HyperLogLog, h.to_bytes()[21:], b"MKHL", 5, 600):
        regs, p, _, _ = state(loaded)
        assert len(regs) == 1 << p and max(regs) <= 65 - p and loaded.cardinality() == reference_estimate(regs)


@settings(max_examples=150, deadline=None)
@given(p=st.integers(4, 9), seed=st.integers(0, MASK), ops=item_ops(
    st.one_of(st.binary(max_size=30), st.text(max_size=10)), st.integers(0, MASK), 6, 20,
    st.tuples(st.sampled_from(["clear", "merge"]), st.none())))
def test_random_operations_follow_the_model_and_round_trip(p, seed, ops):
    h, regs, count = HyperLogLog(p, seed), [0] * (1 << p), 0
    for name, arg in ops:
        if name == "clear":
            h.clear()
            regs, count = [0] * (1 << p), 0
            continue
        if name == "merge":
            twin = h.copy()
            h.merge(twin)
            twin.clear()  # the copy shares nothing with the original
            count = min(2 * count, MASK)
            continue
        getattr(h, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        for x in batch:
            observe(regs, p, mix(((seed ^ x) + G) & MASK) if "hash" in name else xxh(key(x), seed))
        count += len(batch)
    assert state(h) == (regs, p, count, seed) and h.cardinality() == reference_estimate(regs)
    round_trips(h)


# ---------------------------------------------------------------- the estimate kept current

def crafted(p, j, rank):
    """A caller hash that sets register j to rank (seed 0)."""
    h = (j << (64 - p)) | (1 << (64 - p - rank))
    return (unmix(h) - G) & MASK


def test_estimate_follows_every_change(tmp_path):
    p = 10
    h, other = HyperLogLog(p), HyperLogLog(p)
    other.update(range(5000, 9000))
    path = str(tmp_path / "h.murk")
    steps = [
        ("add", lambda h: h.add("x")),
        ("update", lambda h: h.update(range(3000))),
        ("update_lines", lambda h: h.update_lines(b"\n".join(b"%d" % i for i in range(2000, 4000)))),
        ("add_hash", lambda h: h.add_hash(12345)),
        ("update_hashes", lambda h: h.update_hashes(list(range(100, 400)))),
        ("a rank past an exact sum", lambda h: h.add_hash(crafted(p, 3, 64 - p))),
        ("merge", lambda h: h.merge(other)),
        ("|=", lambda h: operator.ior(h, other)),
        ("clear", lambda h: h.clear()),
        ("update again", lambda h: h.update(range(50))),
        ("from_bytes", lambda h: HyperLogLog.from_bytes(h.to_bytes())),
        ("from_json", lambda h: HyperLogLog.from_json(h.to_json())),
        ("load", lambda h: (h.save(path), HyperLogLog.load(path))[1]),
        ("copy", lambda h: h.copy()),
    ]
    for name, step in steps:
        before = h.copy()
        h = step(h) if name in ("from_bytes", "from_json", "load", "copy") else (step(h), h)[1]
        regs = json.loads(h.to_json())["registers"]
        e = reference_estimate(regs)
        assert h.cardinality() == h.estimate == e, name
        assert h.cardinality() == e and len(h) == math.floor(e + 0.5), name  # read again, unchanged
        lo, hi = h.confidence_interval()
        assert hi == e + 1.04 / math.sqrt(1 << p) * Z[0.95] * e, name
        assert before.cardinality() == reference_estimate(json.loads(before.to_json())["registers"]), name
    pa = pytest.importorskip("pyarrow")
    h.update_column(pa.array([str(i) for i in range(7000, 9000)]))
    assert h.cardinality() == reference_estimate(json.loads(h.to_json())["registers"])
