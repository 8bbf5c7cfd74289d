"""Build, group, roll up and query murk sketches on Spark DataFrames.

``sketch`` turns one column of a DataFrame into one murk object: every
partition is read as Arrow record batches (``mapInArrow``) straight into the
sketch's column path (``update_column``), serialised once, and the partial
sketches are merged in a tree (``treeAggregate``), so the driver only merges
the last few. ``sketch_by`` builds one sketch per group and ``merge_by`` rolls
a column of serialised sketches up to coarser keys, both inside Spark: each
partition first folds its rows into one sketch per key, and only those partial
sketches are shuffled to be merged per group (``groupBy().applyInArrow``).
``estimate`` turns a sketch column into numbers (a distinct count, quantiles,
ranks, an item's count or membership, the top items) without leaving Spark.

A kind is named as the registry names it (``"hll"``) or by its class
(``murk.HyperLogLog``); every kind that merges is served, and everything is
checked on the driver before any job runs.

Install with ``pip install murk[spark]``; ``import murk`` alone never imports
PySpark. The Python workers must be able to import murk (the same version).
"""
from __future__ import annotations

import functools
import math
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from murk._kinds import KINDS, Kind, by_class

if TYPE_CHECKING:
    import pyarrow as _pa  # type: ignore[import-untyped]
    from pyspark.sql import DataFrame
    from pyspark.sql.types import DataType, StructField

__all__ = ["COLUMN_TYPES", "KEY_TYPES", "estimate", "merge_by", "sketch", "sketch_by"]

# The Spark column types (DataType.typeName()) each sort of feed takes. Items
# are read by the column reader as the same item as the Python value: text,
# bytes, and integers as their decimal text. Kinds fed numbers take any
# numeric column, read as double.
COLUMN_TYPES: dict[str, frozenset[str]] = {
    "items": frozenset({"string", "binary", "byte", "short", "integer", "long"}),
    "text": frozenset({"string"}),
    "numbers": frozenset({"byte", "short", "integer", "long", "float", "double", "decimal"}),
}

# Group keys: the atomic types Arrow can group by (nested ones cannot be keys).
KEY_TYPES: frozenset[str] = frozenset({
    "string", "binary", "boolean", "byte", "short", "integer", "long", "float", "double", "decimal",
    "date", "timestamp", "timestamp_ntz",
})

# Rows a partition gathers before splitting them by key: few, large column
# reads per group instead of one per record batch.
_GROUP_ROWS = 1 << 20
_GROUP_BYTES = 64 << 20
_FAN_IN = 8  # partial sketches merged per task in the tree


# --- what runs on the workers ------------------------------------------------

def _fresh(name: str, empty: bytes) -> Any:
    return KINDS[name].cls.from_bytes(empty)


def _binary(values: list[bytes | None]) -> _pa.Array:
    import pyarrow as pa

    return pa.array(values, pa.binary())


def _feed(name: str, sketch: Any, column: _pa.Array) -> None:
    # The column reader skips nulls in items; numbers are handed over without
    # them, so every kind skips nulls as SQL aggregates do.
    if column.null_count and KINDS[name].feeds == "numbers":
        column = column.drop_null()
    sketch.update_column(column)


def _build_partition(name: str, empty: bytes, batches: Iterator[_pa.RecordBatch]) -> Iterator[_pa.RecordBatch]:
    import pyarrow as pa

    sketch = _fresh(name, empty)
    for batch in batches:
        _feed(name, sketch, batch.column(0))
    yield pa.RecordBatch.from_arrays([_binary([sketch.to_bytes()])], names=["sketch"])


def _merge_into(name: str, total: Any, data: bytes | bytearray) -> Any:
    # Starts from None rather than a shared empty sketch: nothing a task is
    # handed is changed in place.
    other = _decode(name, bytes(data))
    if total is None:
        return other
    total.merge(other)
    return total


def _merge_pair(a: Any, b: Any) -> Any:
    if a is None:
        return b
    if b is not None:
        a.merge(b)
    return a


def _decode(name: str, data: bytes) -> Any:
    kind = KINDS[name]
    try:
        return kind.cls.from_bytes(data)
    except ValueError as e:
        raise ValueError(f"a row of the sketch column does not hold a {kind.cls.__name__}: {e}") from None


