"""HyperLogLog: registers, estimate, intervals, merging and persistence."""
import contextlib
import json
import math
import operator
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import HyperLogLog
from conftest import G, MASK, mix, wrap, xxh

Z = {0.80: 1.281552, 0.90: 1.644854, 0.95: 1.959964, 0.99: 2.575829}
EOF_MSG = "^Deserialization error: io error: unexpected end of file$"
PREC = "^precision must be between 4 and 18$"


def unmix(h):
    """Inverse of the SplitMix64 finaliser."""
    h = h ^ (h >> 31) ^ (h >> 62)
    h = (h * pow(0x94D049BB133111EB, -1, 1 << 64)) & MASK
    h = h ^ (h >> 27) ^ (h >> 54)
    h = (h * pow(0xBF58476D1CE4E5B9, -1, 1 << 64)) & MASK
    return h ^ (h >> 30) ^ (h >> 60)


def state(h):
    """(registers, precision, count, seed) read back from the binary form."""
    body = h.to_bytes()[21:]
    (n,) = struct.unpack_from("<Q", body, 1)
    return (list(body[9:9 + n]), *struct.unpack_from("<BQQ", body, 9 + n))


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


def key_of(item):
    if isinstance(item, str):
        return item.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode()
    return bytes(item)


class BadStr:
    def __str__(self):
        raise KeyError("no")


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("p", [4, 5, 14, 18])
def test_fresh_counter(p):
    h, m = HyperLogLog(p) if p != 14 else HyperLogLog(), 1 << p
    assert (h.precision, h.seed, h.size_in_bytes, state(h)) == (p, 0, m, ([0] * m, p, 0, 0))
    assert h.standard_error == 1.04 / math.sqrt(m) and h.relative_error() == 1.04 / math.sqrt(m) * 100
    assert h.cardinality() == h.query() == h.estimate == 0.0 and len(h) == 0
    assert h.confidence_interval() == (0.0, 0.0)
    assert repr(h) == f"HyperLogLog(precision={p}, cardinality=0, memory={m}B)"
    assert p != 14 or (h.standard_error, h.relative_error()) == (0.008125, 0.8125)


@pytest.mark.parametrize("args, exc, msg", [
    ((3,), ValueError, PREC), ((19,), ValueError, PREC),
    ((256,), OverflowError, "^out of range integral type conversion attempted$"),
    ((-1, -1), OverflowError, "^out of range integral type conversion attempted$"),  # precision first
    ((19, -1), OverflowError, "."),  # seed converted before the range check
])
def test_constructor_errors(args, exc, msg):
    with pytest.raises(exc, match=msg):
        HyperLogLog(*args)


# ---------------------------------------------------------------- adding

@pytest.mark.parametrize("p, expected", [(14, 1.0000305188197178), (4, 1.0326163382011386)])
def test_estimate_after_one_add(p, expected):
    h, regs = HyperLogLog(p), [0] * (1 << p)
    h.add("hello")
    observe(regs, p, xxh(b"hello", 0))
    assert state(h)[0] == regs and h.cardinality() == expected and len(h) == 1


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


def test_duplicates_and_equal_keys_only_grow_the_count():
    h, single = HyperLogLog(10), HyperLogLog(10)
    h.add("x")
    before = state(h)[0]
    h.add(b"x")
    h.update(["x", bytearray(b"x"), [120]])
    assert state(h)[0] == before and state(h)[2] == 5
    h.update_many("abc")  # a str is iterated per character
    for c in "xxxxxabc":
        single.add(c)
    assert state(h) == state(single)


@pytest.mark.parametrize("method, arg, exc", [
    ("update", ["ok", BadStr()], KeyError), ("update_many", ["ok", BadStr()], KeyError), ("update", 5, TypeError),
    ("update", [], None), ("update_hashes", [], None), ("update_hashes", [1, -1], OverflowError),
])
def test_failed_or_empty_calls_change_nothing(method, arg, exc):
    h = HyperLogLog(6)
    h.add("before")
    snapshot = h.to_bytes()
    with pytest.raises(exc) if exc else contextlib.nullcontext():
        assert getattr(h, method)(arg) is None
    assert h.to_bytes() == snapshot


# ---------------------------------------------------------------- estimate

