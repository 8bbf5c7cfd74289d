"""MinHash: slot hashing, similarity, intervals, merging and persistence."""
import json
import math
import os
import random
import struct
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

from _murk import MinHash
from conftest import G, MASK, mix, wrap, xxh

MH = {"magic": b"MKMH", "version": 1}
INTERVAL_MSG = "^confidence must be one of 0.80, 0.90, 0.95, or 0.99$"
Z = {0.80: 1.281552, 0.90: 1.644854, 0.95: 1.959964, 0.99: 2.575829}


def slot_seeds(n, seed):
    return [(seed + i * G) & MASK for i in range(n)]


def model_keys(keys, n, seed, sig=None):
    sig = list(sig) if sig else [MASK] * n
    for key in keys:
        sig = [min(s, xxh(key, ss)) for s, ss in zip(sig, slot_seeds(n, seed))]
    return sig


def model_hashes(xs, n, seed, sig=None):
    sig = list(sig) if sig else [MASK] * n
    for x in xs:
        sig = [min(s, mix(((ss ^ x) + G) & MASK)) for s, ss in zip(sig, slot_seeds(n, seed))]
    return sig


def payload(sig, num_hashes=None, seed=0, version=2):
    num_hashes = len(sig) if num_hashes is None else num_hashes
    return struct.pack(f"<BQ{len(sig)}QQQ", version, len(sig), *sig, num_hashes, seed)


def record(sig, num_hashes=None, seed=0, version=2, codec="json"):
    num_hashes = len(sig) if num_hashes is None else num_hashes
    if codec == "json":
        return MinHash.from_json(json.dumps({"version": version, "signature": sig,
                                             "num_hashes": num_hashes, "seed": seed}))
    return MinHash.from_bytes(wrap(payload(sig, num_hashes, seed, version), **MH))


def _key(item):
    if isinstance(item, str):
        return item.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode()
    return bytes(item)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("n, seed", [(1, 0), (2, 5), (128, 0), (257, MASK), (600, 3)])
def test_fresh_signature(n, seed):
    m = MinHash(n, seed) if n != 128 else MinHash()
    assert (m.num_hashes, m.seed, m.size_in_bytes) == (n, seed, 8 * n)
    assert m.is_empty() and m.get_signature() == m.signature() == [MASK] * n
    assert m.standard_error() == 1.0 / math.sqrt(n)
    assert repr(m) == f"MinHash(num_hashes={n}, is_empty=true)"
    assert len(m.to_bytes()) == 21 + 25 + 8 * n


@pytest.mark.parametrize("args, exc, msg", [
    ((0,), ValueError, "^num_hashes must be positive$"),
    ((0, 7), ValueError, "^num_hashes must be positive$"),
    ((-1,), OverflowError, "."),
    ((2**64,), OverflowError, "."),
    ((0, -1), OverflowError, "."),
    ((1.5,), TypeError, "^argument 'num_hashes': "),
    ((4, "0"), TypeError, "^argument 'seed': "),
    ((2**59,), MemoryError, ""),
    ((2**62,), MemoryError, ""),
    ((MASK,), MemoryError, ""),
])
def test_constructor_errors(args, exc, msg):
    with pytest.raises(exc, match=msg or None):
        MinHash(*args)


@pytest.mark.parametrize("name", ["num_hashes", "size_in_bytes", "seed"])
def test_properties_are_read_only(name):
    with pytest.raises(AttributeError):
        setattr(MinHash(4), name, 1)


# ---------------------------------------------------------------- adding

KEY_LENGTHS = list(range(18)) + [128, 129, 240, 241, 1000]  # every short-key path


@pytest.mark.parametrize("length", KEY_LENGTHS)
@pytest.mark.parametrize("n, seed", [(3, 0), (300, 2**64 - G), (257, 12345)])
def test_item_slots_use_seeded_hash_per_slot(length, n, seed):
    key = bytes((i * 7 + length) & 0xFF for i in range(length))
    m = MinHash(n, seed)
    m.add(key)
    assert m.get_signature() == model_keys([key], n, seed)
    assert not m.is_empty() and repr(m) == f"MinHash(num_hashes={n}, is_empty=false)"


