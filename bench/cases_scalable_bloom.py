"""Scalable Bloom filter: `_murk.ScalableBloomFilter` against pybloom-live's.

Both start at capacity 1000 with a 1% target and double the capacity of each
new slice, then take 1,000,000 distinct str items (about ten slices).
"""
import importlib

from cases_bloom import add_loop, in_loop, make_items

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
    items = make_items(0, n)
    absent = make_items(n, n)
    queries = [x for pair in zip(items[: n // 2], absent[: n // 2]) for x in pair]
    fpr_probe = absent[-FPR_PROBES:]

    rows, notes = [], {}
    for lib, module, make, has_batch in LIBRARIES:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            notes[lib] = ("not importable (build and install this repo)" if lib == "_murk"
                          else f"not installed (pip install {lib})")
            rows += [(lib, op, None) for op in ("update", "query_many", "add loop", "in loop")]
            continue
        new = lambda make=make, mod=mod: make(mod)
        update = (lambda f, xs: f.update(xs)) if has_batch else add_loop
        try:  # filled once, untimed; queries do not change it
            full = new()
            update(full, items)
            hits = sum(1 for x in fpr_probe if x in full)
            slices = full.num_slices if lib == "_murk" else len(full.filters)
            notes[lib] = f"{slices} slices, measured fpr {hits / len(fpr_probe):.2%}"
        except Exception as exc:
            notes[lib] = f"error: {type(exc).__name__}: {exc}"
            continue

        rows.append((lib, "update", lambda f, update=update: update(f, items), new))
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
