"""ThetaSketch: `murk.ThetaSketch` (lg_k 12) against datasketches' update_theta_sketch
(lg_k 12): building from str items, and unions and intersections of many sketches.
Accuracy side by side is bench/theta_accuracy.py."""
import numpy as np

from common import OURS, call_loop, import_or_skip, make_items

LG_K = 12
SKETCHES = 100  # operands of the union and intersection rows


def cases(quick):
    n = 100_000 if quick else 1_000_000
    per = 10_000 if quick else 100_000
    items = make_items(0, n)
    build_rows, build_notes = [], {}
    set_rows, set_notes = [], {}
    murk = import_or_skip(OURS, "murk", build_notes, (build_rows, ("update_column", "update", "add loop")),
                          (set_rows, ("union", "intersection")))
    pa = import_or_skip("pyarrow", "pyarrow", build_notes)
    ds = import_or_skip("datasketches", "datasketches", build_notes,
                        (build_rows, ("update_column", "update", "add loop")), (set_rows, ("union", "intersection")))
    # Each operand: a common half shared by all, and a half of its own.
    rng = np.random.default_rng(12)
    common = rng.integers(0, 2**64, per // 2, dtype=np.uint64)
    parts = [np.concatenate([common, rng.integers(0, 2**64, per - per // 2, dtype=np.uint64)])
             for _ in range(SKETCHES)]

    if murk is not None:
        new = lambda: murk.ThetaSketch(LG_K)  # noqa: E731
        if pa is not None:
            arr = pa.array(items)
            build_rows.append((OURS, "update_column", lambda t: t.update_column(arr), new))
            build_notes[OURS, "update_column"] = "pyarrow utf8 array, read in place"
        build_rows.append((OURS, "update", lambda t: t.update(items), new))
        build_rows.append((OURS, "add loop", lambda t: call_loop(t.add, items), new))
        full = new()
        full.update(items)
        build_notes[OURS] = f"estimate {full.estimate():,.0f} of {n:,}"
        ours = []
        for p in parts:
            t = new()
            t.update_hashes(p)
            ours.append(t)
        u, i = murk.ThetaSketch.union(ours), murk.ThetaSketch.intersection(ours)
        set_notes[OURS] = (f"union {u.estimate():,.0f} of {per // 2 + SKETCHES * (per - per // 2):,}, "
                           f"intersection {i.estimate():,.0f} of {per // 2:,}")
        set_rows.append((OURS, "union", lambda: murk.ThetaSketch.union(ours)))
        set_rows.append((OURS, "intersection", lambda: murk.ThetaSketch.intersection(ours)))

    if ds is not None:
        new_ds = lambda: ds.update_theta_sketch(LG_K)  # noqa: E731
        loop = lambda t: call_loop(t.update, items)  # noqa: E731
        for op in ("update_column", "update", "add loop"):
            build_rows.append(("datasketches", op, loop, new_ds))
        build_notes["datasketches", "update_column"] = "no column or batch API: loop of single updates"
        full = new_ds()
        loop(full)
        build_notes["datasketches"] = f"estimate {full.get_estimate():,.0f} of {n:,}"
        theirs = []
        for p in parts:
            t = new_ds()
            call_loop(t.update, p.tolist())
            theirs.append(t)

        def union():
            u = ds.theta_union(LG_K)
            for t in theirs:
                u.update(t)
            return u.get_result()

        def intersection():
            x = ds.theta_intersection()
            for t in theirs:
                x.update(t)
            return x.get_result()

        set_notes["datasketches"] = (f"union {union().get_estimate():,.0f}, "
                                     f"intersection {intersection().get_estimate():,.0f}")
        set_rows.append(("datasketches", "union", union))
        set_rows.append(("datasketches", "intersection", intersection))

    return [{
        "title": f"ThetaSketch lg_k={LG_K}, 16-char str items",
        "items": n,
        "rows": build_rows,
        "notes": build_notes,
    }, {
        "title": f"ThetaSketch lg_k={LG_K}, union / intersection of {SKETCHES} sketches of {per:,} items (per sketch)",
        "items": SKETCHES,
        "rows": set_rows,
        "notes": set_notes,
    }]
