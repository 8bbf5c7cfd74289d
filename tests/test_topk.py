"""TopK: Space-Saving updates and ties, queries, merge, persistence."""
import json
import os
import random
import struct
import tempfile
import collections
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from _murk import TopK
from conftest import MASK, wrap

EOF_MSG = "^Deserialization error: io error: unexpected end of file$"


class Model:
    """Space-Saving exactly as documented: one array, adjacent swaps."""

    def __init__(self, k):
        self.k, self.c = k, []  # [item, count, error] in tracking order

    def add(self, x, w=1):
        if w == 0:
            return
        for p, entry in enumerate(self.c):
            if entry[0] == x:
                entry[1] = min(entry[1] + w, MASK)
                break
        else:
            if len(self.c) < self.k:
                self.c.append([x, w, 0])
                p = len(self.c) - 1
            else:
                p, m = self.k - 1, self.c[-1][1]
                self.c[p] = [x, min(m + w, MASK), m]
        while p > 0 and self.c[p][1] > self.c[p - 1][1]:
            self.c[p], self.c[p - 1] = self.c[p - 1], self.c[p]
            p -= 1

    def floor(self):
        return self.c[-1][1] if len(self.c) == self.k else 0

    def merge(self, o):
        mine, theirs = {e[0]: e for e in self.c}, {e[0]: e for e in o.c}
        out = []
        for x, c, e in self.c:
            add_c, add_e = (theirs[x][1], theirs[x][2]) if x in theirs else (o.floor(),) * 2
            out.append([x, min(c + add_c, MASK), min(e + add_e, MASK)])
        out += [[x, min(c + self.floor(), MASK), min(e + self.floor(), MASK)]
                for x, c, e in o.c if x not in mine]
        out.sort(key=lambda e: (-e[1], e[0].encode()))
        self.c = out[: self.k]

    def rows(self):
        return [tuple(e) for e in self.c]


def build(k, *adds):
    t = TopK(k)
    for a in adds:
        t.add(*a) if isinstance(a, tuple) else t.add(a)
    return t


def payload(counters, k, version=1):
    out = struct.pack("<BQ", version, len(counters))
    for item, count, error in counters:
        raw = item if isinstance(item, bytes) else item.encode()
        out += struct.pack("<Q", len(raw)) + raw + struct.pack("<QQ", count, error)
    return out + struct.pack("<Q", k)


def envelope(p):
    return wrap(p, b"MKTK", 1)


def record_json(counters, k, version=1):
    return json.dumps({"version": version, "k": k, "counters": [
        {"item": i, "count": c, "error": e} for i, c, e in counters]})


def load(counters, k, codec, version=1):
    if codec == "json":
        return TopK.from_json(record_json(counters, k, version))
    return TopK.from_bytes(envelope(payload(counters, k, version)))


def check_invariants(t):
    rows = t.top_with_error()
    assert len(rows) == len(t) <= t.k
    assert len({r[0] for r in rows}) == len(rows)
    assert all(e <= c for _, c, e in rows)
    assert all(a[1] >= b[1] for a, b in zip(rows, rows[1:]))
    assert t.min_count() == (rows[-1][1] if rows else 0)


# ---------------------------------------------------------------- construction

def test_fresh_tracker():
    t = TopK(3)
    assert (t.k, len(t), t.min_count(), t.top(), t.top_with_error()) == (3, 0, 0, [], [])
    assert t.size_in_bytes == 96 and repr(t) == "TopK(k=3, tracked=0, min_count=0)"
    assert TopK(k=1).k == 1


