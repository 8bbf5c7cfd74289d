"""Writes seed corpora for the fuzz targets from valid objects of each class.

Each seed is a mode byte (0 binary payload, 1 JSON text) followed by the data.
"""

import os
import sys

import murk

WORDS = [f"item-{i}" for i in range(200)]


def filled(obj, add="update"):
    getattr(obj, add)(WORDS)
    return obj


# Small and medium examples of each structure, empty and used.
EXAMPLES = {
    "bloom": lambda m: [m.BloomFilter(num_bits=64, num_hashes=1), filled(m.BloomFilter(expected_items=100))],
    "counting_bloom": lambda m: [
        m.CountingBloomFilter(num_counters=8, num_hashes=2),
        filled(m.CountingBloomFilter(expected_items=100)),
    ],
    "scalable_bloom": lambda m: [
        m.ScalableBloomFilter(initial_capacity=4),
        filled(m.ScalableBloomFilter(initial_capacity=16)),
    ],
    "cuckoo": lambda m: [m.CuckooFilter(4), filled(m.CuckooFilter(300))],
    "hyperloglog": lambda m: [m.HyperLogLog(4), filled(m.HyperLogLog(6))],
    "count_min_sketch": lambda m: [m.CountMinSketch(width=2, depth=1), filled(m.CountMinSketch(width=16, depth=3))],
    "minhash": lambda m: [m.MinHash(4), filled(m.MinHash(16))],
    "topk": lambda m: [m.TopK(2), filled(m.TopK(8))],
    "minhash_lsh": lambda m: [m.MinHashLSH(num_hashes=4, bands=2, rows=2), indexed(m)],
}


def indexed(m):
    """A small index with str and int keys, some sharing buckets."""
    lsh = m.MinHashLSH(threshold=0.5, num_hashes=8)
    sigs = []
    for i in range(20):
        mh = m.MinHash(8)
        mh.update(WORDS[i % 7: i % 7 + 5])
        sigs.append(mh)
    lsh.insert_many([f"k{i}" if i % 2 else i for i in range(20)], sigs)
    return lsh


def main(out_dir, names):
    for name in names:
        try:
            objs = EXAMPLES[name](murk)
        except AttributeError:
            continue  # class not built
        d = os.path.join(out_dir, name)
        os.makedirs(d, exist_ok=True)
        for i, obj in enumerate(objs):
            with open(os.path.join(d, f"seed-{i}-bin"), "wb") as f:
                f.write(b"\x00" + obj.to_bytes()[21:])
            if hasattr(obj, "to_json"):
                with open(os.path.join(d, f"seed-{i}-json"), "wb") as f:
                    f.write(b"\x01" + obj.to_json().encode())


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:] or list(EXAMPLES))
