"""Build and query murk sketches over Dask collections.

``build`` turns every partition of a Dask Bag, Series, Index or 1-D Array into
a sketch of its own (one batch ``update`` per partition) and merges the partial
sketches by a tree reduction, so no worker ever holds more than a few sketches
and the data never leaves the worker that holds it. ``contains`` answers a
sketch's membership or count query for every element of such a collection.

Missing values (None, NaN, NaT, ``pd.NA``) are skipped by ``build``, as SQL
aggregates skip NULL, and ``contains`` answers False or 0 for them.

Install with ``pip install murk[dask]``; ``import murk`` alone never imports Dask.
"""
from __future__ import annotations

import functools
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import dask.bag as db
import numpy as np
import pandas as pd  # type: ignore[import-untyped]
from dask.base import tokenize
from dask.delayed import Delayed, delayed
from dask.sizeof import sizeof

import murk
from murk._kinds import KINDS

if TYPE_CHECKING:
    import dask.array as da
    import dask.dataframe as dd

    _Collection: TypeAlias = "db.Bag | dd.Series | dd.Index | da.Array"

__all__ = ["build", "contains"]

_Sketch: TypeAlias = (
    murk.BloomFilter | murk.CountingBloomFilter | murk.CountMinSketch | murk.HyperLogLog | murk.MinHash | murk.TopK
    | murk.KLLSketch
)
_Queryable: TypeAlias = (
    murk.BloomFilter | murk.CountingBloomFilter | murk.ScalableBloomFilter | murk.CuckooFilter
    | murk.CountMinSketch | murk.TopK
)

_BUILT = [k for k in KINDS.values() if k.feeds is not None]
MERGEABLE: tuple[type, ...] = tuple(k.cls for k in _BUILT if k.mergeable)
UNMERGEABLE: tuple[type, ...] = tuple(k.cls for k in _BUILT if not k.mergeable)
FILTERS: tuple[type, ...] = tuple(k.cls for k in _BUILT if k.answers == "member")
COUNTERS: tuple[type, ...] = tuple(k.cls for k in _BUILT if k.answers == "count")
NUMERIC: tuple[type, ...] = tuple(k.cls for k in _BUILT if k.feeds == "numbers")

_BY_NAME = {cls.__name__: cls for cls in MERGEABLE}

# The workers' memory accounting would otherwise see a few dozen bytes per sketch.
sizeof.register(MERGEABLE + UNMERGEABLE, lambda sketch: sketch.size_in_bytes)  # type: ignore[no-untyped-call]
_SPLIT_EVERY = 8  # Dask's own default fan-in for tree reductions


# --- what runs on the workers ------------------------------------------------

def _present(part: Any) -> tuple[list[Any], np.ndarray | None]:
    """The values of one partition that are not missing, and the mask of the
    missing ones (None when there are none).

    Missing means what pandas' ``isna`` says, for every kind of partition, so a
    Bag, a Series and an Array holding the same values skip the same ones.
    """
    if isinstance(part, (pd.Series, pd.Index, np.ndarray)):
        if isinstance(part, np.ndarray) and part.ndim != 1:
            raise TypeError(f"expected 1-D blocks, got a block of shape {part.shape}")
        mask = np.asarray(pd.isna(part))
        if not mask.any():
            return part.tolist(), None
        return part[~mask].tolist(), mask
    # A Bag partition: any iterable of Python objects.
    items = part if isinstance(part, list) else list(part)
    objects = np.fromiter(items, dtype=object, count=len(items))
    mask = pd.isna(objects)
    if not mask.any():
        return items, None
    return objects[~mask].tolist(), mask


def _arrow(part: Any) -> Any:
    """The partition as an object exporting Arrow data, or None.

    Such partitions are read in place by ``update_column``/``query_column``:
    no Python object per element, and the lock is released while hashing.
    """
    if isinstance(part, pd.Index):
        part = part.to_series()
    return part if hasattr(part, "__arrow_c_stream__") or hasattr(part, "__arrow_c_array__") else None


# A column of a type the Arrow reader does not take (floats, dates, mixed
# objects) is refused before anything changes, so the element path can follow.
_NOT_A_COLUMN = (TypeError, ValueError)


def _numeric_array(part: Any) -> np.ndarray | None:
    """The partition as a NumPy array of integers or floats, or None."""
    if isinstance(part, (pd.Series, pd.Index, np.ndarray)) and isinstance(part.dtype, np.dtype) \
            and part.dtype.kind in "iuf":
        return np.asarray(part)
    return None