def _fold(name: str, empty: bytes, merging: bool, nkeys: int, sketches: dict[tuple[Any, ...], Any],
          key_types: list[_pa.DataType], batches: list[_pa.RecordBatch]) -> None:
    """Fold gathered rows into one sketch per key: values through one column
    read per key, or (merging) serialised sketches merged one by one."""
    import pyarrow as pa

    table = pa.Table.from_batches(batches)
    names = [f"k{i}" for i in range(nkeys)]
    table = table.rename_columns([*names, "v"])
    grouped = table.group_by(names, use_threads=False).aggregate([("v", "list")])
    lists = grouped.column("v_list").combine_chunks()
    offsets = lists.offsets.to_pylist()
    flat = lists.values
    keys = zip(*(grouped.column(n).to_pylist() for n in names), strict=True)
    for i, key in enumerate(keys):
        part = flat.slice(offsets[i], offsets[i + 1] - offsets[i])
        sketch = sketches.get(key)
        if merging:
            # A group starts from its first sketch (so any parameters do); a
            # null sketch adds nothing, as SQL aggregates skip NULL.
            for data in part.to_pylist():
                if data is None:
                    continue
                other = _decode(name, data)
                if sketch is None:
                    sketch = other
                else:
                    sketch.merge(other)
            sketches[key] = sketch
        else:
            if sketch is None:
                sketch = sketches[key] = _fresh(name, empty)
            _feed(name, sketch, part)
    if not key_types:
        key_types.extend(table.schema.types[:nkeys])


def _group_partition(name: str, empty: bytes, merging: bool, nkeys: int,
                     batches: Iterator[_pa.RecordBatch]) -> Iterator[_pa.RecordBatch]:
    import pyarrow as pa

    sketches: dict[tuple[Any, ...], Any] = {}
    key_types: list[_pa.DataType] = []
    gathered: list[_pa.RecordBatch] = []
    rows = size = 0
    for batch in batches:
        if batch.num_rows == 0:
            continue
        gathered.append(batch)
        rows += batch.num_rows
        size += batch.nbytes
        if rows >= _GROUP_ROWS or size >= _GROUP_BYTES:
            _fold(name, empty, merging, nkeys, sketches, key_types, gathered)
            gathered, rows, size = [], 0, 0
    if gathered:
        _fold(name, empty, merging, nkeys, sketches, key_types, gathered)
    if not sketches:
        return
    keys = list(sketches)
    columns = [pa.array([key[i] for key in keys], key_types[i]) for i in range(nkeys)]
    columns.append(_binary([None if sketches[key] is None else sketches[key].to_bytes() for key in keys]))
    yield pa.RecordBatch.from_arrays(columns, names=[f"k{i}" for i in range(nkeys)] + ["v"])


def _merge_group(name: str, table: _pa.Table) -> _pa.Table:
    import pyarrow as pa

    total = None
    for data in table.column(table.num_columns - 1).to_pylist():
        if data is None:
            continue
        if total is None:
            total = _decode(name, data)
        else:
            total.merge(_decode(name, data))
    head = table.slice(0, 1)
    out = [head.column(i) for i in range(table.num_columns - 1)]
    out.append(pa.chunked_array([_binary([None if total is None else total.to_bytes()])]))
    return pa.Table.from_arrays(out, names=table.column_names)


def _answer(name: str, what: str, arg: Any, data: bytes) -> Any:
    sketch = _decode(name, data)
    if what == "cardinality":
        return float(sketch.cardinality())
    if what == "quantile":
        return sketch.quantile(arg)
    if what == "quantiles":
        return list(sketch.quantiles(arg))
    if what == "rank":
        return sketch.rank(arg)
    if what == "top":
        return [{"item": item, "count": count} for item, count in sketch.top(arg)]
    return sketch.query_many([arg])[0]  # "contains" or "count"


def _estimate_partition(name: str, what: str, arg: Any, index: int, out: str, arrow_type: _pa.DataType,
                        batches: Iterator[_pa.RecordBatch]) -> Iterator[_pa.RecordBatch]:
    import pyarrow as pa

    for batch in batches:
        answers = [None if data is None else _answer(name, what, arg, data)
                   for data in batch.column(index).to_pylist()]
        yield pa.RecordBatch.from_arrays([*batch.columns, pa.array(answers, arrow_type)],
                                         names=[*batch.schema.names, out])


