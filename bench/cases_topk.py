"""TopK: `_murk.TopK` against datasketches' frequent_strings_sketch and collections.Counter."""
import collections
import random

from common import skip

K = 100
LG_MAX_K = 7  # datasketches map of 2**7 slots keeps up to 96 counters, close to k = 100
VOCABULARY = 50_000
ZIPF_S = 1.1
RECALL_OF = 20


def make_words(n, seed=42):
    rng = random.Random(seed)
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    vocab, seen = [], set()
    while len(vocab) < VOCABULARY:
        w = "".join(rng.choices(letters, k=rng.randint(3, 10)))
        if w not in seen:
            seen.add(w)
            vocab.append(w)
    weights = [1 / (r + 1) ** ZIPF_S for r in range(VOCABULARY)]
    return rng.choices(vocab, weights, k=n)


# Each *_rows(words, notes) returns (update rows, top rows, reported top words).

def murk_rows(words, notes):
    import _murk

    def add_loop(t):
        add = t.add
        for w in words:
            add(w)

    full = _murk.TopK(K)
    full.update(words)
    return [
        ("_murk", "update", lambda t: t.update(words), lambda: _murk.TopK(K)),
        ("_murk", "add loop", add_loop, lambda: _murk.TopK(K)),
    ], [("_murk", "top", lambda: full.top())], lambda: [w for w, _ in full.top(RECALL_OF)]


def datasketches_rows(words, notes):
    import datasketches

    def update_loop(s):
        update = s.update
        for w in words:
            update(w)

    def top(s):
        items = s.get_frequent_items(datasketches.frequent_items_error_type.NO_FALSE_NEGATIVES)
        return [(w, est) for w, est, _, _ in items[:K]]

    full = datasketches.frequent_strings_sketch(LG_MAX_K)
    update_loop(full)
    notes["datasketches", "update"] = "no batch API: loop of update"
    notes["datasketches", "top"] = "get_frequent_items(NO_FALSE_NEGATIVES)[:k]"
    return [
        ("datasketches", "update", update_loop, lambda: datasketches.frequent_strings_sketch(LG_MAX_K)),
        ("datasketches", "add loop", update_loop, lambda: datasketches.frequent_strings_sketch(LG_MAX_K)),
    ], [("datasketches", "top", lambda: top(full))], lambda: [w for w, _ in top(full)[:RECALL_OF]]


def counter_rows(words, notes):
    def add_loop(c):
        for w in words:
            c[w] += 1

    full = collections.Counter(words)
    notes["Counter", "update"] = "exact: Counter.update (C loop)"
    notes["Counter", "add loop"] = "c[w] += 1"
    notes["Counter", "top"] = "most_common(k)"
    return [
        ("Counter", "update", lambda c: c.update(words), collections.Counter),
        ("Counter", "add loop", add_loop, collections.Counter),
    ], [("Counter", "top", lambda: full.most_common(K))], lambda: [w for w, _ in full.most_common(RECALL_OF)]


def cases(quick):
    n = 100_000 if quick else 1_000_000
    words = make_words(n)
    truth = {w for w, _ in collections.Counter(words).most_common(RECALL_OF)}
    update_rows, top_rows, notes = [], [], {}
    for lib, rows_of in [("_murk", murk_rows), ("datasketches", datasketches_rows),
                         ("Counter", counter_rows)]:
        try:
            updates, tops, reported = rows_of(words, notes)
        except ImportError:
            skip(lib, notes, (update_rows, ("update", "add loop")), (top_rows, ("top",)))
            continue
        found = len(truth & set(reported()))
        notes[lib] = f"true top-{RECALL_OF} found: {found}/{RECALL_OF}"
        update_rows += updates
        top_rows += tops
    title = f"TopK, k={K}, Zipf(s={ZIPF_S}) words over a {VOCABULARY:,}-word vocabulary"
    return [
        {"title": title, "items": n, "rows": update_rows, "notes": notes},
        {"title": f"{title}: listing the top {K}", "items": K, "rows": top_rows,
         "notes": {key: v for key, v in notes.items() if isinstance(key, tuple) and key[1] == "top"}},
    ]
