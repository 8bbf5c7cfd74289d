"""Scalable Bloom filter: `_murk.ScalableBloomFilter` against pybloom-live's.

Both start at capacity 1000 with a 1% target and double the capacity of each
new slice, then take 1,000,000 distinct str items (about ten slices).
"""
from common import OURS, add_loop, fill, fill_once, filter_items, fpr, import_or_skip, in_loop

FPR = 0.01
INITIAL = 1000
FPR_PROBES = 100_000

LIBRARIES = [  # (label, module, new filter, has batch calls)
    ("_murk", "_murk", lambda m: m.ScalableBloomFilter(initial_capacity=INITIAL, false_positive_rate=FPR), True),
    ("pybloom-live", "pybloom_live",
     lambda m: m.ScalableBloomFilter(initial_capacity=INITIAL, error_rate=FPR,
                                     mode=m.ScalableBloomFilter.SMALL_SET_GROWTH), False),
]


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items, absent, queries = filter_items(n)
    fpr_probe = absent[-FPR_PROBES:]

    rows, notes = [], {}
    for lib, module, make, has_batch in LIBRARIES:
        mod = import_or_skip(lib, module, notes, (rows, ("update", "query_many", "add loop", "in loop")))
        if mod is None:
            continue
        new = lambda make=make, mod=mod: make(mod)

        def describe(f):
            slices = f.num_slices if lib == OURS else len(f.filters)
            return f"{slices} slices, measured fpr {fpr(fpr_probe, f.__contains__):.2%}"

        full = fill_once(lib, notes, new, items, has_batch, describe)  # queries do not change it
        if full is None:
            continue

        rows.append((lib, "update", lambda f, batch=has_batch: fill(f, items, batch), new))
        if has_batch:
            rows.append((lib, "query_many", lambda f=full: f.query_many(queries)))
        else:
            rows.append((lib, "query_many", lambda f=full: [x in f for x in queries]))
            notes[lib, "update"] = "no batch API: loop of add"
            notes[lib, "query_many"] = "no batch API: list comprehension of in"
        rows.append((lib, "add loop", lambda f: add_loop(f, items), new))
        rows.append((lib, "in loop", lambda f=full: in_loop(f, queries)))

    return [{
        "title": f"ScalableBloomFilter from capacity {INITIAL}, 1% target, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
