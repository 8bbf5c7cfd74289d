import json
import math
from fractions import Fraction

import numpy as np
import pytest

from conftest import body, damaged_loads, murk_command, round_trips
from murk import DDSketch


def stream(name, n=3000, seed=5):
    rng = np.random.default_rng(seed)
    if name == "pareto":
        return rng.pareto(1.1, n) + 1.0
    if name == "lognormal":
        return rng.lognormal(0.0, 3.0, n)
    if name == "mixed":  # negatives, zeros and positives over many decades
        v = rng.lognormal(0.0, 4.0, n) * rng.choice([-1.0, 1.0], n)
        v[rng.random(n) < 0.1] = 0.0
        return v
    if name == "tiny":  # normal and subnormal magnitudes
        return np.concatenate([10.0 ** rng.uniform(-307, -290, n - 20), rng.integers(1, 10**6, 20) * 5e-324])
    if name == "huge":
        return -(10.0 ** rng.uniform(290, 308, n))
    if name == "integers":
        return rng.integers(-1000, 1000, n).astype(np.float64)
    raise ValueError(name)


STREAMS = ["pareto", "lognormal", "mixed", "tiny", "huge", "integers"]


def exact_quantiles(values, qs):
    """The smallest value whose inclusive rank is at least q."""
    ordered = np.sort(values)
    k = np.maximum(np.ceil(np.asarray(qs) * len(ordered)).astype(int), 1)
    return ordered[k - 1]


def assert_within(sketch, values, qs):
    answers = np.asarray(sketch.quantiles(qs))
    truth = exact_quantiles(values, qs)
    # A few ulps for the logarithm and exponential; subnormals round absolutely.
    slack = sketch.relative_accuracy * np.abs(truth) * (1 + 1e-9) + 1e-323
    bad = np.abs(answers - truth) > slack
    assert not bad.any(), list(zip(np.asarray(qs)[bad][:5], answers[bad][:5], truth[bad][:5]))


def all_ranks(n):
    return np.concatenate([np.linspace(0, 1, 1001), np.arange(1, n + 1) / n])


@pytest.mark.parametrize("name", STREAMS)
@pytest.mark.parametrize("alpha", [0.01, 0.05, 1e-4])
def test_relative_bound_at_every_rank(name, alpha):
    values = stream(name)
    s = DDSketch(relative_accuracy=alpha, max_buckets=2**20)
    s.update_array(values)
    assert s.collapsed == 0 and s.collapsed_ranks == []
    assert_within(s, values, all_ranks(len(values)))
    assert (s.min, s.max, s.n) == (values.min(), values.max(), len(values))
    assert s.sum == rounded_sum(values)


def rounded_sum(values):
    exact = sum(map(Fraction, values.tolist()))
    try:
        return float(exact)  # correctly rounded
    except OverflowError:
        return math.inf if exact > 0 else -math.inf


def folded(keys, max_buckets):
    """How many keys end in a store's collapsed bucket (0 when none folded)."""
    floor = max(keys) - max_buckets + 1
    return sum(k <= floor for k in keys) if min(keys) < floor else 0


@pytest.mark.parametrize("max_buckets", [1, 10, 200])
def test_collapse_keeps_the_high_tail(max_buckets):
    values, alpha = stream("mixed", seed=max_buckets), 0.02
    s = DDSketch(relative_accuracy=alpha, max_buckets=max_buckets)
    s.update(values.tolist())
    inv = 1.0 / math.log1p(2 * alpha / (1 - alpha))
    pos = folded([math.ceil(math.log(x) * inv) for x in values if x > 0], max_buckets)
    # Negative values are keyed by minus their magnitude's index: the most negative fold.
    neg = folded([-math.ceil(math.log(-x) * inv) for x in values if x < 0], max_buckets)
    assert pos > 0 and neg > 0 and s.collapsed == pos + neg
    n, below = len(values), int((values <= 0).sum())
    assert s.collapsed_ranks == [pytest.approx((0, neg / n)), pytest.approx((below / n, (below + pos) / n))]
    qs = all_ranks(n)
    keep = np.ones(len(qs), bool)
    for low, high in s.collapsed_ranks:
        keep &= ~((qs > low) & (qs <= high))
    assert keep.any()
    assert_within(s, values, np.concatenate([qs[keep], [0.0]]))


@pytest.mark.parametrize("name", ["lognormal", "mixed", "huge"])
@pytest.mark.parametrize("max_buckets", [2048, 16])
def test_merge_equals_the_sketch_of_the_concatenation(name, max_buckets):
    values = stream(name)
    whole = DDSketch(0.01, max_buckets)
    whole.update_array(values)
    parts = [DDSketch(0.01, max_buckets) for _ in range(3)]
    for part, chunk in zip(parts, np.array_split(np.random.default_rng(1).permutation(values), [500, 2900])):
        part.update_array(chunk)
    parts[1].merge(parts[2])
    parts[0].merge(parts[1])
    assert parts[0].to_bytes() == whole.to_bytes() and parts[0] == whole
    shuffled = DDSketch(0.01, max_buckets)
    shuffled.update(values[::-1].tolist())
    assert shuffled.to_bytes() == whole.to_bytes()