# --- checks and plans (on the driver) ----------------------------------------

def _kind(kind: str | type) -> Kind:
    if isinstance(kind, str):
        found = KINDS.get(kind)
        if found is None:
            raise ValueError(f"unknown sketch kind {kind!r}; the kinds are: {', '.join(KINDS)}")
        return found
    if isinstance(kind, type):
        found = by_class(kind)
        if found is None:
            raise TypeError(f"{kind.__qualname__} is not a murk sketch class")
        return found
    raise TypeError(f"kind must be a kind name such as 'hll' or a murk class, not {type(kind).__name__}")


def _mergeable(kind: str | type) -> Kind:
    k = _kind(kind)
    if k.feeds is None:
        raise TypeError(f"{k.cls.__name__} is not built from a column of values")
    if not k.mergeable:
        raise TypeError(
            f"{k.cls.__name__} cannot be merged, so Spark cannot build it from partitions; "
            "use BloomFilter (or CountingBloomFilter) sized for the data"
        )
    return k


def _empty(kind: Kind, params: dict[str, Any]) -> bytes:
    # Made once here, so a bad parameter fails now and every partition starts
    # from the very same configuration.
    try:
        sketch = kind.cls(**params)
    except (TypeError, ValueError) as e:
        raise type(e)(f"{kind.cls.__name__} parameters: {e}") from None
    data: bytes = sketch.to_bytes()
    return data


def _frame(df: Any) -> None:
    from pyspark.sql import DataFrame

    if not isinstance(df, DataFrame):
        raise TypeError(f"expected a Spark DataFrame, got {type(df).__module__}.{type(df).__qualname__}")


def _field(df: DataFrame, name: str) -> StructField:
    if not isinstance(name, str):
        raise TypeError(f"column names are strings, not {type(name).__name__}")
    fields = df.schema.fields
    for f in fields:
        if f.name == name:
            return f
    if str(df.sparkSession.conf.get("spark.sql.caseSensitive", "false")).lower() != "true":
        folded = [f for f in fields if f.name.lower() == name.lower()]
        if len(folded) == 1:
            return folded[0]
    raise ValueError(f"no column {name!r} in the DataFrame; its columns are: {', '.join(f.name for f in fields)}")


def _type_name(t: DataType) -> str:
    return t.typeName()


def _values(df: DataFrame, name: str, kind: Kind) -> Any:
    """The value column as the sketch is fed it (a Column), after checking its type."""
    from pyspark.sql import functions as F

    field = _field(df, name)
    accepted = COLUMN_TYPES[kind.feeds or "items"]
    if _type_name(field.dataType) not in accepted:
        hint = "cast it to a number" if kind.feeds == "numbers" else "cast it, e.g. col(...).cast('string')"
        raise TypeError(
            f"column {field.name!r} is {field.dataType.simpleString()}, which {kind.cls.__name__} does not take; "
            f"it takes {', '.join(sorted(accepted))} columns ({hint})"
        )
    column = F.col(f"`{field.name}`")
    return column.cast("double") if kind.feeds == "numbers" else column


def _keys(df: DataFrame, keys: str | Sequence[str]) -> list[StructField]:
    names = [keys] if isinstance(keys, str) else list(keys)
    if not names:
        raise ValueError("no group keys given; use murk.spark.sketch for a single sketch of the whole column")
    fields = [_field(df, n) for n in names]
    if len({f.name for f in fields}) != len(fields):
        raise ValueError(f"group keys repeat a column: {names}")
    for f in fields:
        if _type_name(f.dataType) not in KEY_TYPES:
            raise TypeError(
                f"group key {f.name!r} is {f.dataType.simpleString()}; keys must be of an atomic type "
                f"({', '.join(sorted(KEY_TYPES))})"
            )
    return fields


def _sketch_field(df: DataFrame, name: str) -> StructField:
    field = _field(df, name)
    if _type_name(field.dataType) != "binary":
        raise TypeError(f"column {field.name!r} is {field.dataType.simpleString()}, not a binary column of sketches")
    return field


def _group_merger(name: str) -> Any:
    # A plain function without annotations: applyInArrow picks its flavour
    # from a function's type hints and cannot read a functools.partial.
    def merge(table):  # type: ignore[no-untyped-def]
        return _merge_group(name, table)
    return merge


