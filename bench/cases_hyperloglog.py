"""HyperLogLog: `_murk.HyperLogLog` (p 14) against datasketches' hll_sketch (lg_k 14)
and datasketch's HyperLogLog (p 14)."""
import importlib

from common import OURS, call_loop, import_or_skip, make_items

P = 14
CALLS = 200  # estimate and merge are timed over this many calls


class Murk:
    module = "_murk"

    def __init__(self, mod):
        self.mod = mod

    def new(self):
        return self.mod.HyperLogLog(precision=P)

    def update(self, h, items):
        h.update(items)

    def add_loop(self, h, items):
        call_loop(h.add, items)

    def estimate(self, h):
        return h.cardinality()

    def merge(self, a, b):
        a.merge(b)


class DataSketches(Murk):
    module = "datasketches"

    def new(self):
        return self.mod.hll_sketch(P)

    def add_loop(self, h, items):
        call_loop(h.update, items)

    update = add_loop

    def estimate(self, h):
        return h.get_estimate()

    def merge(self, a, b):
        u = self.mod.hll_union(P)
        u.update(a)
        u.update(b)
        return u.get_result()


class DataSketch(Murk):
    module = "datasketch"

    def new(self):
        return self.mod.HyperLogLog(p=P)

    def add_loop(self, h, items):
        add = h.update
        for x in items:
            add(x.encode())

    update = add_loop

    def estimate(self, h):
        return h.count()


LIBRARIES = [("_murk", Murk), ("datasketches", DataSketches), ("datasketch", DataSketch)]


def cases(quick):
    n = 100_000 if quick else 1_000_000
    items = make_items(0, n)
    other_items = make_items(n, n // 2)
    stream_rows, stream_notes = [], {}
    call_rows, call_notes = [], {}
    for lib, cls in LIBRARIES:
        mod = import_or_skip(lib, cls.module, stream_notes,
                             (stream_rows, ("update", "add loop")), (call_rows, ("estimate", "merge")))
        if mod is None:
            continue
        api = cls(mod)
        full, other = api.new(), api.new()
        api.update(full, items)
        api.update(other, other_items)
        stream_notes[lib] = f"estimate {api.estimate(full):,.0f} of {n:,}"
        stream_rows.append((lib, "update", lambda h, api=api: api.update(h, items), api.new))
        stream_rows.append((lib, "add loop", lambda h, api=api: api.add_loop(h, items), api.new))

        def estimate_calls(api=api, h=full):
            for _ in range(CALLS):
                api.estimate(h)

        def merge_calls(api=api, a=full, b=other):  # in place where the library merges in place
            for _ in range(CALLS):
                api.merge(a, b)

        call_rows.append((lib, "estimate", estimate_calls))
        call_rows.append((lib, "merge", merge_calls))
        if lib != OURS:
            stream_notes[lib, "update"] = "no batch API: loop of single adds"
    stream_notes["datasketch"] = stream_notes.get("datasketch", "") + "; items encoded to bytes per add"
    call_notes["datasketches", "merge"] = "hll_union of both, then get_result()"

    try:  # the per-item cost of our own Bloom filter batch, for scale
        mod = importlib.import_module("_murk")
        stream_rows.append(("_murk bloom", "update", lambda bf: bf.update(items),
                            lambda: mod.BloomFilter(expected_items=n, false_positive_rate=0.01)))
        stream_notes["_murk bloom"] = "BloomFilter(expected_items=n, fpr 1%).update"
    except ImportError:
        pass

    return [{
        "title": f"HyperLogLog p={P}, 16-char str items",
        "items": n,
        "rows": stream_rows,
        "notes": stream_notes,
    }, {
        "title": f"HyperLogLog p={P}, per call ({n:,} items held)",
        "items": CALLS,
        "rows": call_rows,
        "notes": call_notes,
    }]
