"""Module surface, argument handling, borrowing, item keys, hashing,
the binary envelope, JSON reading and files (exercised through BloomFilter)."""
import inspect
import os
import pathlib
import re
import stat
import struct
import sys
import weakref

import pytest

from _murk import BloomFilter, CountingBloomFilter, ScalableBloomFilter
from conftest import EOF_MSG, BadStr, G, MASK, key, pair, pair_from_hash, positions, set_bits, wrap, xxh

M, K = 65521, 3  # prime modulus: catches truncated or wrong remainders
BAD_FMT = "^invalid Murk binary format$"
POS = r" at line \d+ column \d+$"


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 0.25


def bits_after(item=None, seed=0, h=None):
    bf = BloomFilter(num_bits=M, num_hashes=K, seed=seed)
    bf.add(item) if h is None else bf.add_hash(h)
    return set_bits(bf)


# ---------------------------------------------------------------- instances

def test_instances_have_no_dict_weakref_pickle_value_equality_or_writable_properties():
    bf = BloomFilter(num_bits=64)
    for name in ("extra", "num_bits", "num_hashes", "seed", "size_in_bytes", "false_positive_rate"):
        with pytest.raises(AttributeError):
            setattr(bf, name, 1)
        with pytest.raises(AttributeError):
            delattr(bf, name)
    with pytest.raises(TypeError):
        weakref.ref(bf)
    with pytest.raises(TypeError):  # the type's own; the murk package registers pickling through copyreg
        bf.__reduce_ex__(4)
    assert bf != bf.copy() and bf == bf and len({bf, bf}) == 1


@pytest.mark.parametrize("obj, sig", [
    (BloomFilter, "(expected_items=None, false_positive_rate=0.01, num_bits=None, "
                  "num_hashes=None, seed=0)"),
    (BloomFilter.add, "(self, /, item)"),
    (BloomFilter(num_bits=8).update, "(items)"),
    (BloomFilter.from_bytes, "(data)"),
])
def test_signatures_are_introspectable(obj, sig):
    assert str(inspect.signature(obj)) == sig


# ---------------------------------------------------------------- binding