ESTIMATES = {  # precision, register at index i
    "one register": (4, lambda r, i: int(i == 0)),
    "no zeros, small E": (4, lambda r, i: 1),  # E below 2.5m, yet no linear counting
    "half zeros": (10, lambda r, i: r.choice([0, 1, 2, 5])),
    "raw range": (12, lambda r, i: r.randint(3, 12)),
    "rounded sum": (14, lambda r, i: 51 if i % 1000 == 7 else r.randint(2, 20)),
    # tiny terms after a large running sum are lost; an exact sum would keep them
    "lost terms": (14, lambda r, i: 1 if i < 8192 else 51),
    "kept terms": (14, lambda r, i: 51 if i < 8192 else 1),
    "large range": (4, lambda r, i: 56),
    "large range mixed": (5, lambda r, i: r.randint(55, 60)),
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


@pytest.mark.parametrize("confidence", [0.85, 0.95 + 2.3e-16, 1.0, math.nan])
def test_confidence_outside_table(confidence):
    with pytest.raises(ValueError, match="^confidence must be one of 0.80, 0.90, 0.95, or 0.99$"):
        HyperLogLog(4).confidence_interval(confidence)


def test_accuracy_one_million_distinct():
    h = HyperLogLog(14)
    h.update(f"user-{i}" for i in range(10**6))
    assert abs(h.cardinality() - 10**6) < 3 * h.standard_error * 10**6


# ---------------------------------------------------------------- merge, copy, clear

def test_merge_variants_equal_adding_everything():
    a_items, b_items = [f"a{i}" for i in range(300)], [f"b{i}" for i in range(200)]
    a, b, both = HyperLogLog(8), HyperLogLog(8), HyperLogLog(8)
    a.update(a_items)
    b.update(b_items)
    both.update(a_items + b_items)
    b_before, alias, union = b.to_bytes(), a, a | b
    a |= b
    assert union.to_bytes() == a.to_bytes() == both.to_bytes() and a is alias
    assert state(union)[2] == 500 and b.to_bytes() == b_before
    a |= a  # self-merge cannot borrow twice: falls back to a | a, a new counter with twice the count
    assert a is not alias and state(a)[0] == state(alias)[0] and state(a)[2] == 1000
    c = record([0, 5] * 8, 4, count=MASK - 1)
    c.merge(record([1] * 16, 4, count=5))
    assert state(c)[:3] == ([1, 5] * 8, 4, MASK)  # count saturates
    c.add("x")
    assert state(c)[2] == MASK


@pytest.mark.parametrize("kw_a, kw_b, msg", [
    ({"precision": 10, "seed": 1}, {"precision": 12, "seed": 2}, "precision mismatch (10 vs 12)"),
    ({"precision": 10, "seed": 1}, {"precision": 10, "seed": 2}, "seed mismatch (1 vs 2)"),
    ({"seed": MASK}, {}, f"seed mismatch ({MASK} vs 0)"),
])
def test_merge_mismatches(kw_a, kw_b, msg):
    a, b = HyperLogLog(**{"precision": 6, **kw_a}), HyperLogLog(**{"precision": 6, **kw_b})
    a.add("x")
    before = a.to_bytes()
    for op in (HyperLogLog.merge, operator.ior, operator.or_):
        with pytest.raises(ValueError) as e:
            op(a, b)
        assert str(e.value) == "Cannot merge: " + msg
    assert a.to_bytes() == before


def test_copy_and_clear():
    h = HyperLogLog(7, 9)
    h.update(["a", "b", "c"])
    c = h.copy()
    c.add("d")
    assert state(h)[2] == 3 and state(c)[2] == 4
    assert h.clear() is None and h.to_bytes() == HyperLogLog(7, 9).to_bytes()


# ---------------------------------------------------------------- persistence

def test_layouts():
    assert HyperLogLog(4).to_bytes() == hl(payload([0] * 16, 4)) and len(HyperLogLog().to_bytes()) == 16431
    regs = "".join(f"    0{',' if i < 15 else ''}\n" for i in range(16))
    assert HyperLogLog(4).to_json() == ('{\n  "version": 2,\n  "registers": [\n' + regs +
                                        '  ],\n  "precision": 4,\n  "count": 0,\n  "seed": 0\n}')
    h = record(list(range(16)), 4, count=MASK, seed=MASK - 1)
    assert h.to_bytes() == hl(payload(list(range(16)), 4, MASK, MASK - 1)) and f'"count": {MASK},' in h.to_json()


def test_round_trips(tmp_path):
    h, path = HyperLogLog(11, seed=123), str(tmp_path / "h.hll")
    h.update(f"item{i}" for i in range(5000))
    h.save(path)
    with open(path, "rb") as f:
        assert f.read() == h.to_bytes()
    doc = json.loads(h.to_json())
    shuffled = json.dumps({"note": [1, {}], **dict(reversed(list(doc.items())))})
    for text in (h.to_json(), shuffled, json.dumps(list(doc.values()))):
        assert HyperLogLog.from_json(text).to_bytes() == h.to_bytes()
    for other in (HyperLogLog.from_bytes(bytearray(h.to_bytes())), HyperLogLog.load(path)):
        assert state(other) == state(h) and other.cardinality() == h.cardinality()


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("regs, p, version, msg", [
    ([0] * 16, 4, 1, "Unsupported HyperLogLog data version"), ([0] * 8, 3, 3, "Unsupported HyperLogLog data version"),
    ([0] * 8, 3, 2, "precision must be between 4 and 18"), ([], 19, 2, "precision must be between 4 and 18"),
    ([0] * 15, 4, 2, "register count does not match precision"),
    ([99] * 17, 4, 2, "register count does not match precision"),
    ([0] * 15 + [62], 4, 2, "register contains an impossible rank"),
    ([0] * 1023 + [56], 10, 2, "register contains an impossible rank"),
    ([61] * 15 + [0], 4, 2, None), ([47] * (1 << 18), 18, 2, None),  # highest possible ranks are accepted
])
def test_validation(codec, regs, p, version, msg):
    if msg is None:
        assert state(record(regs, p, seed=5, codec=codec)) == (regs, p, 0, 5)
        return
    with pytest.raises(ValueError) as e:
        record(regs, p, codec=codec, version=version)
    assert str(e.value) == (msg if version != 2 else "Invalid HyperLogLog: " + msg)


def test_binary_refusals():
    good = HyperLogLog(4).to_bytes()
    assert HyperLogLog.from_bytes(hl(good[21:] + b"trailing")).to_bytes() == good
    for data, msg in [
        (b"MKBF" + good[4:], "^invalid Murk binary format$"),
        (good[:4] + b"\x02" + good[5:], r"^unsupported binary format version: 2 \(expected 1\)$"),
        (hl(payload([0] * 16, 4, version=9)[:-1]), EOF_MSG),  # decoded before validated
        (hl(struct.pack("<BQ", 2, MASK) + bytes(40)), EOF_MSG),  # no huge allocation
    ]:
        with pytest.raises(ValueError, match=msg):
            HyperLogLog.from_bytes(data)
    h = HyperLogLog(4, seed=77)
    h.update(["a", "b", "c"])
    body = h.to_bytes()[21:]
    for n in range(len(body)):
        with pytest.raises(ValueError, match=EOF_MSG):
            HyperLogLog.from_bytes(hl(body[:n]))


@pytest.mark.parametrize("text, fragment", [
    ('{"version": 2, "registers": [0], "precision": 4, "seed": 0}', "missing field `count`"),
    ('{"version": 2, "registers": [256], "precision": 4, "count": 0, "seed": 0}', "256"),
    ('{"version": 2, "registers": [], "precision": 4, "count": -1, "seed": 0}', "-1"),
    ('[2, [], 4, 0]', "struct HyperLogLogData with 5 elements"),
])
def test_json_decoding_errors(text, fragment):
    with pytest.raises(ValueError, match="^Deserialization error: ") as e:
        HyperLogLog.from_json(text)
    assert fragment in str(e.value)


def test_random_damage_never_crashes():
    rng, h = random.Random(5), HyperLogLog(5, 1)
    h.update(range(100))
    for _ in range(600):
        damaged = bytearray(h.to_bytes()[21:])
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            regs, p, _, _ = state(loaded := HyperLogLog.from_bytes(hl(bytes(damaged))))
        except ValueError:
            continue
        assert len(regs) == 1 << p and max(regs) <= 65 - p and loaded.cardinality() == reference_estimate(regs)


_items = st.one_of(st.binary(max_size=30), st.text(max_size=10))


@settings(max_examples=150, deadline=None)
@given(p=st.integers(4, 9), seed=st.integers(0, MASK), ops=st.lists(st.one_of(
    st.tuples(st.just("add"), _items), st.tuples(st.just("add_hash"), st.integers(0, MASK)),
    st.tuples(st.just("update"), st.lists(_items, max_size=6)),
    st.tuples(st.just("update_hashes"), st.lists(st.integers(0, MASK), max_size=6)),
    st.tuples(st.just("clear"), st.none())), max_size=20))
def test_random_operations_follow_the_model_and_round_trip(p, seed, ops):
    h, regs, count = HyperLogLog(p, seed), [0] * (1 << p), 0
    for name, arg in ops:
        if name == "clear":
            h.clear()
            regs, count = [0] * (1 << p), 0
            continue
        getattr(h, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        for x in batch:
            observe(regs, p, mix(((seed ^ x) + G) & MASK) if "hash" in name else xxh(key_of(x), seed))
        count += len(batch)
    assert state(h) == (regs, p, count, seed) and h.cardinality() == reference_estimate(regs)
    data = h.to_bytes()
    assert HyperLogLog.from_bytes(data).to_bytes() == data == HyperLogLog.from_json(h.to_json()).to_bytes()
