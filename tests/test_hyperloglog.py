"""HyperLogLog: registers, estimate, intervals, merging and persistence."""
import json
import math
import os
import random
import struct
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

from _murk import HyperLogLog
from conftest import G, MASK, mix, wrap, xxh

HL = {"magic": b"MKHL", "version": 1}
INTERVAL_MSG = "^confidence must be one of 0.80, 0.90, 0.95, or 0.99$"
Z = {0.80: 1.281552, 0.90: 1.644854, 0.95: 1.959964, 0.99: 2.575829}


def unmix(h):
    """Inverse of the SplitMix64 finaliser."""
    h = h ^ (h >> 31) ^ (h >> 62)
    h = (h * pow(0x94D049BB133111EB, -1, 1 << 64)) & MASK
    h = h ^ (h >> 27) ^ (h >> 54)
    h = (h * pow(0xBF58476D1CE4E5B9, -1, 1 << 64)) & MASK
    return h ^ (h >> 30) ^ (h >> 60)


def caller_hash_for(h, seed=0):
    """The caller hash that the counter turns into the 64-bit value h."""
    return ((unmix(h) - G) & MASK) ^ seed


def state(h):
    """(registers, precision, count, seed) decoded from the binary form."""
    payload = h.to_bytes()[21:]
    assert payload[0] == 2
    (n,) = struct.unpack_from("<Q", payload, 1)
    precision, count, seed = struct.unpack_from("<BQQ", payload, 9 + n)
    return list(payload[9:9 + n]), precision, count, seed


def payload(registers, precision, count=0, seed=0, version=2):
    return (struct.pack("<BQ", version, len(registers)) + bytes(registers)
            + struct.pack("<BQQ", precision, count, seed))


def record(registers, precision, count=0, seed=0, codec="json", version=2):
    if codec == "json":
        return HyperLogLog.from_json(json.dumps({
            "version": version, "registers": registers, "precision": precision,
            "count": count, "seed": seed}))
    return HyperLogLog.from_bytes(wrap(payload(registers, precision, count, seed, version), **HL))


def observe(registers, p, h):
    w = (h << p) & MASK
    rank = 65 - p if w == 0 else 64 - w.bit_length() + 1
    j = h >> (64 - p)
    registers[j] = max(registers[j], rank)


def reference_estimate(registers):
    m = len(registers)
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1 + 1.079 / m))
    s = 0.0
    for r in registers:
        s += 2.0 ** -r
    e = alpha * m * m / s
    if e <= 2.5 * m:
        zeros = registers.count(0)
        return m * math.log(m / zeros) if zeros else e
    if e > 2.0 ** 64 / 30:
        x = e * 2.0 ** -64
        return math.inf if x >= 1 else math.log1p(-x) * -(2.0 ** 64)
    return e


def _key(item):
    if isinstance(item, str):
        return item.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode()
    return bytes(item)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("p", [4, 5, 6, 7, 14, 18])
def test_fresh_counter(p):
    h = HyperLogLog(p) if p != 14 else HyperLogLog()
    m = 1 << p
    assert (h.precision, h.seed, h.size_in_bytes) == (p, 0, m)
    assert h.standard_error == 1.04 / math.sqrt(m)
    assert h.relative_error() == 1.04 / math.sqrt(m) * 100.0
    assert h.cardinality() == h.query() == h.estimate == 0.0 and len(h) == 0
    assert h.confidence_interval() == (0.0, 0.0)
    assert repr(h) == f"HyperLogLog(precision={p}, cardinality=0, memory={m}B)"
    assert state(h) == ([0] * m, p, 0, 0)


def test_published_error_figures():
    assert (HyperLogLog().standard_error, HyperLogLog().relative_error()) == (0.008125, 0.8125)
    assert HyperLogLog(4).relative_error() == 26.0


@pytest.mark.parametrize("args, exc, msg", [
    ((3,), ValueError, "^precision must be between 4 and 18$"),
    ((19,), ValueError, "^precision must be between 4 and 18$"),
    ((0,), ValueError, "^precision must be between 4 and 18$"),
    ((255,), ValueError, "^precision must be between 4 and 18$"),
    ((256,), OverflowError, "^out of range integral type conversion attempted$"),
    ((-1,), OverflowError, "^out of range integral type conversion attempted$"),
    ((256, -1), OverflowError, "^out of range integral type conversion attempted$"),
    ((19, -1), OverflowError, "."),
    ((14, 2**64), OverflowError, "."),
    ((14.0,), TypeError, "^argument 'precision': "),
    ((14, "1"), TypeError, "^argument 'seed': "),
    ((14, 0, 1), TypeError, r"^HyperLogLog\.__new__\(\) takes from 0 to 2 positional arguments but 3 were given$"),
])
def test_constructor_errors(args, exc, msg):
    with pytest.raises(exc, match=msg):
        HyperLogLog(*args)


