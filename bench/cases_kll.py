"""KLLSketch: `murk.KLLSketch` (k 200) against Apache DataSketches' kll_doubles_sketch (k 200)
on 1M lognormal float64 values: update speed, then accuracy and size side by side."""
import numpy as np

from common import OURS, call_loop, import_or_skip

K = 200
QS = np.linspace(0.005, 0.995, 199)
CALLS = 100  # quantile queries and merges are timed over this many calls


def rank_error(answers, sorted_values):
    """The largest distance from each q to the rank span of its answer."""
    n = len(sorted_values)
    lo = np.searchsorted(sorted_values, answers, side="left") / n
    hi = np.searchsorted(sorted_values, answers, side="right") / n
    return float(np.max(np.maximum(0.0, np.maximum(lo - QS, QS - hi))))


class Murk:
    module = "murk"

    def __init__(self, mod):
        self.mod = mod

    def new(self, seed=0):
        return self.mod.KLLSketch(K, seed=seed)

    def update_array(self, s, values):
        s.update_array(values)

    def update_list(self, s, values):
        s.update(values)

    def loop(self, s, values):
        call_loop(s.update, values)

    def quantiles(self, s):
        return s.quantiles(QS)

    def size(self, s):
        return s.size_in_bytes

    def bound(self, s):
        return s.normalized_rank_error(pmf=True)

    def merge(self, a, b):
        a.merge(b)


class DataSketches(Murk):
    module = "datasketches"

    def new(self, seed=0):
        return self.mod.kll_doubles_sketch(K)

    def update_array(self, s, values):
        s.update(values)

    def update_list(self, s, values):
        call_loop(s.update, values)

    def quantiles(self, s):
        return s.get_quantiles(QS)

    def size(self, s):
        return len(s.serialize())

    def bound(self, s):
        return s.normalized_rank_error(True)


LIBRARIES = [(OURS, Murk), ("datasketches", DataSketches)]


def cases(quick):
    n = 200_000 if quick else 1_000_000
    streams = 5 if quick else 20  # accuracy: independent streams (and seeds) averaged
    rng = np.random.default_rng(11)
    values = rng.lognormal(size=n)
    as_list = values.tolist()
    update_rows, update_notes = [], {}
    call_rows, call_notes = [], {}
    for lib, cls in LIBRARIES:
        mod = import_or_skip(lib, cls.module, update_notes, (update_rows, ("update_array", "update list", "update loop")),
                             (call_rows, ("quantiles", "merge")))
        if mod is None:
            continue
        api = cls(mod)
        update_rows += [
            (lib, "update_array", lambda s, api=api: api.update_array(s, values), api.new),
            (lib, "update list", lambda s, api=api: api.update_list(s, as_list), api.new),
            (lib, "update loop", lambda s, api=api: api.loop(s, as_list), api.new),
        ]
        errors, sizes = [], []
        for i in range(streams):
            stream = np.random.default_rng(100 + i).lognormal(size=n)
            s = api.new(seed=i)
            api.update_array(s, stream)
            errors.append(rank_error(np.asarray(api.quantiles(s)), np.sort(stream)))
            sizes.append(api.size(s))
        full, other = api.new(), api.new(seed=1)
        api.update_array(full, values)
        api.update_array(other, values[: n // 2])
        call_notes[lib] = (f"rank error over {streams} streams: mean {np.mean(errors):.3%}, worst "
                           f"{max(errors):.3%} (bound {api.bound(full):.3%}); size {np.mean(sizes):,.0f} B")

        def quantile_calls(api=api, s=full):
            for _ in range(CALLS):
                api.quantiles(s)

        def merge_calls(api=api, b=other):
            for _ in range(CALLS):
                a = api.new()
                api.merge(a, b)

        call_rows += [(lib, "quantiles", quantile_calls), (lib, "merge", merge_calls)]
    update_notes[OURS, "update_array"] = "update_array(float64 array), read in place"
    update_notes[OURS, "update list"] = "update(list of floats)"
    update_notes["datasketches", "update_array"] = "update(numpy array)"
    update_notes["datasketches", "update list"] = "loop of update(float): no list API"
    call_notes[OURS, "quantiles"] = f"quantiles() of {len(QS)} q"
    call_notes["datasketches", "quantiles"] = f"get_quantiles() of {len(QS)} q"
    call_notes["datasketches", "merge"] = "into an empty sketch (a new one each call)"
    return [{
        "title": f"KLL k={K}, {n:,} lognormal float64 values",
        "items": n,
        "rows": update_rows,
        "notes": update_notes,
    }, {
        "title": f"KLL k={K}, per call ({n:,} values held); accuracy: largest rank error over {len(QS)} quantiles",
        "items": CALLS,
        "rows": call_rows,
        "notes": call_notes,
    }]
