"""MinHash: slot hashing, similarity, intervals, merging and persistence."""
import json
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import MinHash
from conftest import EOF_MSG, G, MASK, Z, damaged_loads, item_ops, key, mix, round_trips, wrap, xxh


def model(n, seed, keys=(), hashes=(), sig=None):
    seeds = [(seed + i * G) & MASK for i in range(n)]
    sig = list(sig) if sig else [MASK] * n
    for k in keys:
        sig = [min(v, xxh(k, s)) for v, s in zip(sig, seeds)]
    for x in hashes:
        sig = [min(v, mix(((s ^ x) + G) & MASK)) for v, s in zip(sig, seeds)]
    return sig


def payload(sig, n=None, seed=0, version=2):
    n = len(sig) if n is None else n
    return struct.pack(f"<BQ{len(sig)}QQQ", version, len(sig), *sig, n, seed)


def mh(body):
    return wrap(body, b"MKMH", 1)


def record(sig, n=None, seed=0, version=2, codec="json"):
    n = len(sig) if n is None else n
    if codec == "json":
        return MinHash.from_json(json.dumps({"version": version, "signature": sig, "num_hashes": n, "seed": seed}))
    return MinHash.from_bytes(mh(payload(sig, n, seed, version)))


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("n, seed", [(1, 0), (128, 0), (257, MASK)])
def test_fresh_signature(n, seed):
    m = MinHash(n, seed) if n != 128 else MinHash()
    assert (m.num_hashes, m.seed, m.size_in_bytes) == (n, seed, 8 * n)
    assert m.is_empty() and m.get_signature() == m.signature() == [MASK] * n
    assert m.standard_error() == 1.0 / math.sqrt(n) and len(m.to_bytes()) == 46 + 8 * n
    assert repr(m) == f"MinHash(num_hashes={n}, is_empty=true)"
    m.get_signature()[0] = 0  # a fresh list each time
    assert m.is_empty()


# ---------------------------------------------------------------- adding

@pytest.mark.parametrize("length", list(range(18)) + [128, 129, 240, 241, 1000])  # every XXH3 length path
@pytest.mark.parametrize("n, seed", [(3, 0), (300, 2**64 - G)])  # the second wraps slot 1 to seed 0
def test_item_slots_use_one_seeded_hash_each(length, n, seed):
    key = bytes((i * 7 + length) & 0xFF for i in range(length))
    m = MinHash(n, seed)
    m.add(key)
    assert m.get_signature() == model(n, seed, keys=[key])
    assert repr(m) == f"MinHash(num_hashes={n}, is_empty=false)"


# ---------------------------------------------------------------- similarity

@pytest.mark.parametrize("a, b, j", [
    ([MASK] * 4, [MASK] * 4, 1.0),  # untouched slots count as equal
    ([1, 2, 3, 4], [1, 0, 0, 0], 0.25),  # interval clamped at 0
    ([1, 2, 3, 4], [1, 2, 3, 0], 0.75),  # interval clamped at 1
    ([1, 2, 3, 4], [4, 3, 2, 1], 0.0), ([5] * 3, [5, 6, 6], 1 / 3),
])
@pytest.mark.parametrize("level", sorted(Z))
def test_jaccard_and_interval(a, b, j, level):
    x, y = record(a), record(b)
    assert x.jaccard(y) == y.jaccard(x) == x.query(other=y) == j
    half = Z[level] * math.sqrt(j * (1 - j) / len(a))
    expected = (max(j - half, 0.0), min(j + half, 1.0))
    assert x.jaccard_interval(y, level) == expected
    assert x.jaccard_interval(other=y, confidence=math.nextafter(level, 0)) == expected


# ---------------------------------------------------------------- merge, copy, clear

def test_merge_variants_keep_the_smaller_value_per_slot():
    a, b, c = record([1, 9, MASK, 4]), record([5, 2, 7, MASK]), record([0, 3, 3, 3])
    b_before, alias, union = b.to_bytes(), a, a | b
    a |= b
    assert union.signature() == a.signature() == [1, 2, 7, 4] and a is alias and union is not a
    assert c.merge(b) is None and c.signature() == [0, 2, 3, 3] and b.to_bytes() == b_before
    a |= a  # self-merge cannot borrow twice: falls back to a | a
    assert a is not alias and a.signature() == alias.signature()


# ---------------------------------------------------------------- persistence

def test_layouts():
    assert MinHash().to_bytes() == mh(payload([MASK] * 128)) and len(MinHash().to_bytes()) == 1070
    assert record([0, 5, MASK], seed=MASK - 1).to_bytes() == mh(payload([0, 5, MASK], 3, MASK - 1))


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("sig, n, version, msg", [
    ([MASK] * 2, 2, 1, "Unsupported MinHash data version"), ([], 0, 3, "Unsupported MinHash data version"),
    ([], 0, 2, "num_hashes must be positive"), ([1, 2, 3], 4, 2, "signature length does not match num_hashes"),
    ([], MASK, 2, "signature length does not match num_hashes"),
])
def test_validation(codec, sig, n, version, msg):
    with pytest.raises(ValueError) as e:
        record(sig, n, version=version, codec=codec)
    assert str(e.value) == msg


def test_any_slot_value_loads_and_a_huge_length_is_refused():
    assert record([0, MASK, 2**63], codec="bytes").signature() == [0, MASK, 2**63]
    with pytest.raises(ValueError, match=EOF_MSG):  # no huge allocation
        MinHash.from_bytes(mh(struct.pack("<BQ", 2, 2**61) + bytes(64)))


def test_random_damage_never_crashes():
    m = MinHash(6, seed=4)
    m.update(range(30))
    for loaded in damaged_loads(MinHash, m.to_bytes()[21:], b"MKMH", 11, 600):
        assert len(loaded.signature()) == loaded.num_hashes
        assert MinHash.from_bytes(loaded.to_bytes()).to_bytes() == loaded.to_bytes()


@settings(max_examples=120, deadline=None)
@given(n=st.integers(1, 40), seed=st.integers(0, MASK), ops=item_ops(
    st.one_of(st.binary(max_size=40), st.text(max_size=10)), st.integers(0, MASK), 5, 12,
    st.tuples(st.sampled_from(["clear", "merge"]), st.none())))
def test_random_operations_follow_the_model_and_round_trip(n, seed, ops):
    m, sig = MinHash(n, seed), [MASK] * n
    for name, arg in ops:
        if name == "clear":
            m.clear()
            sig = [MASK] * n
            continue
        if name == "merge":
            twin = m.copy()
            m.merge(twin)
            twin.clear()  # the copy shares nothing with the original
            continue
        getattr(m, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        hashed = "hash" in name
        sig = model(n, seed, keys=[] if hashed else map(key, batch), hashes=batch if hashed else [], sig=sig)
    assert m.signature() == sig and m.is_empty() == (sig == [MASK] * n)
    round_trips(m)