def test_keywords_and_seed_range():
    h = HyperLogLog(seed=MASK, precision=6)
    assert (h.precision, h.seed) == (6, MASK)


@pytest.mark.parametrize("name", ["estimate", "precision", "size_in_bytes", "seed", "standard_error"])
def test_properties_are_read_only(name):
    with pytest.raises(AttributeError):
        setattr(HyperLogLog(4), name, 1)


# ---------------------------------------------------------------- adding

@pytest.mark.parametrize("p, expected", [(14, 1.0000305188197178), (4, 1.0326163382011386)])
def test_estimate_after_one_add(p, expected):
    h = HyperLogLog(p)
    h.add("hello")
    assert h.cardinality() == expected and len(h) == 1
    regs, *_ = state(h)
    model = [0] * (1 << p)
    observe(model, p, xxh(b"hello", 0))
    assert regs == model


@pytest.mark.parametrize("p", [4, 10, 18])
@pytest.mark.parametrize("seed", [0, 7, MASK])
def test_caller_hash_selects_register_and_rank(p, seed):
    top = (1 << p) - 1
    h = HyperLogLog(p, seed)
    h.add_hash(caller_hash_for(top << (64 - p) | 1 << (63 - p), seed))  # rank 1
    h.add_hash(caller_hash_for(top << (64 - p) | 1, seed))              # rank 64 - p
    h.add_hash(caller_hash_for(3 << (64 - p), seed))                    # rest all zero: capped
    h.add_hash(caller_hash_for(3 << (64 - p) | 1 << 20, seed))          # smaller, ignored
    regs, _, count, _ = state(h)
    expected = [0] * (1 << p)
    expected[top], expected[3] = 64 - p, 65 - p
    assert regs == expected and count == 4


def test_low_bits_share_a_register():
    h = HyperLogLog(8)
    for low in (1 << 40, 1 << 30, 12345):
        h.add_hash(caller_hash_for(0xAB << 56 | low))
    regs, *_ = state(h)
    # 12345 has 14 significant bits out of the 56 left: rank 56 - 14 + 1.
    assert [i for i, r in enumerate(regs) if r] == [0xAB] and regs[0xAB] == 43


def test_duplicates_only_grow_the_count():
    h = HyperLogLog(10)
    h.add("x")
    before = state(h)[0], h.cardinality()
    h.add("x")
    h.add(b"x")
    h.update(["x", bytearray(b"x")])
    assert (state(h)[0], h.cardinality()) == before and state(h)[2] == 5


@pytest.mark.parametrize("make", [
    lambda: "abc", lambda: ["a", "b", "c"], lambda: (c for c in "abc"), lambda: [b"a", [98], "c"],
])
@pytest.mark.parametrize("method", ["update", "update_many"])
def test_batches_equal_single_adds(make, method):
    single = HyperLogLog(6)
    for c in "abc":
        single.add(c)
    batch = HyperLogLog(6)
    assert getattr(batch, method)(make()) is None
    assert batch.to_bytes() == single.to_bytes()


def test_hash_batch_equals_single_adds():
    hashes = [0, 1, MASK, 2**63, 99] * 20
    single, batch = HyperLogLog(5, 3), HyperLogLog(5, 3)
    for x in hashes:
        single.add_hash(x)
    batch.update_hashes(hashes)
    assert batch.to_bytes() == single.to_bytes() and state(batch)[2] == 100


class BadStr:
    def __str__(self):
        raise KeyError("no")


def _failing():
    yield "a"
    raise ZeroDivisionError


