"""MinHashLSH: banding choice, search against a model, keys, batches, persistence, merge, borrows."""
import enum
import json
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy import integrate

from murk import MinHash, MinHashLSH
from conftest import EOF_MSG, HEADER, damaged_loads, wrap

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def sig_minhash(values, seed=0):
    """A MinHash whose signature is exactly `values`."""
    return MinHash.from_json(json.dumps({"version": 2, "signature": [int(v) for v in values],
                                         "num_hashes": len(values), "seed": seed}))


def expected(model, sig, bands, rows):
    """Keys of the model sharing a whole band with sig."""
    cut = lambda s: [tuple(s[j * rows:(j + 1) * rows]) for j in range(bands)]
    q = cut(sig)
    return {k for k, s in model.items() if any(a == b for a, b in zip(cut(s), q))}


def lsh_payload(keys=(), hashes=None, threshold=0.5, weights=(0.5, 0.5), num_hashes=4, seed=0, bands=2, rows=2,
                version=1):
    """A record built by hand: keys are (tag, bytes) pairs."""
    hashes = [0] * (len(keys) * bands) if hashes is None else hashes
    data = b"".join(k for _, k in keys)
    return (struct.pack("<Bddd4Q", version, threshold, *weights, num_hashes, seed, bands, rows)
            + struct.pack("<Q", len(keys)) + bytes(t for t, _ in keys)
            + struct.pack(f"<Q{len(keys)}I", len(keys), *(len(k) for _, k in keys))
            + struct.pack("<Q", len(data)) + data
            + struct.pack(f"<Q{len(hashes)}Q", len(hashes), *hashes))


def lsh_envelope(payload):
    return wrap(payload, b"MKLH", 1)


# ---------------------------------------------------------------- banding

def scipy_best(threshold, n, weights):
    def errors(b, r):
        fp = integrate.quad(lambda s: 1 - (1 - s ** r) ** b, 0.0, threshold)[0]
        fn = integrate.quad(lambda s: (1 - s ** r) ** b, threshold, 1.0)[0]
        return weights[0] * fp + weights[1] * fn
    table = {(b, r): errors(b, r) for b in range(1, n + 1) for r in range(1, n // b + 1)}
    return table, min(table.values())


@pytest.mark.parametrize("threshold, n, weights", [
    (0.8, 128, (0.5, 0.5)), (0.5, 128, (0.5, 0.5)), (0.9, 64, (0.2, 0.8)),
    (0.3, 48, (0.9, 0.1)), (0.7, 100, (1.0, 0.0)), (0.95, 256, (0.5, 0.5)), (0.0, 16, (0.5, 0.5)),
])
def test_banding_minimises_the_weighted_error_integrals(threshold, n, weights):
    table, best = scipy_best(threshold, n, weights)
    lsh = MinHashLSH(threshold=threshold, num_hashes=n, weights=weights)
    assert lsh.bands * lsh.rows <= n
    assert table[lsh.bands, lsh.rows] <= best + 1e-9


@pytest.mark.parametrize("kwargs, match", [
    (dict(threshold=1.5), "^threshold "), (dict(threshold=float("nan")), "^threshold "),
    (dict(num_hashes=0), "^num_hashes "), (dict(weights=(0.6, 0.6)), "^weights "),
    (dict(weights=(-0.5, 1.5)), "^weights "), (dict(weights=(1.0,)), "^weights "),
    (dict(bands=4), "^bands and rows "), (dict(rows=4), "^bands and rows "),
    (dict(bands=0, rows=4), "^bands "), (dict(bands=4, rows=0), "^rows "),
    (dict(num_hashes=16, bands=5, rows=4), r"^bands \* rows must not exceed num_hashes \(20 > 16\)$"),
    (dict(num_hashes=2**64 - 1, bands=2**64 - 1, rows=2**64 - 1), r"\(340282366920938463426481119284349108225 > "),
    (dict(num_hashes=10_000), "^num_hashes above 8192 needs explicit bands and rows$"),
])
def test_bad_parameters_name_the_parameter(kwargs, match):
    with pytest.raises(ValueError, match=match):
        MinHashLSH(**kwargs)


def test_explicit_banding_properties_and_repr():
    lsh = MinHashLSH(0.75, 64, (0.3, 0.7), bands=5, rows=12, seed=9)
    assert (lsh.threshold, lsh.num_hashes, lsh.weights, lsh.bands, lsh.rows, lsh.seed) == (0.75, 64, (0.3, 0.7), 5, 12, 9)
    assert repr(lsh) == "MinHashLSH(threshold=0.75, bands=5, rows=12, keys=0)" and len(lsh) == 0
    with pytest.raises(AttributeError):
        lsh.bands = 3


# ---------------------------------------------------------------- search

@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["insert", "remove", "query"]), st.integers(0, 40),
                          st.lists(st.integers(0, 2), min_size=8, max_size=8)), max_size=120))
