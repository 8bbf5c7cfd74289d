"""Benchmark harness: times `_murk` against peer libraries.

Usage: python bench/run.py [--quick] [--only NAME ...] [--json PATH]

Every `bench/cases_<name>.py` is a case module exposing `cases(quick)`, which
returns a list of groups. A group is a plain dict:

    {
        "title": "BloomFilter, 1% false-positive rate",
        "items": 1_000_000,        # ns/item = best time / items
        "rows": [                  # (library, operation, fn[, setup])
            ("_murk", "update", lambda bf: bf.update(items), make_filter),
            ("rbloom", "update", None),   # fn None: skipped, see notes
        ],
        "notes": {"rbloom": "not installed",    # optional: per library (first row)
                  ("rbloom", "update"): "loop"},  # or per (library, operation)
        "memory": [("_murk", probe)],           # optional, see peak_extra_rss
    }

A row's `fn` is timed alone; with `setup`, each repeat first calls setup()
untimed and passes its result to fn (fresh state per repeat). "_murk" is the
reference library: ratio = peer time / our time, so > 1 means we are faster.
Nothing here asserts on timings; the tables are for people to read. With
--json the same results are also written to PATH (bench/characterize.py draws
its speed charts from that file).
"""
import argparse
import datetime
import gc
import importlib
import json
import math
import multiprocessing
import os
import pathlib
import platform
import sys
import time

OURS = "_murk"
def time_row(fn, setup, repeats, budget_ns):
    # A slow row stops repeating once it has used budget_ns; it still runs once.
    best, spent, runs = None, 0, 0
    while runs < repeats and (runs == 0 or spent < budget_ns):
        state = setup() if setup else None
        gc.collect()
        t0 = time.perf_counter_ns()
        fn(state) if setup else fn()
        dt = time.perf_counter_ns() - t0
        best = dt if best is None else min(best, dt)
        spent, runs = spent + dt, runs + 1
    return best, runs


def _status_kib(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def _probe_child(probe, n):
    # Runs in a fresh spawned interpreter, so the parent's heap and earlier
    # benchmarks do not blur the numbers.
    call, refs = probe(n)
    gc.collect()
    try:  # "5" resets the kernel's peak-RSS mark to the current RSS
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        reset = True
    except OSError:
        reset = False
    base = _status_kib("VmRSS")
    call()
    return (_status_kib("VmHWM") - base) * 1024, refs, reset


def peak_extra_rss(probe, n):
    """Peak resident-set growth of one call, measured in a child process.

    tracemalloc does not see C++ allocations, so we read the kernel's
    high-water mark (VmHWM) instead: probe(n) builds the inputs and returns
    (call, refs); the mark is reset right before call() and read after it.
    The growth includes pages of the structure first touched by the call
    (e.g. a zeroed bit array), which is why refs lists its size: growth well
    above bit array + item text would mean the batch copies its items.
    """
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        return pool.apply(_probe_child, (probe, n))


def mib(b):
    return f"{b / 2**20:.1f} MiB"


def run_group(group, repeats, budget_ns):
    title, n, notes = group["title"], group["items"], group.get("notes", {})
    print(f"\n== {title} ({n:,} items, best of up to {repeats}) ==")
    results = {}  # (operation, library) -> (ns/item or None, note)
    seen = set()  # a per-library note is shown on that library's first row only
    for row in group["rows"]:
        lib, op, fn = row[:3]
        note = "; ".join(x for x in (notes.get((lib, op)), None if lib in seen else notes.get(lib)) if x)
        seen.add(lib)
        if fn is None:
            results[op, lib] = (None, note or "skipped")
            continue
        try:
            best, runs = time_row(fn, row[3] if len(row) > 3 else None, repeats, budget_ns)
            results[op, lib] = (best / n, note + (f" (best of {runs})" if runs < repeats else ""))
        except Exception as exc:  # a broken peer must not stop the run
            results[op, lib] = (None, f"error: {type(exc).__name__}: {exc}")

    print(f"{'operation':<14}{'library':<14}{'ns/item':>10}{'ratio':>8}  notes")
    ops = list(dict.fromkeys(op for op, _ in results))
    ratios = {}
    for op in ops:
        ours = results.get((op, OURS), (None, ""))[0]
        for (o, lib), (ns, note) in results.items():
            if o != op:
                continue
            ratio = ns / ours if ns is not None and ours else None
            if ratio is not None and lib != OURS:
                ratios.setdefault(lib, []).append(ratio)
            print(f"{op:<14}{lib:<14}{'-' if ns is None else f'{ns:,.1f}':>10}"
                  f"{'-' if ratio is None else f'{ratio:.2f}':>8}  {note.strip()}".rstrip())

    for lib, probe in group.get("memory", []):
        try:
            extra, refs, reset = peak_extra_rss(probe, n)
        except Exception as exc:
            print(f"memory {lib}: skipped ({type(exc).__name__}: {exc})")
            continue
        ref_text = ", ".join(f"{k} {mib(v)}" for k, v in refs.items())
        print(f"memory {lib} ({probe.__name__}): peak RSS growth {mib(extra)}"
              f" = {extra / n:.1f} B/item (vs {ref_text})"
              + ("" if reset else "; peak mark not reset, may understate"))

    fastest = []
    for op in ops:
        timed = [(ns, lib) for (o, lib), (ns, _) in results.items() if o == op and ns is not None]
        if timed:
            fastest.append(f"{op}={min(timed)[1]}")
    geo = ", ".join(f"{lib} {math.exp(sum(map(math.log, r)) / len(r)):.2f}x"
                    for lib, r in ratios.items())
    print(f"summary [{title}]: fastest {', '.join(fastest) or 'none'}; "
          + (f"peer/ours geomean: {geo}" if geo else "no ratios (no timed peer and ours pair)"))
    return {"title": title, "items": n,
            "rows": [{"operation": op, "library": lib, "ns_per_item": ns, "note": note.strip()}
                     for (op, lib), (ns, note) in results.items()]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer items and repeats")
    ap.add_argument("--only", nargs="+", metavar="NAME", help="case modules to run, e.g. bloom")
    ap.add_argument("--json", metavar="PATH", help="also write the results to PATH as JSON")
    args = ap.parse_args()

    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    names = sorted(p.stem[len("cases_"):] for p in here.glob("cases_*.py"))
    if args.only:
        unknown = set(args.only) - set(names)
        if unknown:
            ap.error(f"unknown case module(s): {', '.join(sorted(unknown))}; have {', '.join(names)}")
        names = [n for n in names if n in args.only]

    repeats, budget_ns = (3, 1_000_000_000) if args.quick else (5, 3_000_000_000)
    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"{'quick' if args.quick else 'full'} run, cases: {', '.join(names)}")
    groups = []
    for name in names:
        module = importlib.import_module(f"cases_{name}")
        for group in module.cases(args.quick):
            groups.append(dict(run_group(group, repeats, budget_ns), case=name))
    if args.json:
        record = {"python": platform.python_version(), "machine": platform.machine(),
                  "cpus": os.cpu_count(), "mode": "quick" if args.quick else "full",
                  "repeats": repeats, "date": datetime.date.today().isoformat(), "groups": groups}
        pathlib.Path(args.json).write_text(json.dumps(record, indent=1) + "\n")


if __name__ == "__main__":
    main()
