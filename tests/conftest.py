"""Shared helpers: an independent model of the hashing and the envelope."""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile

import pytest
import xxhash
from hypothesis import strategies as st

MASK = (1 << 64) - 1
G = 0x9E3779B97F4A7C15
CHECKSUM_SEED = 0x4D55524B534B4554  # b"MURKSKET" read big-endian
HEADER = 21
Z = {0.80: 1.281552, 0.90: 1.644854, 0.95: 1.959964, 0.99: 2.575829}  # normal quantiles of the confidence levels
EOF_MSG = "^Deserialization error: io error: unexpected end of file$"


def xxh(key, seed):
    return xxhash.xxh3_64_intdigest(bytes(key), seed=seed & MASK)


def mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def pair(key, seed):
    return xxh(key, seed), xxh(key, seed + G)


def pair_from_hash(x, seed):
    h1 = mix(((seed ^ x) + G) & MASK)
    h2 = mix(((((seed + G) & MASK) ^ x) + G) & MASK)
    return h1, h2 or G


def slots(h1, h2, k, m):
    """Every position of an item in order, repeats kept."""
    return [((h1 + i * h2) & MASK) % m for i in range(k)]


def positions(h1, h2, k, m):
    return set(slots(h1, h2, k, m))


def key(item):
    """The bytes an item is hashed as: text as lossy UTF-8, integers as their text."""
    if isinstance(item, str):
        return item.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode()
    return str(item).encode() if isinstance(item, int) else item


# Envelope format version of each magic.
VERSIONS = {b"MKBF": 2, b"MKCB": 2, b"MKSB": 2, b"MKCF": 1, b"MKCM": 1, b"MKTK": 1, b"MKHL": 1, b"MKMH": 1, b"MKKL": 1,
            b"MKTH": 1, b"MKDD": 1, b"MKLH": 1}


def wrap(payload, magic=b"MKBF", version=None):
    """Envelope with a correct length and checksum around any payload."""
    version = VERSIONS[magic] if version is None else version
    return (magic + bytes([version]) + struct.pack("<Q", len(payload))
            + struct.pack("<Q", xxh(payload, CHECKSUM_SEED)) + payload)


class BadStr:
    """An item whose text cannot be made: a call must fail and change nothing."""

    def __str__(self):
        raise KeyError("no text")


def small():
    """Constructors of a small instance of each class fed items, by name."""
    import murk
    return {
        "BloomFilter": lambda: murk.BloomFilter(expected_items=5000, seed=3),
        "CountingBloomFilter": lambda: murk.CountingBloomFilter(expected_items=5000),
        "ScalableBloomFilter": lambda: murk.ScalableBloomFilter(initial_capacity=50),
        "CuckooFilter": lambda: murk.CuckooFilter(20000, seed=5),
        "HyperLogLog": lambda: murk.HyperLogLog(8, seed=7),
        "CountMinSketch": lambda: murk.CountMinSketch(width=100, depth=3),
        "MinHash": lambda: murk.MinHash(16),
        "TopK": lambda: murk.TopK(8),
        "ThetaSketch": lambda: murk.ThetaSketch(6, seed=2),
    }


def body(obj):
    return obj.to_bytes()[HEADER:]


def item_ops(items, hashes=st.integers(0, MASK), batch=5, size=15, *more):
    """Hypothesis lists of (method, argument) calls that feed items and caller hashes, one at a time and in
    batches, mixed with any more kinds of call."""
    return st.lists(st.one_of(st.tuples(st.just("add"), items), st.tuples(st.just("add_hash"), hashes),
                              st.tuples(st.just("update"), st.lists(items, max_size=batch)),
                              st.tuples(st.just("update_hashes"), st.lists(hashes, max_size=batch)), *more),
                    max_size=size)


def round_trips(obj):
    """Copies through bytes, JSON and a file, each checked to encode as the original."""
    cls, data = type(obj), obj.to_bytes()
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f.bin")
        obj.save(path)
        with open(path, "rb") as fh:
            assert fh.read() == data
        copies = [cls.from_bytes(data), cls.from_json(obj.to_json()), cls.load(path)]
    assert [c.to_bytes() for c in copies] == [data] * 3
    return copies


def refuses_every_prefix(cls, payload, magic):
    for n in range(len(payload)):
        with pytest.raises(ValueError, match=EOF_MSG):
            cls.from_bytes(wrap(payload[:n], magic))


def damaged_loads(cls, payload, magic, seed, tries):
    """Objects decoded from copies of a payload with one to three bytes overwritten."""
    rng = random.Random(seed)
    assert cls.from_bytes(wrap(payload, magic)).to_bytes()[HEADER:] == payload  # the envelope itself is right
    for _ in range(tries):
        damaged = bytearray(payload)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            yield cls.from_bytes(wrap(bytes(damaged), magic))
        except ValueError:
            pass


def words(bf):
    payload = body(bf)
    (n,) = struct.unpack_from("<Q", payload)
    return list(struct.unpack_from(f"<{n}Q", payload, 8))


def set_bits(bf):
    out = set()
    for w, word in enumerate(words(bf)):
        while word:
            low = word & -word
            out.add(w * 64 + low.bit_length() - 1)
            word ^= low
    return out


def bloom_json(bits, num_bits, num_hashes=1, count=0, seed=0):
    return json.dumps({"bits": bits, "num_bits": num_bits,
                       "num_hashes": num_hashes, "count": count, "seed": seed})


def bits_json(num_bits, positions_set, num_hashes=1, count=0):
    """JSON record for a filter with exactly the given bits set."""
    w = [0] * ((num_bits + 63) // 64)
    for p in positions_set:
        w[p >> 6] |= 1 << (p & 63)
    return bloom_json(w, num_bits, num_hashes, count)


def murk_command(*args, stdin=b"", cwd=None, env=None):
    """A run of the `murk` command in a subprocess."""
    return subprocess.run([sys.executable, "-m", "murk", *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd, env=env, timeout=60)


def pytest_sessionstart(session):
    # Under `make test-dist` the suite must exercise the installed wheel, not the checkout.
    if os.environ.get("MURK_TEST_INSTALLED"):
        import _murk
        import murk
        for mod in (_murk, murk):
            assert os.path.realpath(mod.__file__).startswith(os.path.realpath(sys.prefix)), mod.__file__