def test_queries_match_a_band_model_through_inserts_removes_and_reloads(ops):
    # A three-value alphabet makes large, shared buckets, so chains, tombstones,
    # reused ids and rehashing all get exercised.
    lsh, model = MinHashLSH(num_hashes=8, bands=4, rows=2), {}
    for op, k, sig in ops:
        key = k if k % 2 else f"k{k}"
        if op == "insert" and key not in model:
            lsh.insert_signatures([key], np.array([sig], dtype=np.uint64))
            model[key] = sig
        elif op == "remove" and key in model:
            lsh.remove(key)
            del model[key]
        assert set(lsh.query(sig_minhash(sig))) == expected(model, sig, 4, 2)
    assert len(lsh) == len(model) and all(k in lsh for k in model)
    again = MinHashLSH.from_bytes(lsh.to_bytes())
    probes = [sig for _, _, sig in ops]
    assert again.query_signatures(np.array(probes, dtype=np.uint64).reshape(-1, 8)) == \
        lsh.query_signatures(np.array(probes, dtype=np.uint64).reshape(-1, 8))


def test_mass_removal_reclaims_key_text_and_keeps_the_rest_searchable():
    rng = np.random.default_rng(4)
    sigs = rng.integers(0, 4, size=(3000, 8), dtype=np.uint64)
    keys = [f"{i:06d}" + "x" * 100 for i in range(3000)]
    lsh = MinHashLSH(num_hashes=8, bands=4, rows=2)
    lsh.insert_signatures(keys, sigs)
    for k in keys[::4] + keys[1::4] + keys[2::4]:
        lsh.remove(k)
    kept = {k: s for k, s in zip(keys, sigs) if int(k[:6]) % 4 == 3}
    assert len(lsh) == len(kept) and not any(k in lsh for k in keys[::4])
    for probe in sigs[:200]:
        assert set(lsh.query_signatures(probe.reshape(1, 8))[0]) == expected(
            {k: list(s) for k, s in kept.items()}, list(probe), 4, 2)
    lsh.insert_signatures(keys[:40:4], sigs[:40:4].copy())  # removed keys come back under reused ids
    assert MinHashLSH.from_bytes(lsh.to_bytes()).query_signatures(sigs) == lsh.query_signatures(sigs)


def test_batches_agree_with_single_calls_and_with_arrays():
    rng = np.random.default_rng(3)
    sigs = rng.integers(0, 3, size=(300, 16), dtype=np.uint64)
    mhs = [sig_minhash(s) for s in sigs]
    keys = [i if i % 3 else str(i) for i in range(300)]
    a, b, c = (MinHashLSH(num_hashes=16, bands=4, rows=4) for _ in range(3))
    for k, m in zip(keys, mhs):
        a.insert(k, m)
    b.insert_many(keys, iter(mhs))
    c.insert_signatures(keys, sigs.astype(np.int64))
    assert a.to_bytes() == b.to_bytes() == c.to_bytes()
    single = [a.query(m) for m in mhs]
    assert a.query_many(mhs) == single == c.query_signatures(sigs) and b.query_many([]) == []
    assert b.insert_many([], []) is None and len(b) == 300


