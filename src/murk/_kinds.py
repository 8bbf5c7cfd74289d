"""The registry of sketch kinds: the one list that pickling, ``murk.dask``,
the command line (and every later integration) read.

A class joins murk's integrations by one ``Kind(...)`` entry in ``KINDS``:
its command-line name and constructor options, whether partial sketches of
it merge, what its query answers, what it is fed, and what ``murk info``
reports of it.
"""
from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from _murk import (
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    ScalableBloomFilter,
    TopK,
)

from ._sketches import (
    DDSketch,
    KLLSketch,
    MinHashLSH,
    ThetaSketch,
)


@dataclass(frozen=True)
class Option:
    flag: str  # e.g. "--expected-items"
    param: str  # the constructor's keyword
    type: type  # int or float
    help: str
    required: bool = False


@dataclass(frozen=True, eq=False)
class Kind:
    name: str  # as the command line names it
    cls: Any
    title: str
    options: tuple[Option, ...]  # constructor parameters the command line offers
    tiny: Callable[[], Any]  # a small empty instance, for the magic and the JSON field names
    answers: str | None  # "member", "count" or None: what a per-item query returns
    info: Callable[[Any], dict[str, Any]]
    mergeable: bool  # partial sketches of disjoint inputs merge into the sketch of the whole
    # What the sketch is fed: "items" (keyed by the item rule), "text" (items
    # kept as text, so bytes are decoded), "numbers" (floats), or None when it
    # is not built from a column of values (an index of other sketches).
    feeds: str | None = "items"
    # Merging sketches of the parts of an input gives, byte for byte, the
    # sketch of the whole: the command line may then split a file among threads.
    exact_merge: bool = False
    # What the whole sketch answers (murk.spark.estimate reads it):
    # "cardinality" (a distinct count: cardinality()), "quantiles"
    # (quantile(q), quantiles(qs) and rank(x) over the numbers fed), "top"
    # (top(n): the heaviest items with their counts) or None. A new kind names
    # its answer here; kinds fed "numbers" answer "quantiles" unless they say
    # otherwise. Per-item answers are `answers`, above.
    summary: str | None = None

    def __post_init__(self) -> None:
        if self.summary is None and self.feeds == "numbers":
            object.__setattr__(self, "summary", "quantiles")

    @property
    def magic(self) -> bytes:
        # The first four bytes of the binary form, as this build writes them.
        return bytes(self.tiny().to_bytes()[:4])

    @property
    def text_items(self) -> bool:
        return self.feeds == "text"


SEED = Option("--seed", "seed", int, "Hash seed, 0 to 2**64-1 (default 0).")
FPR = Option("--fpr", "false_positive_rate", float, "Target false-positive rate (default 0.01).")


def _record(sketch: Any) -> dict[str, Any]:
    record: dict[str, Any] = json.loads(sketch.to_json())
    return record


def _bloom_info(s: Any) -> dict[str, Any]:
    return {
        "num_bits": s.num_bits, "num_hashes": s.num_hashes, "seed": s.seed, "count": len(s),
        "size_in_bytes": s.size_in_bytes, "bits_set": s.bit_count(), "fill_ratio": s.fill_ratio(),
        "false_positive_rate": s.false_positive_rate, "estimated_items": s.estimate_count(),
        "health": s.health(), "saturated": s.is_saturated(),
    }


def _counting_info(s: Any) -> dict[str, Any]:
    return {
        "num_counters": s.num_counters, "num_hashes": s.num_hashes, "seed": s.seed, "count": len(s),
        "size_in_bytes": s.size_in_bytes, "fill_ratio": s.fill_ratio(),
        "false_positive_rate": s.false_positive_rate, "health": s.health(),
    }


def _scalable_info(s: Any) -> dict[str, Any]:
    # The growth parameters are not attributes; the record has them.
    record = _record(s)
    return {
        "initial_capacity": record["initial_capacity"], "initial_fpr": record["initial_fpr"],
        "growth_ratio": record["growth_ratio"], "fpr_ratio": record["fpr_ratio"], "seed": s.seed,
        "count": len(s), "size_in_bytes": s.size_in_bytes, "num_slices": s.num_slices,
        "capacity": s.capacity(), "false_positive_rate": s.false_positive_rate(), "health": s.health(),
    }


