"""MinHash: `_murk.MinHash` against datasketch's MinHash (128 permutations)."""
from common import OURS, call_loop, import_or_skip, make_items

NUM_PERM = 128
CALLS = 1000  # jaccard is timed over this many calls

LIBRARIES = [  # (label, module, new sketch, batch update method, single-item method)
    ("_murk", "_murk", lambda m: m.MinHash(num_hashes=NUM_PERM), "update", "add"),
    ("datasketch", "datasketch", lambda m: m.MinHash(num_perm=NUM_PERM), "update_batch", "update"),
]


def cases(quick):
    n = 20_000 if quick else 100_000
    items = make_items(0, n)
    overlap = make_items(n // 2, n)  # true Jaccard 1/3 with items
    encoded, encoded_overlap = [x.encode() for x in items], [x.encode() for x in overlap]
    rows, notes, call_rows = [], {}, []

    for lib, module, make, batch, single in LIBRARIES:
        mod = import_or_skip(lib, module, notes, (rows, ("update", "add loop")), (call_rows, ("jaccard",)))
        if mod is None:
            continue
        ours = lib == OURS
        xs, ys = (items, overlap) if ours else (encoded, encoded_overlap)  # peers take bytes
        new = lambda make=make, mod=mod: make(mod)
        a, b = new(), new()
        getattr(a, batch)(xs)
        getattr(b, batch)(ys)
        jaccard = f"jaccard {a.jaccard(b):.3f}"
        if ours:
            notes[lib] = f"{jaccard} (true 0.333)"
        else:
            notes[lib] = f"{jaccard}; items pre-encoded to bytes (untimed)"
            notes[lib, "update"] = batch
            notes[lib, "add loop"] = f"loop of {single}"
        rows.append((lib, "update", lambda m, batch=batch, xs=xs: getattr(m, batch)(xs), new))
        rows.append((lib, "add loop", lambda m, single=single, xs=xs: call_loop(getattr(m, single), xs), new))
        call_rows.append((lib, "jaccard", lambda a=a, b=b: [a.jaccard(b) for _ in range(CALLS)]))

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