@pytest.mark.parametrize("k, exc, msg", [
    (0, ValueError, "^k must be positive$"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (1.5, TypeError, "^argument 'k': "),
    ("3", TypeError, "^argument 'k': "),
    (2**32 - 1, MemoryError, None),
    (MASK, MemoryError, None),
])
def test_constructor_errors(k, exc, msg):
    with pytest.raises(exc, match=msg):
        TopK(k)


# ---------------------------------------------------------------- updates

def test_published_sequence():
    t = build(3, "a", "b", "c")
    assert t.top() == [("a", 1), ("b", 1), ("c", 1)]
    t.add("d")
    assert t.top_with_error() == [("d", 2, 1), ("a", 1, 0), ("b", 1, 0)]
    assert (t.query("c"), "c" in t, t.contains("c"), t["c"]) == (0, False, False, 0)
    t.add("b")
    assert t.top() == [("d", 2), ("b", 2), ("a", 1)]
    assert repr(t) == "TopK(k=3, tracked=3, min_count=1)"


@pytest.mark.parametrize("k, adds, expected", [
    # A weighted add climbs past several smaller counts but not past an equal one.
    (3, [("a", 5), ("b", 3), ("c", 1), ("c", 4)], [("a", 5, 0), ("c", 5, 0), ("b", 3, 0)]),
    # Among equal counts the one that reached the count last stands last.
    (3, [("a", 2), "b", "c", "b", "c"], [("a", 2, 0), ("b", 2, 0), ("c", 2, 0)]),
    (3, ["a", "b", "c", "c", "b", "a"], [("c", 2, 0), ("b", 2, 0), ("a", 2, 0)]),
    # The newcomer takes the last counter and stops behind the equal count it reaches.
    (2, [("a", 3), ("b", 2), "x"], [("a", 3, 0), ("x", 3, 2)]),
    (2, [("a", 3), ("b", 1), ("x", 5)], [("x", 6, 1), ("a", 3, 0)]),
    (3, [("a", 2), ("b", 2), ("c", 2), "x"], [("x", 3, 2), ("a", 2, 0), ("b", 2, 0)]),
    # Weight 0 changes nothing, even with room or for a tracked item.
    (2, ["a", ("b", 0), ("a", 0)], [("a", 1, 0)]),
])
def test_update_order(k, adds, expected):
    assert build(k, *adds).top_with_error() == expected


def test_zero_weight_never_inserts_or_evicts():
    t = build(2, "a", "b")
    before = t.to_bytes()
    t.add("x", 0)
    t.add_count("y", 0)
    t.add(count=0, item="z")
    assert t.to_bytes() == before
    room = TopK(5)
    room.add_count("x", 0)
    assert len(room) == 0 and "x" not in room


def test_counts_saturate():
    t = build(2, ("a", MASK - 1), ("a", 5), ("b", 3), ("b", MASK))
    assert t.top_with_error() == [("a", MASK, 0), ("b", MASK, 0)]
    t.add("c")  # the last counter's count is the maximum: the newcomer keeps it
    assert t.top_with_error() == [("a", MASK, 0), ("c", MASK, MASK)]
    t.add("a", MASK)
    assert t.top_with_error() == [("a", MASK, 0), ("c", MASK, MASK)]


def test_batches_equal_single_adds():
    rng = random.Random(5)
    words = [f"w{int(rng.paretovariate(1.2))}" for _ in range(5000)]
    single, batch, many = TopK(40), TopK(40), TopK(40)
    for w in words:
        single.add(w)
    batch.update(words)
    many.update_many(tuple(words))
    assert batch.to_bytes() == single.to_bytes() == many.to_bytes()
    probes = words[:50] + ["never", ""]
    assert batch.query_many(probes) == [single.query(w) for w in probes]
    assert batch.update([]) is None and batch.query_many([]) == []


class Reversed(tuple):
    def __iter__(self):
        return (tuple.__getitem__(self, i) for i in range(len(self) - 1, -1, -1))


LENGTHS = [0, 1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 40, 254, 255, 256, 1000]


@pytest.mark.parametrize("wrap, order", [
    (list, 1), (tuple, 1), (collections.UserList, 1), (Reversed, -1),
    (lambda xs: collections.deque(xs), 1),
])
def test_batches_of_any_sequence_and_any_length(wrap, order):
    words = [("é" if n % 2 else "x") * n for n in LENGTHS for _ in range(n % 3 + 1)]
    words += [w + "!" for w in words[::4]]
    single, batch = TopK(12), TopK(12)
    for w in words[::order]:
        single.add(w)
    batch.update(wrap(words))
    assert batch.to_bytes() == single.to_bytes()
    assert batch.query_many(wrap(words)) == [single[w] for w in words][::order]


def test_items_differing_in_any_single_byte_are_distinct():
    items = ["a" * n for n in range(21)]
    items += ["a" * p + "b" + "a" * (n - p - 1) for n in range(1, 21) for p in range(n)]
    t = TopK(len(items))
    t.update(items)
    t.update(items[::3])
    assert len(t) == len(items)
    assert t.query_many(items) == [2 if i % 3 == 0 else 1 for i in range(len(items))]


# ---------------------------------------------------------------- argument types

ITEM_MSG = "argument 'item': '{}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("call", [
    lambda t, x: t.add(x), lambda t, x: t.add_count(x, 2), lambda t, x: t.query(x),
    lambda t, x: t.count(x), lambda t, x: t.contains(x), lambda t, x: x in t,
    lambda t, x: t[x],
])
@pytest.mark.parametrize("item, tname", [(5, "int"), (b"a", "bytes"), (None, "NoneType"),
                                         (["a"], "list")])
