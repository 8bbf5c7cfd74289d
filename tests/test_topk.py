"""TopK: Space-Saving updates and ties, queries, merge, persistence."""
import json
import random
import struct
from collections import Counter, UserList, deque

import pytest
from hypothesis import given, settings, strategies as st

from _murk import TopK
from conftest import EOF_MSG, MASK, body, damaged_loads, wrap


class Model:
    """Space-Saving exactly as documented: one array, adjacent swaps."""

    def __init__(self, k):
        self.k, self.c = k, []  # [item, count, error] in tracking order

    def add(self, x, w=1):
        if w == 0:
            return
        p = next((i for i, e in enumerate(self.c) if e[0] == x), None)
        if p is not None:
            self.c[p][1] = min(self.c[p][1] + w, MASK)
        elif len(self.c) < self.k:
            p = len(self.c)
            self.c.append([x, w, 0])
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
    """A tracker fed plain items with add() and (item, count) pairs with add_count()."""
    t = TopK(k)
    for a in adds:
        t.add_count(*a) if isinstance(a, tuple) else t.add(a)
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


# ---------------------------------------------------------------- updates

@pytest.mark.parametrize("k, adds, expected", [
    # The published sequence: "d" evicts "c" and inherits its count as error.
    (3, ["a", "b", "c", "d"], [("d", 2, 1), ("a", 1, 0), ("b", 1, 0)]),
    (3, ["a", "b", "c", "d", "b"], [("d", 2, 1), ("b", 2, 0), ("a", 1, 0)]),
    # A weighted add climbs past several smaller counts but not past an equal one.
    (3, [("a", 5), ("b", 3), ("c", 1), ("c", 4)], [("a", 5, 0), ("c", 5, 0), ("b", 3, 0)]),
    # Among equal counts the one that reached the count last stands last.
    (3, [("a", 2), "b", "c", "b", "c"], [("a", 2, 0), ("b", 2, 0), ("c", 2, 0)]),
    (3, ["a", "b", "c", "c", "b", "a"], [("c", 2, 0), ("b", 2, 0), ("a", 2, 0)]),
    # The newcomer takes the last counter and stops behind the equal count it reaches.
    (2, [("a", 3), ("b", 2), "x"], [("a", 3, 0), ("x", 3, 2)]),
    (2, [("a", 3), ("b", 1), ("x", 5)], [("x", 6, 1), ("a", 3, 0)]),
    (3, [("a", 2), ("b", 2), ("c", 2), "x"], [("x", 3, 2), ("a", 2, 0), ("b", 2, 0)]),
    # Weight 0 changes nothing: no insertion with room, no eviction when full.
    (2, ["a", ("b", 0), ("a", 0)], [("a", 1, 0)]),
    (2, ["a", "b", ("x", 0)], [("a", 1, 0), ("b", 1, 0)]),
    # Counts saturate; a newcomer replacing a saturated counter keeps it as its error.
    (2, [("a", MASK - 1), ("a", 5), ("b", 3), ("b", MASK)], [("a", MASK, 0), ("b", MASK, 0)]),
    (2, [("a", MASK), ("b", MASK), "c", ("a", MASK)], [("a", MASK, 0), ("c", MASK, MASK)]),
])
def test_update_order(k, adds, expected):
    assert build(k, *adds).top_with_error() == expected


class Reversed(tuple):
    def __iter__(self):
        return (tuple.__getitem__(self, i) for i in range(len(self) - 1, -1, -1))


LENGTHS = [0, 1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 40, 254, 255, 256, 1000]


@pytest.mark.parametrize("seq, order", [(list, 1), (tuple, 1), (UserList, 1), (Reversed, -1),
                                        (deque, 1)])
def test_batches_equal_single_adds_for_any_sequence_and_length(seq, order):
    words = [("é" if n % 2 else "x") * n for n in LENGTHS for _ in range(n % 3 + 1)]
    words += [w + "!" for w in words[::4]]
    single, batch, many = TopK(12), TopK(12), TopK(12)
    for w in words[::order]:
        single.add(w)
    assert batch.update(seq(words)) is None and many.update_many(seq(words)) is None
    assert batch.to_bytes() == single.to_bytes() == many.to_bytes()
    assert batch.query_many(seq(words + ["never"])) == [single[w] for w in words + ["never"]][::order]
    assert batch.query_many(seq([])) == []