def _cuckoo_info(s: Any) -> dict[str, Any]:
    return {
        "capacity": s.capacity(), "seed": s.seed, "count": len(s), "size_in_bytes": s.size_in_bytes,
        "load_factor": s.load_factor, "health": s.health(),
    }


def _hll_info(s: Any) -> dict[str, Any]:
    low, high = s.confidence_interval(0.95)
    return {
        "precision": s.precision, "seed": s.seed, "size_in_bytes": s.size_in_bytes,
        "estimate": s.cardinality(), "standard_error": s.standard_error, "interval_95": [low, high],
    }


def _cms_info(s: Any) -> dict[str, Any]:
    return {
        "width": s.width, "depth": s.depth, "seed": s.seed, "size_in_bytes": s.size_in_bytes,
        "total_count": s.total_count, "error_rate": s.error_rate(), "confidence": s.confidence(),
        "error_bound": s.error_bound(),
    }


def _minhash_info(s: Any) -> dict[str, Any]:
    return {
        "num_hashes": s.num_hashes, "seed": s.seed, "size_in_bytes": s.size_in_bytes,
        "empty": s.is_empty(), "standard_error": s.standard_error(),
    }


def _topk_info(s: Any) -> dict[str, Any]:
    return {"k": s.k, "size_in_bytes": s.size_in_bytes, "tracked": len(s), "min_count": s.min_count()}


def _kll_info(s: Any) -> dict[str, Any]:
    info: dict[str, Any] = {
        "k": s.k, "n": s.n, "num_retained": s.num_retained, "num_levels": s.num_levels,
        "size_in_bytes": s.size_in_bytes, "normalized_rank_error": s.normalized_rank_error(),
    }
    if not s.is_empty():
        info.update(min=s.min, max=s.max, median=s.quantile(0.5), p99=s.quantile(0.99))
    return info


def _dd_info(s: Any) -> dict[str, Any]:
    info: dict[str, Any] = {
        "relative_accuracy": s.relative_accuracy, "max_buckets": s.max_buckets, "n": s.n,
        "size_in_bytes": s.size_in_bytes, "num_buckets": s.num_buckets, "collapsed": s.collapsed,
        "collapsed_ranks": [list(r) for r in s.collapsed_ranks],
    }
    if s.n:
        info.update(min=s.min, max=s.max, sum=s.sum, mean=s.mean,
                    **dict(zip(("p50", "p90", "p99", "p99.9"), s.quantiles([0.5, 0.9, 0.99, 0.999]))))
    return info


def _theta_info(s: Any) -> dict[str, Any]:
    low, high = s.confidence_interval(0.95)
    return {
        "lg_k": s.lg_k, "seed": s.seed, "size_in_bytes": s.size_in_bytes, "estimate": s.estimate(),
        "interval_95": [low, high], "num_retained": s.num_retained, "theta": s.theta,
        "estimation_mode": s.is_estimation_mode, "updatable": s.updatable,
    }


def _lsh_info(s: Any) -> dict[str, Any]:
    return {
        "num_hashes": s.num_hashes, "bands": s.bands, "rows": s.rows, "seed": s.seed, "keys": len(s),
        "size_in_bytes": s.size_in_bytes,
    }


