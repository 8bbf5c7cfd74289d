"""Counting Bloom filter: `_murk.CountingBloomFilter` against pyprobables."""
import importlib

from cases_bloom import make_items

FPR = 0.01


def new_murk(mod, n):
    return mod.CountingBloomFilter(expected_items=n, false_positive_rate=FPR)


def new_pyprobables(mod, n):
    return mod.CountingBloomFilter(est_elements=n, false_positive_rate=FPR)


LIBRARIES = [("_murk", "_murk", new_murk), ("pyprobables", "probables", new_pyprobables)]
OPS = ("update", "query_many", "remove", "add loop", "in loop", "count loop")


def call_loop(method, items):
    for x in items:
        method(x)


def in_loop(f, items):
    for x in items:
        x in f


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items = make_items(0, n)
    absent = make_items(n, n)
    # Half present, half absent, interleaved so branch prediction gets no easy run.
    queries = [x for pair in zip(items[: n // 2], absent[: n // 2]) for x in pair]

    rows, notes = [], {}
    for lib, module, make in LIBRARIES:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            notes[lib] = ("not importable (build and install this repo)" if lib == "_murk"
                          else f"not installed (pip install {lib})")
            rows += [(lib, op, None) for op in OPS]
            continue
        ours = lib == "_murk"
        new = lambda make=make, mod=mod: make(mod, n)

        def fill(f, ours=ours):
            f.update(items) if ours else call_loop(f.add, items)
            return f

        try:  # filled once, untimed; queries do not change it
            full = fill(new())
            hits = sum(1 for x in absent[-100_000:] if (x in full if ours else full.check(x)))
            notes[lib] = f"measured fpr {hits / min(n, 100_000):.2%}"
        except Exception as exc:
            notes[lib] = f"error: {type(exc).__name__}: {exc}"
            continue

        if ours:
            rows.append((lib, "update", lambda f: f.update(items), new))
            rows.append((lib, "query_many", lambda f=full: f.query_many(queries)))
            rows.append((lib, "remove", lambda f: call_loop(f.remove, items), full.copy))
            rows.append((lib, "in loop", lambda f=full: in_loop(f, queries)))
            rows.append((lib, "count loop", lambda f=full: call_loop(f.count, queries)))
        else:
            rows.append((lib, "update", lambda f: call_loop(f.add, items), new))
            rows.append((lib, "query_many", lambda f=full: [f.check(x) > 0 for x in queries]))
            rows.append((lib, "remove", lambda f: call_loop(f.remove, items), lambda: fill(new())))
            rows.append((lib, "in loop", lambda f=full: call_loop(f.check, queries)))
            rows.append((lib, "count loop", lambda f=full: call_loop(f.check, queries)))
            notes[lib, "update"] = "no batch API: loop of add"
            notes[lib, "query_many"] = "no batch API: list comprehension of check() > 0"
            notes[lib, "in loop"] = "check()"
        rows.append((lib, "add loop", lambda f: call_loop(f.add, items), new))

    return [{
        "title": "CountingBloomFilter, 1% false-positive rate, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
