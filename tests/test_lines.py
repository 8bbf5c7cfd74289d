"""Buffers of lines read in place: every class against its list path."""
import mmap

import numpy as np
import pytest

import murk
from conftest import small
from murk._kinds import KINDS

NEW = small()
QUERIED = [n for n in NEW if hasattr(getattr(murk, n), "query_lines")]

LONG = b"x" * 70_000 + b"\xc3\xa9"  # longer than any block the reader uses
CASES = {
    "crlf": b"a\r\nb\r\n\r\nc\rd\r\n",
    "no-final-newline": b"one\ntwo\nthree\r",  # a lone carriage return stays in the line
    "empty-lines": b"\n\n\na\n\n",
    "only-newline": b"\n",
    "empty": b"",
    "nul": b"a\x00b\n\x00\n",
    "long": LONG + b"\n" + LONG + b"\r\n" + LONG,
    "many": b"".join(b"%d\n" % (i % 3000) for i in range(10_000)),  # several key blocks
    "bad-utf8": b"ok\n\xff\xfe\nfine\n\xe2\x82\n",
}


def lines_of(data):
    """The reference rule: split at \\n, drop one \\r before it, no item after a final \\n."""
    *parts, last = data.split(b"\n")
    return [p.removesuffix(b"\r") for p in parts] + ([last] if last else [])


def buffers(data):
    yield data
    yield bytearray(data)
    yield memoryview(data)
    yield np.frombuffer(data, dtype=np.uint8)
    if data:
        m = mmap.mmap(-1, len(data))
        m.write(data)
        yield m


def as_items(name, lines):
    return [s.decode() for s in lines] if name == "TopK" else lines


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("name", NEW)
def test_lines_equal_the_list_path(name, case):
    data = CASES[case]
    lines = lines_of(data)
    if name == "TopK" and case == "bad-utf8":
        t = NEW[name]()
        with pytest.raises(ValueError, match="line 2 is not valid utf8"):
            t.update_lines(data)
        assert len(t) == 0  # checked before anything is counted
        return
    want = NEW[name]()
    got_added = want.update(as_items(name, lines))
    for buf in buffers(data):
        s = NEW[name]()
        assert s.update_lines(buf) == (len(lines) if got_added is None else got_added)
        if name == "CuckooFilter":  # evictions walk at random: compare what it answers
            assert len(s) == len(want) and all(s.query_many(lines))
        else:
            assert s.to_bytes() == want.to_bytes()
    if name in QUERIED:
        probe = data + b"\nnever-added"
        expect = list(want.query_many(as_items(name, lines_of(probe))))
        got = np.asarray(want.query_lines(np.frombuffer(probe, dtype=np.uint8)))
        assert got.tolist() == expect and len(got) == len(lines_of(probe))


@pytest.mark.parametrize("bad, message", [
    ("text", "not a str"),
    (np.zeros(4), "format 'd'"),
    (12, "cannot be converted to 'Buffer'"),
])
def test_lines_want_bytes(bad, message):
    with pytest.raises(TypeError, match=message):
        murk.HyperLogLog().update_lines(bad)


def test_every_batch_class_reads_lines():
    for kind in KINDS.values():
        if kind.feeds in ("items", "text"):
            assert hasattr(kind.cls, "update_lines"), kind.name
            if kind.answers is not None:
                assert hasattr(kind.cls, "query_lines"), kind.name