# ---------------------------------------------------------------- keys

class Color(enum.IntEnum):
    RED = 7


def test_keys_come_back_as_given_and_types_stay_apart():
    keys = [5, "5", -5, 0, 2**200, -(2**70), "", "naïve ✓", "\ud800lone", Color.RED, np.int64(-3)]
    lsh = MinHashLSH(num_hashes=4, bands=1, rows=4)
    lsh.insert_many(keys, [sig_minhash([1, 2, 3, 4])] * len(keys))
    for found in (lsh.query(sig_minhash([1, 2, 3, 4])), MinHashLSH.from_bytes(lsh.to_bytes()).query_many(
            [sig_minhash([1, 2, 3, 4])])[0]):
        assert found == keys and [type(k) for k in found] == [int, str, int, int, int, int, str, str, str, int, int]
    assert 7 in lsh and "7" not in lsh and -3 in lsh and np.uint8(7) in lsh and len(lsh) == 11


@pytest.mark.parametrize("bad", [True, np.True_, 1.0, b"5", None, (1,)])
def test_other_key_types_are_refused(bad):
    lsh = MinHashLSH(num_hashes=4, bands=1, rows=4)
    with pytest.raises(TypeError, match="expected str or int, not"):
        lsh.insert(bad, MinHash(4))
    with pytest.raises(TypeError):
        bad in lsh
    with pytest.raises(TypeError):
        lsh.insert_many(["ok", bad], [MinHash(4)] * 2)
    assert len(lsh) == 0


def test_refused_inserts_change_nothing():
    lsh = MinHashLSH(num_hashes=4, bands=2, rows=2, seed=3)
    lsh.insert("a", MinHash(4, seed=3))
    before = lsh.to_bytes()
    cases = [
        (lambda: lsh.insert("a", MinHash(4, 3)), ValueError, "^key 'a' is already in the index$"),
        (lambda: lsh.insert_many(["b", "a"], [MinHash(4, 3)] * 2), ValueError, "^key 'a' is already in the index$"),
        (lambda: lsh.insert_many(["b", 1, "b"], [MinHash(4, 3)] * 3), ValueError, "^key 'b' is given twice$"),
        (lambda: lsh.insert("b", MinHash(8, 3)), ValueError, r"^Cannot insert: num_hashes mismatch \(4 vs 8\)$"),
        (lambda: lsh.insert_many(["b"], [MinHash(4, 5)]), ValueError, r"^Cannot insert: seed mismatch \(3 vs 5\)$"),
        (lambda: lsh.query(MinHash(4, 5)), ValueError, r"^Cannot query: seed mismatch \(3 vs 5\)$"),
        (lambda: lsh.insert_many(["b", "c"], [MinHash(4, 3)]), ValueError, r"differ in length \(2 vs 1\)"),
        (lambda: lsh.insert_many(["b"], [4]), TypeError, "^argument 'minhashes': 'int' object cannot be converted"),
        (lambda: lsh.insert_many("ab", [MinHash(4, 3)] * 2), TypeError, "not str"),
        (lambda: lsh.remove("zz"), KeyError, "'zz'"),
        (lambda: lsh.remove(1), KeyError, "1"),
    ]
    for call, exc, match in cases:
        with pytest.raises(exc, match=match):
            call()
        assert lsh.to_bytes() == before


