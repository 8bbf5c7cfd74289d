"""BloomFilter: construction, queries, set operations, statistics, persistence."""
import json
import math
import operator
import struct

import pytest
from hypothesis import given, settings, strategies as st

from _murk import BloomFilter
from conftest import (MASK, bits_json, bloom_json, body, damaged_loads, item_ops, key, pair, pair_from_hash,
                      positions, round_trips, set_bits, wrap)

FPR_MSG = "false_positive_rate must be between 0 and 1 (exclusive)"


def big():
    return BloomFilter(num_bits=1 << 16, num_hashes=5)


def record(bits, num_bits, num_hashes=1, count=0, seed=0, codec="json"):
    if codec == "json":
        return BloomFilter.from_json(bloom_json(bits, num_bits, num_hashes, count, seed))
    payload = struct.pack(f"<Q{len(bits)}QQIQQ", len(bits), *bits, num_bits, num_hashes,
                          count, seed)
    return BloomFilter.from_bytes(wrap(payload))


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("kwargs, msg", [
    ({"false_positive_rate": 0.5}, "Either expected_items or num_bits must be provided"),
    ({"expected_items": 0, "num_hashes": 0}, "expected_items must be positive"),
    ({"expected_items": 0, "num_bits": 100}, "expected_items must be positive"),
    ({"num_bits": 0, "expected_items": 0, "num_hashes": 0}, "num_bits must be positive"),
    ({"expected_items": 10, "num_hashes": 0}, "num_hashes must be positive"),
    # the rate is checked before anything else
    *[({"false_positive_rate": p, **kw}, FPR_MSG) for p in (1.0, 0.0, -0.5, float("nan"))
      for kw in ({}, {"num_bits": 0}, {"expected_items": 0, "num_hashes": 0})],
])
def test_constructor_errors_in_order(kwargs, msg):
    with pytest.raises(ValueError) as e:
        BloomFilter(**kwargs)
    assert str(e.value) == msg