@pytest.mark.parametrize("n, seed", [(1, 0), (5, MASK), (256, 9), (513, 1)])
def test_caller_hashes_use_mixed_slot_seed(n, seed):
    xs = [0, 1, MASK, 2**63, 424242]
    single, batch = MinHash(n, seed), MinHash(n, seed)
    for x in xs:
        single.add_hash(x)
    batch.update_hashes(xs)
    assert single.signature() == batch.signature() == model_hashes(xs, n, seed)


@pytest.mark.parametrize("make", [
    lambda: "abc", lambda: ["a", "b", "c"], lambda: (c for c in "abc"),
    lambda: [b"a", bytearray(b"b"), [99]], lambda: {"a": 1, "b": 2, "c": 3},
])
@pytest.mark.parametrize("method", ["update", "update_many"])
def test_batches_equal_single_adds(make, method):
    single = MinHash(300, 4)
    for c in "abc":
        single.add(c)
    batch = MinHash(300, 4)
    assert getattr(batch, method)(make()) is None
    assert batch.signature() == single.signature() == model_keys([b"a", b"b", b"c"], 300, 4)


def test_equal_keys_give_equal_signatures_and_duplicates_change_nothing():
    a, b = MinHash(16), MinHash(16)
    a.add("a")
    b.add(b"a")
    assert a.signature() == b.signature()
    before = a.signature()
    a.update(["a", bytearray(b"a"), memoryview(b"a")])
    assert a.signature() == before


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
    ("update_hashes", (h for h in [1]), TypeError),
    ("add", BadStr(), KeyError),
    ("add_hash", 2**64, OverflowError),
    ("add_hash", "1", TypeError),
])
def test_failed_or_empty_calls_change_nothing(method, arg, exc):
    m = MinHash(8)
    m.add("before")
    snapshot = m.to_bytes()
    arg = arg() if callable(arg) else arg
    if exc is None:
        assert getattr(m, method)(arg) is None
    else:
        with pytest.raises(exc):
            getattr(m, method)(arg)
    assert m.to_bytes() == snapshot


def test_signature_lists_are_fresh_copies():
    m = MinHash(4)
    sig = m.get_signature()
    sig[0] = 0
    assert m.get_signature() == [MASK] * 4 and m.is_empty()


# ---------------------------------------------------------------- similarity

@pytest.mark.parametrize("a, b, expected", [
    ([MASK] * 4, [MASK] * 4, 1.0),                    # empty slots count as equal
    ([1, 2, 3, 4], [1, 2, 3, 4], 1.0),
    ([1, 2, 3, 4], [1, 2, 3, 5], 0.75),
    ([1, 2, 3, 4], [0, 2, 0, 0], 0.25),
    ([1, 2, 3, 4], [4, 3, 2, 1], 0.0),
    ([MASK, 7, MASK, 9], [MASK, 8, MASK, 0], 0.5),
    ([5] * 3, [5, 6, 6], 1 / 3),
])
def test_jaccard_counts_equal_slots(a, b, expected):
    x, y = record(a), record(b)
    assert x.jaccard(y) == y.jaccard(x) == x.query(other=y) == expected


@pytest.mark.parametrize("level", sorted(Z))
@pytest.mark.parametrize("a, b", [
    ([MASK] * 4, [MASK] * 4),     # j = 1: no spread
    ([1, 2, 3, 4], [1, 0, 0, 0]), # j = 0.25: lower bound clamped at 0
    ([1, 2, 3, 4], [1, 2, 3, 0]), # j = 0.75: upper bound clamped at 1
    ([1, 2, 3, 4], [0, 0, 0, 0]), # j = 0
    (list(range(100)), list(range(50)) + [0] * 50),
])
def test_jaccard_interval(level, a, b):
    x, y = record(a), record(b)
    j = x.jaccard(y)
    half = Z[level] * math.sqrt(j * (1 - j) / len(a))
    expected = (max(j - half, 0.0), min(j + half, 1.0))
    assert x.jaccard_interval(y, level) == expected
    assert x.jaccard_interval(other=y, confidence=math.nextafter(level, 0)) == expected
    low, high = expected
    assert 0.0 <= low <= j <= high <= 1.0


