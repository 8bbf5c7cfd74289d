"""DDSketch: `murk.DDSketch` (1% relative accuracy) against fastdigest's TDigest
and the `ddsketch` package's DDSketch (1% relative accuracy).

1M lognormal float64 values (sigma 2: a heavy right tail). "build" is each
library's fastest way to sketch a NumPy array: our update_array (read in
place), fastdigest's TDigest.from_values, and a loop of ddsketch's add (it has
no batch API). The notes give each one's relative error at p50, p99 and p99.9.
"""
import numpy as np

from common import OURS, import_or_skip

ALPHA = 0.01
QS = (0.5, 0.99, 0.999)
CALLS = 200  # quantile queries and merges are timed over this many calls


def values(n, seed=11):
    return np.random.default_rng(seed).lognormal(0.0, 2.0, n)


def errors(answers, exact):
    return ", ".join(f"p{q * 100:g} {abs(a - e) / e:.2%}" for q, a, e in zip(QS, answers, exact))


def cases(quick):
    n = 100_000 if quick else 1_000_000
    data = values(n)
    as_list = data.tolist()
    half = n // 2
    exact = [float(np.quantile(data, q, method="inverted_cdf")) for q in QS]
    rows, notes = [], {}
    call_rows, call_notes = [], {}

    murk = import_or_skip(OURS, "murk", notes, (rows, ("build", "update list", "add loop")),
                          (call_rows, ("quantiles", "merge")))
    if murk is not None:
        new = lambda: murk.DDSketch(relative_accuracy=ALPHA)
        full, a, b = new(), new(), new()
        full.update_array(data)
        a.update_array(data[:half])
        b.update_array(data[half:])
        notes[OURS] = (f"murk.DDSketch(relative_accuracy={ALPHA}): {errors(full.quantiles(QS), exact)}; "
                       f"{full.num_buckets} buckets, size_in_bytes {full.size_in_bytes:,}")
        notes[OURS, "build"] = "update_array(numpy), in place"
        notes[OURS, "update list"] = "update(list of floats)"

        def add_loop(s):
            add = s.update
            for x in as_list:
                add(x)

        def quantile_calls():
            for _ in range(CALLS):
                full.quantiles(QS)

        def merge_calls():
            for _ in range(CALLS):
                a.copy().merge(b)

        rows += [
            (OURS, "build", lambda s: s.update_array(data), new),
            (OURS, "update list", lambda s: s.update(as_list), new),
            (OURS, "add loop", add_loop, new),
        ]
        call_rows += [(OURS, "quantiles", quantile_calls), (OURS, "merge", merge_calls)]
        call_notes[OURS, "merge"] = "copy() then merge() of two half sketches"

    fd = import_or_skip("fastdigest", "fastdigest", notes, (rows, ("build",)), (call_rows, ("quantiles", "merge")))
    if fd is not None:
        digest = fd.TDigest.from_values(data)
        da, db = fd.TDigest.from_values(data[:half]), fd.TDigest.from_values(data[half:])
        notes["fastdigest"] = f"TDigest (default max_centroids): {errors([digest.quantile(q) for q in QS], exact)}"
        notes["fastdigest", "build"] = "TDigest.from_values(numpy)"

        def fd_quantiles():
            for _ in range(CALLS):
                [digest.quantile(q) for q in QS]

        def fd_merge():
            for _ in range(CALLS):
                da.merge(db)

        rows.append(("fastdigest", "build", lambda: fd.TDigest.from_values(data)))
        call_rows += [("fastdigest", "quantiles", fd_quantiles), ("fastdigest", "merge", fd_merge)]
        call_notes["fastdigest", "merge"] = "merge() returns a new digest"

    dd = import_or_skip("ddsketch", "ddsketch", notes, (rows, ("build", "add loop")),
                        (call_rows, ("quantiles", "merge")))
    if dd is not None:
        pure = dd.DDSketch(relative_accuracy=ALPHA)
        for x in as_list:
            pure.add(x)
        notes["ddsketch"] = f"DDSketch(relative_accuracy={ALPHA}): {errors([pure.get_quantile_value(q) for q in QS], exact)}"
        notes["ddsketch", "build"] = "loop of add (no batch API)"

        def dd_loop(s):
            add = s.add
            for x in as_list:
                add(x)

        def dd_quantiles():
            for _ in range(CALLS):
                [pure.get_quantile_value(q) for q in QS]

        def dd_halves():
            x, y = dd.DDSketch(relative_accuracy=ALPHA), dd.DDSketch(relative_accuracy=ALPHA)
            for v in as_list[:half]:
                x.add(v)
            for v in as_list[half:]:
                y.add(v)
            return x, y

        dx, dy = dd_halves()

        def dd_merge():
            for _ in range(CALLS):
                c = dd.DDSketch(relative_accuracy=ALPHA)
                c.merge(dx)
                c.merge(dy)

        new_dd = lambda: dd.DDSketch(relative_accuracy=ALPHA)
        rows += [("ddsketch", "build", dd_loop, new_dd), ("ddsketch", "add loop", dd_loop, new_dd)]
        call_rows += [("ddsketch", "quantiles", dd_quantiles), ("ddsketch", "merge", dd_merge)]
        call_notes["ddsketch", "merge"] = "two merges into a new sketch (no copy)"

    return [{
        "title": f"DDSketch {ALPHA:.0%} relative accuracy, lognormal float64 values",
        "items": n,
        "rows": rows,
        "notes": notes,
    }, {
        "title": f"DDSketch, per call (p50, p99, p99.9 per quantiles call; {n:,} values held)",
        "items": CALLS,
        "rows": call_rows,
        "notes": call_notes,
    }]