@pytest.mark.parametrize("kwargs, m, k", [
    ({"expected_items": 10000}, 95851, 7),
    ({"expected_items": 100, "false_positive_rate": 0.001}, 1438, 10),
    ({"expected_items": 1, "false_positive_rate": 0.5}, 2, 1),
    ({"num_bits": 1000}, 1000, 7),
    ({"num_bits": 5}, 5, 3),
    ({"num_bits": 1}, 1, 1),
    ({"expected_items": 1000, "num_bits": 64}, 64, 1),
    ({"expected_items": 0, "num_bits": 100, "num_hashes": 3}, 100, 3),
    ({"num_bits": 65, "num_hashes": 2**32 - 1, "seed": MASK}, 65, 2**32 - 1),
])
def test_sizing(kwargs, m, k):
    bf = BloomFilter(**kwargs)
    assert (bf.num_bits, bf.num_hashes, bf.seed) == (m, k, kwargs.get("seed", 0))
    assert bf.size_in_bytes == 8 * ((m + 63) // 64)


# ---------------------------------------------------------------- insert and query

def test_query_paths():
    bf = big()
    assert bf.add("hello") is None and bf.add_hash(12345) is None
    assert bf.contains("hello") and bf.query(b"hello") and "hello" in bf
    assert not bf.contains("absent") and "absent" not in bf
    assert bf.contains_hash(12345) and not bf.contains(12345) and not bf.contains_hash(54321)
    assert bf.query_many(["hello", "absent", b"hello"]) == [True, False, True]
    assert bf.query_hashes([12345, 1, 12345]) == [True, False, True]


def _failing_gen():
    yield "a"
    raise ZeroDivisionError


@pytest.mark.parametrize("method, arg, exc", [
    ("update", _failing_gen, ZeroDivisionError), ("update", 5, TypeError),
    ("update_hashes", "123", TypeError), ("update_hashes", [1, -1], OverflowError),
    ("update_hashes", [1, 2**64], OverflowError), ("update_hashes", [1, "x"], TypeError),
])
def test_failing_batch_changes_nothing(method, arg, exc):
    bf = big()
    bf.add("seed item")
    before = bf.to_bytes()
    with pytest.raises(exc):
        getattr(bf, method)(arg() if callable(arg) else arg)
    assert bf.to_bytes() == before


# ---------------------------------------------------------------- merge and intersection

def _pair_of_filters(**kw):
    a, b = BloomFilter(num_bits=500, num_hashes=3, **kw), BloomFilter(num_bits=500, num_hashes=3, **kw)
    a.update([f"a{i}" for i in range(30)])
    b.update([f"b{i}" for i in range(20)])
    return a, b


def test_union_sums_counts_and_intersection_zeroes_them():
    a, b = _pair_of_filters(seed=4)
    before = a.to_bytes(), b.to_bytes()
    for c in (a & b, a.intersection(b)):
        assert set_bits(c) == set_bits(a) & set_bits(b) and len(c) == 0
        assert (c.num_bits, c.num_hashes, c.seed) == (500, 3, 4)
    c = a | b
    assert (a.to_bytes(), b.to_bytes()) == before
    assert len(c) == 50 and set_bits(c) == set_bits(a) | set_bits(b)
    alias = a
    a |= b
    assert a is alias and a.to_bytes() == c.to_bytes()
    d, _ = _pair_of_filters(seed=4)
    assert d.merge(b) is None and d.to_bytes() == c.to_bytes() and b.to_bytes() == before[1]


def test_count_saturates_and_len_overflows():
    a = BloomFilter.from_json(bloom_json([0], 64, count=2**63 - 2))
    a.add("more")
    assert len(a) == 2**63 - 1
    a.merge(BloomFilter.from_json(bloom_json([1], 64, count=MASK - 5)))
    a.add("more")
    assert json.loads(a.to_json())["count"] == MASK and f"count={MASK}," in repr(a)
    with pytest.raises(OverflowError):
        len(a)


def test_operators_return_not_implemented_for_foreign_operands():
    class Other:
        __ror__ = __rand__ = lambda self, other: "reflected"

    bf = x = BloomFilter(num_bits=64)
    x |= Other()
    assert (bf | Other(), bf & Other(), x) == ("reflected",) * 3
    for op in (lambda: bf | 5, lambda: bf & "x", lambda: 5 | bf, lambda: operator.ior(bf, 5)):
        with pytest.raises(TypeError, match="unsupported operand"):
            op()


# ---------------------------------------------------------------- statistics

def test_fresh_and_saturated_filters():
    assert math.copysign(1, BloomFilter(num_bits=1000).estimate_count()) == -1  # -0.0
    bf = BloomFilter(num_bits=1, num_hashes=5)
    bf.add("anything")
    assert (bf.bit_count(), bf.fill_ratio(), bf.false_positive_rate) == (1, 1.0, 1.0)
    assert bf.estimate_count() == math.inf and bf.health() == "saturated" and bf.is_saturated()


@pytest.mark.parametrize("ones, k, health", [
    (0, 7, "healthy"), (1, 1, "healthy"), (37, 3, "healthy"), (64, 2, "healthy"),
    (65, 2, "warning"), (79, 4, "warning"), (80, 1, "saturated"), (99, 7, "saturated")])
def test_statistics_from_known_bits(ones, k, health):
    bf = BloomFilter.from_json(bits_json(100, range(100 - ones, 100), num_hashes=k, count=9))
    fill = ones / 100
    assert bf.bit_count() == ones and bf.fill_ratio() == fill
    assert bf.false_positive_rate == pytest.approx(fill ** k, rel=1e-12)
    assert bf.estimate_count() == pytest.approx(-(100 / k) * math.log(1 - fill), rel=1e-12)
    assert (bf.health(), bf.is_saturated()) == (health, health == "saturated")
    assert repr(bf) == f"BloomFilter(num_bits=100, num_hashes={k}, count=9, fpr={fill ** k:.4f})"


# ---------------------------------------------------------------- persistence

def test_binary_sizes_and_layout():
    assert len(BloomFilter(expected_items=10000).to_bytes()) == 12041
    bf = BloomFilter.from_json(bloom_json([MASK, 5, 1], 130, 3, 7, 2**64 - 2))
    assert bf.to_bytes() == wrap(struct.pack("<4QQIQQ", 3, MASK, 5, 1, 130, 3, 7, 2**64 - 2))


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("bits, num_bits, k, msg", [
    ([], 0, 0, "num_bits must be positive"),
    ([0, 1 << 36], 100, 0, "num_hashes must be positive"),
    *[(bits, num_bits, 1, "bit array length does not match num_bits")
      for bits, num_bits in [([0], 100), ([0, 0, 0], 100), ([0], MASK)]],
    *[(bits, num_bits, 1, "padding bits must be zero")
      for bits, num_bits in [([0, 1 << 36], 100), ([0, 1 << 63], 100), ([2], 1)]],
])
def test_validation(codec, bits, num_bits, k, msg):
    with pytest.raises(ValueError) as e:
        record(bits, num_bits, k, codec=codec)
    assert str(e.value) == msg


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_accepts_any_count_and_seed_and_full_words(codec):
    bf = record([0, (1 << 36) - 1], 100, 2, count=12345, seed=MASK, codec=codec)
    assert (bf.bit_count(), len(bf), bf.seed) == (36, 12345, MASK)
    full = record([MASK, MASK], 128, 1, codec=codec)
    assert full.fill_ratio() == 1.0 and full.estimate_count() == math.inf


def test_a_huge_declared_word_count_is_refused_without_allocating():
    for count in (2**40, MASK):
        with pytest.raises(ValueError, match="^Deserialization error: "):
            BloomFilter.from_bytes(wrap(struct.pack("<QQ", count, 0)))


def test_random_damage_is_refused_or_loads_consistently():
    bf = BloomFilter(num_bits=150, num_hashes=2, seed=3)
    bf.update(range(20))
    for loaded in damaged_loads(BloomFilter, body(bf), b"MKBF", 2024, 500):
        again = loaded.to_bytes()
        assert BloomFilter.from_bytes(again).to_bytes() == again
        assert max(set_bits(loaded), default=-1) < loaded.num_bits


@settings(max_examples=150, deadline=None)
@given(m=st.integers(1, 400), k=st.integers(1, 18), seed=st.integers(0, MASK),
       ops=item_ops(st.one_of(st.binary(max_size=40), st.text(max_size=12))))
def test_random_operations_follow_the_model_and_round_trip(m, k, seed, ops):
    bf = BloomFilter(num_bits=m, num_hashes=k, seed=seed)
    expected, count = set(), 0
    for name, arg in ops:
        getattr(bf, name)(arg)
        batch = arg if name.startswith("update") else [arg]
        for x in batch:
            h = pair_from_hash(x, seed) if "hash" in name else pair(key(x), seed)
            expected |= positions(*h, k, m)
        count += len(batch)
    assert set_bits(bf) == expected and len(bf) == count
    probes = [b"probe", "x", b"", *(a for n, a in ops if n == "add")]
    assert bf.query_many(probes) == [positions(*pair(key(x), seed), k, m) <= expected for x in probes]
    round_trips(bf)