@pytest.mark.parametrize("method, arg, exc", [
    ("update", ["ok", BadStr()], KeyError),
    ("update_many", ["ok", BadStr()], KeyError),
    ("update", _failing, ZeroDivisionError),
    ("update", 5, TypeError),
    ("update", [], None),
    ("update_hashes", [], None),
    ("update_hashes", "12", TypeError),
    ("update_hashes", [1, -1], OverflowError),
    ("update_hashes", [1, 2**64], OverflowError),
    ("update_hashes", [1, 1.0], TypeError),
    ("update_hashes", iter([1]), TypeError),
    ("add", BadStr(), KeyError),
    ("add_hash", -1, OverflowError),
])
def test_failed_or_empty_calls_change_nothing(method, arg, exc):
    h = HyperLogLog(6)
    h.add("before")
    snapshot = h.to_bytes()
    arg = arg() if callable(arg) else arg
    if exc is None:
        assert getattr(h, method)(arg) is None
    else:
        with pytest.raises(exc):
            getattr(h, method)(arg)
    assert h.to_bytes() == snapshot


# ---------------------------------------------------------------- estimate

def _regs(p, fill):
    rng = random.Random(p * 1000 + len(str(fill)))
    return [fill(rng, i) for i in range(1 << p)]


ESTIMATE_CASES = {
    "one register": (4, lambda r, i: 1 if i == 0 else 0),
    "no zeros, small E": (4, lambda r, i: 1),                 # E < 2.5m yet no linear counting
    "no zeros, mixed": (8, lambda r, i: r.randint(1, 3)),
    "half zeros": (10, lambda r, i: r.choice([0, 1, 2, 5])),
    "raw range": (12, lambda r, i: r.randint(3, 12)),
    "large range": (4, lambda r, i: 56),
    "large range mixed": (5, lambda r, i: r.randint(55, 60)),
    "infinite": (4, lambda r, i: 61),
    "max ranks p18": (18, lambda r, i: 47),
    "unrounded sum": (14, lambda r, i: 51 if i % 1000 == 7 else r.randint(2, 20)),
}


@pytest.mark.parametrize("name", ESTIMATE_CASES)
def test_estimate_matches_reference(name):
    p, fill = ESTIMATE_CASES[name]
    regs = _regs(p, fill)
    h = record(regs, p)
    e = reference_estimate(regs)
    assert h.cardinality() == h.estimate == h.query() == e
    assert repr(h) == f"HyperLogLog(precision={p}, cardinality={e:.0f}, memory={1 << p}B)"
    if e < 2**63:
        assert len(h) == math.floor(e + 0.5)
    else:
        with pytest.raises(OverflowError):
            len(h)


def test_register_sum_keeps_index_order_rounding():
    # Half the registers at rank 1, then half at 51: each tiny term is lost
    # against the running sum, while an exact sum would keep them.
    regs = [1] * 8192 + [51] * 8192
    exact = math.fsum(2.0 ** -r for r in regs)
    assert sum(2.0 ** -r for r in regs) != exact
    assert record(regs, 14).cardinality() == reference_estimate(regs)
    assert record(regs[::-1], 14).cardinality() == reference_estimate(regs[::-1])


def test_infinite_estimate():
    h = record([61] * 16, 4)
    assert h.cardinality() == math.inf and "cardinality=inf," in repr(h)
    assert h.confidence_interval() == (0.0, math.inf)


# ---------------------------------------------------------------- confidence interval

@pytest.mark.parametrize("level", sorted(Z))
@pytest.mark.parametrize("p, n", [(4, 3), (10, 500), (14, 20000)])
def test_confidence_interval(level, p, n):
    h = HyperLogLog(p)
    h.update(range(n))
    e = h.cardinality()
    margin = 1.04 / math.sqrt(1 << p) * Z[level] * e
    expected = (max(e - margin, 0.0), e + margin)
    assert h.confidence_interval(level) == expected
    assert h.confidence_interval(confidence=math.nextafter(level, 2)) == expected
    assert h.confidence_interval(math.nextafter(level, 0)) == expected


@pytest.mark.parametrize("confidence", [0.85, 0.5, 0.95 + 2.3e-16, 0.9500001, 95, 1.0, 0.0, math.nan, math.inf])
def test_confidence_outside_table(confidence):
    with pytest.raises(ValueError, match=INTERVAL_MSG):
        HyperLogLog(4).confidence_interval(confidence)


def test_confidence_argument_types():
    class Level:
        def __float__(self):
            return 0.9

    assert HyperLogLog(4).confidence_interval(Level()) == (0.0, 0.0)
    with pytest.raises(TypeError, match="^argument 'confidence': "):
        HyperLogLog(4).confidence_interval("0.95")


# ---------------------------------------------------------------- merge

def _filled(p=8, seed=0, items=()):
    h = HyperLogLog(p, seed)
    h.update(items)
    return h


