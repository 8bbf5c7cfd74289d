"""Writes seed corpora for the fuzz targets from valid objects of each class.

Each decoder seed is a mode byte (0 binary payload, 1 JSON text) followed by
the data; the arrow_column seeds describe valid columns of each type.
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
    "kll": lambda m: [m.KLLSketch(8), numbers(m.KLLSketch(8, seed=1), 500), numbers(m.KLLSketch(), 50)],
    "ddsketch": lambda m: [m.DDSketch(), dd_numbers(m.DDSketch(relative_accuracy=0.05, max_buckets=16))],
    "theta_sketch": lambda m: [m.ThetaSketch(4), filled(m.ThetaSketch(8)), filled(m.ThetaSketch(4)) & filled(m.ThetaSketch(5))],
}


def numbers(sketch, n):
    sketch.update([(i * 7919) % 1000 / 7 for i in range(n)] + [float("inf")])
    return sketch


def arrow_values(kind, rows, width):
    """Bytes the arrow_column harness reads as a valid array of one kind."""
    out = [rows, 0, 0, 0]  # length, offset, null count, no validity bitmap
    if kind in (0, 1, 3, 4):  # offsets, then the data they cover
        for i in range(rows + 1):
            out += [2 * i, 1]
        out += list(b"ab" * rows)
    elif kind in (2, 5):  # views: inline ones and ones into one variadic buffer
        out += [1]
        for r in range(rows):
            out += [14, 1, 0, r] + list(b"pref") if r % 2 else [5, 1, 0, 0] + list(b"inline-text!" + b"abcd")
        out += [0, 32] + list(range(32))
    elif kind == 6:
        out += list(range(rows * width))
    else:
        out += list(range(rows * [1, 1, 2, 2, 4, 4, 8, 8][kind - 7]))
    return out


def arrow_seeds():
    seeds = []
    for kind in range(15):
        for shape in (0, 1, 2, 3):
            rows = 6
            b = [shape, kind, 4]
            if shape & 2:  # int32 indices into a dictionary of `rows` values
                b += [4, rows, 0, 0, 0] + [x for i in range(rows) for x in (rows - 1 - i, 0, 0, 0)]
            b += arrow_values(kind, rows, 4)
            if shape & 1:  # a one-field struct around it
                b += [rows, 0, 0, 0]
            seeds.append(bytes(x & 0xFF for x in b))
    return seeds


def dd_numbers(sketch):
    """Negative, zero, infinite and spread-out values: both stores collapse."""
    sketch.update([float(x) ** 3 - 5e5 for x in range(-100, 100)] + [0.0, 0.0, float("inf"), float("-inf")])
    sketch.update([1e-300, 1e300, -1e-200])
    return sketch


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
    if "arrow_column" in names:
        d = os.path.join(out_dir, "arrow_column")
        os.makedirs(d, exist_ok=True)
        for i, seed in enumerate(arrow_seeds()):
            with open(os.path.join(d, f"seed-{i}"), "wb") as f:
                f.write(seed)
    for name in names:
        if name not in EXAMPLES:
            continue
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
    main(sys.argv[1], sys.argv[2:] or [*EXAMPLES, "arrow_column"])
