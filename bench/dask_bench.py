"""Dask build of a HyperLogLog against one process.

Usage: python bench/dask_bench.py [--quick] [--items N] [--partitions P] [--repeats R]

Each partition makes its own items (so no data is shipped to the workers) and
murk.dask.build feeds them to a fresh HyperLogLog(14) with one batch update;
the partial sketches are tree-merged. Two kinds of items:

  str    a pandas string column (pyarrow-backed) per partition, from
         pd.Series(ints).astype(str): what reading a text column gives; it
         exports Arrow data, so every run reads it with update_column
  bytes  a NumPy "S8" block per partition (each int64's 8 bytes), the
         cheapest items to turn into Python objects

What is timed, best of R runs:
  one process   making every partition's items in turn, then ONE update of a
                HyperLogLog with all of them (the "update only" column is that
                update alone)
  cluster       build(...) and its compute on a LocalCluster of 2 worker
                processes x 1 thread (cluster start-up not timed, shown apart)
  threads       build(...) and its compute by the threaded scheduler, 2 threads
  sync          the same on Dask's synchronous scheduler (one thread): the
                partitioned pipeline without parallelism, so threads / sync
                isolates what the two threads buy from what partitioning buys
                (one process holds all 10M items at once, a partition 500k)
  update x2     two threads, each updating its own HyperLogLog from a
                ready-made half of the items: how much the lock released
                during hashing buys by itself

ratio = one-process time / that row's time, so > 1 means faster than one process.
All Dask results are checked to equal the one-process sketch byte for byte.
"""
import argparse
import os
import sys
import threading
import time

import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import murk
import murk.dask

PRECISION = 14


def str_items(index, size, run=0):
    return pd.Series(np.arange(index * size, (index + 1) * size, dtype=np.int64)).astype(str)


def bytes_items(block, run=0):
    return block.view("S8")


def collection(kind, n, parts, run):
    # `run` only changes the graph's keys, so that no run reuses results
    # the cluster still holds from the one before.
    size = n // parts
    if kind == "str":
        return dd.from_map(str_items, range(parts), size=size, run=run, meta=str_items(0, 0), enforce_metadata=False)
    return da.arange(size * parts, chunks=size, dtype=np.int64).map_blocks(bytes_items, run=run, dtype="S8")


def all_items(kind, n, parts):
    size = n // parts
    if kind == "str":
        return pd.concat([str_items(i, size) for i in range(parts)], ignore_index=True)
    items = []
    for i in range(parts):
        items += bytes_items(np.arange(i * size, (i + 1) * size, dtype=np.int64)).tolist()
    return items


def feed(hll, items):
    # The fastest single-process path for each kind: columns in place, bytes as a list.
    if isinstance(items, pd.Series):
        hll.update_column(items)
    else:
        hll.update(items)


def best(fn, repeats):
    times, result = [], None
    for run in range(repeats):
        t0 = time.perf_counter()
        result = fn(run)
        times.append(time.perf_counter() - t0)
    return min(times), result


def one_process(kind, n, parts):
    """(seconds to make the items and update, seconds of the update alone, sketch)"""
    t0 = time.perf_counter()
    items = all_items(kind, n, parts)
    hll = murk.HyperLogLog(PRECISION)
    t1 = time.perf_counter()
    feed(hll, items)
    t2 = time.perf_counter()
    return t2 - t0, t2 - t1, hll


def two_threads(items):
    halves = [items[: len(items) // 2], items[len(items) // 2:]]
    sketches = [murk.HyperLogLog(PRECISION) for _ in halves]
    threads = [threading.Thread(target=feed, args=(s, h)) for s, h in zip(sketches, halves)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    dt = time.perf_counter() - t0
    sketches[0].merge(sketches[1])
    return sketches[0], dt


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--items", type=int, default=10_000_000)
    ap.add_argument("--partitions", type=int, default=20)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="1,000,000 items, one run")
    args = ap.parse_args()
    if args.quick:
        args.items, args.repeats = 1_000_000, 1
    n, parts, repeats = args.items, args.partitions, args.repeats

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}; "
          f"HyperLogLog({PRECISION}) over {n:,} items in {parts} partitions, best of {repeats}")
    t0 = time.perf_counter()
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster, set_as_default=False) as client:
        print(f"cluster start-up (not timed below): {time.perf_counter() - t0:.1f} s")
        print(f"\n{'items':<7}{'run':<28}{'seconds':>9}{'ns/item':>9}{'ratio':>7}")
        for kind in ("str", "bytes"):
            runs = [one_process(kind, n, parts) for _ in range(repeats)]
            base, update_only, reference = min(r[0] for r in runs), min(r[1] for r in runs), runs[0][2]
            del runs
            def build(run):
                return murk.dask.build(collection(kind, n, parts, run), murk.HyperLogLog, precision=PRECISION)

            cl, on_cluster = best(lambda run: client.compute(build(run)).result(), repeats)
            th, threaded = best(lambda run: build(run).compute(scheduler="threads", num_workers=2), repeats)
            sy, synchronous = best(lambda run: build(run).compute(scheduler="sync"), repeats)
            items = all_items(kind, n, parts)
            pair = min(two_threads(items)[1] for _ in range(repeats))
            merged = two_threads(items)[0]
            del items
            for sketch in (on_cluster, threaded, synchronous, merged):
                assert sketch.to_bytes() == reference.to_bytes(), "a parallel build differs from one process"
            rows = [("one process (make + update)", base, base), ("cluster, 2 processes", cl, base),
                    ("threads, 2", th, base), ("sync, 1 thread", sy, base),
                    ("one process, update only", update_only, update_only),
                    ("update x2 threads", pair, update_only)]
            for label, secs, ref in rows:
                print(f"{kind:<7}{label:<28}{secs:>9.2f}{secs / n * 1e9:>9.1f}{ref / secs:>7.2f}")
            print(f"{kind:<7}{'threads, 2 vs sync':<28}{'':>9}{'':>9}{sy / th:>7.2f}")
    print("\nratio: the row's reference time / its time (Dask rows against one process make + update, "
          "update rows against one process update only)")


if __name__ == "__main__":
    main()
