"""Shared helpers: an independent model of the hashing and the envelope."""
import json
import struct

import xxhash

MASK = (1 << 64) - 1
G = 0x9E3779B97F4A7C15
CHECKSUM_SEED = 0x4D55524B534B4554  # b"MURKSKET" read big-endian
HEADER = 21


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


def positions(h1, h2, k, m):
    return {((h1 + i * h2) & MASK) % m for i in range(k)}


def wrap(payload, magic=b"MKBF", version=2):
    """Envelope with a correct length and checksum around any payload."""
    return (magic + bytes([version]) + struct.pack("<Q", len(payload))
            + struct.pack("<Q", xxh(payload, CHECKSUM_SEED)) + payload)


def words(bf):
    payload = bf.to_bytes()[HEADER:]
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