def test_items_must_be_str(call, item, tname):
    t = build(2, "a")
    with pytest.raises(TypeError) as e:
        call(t, item)
    assert str(e.value) == ITEM_MSG.format(tname)
    assert t.top_with_error() == [("a", 1, 0)]


@pytest.mark.parametrize("items, msg", [
    ("abc", "argument 'items': a str cannot be taken as a sequence of values"),
    (("a", 1), "argument 'items': 'int' object cannot be converted to 'PyString'"),
    (["a", "b", b"c"], "argument 'items': 'bytes' object cannot be converted to 'PyString'"),
    (b"ab", "argument 'items': 'int' object cannot be converted to 'PyString'"),
    ((x for x in "ab"), "argument 'items': 'generator' object cannot be converted to 'Sequence'"),
    ({"a", "b"}, "argument 'items': 'set' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "argument 'items': 'dict' object cannot be converted to 'Sequence'"),
    (7, "argument 'items': 'int' object cannot be converted to 'Sequence'"),
])
@pytest.mark.parametrize("method", ["update", "update_many", "query_many"])
def test_batches_are_sequences_of_str_and_never_applied_in_part(items, msg, method):
    t = build(3, "a", "b")
    before = t.to_bytes()
    with pytest.raises(TypeError) as e:
        getattr(t, method)(items)
    assert str(e.value) == msg and t.to_bytes() == before


def test_unicode_items():
    composed, decomposed = "\u00e9", "e\u0301"
    t = build(10, "Apple", "apple", composed, decomposed, decomposed, "日本", "\x00")
    assert t.top() == [(decomposed, 2), ("Apple", 1), ("apple", 1), (composed, 1),
                       ("日本", 1), ("\x00", 1)]
    assert t.size_in_bytes == 320 + sum(len(x.encode()) + 16 for x, _ in t.top())

    class Tag(str):
        def __str__(self):
            return "other"

    t.add(Tag("Apple"))  # a str subclass counts as its own text
    assert t["Apple"] == 2 and "other" not in t
    before = t.to_bytes()
    with pytest.raises(UnicodeEncodeError):
        t.add("\ud800")
    with pytest.raises(UnicodeEncodeError):
        t.update(["x", "\udc00"])
    assert t.to_bytes() == before


def test_top_limits():
    t = build(5, ("a", 3), ("b", 2), "c")
    assert t.top(0) == [] and t.top(2) == [("a", 3), ("b", 2)]
    assert t.top(100) == t.top() == t.top(None) == [("a", 3), ("b", 2), ("c", 1)]
    assert t.top_with_error(n=1) == [("a", 3, 0)]
    with pytest.raises(OverflowError):
        t.top(-1)
    with pytest.raises(TypeError, match="^argument 'n': "):
        t.top("2")


# ---------------------------------------------------------------- merge

def test_published_merges():
    for k, expected in [(2, [("x", 5, 2), ("y", 5, 0)]),
                        (3, [("y", 5, 0), ("x", 3, 0), ("z", 2, 0)])]:
        t = build(k, ("x", 3), ("y", 1))
        o = build(k, ("y", 4), ("z", 2))
        assert t.merge(o) is None and t.top_with_error() == expected
        assert o.top_with_error() == [("y", 4, 0), ("z", 2, 0)]


def test_merge_orders_ties_by_bytes_and_keeps_working():
    t = build(4, "b", "é", "a")
    t.merge(build(4, "B", "z"))
    assert t.top() == [("B", 1), ("a", 1), ("b", 1), ("z", 1)]  # full now: "é" fell off
    t.add("new")
    assert t.top_with_error()[0] == ("new", 2, 1) and "z" not in t


@pytest.mark.parametrize("other, exc, msg", [
    (TopK(3), ValueError, r"^Cannot merge: k mismatch \(2 vs 3\)$"),
    (5, TypeError, "^argument 'other': 'int' object cannot be converted to 'TopK'$"),
])
def test_merge_errors_leave_tracker_unchanged(other, exc, msg):
    t = build(2, "a")
    with pytest.raises(exc, match=msg):
        t.merge(other)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        t.merge(t)
    assert t.top_with_error() == [("a", 1, 0)]


def test_merge_saturates():
    t = build(1, ("a", MASK))
    t.merge(build(1, ("b", 7)))
    assert t.top_with_error() == [("a", MASK, 7)]


# ---------------------------------------------------------------- stream quality

def test_zipf_heavy_hitters_are_all_reported():
    rng = random.Random(11)
    vocab = [f"word{i}" for i in range(20000)]
    weights = [1 / (r + 1) ** 1.1 for r in range(len(vocab))]
    stream = rng.choices(vocab, weights, k=200_000)
    truth = Counter(stream)
    t = TopK(100)
    t.update(stream)
    rows = {x: (c, e) for x, c, e in t.top_with_error()}
    heavy = [x for x, n in truth.items() if n > len(stream) / t.k]
    assert heavy and all(x in rows for x in heavy)
    assert all(x in rows for x, n in truth.items() if n > t.min_count())
    assert all(c - e <= truth[x] <= c for x, (c, e) in rows.items())
    assert sum(c for c, _ in rows.values()) == len(stream)
    assert [x for x, _ in t.top(5)] == [x for x, _ in truth.most_common(5)]


def test_long_tie_runs_follow_the_model():
    rng = random.Random(3)
    t, m = TopK(150), Model(150)
    for _ in range(6000):
        x = f"i{rng.randrange(400)}" if rng.random() < 0.9 else f"i{rng.randrange(20)}"
        w = 1 if rng.random() < 0.95 else rng.randrange(0, 6)
        t.add(x, w)
        m.add(x, w)
    assert t.top_with_error() == m.rows()


# ---------------------------------------------------------------- misc surface

def test_copy_clear_and_properties():
    t = build(3, "a", "b")
    c = t.copy()
    assert type(c) is TopK and c is not t and c.to_bytes() == t.to_bytes()
    c.update(["x", "y", "z"])
    assert t.top() == [("a", 1), ("b", 1)]
    assert t.clear() is None and (len(t), t.k, t.top(), t.size_in_bytes) == (0, 3, [], 96)
    t.add("q")
    assert t.top() == [("q", 1)] and c["z"] == 2
    for name in ("k", "size_in_bytes"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)


def test_loaded_tracker_with_huge_k_grows_on_demand():
    t = TopK.from_json(record_json([("seed", 9, 1)], MASK))
    assert t.size_in_bytes == MASK and len(t) == 1
    t.update([f"n{i % 3000}" for i in range(9000)])
    assert len(t) == 3001 and t["n0"] == 3 and t.top(1) == [("seed", 9)]
    t.merge(TopK.from_json(record_json([("n5", 2, 0)], MASK)))
    assert t["n5"] == 5 and len(t) == 3001
    check_invariants(t)


# ---------------------------------------------------------------- persistence

def test_binary_and_json_layout():
    assert len(TopK(10).to_bytes()) == 38
    t = build(10, "ab")
    assert len(t.to_bytes()) == 64
    assert t.to_bytes() == envelope(payload([("ab", 1, 0)], 10))
    t = build(5, ("é", 4), "a", "d")
    t.add("é")
    assert t.to_bytes() == envelope(payload([("é", 5, 0), ("a", 1, 0), ("d", 1, 0)], 5))
    assert build(2, "a").to_json() == (
        '{\n  "version": 1,\n  "counters": [\n    {\n      "item": "a",\n      "count": 1,\n'
        '      "error": 0\n    }\n  ],\n  "k": 2\n}')
    assert TopK(7).to_json() == '{\n  "version": 1,\n  "counters": [],\n  "k": 7\n}'


def test_round_trips_keep_order_and_eviction(tmp_path):
    items = ['q"uote', "back\\slash", "new\nline", "tab\t\x01", "ünï", "😀", "/", "\x7f"]
    t = build(6, *items, *items[:3], items[0])
    path = str(tmp_path / "t.bin")
    t.save(path)
    with open(path, "rb") as f:
        assert f.read() == t.to_bytes()
    assert {c["item"] for c in json.loads(t.to_json())["counters"]} <= set(items)
    for other in (TopK.from_bytes(t.to_bytes()), TopK.from_json(t.to_json()), TopK.load(path)):
        assert other.top_with_error() == t.top_with_error() and other.k == 6
        other.add("fresh")
        t2 = t.copy()
        t2.add("fresh")
        assert other.to_bytes() == t2.to_bytes()


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("version, counters, k, msg", [
    (0, [], 0, "Unsupported TopK data version"),
    (2, [("a", 5, 6)], 1, "Unsupported TopK data version"),
    (1, [], 0, "k must be positive"),
    (1, [("a", 1, 9), ("b", 1, 0)], 0, "k must be positive"),
    (1, [("a", 1, 0), ("b", 1, 0)], 1, "number of counters exceeds k"),
    (1, [("a", 5, 6)], 3, "counter error exceeds count"),
    (1, [("a", 5, 0), ("a", 3, 0)], 3, "duplicate tracked item"),
    (1, [("a", 5, 0), ("a", 3, 4)], 3, "counter error exceeds count"),
    (1, [("a", 3, 0), ("b", 5, 0), ("b", 1, 0)], 3, "duplicate tracked item"),
    (1, [("a", 3, 0), ("b", 5, 0)], 3, "counters must be sorted by descending count"),
])
def test_validation_order(codec, version, counters, k, msg):
    with pytest.raises(ValueError) as e:
        load(counters, k, codec, version)
    assert str(e.value) == msg


@pytest.mark.parametrize("codec", ["json", "bytes"])
def test_validation_accepts_ties_and_zero_counts(codec):
    t = load([("a", 3, 0), ("b", 3, 3), ("z", 0, 0)], 3, codec)
    assert t.top_with_error() == [("a", 3, 0), ("b", 3, 3), ("z", 0, 0)]
    t.add("n")  # the zero counter is the victim
    assert t.top_with_error() == [("a", 3, 0), ("b", 3, 3), ("n", 1, 0)]


@pytest.mark.parametrize("raw, detail", [
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
    (b"ab\xc3(", "invalid utf-8 sequence of 1 bytes from index 2"),
    (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    (b"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"ok\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"),
    (b"\xf0\x9f\x98a", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
])
def test_invalid_utf8_items(raw, detail):
    with pytest.raises(ValueError) as e:
        TopK.from_bytes(envelope(payload([(raw, 1, 0)], 2)))
    assert str(e.value) == "Deserialization error: string is not valid utf8: " + detail


def test_decoding_errors():
    good = payload([("abcd", 2, 0)], 2)
    long_item = good[:9] + struct.pack("<Q", 10) + good[17:]
    assert TopK.from_bytes(envelope(good + b"junk")).top() == [("abcd", 2)]
    with pytest.raises(ValueError, match="^Deserialization error: io error: $"):
        TopK.from_bytes(envelope(long_item[:21]))
    with pytest.raises(ValueError, match=EOF_MSG):  # fields are read before validation
        TopK.from_bytes(envelope(payload([], 2, version=7)[:-1]))
    for n in (2**40, MASK):
        with pytest.raises(ValueError, match="^Deserialization error: io error: "):
            TopK.from_bytes(envelope(struct.pack("<BQ", 1, n) + good[9:]))
    with pytest.raises(ValueError, match="^invalid Murk binary format$"):
        TopK.from_bytes(wrap(good, b"MKBF", 1))
    with pytest.raises(ValueError, match=r"^unsupported binary format version: 2 \(expected 1\)$"):
        TopK.from_bytes(wrap(good, b"MKTK", 2))


def test_every_truncated_payload_is_refused():
    full = payload([("héllo", 7, 2), ("x", 3, 0)], 4)
    for n in range(len(full)):
        with pytest.raises(ValueError, match="^Deserialization error: io error: "):
            TopK.from_bytes(envelope(full[:n]))


def test_random_damage_is_refused_or_loads_consistently():
    rng = random.Random(99)
    t = build(6, *"abcdefgh", "a", "b", "é")
    data = t.to_bytes()[21:]
    for _ in range(600):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            loaded = TopK.from_bytes(envelope(bytes(damaged)))
        except ValueError:
            continue
        check_invariants(loaded)
        again = loaded.to_bytes()
        assert TopK.from_bytes(again).to_bytes() == again
        loaded.update(["p", "q"])


@pytest.mark.parametrize("text, fragment", [
    ('{"version": 1, "counters": [{"item": 5, "count": 1, "error": 0}], "k": 2}',
     "invalid type: integer `5`, expected a string"),
    ('{"version": 256, "counters": [], "k": 2}', "expected u8"),
    ('{"version": 1, "counters": [{"item": "a", "count": -1, "error": 0}], "k": 2}',
     "expected u64"),
    ('{"version": 1, "counters": [{"item": "a", "count": 1.5, "error": 0}], "k": 2}',
     "expected u64"),
    ('{"version": 1, "counters": [{"item": "a", "count": 1}], "k": 2}', "missing field `error`"),
    ('{"version": 1, "counters": [], "k": 2, "k": 3}', "duplicate field `k`"),
    ('[1, [["a", 1]], 2]', "struct Counter with 3 elements"),
    ('[1, []]', "struct TopKData with 3 elements"),
    ('{"version": 1, "counters": [{"item": "\\udc00", "count": 1, "error": 0}], "k": 2}', ""),
    ('{"version": 1, "counters": [], "k": 2', ""),
])
def test_json_errors(text, fragment):
    with pytest.raises(ValueError) as e:
        TopK.from_json(text)
    assert str(e.value).startswith("Deserialization error: ") and fragment in str(e.value)


def test_json_extra_keys_and_array_form():
    text = ('{"k": 3, "extra": [1, {"x": 2}], "counters": [{"error": 1, "item": "a", "n": 0,'
            ' "count": 4}], "version": 1}')
    assert TopK.from_json(text).top_with_error() == [("a", 4, 1)]
    assert TopK.from_json('[1, [["a", 4, 1], ["b", 2, 0]], 3]').top() == [("a", 4), ("b", 2)]
    with pytest.raises(TypeError, match="^argument 'data': "):
        TopK.from_json(b"{}")


# ---------------------------------------------------------------- property

_words = st.sampled_from(["a", "b", "c", "d", "e", "é", "A", "", "zz", "日本"])
_ops = st.lists(st.one_of(
    st.tuples(st.just("add"), _words, st.sampled_from([0, 1, 1, 1, 2, 5, MASK]),
              st.booleans()),
    st.tuples(st.just("update"), st.lists(_words, max_size=8), st.just(0), st.booleans()),
    st.tuples(st.just("merge"), st.lists(_words, max_size=8), st.just(0), st.booleans()),
), max_size=25)


@settings(max_examples=200, deadline=None)
@given(k=st.integers(1, 5), ops=_ops)
def test_random_operations_follow_the_model_and_round_trip(k, ops):
    t, m = TopK(k), Model(k)
    for name, arg, w, other in ops:
        if name == "add":
            t.add(arg, w)
            m.add(arg, w)
        elif name == "update":
            (t.update if other else t.update_many)(arg)
            for x in arg:
                m.add(x)
        else:
            o, om = TopK(k), Model(k)
            o.update(arg)
            for x in arg:
                om.add(x)
            t.merge(o)
            m.merge(om)
        assert t.top_with_error() == m.rows()
    assert len(t) == len(m.c) and t.min_count() == (m.c[-1][1] if m.c else 0)
    data = t.to_bytes()
    assert TopK.from_bytes(data).to_bytes() == data
    assert TopK.from_json(t.to_json()).to_bytes() == data
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "t.bin")
        t.save(path)
        assert TopK.load(path).to_bytes() == data
