"""Helpers the bench/cases_*.py modules share (not a case module itself)."""
import importlib

OURS = "_murk"


def hex_keys(keys):
    # Multiplying by an odd constant is a bijection mod 2**64, so distinct
    # keys give distinct, well-scattered 16-character hex strings.
    return [f"{(k * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF:016x}" for k in keys]


def make_items(start, count):
    """`count` distinct str items; disjoint ranges give disjoint items."""
    return hex_keys(range(start, start + count))


def filter_items(n):
    """n items to add, n others never added, and n queries: half of each,
    interleaved so branch prediction gets no easy run."""
    items, absent = make_items(0, n), make_items(n, n)
    queries = [x for pair in zip(items[: n // 2], absent[: n // 2]) for x in pair]
    return items, absent, queries


def skip(lib, notes, *row_ops):
    """Note lib as missing and add its skipped rows: row_ops are (rows, operations) pairs."""
    notes[lib] = ("not importable (build and install this repo)" if lib == OURS
                  else f"not installed (pip install {lib})")
    for rows, ops in row_ops:
        rows += [(lib, op, None) for op in ops]


def import_or_skip(lib, module, notes, *row_ops):
    """The imported module, or None after skip(lib, notes, *row_ops)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        skip(lib, notes, *row_ops)
        return None


def call_loop(method, items):
    for x in items:
        method(x)


def add_loop(obj, items):
    call_loop(obj.add, items)


def in_loop(obj, items):
    for x in items:
        x in obj


def fill(obj, items, batch):
    """obj after adding items with its batch update(), or else a loop of add()."""
    if batch:
        obj.update(items)
    else:
        add_loop(obj, items)
    return obj


def fpr(absent, member):
    """Share of `absent` (items never added) for which member(x) is true."""
    return sum(1 for x in absent if member(x)) / len(absent)


def fill_once(lib, notes, new, items, batch, describe):
    """new() filled with items (untimed), noting describe(filter) for lib. If
    either fails, notes the error instead and returns None: a broken peer must
    not stop the run."""
    try:
        full = fill(new(), items, batch)
        notes[lib] = describe(full)
        return full
    except Exception as exc:
        notes[lib] = f"error: {type(exc).__name__}: {exc}"
        return None