def _tree_depth(partitions: int) -> int:
    # Levels so that no task merges many more than _FAN_IN partial sketches.
    return max(2, math.ceil(math.log(max(partitions, 2), _FAN_IN)))


def _grouped(df: DataFrame, key_fields: list[StructField], value: Any, kind: Kind, empty: bytes,
             merging: bool, sketch_column: str) -> DataFrame:
    from pyspark.sql.types import BinaryType, StructField, StructType

    if sketch_column in {f.name for f in key_fields}:
        raise ValueError(f"the sketch column {sketch_column!r} has the name of a group key")
    nkeys = len(key_fields)
    names = [f"k{i}" for i in range(nkeys)]
    inner = StructType([StructField(n, f.dataType, True) for n, f in zip(names, key_fields, strict=True)]
                       + [StructField("v", BinaryType(), True)])
    selected = df.select(*[df[f"`{f.name}`"].alias(n) for f, n in zip(key_fields, names, strict=True)],
                         value.alias("v"))
    partials = selected.mapInArrow(functools.partial(_group_partition, kind.name, empty, merging, nkeys), inner)
    merged = partials.groupBy(*names).applyInArrow(_group_merger(kind.name), inner)
    return merged.select(*[merged[n].alias(f.name) for n, f in zip(names, key_fields, strict=True)],
                         merged["v"].alias(sketch_column))


# --- the calls ----------------------------------------------------------------

def sketch(df: DataFrame, column: str, kind: str | type, **params: Any) -> Any:
    """One sketch of every non-null value of ``df[column]``.

    ``kind`` is a registry name (``"hll"``, ``"bloom"``, ``"cms"``, ...) or a
    murk class; ``params`` go to its constructor. Each partition is read as
    Arrow record batches into a sketch of its own, serialised once, and the
    partial sketches are merged in a tree. The result is the sketch a local
    build over the same values makes: byte for byte for the kinds whose merge
    is exact (Bloom filters, count-min, HyperLogLog, MinHash), within the
    sketch's error for those whose state depends on the merge order (TopK,
    ThetaSketch, KLLSketch, DDSketch). ``sketch(events, "user", "hll",
    precision=14)`` is a ``murk.HyperLogLog``.
    """
    _frame(df)
    k = _mergeable(kind)
    values = _values(df, column, k)
    empty = _empty(k, params)
    partials = df.select(values.alias("v")).mapInArrow(
        functools.partial(_build_partition, k.name, empty), "sketch binary")
    rdd = partials.rdd.map(lambda row: row[0])
    total = rdd.treeAggregate(None, functools.partial(_merge_into, k.name), _merge_pair,
                              depth=_tree_depth(rdd.getNumPartitions()))
    return _fresh(k.name, empty) if total is None else total


def sketch_by(df: DataFrame, keys: str | Sequence[str], column: str, kind: str | type, *,
              sketch_column: str = "sketch", **params: Any) -> DataFrame:
    """A DataFrame of one row per group: the key columns and ``sketch_column``,
    the serialised sketch (binary) of the group's non-null values of ``column``.

    Built inside Spark: each partition folds its rows into one sketch per key,
    and only those partial sketches are shuffled and merged per group. Load a
    row's sketch with ``murk.<Class>.from_bytes``; roll the column up with
    ``merge_by`` and query it with ``estimate``.
    """
    _frame(df)
    k = _mergeable(kind)
    key_fields = _keys(df, keys)
    values = _values(df, column, k)
    return _grouped(df, key_fields, values, k, _empty(k, params), False, sketch_column)


def merge_by(df: DataFrame, keys: str | Sequence[str], sketch_column: str, kind: str | type) -> DataFrame:
    """Roll a binary column of serialised sketches up to coarser keys: one row
    per distinct ``keys``, holding the merge of that group's sketches (daily
    sketches into weekly ones). Null sketches are skipped; sketches made with
    other parameters fail to merge, as ``merge`` does.
    """
    _frame(df)
    k = _mergeable(kind)
    key_fields = _keys(df, keys)
    field = _sketch_field(df, sketch_column)
    from pyspark.sql import functions as F

    # Nothing is made empty: every group starts from one of its own sketches.
    return _grouped(df, key_fields, F.col(f"`{field.name}`"), k, b"", True, field.name)