_bf = BloomFilter(num_bits=64)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: _bf.add(), TypeError, "BloomFilter.add() missing 1 required positional argument: 'item'"),
    (lambda: _bf.add("x", item="y"), TypeError, "BloomFilter.add() got multiple values for argument 'item'"),
    (lambda: _bf.add("x", colour=1), TypeError, "BloomFilter.add() got an unexpected keyword argument 'colour'"),
    (lambda: _bf.add(1, 2), TypeError, "BloomFilter.add() takes 1 positional arguments but 2 were given"),
    (lambda: _bf.copy(1), TypeError, "BloomFilter.copy() takes 0 positional arguments but 1 was given"),
    (lambda: BloomFilter(1, 0.5, 8, 1, 0, 9), TypeError,
     "BloomFilter.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda: BloomFilter.from_bytes(), TypeError,
     "BloomFilter.from_bytes() missing 1 required positional argument: 'data'"),
    (lambda: BloomFilter(num_bits="8"), TypeError, "argument 'num_bits': "),
    (lambda: BloomFilter(num_bits=-1), OverflowError, ""),
    (lambda: BloomFilter(num_bits=8, num_hashes=2**32), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: BloomFilter(num_bits=8, false_positive_rate="0.1"), TypeError,
     "argument 'false_positive_rate': "),
    # every argument is converted, in order, before any validation
    (lambda: BloomFilter(expected_items="a", num_bits=0, seed=None), TypeError,
     "argument 'expected_items': "),
    (lambda: BloomFilter(num_bits=0, seed=None), TypeError, "argument 'seed': "),
    (lambda: BloomFilter.from_bytes("MKBF"), TypeError, "argument 'data': "),
    (lambda: BloomFilter.from_bytes([77, 256]), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: BloomFilter.from_json(b"{}"), TypeError, "argument 'data': "),
    (lambda: BloomFilter.load(pathlib.Path("x.bin")), TypeError, "argument 'path': "),
    (lambda: _bf.update_hashes(h for h in [1]), TypeError,
     "'generator' object cannot be converted to 'Sequence'"),
    (lambda: _bf.merge(_bf), RuntimeError, "Already mutably borrowed"),
    (lambda: CountingBloomFilter(num_counters=8).merge(_bf), TypeError,
     "argument 'other': 'BloomFilter' object cannot be converted to 'CountingBloomFilter'"),
])
def test_binding_and_conversion_errors(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    text = str(e.value)
    assert type(e.value) is exc
    if msg.endswith(": "):
        assert text.startswith(msg) and len(text) > len(msg)
    elif msg:
        assert text == msg


def test_accepted_conversions():
    bf = BloomFilter(num_bits=Idx(130), num_hashes=Idx(3), seed=Idx(MASK),
                     false_positive_rate=Flt())
    assert (bf.num_bits, bf.num_hashes, bf.seed) == (130, 3, MASK)
    bf.add_hash(Idx(5))
    bf.add(item="x")
    assert bf.contains_hash(5) and bf.contains(item="x")
    data = bf.to_bytes()
    assert bf.from_bytes(data=data).to_bytes() == data  # static, reached via an instance
    for form in (bytearray(data), memoryview(data), list(data), tuple(data)):
        assert BloomFilter.from_bytes(form).to_bytes() == data


# ---------------------------------------------------------------- borrowing

class Reenter:
    def __init__(self, fn):
        self.fn = fn

    def __str__(self):
        self.fn()
        return "unused"


@pytest.mark.parametrize("callback, exc, msg", [
    (lambda bf, other: bf.contains("x"), RuntimeError, "^Already mutably borrowed$"),
    (lambda bf, other: other.merge(bf), RuntimeError, "^Already mutably borrowed$"),
    (lambda bf, other: bf.add("x"), RuntimeError, "^Already borrowed$"),
    # the borrow is taken before the argument is converted
    (lambda bf, other: bf.merge(5), RuntimeError, "^Already borrowed$"),
    # operator slots answer NotImplemented when they cannot borrow
    (lambda bf, other: bf | other, TypeError, "unsupported operand"),
])
@pytest.mark.parametrize("method", ["update", "add"])
def test_reentrant_call_from_item_str(method, callback, exc, msg):
    bf, other = BloomFilter(num_bits=64), BloomFilter(num_bits=64)
    item = Reenter(lambda: callback(bf, other))
    with pytest.raises(exc, match=msg):
        getattr(bf, method)(["a", item] if method == "update" else item)
    assert len(bf) == 0 and bf.bit_count() == 0
    bf.add("a")  # the borrow was released
    assert len(bf) == 1


# ---------------------------------------------------------------- item keys

class StrSub(str):
    def __str__(self):
        return "zzz"


class WeirdSeq:
    """A sequence whose length and items fail: falls back to str()."""
    def __len__(self):
        raise RuntimeError

    def __getitem__(self, i):
        raise RuntimeError

    def __str__(self):
        return "weird"


@pytest.mark.parametrize("item, key", [
    ("abc", b"abc"), (b"abc", b"abc"), (bytearray(b"abc"), b"abc"), (memoryview(b"abc"), b"abc"),
    ([97, 98, 99], b"abc"), (range(97, 100), b"abc"), ([Idx(97), 98, 99], b"abc"), ("", b""),
    ([], b""), ([104, 101, 108, 108, 1000], b"[104, 101, 108, 108, 1000]"), ([256], b"[256]"),
    ([-1], b"[-1]"), (["a"], b"['a']"), (5, b"5"), (None, b"None"),
    ("h\u00e9llo \U0001f600", "h\u00e9llo \U0001f600".encode()), ("\ud800", b"\xef\xbf\xbd" * 3),
    ("a\udc80b", key("a\udc80b")), ("\ud83d\ude00", key("\ud83d\ude00")), (StrSub("abc"), b"zzz"),
    (WeirdSeq(), b"weird"),
])
def test_item_keys(item, key):
    assert bits_after(item) == positions(*pair(key, 0), K, M)


def test_str_subclass_with_failing_str_is_reported_and_keyed(monkeypatch):
    class Broken(str):
        def __str__(self):
            raise ValueError("nope")

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    assert bits_after(Broken("x")) == positions(*pair(b"<unprintable Broken object>", 0), K, M)
    assert len(reports) == 1 and isinstance(reports[0].exc_value, ValueError)


FILTERS = [lambda: BloomFilter(num_bits=300, num_hashes=4, seed=11),
           lambda: CountingBloomFilter(num_counters=300, num_hashes=4, seed=11),
           lambda: ScalableBloomFilter(5, 0.01, 3.0, 0.25, 11)]


@pytest.mark.parametrize("make", FILTERS)
def test_failing_str_changes_nothing(make):
    f = make()
    f.update(range(20))
    before = f.to_bytes()
    for call, arg in [(f.add, BadStr()), (f.contains, BadStr()), (f.query, BadStr()), (f.query_many, ["a", BadStr()])]:
        with pytest.raises(KeyError):
            call(arg)
    assert f.to_bytes() == before


# ---------------------------------------------------------------- hashing

SEEDS = [0, 1, 0xDEADBEEF, G, MASK, 2**64 - G]


@pytest.mark.parametrize("seed", SEEDS)
def test_item_hash_pair_matches_reference_xxh3(seed):
    bf = BloomFilter(num_bits=M, num_hashes=K, seed=seed)
    wrong = []
    for n in [*range(301), 1024, 1025, 4099]:  # crosses every XXH3 length path
        key = bytes((i * 31 + n) & 0xFF for i in range(n))
        bf.clear()
        bf.add(key)
        if set_bits(bf) != positions(*pair(key, seed), K, M):
            wrong.append(n)
    assert wrong == []


def test_known_vectors():
    assert bits_after("abc") == positions(0x78AF5F94892F3950, 0xFC1AE99BB3DE2336, K, M)
    assert bits_after(h=0) == positions(0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, K, M)
    assert bits_after(h=12345) == positions(0x22118258A9D111A0, 0xB36D477D05033A51, K, M)
    # seed + G wraps to 0, so h2 is the unseeded hash
    assert bits_after(b"k", seed=2**64 - G) == positions(xxh(b"k", 2**64 - G), xxh(b"k", 0), K, M)


@pytest.mark.parametrize("seed", [0, 7, G, MASK])
@pytest.mark.parametrize("h", [0, 1, 12345, MASK, G, (2**64 - G) ^ G])
def test_caller_hash_expansion(seed, h):
    # (2**64 - G) ^ G with seed 0 makes h2 zero, which is replaced by G
    assert bits_after(seed=seed, h=h) == positions(*pair_from_hash(h, seed), K, M)


# ---------------------------------------------------------------- envelope

def _with(data, off, raw):
    return data[:off] + raw + data[off + len(raw):]


GOOD = BloomFilter(num_bits=200, num_hashes=3, seed=9).to_bytes()


@pytest.mark.parametrize("data, msg", [
    (b"", BAD_FMT), (GOOD[:20], BAD_FMT), (_with(GOOD, 0, b"MKCB"), BAD_FMT),
    (_with(_with(GOOD, 0, b"MKCB"), 4, b"\x01"), BAD_FMT),
    (_with(GOOD, 4, b"\x01"), r"^unsupported binary format version: 1 \(expected 2\)$"),
    (_with(GOOD, 4, b"\xff") + b"\0", r"^unsupported binary format version: 255 \(expected 2\)$"),
    (GOOD + b"\0", "^binary payload length does not match header$"),
    (_with(GOOD, 5, struct.pack("<Q", MASK)), "^binary payload length does not match header$"),
    (_with(GOOD, 13, bytes([GOOD[13] ^ 1])), "^binary payload checksum mismatch$"),
    (_with(GOOD + b"\0", 5, struct.pack("<Q", len(GOOD) - 20)), "^binary payload checksum mismatch$"),
    (wrap(b""), EOF_MSG),
])
def test_envelope_checks_in_order(data, msg):
    with pytest.raises(ValueError, match=msg):
        BloomFilter.from_bytes(data)


def test_any_changed_byte_of_an_envelope_is_refused():
    for off in range(len(GOOD)):
        with pytest.raises(ValueError):
            BloomFilter.from_bytes(_with(GOOD, off, bytes([GOOD[off] ^ 0xA5])))


# ---------------------------------------------------------------- JSON reading

REC = {"bits": "[0, 3]", "num_bits": "100", "num_hashes": "2", "count": "4", "seed": "5"}


def _obj(members):
    return "{" + ", ".join(f'"{k}": {v}' for k, v in members) + "}"


@pytest.mark.parametrize("text, count", [
    (_obj(REC.items()), 4),
    (_obj(reversed(list(REC.items()))), 4),
    (_obj([("extra", '{"x": [1, null]}')] + list(REC.items()) + [("zz", '"?"')]), 4),
    ("[[0, 3], 100, 2, 4, 5]", 4),
    ("\n  " + _obj(REC.items()) + "\n", 4),
    (_obj({**REC, "count": "-0"}.items()), 0),
])
def test_json_accepted_forms(text, count):
    bf = BloomFilter.from_json(text)
    assert (bf.num_bits, bf.num_hashes, len(bf), bf.seed, set_bits(bf)) == (100, 2, count, 5, {64, 65})


@pytest.mark.parametrize("text, detail", [
    (_obj([(k, v) for k, v in REC.items() if k != "seed"]), "missing field `seed`"),
    (_obj(list(REC.items()) + [("bits", "[0, 0]")]), "duplicate field `bits`"),
    *[(text, ".+") for text in ("[[0, 3], 100, 2]", "", "nope", "{", _obj(REC.items()) + " x")],
    *[(_obj({**REC, k: v}.items()), ".+") for k, v in [
        ("num_hashes", str(2**32)), ("num_bits", "100.5"), ("bits", '"x"'), ("count", "null"),
        ("bits", "[0, -3]")]],
    # numbers found by fuzzing: a zero significand with an exponent once reached undefined behaviour
    *[(_obj({**REC, "count": v}.items()), re.escape(d)) for v, d in [
        ("0E098", "invalid type: floating point `0.0`, expected u64"),
        ("1e400", "Number too big to be stored in double"),
        ("18446744073709551616", "invalid type: floating point `1.8446744073709552e19`, expected u64"),
        ("-1", "invalid value: integer `-1`, expected u64")]],
])
def test_json_errors(text, detail):
    with pytest.raises(ValueError, match="^Deserialization error: " + detail + POS):
        BloomFilter.from_json(text)


# ---------------------------------------------------------------- files

def test_save_writes_envelope_and_replaces_existing_file_without_leftovers(tmp_path):
    target = tmp_path / "f\u00e9.bin"
    target.write_bytes(b"old contents that are longer than nothing")
    bf = BloomFilter(num_bits=300, num_hashes=2)
    bf.update(range(50))
    assert bf.save(str(target)) is None
    assert target.read_bytes() == bf.to_bytes()
    assert os.listdir(tmp_path) == [target.name]


def test_non_regular_targets_are_written_in_place(tmp_path):
    # reached through symlinks so that a wrong rename can only hit the link
    null, full = tmp_path / "null", tmp_path / "full"
    null.symlink_to("/dev/null")
    full.symlink_to("/dev/full")
    BloomFilter(num_bits=64).save(str(null))
    with pytest.raises(ValueError, match="^Write error: .+"):
        BloomFilter(num_bits=64).save(str(full))
    for link in (null, full):
        assert link.is_symlink() and stat.S_ISCHR(os.stat(link).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["full", "null"]


@pytest.mark.parametrize("sub", ["missing/dir/f.bin", "afile/f.bin"])
def test_save_cannot_create(tmp_path, sub):
    (tmp_path / "afile").write_bytes(b"x")
    with pytest.raises(ValueError, match="^Cannot create file: .+"):
        BloomFilter(num_bits=64).save(str(tmp_path / sub))


@pytest.mark.parametrize("setup, msg", [
    (lambda p: None, "^Cannot open file: .+"),
    (lambda p: p.write_text(BloomFilter(num_bits=64).to_json()), BAD_FMT),
    (lambda p: p.write_bytes(b""), BAD_FMT),
    (lambda p: p.mkdir(), "^(Cannot open file|Read error): .+"),
])
def test_load_errors(tmp_path, setup, msg):
    path = tmp_path / "f.bin"
    setup(path)
    with pytest.raises(ValueError, match=msg):
        BloomFilter.load(str(path))
