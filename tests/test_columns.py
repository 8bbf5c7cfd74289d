"""Columns in place: caller hashes from buffers, items from Arrow columns."""
import array
import ctypes
import re

import numpy as np
import pytest

import murk
from conftest import small

pa = pytest.importorskip("pyarrow")

NEW = small()
HASHED = [n for n in NEW if n != "TopK"]
QUERIED = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter", "CountMinSketch", "TopK"]

# ---------------------------------------------------------------- caller hashes

HASHES = [0, 1, 2**63 - 1, 12345, 2**62, 7, 7]


@pytest.mark.parametrize("name", HASHED)
@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=np.uint64),
    lambda v: np.array(v, dtype=np.int64),
    lambda v: np.array(v, dtype=np.ulonglong),
    lambda v: array.array("Q", v),
    lambda v: memoryview(array.array("q", v)),
    lambda v: memoryview(np.array(v, dtype=np.uint64).tobytes()).cast("Q"),
    lambda v: np.array(v, dtype=np.uint64)[:0],
], ids=["uint64", "int64", "ulonglong", "array-Q", "memoryview-q", "cast-bytes", "empty"])
def test_hash_buffers_match_the_list_path(name, make):
    buf = make(HASHES)
    values = [int(x) for x in buf]
    a, b = NEW[name](), NEW[name]()
    assert a.update_hashes(buf) == b.update_hashes(values)
    assert a.to_bytes() == b.to_bytes()
    if hasattr(a, "query_hashes"):
        probe = make(HASHES[::-1])
        assert a.query_hashes(probe) == b.query_hashes([int(x) for x in probe])


@pytest.mark.parametrize("name", HASHED)
def test_negative_signed_hash_raises_like_the_int_before_any_change(name):
    obj = NEW[name]()
    before = obj.to_bytes()
    with pytest.raises(OverflowError) as listed:
        obj.update_hashes([5, -3])
    for buf in (np.array([5, -3], dtype=np.int64), array.array("q", [5, -3])):
        with pytest.raises(OverflowError) as buffered:
            obj.update_hashes(buf)
        assert str(buffered.value) == str(listed.value)
    assert obj.to_bytes() == before