def test_fresh_and_filled():
    a, b = MinHash(), MinHash()
    assert a.jaccard(b) == 1.0 and a.jaccard_interval(b) == (1.0, 1.0)
    a.update(["x", "y"])
    assert a.jaccard(b) == 0.0 and a.jaccard(a) == 1.0


@pytest.mark.parametrize("confidence", [0.85, 0.5, 0.95 + 2.3e-16, 1.0, math.nan, 95])
def test_confidence_outside_table(confidence):
    with pytest.raises(ValueError, match=INTERVAL_MSG):
        MinHash(4).jaccard_interval(MinHash(4), confidence)
    with pytest.raises(TypeError, match="^argument 'confidence': "):
        MinHash(4).jaccard_interval(MinHash(4), "0.95")


@pytest.mark.parametrize("kw_a, kw_b, msg", [
    ({"num_hashes": 64}, {"num_hashes": 128}, "num_hashes mismatch (64 vs 128)"),
    ({"num_hashes": 64, "seed": 1}, {"num_hashes": 128, "seed": 2}, "num_hashes mismatch (64 vs 128)"),
    ({"seed": 1}, {"seed": 2}, "seed mismatch (1 vs 2)"),
    ({"seed": MASK}, {}, f"seed mismatch ({MASK} vs 0)"),
])
def test_mismatches(kw_a, kw_b, msg):
    a, b = MinHash(**{"num_hashes": 8, **kw_a}), MinHash(**{"num_hashes": 8, **kw_b})
    a.add("x")
    before = a.to_bytes()
    compare = [lambda: a.jaccard(b), lambda: a.query(b), lambda: a.jaccard_interval(b),
               lambda: a.jaccard_interval(b, 0.85)]  # compatibility before the confidence
    for op in compare:
        with pytest.raises(ValueError) as e:
            op()
        assert str(e.value) == "Cannot compare: " + msg

    def ior():
        x = a
        x |= b

    for op in (lambda: a.merge(b), lambda: a | b, ior):
        with pytest.raises(ValueError) as e:
            op()
        assert str(e.value) == "Cannot merge: " + msg
    assert a.to_bytes() == before


@pytest.mark.parametrize("method", ["jaccard", "query", "jaccard_interval", "merge"])
def test_other_must_be_a_minhash(method):
    with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be converted to 'MinHash'$"):
        getattr(MinHash(4), method)(5)


# ---------------------------------------------------------------- merge

def test_merge_is_the_union():
    a_items = [f"a{i}" for i in range(40)]
    b_items = [f"b{i}" for i in range(30)]
    a, b, both = MinHash(300, 8), MinHash(300, 8), MinHash(300, 8)
    a.update(a_items)
    b.update(b_items)
    both.update(a_items + b_items)
    b_before = b.signature()
    union = a | b
    assert union.signature() == both.signature() and union is not a
    alias = a
    a |= b
    assert a is alias and a.signature() == both.signature()
    c = MinHash(300, 8)
    c.update(a_items)
    assert c.merge(b) is None and c.signature() == both.signature()
    assert b.signature() == b_before


def test_self_union_and_foreign_operands():
    a = MinHash(8)
    a.add("x")
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        a.merge(a)
    old = a
    a |= a  # falls back to a | a
    assert a is not old and a.signature() == old.signature()
    for op in (lambda: a | 5, lambda: 5 | a):
        with pytest.raises(TypeError, match="unsupported operand"):
            op()


def test_copy_and_clear():
    m = MinHash(20, seed=3)
    m.update(["a", "b"])
    c = m.copy()
    assert type(c) is MinHash and c is not m and c.to_bytes() == m.to_bytes()
    c.add("zzz")
    assert c.signature() != m.signature()
    assert m.clear() is None
    assert m.to_bytes() == MinHash(20, seed=3).to_bytes() and not c.is_empty()


def test_accuracy_at_half_overlap():
    a, b = MinHash(256), MinHash(256)
    a.update(f"doc-{i}" for i in range(0, 3000))
    b.update(f"doc-{i}" for i in range(1000, 4000))  # |A & B| = 2000, |A | B| = 4000
    low, high = a.jaccard_interval(b, 0.99)
    assert low <= 0.5 <= high
    assert abs(a.jaccard(b) - 0.5) < 3 * a.standard_error()


