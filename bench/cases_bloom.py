"""Bloom filter: `_murk.BloomFilter` against rbloom, pybloom-live and pyprobables."""
from common import (OURS, add_loop, call_loop, fill, fill_once, filter_items, fpr, import_or_skip, in_loop,
                    make_items)

FPR = 0.01
FPR_PROBES = 100_000

LIBRARIES = [  # (label, module, new filter for n items, has a batch update)
    ("_murk", "_murk", lambda m, n: m.BloomFilter(expected_items=n, false_positive_rate=FPR), True),
    ("rbloom", "rbloom", lambda m, n: m.Bloom(n, FPR), True),
    ("pybloom-live", "pybloom_live", lambda m, n: m.BloomFilter(n, FPR), False),
    ("pyprobables", "probables", lambda m, n: m.BloomFilter(est_elements=n, false_positive_rate=FPR), False),
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
        new = lambda make=make, mod=mod: make(mod, n)
        full = fill_once(lib, notes, new, items, has_batch,  # queries do not change it
                         lambda f: f"measured fpr {fpr(fpr_probe, f.__contains__):.2%}")
        if full is None:
            continue

        rows.append((lib, "update", lambda bf, batch=has_batch: fill(bf, items, batch), new))
        if lib == OURS:
            rows.append((lib, "query_many", lambda bf=full: bf.query_many(queries)))
        else:
            rows.append((lib, "query_many", lambda bf=full: [x in bf for x in queries]))
            notes[lib, "query_many"] = "no batch API: list comprehension of in"
        if not has_batch:
            notes[lib, "update"] = "no batch API: loop of add"
        rows.append((lib, "add loop", lambda bf: add_loop(bf, items), new))
        if lib == "pyprobables":
            rows.append((lib, "in loop", lambda bf=full: call_loop(bf.check, queries)))
        else:
            rows.append((lib, "in loop", lambda bf=full: in_loop(bf, queries)))
    notes["pyprobables", "in loop"] = "check()"
    if notes.get("rbloom", "").startswith("measured"):
        notes["rbloom"] += "; hashes via Python hash(), which str caches"

    return [{
        "title": "BloomFilter, 1% false-positive rate, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
        "memory": [("_murk", murk_update_16_chars), ("_murk", murk_update_64_chars),
                   ("rbloom", rbloom_update_16_chars)],
    }]


# Memory probes run in a child process (see run.peak_extra_rss), so they are
# module-level functions that build their own inputs. Ours runs with 16- and
# 64-character items: growth that does not follow the item length means the
# gathered batch refers to the str data instead of copying it.

def _probe(bf, n, width):
    items = [x * (width // 16) for x in make_items(0, n)]
    text = sum(len(x.encode()) for x in items)
    return (lambda: bf.update(items)), {"item text (UTF-8)": text}


def _murk_probe(n, width):
    import _murk
    bf = _murk.BloomFilter(expected_items=n, false_positive_rate=FPR)
    call, refs = _probe(bf, n, width)
    return call, {"bit array": bf.size_in_bytes, **refs}


def murk_update_16_chars(n):
    return _murk_probe(n, 16)


def murk_update_64_chars(n):
    return _murk_probe(n, 64)


def rbloom_update_16_chars(n):
    import rbloom
    bf = rbloom.Bloom(n, FPR)
    call, refs = _probe(bf, n, 16)
    return call, {"bit array": bf.size_in_bits // 8, **refs}