def test_zeros_infinities_and_nan():
    s = DDSketch()
    s.update([0.0, -0.0, float("inf"), float("-inf"), float("nan"), 3.0, -2.0])
    assert s.n == len(s) == 6
    assert s.quantiles([0, 0.2, 0.5, 1]) == [-math.inf, pytest.approx(-2.0, rel=0.01), 0.0, math.inf]
    assert (s.min, s.max) == (-math.inf, math.inf) and math.isnan(s.sum)
    assert s.rank(0.0) == pytest.approx(4 / 6)
    big = DDSketch()
    big.update([1e308, 1e308, -1e308, 5e-324])
    assert big.sum == 1e308 and big.mean == pytest.approx(1e308 / 4)
    huge = DDSketch()
    huge.update([1.5e308] * 4)
    assert math.isinf(huge.sum) and huge.mean == 1.5e308


def test_parameters_and_errors():
    s = DDSketch()
    assert (s.relative_accuracy, s.max_buckets, s.is_empty(), s.sum) == (0.01, 2048, True, 0.0)
    for query in (lambda: s.quantile(0.5), lambda: s.mean, lambda: s.min, lambda: s.rank(1.0)):
        with pytest.raises(ValueError, match="empty"):
            query()
    for bad in ({"relative_accuracy": 0.0}, {"relative_accuracy": 1.0}, {"relative_accuracy": 1e-7},
                {"max_buckets": 0}, {"max_buckets": 2**24 + 1}):
        with pytest.raises(ValueError):
            DDSketch(**bad)
    s.update([1.0, 2.0])
    with pytest.raises(TypeError, match="str"):
        s.update([3.0, "4"])
    assert s.n == 2
    assert repr(s) == "DDSketch(relative_accuracy=0.01, n=2, min=1.0, max=2.0, buckets=2)"
    # Answers follow every change (the sorted view is cached between changes).
    assert s.quantile(0.75) == pytest.approx(2.0, rel=0.01)
    s.update(np.array([1000.0, 1000.0]))
    assert s.quantile(0.75) == pytest.approx(1000.0, rel=0.01)
    s.merge(s.copy())
    assert s.rank(500.0) == 0.5
    s.clear()
    assert s.is_empty() and s.collapsed_ranks == []


def test_persistence_round_trips():
    s = DDSketch(0.02, 50)
    s.update_array(stream("mixed", n=500))
    s.update([math.inf])
    for other in round_trips(s):
        assert other == s and other.collapsed_ranks == s.collapsed_ranks
    for loaded in damaged_loads(DDSketch, body(s), b"MKDD", 3, 400):  # what loads is a sound sketch
        assert DDSketch.from_bytes(loaded.to_bytes()).to_bytes() == loaded.to_bytes()
    t = s.copy()
    t.update(1.0)
    assert t != s


@pytest.mark.parametrize("change, message", [
    ({"relative_accuracy": 1.0}, "relative_accuracy"),
    ({"max_buckets": 0}, "max_buckets"),
    ({"max_buckets": 2}, "wider than max_buckets"),
    ({"count": 11}, "add up"),
    ({"positive_counts": [1, 2, 0]}, "non-zero"),
    ({"positive_offset": 10**12}, "outside the range"),
    ({"negative_collapsed": 1, "negative_counts": [], "negative_offset": 0}, "empty negative store"),
    ({"min": 9.0}, "min"),
    ({"max": 1.5}, "max is not in the highest bucket"),
    ({"min": None}, "present exactly"),
    ({"sum_magnitude": [1] * 35}, "sum_magnitude"),
    ({"sum_negative": 1}, "outside"),
    ({"version": 2}, "version"),
])
def test_damaged_records_are_refused(change, message):
    s = DDSketch()
    s.update([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0])
    record = json.loads(s.to_json())
    with pytest.raises(ValueError, match=message):
        DDSketch.from_json(json.dumps(dict(record, **change)))


def test_command_line_passes_the_parameters(tmp_path):
    values = stream("mixed", n=400)
    (tmp_path / "v.txt").write_text("".join(f"{v!r}\n" for v in values.tolist()) + "not a number\n")
    expected = DDSketch(0.02, 64)
    expected.update_array(values)

    def cli(*args):
        return murk_command(*args, cwd=tmp_path)

    built = cli("build", "dd", "--relative-accuracy", "0.02", "--max-buckets", "64", "v.txt", "-o", "a.dd")
    assert built.returncode == 0 and b"skipped 1 line(s)" in built.stderr
    assert DDSketch.load(str(tmp_path / "a.dd")) == expected
    out = cli("quantiles", "--kind", "dd", "--relative-accuracy", "0.02", "--q", "0,1", "v.txt").stdout
    assert out == f"0\t{values.min().item()!r}\n1\t{values.max().item()!r}\n".encode()

