"""Writes the stored-file corpus of this release: python tests/corpus/generate.py

Every file is written once, by the release named in its file name, and then
kept forever: later releases must load it, give the recorded answers and
re-save the same bytes (tests/test_corpus.py). Existing files are never
overwritten; a release that changes a format adds files of its own.
"""
import gzip
import json
import pathlib
import sys

import murk

HERE = pathlib.Path(__file__).parent
RELEASE = "0.2.0"
WORDS = [f"item-{i}" for i in range(2000)]
ZIPF = [f"page-{i}" for i in range(1, 60) for _ in range(600 // i)]
PROBES = ["item-0", "item-7", "item-1999", "absent-1", "absent-2", b"item-3", 12345]


def filled(obj, items=WORDS, hashes=(1, 2, 0xDEADBEEF)):
    obj.update(items)
    if hasattr(obj, "update_hashes"):
        obj.update_hashes(list(hashes))
    return obj


def membership(obj):
    return [["contains", [p], obj.contains(p)] for p in PROBES] + [
        ["contains_hash", [0xDEADBEEF], obj.contains_hash(0xDEADBEEF)], ["len", [], len(obj)]]


# name -> (object, answers(object)). Answers are [method, args, result] triples.
def lsh_index(threshold, num_hashes, seed=0, **banding):
    """An index of 60 documents with str and int keys, near-duplicates among them."""
    lsh = murk.MinHashLSH(threshold=threshold, num_hashes=num_hashes, seed=seed, **banding)
    for d in range(60):
        mh = murk.MinHash(num_hashes, seed=seed)
        mh.update(WORDS[(d % 20) * 40: (d % 20) * 40 + 100 + d])
        lsh.insert(f"doc-{d}" if d % 3 else d, mh)
    lsh.remove("doc-59")
    return lsh


def lsh_probe(index, num_hashes, seed):
    mh = murk.MinHash(num_hashes, seed=seed)
    mh.update(WORDS[index * 40: index * 40 + 100])
    return mh


def lsh_answers(o):
    probes = [lsh_probe(i, o.num_hashes, o.seed) for i in (0, 7, 30)]
    return [["query", [p], sorted(o.query(p), key=repr)] for p in probes] + [
        ["len", [], len(o)], ["bands", [], o.bands], ["rows", [], o.rows], ["in", ["doc-1"], "doc-1" in o]]


def numbers(sketch, n):
    """n values in a scrambled order, an infinity among them."""
    sketch.update([((i * 7919) % 10007) / 97 for i in range(n)] + [float("-inf")])
    return sketch


def kll_answers(o):
    qs = [0.0, 0.1, 0.5, 0.99, 1.0]
    counts = [["len", [], len(o)], ["num_retained", [], o.num_retained], ["is_empty", [], o.is_empty()]]
    if o.is_empty():
        return counts
    return counts + [["quantiles", [qs], o.quantiles(qs)], ["rank", [50.0], o.rank(50.0)],
                     ["cdf", [[10.0, 60.0]], o.cdf([10.0, 60.0])]]


def dd_values(sketch, extremes=()):
    """Negative, zero and infinite values, and optionally some far apart."""
    sketch.update([(i - 300) ** 3 / 7 for i in range(600)] + [0.0] * 5 + [float("inf"), *extremes])
    return sketch


def dd_answers(o):
    return [["quantiles", [[0, 0.01, 0.25, 0.5, 0.9, 0.99, 0.999]], o.quantiles([0, 0.01, 0.25, 0.5, 0.9, 0.99, 0.999])],
            ["rank", [100.0], o.rank(100.0)], ["cdf", [[-1e6, 0.0, 1e6]], o.cdf([-1e6, 0.0, 1e6])],
            ["n", [], o.n], ["min", [], o.min], ["max", [], o.max], ["sum", [], o.sum], ["collapsed", [], o.collapsed]]


def cases():
    mh_a = filled(murk.MinHash(64), WORDS[:1500])
    yield "bloom-sized", filled(murk.BloomFilter(expected_items=1000, false_positive_rate=0.01), WORDS[:800]), membership
    yield "bloom-bits-seeded", filled(murk.BloomFilter(num_bits=3000, num_hashes=4, seed=99), WORDS[:400]), membership
    yield "bloom-empty", murk.BloomFilter(expected_items=10), membership
    yield "counting-bloom", filled(murk.CountingBloomFilter(expected_items=400, seed=3), WORDS[:300]), lambda o: membership(o) + [
        ["count", [p], o.count(p)] for p in PROBES]
    yield "counting-bloom-small", filled(murk.CountingBloomFilter(num_counters=500, num_hashes=3),
                                         WORDS[:50] * 3), lambda o: membership(o) + [
        ["count", [p], o.count(p)] for p in PROBES]
    yield "scalable-bloom", filled(murk.ScalableBloomFilter(initial_capacity=100, seed=5), WORDS[:700]), membership
    yield "scalable-bloom-empty", murk.ScalableBloomFilter(), membership
    yield "cuckoo", filled(murk.CuckooFilter(600, seed=11), WORDS[:500]), membership
    yield "cuckoo-small", filled(murk.CuckooFilter(100), WORDS[:90]), membership
    hll = lambda o: [["cardinality", [], o.cardinality()], ["len", [], len(o)]]  # noqa: E731
    yield "hyperloglog-p10", filled(murk.HyperLogLog(10)), hll
    yield "hyperloglog-p4-seeded", filled(murk.HyperLogLog(4, seed=42)), hll
    yield "hyperloglog-p4-empty", murk.HyperLogLog(4), hll
    cms = lambda o: [["query", [p], o.query(p)] for p in PROBES] + [  # noqa: E731
        ["query_hash", [0xDEADBEEF], o.query_hash(0xDEADBEEF)], ["len", [], len(o)]]
    yield "count-min", filled(murk.CountMinSketch(width=300, depth=4), ZIPF), cms
    yield "count-min-error-rate", filled(murk.CountMinSketch(error_rate=0.01, confidence=0.99, seed=8), ZIPF), cms
    mh = lambda o: [["jaccard", [mh_a], o.jaccard(mh_a)], ["is_empty", [], o.is_empty()],  # noqa: E731
                    ["get_signature", [], o.get_signature()]]
    yield "minhash-64", filled(murk.MinHash(64), WORDS[500:]), mh
    yield "minhash-64-empty", murk.MinHash(64), mh
    topk = lambda o: [["top", [10], [list(t) for t in o.top(10)]], ["len", [], len(o)]] + [  # noqa: E731
        ["query", [p], o.query(p)] for p in ("page-1", "page-2", "page-59", "absent")]
    yield "topk-20", filled(murk.TopK(20), ZIPF), topk
    yield "topk-3", filled(murk.TopK(3), ZIPF[::7]), topk
    yield "minhash-lsh", lsh_index(0.8, 128), lsh_answers
    yield "minhash-lsh-banded-seeded", lsh_index(0.5, 32, seed=9, bands=4, rows=6), lsh_answers
    yield "kll-200", numbers(murk.KLLSketch(), 5000), kll_answers
    yield "kll-8-seeded", numbers(murk.KLLSketch(8, seed=7), 3000), kll_answers
    yield "kll-empty", murk.KLLSketch(16), kll_answers
    yield "ddsketch", dd_values(murk.DDSketch()), dd_answers
    yield "ddsketch-collapsed", dd_values(murk.DDSketch(relative_accuracy=0.05, max_buckets=16), (1e-300, 1e300)), dd_answers
    yield "ddsketch-empty", murk.DDSketch(relative_accuracy=0.02), lambda o: [["n", [], o.n], ["sum", [], o.sum]]
    theta = lambda o: [["estimate", [], o.estimate()], ["len", [], len(o)], ["theta", [], o.theta],  # noqa: E731
                       ["lower_bound", [2], o.lower_bound(2)], ["upper_bound", [1], o.upper_bound(1)],
                       ["num_retained", [], o.num_retained], ["updatable", [], o.updatable]]
    yield "theta-12", filled(murk.ThetaSketch(12)), theta
    yield "theta-4-seeded", filled(murk.ThetaSketch(4, seed=42)), theta
    yield "theta-intersection", filled(murk.ThetaSketch(6)) & filled(murk.ThetaSketch(7), WORDS[900:]), theta



def encode(value):
    if isinstance(value, bytes):
        return {"bytes": value.hex()}
    if isinstance(value, murk.MinHash):
        return {"minhash": value.to_bytes().hex()}
    return value


def main():
    answers_path = HERE / "answers.json"
    answers = json.loads(answers_path.read_text()) if answers_path.exists() else {}
    written = 0
    for name, obj, answer in cases():
        stem = f"{RELEASE}-{name}"
        # Kept gzipped: byte for byte what to_bytes() and to_json() wrote, a fraction of the size.
        forms = [(".murk.gz", obj.to_bytes())] + ([(".json.gz", obj.to_json().encode())] if hasattr(obj, "to_json") else [])
        for suffix, data in forms:
            path = HERE / (stem + suffix)
            if path.exists():
                continue
            path.write_bytes(gzip.compress(data, mtime=0))
            written += 1
        if stem not in answers:
            answers[stem] = {"class": type(obj).__name__,
                             "answers": [[m, [encode(a) for a in args], r] for m, args, r in answer(obj)]}
    lines = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in answers.items()]  # an entry a line
    answers_path.write_text("{\n" + ",\n".join(lines) + "\n}\n")
    print(f"wrote {written} new files", file=sys.stderr)


if __name__ == "__main__":
    main()
