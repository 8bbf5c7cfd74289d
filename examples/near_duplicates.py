"""Near-duplicate detection: shingle texts, MinHash them, index them, group them.

A few thousand synthetic texts, a tenth of them lightly edited copies of
others. Every text becomes a set of word 3-grams, then a MinHash signature;
the signatures go into a MinHashLSH index in one batch, one batch of queries
gives the candidate pairs, and each candidate is checked with the exact
Jaccard similarity of the two shingle sets before it joins a group.

Run: python examples/near_duplicates.py
"""
import random

import murk

THRESHOLD = 0.7
NUM_HASHES = 128
TEXTS = 4000


def make_texts(n, seed=11):
    rng = random.Random(seed)
    vocabulary = [f"w{i}" for i in range(5000)]
    texts, planted = [], []
    for i in range(n):
        if i % 10 == 9:  # a copy of an earlier text with a few words changed
            source = rng.randrange(i)
            words = texts[source].split()
            for _ in range(rng.randint(1, 3)):
                words[rng.randrange(len(words))] = rng.choice(vocabulary)
            planted.append((source, i))
        else:
            words = [rng.choice(vocabulary) for _ in range(rng.randint(80, 120))]
        texts.append(" ".join(words))
    return texts, planted


def shingles(text, k=3):
    words = text.split()
    return {" ".join(words[i:i + k]) for i in range(len(words) - k + 1)}


def jaccard(a, b):
    return len(a & b) / len(a | b)


def groups_of(pairs):
    """Connected components of the verified pairs (union-find)."""
    parent = {}

    def root(x):
        parent.setdefault(x, x)
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b in pairs:
        parent[root(a)] = root(b)
    out = {}
    for x in parent:
        out.setdefault(root(x), []).append(x)
    return sorted((sorted(g) for g in out.values()), key=lambda g: g[0])


def main():
    texts, planted = make_texts(TEXTS)
    sets = [shingles(t) for t in texts]

    minhashes = []
    for s in sets:
        m = murk.MinHash(NUM_HASHES)
        m.update(s)  # one batch per text: hashed with the GIL released
        minhashes.append(m)

    lsh = murk.MinHashLSH(threshold=THRESHOLD, num_hashes=NUM_HASHES)
    lsh.insert_many(range(len(texts)), minhashes)
    print(f"{lsh!r}: {lsh.size_in_bytes / 1024:.0f} KiB for {len(lsh)} texts")

    candidates = {(min(i, j), max(i, j)) for i, found in enumerate(lsh.query_many(minhashes)) for j in found if j != i}
    verified = [(i, j) for i, j in sorted(candidates) if jaccard(sets[i], sets[j]) >= THRESHOLD]
    groups = groups_of(verified)
    print(f"{len(candidates)} candidate pairs, {len(verified)} verified with exact Jaccard >= {THRESHOLD}, "
          f"{len(groups)} groups")
    for g in groups[:5]:
        sims = ", ".join(f"{jaccard(sets[g[0]], sets[x]):.2f}" for x in g[1:])
        print(f"  texts {g}: Jaccard with text {g[0]}: {sims}")

    # Every planted copy that is similar enough should have been found.
    similar = [(a, b) for a, b in planted if jaccard(sets[a], sets[b]) >= THRESHOLD]
    found = sum(1 for p in similar if p in set(verified))
    print(f"planted copies above the threshold: {len(similar)}, found: {found} "
          f"({found / max(len(similar), 1):.1%})")
    assert all(jaccard(sets[i], sets[j]) >= THRESHOLD for i, j in verified)


if __name__ == "__main__":
    main()
