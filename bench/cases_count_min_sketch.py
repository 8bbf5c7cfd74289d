"""Count-min sketch: `_murk.CountMinSketch` against pyprobables."""
import importlib

WIDTH, DEPTH = 2719, 7  # error rate 0.001, confidence 0.999

LIBRARIES = [  # (label, module, new sketch)
    ("_murk", "_murk", lambda m: m.CountMinSketch(width=WIDTH, depth=DEPTH)),
    ("pyprobables", "probables", lambda m: m.CountMinSketch(width=WIDTH, depth=DEPTH)),
]


def make_items(count, distinct):
    # A skewed stream: item i of the stream is key (i * i) mod distinct, so
    # some keys repeat often and most rarely, as in real frequency data.
    return [f"{(k * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF:016x}"
            for k in ((i * i) % distinct for i in range(count))]


def add_loop(sk, items):
    add = sk.add
    for x in items:
        add(x)


def query_loop(sk, items):
    q = sk.check if hasattr(sk, "check") else sk.query
    for x in items:
        q(x)


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items = make_items(n, n // 4)
    rows, notes = [], {}
    for lib, module, make in LIBRARIES:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            notes[lib] = ("not importable (build and install this repo)" if lib == "_murk"
                          else f"not installed (pip install {lib})")
            rows += [(lib, op, None) for op in ("update", "query_many", "add loop", "query loop")]
            continue
        new = lambda make=make, mod=mod: make(mod)
        full = new()  # filled once, untimed; queries do not change it
        if lib == "_murk":
            full.update(items)
            rows.append((lib, "update", lambda sk: sk.update(items), new))
            rows.append((lib, "query_many", lambda sk=full: sk.query_many(items)))
        else:
            add_loop(full, items)
            rows.append((lib, "update", lambda sk: add_loop(sk, items), new))
            rows.append((lib, "query_many", lambda sk=full: [sk.check(x) for x in items]))
            notes[lib, "update"] = "no batch API: loop of add"
            notes[lib, "query_many"] = "no batch API: list comprehension of check"
        rows.append((lib, "add loop", lambda sk: add_loop(sk, items), new))
        rows.append((lib, "query loop", lambda sk=full: query_loop(sk, items)))
        # Same stream, same shape: the summed estimates show both overcount alike.
        check = full.query if lib == "_murk" else full.check
        notes[lib] = f"sum of estimates for the first 1000 items: {sum(map(check, items[:1000]))}"
    notes["pyprobables", "query loop"] = "check()"

    return [{
        "title": f"CountMinSketch, width {WIDTH}, depth {DEPTH}, 16-char str items",
        "items": n,
        "rows": rows,
        "notes": notes,
    }]
