"""The eight sketch kinds as the command line names them: constructor options,
how a file of each kind is recognised, and what `murk info` reports."""
from __future__ import annotations

import json
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import murk


class CliError(Exception):
    """A failure reported as one `murk: error: ...` line."""


@dataclass(frozen=True)
class Option:
    flag: str  # e.g. "--expected-items"
    param: str  # the constructor's keyword
    type: type  # int or float
    help: str
    required: bool = False


@dataclass(frozen=True, eq=False)
class Kind:
    name: str
    cls: Any
    title: str
    options: tuple[Option, ...]
    tiny: Callable[[], Any]  # a small empty instance, for the JSON field names
    answers: str | None  # "member", "count" or None: what `query` prints
    info: Callable[[Any], dict[str, Any]]

    @property
    def magic(self) -> bytes:
        # The first four bytes of the binary form, as this build writes them.
        return bytes(self.tiny().to_bytes()[:4])

    @property
    def text_items(self) -> bool:
        # TopK keeps its items as text, so lines are decoded for it.
        return self.cls is murk.TopK

    @property
    def mergeable(self) -> bool:
        return hasattr(self.cls, "merge")


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


KINDS: dict[str, Kind] = {k.name: k for k in (
    Kind("bloom", murk.BloomFilter, "Bloom filter", (
        Option("--expected-items", "expected_items", int, "Items the filter is sized for."),
        FPR,
        Option("--num-bits", "num_bits", int, "Size the filter directly: number of bits."),
        Option("--num-hashes", "num_hashes", int, "Hash functions per item (default: optimal)."),
        SEED,
    ), lambda: murk.BloomFilter(expected_items=1), "member", _bloom_info),
    Kind("counting-bloom", murk.CountingBloomFilter, "Counting Bloom filter", (
        Option("--expected-items", "expected_items", int, "Items the filter is sized for."),
        FPR,
        Option("--num-counters", "num_counters", int, "Size the filter directly: number of 8-bit counters."),
        Option("--num-hashes", "num_hashes", int, "Hash functions per item (default: optimal)."),
        SEED,
    ), lambda: murk.CountingBloomFilter(expected_items=1), "member", _counting_info),
    Kind("scalable-bloom", murk.ScalableBloomFilter, "Scalable Bloom filter", (
        Option("--initial-capacity", "initial_capacity", int, "Capacity of the first slice (default 1000)."),
        Option("--fpr", "false_positive_rate", float, "Compound false-positive rate bound (default 0.01)."),
        Option("--growth-ratio", "growth_ratio", float, "Size of each slice over the one before (default 2)."),
        Option("--fpr-ratio", "fpr_ratio", float, "Rate of each slice over the one before (default 0.5)."),
        SEED,
    ), lambda: murk.ScalableBloomFilter(initial_capacity=1), "member", _scalable_info),
    Kind("cuckoo", murk.CuckooFilter, "Cuckoo filter", (
        Option("--capacity", "capacity", int, "Number of items the filter holds.", required=True),
        SEED,
    ), lambda: murk.CuckooFilter(1), "member", _cuckoo_info),
    Kind("hll", murk.HyperLogLog, "HyperLogLog", (
        Option("--precision", "precision", int, "Register index bits, 4 to 18 (default 14)."),
        SEED,
    ), lambda: murk.HyperLogLog(4), None, _hll_info),
    Kind("cms", murk.CountMinSketch, "Count-min sketch", (
        Option("--width", "width", int, "Counters per row (with --depth)."),
        Option("--depth", "depth", int, "Number of rows (with --width)."),
        Option("--error-rate", "error_rate", float, "Additive error as a share of the total (with --confidence)."),
        Option("--confidence", "confidence", float, "Probability the error bound holds (with --error-rate)."),
        SEED,
    ), lambda: murk.CountMinSketch(1, 1), "count", _cms_info),
    Kind("minhash", murk.MinHash, "MinHash", (
        Option("--num-hashes", "num_hashes", int, "Signature length (default 128)."),
        SEED,
    ), lambda: murk.MinHash(1), None, _minhash_info),
    Kind("topk", murk.TopK, "Top-k tracker", (
        Option("--k", "k", int, "Number of counters kept.", required=True),
    ), lambda: murk.TopK(1), "count", _topk_info),
)}



_MAGICS: dict[bytes, Kind] = {}
_FIELDS: list[tuple[frozenset[str], Kind]] = []


def _by_magic() -> dict[bytes, Kind]:
    if not _MAGICS:
        _MAGICS.update((k.magic, k) for k in KINDS.values())
    return _MAGICS


def _field_sets() -> list[tuple[frozenset[str], Kind]]:
    # The record's field names, as this build of the library writes them.
    if not _FIELDS:
        _FIELDS.extend((frozenset(json.loads(k.tiny().to_json())), k) for k in KINDS.values())
    return _FIELDS


def kind_of_record(record: Any) -> Kind | None:
    """The kind whose fields a JSON record holds (loaders ignore extra members)."""
    if not isinstance(record, dict):
        return None
    found = [k for fields, k in _field_sets() if fields <= record.keys()]
    return found[0] if len(found) == 1 else None


@dataclass
class Loaded:
    sketch: Any
    kind: Kind
    form: str  # "binary" or "json"


def load(path: str, kind: Kind | None = None) -> Loaded:
    """A sketch file in either form; the kind comes from the magic or the record's fields."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise CliError(f"cannot open '{path}': {e.strerror or e}") from None
    looks_json = data.lstrip()[:1] in (b"{", b"[")
    try:
        if data[:4] in _by_magic() or (kind is not None and not looks_json):
            kind = kind or _by_magic()[data[:4]]
            return Loaded(kind.cls.from_bytes(data), kind, "binary")
        if not looks_json:
            raise CliError(f"'{path}' is not a murk sketch (unknown magic {data[:4]!r})")
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise CliError(f"'{path}' is not a murk sketch: {e}") from None
        if kind is None:
            try:
                record = json.loads(text)
            except ValueError as e:
                raise CliError(f"'{path}' is not a murk sketch: invalid JSON: {e}") from None
            kind = kind_of_record(record)
            if kind is None:
                raise CliError(f"'{path}': cannot tell the kind of this JSON record; name it with --kind")
        return Loaded(kind.cls.from_json(text), kind, "json")
    except (ValueError, OverflowError, MemoryError) as e:
        # The library's own message (bad magic, version, checksum, fields), unchanged.
        raise CliError(f"'{path}': {e}") from None


def serialize(sketch: Any, as_json: bool) -> bytes:
    return (sketch.to_json() + "\n").encode() if as_json else bytes(sketch.to_bytes())


def write_atomic(path: str, data: bytes) -> None:
    """Write data to path so that readers see the old file or the new one, never a part.

    The temporary file sits beside the target and is renamed over it; any
    failure or interruption removes it and leaves the old file as it was."""
    import tempfile

    target = os.path.realpath(path)  # replace what a symlink points at, not the link
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    except OSError as e:
        raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".tmp")
    except OSError as e:
        raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
        raise