@pytest.mark.parametrize("array, exc, match", [
    (np.zeros((2, 4), dtype=np.float64), TypeError, "uint64"),
    (np.zeros((2, 4), dtype=np.uint32), TypeError, "uint64"),
    (np.zeros((2, 4), dtype=">u8"), TypeError, "uint64"),
    (np.zeros(8, dtype=np.uint64), ValueError, "2-D"),
    (np.zeros((2, 8), dtype=np.uint64)[:, ::2], ValueError, "C-contiguous"),
    (np.zeros((4, 2), dtype=np.uint64).T, ValueError, "C-contiguous"),
    (np.zeros((2, 5), dtype=np.uint64), ValueError, "5 columns, expected num_hashes = 4"),
    (np.full((2, 4), -1, dtype=np.int64), ValueError, "negative"),
    (np.zeros((3, 4), dtype=np.uint64), ValueError, r"differ in length \(2 vs 3\)"),
    ([[0, 0, 0, 0]] * 2, TypeError, "not list"),
])
def test_signature_arrays_are_checked(array, exc, match):
    lsh = MinHashLSH(num_hashes=4, bands=2, rows=2)
    with pytest.raises(exc, match=match):
        lsh.insert_signatures(["a", "b"], array)
    assert len(lsh) == 0
    if "differ" not in match:
        with pytest.raises(exc, match=match):
            lsh.query_signatures(array)


# ---------------------------------------------------------------- persistence

def filled(n=50, seed=0):
    rng = np.random.default_rng(seed)
    lsh = MinHashLSH(num_hashes=8, bands=4, rows=2)
    lsh.insert_signatures([i if i % 2 else f"s{i}" for i in range(n)], rng.integers(0, 3, size=(n, 8), dtype=np.uint64))
    return lsh


def test_persistence_round_trips_and_clear(tmp_path):
    lsh = filled()
    lsh.remove("s4")
    lsh.remove(7)
    data, path = lsh.to_bytes(), str(tmp_path / "index.murk")
    lsh.save(path)
    probe = np.random.default_rng(9).integers(0, 3, size=(40, 8), dtype=np.uint64)
    for c in (MinHashLSH.from_bytes(data), MinHashLSH.load(path)):
        assert c.to_bytes() == data and repr(c) == repr(lsh)
        assert c.query_signatures(probe) == lsh.query_signatures(probe)
    lsh.clear()
    assert len(lsh) == 0 and lsh.query_signatures(probe) == [[]] * 40 and lsh.bands == 4


def test_damaged_records_load_as_sound_indexes():
    for lsh in damaged_loads(MinHashLSH, filled(10).to_bytes()[HEADER:], b"MKLH", 1, 300):
        assert MinHashLSH.from_bytes(lsh.to_bytes()).to_bytes() == lsh.to_bytes()


@pytest.mark.parametrize("kwargs, match", [
    (dict(version=2), "^Unsupported MinHashLSH data version$"),
    (dict(threshold=-0.1), "^threshold "), (dict(weights=(0.5, 0.6)), "^weights "),
    (dict(bands=3), r"^bands \* rows must not exceed"), (dict(bands=0), "^bands must be positive$"),
    (dict(keys=[(2, b"x")]), "^invalid key"), (dict(keys=[(1, b"05")]), "^invalid key"),
    (dict(keys=[(1, b"-0")]), "^invalid key"), (dict(keys=[(1, b"")]), "^invalid key"),
    (dict(keys=[(0, b"\xff")]), "^invalid key"), (dict(keys=[(0, b"\xc0\x80")]), "^invalid key"),
    (dict(keys=[(0, b"a"), (0, b"a")]), "^duplicate key"),
    (dict(keys=[(0, b"a")], hashes=[1]), "^band hashes do not match"),
])
def test_invalid_records_are_refused(kwargs, match):
    with pytest.raises(ValueError, match=match):
        MinHashLSH.from_bytes(lsh_envelope(lsh_payload(**kwargs)))


def test_hand_built_records_load():
    keys = [(0, b"a"), (1, b"5"), (0, b"5"), (1, b"-12"), (0, "\ud800".encode("utf-8", "surrogatepass"))]
    lsh = MinHashLSH.from_bytes(lsh_envelope(lsh_payload(keys) + b"trailing"))
    assert len(lsh) == 5 and "5" in lsh and 5 in lsh and -12 in lsh and "\ud800" in lsh
    # A huge declared count in a short payload is refused before anything is allocated for it.
    forged = lsh_payload()[:-8] + struct.pack("<Q", 2**60)
    with pytest.raises(ValueError, match=EOF_MSG):
        MinHashLSH.from_bytes(lsh_envelope(forged))


