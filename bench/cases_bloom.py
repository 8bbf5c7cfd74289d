"""Bloom filter: `_murk.BloomFilter` against rbloom, pybloom-live and pyprobables."""
import importlib

FPR = 0.01
FPR_PROBES = 100_000

LIBRARIES = [  # (label, module, new filter for n items, has a batch update)
    ("_murk", "_murk", lambda m, n: m.BloomFilter(expected_items=n, false_positive_rate=FPR), True),
    ("rbloom", "rbloom", lambda m, n: m.Bloom(n, FPR), True),
    ("pybloom-live", "pybloom_live", lambda m, n: m.BloomFilter(n, FPR), False),
    ("pyprobables", "probables", lambda m, n: m.BloomFilter(est_elements=n, false_positive_rate=FPR), False),
]


def make_items(start, count):
    # Multiplying by an odd constant is a bijection mod 2**64, so disjoint
    # counter ranges give disjoint, well-scattered 16-character hex strings.
    return [f"{(i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF:016x}"
            for i in range(start, start + count)]


def add_loop(bf, items):
    add = bf.add
    for x in items:
        add(x)


def in_loop(bf, items):
    for x in items:
        x in bf


def check_loop(bf, items):
    check = bf.check
    for x in items:
        check(x)


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items = make_items(0, n)
    absent = make_items(n, n)
    # Half present, half absent, interleaved so branch prediction gets no easy run.
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
        new = lambda make=make, mod=mod: make(mod, n)
        update = (lambda bf, xs: bf.update(xs)) if has_batch else add_loop
        try:  # filled once, untimed; queries do not change it
            full = new()
            update(full, items)
            hits = sum(1 for x in fpr_probe if x in full)
            notes[lib] = f"measured fpr {hits / len(fpr_probe):.2%}"
        except Exception as exc:
            notes[lib] = f"error: {type(exc).__name__}: {exc}"
            continue

        rows.append((lib, "update", lambda bf, update=update: update(bf, items), new))
        if lib == "_murk":
            rows.append((lib, "query_many", lambda bf=full: bf.query_many(queries)))
        else:
            rows.append((lib, "query_many", lambda bf=full: [x in bf for x in queries]))
            notes[lib, "query_many"] = "no batch API: list comprehension of in"
        if not has_batch:
            notes[lib, "update"] = "no batch API: loop of add"
        rows.append((lib, "add loop", lambda bf: add_loop(bf, items), new))
        loop = check_loop if lib == "pyprobables" else in_loop
        rows.append((lib, "in loop", lambda bf=full, loop=loop: loop(bf, queries)))
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