# ---------------------------------------------------------------- persistence

def test_binary_layout():
    data = MinHash().to_bytes()
    assert len(data) == 1070 and data == wrap(payload([MASK] * 128), **MH)
    m = record([0, 5, MASK], seed=MASK - 1)
    assert m.to_bytes() == wrap(struct.pack("<BQ3QQQ", 2, 3, 0, 5, MASK, 3, MASK - 1), **MH)


def test_json_layout():
    assert MinHash(2).to_json() == (
        '{\n  "version": 2,\n  "signature": [\n    18446744073709551615,\n'
        '    18446744073709551615\n  ],\n  "num_hashes": 2,\n  "seed": 0\n}')


def test_round_trips(tmp_path):
    m = MinHash(200, seed=77)
    m.update(f"w{i}" for i in range(500))
    m.add_hash(5)
    path = str(tmp_path / "m.bin")
    assert m.save(path) is None
    with open(path, "rb") as f:
        assert f.read() == m.to_bytes()
    for other in (MinHash.from_bytes(m.to_bytes()), MinHash.from_json(m.to_json()), MinHash.load(path),
                  MinHash.from_bytes(list(m.to_bytes()))):
        assert (other.signature(), other.num_hashes, other.seed) == (m.signature(), 200, 77)
        assert other.jaccard(m) == 1.0


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("sig, n, version, msg", [
    ([MASK] * 2, 2, 1, "Unsupported MinHash data version"),
    ([MASK] * 2, 2, 3, "Unsupported MinHash data version"),
    ([], 0, 0, "Unsupported MinHash data version"),
    ([], 0, 2, "num_hashes must be positive"),
    ([1, 2], 0, 2, "num_hashes must be positive"),
    ([1, 2, 3], 4, 2, "signature length does not match num_hashes"),
    ([1, 2, 3], 2, 2, "signature length does not match num_hashes"),
    ([], MASK, 2, "signature length does not match num_hashes"),
])
def test_validation(codec, sig, n, version, msg):
    with pytest.raises(ValueError) as e:
        record(sig, n, version=version, codec=codec)
    assert str(e.value) == msg


def test_any_signature_value_loads():
    m = record([0, MASK, 2**63], seed=MASK, codec="bytes")
    assert m.signature() == [0, MASK, 2**63] and not m.is_empty()
    m.add_hash(1)
    assert m.signature()[0] == 0


def test_envelope_errors():
    good = MinHash(2).to_bytes()
    cases = [
        (b"", "invalid Murk binary format"),
        (b"MKHL" + good[4:], "invalid Murk binary format"),
        (good[:4] + b"\x02" + good[5:], "unsupported binary format version: 2 (expected 1)"),
        (good[:-1], "binary payload length does not match header"),
        (good[:25] + bytes([good[25] ^ 0x10]) + good[26:], "binary payload checksum mismatch"),
        (wrap(b"", **MH), "Deserialization error: io error: unexpected end of file"),
    ]
    for data, msg in cases:
        with pytest.raises(ValueError) as e:
            MinHash.from_bytes(data)
        assert str(e.value) == msg


def test_every_truncated_payload_is_refused():
    m = MinHash(5, seed=1)
    m.update(["p", "q"])
    body = m.to_bytes()[21:]
    for n in range(len(body)):
        with pytest.raises(ValueError, match="^Deserialization error: io error: unexpected end of file$"):
            MinHash.from_bytes(wrap(body[:n], **MH))
    assert MinHash.from_bytes(wrap(body + b"\x00" * 9, **MH)).to_bytes() == m.to_bytes()


@pytest.mark.parametrize("count", [2**40, 2**61, MASK])
def test_huge_declared_signature_is_refused_cheaply(count):
    with pytest.raises(ValueError, match="^Deserialization error: io error: unexpected end of file$"):
        MinHash.from_bytes(wrap(struct.pack("<BQ", 2, count) + bytes(64), **MH))


