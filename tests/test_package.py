"""The murk package: the same classes as _murk and its own, picklable, copyable,
each reading only its own records; and what the classes share (batches,
merge refusals, JSON reading errors)."""
import copy
import math
import operator
import pickle
import re
import subprocess
import sys

import pytest

import _murk
import murk
from conftest import HEADER, MASK, BadStr, refuses_every_prefix, wrap

NAMES = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter",
         "HyperLogLog", "CountMinSketch", "MinHash", "TopK"]
OWN = ["MinHashLSH", "KLLSketch", "DDSketch", "ThetaSketch"]
WORDS = [f"w{i}" for i in range(300)]

# One small non-empty instance per class, and an item that changes it.
SAMPLES = {
    "BloomFilter": lambda: murk.BloomFilter(expected_items=1000, seed=3),
    "CountingBloomFilter": lambda: murk.CountingBloomFilter(expected_items=1000),
    "ScalableBloomFilter": lambda: murk.ScalableBloomFilter(initial_capacity=100),
    "CuckooFilter": lambda: murk.CuckooFilter(2000, seed=5),
    "HyperLogLog": lambda: murk.HyperLogLog(10),
    "CountMinSketch": lambda: murk.CountMinSketch(width=200, depth=3),
    "MinHash": lambda: murk.MinHash(32),
    "TopK": lambda: murk.TopK(20),
    "MinHashLSH": lambda: murk.MinHashLSH(num_hashes=8, bands=4, rows=2),
    "KLLSketch": lambda: murk.KLLSketch(200),
    "DDSketch": lambda: murk.DDSketch(0.02, 64),
    "ThetaSketch": lambda: murk.ThetaSketch(6),
}


def feed(obj, words):
    if isinstance(obj, murk.MinHashLSH):
        for i, w in enumerate(words[:40]):
            m = murk.MinHash(8)
            m.update(words[i::7])
            obj.insert(int.from_bytes(w.encode(), "little") if i % 2 else w, m)  # int and str keys
    elif isinstance(obj, (murk.KLLSketch, murk.DDSketch)):
        obj.update([len(w) * 1.5 - 4 for w in words])
    else:
        obj.update(words)


def sample(name):
    obj = SAMPLES[name]()
    feed(obj, WORDS)
    return obj


def test_package_exposes_the_extension_types_and_leaves_the_module_alone():
    assert murk.__all__ == NAMES + ["MinHashLSH", "KLLSketch", "DDSketch", "ThetaSketch"] and _murk.__all__ == NAMES
    assert {a for a in vars(_murk) if not a.startswith("__")} == set(NAMES) and not hasattr(_murk, "__version__")
    assert _murk.__doc__.startswith("A Python module for probabilistic data structures")
    for name in NAMES + OWN:
        cls = getattr(murk, name)
        assert cls is getattr(_murk if name in NAMES else murk._sketches, name)
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins" if name in NAMES else "murk")
        assert name in NAMES or pickle.loads(pickle.dumps(cls)) is cls
    assert murk.__version__.count(".") >= 2