def _feed(sketch: _Sketch, part: Any) -> None:
    """Add one partition to a sketch: the only place partitions are fed."""
    if isinstance(sketch, NUMERIC):
        # Quantile sketches take numbers: NumPy blocks in place (NaN is skipped
        # there), nullable and Arrow-backed ones as columns, the rest as values.
        array = _numeric_array(part)
        if array is not None:
            sketch.update_array(array)  # type: ignore[union-attr]
            return
    column = _arrow(part)
    if column is not None:
        try:
            sketch.update_column(column)
            return
        except _NOT_A_COLUMN:
            pass
    values, _ = _present(part)
    sketch.update(values)


def _fresh(recipe: tuple[str, tuple[Any, ...], dict[str, Any]] | _Sketch) -> _Sketch:
    if isinstance(recipe, tuple):
        name, args, kwargs = recipe
        return _BY_NAME[name](*args, **kwargs)  # type: ignore[no-any-return]
    return recipe.copy()


def _sketch_partition(recipe: tuple[str, tuple[Any, ...], dict[str, Any]] | _Sketch, part: Any) -> _Sketch:
    sketch = _fresh(recipe)
    _feed(sketch, part)
    return sketch


def _merge(sketches: Sequence[_Sketch]) -> _Sketch:
    # Task inputs are never changed in place: a scheduler may hand the same
    # object to a retried task.
    total = sketches[0].copy()
    for other in sketches[1:]:
        total.merge(other)  # type: ignore[arg-type]
    return total


def _answers(sketch: _Queryable, part: Any) -> np.ndarray:
    column = _arrow(part)
    if column is not None:
        try:
            return np.asarray(sketch.query_column(column))  # null rows answer False / 0
        except _NOT_A_COLUMN:
            pass
    values, mask = _present(part)
    dtype = np.bool_ if isinstance(sketch, FILTERS) else np.uint64
    found: np.ndarray = np.asarray(sketch.query_many(values), dtype=dtype)
    if mask is None:
        return found
    out: np.ndarray = np.zeros(len(mask), dtype=dtype)
    out[~mask] = found
    return out


def _answer_series(part: pd.Series, sketch: _Queryable) -> pd.Series:
    return pd.Series(_answers(sketch, part), index=part.index, name=part.name)


def _answer_block(block: np.ndarray, sketch: _Queryable) -> np.ndarray:
    return _answers(sketch, block)


def _answer_list(part: Any, sketch: _Queryable) -> list[Any]:
    return _answers(sketch, part).tolist()  # type: ignore[no-any-return]


# --- graph construction (in the client) --------------------------------------

def _kind(values: object) -> str:
    # dask.dataframe and dask.array are only looked for once something has
    # imported them: a collection of theirs cannot exist before that.
    if isinstance(values, db.Bag):
        return "bag"
    dd = sys.modules.get("dask.dataframe")
    if dd is not None:
        if isinstance(values, dd.Index):
            return "index"
        if isinstance(values, dd.Series):
            return "series"
        if isinstance(values, dd.DataFrame):
            raise TypeError("expected a Dask Series, not a DataFrame: pick one column, e.g. df['user']")
    da = sys.modules.get("dask.array")
    if da is not None and isinstance(values, da.Array):
        if values.ndim != 1:
            raise TypeError(f"expected a 1-D Dask Array, got {values.ndim} dimensions: flatten or ravel it first")
        return "array"
    raise TypeError(
        f"expected a Dask Bag, Series, Index or 1-D Array, got {type(values).__module__}.{type(values).__qualname__}"
    )


def _partitions(values: Any, kind: str) -> list[Delayed]:
    parts = values.to_delayed()
    return list(parts.ravel()) if kind == "array" else list(parts)


def _recipe(factory: Callable[..., Any], params: dict[str, Any]) -> tuple[str, tuple[Any, ...], dict[str, Any]] | None:
    """Class name and arguments when factory is a murk class (or a partial of
    one), since the class object itself cannot be pickled; else None."""
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = {}
    func: Any = factory
    while isinstance(func, functools.partial):
        args = func.args + args
        kwargs = {**func.keywords, **kwargs}
        func = func.func
    if isinstance(func, type) and _BY_NAME.get(func.__name__) is func:
        return func.__name__, args, {**kwargs, **params}
    return None


def _check_split_every(split_every: int | bool | None) -> int | None:
    if split_every is None:
        return _SPLIT_EVERY
    if split_every is False:
        return None  # one merge of every partial sketch
    if isinstance(split_every, bool) or not isinstance(split_every, int):
        raise TypeError(f"split_every must be an int, None or False, not {type(split_every).__name__}")
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, got {split_every}")
    return split_every