@pytest.mark.parametrize("text, fragment", [
    ('{"version": 2, "signature": [1], "num_hashes": 1}', "missing field `seed`"),
    ('{"version": 2, "signature": [1], "num_hashes": 1, "seed": 0, "version": 2}',
     "duplicate field `version`"),
    ('{"version": 256, "signature": [1], "num_hashes": 1, "seed": 0}', "256"),
    ('{"version": 2, "signature": [-1], "num_hashes": 1, "seed": 0}', "-1"),
    ('{"version": 2, "signature": [0.5], "num_hashes": 1, "seed": 0}', ""),
    ('{"version": 2, "signature": [18446744073709551616], "num_hashes": 1, "seed": 0}', ""),
    ('{"version": 2, "signature": "x", "num_hashes": 1, "seed": 0}', ""),
    ('[2, [1], 1]', "struct MinHashData with 4 elements"),
    ('{"version": 2', ""),
    ('null', ""),
])
def test_json_decoding_errors(text, fragment):
    with pytest.raises(ValueError, match="^Deserialization error: ") as e:
        MinHash.from_json(text)
    assert fragment in str(e.value)


def test_json_accepts_any_order_extra_keys_and_array_form():
    m = MinHash(3, seed=2**64 - 2)
    m.add("k")
    doc = json.loads(m.to_json())
    shuffled = {"comment": "made by hand", **dict(reversed(list(doc.items())))}
    assert MinHash.from_json(json.dumps(shuffled)).to_bytes() == m.to_bytes()
    assert MinHash.from_json(json.dumps(list(doc.values()))).to_bytes() == m.to_bytes()


@pytest.mark.parametrize("method, arg", [("from_bytes", "text"), ("from_bytes", 1.5),
                                         ("from_json", b"{}"), ("load", 5)])
def test_loader_argument_types(method, arg):
    with pytest.raises(TypeError, match="^argument '(data|path)': "):
        getattr(MinHash, method)(arg)


def test_file_errors(tmp_path):
    with pytest.raises(ValueError, match="^Cannot create file: "):
        MinHash(2).save(str(tmp_path / "missing" / "m.bin"))
    with pytest.raises(ValueError, match="^Cannot open file: "):
        MinHash.load(str(tmp_path / "absent.bin"))


def test_random_damage_never_crashes():
    rng = random.Random(11)
    m = MinHash(6, seed=4)
    m.update(range(30))
    body = m.to_bytes()[21:]
    for _ in range(600):
        damaged = bytearray(body)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            loaded = MinHash.from_bytes(wrap(bytes(damaged), **MH))
        except ValueError:
            continue
        assert len(loaded.signature()) == loaded.num_hashes
        assert MinHash.from_bytes(loaded.to_bytes()).to_bytes() == loaded.to_bytes()


_items = st.one_of(st.binary(max_size=40), st.text(max_size=10))
_ops = st.lists(st.one_of(
    st.tuples(st.just("add"), _items),
    st.tuples(st.just("add_hash"), st.integers(0, MASK)),
    st.tuples(st.just("update"), st.lists(_items, max_size=5)),
    st.tuples(st.just("update_hashes"), st.lists(st.integers(0, MASK), max_size=5)),
    st.tuples(st.just("clear"), st.none()),
), max_size=12)


@settings(max_examples=120, deadline=None)
@given(n=st.integers(1, 40), seed=st.integers(0, MASK), ops=_ops)
def test_random_operations_follow_the_model_and_round_trip(n, seed, ops):
    m = MinHash(n, seed)
    sig = [MASK] * n
    for name, arg in ops:
        if name == "clear":
            m.clear()
            sig = [MASK] * n
            continue
        getattr(m, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        if "hash" in name:
            sig = model_hashes(batch, n, seed, sig)
        else:
            sig = model_keys([_key(x) for x in batch], n, seed, sig)
    assert m.signature() == sig and m.is_empty() == (sig == [MASK] * n)
    data = m.to_bytes()
    assert MinHash.from_bytes(data).to_bytes() == data
    assert MinHash.from_json(m.to_json()).to_bytes() == data
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "m.bin")
        m.save(path)
        assert MinHash.load(path).to_bytes() == data
