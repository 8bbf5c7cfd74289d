"""Cuckoo filter: `_murk.CuckooFilter` against pyprobables' CuckooFilter."""
from common import OURS, add_loop, call_loop, fill, fill_once, filter_items, fpr, import_or_skip, in_loop

CAPACITY_PER_ITEM = 1.2  # 1,000,000 items in a filter built for 1,200,000


def new_murk(mod, capacity):
    return mod.CuckooFilter(capacity)


def new_pyprobables(mod, capacity):
    # Its capacity counts buckets of four; the same number keeps it far from
    # full, so it never expands during the run.
    return mod.CuckooFilter(capacity=capacity, auto_expand=False)


LIBRARIES = [("_murk", "_murk", new_murk), ("pyprobables", "probables", new_pyprobables)]


def check_loop(cf, items):
    check = cf.check
    return [check(x) for x in items]


def cases(quick):
    n = 100_000 if quick else 1_000_000
    capacity = int(n * CAPACITY_PER_ITEM)
    items, absent, queries = filter_items(n)

    rows, notes = [], {}
    for lib, module, make in LIBRARIES:
        mod = import_or_skip(lib, module, notes, (rows, ("add", "check", "remove", "add loop", "check loop")))
        if mod is None:
            continue
        ours = lib == OURS
        new = lambda make=make, mod=mod: make(mod, capacity)
        refill = lambda new=new, ours=ours: fill(new(), items, ours)
        full = fill_once(lib, notes, new, items, ours,  # queries do not change it
                         lambda f: f"measured fpr {fpr(absent[: n // 10], f.__contains__):.3%}")
        if full is None:
            continue

        if ours:
            rows.append((lib, "add", lambda cf: cf.update(items), new))
            rows.append((lib, "check", lambda cf=full: cf.query_many(queries)))
            rows.append((lib, "remove", lambda cf: call_loop(cf.remove, items), full.copy))
            rows.append((lib, "add loop", lambda cf: add_loop(cf, items), new))
            rows.append((lib, "check loop", lambda cf=full: in_loop(cf, queries)))
        else:
            rows.append((lib, "add", lambda cf: add_loop(cf, items), new))
            rows.append((lib, "check", lambda cf=full: check_loop(cf, queries)))
            rows.append((lib, "remove", lambda cf: call_loop(cf.remove, items), refill))
            notes[lib, "add"] = "no batch API: loop of add"
            notes[lib, "check"] = "no batch API: list comprehension of check"
    notes["_murk", "add"] = "update()"
    notes["_murk", "check"] = "query_many()"
    notes["_murk", "remove"] = "loop of remove (no batch removal)"

    return [{
        "title": f"CuckooFilter, capacity {capacity:,}, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