KINDS: dict[str, Kind] = {k.name: k for k in (
    Kind("bloom", BloomFilter, "Bloom filter", (
        Option("--expected-items", "expected_items", int, "Items the filter is sized for."),
        FPR,
        Option("--num-bits", "num_bits", int, "Size the filter directly: number of bits."),
        Option("--num-hashes", "num_hashes", int, "Hash functions per item (default: optimal)."),
        SEED,
    ), lambda: BloomFilter(expected_items=1), "member", _bloom_info, mergeable=True, exact_merge=True),
    Kind("counting-bloom", CountingBloomFilter, "Counting Bloom filter", (
        Option("--expected-items", "expected_items", int, "Items the filter is sized for."),
        FPR,
        Option("--num-counters", "num_counters", int, "Size the filter directly: number of 8-bit counters."),
        Option("--num-hashes", "num_hashes", int, "Hash functions per item (default: optimal)."),
        SEED,
    ), lambda: CountingBloomFilter(expected_items=1), "member", _counting_info, mergeable=True, exact_merge=True),
    Kind("scalable-bloom", ScalableBloomFilter, "Scalable Bloom filter", (
        Option("--initial-capacity", "initial_capacity", int, "Capacity of the first slice (default 1000)."),
        Option("--fpr", "false_positive_rate", float, "Compound false-positive rate bound (default 0.01)."),
        Option("--growth-ratio", "growth_ratio", float, "Size of each slice over the one before (default 2)."),
        Option("--fpr-ratio", "fpr_ratio", float, "Rate of each slice over the one before (default 0.5)."),
        SEED,
    ), lambda: ScalableBloomFilter(initial_capacity=1), "member", _scalable_info, mergeable=False),
    Kind("cuckoo", CuckooFilter, "Cuckoo filter", (
        Option("--capacity", "capacity", int, "Number of items the filter holds.", required=True),
        SEED,
    ), lambda: CuckooFilter(1), "member", _cuckoo_info, mergeable=False),
    Kind("hll", HyperLogLog, "HyperLogLog", (
        Option("--precision", "precision", int, "Register index bits, 4 to 18 (default 14)."),
        SEED,
    ), lambda: HyperLogLog(4), None, _hll_info, mergeable=True, exact_merge=True, summary="cardinality"),
    Kind("cms", CountMinSketch, "Count-min sketch", (
        Option("--width", "width", int, "Counters per row (with --depth)."),
        Option("--depth", "depth", int, "Number of rows (with --width)."),
        Option("--error-rate", "error_rate", float, "Additive error as a share of the total (with --confidence)."),
        Option("--confidence", "confidence", float, "Probability the error bound holds (with --error-rate)."),
        SEED,
    ), lambda: CountMinSketch(1, 1), "count", _cms_info, mergeable=True, exact_merge=True),
    Kind("minhash", MinHash, "MinHash", (
        Option("--num-hashes", "num_hashes", int, "Signature length (default 128)."),
        SEED,
    ), lambda: MinHash(1), None, _minhash_info, mergeable=True, exact_merge=True),
    Kind("topk", TopK, "Top-k tracker", (
        Option("--k", "k", int, "Number of counters kept.", required=True),
    ), lambda: TopK(1), "count", _topk_info, mergeable=True, feeds="text", summary="top"),
    Kind("kll", KLLSketch, "KLL quantile sketch", (
        Option("--k", "k", int, "Accuracy parameter, 8 to 65535 (default 200)."),
        Option("--seed", "seed", int, "Seed of the compaction coin, 0 to 2**64-1 (default 0)."),
    ), lambda: KLLSketch(8), None, _kll_info, mergeable=True, feeds="numbers"),
    Kind("minhash-lsh", MinHashLSH, "MinHash LSH index", (), lambda: MinHashLSH(num_hashes=4, bands=2, rows=2),
         None, _lsh_info, mergeable=False, feeds=None),
    Kind("dd", DDSketch, "DDSketch (quantiles, relative error)", (
        Option("--relative-accuracy", "relative_accuracy", float,
               "Relative error of every quantile, 1e-06 to below 1 (default 0.01)."),
        Option("--max-buckets", "max_buckets", int, "Buckets per sign before the lowest collapse (default 2048)."),
    ), lambda: DDSketch(), None, _dd_info, mergeable=True, feeds="numbers"),
    Kind("theta", ThetaSketch, "Theta sketch", (
        Option("--lg-k", "lg_k", int, "Log2 of the hashes kept, 4 to 26 (default 12: ~1.6% error)."),
        SEED,
    ), lambda: ThetaSketch(4), None, _theta_info, mergeable=True, summary="cardinality"),
)}


def by_class(cls: type) -> Kind | None:
    """The kind of a murk class (None for anything else)."""
    for kind in KINDS.values():
        if kind.cls is cls:
            return kind
    return None


def buildable() -> dict[str, Kind]:
    """The kinds built from a column of values (all but indexes of other sketches)."""
    return {name: k for name, k in KINDS.items() if k.feeds is not None}
