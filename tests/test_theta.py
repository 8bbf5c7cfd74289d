"""ThetaSketch: exact and estimated counts, set operations, bounds and persistence."""
import itertools
import json
import math
import random

import numpy as np
import pytest

from conftest import damaged_loads, murk_command, round_trips
from murk import ThetaSketch

MAGIC = b"MKTH"
REFUSED = "accepts no updates"


def sk(items, lg_k=8, seed=0):
    t = ThetaSketch(lg_k, seed)
    t.update_hashes(np.asarray(items, dtype=np.uint64))
    return t


def record(t, **changes):
    r = json.loads(t.to_json())
    r.update(changes)
    return json.dumps(r)


@pytest.mark.parametrize("lg_k", [3, 27, -1, 2**70])
def test_lg_k_range(lg_k):
    with pytest.raises(ValueError, match="^lg_k must be between 4 and 26$"):
        ThetaSketch(lg_k)
    assert ThetaSketch(4).lg_k == 4 and ThetaSketch(26).lg_k == 26


@pytest.mark.parametrize("seed", range(5))
def test_exact_mode_matches_python_sets(seed):
    rng = random.Random(seed)
    sets = [set(rng.sample(range(256), rng.randrange(0, 200))) for _ in range(3)]  # unions fit in k
    a, b, c = (sk(list(s), lg_k=8) for s in sets)
    A, B, C = sets
    for got, want in [(a, A), (a | b, A | B), (a & b, A & B), (a - b, A - B), (b - a, B - A),
                      (ThetaSketch.union([a, b, c]), A | B | C), (ThetaSketch.intersection([a, b, c]), A & B & C),
                      ((a | b) & c, (A | B) & C), ((a & b) - c, (A & B) - C)]:
        assert not got.is_estimation_mode and got.theta == 1.0
        assert got.estimate() == got.cardinality() == len(got) == len(want) == got.lower_bound(3) == got.upper_bound(1)
    lo, est, hi = a.jaccard(b)
    assert lo == est == hi == (len(A & B) / len(A | B) if A | B else 1.0)


@pytest.mark.parametrize("lg_k", [4, 8])
def test_identities(lg_k):
    a = sk(range(5000), lg_k)
    small = sk(range(10), lg_k)
    for x in (a, small):
        assert (x - x).estimate() == 0 and (x - x).num_retained == 0
        assert ((x & x).estimate() == x.estimate() and (x | x).estimate() == x.estimate()) or x.is_estimation_mode
    assert (small | small).to_bytes() == small.to_bytes()
    assert abs((a & a).estimate() / a.estimate() - 1) < 4 / math.sqrt(2**lg_k)
    parts = [sk(range(i * 700, i * 700 + 3000), lg) for i, lg in enumerate([lg_k, lg_k + 1, lg_k + 3])]
    unions = {ThetaSketch.union(p).to_bytes() for p in itertools.permutations(parts)}
    unions |= {(x | y | z).to_bytes() for x, y, z in itertools.permutations(parts)}
    assert len(unions) == 1 and ThetaSketch.from_bytes(unions.pop()).lg_k == lg_k


def test_empty_and_edge_inputs():
    e = ThetaSketch(8)
    big = sk(range(100_000))
    assert (e | e).estimate() == (e & big).estimate() == (big & e).estimate() == (e - big).estimate() == 0
    # Results keep the k least hashes, whatever the operand held beyond them.
    assert (big - e).estimate() == (big | e).estimate() == (big & big).estimate() == (big | big).estimate()
    assert e.jaccard(e) == (1.0, 1.0, 1.0) and big.jaccard(e)[1] == 0.0
    # An intersection that comes out empty in estimation mode still bounds what it may have missed.
    none = sk(range(100_000)) & sk(range(10**6, 1_100_000))
    assert none.estimate() == 0 and none.lower_bound(2) == 0 < none.upper_bound(2)
    with pytest.raises(ValueError, match="at least one"):
        ThetaSketch.union([])
    with pytest.raises(ValueError, match=r"different seeds \(0 vs 7\)"):
        ThetaSketch.intersection([e, ThetaSketch(8, seed=7)])
    with pytest.raises(ValueError, match="num_std must be 1, 2 or 3"):
        big.lower_bound(4)
    with pytest.raises(TypeError):
        ThetaSketch.union([e, 3])


