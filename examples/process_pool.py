"""Build sketches in worker processes and merge them in the parent.

Every worker returns its sketches like any other value: `import murk` makes
them picklable, so nothing is converted by hand. The spawn start method runs
each worker in a fresh interpreter, the way a cluster would.
"""
import concurrent.futures
import multiprocessing

import murk


def sketch_chunk(start):
    # Each worker reads (here: makes up) its own slice of an access log.
    n = range(start, start + 100_000)
    users = murk.HyperLogLog(precision=14)
    users.update(f"user{i * 7919 % 250_000}" for i in n)
    pages = murk.CountMinSketch(width=4096, depth=5)
    pages.update("/home" if i % 4 == 0 else f"/item/{i % 5000}" for i in n)
    return users, pages


if __name__ == "__main__":
    pool = concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    with pool:
        parts = list(pool.map(sketch_chunk, range(0, 1_000_000, 100_000)))
    users, pages = parts[0]
    for u, p in parts[1:]:
        users.merge(u)
        pages.merge(p)
    print(f"distinct users ~ {users.cardinality():,.0f} (true 250,000) in {users.size_in_bytes:,} bytes")
    print(f"/home hits ~ {pages['/home']:,} (true 250,000; error bound {pages.error_bound():,})")
