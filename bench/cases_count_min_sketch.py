"""Count-min sketch: `_murk.CountMinSketch` against pyprobables."""
from common import OURS, add_loop, call_loop, fill, hex_keys, import_or_skip

WIDTH, DEPTH = 2719, 7  # error rate 0.001, confidence 0.999

LIBRARIES = [  # (label, module, new sketch)
    ("_murk", "_murk", lambda m: m.CountMinSketch(width=WIDTH, depth=DEPTH)),
    ("pyprobables", "probables", lambda m: m.CountMinSketch(width=WIDTH, depth=DEPTH)),
]


def make_items(count, distinct):
    # A skewed stream: item i of the stream is key (i * i) mod distinct, so
    # some keys repeat often and most rarely, as in real frequency data.
    return hex_keys((i * i) % distinct for i in range(count))


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items = make_items(n, n // 4)
    rows, notes = [], {}
    for lib, module, make in LIBRARIES:
        mod = import_or_skip(lib, module, notes, (rows, ("update", "query_many", "add loop", "query loop")))
        if mod is None:
            continue
        ours = lib == OURS
        new = lambda make=make, mod=mod: make(mod)
        full = fill(new(), items, ours)  # filled once, untimed; queries do not change it
        query = full.query if ours else full.check
        if ours:
            rows.append((lib, "update", lambda sk: sk.update(items), new))
            rows.append((lib, "query_many", lambda sk=full: sk.query_many(items)))
        else:
            rows.append((lib, "update", lambda sk: add_loop(sk, items), new))
            rows.append((lib, "query_many", lambda sk=full: [sk.check(x) for x in items]))
            notes[lib, "update"] = "no batch API: loop of add"
            notes[lib, "query_many"] = "no batch API: list comprehension of check"
        rows.append((lib, "add loop", lambda sk: add_loop(sk, items), new))
        rows.append((lib, "query loop", lambda query=query: call_loop(query, items)))
        # Same stream, same shape: the summed estimates show both overcount alike.
        notes[lib] = f"sum of estimates for the first 1000 items: {sum(map(query, items[:1000]))}"
    notes["pyprobables", "query loop"] = "check()"

    return [{
        "title": f"CountMinSketch, width {WIDTH}, depth {DEPTH}, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