def test_merge_equals_adding_everything():
    a_items = [f"a{i}" for i in range(300)]
    b_items = [f"b{i}" for i in range(200)]
    a, b = _filled(items=a_items), _filled(items=b_items)
    together = _filled(items=a_items + b_items)
    b_before = b.to_bytes()
    union = a | b
    assert union.to_bytes() == together.to_bytes() and state(union)[2] == 500
    alias = a
    a |= b
    assert a is alias and a.to_bytes() == union.to_bytes()
    c = _filled(items=a_items)
    assert c.merge(b) is None and c.to_bytes() == union.to_bytes()
    assert b.to_bytes() == b_before


def test_merge_saturates_count():
    a = record([0, 5] * 8, 4, count=MASK - 1)
    a.merge(record([1] * 16, 4, count=5))
    assert state(a)[:3] == ([1, 5] * 8, 4, MASK)
    a.add("x")
    a.update_hashes([1, 2])
    assert state(a)[2] == MASK


@pytest.mark.parametrize("kw_a, kw_b, msg", [
    ({"precision": 10, "seed": 1}, {"precision": 12, "seed": 2}, "precision mismatch (10 vs 12)"),
    ({"precision": 12}, {"precision": 4}, "precision mismatch (12 vs 4)"),
    ({"precision": 10, "seed": 1}, {"precision": 10, "seed": 2}, "seed mismatch (1 vs 2)"),
    ({"seed": MASK}, {}, f"seed mismatch ({MASK} vs 0)"),
])
def test_merge_mismatches(kw_a, kw_b, msg):
    a, b = HyperLogLog(**{"precision": 6, **kw_a}), HyperLogLog(**{"precision": 6, **kw_b})
    a.add("x")
    b.add("y")
    before = a.to_bytes()

    def ior():
        x = a
        x |= b

    for op in (lambda: a.merge(b), ior, lambda: a | b):
        with pytest.raises(ValueError) as e:
            op()
        assert str(e.value) == "Cannot merge: " + msg
    assert a.to_bytes() == before


def test_self_union_and_foreign_operands():
    a = _filled(items=["x", "y"])
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        a.merge(a)
    old = a
    a |= a  # falls back to a | a: a new counter, count doubled
    assert a is not old and state(a)[0] == state(old)[0] and state(a)[2] == 4
    for op in (lambda: a | 5, lambda: 5 | a):
        with pytest.raises(TypeError, match="unsupported operand"):
            op()
    with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be converted to 'HyperLogLog'$"):
        a.merge(5)


def test_copy_and_clear():
    h = _filled(p=7, seed=9, items=["a", "b", "c"])
    c = h.copy()
    assert type(c) is HyperLogLog and c is not h and c.to_bytes() == h.to_bytes()
    c.add("d")
    assert state(h)[2] == 3 and c.to_bytes() != h.to_bytes()
    assert h.clear() is None
    assert h.to_bytes() == HyperLogLog(7, 9).to_bytes() and state(c)[2] == 4


def test_accuracy_one_million_distinct():
    h = HyperLogLog(14)
    n = 1_000_000
    h.update(f"user-{i}" for i in range(n))
    assert abs(h.cardinality() - n) < 3 * h.standard_error * n
    low, high = h.confidence_interval(0.99)
    assert low < n < high


# ---------------------------------------------------------------- persistence

def test_binary_layout():
    data = HyperLogLog(4).to_bytes()
    assert len(data) == 63 and data == wrap(payload([0] * 16, 4), **HL)
    assert len(HyperLogLog().to_bytes()) == 16431
    h = record(list(range(16)), 4, count=MASK, seed=2**64 - 2)
    assert h.to_bytes() == wrap(payload(list(range(16)), 4, MASK, 2**64 - 2), **HL)


def test_json_layout():
    regs = "".join(f"    0{',' if i < 15 else ''}\n" for i in range(16))
    assert HyperLogLog(4).to_json() == (
        '{\n  "version": 2,\n  "registers": [\n' + regs + '  ],\n  "precision": 4,\n'
        '  "count": 0,\n  "seed": 0\n}')
    h = record([61] + [0] * 15, 4, count=MASK, seed=MASK)
    doc = json.loads(h.to_json())
    assert doc == {"version": 2, "registers": [61] + [0] * 15, "precision": 4,
                   "count": MASK, "seed": MASK}