def test_results_of_intersections_refuse_updates():
    pa = pytest.importorskip("pyarrow")
    a, b = sk(range(3000)), sk(range(1000, 5000))
    assert (a | b).updatable and a.updatable
    for r in (a & b, a - b, (a & b) | a):
        assert not r.updatable
        for call in (lambda: r.add("x"), lambda: r.update(["x"]), lambda: r.add_hash(1),
                     lambda: r.update_hashes(np.arange(3, dtype=np.uint64)), lambda: r.update_column(pa.array(["x"])),
                     lambda: r.update_lines(b"x\n")):
            with pytest.raises(TypeError, match=REFUSED):
                call()
        r.merge(a)  # the union with another set stays a valid (read-only) sketch
        r.clear()
        assert r.updatable and r.estimate() == 0


def test_every_input_path_gives_the_same_sketch():
    pa = pytest.importorskip("pyarrow")
    words = [f"w{i % 7000}" for i in range(20_000)]
    one = ThetaSketch(6)
    for w in words:
        one.add(w)
    batch, gen, col = ThetaSketch(6), ThetaSketch(6), ThetaSketch(6)
    batch.update(words)
    gen.update(w.encode() for w in words)
    col.update_column(pa.chunked_array([words[:5000] + [None], words[5000:]]))
    assert one == batch == gen == col and one.to_bytes() == col.to_bytes() and one.is_estimation_mode
    hs = np.random.default_rng(0).integers(0, 2**63, 30_000, dtype=np.int64)
    by_hash = [ThetaSketch(6) for _ in range(3)]
    by_hash[0].update_hashes(hs)
    by_hash[1].update_hashes(hs.view(np.uint64))
    for h in hs[:20_000].tolist():
        by_hash[2].add_hash(h)
    by_hash[2].update_hashes(hs[20_000:].tolist())
    assert by_hash[0] == by_hash[1] == by_hash[2] != one


def pair(lg_k, seed, na, nb, shared):
    """Sketches of sets of na and nb random hashes, shared of them in both."""
    hs = np.random.default_rng(seed).integers(0, 2**64, na + nb - shared, dtype=np.uint64)
    a, b = ThetaSketch(lg_k), ThetaSketch(lg_k)
    a.update_hashes(hs[:na])
    b.update_hashes(hs[na - shared:])
    return a, b


def rel_errors(lg_k, trials, na, nb, shared):
    """Relative errors of estimate, union, intersection and difference over independent trials."""
    out = []
    for seed in range(trials):
        a, b = pair(lg_k, seed, na, nb, shared)
        truth = [na, na + nb - shared, shared, na - shared]
        got = [a.estimate(), (a | b).estimate(), (a & b).estimate(), (a - b).estimate()]
        out.append([g / t - 1 for g, t in zip(got, truth)])
    return np.array(out), [na, na + nb - shared, shared, na - shared]


@pytest.mark.parametrize("na,nb,shared", [(20_000, 20_000, 10_000), (200, 30_000, 100), (40_000, 10_000, 2_000)])
def test_estimation_error_over_seeds(na, nb, shared):
    lg_k = 8
    errors, truth = rel_errors(lg_k, 150, na, nb, shared)
    rse = 1 / math.sqrt(2**lg_k - 1)
    union = truth[1]
    for j, size in enumerate(truth):
        # A sample of the union holds the intersection and the difference in proportion to their size.
        bound = rse * math.sqrt(max(union, 1) / size) if j >= 2 else rse
        assert math.sqrt(np.mean(errors[:, j] ** 2)) < 1.25 * bound, (j, size)
        assert abs(np.mean(errors[:, j])) < 4 * bound / math.sqrt(len(errors))  # unbiased