def build(
    values: _Collection,
    factory: Callable[..., _Sketch],
    /,
    *,
    split_every: int | bool | None = None,
    **params: Any,
) -> Delayed:
    """A delayed sketch of every non-missing value in a Dask collection.

    ``factory(**params)`` makes an empty sketch (a murk class, a
    ``functools.partial`` of one, or any callable returning one); each
    partition is added to a fresh one with a single batch ``update``, and the
    partial sketches are merged in a tree that merges at most ``split_every``
    (default 8; False merges all at once) sketches per task. Missing values
    (None, NaN, NaT, ``pd.NA``) are skipped.

    ``values`` is a Dask Bag, Series, Index or 1-D Array. Only mergeable
    sketches can be built in pieces: BloomFilter, CountingBloomFilter,
    CountMinSketch, HyperLogLog, MinHash, TopK, ThetaSketch (the union) and the
    quantile sketches (KLLSketch, DDSketch), which take numbers: a numeric
    Series, Index or Array is read in place. Everything is checked here,
    before any task runs: ``factory(**params)`` is called once to make sure it
    returns one of those. A murk class travels to the workers as its name and
    arguments; for any other callable, the empty sketch it returned here
    travels instead (once, as one graph key), so the callable itself never has
    to pickle and every partition starts from the same configuration.

    >>> import dask.bag as db, murk, murk.dask
    >>> users = db.from_sequence([f"user{i % 500}" for i in range(10_000)], npartitions=8)
    >>> hll = murk.dask.build(users, murk.HyperLogLog, precision=12).compute()
    >>> round(hll.cardinality())
    497
    """
    fan_in = _check_split_every(split_every)
    kind = _kind(values)
    if not callable(factory):
        raise TypeError(f"factory must be callable (a murk class or a function), not {type(factory).__name__}")
    empty = factory(**params)
    if isinstance(empty, UNMERGEABLE):
        raise TypeError(
            f"{type(empty).__name__} cannot be merged, so it cannot be built from partitions; "
            "use BloomFilter (or CountingBloomFilter) with a known capacity"
        )
    if not isinstance(empty, MERGEABLE):
        raise TypeError(
            "factory must return an empty murk BloomFilter, CountingBloomFilter, CountMinSketch, "
            f"HyperLogLog, MinHash, TopK or KLLSketch, but returned {type(empty).__module__}.{type(empty).__qualname__}"
        )

    recipe: Any = _recipe(factory, params)
    token = tokenize(values, recipe if recipe is not None else empty, fan_in)
    if recipe is None:
        recipe = delayed(empty, name=f"murk-empty-{token}")
    parts = _partitions(values, kind)
    if not parts:
        empty_build: Delayed = delayed(_fresh, pure=True)(recipe, dask_key_name=f"murk-build-{token}")
        return empty_build

    sketches: list[Delayed] = [
        delayed(_sketch_partition, pure=True)(recipe, part, dask_key_name=f"murk-partition-{token}-{i}")
        for i, part in enumerate(parts)
    ]
    level = 0
    while len(sketches) > 1:
        step = fan_in or len(sketches)
        last = len(sketches) <= step
        sketches = [
            delayed(_merge, pure=True)(
                sketches[i:i + step],
                dask_key_name=f"murk-build-{token}" if last else f"murk-merge-{token}-{level}-{i // step}",
            )
            for i in range(0, len(sketches), step)
        ]
        level += 1
    return sketches[0]


def contains(values: _Collection, sketch: _Queryable) -> Any:
    """The sketch's answer for every element of ``values``, partitioned alike.

    Membership filters (BloomFilter, CountingBloomFilter, ScalableBloomFilter,
    CuckooFilter) answer bool, CountMinSketch and TopK the count (uint64), each
    through one batch ``query_many`` per partition. A missing value answers
    False or 0. The result has the type of ``values``: a Bag of answers, a 1-D
    Array with the same chunks, or a Series with the same index (for an Index,
    a Series indexed by it).

    A copy of the sketch taken now goes to the workers once, as a single graph
    key: later changes to ``sketch`` do not reach the answers.
    """
    if not isinstance(sketch, FILTERS + COUNTERS):
        raise TypeError(
            "sketch must be a murk BloomFilter, CountingBloomFilter, ScalableBloomFilter, CuckooFilter, "
            f"CountMinSketch or TopK (a sketch with per-item answers), not {type(sketch).__qualname__}"
        )
    kind = _kind(values)
    coll: Any = values
    dtype = np.dtype(np.bool_ if isinstance(sketch, FILTERS) else np.uint64)
    shared = delayed(sketch.copy(), pure=False)
    if kind == "bag":
        return coll.map_partitions(_answer_list, shared)
    if kind == "array":
        return coll.map_blocks(_answer_block, shared, dtype=dtype)
    series = coll.to_series() if kind == "index" else coll
    return series.map_partitions(_answer_series, shared, meta=(series.name, dtype))