# ---------------------------------------------------------------- merge

def test_merge_of_disjoint_indexes_equals_inserting_everything():
    rng = np.random.default_rng(2)
    sigs = rng.integers(0, 3, size=(60, 8), dtype=np.uint64)
    whole, left, right = (MinHashLSH(num_hashes=8, bands=4, rows=2) for _ in range(3))
    whole.insert_signatures(range(60), sigs)
    left.insert_signatures(range(30), sigs[:30])
    right.insert_signatures(range(30, 60), sigs[30:])
    right.remove(45)
    right.insert_signatures([45], sigs[45:46])
    left.merge(right)
    assert len(left) == 60 and left.query_signatures(sigs) == whole.query_signatures(sigs)


def test_merge_refuses_shared_keys_and_other_parameters():
    a, b = filled(20), filled(20, seed=1)
    before = a.to_bytes()
    for other, exc, match in [
        (b, ValueError, "^Cannot merge: key 's0' is in both indexes$"),
        (MinHashLSH(num_hashes=8, bands=2, rows=2), ValueError, r"^Cannot merge: bands mismatch \(4 vs 2\)$"),
        (MinHashLSH(num_hashes=8, bands=4, rows=1), ValueError, r"^Cannot merge: rows mismatch \(2 vs 1\)$"),
        (MinHashLSH(num_hashes=8, bands=4, rows=2, seed=1), ValueError, r"^Cannot merge: seed mismatch"),
        (MinHash(8), TypeError, "cannot be converted to 'MinHashLSH'"),
        (a, RuntimeError, "^Already mutably borrowed$"),
    ]:
        with pytest.raises(exc, match=match):
            a.merge(other)
        assert a.to_bytes() == before


# ---------------------------------------------------------------- borrows and threads

def test_batches_hold_their_minhashes_and_the_index_borrowed():
    lsh = MinHashLSH(num_hashes=4, bands=2, rows=2)
    m = MinHash(4)

    def changes_a_gathered_minhash():
        yield m
        m.add("x")  # m is borrowed shared by the batch by now
        yield MinHash(4)

    def reads_the_index():
        yield m
        lsh.query(m)

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lsh.insert_many(["a", "b"], changes_a_gathered_minhash())
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        lsh.insert_many(["a", "b"], reads_the_index())
    assert len(lsh) == 0 and m.is_empty()
    m.add("x")  # every borrow was given back
    lsh.insert("a", m)

    def writes_the_index():
        yield m
        lsh.remove("a")

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lsh.query_many(writes_the_index())
    assert lsh.query_many([m]) == [["a"]]


def test_threads_get_a_borrow_error_or_succeed_and_lose_nothing():
    lsh = MinHashLSH(num_hashes=16, bands=4, rows=4)
    inserted, unexpected, errors = [], [], []

    def work(t):
        rng = np.random.default_rng(t)
        for step in range(30):
            keys = [f"{t}-{step}-{i}" for i in range(2000)]
            sigs = rng.integers(0, 2**64 - 1, size=(2000, 16), dtype=np.uint64)
            try:
                if step % 2:
                    lsh.insert_signatures(keys, sigs)
                    inserted.extend(keys)
                else:
                    lsh.query_signatures(sigs)
            except RuntimeError as e:
                (errors if str(e) in BORROW_ERRORS else unexpected).append(str(e))
            except Exception as e:  # anything else is a fault
                unexpected.append(repr(e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "deadlock"
    assert not unexpected and errors, "no borrow conflict was provoked"
    assert len(lsh) == len(inserted) and all(k in lsh for k in inserted)
