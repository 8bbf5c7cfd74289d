"""MinHashLSH: `murk.MinHashLSH` against datasketch's MinHashLSH.

Both index the same signatures (128 slots, threshold 0.8, the same bands and
rows): 100k synthetic documents of 64 tokens, of which a tenth are planted
near-duplicates of another document (2 to 4 tokens replaced: Jaccard 0.88 to
0.94). datasketch's MinHash objects carry our signatures as their hash values,
so both indexes see identical bands and recall can differ only by design.
"""
import tracemalloc

import numpy as np

from common import OURS, import_or_skip

NUM_HASHES = 128
THRESHOLD = 0.8
TOKENS = 64
PLANTED_SHARE = 10  # one document in ten is a near-duplicate of an earlier one


def corpus(n, seed=7):
    """Token sets (as uint64 arrays) and the planted (duplicate, source) pairs."""
    rng = np.random.default_rng(seed)
    docs = list(rng.integers(0, 2**62, size=(n, TOKENS), dtype=np.uint64))
    planted = []
    for dup in range(PLANTED_SHARE - 1, n, PLANTED_SHARE):
        source = int(rng.integers(0, dup))
        tokens = docs[source].copy()
        k = int(rng.integers(2, 5))
        tokens[rng.choice(TOKENS, size=k, replace=False)] = rng.integers(2**62, 2**63, size=k, dtype=np.uint64)
        docs[dup] = tokens
        planted.append((dup, source))
    return docs, planted


def signatures(murk, docs):
    out = []
    for tokens in docs:
        m = murk.MinHash(NUM_HASHES)
        m.update_hashes(tokens.tolist())
        out.append(m)
    return out


def datasketch_minhash(ds, row):
    try:  # datasketch 2 wants the hashing scheme named; only the values matter to its index
        return ds.MinHash(num_perm=NUM_HASHES, hashvalues=row, scheme="legacy")
    except TypeError:
        return ds.MinHash(num_perm=NUM_HASHES, hashvalues=row)


def recall(found, planted):
    return sum(1 for dup, source in planted if source in found[dup]) / len(planted)


def datasketch_memory(datasketch, params, ds_minhashes, keys):
    """Bytes tracemalloc sees the index hold once every key is inserted."""
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    lsh = datasketch.MinHashLSH(threshold=THRESHOLD, num_perm=NUM_HASHES, params=params)
    for k, m in zip(keys, ds_minhashes):
        lsh.insert(k, m)
    held = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    return held, lsh


def cases(quick):
    n = 20_000 if quick else 100_000
    rows, notes = [], {}
    murk = import_or_skip(OURS, "murk", notes, (rows, ("insert", "insert loop", "query", "query loop")))
    if murk is None:
        return [{"title": "MinHashLSH", "items": n, "rows": rows, "notes": notes}]
    docs, planted = corpus(n)
    keys = list(range(n))
    minhashes = signatures(murk, docs)
    array = np.array([m.signature() for m in minhashes], dtype=np.uint64)
    new = lambda: murk.MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES)
    probe_index = new()
    params = (probe_index.bands, probe_index.rows)

    full = new()
    full.insert_signatures(keys, array)
    ours_found = [set(r) for r in full.query_signatures(array)]
    ours_recall = recall(ours_found, planted)
    notes[OURS] = (f"murk.MinHashLSH, bands={params[0]} rows={params[1]}; recall {ours_recall:.2%} of "
                   f"{len(planted):,} planted pairs; size_in_bytes {full.size_in_bytes / 2**20:.1f} MiB "
                   f"= {full.size_in_bytes / n:.0f} B/key")
    notes[OURS, "insert"] = "insert_many"
    notes[OURS, "insert array"] = "insert_signatures (2-D uint64, in place)"
    notes[OURS, "query"] = "query_many"
    notes[OURS, "query array"] = "query_signatures"
    rows += [
        (OURS, "insert", lambda x: x.insert_many(keys, minhashes), new),
        (OURS, "insert loop", lambda x: [x.insert(k, m) for k, m in zip(keys, minhashes)], new),
        (OURS, "insert array", lambda x: x.insert_signatures(keys, array), new),
        (OURS, "query", lambda: full.query_many(minhashes)),
        (OURS, "query loop", lambda: [full.query(m) for m in minhashes]),
        (OURS, "query array", lambda: full.query_signatures(array)),
    ]

    ds = import_or_skip("datasketch", "datasketch", notes, (rows, ("insert", "insert loop", "query", "query loop")))
    if ds is not None:
        ds_minhashes = [datasketch_minhash(ds, row) for row in array]
        held, ds_full = datasketch_memory(ds, params, ds_minhashes, keys)
        ds_found = [set(ds_full.query(m)) for m in ds_minhashes]
        ds_recall = recall(ds_found, planted)
        notes["datasketch"] = (f"same bands and rows; recall {ds_recall:.2%}; tracemalloc {held / 2**20:.1f} MiB "
                               f"= {held / n:.0f} B/key; ours/datasketch memory "
                               f"{full.size_in_bytes / held:.3f}; recall difference "
                               f"{(ours_recall - ds_recall) * 100:+.2f} points")
        ds_new = lambda: ds.MinHashLSH(threshold=THRESHOLD, num_perm=NUM_HASHES, params=params)

        def session(lsh):
            with lsh.insertion_session() as s:
                for k, m in zip(keys, ds_minhashes):
                    s.insert(k, m)

        notes["datasketch", "insert"] = "insertion_session"
        notes["datasketch", "query"] = "loop of query (no batch API)"
        rows += [
            ("datasketch", "insert", session, ds_new),
            ("datasketch", "insert loop", lambda x: [x.insert(k, m) for k, m in zip(keys, ds_minhashes)], ds_new),
            ("datasketch", "query", lambda: [ds_full.query(m) for m in ds_minhashes]),
            ("datasketch", "query loop", lambda: [ds_full.query(m) for m in ds_minhashes]),
        ]

    return [{
        "title": f"MinHashLSH, {NUM_HASHES} slots, threshold {THRESHOLD}, {n // PLANTED_SHARE:,} planted pairs",
        "items": n,
        "rows": rows,
        "notes": notes,
        "memory": [(OURS, murk_index_rss)],
    }]


def murk_index_rss(n):
    """Resident growth while an index of n signatures is built (child process).

    The signatures are random here: building real ones would leave freed heap
    pages behind that the index then reuses, hiding its growth.
    """
    import murk
    array = np.random.default_rng(1).integers(0, 2**64 - 1, size=(n, NUM_HASHES), dtype=np.uint64)
    lsh = murk.MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES)
    keys = list(range(n))
    return lambda: lsh.insert_signatures(keys, array), {"signatures array": array.nbytes}
