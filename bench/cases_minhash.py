"""MinHash: `_murk.MinHash` against datasketch's MinHash (128 permutations)."""
import importlib

NUM_PERM = 128
CALLS = 1000  # jaccard is timed over this many calls


def make_items(start, count):
    # Odd-constant multiplication is a bijection mod 2**64: distinct, scattered keys.
    return [f"{(i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF:016x}" for i in range(start, start + count)]


def cases(quick):
    n = 20_000 if quick else 100_000
    items = make_items(0, n)
    overlap = make_items(n // 2, n)  # true Jaccard 1/3 with items
    encoded, encoded_overlap = [x.encode() for x in items], [x.encode() for x in overlap]
    rows, notes, call_rows = [], {}, []

    try:
        murk = importlib.import_module("_murk")
    except ImportError:
        murk = None
        notes["_murk"] = "not importable (build and install this repo)"
        rows += [("_murk", op, None) for op in ("update", "add loop")]
        call_rows.append(("_murk", "jaccard", None))
    if murk:
        new = lambda: murk.MinHash(num_hashes=NUM_PERM)

        def add_loop(m):
            add = m.add
            for x in items:
                add(x)

        a, b = new(), new()
        a.update(items)
        b.update(overlap)
        notes["_murk"] = f"jaccard {a.jaccard(b):.3f} (true 0.333)"
        rows.append(("_murk", "update", lambda m: m.update(items), new))
        rows.append(("_murk", "add loop", add_loop, new))
        call_rows.append(("_murk", "jaccard", lambda: [a.jaccard(b) for _ in range(CALLS)]))

    try:
        ds = importlib.import_module("datasketch")
    except ImportError:
        ds = None
        notes["datasketch"] = "not installed (pip install datasketch)"
        rows += [("datasketch", op, None) for op in ("update", "add loop")]
        call_rows.append(("datasketch", "jaccard", None))
    if ds:
        new_ds = lambda: ds.MinHash(num_perm=NUM_PERM)

        def update_loop(m):
            update = m.update
            for x in encoded:
                update(x)

        a_ds, b_ds = new_ds(), new_ds()
        a_ds.update_batch(encoded)
        b_ds.update_batch(encoded_overlap)
        notes["datasketch"] = f"jaccard {a_ds.jaccard(b_ds):.3f}; items pre-encoded to bytes (untimed)"
        notes["datasketch", "update"] = "update_batch"
        notes["datasketch", "add loop"] = "loop of update"
        rows.append(("datasketch", "update", lambda m: m.update_batch(encoded), new_ds))
        rows.append(("datasketch", "add loop", update_loop, new_ds))
        call_rows.append(("datasketch", "jaccard", lambda: [a_ds.jaccard(b_ds) for _ in range(CALLS)]))

    return [{
        "title": f"MinHash, {NUM_PERM} slots, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }, {
        "title": f"MinHash, {NUM_PERM} slots, jaccard per call",
        "items": CALLS,
        "rows": call_rows,
    }]