_NOT_GIVEN: Any = object()


def estimate(df: DataFrame, sketch_column: str, kind: str | type, *, item: Any = _NOT_GIVEN,
             q: float | Sequence[float] | None = None, rank: float | None = None, top: int | None = None,
             name: str | None = None) -> DataFrame:
    """``df`` with one more column: what each row's sketch answers.

    - no question: the kind's own number, a distinct count (double) for
      HyperLogLog, the top items (array of item/count structs, ``top=n`` for
      the first n) for TopK;
    - ``item=x``: membership (boolean) for the filters, the estimated count
      (long) for count-min and TopK;
    - ``q=0.5`` (double) or ``q=[0.5, 0.99]`` (array of doubles), ``rank=x``
      (double): for kinds that answer quantiles.

    The new column is called ``name`` (default: what it holds, e.g.
    ``"cardinality"``, ``"count"``, ``"quantiles"``); a null sketch answers
    null.
    """
    import pyarrow as pa
    from pyspark.sql.types import (
        ArrayType,
        BooleanType,
        DoubleType,
        LongType,
        StringType,
        StructField,
        StructType,
    )

    _frame(df)
    k = _kind(kind)
    field = _sketch_field(df, sketch_column)
    asked = [n for n, v in (("item", item is not _NOT_GIVEN), ("q", q is not None), ("rank", rank is not None)) if v]
    if len(asked) > 1:
        raise ValueError(f"ask one question at a time, not {' and '.join(asked)}")
    cls = k.cls.__name__
    arg: Any = None
    if asked == ["item"]:
        if k.answers not in ("member", "count"):
            raise TypeError(f"{cls} has no per-item answer")
        k.tiny().query_many([item])  # the item's type is checked here, not on a worker
        what, arg = ("contains", item) if k.answers == "member" else ("count", item)
    elif asked:
        if k.summary != "quantiles":
            raise TypeError(f"{cls} does not answer quantiles or ranks")
        if rank is not None:
            what, arg = "rank", float(rank)
        elif isinstance(q, (int, float)):
            what, arg = "quantile", _fraction(q)
        else:
            what, arg = "quantiles", [_fraction(x) for x in q or ()]
            if not arg:
                raise ValueError("q is an empty list")
    elif k.summary == "quantiles":
        raise ValueError(f"ask {cls} for a quantile (q=0.5, or a list) or a rank (rank=x)")
    elif k.summary in ("cardinality", "top"):
        what = k.summary
    else:
        per_item = " (ask with item=...)" if k.answers else ""
        raise TypeError(f"{cls} has no single number to estimate{per_item}")
    if top is not None:
        if what != "top":
            raise ValueError("top= goes with sketches that answer their top items (TopK)")
        if isinstance(top, bool) or not isinstance(top, int) or top < 1:
            raise ValueError(f"top must be a positive int, not {top!r}")
        arg = top

    spark_types: dict[str, DataType] = {
        "cardinality": DoubleType(), "quantile": DoubleType(), "rank": DoubleType(),
        "quantiles": ArrayType(DoubleType()), "contains": BooleanType(), "count": LongType(),
        "top": ArrayType(StructType([StructField("item", StringType()), StructField("count", LongType())])),
    }
    arrow_types: dict[str, _pa.DataType] = {
        "cardinality": pa.float64(), "quantile": pa.float64(), "rank": pa.float64(),
        "quantiles": pa.list_(pa.float64()), "contains": pa.bool_(), "count": pa.int64(),
        "top": pa.list_(pa.struct([("item", pa.string()), ("count", pa.int64())])),
    }
    out = name or what
    if out in df.columns:
        raise ValueError(f"the DataFrame already has a column {out!r}; pass name=... for the answers")
    schema = StructType([*df.schema.fields, StructField(out, spark_types[what], True)])
    index = df.columns.index(field.name)
    return df.mapInArrow(
        functools.partial(_estimate_partition, k.name, what, arg, index, out, arrow_types[what]), schema)


def _fraction(q: Any) -> float:
    if isinstance(q, bool) or not isinstance(q, (int, float)) or not 0.0 <= q <= 1.0:
        raise ValueError(f"quantiles are numbers from 0 to 1, not {q!r}")
    return float(q)
