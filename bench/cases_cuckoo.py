"""Cuckoo filter: `_murk.CuckooFilter` against pyprobables' CuckooFilter."""
import importlib

from cases_bloom import make_items

CAPACITY_PER_ITEM = 1.2  # 1,000,000 items in a filter built for 1,200,000


def new_murk(mod, capacity):
    return mod.CuckooFilter(capacity)


def new_pyprobables(mod, capacity):
    # Its capacity counts buckets of four; the same number keeps it far from
    # full, so it never expands during the run.
    return mod.CuckooFilter(capacity=capacity, auto_expand=False)


LIBRARIES = [  # (label, module, constructor, batch update, batch query)
    ("_murk", "_murk", new_murk, True),
    ("pyprobables", "probables", new_pyprobables, False),
]


def add_loop(cf, items):
    add = cf.add
    for x in items:
        add(x)


def check_loop(cf, items):
    check = cf.check
    return [check(x) for x in items]


def in_loop(cf, items):
    for x in items:
        x in cf


def remove_loop(cf, items):
    remove = cf.remove
    for x in items:
        remove(x)


def cases(quick):
    n = 100_000 if quick else 1_000_000
    capacity = int(n * CAPACITY_PER_ITEM)
    items = make_items(0, n)
    absent = make_items(n, n)
    queries = [x for pair in zip(items[: n // 2], absent[: n // 2]) for x in pair]

    rows, notes = [], {}
    for lib, module, make, ours in LIBRARIES:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            notes[lib] = ("not importable (build and install this repo)" if ours
                          else f"not installed (pip install {lib})")
            rows += [(lib, op, None) for op in ("add", "check", "remove", "add loop", "check loop")]
            continue
        new = lambda make=make, mod=mod: make(mod, capacity)

        def full(new=new, ours=ours):
            cf = new()
            if ours:
                cf.update(items)
            else:
                add_loop(cf, items)
            return cf

        try:  # filled once, untimed; queries do not change it
            filled = full()
            hits = sum(1 for x in absent[: n // 10] if x in filled)
            notes[lib] = f"measured fpr {hits / (n // 10):.3%}"
        except Exception as exc:
            notes[lib] = f"error: {type(exc).__name__}: {exc}"
            continue

        if ours:
            rows.append((lib, "add", lambda cf: cf.update(items), new))
            rows.append((lib, "check", lambda cf=filled: cf.query_many(queries)))
            rows.append((lib, "remove", lambda cf: remove_loop(cf, items), filled.copy))
            rows.append((lib, "add loop", lambda cf: add_loop(cf, items), new))
            rows.append((lib, "check loop", lambda cf=filled: in_loop(cf, queries)))
        else:
            rows.append((lib, "add", lambda cf: add_loop(cf, items), new))
            rows.append((lib, "check", lambda cf=filled: check_loop(cf, queries)))
            rows.append((lib, "remove", lambda cf: remove_loop(cf, items), full))
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