def test_items_differing_in_any_single_byte_are_distinct():
    items = ["a" * n for n in range(21)]
    items += ["a" * p + "b" + "a" * (n - p - 1) for n in range(1, 21) for p in range(n)]
    t = TopK(len(items))
    t.update(items)
    t.update(items[::3])
    assert len(t) == len(items)
    assert t.query_many(items) == [2 if i % 3 == 0 else 1 for i in range(len(items))]


# ---------------------------------------------------------------- argument types

@pytest.mark.parametrize("call", [
    lambda t, x: t.add(x), lambda t, x: t.add_count(x, 2), lambda t, x: t.query(x),
    lambda t, x: t.count(x), lambda t, x: t.contains(x), lambda t, x: x in t,
    lambda t, x: t[x],
])
@pytest.mark.parametrize("item, tname", [(5, "int"), (b"a", "bytes")])
def test_items_must_be_str(call, item, tname):
    t = build(2, "a")
    with pytest.raises(TypeError) as e:
        call(t, item)
    assert str(e.value) == f"argument 'item': '{tname}' object cannot be converted to 'PyString'"
    assert t.top_with_error() == [("a", 1, 0)]


@pytest.mark.parametrize("items, msg", [
    ("abc", "a str cannot be taken as a sequence of values"),
    (["a", "b", b"c"], "'bytes' object cannot be converted to 'PyString'"),
    ((x for x in "ab"), "'generator' object cannot be converted to 'Sequence'"),
])
@pytest.mark.parametrize("method", ["update", "update_many", "query_many"])
def test_batches_are_sequences_of_str_and_never_applied_in_part(items, msg, method):
    t = build(3, "a", "b")
    before = t.to_bytes()
    with pytest.raises(TypeError) as e:
        getattr(t, method)(items)
    assert str(e.value) == "argument 'items': " + msg and t.to_bytes() == before


def test_items_are_their_own_utf8_text():
    class Tag(str):
        def __str__(self):
            return "other"

    t = build(10, "日本", "\x00", Tag("e\u0301"))  # a str subclass counts as its own text
    assert t.top() == [("日本", 1), ("\x00", 1), ("e\u0301", 1)] and "other" not in t
    assert t.size_in_bytes == 320 + sum(len(x.encode()) + 16 for x, _ in t.top())
    before = t.to_bytes()
    with pytest.raises(UnicodeEncodeError):
        t.add("\ud800")
    with pytest.raises(UnicodeEncodeError):
        t.update(["x", "\udc00"])
    assert t.to_bytes() == before


# ---------------------------------------------------------------- merge

@pytest.mark.parametrize("k, mine, theirs, expected", [
    (2, [("x", 3), ("y", 1)], [("y", 4), ("z", 2)], [("x", 5, 2), ("y", 5, 0)]),
    (3, [("x", 3), ("y", 1)], [("y", 4), ("z", 2)], [("y", 5, 0), ("x", 3, 0), ("z", 2, 0)]),
    # ties are ordered by the items' bytes; "é" falls off the full result
    (4, ["b", "é", "a"], ["B", "z"], [("B", 1, 0), ("a", 1, 0), ("b", 1, 0), ("z", 1, 0)]),
    (1, [("a", MASK)], [("b", 7)], [("a", MASK, 7)]),
])
def test_merges(k, mine, theirs, expected):
    t, o = build(k, *mine), build(k, *theirs)
    before = o.to_bytes()
    assert t.merge(o) is None and t.top_with_error() == expected
    assert o.to_bytes() == before


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
    assert TopK(10).to_bytes() == envelope(payload([], 10))
    t = build(5, ("é", 4), "a", "d", "é")
    assert t.to_bytes() == envelope(payload([("é", 5, 0), ("a", 1, 0), ("d", 1, 0)], 5))


