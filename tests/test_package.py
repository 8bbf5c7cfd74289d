"""The murk package: the same classes as _murk and its own, picklable, copyable,
each reading only its own records."""
import copy
import pickle
import subprocess
import sys

import pytest

import _murk
import murk
from conftest import HEADER, refuses_every_prefix, wrap

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