def test_round_trips(tmp_path):
    h = HyperLogLog(11, seed=123)
    h.update(f"item{i}" for i in range(5000))
    h.add_hash(42)
    path = str(tmp_path / "h.hll")
    assert h.save(path) is None
    with open(path, "rb") as f:
        assert f.read() == h.to_bytes()
    for other in (HyperLogLog.from_bytes(h.to_bytes()), HyperLogLog.from_json(h.to_json()),
                  HyperLogLog.load(path), HyperLogLog.from_bytes(bytearray(h.to_bytes()))):
        assert state(other) == state(h) and other.cardinality() == h.cardinality()
        before = other.to_bytes()
        other.merge(h)
        assert state(other)[0] == state(h)[0] and before != other.to_bytes()  # count grew


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("regs, p, version, msg", [
    ([0] * 16, 4, 1, "Unsupported HyperLogLog data version"),
    ([0] * 16, 4, 3, "Unsupported HyperLogLog data version"),
    ([0] * 8, 3, 1, "Unsupported HyperLogLog data version"),
    ([0] * 8, 3, 2, "Invalid HyperLogLog: precision must be between 4 and 18"),
    ([], 19, 2, "Invalid HyperLogLog: precision must be between 4 and 18"),
    ([70] * 16, 0, 2, "Invalid HyperLogLog: precision must be between 4 and 18"),
    ([0] * 15, 4, 2, "Invalid HyperLogLog: register count does not match precision"),
    ([99] * 17, 4, 2, "Invalid HyperLogLog: register count does not match precision"),
    ([], 4, 2, "Invalid HyperLogLog: register count does not match precision"),
    ([0] * 15 + [62], 4, 2, "Invalid HyperLogLog: register contains an impossible rank"),
    ([255] + [0] * 15, 4, 2, "Invalid HyperLogLog: register contains an impossible rank"),
    ([0] * 1023 + [56], 10, 2, "Invalid HyperLogLog: register contains an impossible rank"),
])
def test_validation(codec, regs, p, version, msg):
    with pytest.raises(ValueError) as e:
        record(regs, p, codec=codec, version=version)
    assert str(e.value) == msg


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_accepts_highest_ranks_and_any_count(codec):
    h = record([61] * 15 + [0], 4, count=MASK, seed=5, codec=codec)
    h.add("more")
    assert state(h)[2] == MASK and h.seed == 5
    assert record([47] * (1 << 18), 18, codec=codec).precision == 18


def test_envelope_errors():
    good = HyperLogLog(4).to_bytes()
    cases = [
        (b"", "invalid Murk binary format"),
        (good[:20], "invalid Murk binary format"),
        (b"MKBF" + good[4:], "invalid Murk binary format"),
        (good[:4] + b"\x02" + good[5:], "unsupported binary format version: 2 (expected 1)"),
        (good + b"\x00", "binary payload length does not match header"),
        (good[:30] + bytes([good[30] ^ 1]) + good[31:], "binary payload checksum mismatch"),
        (wrap(b"", **HL), "Deserialization error: io error: unexpected end of file"),
        (wrap(payload([0] * 16, 4, version=9)[:-1], **HL),
         "Deserialization error: io error: unexpected end of file"),
    ]
    for data, msg in cases:
        with pytest.raises(ValueError) as e:
            HyperLogLog.from_bytes(data)
        assert str(e.value) == msg


def test_every_truncated_payload_is_refused():
    h = HyperLogLog(4, seed=77)
    h.update(["a", "b", "c"])
    body = h.to_bytes()[21:]
    for n in range(len(body)):
        with pytest.raises(ValueError, match="^Deserialization error: io error: unexpected end of file$"):
            HyperLogLog.from_bytes(wrap(body[:n], **HL))
    assert HyperLogLog.from_bytes(wrap(body + b"trailing", **HL)).to_bytes() == h.to_bytes()


@pytest.mark.parametrize("count", [2**40, 2**63, MASK])
def test_huge_declared_register_count_is_refused_cheaply(count):
    with pytest.raises(ValueError, match="^Deserialization error: io error: unexpected end of file$"):
        HyperLogLog.from_bytes(wrap(struct.pack("<BQ", 2, count) + bytes(40), **HL))