@pytest.mark.parametrize("codec", ["json", "bytes"])
@pytest.mark.parametrize("version, counters, k, msg", [
    (0, [], 0, "Unsupported TopK data version"),
    (2, [("a", 5, 6)], 1, "Unsupported TopK data version"),
    (1, [("a", 1, 9), ("b", 1, 0)], 0, "k must be positive"),
    (1, [("a", 1, 0), ("b", 1, 0)], 1, "number of counters exceeds k"),
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
    (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xf0\x9f\x98a", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
])
def test_invalid_utf8_items(raw, detail):
    with pytest.raises(ValueError) as e:
        TopK.from_bytes(envelope(payload([(b"ok", 2, 0), (raw, 1, 0)], 2)))
    assert str(e.value) == "Deserialization error: string is not valid utf8: " + detail


def test_decoding_errors():
    good = payload([("abcd", 2, 0)], 2)
    long_item = good[:9] + struct.pack("<Q", 10) + good[17:]
    with pytest.raises(ValueError, match="^Deserialization error: io error: $"):
        TopK.from_bytes(envelope(long_item[:21]))
    with pytest.raises(ValueError, match=EOF_MSG):  # fields are read before validation
        TopK.from_bytes(envelope(payload([], 2, version=7)[:-1]))
    for n in (2**40, MASK):
        with pytest.raises(ValueError, match="^Deserialization error: io error: "):
            TopK.from_bytes(envelope(struct.pack("<BQ", 1, n) + good[9:]))


def test_damaged_payloads_load_consistently():
    loaded = list(damaged_loads(TopK, body(build(6, *"abcdefgh", "a", "b", "é")), b"MKTK", 99, 600))
    assert len(loaded) > 20
    for t in loaded:
        check_invariants(t)
        again = t.to_bytes()
        assert TopK.from_bytes(again).to_bytes() == again
        t.update(["p", "q"])


# ---------------------------------------------------------------- property

WORDS = ["a", "b", "c", "é", "A", "", "日本", "e\u0301", "\x00", 'q"', "\\", "\n\t\x01", "😀", "/\x7f"]
_words = st.sampled_from(WORDS)
_ops = st.lists(st.one_of(
    st.tuples(st.just("add"), _words, st.sampled_from([0, 1, 1, 1, 2, 5, MASK])),
    st.tuples(st.sampled_from(["update", "update_many", "merge"]), st.lists(_words, max_size=8),
              st.just(1)),
), max_size=40)


@settings(max_examples=200, deadline=None)
@given(k=st.integers(1, 9), ops=_ops, n=st.one_of(st.none(), st.integers(0, 7)))
def test_random_operations_follow_the_model_and_round_trip(k, ops, n):
    t, m = TopK(k), Model(k)
    for name, arg, w in ops:
        if name == "add":
            t.add(arg, count=w)
            m.add(arg, w)
        elif name == "merge":
            o, om = TopK(k), Model(k)
            o.update(arg)
            for x in arg:
                om.add(x)
            t.merge(o)
            m.merge(om)
        else:
            getattr(t, name)(arg)
            for x in arg:
                m.add(x)
        assert t.top_with_error() == m.rows()
    assert t.top(n) == [r[:2] for r in m.rows()[:n]] and t.top_with_error(n=n) == m.rows()[:n]
    counts = {x: c for x, c, _ in m.c}
    assert [(t.query(x), t.count(x), t[x], x in t, t.contains(x)) for x in WORDS] == [
        (counts.get(x, 0),) * 3 + (x in counts,) * 2 for x in WORDS]
    assert repr(t) == f"TopK(k={k}, tracked={len(m.c)}, min_count={m.c[-1][1] if m.c else 0})"
    data, text = t.to_bytes(), t.to_json()
    assert [r["item"] for r in json.loads(text)["counters"]] == list(counts)
    copies = [t.copy(), TopK.from_bytes(data), TopK.from_json(text)]
    assert t.clear() is None and t.to_bytes() == TopK(k).to_bytes() and len(t) == 0
    assert repr(t) == f"TopK(k={k}, tracked=0, min_count=0)"
    m.add("fresh")  # copies carry on exactly where the original stood
    for c in copies:
        assert c.to_bytes() == data
        c.add("fresh")
        assert c.top_with_error() == m.rows()
