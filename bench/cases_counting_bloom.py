"""Counting Bloom filter: `_murk.CountingBloomFilter` against pyprobables."""
from common import OURS, add_loop, call_loop, fill, fill_once, filter_items, fpr, import_or_skip, in_loop

FPR = 0.01
FPR_PROBES = 100_000


def new_murk(mod, n):
    return mod.CountingBloomFilter(expected_items=n, false_positive_rate=FPR)


def new_pyprobables(mod, n):
    return mod.CountingBloomFilter(est_elements=n, false_positive_rate=FPR)


LIBRARIES = [("_murk", "_murk", new_murk), ("pyprobables", "probables", new_pyprobables)]
OPS = ("update", "query_many", "remove", "add loop", "in loop", "count loop")


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items, absent, queries = filter_items(n)

    rows, notes = [], {}
    for lib, module, make in LIBRARIES:
        mod = import_or_skip(lib, module, notes, (rows, OPS))
        if mod is None:
            continue
        ours = lib == OURS
        new = lambda make=make, mod=mod: make(mod, n)

        def describe(f):
            return f"measured fpr {fpr(absent[-FPR_PROBES:], f.__contains__ if ours else f.check):.2%}"

        full = fill_once(lib, notes, new, items, ours, describe)  # queries do not change it
        if full is None:
            continue

        if ours:
            rows.append((lib, "update", lambda f: f.update(items), new))
            rows.append((lib, "query_many", lambda f=full: f.query_many(queries)))
            rows.append((lib, "remove", lambda f: call_loop(f.remove, items), full.copy))
            rows.append((lib, "in loop", lambda f=full: in_loop(f, queries)))
            rows.append((lib, "count loop", lambda f=full: call_loop(f.count, queries)))
        else:
            rows.append((lib, "update", lambda f: add_loop(f, items), new))
            rows.append((lib, "query_many", lambda f=full: [f.check(x) > 0 for x in queries]))
            refill = lambda new=new: fill(new(), items, False)
            rows.append((lib, "remove", lambda f: call_loop(f.remove, items), refill))
            rows.append((lib, "in loop", lambda f=full: call_loop(f.check, queries)))
            rows.append((lib, "count loop", lambda f=full: call_loop(f.check, queries)))
            notes[lib, "update"] = "no batch API: loop of add"
            notes[lib, "query_many"] = "no batch API: list comprehension of check() > 0"
            notes[lib, "in loop"] = "check()"
        rows.append((lib, "add loop", lambda f: add_loop(f, items), new))

    return [{
        "title": "CountingBloomFilter, 1% false-positive rate, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