def test_import_murk_loads_no_optional_library():
    code = "import sys, murk; print(sorted(m for m in sys.modules if m.split('.')[0] in %r or m == 'murk.cli'))"
    out = subprocess.run([sys.executable, "-c", code % (("click", "rich", "dask", "pyarrow", "pyspark"),)],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout == "[]\n", out.stderr


@pytest.mark.parametrize("name", NAMES + OWN)
def test_pickle_and_copies_are_equal_and_independent(name):
    obj = sample(name)
    data = obj.to_bytes()
    copies = [pickle.loads(pickle.dumps(obj, protocol=p)) for p in range(2, 6)]
    shared, again = copy.deepcopy([obj, obj])
    assert shared is again  # deepcopy keeps shared references shared
    copies += [copy.copy(obj), copy.deepcopy(obj), shared, obj.copy()]
    for c in copies:
        assert type(c) is type(obj) and c is not obj and c.to_bytes() == data
        feed(c, ["something new", "and more"])
        assert c.to_bytes() != data
    assert obj.to_bytes() == data
    if hasattr(obj, "clear"):
        assert obj.clear() is None and obj.to_bytes() == SAMPLES[name]().to_bytes() and copies[0].to_bytes() != data


@pytest.mark.parametrize("name", NAMES + OWN)
def test_each_class_reads_its_own_records_only_and_whole(name):
    cls, data = getattr(murk, name), sample(name).to_bytes()
    magic, version, payload = data[:4], data[4], data[HEADER:]
    with pytest.raises(ValueError, match="^invalid Murk binary format$"):
        cls.from_bytes((b"MKHL" if magic != b"MKHL" else b"MKBF") + data[4:])
    with pytest.raises(ValueError, match=rf"^unsupported binary format version: {version + 1} \(expected {version}\)$"):
        cls.from_bytes(data[:4] + bytes([version + 1]) + data[5:])
    assert cls.from_bytes(wrap(payload + b"tail", magic)).to_bytes() == data  # bytes past the record are ignored
    if name == "TopK":  # an item longer than what is left fails without a reason
        for n in range(len(payload)):
            with pytest.raises(ValueError, match="^Deserialization error: io error: "):
                cls.from_bytes(wrap(payload[:n], magic))
    else:
        refuses_every_prefix(cls, payload, magic)


class Forged:
    """Pickles as the package's reconstructor called with arbitrary arguments."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return murk._pickling.restore, self.args


def flip_last(data):
    return data[:-1] + bytes([data[-1] ^ 0xFF])


@pytest.mark.parametrize("args, match", [
    (lambda d: ("HyperLogLog", flip_last(d)), "checksum"),
    (lambda d: ("HyperLogLog", d[:-3]), "."),
    (lambda d: ("BloomFilter", d), "invalid Murk binary format"),
    (lambda d: ("HyperLogLug", d), "unknown class"),
    (lambda d: (None, d), "unknown class"),
])
def test_damaged_pickle_is_refused(args, match):
    blob = pickle.dumps(Forged(*args(sample("HyperLogLog").to_bytes())))
    with pytest.raises(ValueError, match=match):
        pickle.loads(blob)


@pytest.mark.parametrize("cls, args, exc, match", [
    (murk.CuckooFilter, (0,), ValueError, "^capacity must be positive$"),
    (murk.HyperLogLog, (3,), ValueError, "^precision must be between 4 and 18$"),
    (murk.HyperLogLog, (19,), ValueError, "^precision must be between 4 and 18$"),
    (murk.HyperLogLog, (256,), OverflowError, "^out of range integral type conversion attempted$"),
    (murk.MinHash, (0, 7), ValueError, "^num_hashes must be positive$"),
    (murk.TopK, (0,), ValueError, "^k must be positive$"),
    # every argument is converted before any value is checked
    (murk.CuckooFilter, (0, -1), OverflowError, None), (murk.HyperLogLog, (19, -1), OverflowError, None),
    (murk.MinHash, (0, -1), OverflowError, None),
])
def test_constructors_refuse_bad_parameters(cls, args, exc, match):
    with pytest.raises(exc, match=match):
        cls(*args)


ITEM_CLASSES = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter", "HyperLogLog",
                "CountMinSketch", "MinHash", "ThetaSketch"]


@pytest.mark.parametrize("name, method", [(n, m) for n in ITEM_CLASSES for m in ("update", "update_many")
                                          if hasattr(getattr(murk, n), m)])
def test_batches_of_any_iterable_equal_single_adds(name, method):
    for make in (lambda: "abca", lambda: ["a", "b", "c", "a"], lambda: ("a", "b"), lambda: dict.fromkeys("abc"),
                 lambda: (c for c in "abca"), lambda: [b"a", bytearray(b"b"), [99], memoryview(b"x"), (97,), 5, None]):
        single, batch = SAMPLES[name](), SAMPLES[name]()
        for x in make():
            single.add(x)
        added = getattr(batch, method)(make())
        assert added == (len(list(make())) if name == "CuckooFilter" else None)
        assert batch.to_bytes() == single.to_bytes()
    with pytest.raises(KeyError):  # an item that fails: nothing of the batch is applied
        getattr(batch, method)(["ok", BadStr()])
    assert batch.to_bytes() == single.to_bytes()


MISMATCHES = [  # class, two parameter sets differing first in the named field
    (murk.BloomFilter, dict(num_bits=64, num_hashes=3, seed=1), dict(num_bits=128, seed=2),
     "num_bits mismatch (64 vs 128)"),
    (murk.BloomFilter, dict(num_bits=64, num_hashes=3, seed=9), dict(num_bits=64, num_hashes=2, seed=8),
     "num_hashes mismatch (3 vs 2)"),
    (murk.BloomFilter, dict(num_bits=64, seed=MASK), dict(num_bits=64), f"seed mismatch ({MASK} vs 0)"),
    (murk.CountingBloomFilter, dict(num_counters=8, num_hashes=2), dict(num_counters=9, num_hashes=3, seed=2),
     "num_counters mismatch (8 vs 9)"),
    (murk.CountingBloomFilter, dict(num_counters=8, num_hashes=2), dict(num_counters=8, num_hashes=3, seed=2),
     "num_hashes mismatch (2 vs 3)"),
    (murk.CountingBloomFilter, dict(num_counters=8), dict(num_counters=8, seed=MASK), f"seed mismatch (0 vs {MASK})"),
    (murk.HyperLogLog, dict(precision=10, seed=1), dict(precision=12, seed=2), "precision mismatch (10 vs 12)"),
    (murk.HyperLogLog, dict(precision=6, seed=MASK), dict(precision=6), f"seed mismatch ({MASK} vs 0)"),
    (murk.MinHash, dict(num_hashes=64, seed=1), dict(num_hashes=128, seed=2), "num_hashes mismatch (64 vs 128)"),
    (murk.MinHash, dict(num_hashes=8, seed=MASK), dict(num_hashes=8), f"seed mismatch ({MASK} vs 0)"),
    (murk.CountMinSketch, dict(width=100, depth=5, seed=1), dict(width=200, depth=4, seed=2),
     "width mismatch (100 vs 200)"),
    (murk.CountMinSketch, dict(width=100, depth=5, seed=1), dict(width=100, depth=4, seed=2),
     "depth mismatch (5 vs 4)"),
    (murk.CountMinSketch, dict(width=100, depth=5, seed=MASK), dict(width=100, depth=5),
     f"seed mismatch ({MASK} vs 0)"),
    (murk.TopK, dict(k=2), dict(k=3), "k mismatch (2 vs 3)"),
    (murk.DDSketch, dict(relative_accuracy=0.01), dict(relative_accuracy=0.02),
     "relative_accuracy mismatch (0.01 vs 0.02)"),
]
# What else refuses the same pairs, in its own words; compatibility comes before the confidence level.
ALSO = {
    murk.BloomFilter: [(operator.and_, "Cannot intersect: filters must have same configuration"),
                       (murk.BloomFilter.intersection, "Cannot intersect: filters must have same configuration")],
    murk.MinHash: [(murk.MinHash.jaccard, "Cannot compare: {}"), (murk.MinHash.query, "Cannot compare: {}"),
                   (lambda a, b: a.jaccard_interval(b, 0.85), "Cannot compare: {}")],
    murk.CountMinSketch: [(murk.CountMinSketch.inner_product,
                           "Cannot compute inner product: sketches must have matching dimensions and seed")],
}


@pytest.mark.parametrize("cls, first, second, msg", MISMATCHES)
def test_merges_refuse_other_parameters_naming_the_first_difference(cls, first, second, msg):
    a, b = cls(**first), cls(**second)
    feed(a, ["x"])
    before = a.to_bytes()
    ops = [(cls.merge, "Cannot merge: {}")]
    if cls in (murk.BloomFilter, murk.HyperLogLog, murk.MinHash):
        ops += [(operator.or_, "Cannot merge: {}"), (operator.ior, "Cannot merge: {}")]
    for op, words in ops + ALSO.get(cls, []):
        with pytest.raises(ValueError) as e:
            op(a, b)
        assert str(e.value) == words.format(msg)
    assert a.to_bytes() == before


@pytest.mark.parametrize("cls, text, message", [
    (murk.CuckooFilter, '{"buckets": [{"fingerprints": [0, 0, 0]}]}',
     "invalid length 3, expected an array of length 4"),
    (murk.CuckooFilter, '{"buckets": [{"fingerprints": [0, 0, 0, 65536]}]}',
     "invalid value: integer `65536`, expected u16"),
    (murk.CuckooFilter, '{"buckets": [[]]}', "invalid length 0, expected struct Bucket with 1 element"),
    (murk.CuckooFilter, "[2, []]", "invalid length 2, expected struct CuckooFilterData with 6 elements"),
    (murk.HyperLogLog, '{"version": 2, "registers": [256]}', "invalid value: integer `256`, expected u8"),
    (murk.HyperLogLog, "[2, [], 4, 0]", "invalid length 4, expected struct HyperLogLogData with 5 elements"),
    (murk.MinHash, '{"version": 256}', "invalid value: integer `256`, expected u8"),
    (murk.MinHash, "[2, [1], 1]", "invalid length 3, expected struct MinHashData with 4 elements"),
    (murk.CountMinSketch, '{"version": 2, "table": [[-1]]}', "invalid value: integer `-1`, expected u64"),
    (murk.CountMinSketch, '{"version": 2, "table": [0]}', "invalid type: integer `0`, expected a sequence"),
    (murk.CountMinSketch, "[2, [[0]], 1, 1, 0]",
     "invalid length 5, expected struct CountMinSketchData with 6 elements"),
    (murk.CountingBloomFilter, '{"counters": [256]}', "invalid value: integer `256`, expected u8"),
    (murk.CountingBloomFilter, '{"counters": [0], "num_counters": 1, "num_hashes": 4294967296}',
     "invalid value: integer `4294967296`, expected u32"),
    (murk.CountingBloomFilter, "[[0], 1, 1, 0]",
     "invalid length 4, expected struct CountingBloomFilterData with 5 elements"),
    (murk.TopK, '{"version": 1, "counters": [{"item": 5}]}', "invalid type: integer `5`, expected a string"),
    (murk.TopK, '{"version": 1, "counters": [{"item": "\\udc00"}]}', "invalid unicode code point in string"),
    (murk.TopK, "[1, []]", "invalid length 2, expected struct TopKData with 3 elements"),
    (murk.ScalableBloomFilter,
     '{"slices": [{"bits": [0], "num_bits": 64, "num_hashes": 1, "count": 0, "capacity": 1}]}',
     "missing field `fpr`"),
    (murk.ScalableBloomFilter, "[[], 1, 0.1]",
     "invalid length 3, expected struct ScalableBloomFilterData with 6 elements"),
])
def test_json_reading_errors_say_what_and_where(cls, text, message):
    with pytest.raises(ValueError, match=r"^Deserialization error: " + re.escape(message) + r" at line 1 column \d+$"):
        cls.from_json(text)


@pytest.mark.parametrize("ask", [lambda c: murk.HyperLogLog(4).confidence_interval(c),
                                 lambda c: murk.MinHash(4).jaccard_interval(murk.MinHash(4), c)])
@pytest.mark.parametrize("confidence", [0.85, 0.95 + 2.3e-16, 1.0, math.nan])
def test_confidence_levels_outside_the_table_are_refused(ask, confidence):
    with pytest.raises(ValueError, match="^confidence must be one of 0.80, 0.90, 0.95, or 0.99$"):
        ask(confidence)


def test_pickle_loads_in_a_fresh_process_without_importing_murk_first():
    obj = sample("TopK")
    code = ("import pickle, sys; assert 'murk' not in sys.modules; "
            "t = pickle.loads(sys.stdin.buffer.read()); print(t.top(1))")
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(obj), capture_output=True, check=True)
    assert out.stdout.decode().strip() == repr(obj.top(1))


def test_a_second_initialisation_in_a_sub_interpreter_is_refused():
    # The types are process-wide: a sub-interpreter must not build a second set.
    code = ("import _xxsubinterpreters as s, murk\n"
            "for mod in ('_murk', 'murk._sketches'):\n"
            "    i = s.create()\n"
            "    try:\n"
            "        s.run_string(i, 'import ' + mod)\n"
            "    except s.RunFailedError as e:\n"
            "        print(e)\n"
            "    s.destroy(i)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["<class 'ImportError'>: _murk can only be initialised once per process"] * 2