@pytest.mark.parametrize("num_std,nominal", [(1, 0.6827), (2, 0.9545)])
@pytest.mark.parametrize("lg_k,n", [(6, 5000), (9, 40_000)])
def test_bound_coverage(num_std, nominal, lg_k, n):
    hits = np.zeros(2)
    trials = 300
    for seed in range(trials):
        a, b = pair(lg_k, seed, n, n, n // 2)
        for i, (s, truth) in enumerate([(a, n), (a & b, n // 2)]):
            hits[i] += s.lower_bound(num_std) <= truth <= s.upper_bound(num_std)
    # Exact binomial bounds on few hashes err on the wide side, never the narrow one.
    assert np.all((hits / trials > nominal - 0.05) & (hits / trials < nominal + 0.09)), hits / trials


def test_persistence_round_trips():
    a, b = sk(range(30_000)), sk(range(20_000, 60_000), lg_k=9)
    for s in (ThetaSketch(4), sk(range(50)), a, a & b, a - b, a | b):
        for c in round_trips(s) + [s.copy()]:
            assert c == s and c.updatable == s.updatable and c.estimate() == s.estimate()
    assert b != b.copy().merge(a) and b == ThetaSketch.from_json(b.to_json())


@pytest.mark.parametrize("change,message", [
    ({"version": 2}, "Unsupported ThetaSketch data version"),
    ({"lg_k": 27}, "lg_k must be between"),
    ({"updatable": 2}, "updatable must be 0 or 1"),
    ({"hashes": [5, 3]}, "not strictly increasing"),
    ({"hashes": [3, 3]}, "not strictly increasing"),
    ({"hashes": [0, 3]}, "hash 0 is never retained"),
    ({"hashes": [3, 2**40], "limit": 2**39}, "above the limit"),
    ({"lg_k": 4, "hashes": list(range(1, 34))}, "more hashes than the sketch holds"),
    ({"hashes": [-1]}, "expected u64"),
])
def test_damaged_records(change, message):
    with pytest.raises(ValueError, match=message):
        ThetaSketch.from_json(record(ThetaSketch(8), **change))


def test_damaged_binary_records_load_only_valid_sketches():
    payload = (sk(range(5000), lg_k=4) & sk(range(2000, 9000), lg_k=4)).to_bytes()[21:]
    for s in damaged_loads(ThetaSketch, payload, MAGIC, seed=1, tries=400):
        assert ThetaSketch.from_bytes(s.to_bytes()) == s and s.num_retained <= 32


def test_overlap_command(tmp_path):
    def murk(*args):
        return murk_command(*args, cwd=tmp_path)

    (tmp_path / "a.txt").write_text("".join(f"u{i}\n" for i in range(0, 3000)))
    (tmp_path / "b.txt").write_text("".join(f"u{i}\n" for i in range(2000, 4000)))
    for name in "ab":
        assert murk("build", "theta", "--lg-k", "12", f"{name}.txt", "-o", f"{name}.th").returncode == 0
    out = murk("overlap", "a.th", "b.th")
    assert out.returncode == 0 and out.stdout.decode().splitlines() == [
        "union\t4000\t4000\t4000", "intersection\t1000\t1000\t1000", "only a.th\t2000\t2000\t2000",
        "only b.th\t1000\t1000\t1000"]
    assert murk("build", "theta", "--lg-k", "4", "a.txt", "-o", "c.th").returncode == 0
    report = json.loads(murk("overlap", "--json", "--num-std", "3", "a.th", "b.th", "c.th").stdout)
    rows = {r["set"]: r for r in report["sets"]}
    assert report["num_std"] == 3 and rows["intersection"]["low"] <= 1000 <= rows["intersection"]["high"]
    assert rows["only b.th"]["low"] <= 1000 <= rows["only b.th"]["high"] and rows["only c.th"]["estimate"] == 0
    assert murk("build", "theta", "--seed", "5", "a.txt", "-o", "d.th").returncode == 0
    assert murk("build", "hll", "a.txt", "-o", "h.murk").returncode == 0
    (ThetaSketch.load(str(tmp_path / "a.th")) & ThetaSketch.load(str(tmp_path / "b.th"))).save(str(tmp_path / "i.th"))
    for args, message in [(["overlap", "a.th", "d.th"], "different seeds (0 vs 5)"),
                          (["overlap", "a.th", "h.murk"], "overlap takes theta"), (["overlap", "a.th"], "two or more"),
                          (["add", "i.th", "a.txt"], "murk: error: this ThetaSketch is the result of an intersection")]:
        err = murk(*args)
        assert err.returncode == 2 and message in err.stderr.decode()
