"""The guarantees, measured: where theory gives a bound, many seeded trials
must meet it. Trials differ only by the structure's own seed over the same
items, so these also check that seeds give independent hash functions. The
seeds are fixed, so every run draws the same numbers; the margins leave room
for a few standard deviations of trial noise while catching a wrong estimator
or correlated hashes. bench/characterize.py draws the full curves."""
import math

import pytest

import murk

HLL_TRIALS = 400
MINHASH_TRIALS = 500
JACCARD = (0.2, 0.5, 0.8)


def words(prefix, n):
    return [f"{prefix}-{i}" for i in range(n)]


@pytest.mark.parametrize("precision, n", [(10, 20_000), (12, 40_000)])
def test_hyperloglog_error_matches_theory(precision, n):
    # n is far above the linear-counting range (2.5 m), where 1.04/sqrt(m) holds.
    items = words("user", n)
    rel = []
    for seed in range(HLL_TRIALS):
        h = murk.HyperLogLog(precision=precision, seed=seed)
        h.update(items)
        rel.append(h.cardinality() / n - 1.0)
    se = 1.04 / math.sqrt(2**precision)
    rse = math.sqrt(sum(r * r for r in rel) / len(rel))
    bias = sum(rel) / len(rel)
    assert abs(rse / se - 1.0) <= 0.10, (rse, se)
    # The mean of 400 trials has a spread of se/20; a quarter of se is far outside it.
    assert abs(bias) <= 0.25 * se, (bias, se)


@pytest.fixture(scope="module")
def absent_queries():
    return words("never-added", 1_000_000)


@pytest.mark.parametrize("cls, rate, seeds", [
    (murk.BloomFilter, 0.01, 1),
    (murk.CountingBloomFilter, 0.01, 1),
    (murk.BloomFilter, 0.001, 3),   # fewer false positives per query: more filters
])
def test_bloom_rate_at_design_capacity(cls, rate, seeds, absent_queries):
    capacity = 50_000
    items = words("member", capacity)
    hits = 0
    for seed in range(seeds):
        f = cls(expected_items=capacity, false_positive_rate=rate, seed=seed)
        f.update(items)
        assert all(f.query_many(items))
        hits += sum(f.query_many(absent_queries))
    measured = hits / (seeds * len(absent_queries))
    assert abs(measured / rate - 1.0) <= 0.10, measured


@pytest.fixture(scope="module")
def jaccard_intervals():
    """(true Jaccard, interval by confidence) for MINHASH_TRIALS seeds per JACCARD value."""
    union = 300
    items = words("shingle", union)
    out = []
    for target in JACCARD:
        shared = round(target * union)
        only_a = (union - shared) // 2
        a_items, b_items = items[: shared + only_a], items[:shared] + items[shared + only_a:]
        for seed in range(MINHASH_TRIALS):
            a, b = murk.MinHash(128, seed=seed), murk.MinHash(128, seed=seed)
            a.update(a_items)
            b.update(b_items)
            out.append((shared / union, {c: a.jaccard_interval(b, c) for c in (0.80, 0.90, 0.95, 0.99)}))
    return out


@pytest.mark.parametrize("confidence", [0.80, 0.90, 0.95, 0.99])
def test_minhash_interval_coverage(confidence, jaccard_intervals):
    covered = sum(lo <= truth <= hi for truth, by_conf in jaccard_intervals for lo, hi in [by_conf[confidence]])
    rate = covered / len(jaccard_intervals)
    # The normal interval on a 128-slot estimate misses its nominal level by
    # up to about 0.02 from discreteness; beyond that, three sigmas of noise.
    tolerance = 0.02 + 3 * math.sqrt(confidence * (1 - confidence) / len(jaccard_intervals))
    assert abs(rate - confidence) <= tolerance, rate
