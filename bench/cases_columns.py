"""Columns in place: `update_column` / `query_column` over Arrow data and
`update_hashes` over NumPy arrays, against the list paths, the peers' loops
and the hashing floor. In every group the "_murk" row is the column path, so
the ratio of another row is how many times slower it is."""
import ctypes
import pathlib
import subprocess
import sys
import tempfile

from common import OURS, filter_items, import_or_skip, in_loop, make_items

P = 14
FPR = 0.01

# XXH3 of every value of a utf8 column in a plain C++ loop: the cost of the
# hashing alone, with no Python, no structure and no key array.
FLOOR_SOURCE = r"""
#define XXH_INLINE_ALL
#include <xxhash.h>
#include <cstdint>
extern "C" std::uint64_t hash_all(const std::int32_t* offsets, const char* data, std::int64_t n) {
    std::uint64_t acc = 0;
    for (std::int64_t i = 0; i < n; ++i)
        acc ^= XXH3_64bits_withSeed(data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]), 0);
    return acc;
}
"""


def floor_fn(arr, notes):
    """A callable hashing every value of arr in C++, or None (noted) if no compiler."""
    out = pathlib.Path(tempfile.mkdtemp()) / "floor.so"
    src = out.with_suffix(".cpp")
    src.write_text(FLOOR_SOURCE)
    try:
        subprocess.run(["g++", "-O2", "-shared", "-fPIC", "-o", str(out), str(src)], check=True,
                       capture_output=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        notes["xxh3 floor"] = f"not built ({type(exc).__name__})"
        return None
    lib = ctypes.CDLL(str(out))
    lib.hash_all.restype = ctypes.c_uint64
    lib.hash_all.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    _, offsets, data = arr.buffers()
    notes["xxh3 floor"] = "XXH3 of each value straight from the Arrow buffers, g++ -O2 loop"
    return lambda: lib.hash_all(offsets.address + 4 * arr.offset, data.address, len(arr))


def new_of(mod, n):
    """A fresh instance of every class, sized for n items."""
    return {
        "BloomFilter": lambda: mod.BloomFilter(expected_items=n, false_positive_rate=FPR),
        "CountingBloomFilter": lambda: mod.CountingBloomFilter(expected_items=n, false_positive_rate=FPR),
        "ScalableBloomFilter": lambda: mod.ScalableBloomFilter(initial_capacity=n, false_positive_rate=FPR),
        "CuckooFilter": lambda: mod.CuckooFilter(2 * n),
        "HyperLogLog": lambda: mod.HyperLogLog(P),
        "CountMinSketch": lambda: mod.CountMinSketch(width=2719, depth=7),
        "MinHash": lambda: mod.MinHash(128),
        "TopK": lambda: mod.TopK(100),
    }


def cases(quick):
    n = 100_000 if quick else 1_000_000
    notes = {}
    groups = []
    mod = import_or_skip(OURS, "_murk", notes)
    pa = import_or_skip("pyarrow", "pyarrow", notes)
    if mod is None or pa is None:
        return [{"title": "columns (needs _murk and pyarrow)", "items": n, "rows": [], "notes": notes}]
    new = new_of(mod, n)
    items = make_items(0, n)
    arr = pa.array(items)

    # HyperLogLog over a pyarrow array: against the list of the same str,
    # the DataSketches loop and the hashing floor.
    rows, hll_notes = [], {}
    rows.append((OURS, "insert", lambda h: h.update_column(arr), new["HyperLogLog"]))
    rows.append(("_murk list", "insert", lambda h: h.update(items), new["HyperLogLog"]))
    hll_notes["_murk list"] = "update(list of the same str)"
    ds = import_or_skip("datasketches", "datasketches", hll_notes, (rows, ("insert",)))
    if ds is not None:
        def ds_loop(h):
            add = h.update
            for x in items:
                add(x)
        rows.append(("datasketches", "insert", ds_loop, lambda: ds.hll_sketch(P)))
        hll_notes["datasketches"] = f"hll_sketch(lg_k={P}).update loop over the list"
    floor = floor_fn(arr, hll_notes)
    rows.append(("xxh3 floor", "insert", floor))
    groups.append({"title": f"HyperLogLog p={P}, update_column(pyarrow utf8 array of 16-char str)",
                   "items": n, "rows": rows, "notes": hll_notes})

    # BloomFilter: insert and query against rbloom, the fastest peer.
    bf_items, _, queries = filter_items(n)
    bf_arr, q_arr = pa.array(bf_items), pa.array(queries)
    rows, bf_notes = [], {}
    full = new["BloomFilter"]()
    full.update_column(bf_arr)
    rows.append((OURS, "insert", lambda bf: bf.update_column(bf_arr), new["BloomFilter"]))
    rows.append((OURS, "query", lambda: full.query_column(q_arr)))
    rows.append(("_murk list", "insert", lambda bf: bf.update(bf_items), new["BloomFilter"]))
    rows.append(("_murk list", "query", lambda: full.query_many(queries)))
    bf_notes["_murk list"] = "update / query_many of the list of the same str"
    rbloom = import_or_skip("rbloom", "rbloom", bf_notes, (rows, ("insert", "query")))
    if rbloom is not None:
        rfull = rbloom.Bloom(n, FPR)
        rfull.update(bf_items)
        rows.append(("rbloom", "insert", lambda bf: bf.update(bf_items), lambda: rbloom.Bloom(n, FPR)))
        rows.append(("rbloom", "query", lambda: in_loop(rfull, queries)))
        bf_notes["rbloom"] = "update(list); query is a loop of `in` (half present, half absent)"
    groups.append({"title": "BloomFilter 1% fpr, update_column / query_column over pyarrow utf8 (16-char str)",
                   "items": n, "rows": rows, "notes": bf_notes})

    # A polars Series: through update_column against through update.
    pl = import_or_skip("polars", "polars", notes)
    if pl is not None:
        series = pl.Series(items)
        rows = [(OURS, "insert", lambda h: h.update_column(series), new["HyperLogLog"]),
                ("_murk update", "insert", lambda h: h.update(series), new["HyperLogLog"])]
        groups.append({"title": f"HyperLogLog p={P}, a polars Series of 16-char str (utf8_view)", "items": n,
                       "rows": rows, "notes": {"_murk update": "update(series): one str per item"}})

    # Caller hashes: a NumPy uint64 array in place against a list of ints.
    np = import_or_skip("numpy", "numpy", notes)
    if np is not None:
        hashes = (np.arange(n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15))
        listed = hashes.tolist()
        rows = []
        for cls in ("HyperLogLog", "BloomFilter"):
            rows.append((OURS, cls, lambda h: h.update_hashes(hashes), new[cls]))
            rows.append(("_murk list", cls, lambda h: h.update_hashes(listed), new[cls]))
        groups.append({"title": "update_hashes: NumPy uint64 array (ours) against a list of int", "items": n,
                       "rows": rows, "notes": {}})

    # Every class: update_column against update(list of the same str).
    rows = []
    for cls, make in new.items():
        rows.append((OURS, cls, lambda x: x.update_column(arr), make))
        rows.append(("_murk list", cls, lambda x: x.update(items), make))
    groups.append({"title": "Every class: update_column(pyarrow utf8) against update(list of str)", "items": n,
                   "rows": rows, "notes": {"_murk list": "update(list of the same str)"}})
    if notes:
        groups[0]["notes"].update(notes)
    return groups


if __name__ == "__main__":
    sys.exit("run through bench/run.py --only columns")