@pytest.mark.parametrize("text, fragment", [
    ('{"version": 2, "registers": [0], "precision": 4, "seed": 0}', "missing field `count`"),
    ('{"version": 2, "registers": [], "precision": 4, "count": 0, "seed": 0, "seed": 1}',
     "duplicate field `seed`"),
    ('{"version": 2, "registers": "0000", "precision": 4, "count": 0, "seed": 0}', ""),
    ('{"version": 2, "registers": [256], "precision": 4, "count": 0, "seed": 0}', "256"),
    ('{"version": 2, "registers": [-1], "precision": 4, "count": 0, "seed": 0}', "-1"),
    ('{"version": 2, "registers": [1.5], "precision": 4, "count": 0, "seed": 0}', ""),
    ('{"version": 2, "registers": [], "precision": 260, "count": 0, "seed": 0}', "260"),
    ('{"version": 2, "registers": [], "precision": 4, "count": 0, "seed": 18446744073709551616}', ""),
    ('[2, [], 4, 0]', "struct HyperLogLogData with 5 elements"),
    ('{"version": 2, ', ""),
    ('', ""),
])
def test_json_decoding_errors(text, fragment):
    with pytest.raises(ValueError, match="^Deserialization error: ") as e:
        HyperLogLog.from_json(text)
    assert fragment in str(e.value)


def test_json_accepts_any_order_extra_keys_and_array_form():
    h = _filled(p=4, seed=3, items=["q", "r"])
    doc = json.loads(h.to_json())
    shuffled = {"comment": {"nested": [1, 2]}, **dict(reversed(list(doc.items())))}
    assert HyperLogLog.from_json(json.dumps(shuffled)).to_bytes() == h.to_bytes()
    assert HyperLogLog.from_json(json.dumps(list(doc.values()))).to_bytes() == h.to_bytes()


@pytest.mark.parametrize("method, arg, msg", [
    ("from_bytes", "text", "^argument 'data': "),
    ("from_bytes", 5, "^argument 'data': "),
    ("from_json", b"{}", "^argument 'data': "),
    ("load", 5, "^argument 'path': "),
])
def test_loader_argument_types(method, arg, msg):
    with pytest.raises(TypeError, match=msg):
        getattr(HyperLogLog, method)(arg)


def test_file_errors(tmp_path):
    with pytest.raises(ValueError, match="^Cannot create file: "):
        HyperLogLog(4).save(str(tmp_path / "missing" / "x.hll"))
    with pytest.raises(ValueError, match="^Cannot open file: "):
        HyperLogLog.load(str(tmp_path / "absent.hll"))
    path = tmp_path / "json.hll"
    path.write_text(HyperLogLog(4).to_json())
    with pytest.raises(ValueError, match="^invalid Murk binary format$"):
        HyperLogLog.load(str(path))


def test_random_damage_never_crashes():
    rng = random.Random(5)
    h = _filled(p=5, seed=1, items=range(100))
    body = h.to_bytes()[21:]
    for _ in range(600):
        damaged = bytearray(body)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            loaded = HyperLogLog.from_bytes(wrap(bytes(damaged), **HL))
        except ValueError:
            continue
        regs, p, _, _ = state(loaded)
        assert len(regs) == 1 << p and max(regs) <= 65 - p
        assert loaded.cardinality() == reference_estimate(regs)


_items = st.one_of(st.binary(max_size=30), st.text(max_size=10))
_ops = st.lists(st.one_of(
    st.tuples(st.just("add"), _items),
    st.tuples(st.just("add_hash"), st.integers(0, MASK)),
    st.tuples(st.just("update"), st.lists(_items, max_size=6)),
    st.tuples(st.just("update_hashes"), st.lists(st.integers(0, MASK), max_size=6)),
    st.tuples(st.just("clear"), st.none()),
), max_size=20)


@settings(max_examples=150, deadline=None)
@given(p=st.integers(4, 9), seed=st.integers(0, MASK), ops=_ops)
def test_random_operations_follow_the_model_and_round_trip(p, seed, ops):
    h = HyperLogLog(p, seed)
    regs, count = [0] * (1 << p), 0
    for name, arg in ops:
        if name == "clear":
            h.clear()
            regs, count = [0] * (1 << p), 0
            continue
        getattr(h, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        for x in batch:
            observe(regs, p, mix(((seed ^ x) + G) & MASK) if "hash" in name else xxh(_key(x), seed))
        count += len(batch)
    assert state(h) == (regs, p, count, seed)
    assert h.cardinality() == reference_estimate(regs)
    data = h.to_bytes()
    assert HyperLogLog.from_bytes(data).to_bytes() == data
    assert HyperLogLog.from_json(h.to_json()).to_bytes() == data
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "h.hll")
        h.save(path)
        assert HyperLogLog.load(path).to_bytes() == data