class Iterated:
    """The same sequence without its buffer: what iteration alone gives."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


@pytest.mark.parametrize("other", [
    np.arange(10, dtype=np.uint64)[::2],          # not contiguous
    np.arange(6, dtype=np.uint32),                # 4-byte items
    np.arange(6, dtype=">u8"),                    # big-endian
    np.arange(6, dtype=np.uint64).reshape(2, 3),  # two dimensions
    np.arange(6, dtype=np.float64),               # not integers
    np.array(7, dtype=np.uint64),                 # no dimension
    b"\x01\x02\x03\x04\x05\x06\x07\x08",
    bytearray(8),
], ids=["strided", "uint32", "big-endian", "2d", "float64", "0d", "bytes", "bytearray"])
def test_other_buffers_keep_the_iteration_path(other):
    def outcome(hashes):
        bf = murk.BloomFilter(expected_items=100)
        try:
            bf.update_hashes(hashes)
        except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
            return type(exc)
        return bf.to_bytes()
    assert outcome(other) == outcome(Iterated(other))


def test_hash_buffer_is_released_when_the_call_ends():
    a = array.array("Q", [1, 2])
    murk.HyperLogLog().update_hashes(a)
    b = array.array("q", [1, -2])
    with pytest.raises(OverflowError):
        murk.HyperLogLog().update_hashes(b)
    a.append(3)  # a buffer still exported would make these raise BufferError
    b.append(3)


# ---------------------------------------------------------------- columns

TEXT = ["apple", "", "ünïcödé ✓", "a string longer than twelve bytes", "apple", "x" * 200, "q"]
INTS = {
    pa.int8(): [-128, 0, 127, 5], pa.uint8(): [0, 255, 7],
    pa.int16(): [-32768, 32767, -1], pa.uint16(): [65535, 0],
    pa.int32(): [-2**31, 2**31 - 1, 42], pa.uint32(): [2**32 - 1, 3],
    pa.int64(): [-2**63, 2**63 - 1, -10, 10], pa.uint64(): [2**64 - 1, 0, 99],
}
TEXT_TYPES = [pa.string(), pa.large_string(), pa.string_view()]
BINARY_TYPES = [pa.binary(), pa.large_binary(), pa.binary_view()]


def columns():
    """(arrow array, its values) for every supported type."""
    out = [(pa.array(TEXT, t), TEXT) for t in TEXT_TYPES]
    raw = [t.encode() for t in TEXT]
    out += [(pa.array(raw, t), raw) for t in BINARY_TYPES]
    fixed = [b"abcd", b"\x00\xff\x00\x01", b"abcd"]
    out.append((pa.array(fixed, pa.binary(4)), fixed))
    out += [(pa.array(v, t), v) for t, v in INTS.items()]
    out.append((pa.array(TEXT).dictionary_encode(), TEXT))
    out.append((pa.array(TEXT, pa.string_view()).dictionary_encode(), TEXT))
    out.append((pa.array([5, -5, 5], pa.int64()).dictionary_encode(), [5, -5, 5]))
    return out


def column_id(c):
    return str(c[0].type)


def variants(arr, values):
    """The same values as an array, a chunked array, a slice of a longer
    array, a one-column table and a record batch (one-field structs)."""
    longer = pa.concat_arrays([arr[:1], arr, arr[:2]])
    yield "array", arr
    yield "chunked", pa.chunked_array([arr[:2], arr[2:2], arr[2:]], arr.type)
    yield "sliced", longer.slice(1, len(values))
    yield "table", pa.table({"c": arr})
    yield "batch", pa.record_batch({"c": arr})


def accepts(name, arr):
    t = arr.type.value_type if pa.types.is_dictionary(arr.type) else arr.type
    return name != "TopK" or t in TEXT_TYPES


def readers(names, cols):
    """Each class with each column it reads (TopK counts strings only)."""
    return [pytest.param(name, col, id=f"{column_id(col)}-{name}")
            for col in cols for name in names if accepts(name, col[0])]


@pytest.mark.parametrize("name, col", readers(NEW, columns()))
def test_update_column_is_update_of_the_values(name, col):
    arr, values = col
    expected = NEW[name]()
    result = expected.update(values)
    for _, column in variants(arr, values):
        obj = NEW[name]()
        assert obj.update_column(column) == result
        assert obj.to_bytes() == expected.to_bytes()


# Sizes for a long column: small enough to overflow or grow within it, except
# the cuckoo filter, whose random evictions make a full filter's bytes vary.
LONG = {
    "CountingBloomFilter": lambda: murk.CountingBloomFilter(num_counters=16, num_hashes=1),
    "CuckooFilter": lambda: murk.CuckooFilter(100_000, seed=5),
    "ScalableBloomFilter": lambda: murk.ScalableBloomFilter(initial_capacity=10),
}


def outcome(obj, call):
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        result = repr(exc)
    return result, obj.to_bytes()


@pytest.mark.parametrize("name", NEW)
def test_long_columns_cross_blocks_like_one_update(name):
    words = [f"w{i}" for i in range(9000)]
    spread = [None if i % 7 == 3 else w for i, w in enumerate(words)]
    plain = pa.array(spread)
    column = pa.chunked_array([plain[:1000], plain[1000:4099].dictionary_encode().cast(pa.string()), plain[4099:]])
    kept = [w for w in spread if w is not None]
    make = LONG.get(name, NEW[name])
    a, b = make(), make()
    assert outcome(a, lambda: a.update_column(column)) == outcome(b, lambda: b.update(kept))
    if hasattr(a, "query_column"):
        answers = a.query_column(column).tolist()
        assert [x for x, w in zip(answers, spread) if w is not None] == b.query_many(kept)
    if name != "TopK":
        a, b = make(), make()
        ints = range(-4500, 4500)
        assert outcome(a, lambda: a.update_column(pa.array(ints))) == outcome(b, lambda: b.update(ints))


def with_nulls(arr, values):
    """values with a null between each pair, nulls at struct level too."""
    spread = [v for x in values for v in (x, None)]
    nullable = pa.array(spread, arr.type.value_type if pa.types.is_dictionary(arr.type) else arr.type)
    if pa.types.is_dictionary(arr.type):
        nullable = nullable.dictionary_encode()
    mask = pa.array([i % 4 == 2 for i in range(len(spread))])
    outer = pa.StructArray.from_arrays([nullable], names=["c"], mask=mask)
    kept = [v for i, v in enumerate(spread) if v is not None and i % 4 != 2]
    return nullable, spread, outer, kept


@pytest.mark.parametrize("name, col", readers(QUERIED, columns()[:9:4] + columns()[-3:]))
def test_nulls_are_skipped_and_query_column_answers_per_row(name, col):
    arr, values = col
    nullable, spread, outer, kept = with_nulls(arr, values)
    obj, expected = NEW[name](), NEW[name]()
    obj.update_column(nullable)
    expected.update(values)
    assert obj.to_bytes() == expected.to_bytes()

    view = obj.query_column(nullable)
    answers = expected.query_many(values)
    zero = 0 if name in ("CountMinSketch", "TopK") else False
    assert view.readonly and view.ndim == 1 and view.format == ("?" if zero is False else "Q")
    assert view.tolist() == [a for x in answers for a in (x, zero)]
    shared = np.asarray(view)
    assert shared.tolist() == view.tolist() and not shared.flags.writeable
    with pytest.raises(TypeError):  # the hidden owner of the results cannot be made empty-handed
        type(view.obj)()
    orphan = NEW[name]().query_column(nullable)  # its filter is gone at once
    assert np.asarray(orphan).tolist() == [zero] * len(spread)

    struct_obj = NEW[name]()
    struct_obj.update_column(outer)
    reference = NEW[name]()
    reference.update(kept)
    assert struct_obj.to_bytes() == reference.to_bytes()
    assert len(obj.query_column(outer)) == len(spread)


@pytest.mark.parametrize("name", QUERIED)
def test_empty_and_all_null_columns(name):
    obj = NEW[name]()
    before = obj.to_bytes()
    for col in (pa.array([], pa.string()), pa.array([None, None], pa.string()), pa.chunked_array([], pa.string())):
        obj.update_column(col)
        assert obj.to_bytes() == before
        assert obj.query_column(col).tolist() == [0] * len(col)


@pytest.mark.parametrize("module, make, values", [
    ("polars", lambda pl: pl.Series(TEXT), TEXT),
    ("polars", lambda pl: pl.Series(TEXT, dtype=pl.Categorical), TEXT),
    ("polars", lambda pl: pl.DataFrame({"c": TEXT}), TEXT),
    ("pandas", lambda pd: pd.Series(TEXT), TEXT),
    ("pandas", lambda pd: pd.Series(TEXT, dtype="string[pyarrow]"), TEXT),
    ("pandas", lambda pd: pd.Series([1, None, 3], dtype="Int64"), [1, 3]),
    ("duckdb", lambda duckdb: duckdb.sql("SELECT s FROM (VALUES ('apple'), (NULL), ('pear'), ('apple')) t(s)"),
     ["apple", "pear", "apple"]),
    ("nanoarrow", lambda na: na.c_array(["apple", None, "pear", "apple"], na.string()), ["apple", "pear", "apple"]),
])
def test_other_producers_give_the_same_items(module, make, values):
    cms, expected = murk.CountMinSketch(100, 3), murk.CountMinSketch(100, 3)
    cms.update_column(make(pytest.importorskip(module)))
    expected.update(values)
    assert cms.to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("column, words", [
    ([1, 2], "'list' object is not a column"),
    (pa.array([1.5]), "Arrow type float64 cannot be read"),
    (pa.array([True]), "Arrow type bool"),
    (pa.array([[1]]), "Arrow type list"),
    (pa.array([1.5]).dictionary_encode(), "Arrow type dictionary<values=float64, indices=int32>"),
    (pa.table({"a": [1], "b": [2]}), "a struct column of 2 fields"),
    (pa.array([{"a": {"b": 1}}]), "Arrow type struct"),
])
def test_unreadable_columns_raise_type_error(column, words):
    bf = murk.BloomFilter(100)
    with pytest.raises(TypeError, match="^argument 'column': " + re.escape(words)):
        bf.update_column(column)
    with pytest.raises(TypeError, match="TopK reads string columns.*not int64"):
        murk.TopK(3).update_column(pa.array([1]))


class CSchema(ctypes.Structure):
    pass


class CArray(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(CSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(CArray))
CSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(CSchema))), ("dictionary", ctypes.POINTER(CSchema)),
    ("release", SchemaRelease), ("private_data", ctypes.c_void_p)]
CArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(CArray))),
    ("dictionary", ctypes.POINTER(CArray)), ("release", ArrayRelease), ("private_data", ctypes.c_void_p)]
capsule = ctypes.pythonapi.PyCapsule_New
capsule.restype = ctypes.py_object
capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class N:
    """One array node: format, length, buffers (bytes or None), and the rest."""

    def __init__(self, fmt, length, buffers, offset=0, null_count=0, dictionary=None, child=None):
        self.fmt, self.length, self.buffers, self.offset = fmt, length, buffers, offset
        self.null_count, self.dictionary, self.child = null_count, dictionary, child


class Handmade:
    """A column built by hand in the Arrow C data interface, to feed what no
    library would produce. Records each release of the top-level structs."""

    def __init__(self, node):
        self.keep, self.released = [], []
        self.schema, self.array = self.build(node, top=True)

    def build(self, node, top=False):
        schema, arr = CSchema(), CArray()
        schema.format = node.fmt.encode()
        arr.length, arr.offset, arr.null_count = node.length, node.offset, node.null_count
        arr.n_buffers = len(node.buffers)
        ptrs = (ctypes.c_void_p * max(1, len(node.buffers)))()
        for k, b in enumerate(node.buffers):
            if b is not None:
                cbuf = ctypes.create_string_buffer(b, len(b))
                self.keep.append(cbuf)
                ptrs[k] = ctypes.addressof(cbuf)
        arr.buffers = ptrs
        if node.dictionary:
            d_schema, d_arr = self.build(node.dictionary)
            schema.dictionary, arr.dictionary = ctypes.pointer(d_schema), ctypes.pointer(d_arr)
        if node.child:
            c_schema, c_arr = self.build(node.child)
            schema.n_children = arr.n_children = 1
            schema.children = (ctypes.POINTER(CSchema) * 1)(ctypes.pointer(c_schema))
            arr.children = (ctypes.POINTER(CArray) * 1)(ctypes.pointer(c_arr))
        schema.release = SchemaRelease(self.on_release("schema") if top else lambda p: None)
        arr.release = ArrayRelease(self.on_release("array") if top else lambda p: None)
        self.keep += [ptrs, schema, arr, schema.release, arr.release]
        return schema, arr

    def on_release(self, what):
        def release(p):
            p.contents.release = type(p.contents.release)()
            self.released.append(what)
        return release

    def __arrow_c_array__(self, requested_schema=None):
        return (capsule(ctypes.addressof(self.schema), b"arrow_schema", None),
                capsule(ctypes.addressof(self.array), b"arrow_array", None))


def i32(*v):
    return np.array(v, dtype=np.int32).tobytes()


def i64(*v):
    return np.array(v, dtype=np.int64).tobytes()


def view(length, buf, off):
    return i32(length, 0, buf, off)


TWELVE = b"x" * 20
MALFORMED = {
    "decreasing offsets": N("u", 2, [None, i32(0, 3, 1), b"abc"]),
    "negative first offset": N("U", 1, [None, i64(-1, 2), b"ab"]),
    "view buffer index": N("vu", 1, [None, view(20, 1, 0), TWELVE, i64(20)]),
    "view past its buffer": N("vu", 1, [None, view(20, 0, 5), TWELVE, i64(20)]),
    "negative view length": N("vu", 1, [None, view(-4, 0, 0), i64()]),
    "negative variadic size": N("vu", 1, [None, view(3, 0, 0), TWELVE, i64(-1)]),
    "dictionary index": N("c", 2, [None, bytes([0, 3])], dictionary=N("u", 2, [None, i32(0, 1, 2), b"ab"])),
    "negative dictionary index": N("i", 1, [None, i32(-1)], dictionary=N("u", 1, [None, i32(0, 1), b"a"])),
    "nulls without bitmap": N("u", 1, [None, i32(0, 1), b"a"], null_count=1),
    "negative length": N("u", -1, [None, i32(0), b""]),
    "negative offset": N("u", 1, [None, i32(0, 1), b"a"], offset=-1),
    "null count below -1": N("u", 1, [None, i32(0, 1), b"a"], null_count=-2),
    "missing buffer": N("u", 1, [None, i32(0, 1)]),
    "no offsets": N("u", 1, [None, None, b"a"]),
    "struct rows past its field": N("+s", 2, [None], child=N("u", 1, [None, i32(0, 1), b"a"])),
    "offset plus length overflows": N("u", 2**62, [None, i32(0), b""], offset=2**62),
}


@pytest.mark.parametrize("name", ["BloomFilter", "CountMinSketch", "TopK"])
@pytest.mark.parametrize("node", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_columns_raise_value_error_change_nothing_and_are_released(name, node):
    obj = NEW[name]()
    before = obj.to_bytes()
    for method in ("update_column", "query_column"):
        column = Handmade(node)
        with pytest.raises(ValueError, match="^malformed Arrow column: "):
            getattr(obj, method)(column)
        assert sorted(column.released) == ["array", "schema"]
    assert obj.to_bytes() == before


def test_handmade_columns_are_read_and_released_once():
    column = Handmade(N("+s", 2, [bytes([0b10])], offset=0, null_count=1,
                        child=N("u", 3, [None, i32(0, 1, 3, 6), b"abbccc"], offset=1)))
    h, expected = murk.HyperLogLog(8), murk.HyperLogLog(8)
    h.update_column(column)
    expected.update(["ccc"])  # row 0 is null at struct level; row 1 is field row 2
    assert h.to_bytes() == expected.to_bytes()
    assert sorted(column.released) == ["array", "schema"]


def test_topk_refuses_text_that_is_not_utf8():
    t = murk.TopK(4)
    with pytest.raises(ValueError, match="not valid utf8"):
        t.update_column(Handmade(N("u", 2, [None, i32(0, 2, 4), b"ok\xff\xfe"])))
    assert len(t) == 0


class Producer:
    """A hand-made producer: a stream of pyarrow batches, or a bad capsule."""

    def __init__(self, stream=None, capsule=None, callback=None):
        self.stream, self.capsule, self.callback = stream, capsule, callback

    def __arrow_c_stream__(self, requested_schema=None):
        if self.callback:
            self.callback()
        return self.capsule if self.capsule is not None else self.stream.__arrow_c_stream__()


def test_stream_errors_and_bad_capsules():
    schema = pa.schema([("c", pa.string())])

    def batches():
        yield pa.record_batch({"c": ["a", "b"]})
        raise RuntimeError("producer broke")

    obj = murk.BloomFilter(100)
    before = obj.to_bytes()
    allocated = pa.total_allocated_bytes()
    with pytest.raises(ValueError, match="^Arrow stream failed: .*producer broke"):
        obj.update_column(Producer(pa.RecordBatchReader.from_batches(schema, batches())))
    assert pa.total_allocated_bytes() == allocated  # the batch read before the failure was released
    with pytest.raises(TypeError, match="did not return an 'arrow_array_stream' capsule"):
        obj.update_column(Producer(capsule=pa.array(["a"]).__arrow_c_array__()[1]))
    assert obj.to_bytes() == before
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        obj.update_column(Producer(pa.table({"c": ["a"]}), callback=lambda: "x" in obj))
    obj.update_column(Producer(pa.table({"c": ["a"]})))
    assert "a" in obj
