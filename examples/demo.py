"""A tour of murk on real-looking data: web-server log lines."""

import os
import random
import tempfile

import murk

random.seed(7)
PAGES = [f"/products/{i}" for i in range(5000)] + ["/", "/login", "/cart", "/checkout", "/search"]
USERS = [f"user{i:05d}@example.com" for i in range(20000)]


def log_lines(n):
    """Synthetic access log: a few hot pages, a long tail, many users."""
    for _ in range(n):
        page = random.choice(PAGES[-5:]) if random.random() < 0.4 else random.choice(PAGES)
        yield random.choice(USERS), page


LOG = list(log_lines(200_000))


def section(title):
    print(f"\n== {title} ==")


def bloom_demo():
    section("BloomFilter: have we seen this user before?")
    seen = murk.BloomFilter(expected_items=len(USERS), false_positive_rate=0.01)
    seen.update(user for user, _ in LOG)
    print(seen)
    print("user00042@example.com seen:", "user00042@example.com" in seen)
    strangers = [f"stranger{i}@example.net" for i in range(10000)]
    fp = sum(seen.query_many(strangers))
    print(f"false positives among 10000 strangers: {fp} ({fp / 100:.2f}%, target 1%)")
    print(f"fill ratio {seen.fill_ratio():.3f}, estimated distinct users {seen.estimate_count():.0f}, health {seen.health()}")
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "users.murk")
        seen.save(path)
        again = murk.BloomFilter.load(path)
        print(f"saved {os.path.getsize(path)} bytes; reloaded filter equal: {again.to_bytes() == seen.to_bytes()}")


def count_min_sketch_demo():
    section("CountMinSketch: how often was each page requested?")
    hits = murk.CountMinSketch(error_rate=0.001, confidence=0.999)
    hits.update(page for _, page in LOG)
    print(hits)
    exact = {}
    for _, page in LOG:
        exact[page] = exact.get(page, 0) + 1
    top = sorted(exact, key=exact.get, reverse=True)[:5]
    for page, estimate in zip(top, hits.query_many(top)):
        print(f"  {page:<14} exact {exact[page]:>6}  estimated {estimate:>6}")
    tail = PAGES[:2000]
    over = [e - exact.get(p, 0) for p, e in zip(tail, hits.query_many(tail))]
    print(f"long tail: mean overcount {sum(over) / len(over):.2f}, worst {max(over)}, "
          f"guaranteed bound {hits.error_bound()} with confidence {hits.confidence():.4f}")
    today = murk.CountMinSketch(width=hits.width, depth=hits.depth)
    today.update(page for _, page in LOG[:50_000])
    today.merge(hits)
    print(f"merged with a second day: /cart estimated {today['/cart']} of {len(today)} requests")
    print(f"table {hits.size_in_bytes} bytes; serialised {len(hits.to_bytes())} bytes")


def cuckoo_demo():
    section("CuckooFilter: who is logged in right now?")
    sessions = murk.CuckooFilter(capacity=len(USERS))
    logged_in = random.sample(USERS, 12000)
    print("logins accepted:", sessions.update(logged_in), "of", len(logged_in))
    logged_out = logged_in[:4000]
    removed = sum(sessions.remove(user) for user in logged_out)
    print(f"logouts: {removed}; {sessions}")
    still = logged_in[4000:]
    print("every remaining session found:", all(sessions.query_many(still)))
    gone = sum(sessions.query_many(logged_out))
    print(f"logged-out users still answering yes: {gone} of {len(logged_out)} (fingerprint collisions)")
    print(f"load factor {sessions.load_factor:.3f}, health {sessions.health()}, "
          f"{sessions.size_in_bytes} bytes for {sessions.capacity()} users")
    extra = [f"guest{i}@example.org" for i in range(20000)]
    print(f"guests admitted until full: {sessions.update(extra)}; health now {sessions.health()}")
    again = murk.CuckooFilter.from_json(sessions.to_json())
    print("JSON round trip equal:", again.to_bytes() == sessions.to_bytes())


def scalable_bloom_demo():
    section("ScalableBloomFilter: which (user, page) visits are new?")
    visits = murk.ScalableBloomFilter(initial_capacity=1000, false_positive_rate=0.01)
    new = 0
    for i, (user, page) in enumerate(LOG):
        key = f"{user} {page}"
        if key not in visits:
            new += 1
            visits.add(key)
        if i + 1 in (1_000, 20_000, 200_000):
            print(f"after {i + 1:>7} lines: {visits}, design fpr {visits.false_positive_rate():.5f}")
    distinct = len(set(LOG))
    print(f"new visits counted {new}, true distinct {distinct} (a few lost to false positives)")
    unseen = [f"{u} /never/{i}" for i, u in enumerate(USERS[:10000])]
    fp = sum(visits.query_many(unseen))
    print(f"false positives among 10000 unseen visits: {fp} ({fp / 100:.2f}%, target 1%), health {visits.health()}")
    again = murk.ScalableBloomFilter.from_json(visits.to_json())
    print(f"JSON round trip keeps {again.num_slices} slices and {len(again)} items:",
          again.to_bytes() == visits.to_bytes())


def counting_bloom_demo():
    section("CountingBloomFilter: which users have an open session?")
    # Replay the log as logins and logouts: every user's third request logs them out.
    open_now = murk.CountingBloomFilter(expected_items=len(USERS), false_positive_rate=0.01)
    requests, truth = {}, set()
    for user, _ in LOG[:50_000]:
        requests[user] = requests.get(user, 0) + 1
        if requests[user] % 3 == 1:
            open_now.add(user)
            truth.add(user)
        elif requests[user] % 3 == 0:
            open_now.remove(user)
            truth.discard(user)
    print(open_now)
    closed = [u for u in requests if u not in truth]
    missed = sum(1 for u in truth if u not in open_now)
    fp = sum(open_now.query_many(closed))
    print(f"open sessions {len(truth)} (filter count {len(open_now)}), missed {missed}, "
          f"closed users reported open {fp} of {len(closed)}")
    print(f"fill ratio {open_now.fill_ratio():.3f}, estimated fpr {open_now.false_positive_rate:.4f}, "
          f"health {open_now.health()}")
    hot = murk.CountingBloomFilter(num_counters=64, num_hashes=4)
    try:
        hot.update(page for _, page in LOG if page == "/cart")
    except OverflowError as e:
        print(f"a tiny filter fed one hot page refuses cleanly: {e}; kept {len(hot)} adds, "
              f"count('/cart') = {hot.count('/cart')}")
    again = murk.CountingBloomFilter.from_bytes(open_now.to_bytes())
    print(f"{len(open_now.to_bytes())} bytes; reloaded equal: {again.to_bytes() == open_now.to_bytes()}")


def hyperloglog_demo():
    section("HyperLogLog: distinct visitors per page group, in 16 KiB each")
    by_group = {}
    for user, page in LOG:
        group = "products" if page.startswith("/products/") else "core"
        by_group.setdefault(group, []).append(user)
    counters = {}
    for group, users in by_group.items():
        hll = murk.HyperLogLog(precision=14)
        hll.update(users)
        counters[group] = hll
        low, high = hll.confidence_interval(0.95)
        print(f"{group:>8}: {hll!r}; exact {len(set(users))}, 95% interval [{low:.0f}, {high:.0f}]")
    everyone = counters["products"] | counters["core"]
    exact = len({user for user, _ in LOG})
    print(f"union of both: estimate {everyone.cardinality():.1f}, exact {exact}, "
          f"error {abs(everyone.cardinality() - exact) / exact:.2%} (standard error {everyone.standard_error:.2%})")
    data = everyone.to_bytes()
    print(f"serialized: {len(data)} bytes; reloaded estimate equal: "
          f"{murk.HyperLogLog.from_bytes(data).cardinality() == everyone.cardinality()}")


def minhash_demo():
    section("MinHash: how much do the audiences of two pages overlap?")
    audience = {}
    for user, page in LOG:
        audience.setdefault(page, set()).add(user)
    # Checkout visitors are cart visitors plus a few who came straight from search.
    audience["/checkout"] = set(sorted(audience["/cart"])[:8000]) | set(sorted(audience["/search"])[:2000])
    sigs = {}
    for page in ("/cart", "/checkout", "/login", "/products/17"):
        mh = murk.MinHash(num_hashes=256, seed=42)
        mh.update(audience[page])
        sigs[page] = mh
    for x, y in (("/cart", "/checkout"), ("/cart", "/login"), ("/cart", "/products/17")):
        exact = len(audience[x] & audience[y]) / len(audience[x] | audience[y])
        low, high = sigs[x].jaccard_interval(sigs[y], 0.95)
        print(f"{x} vs {y}: estimate {sigs[x].jaccard(sigs[y]):.3f}, exact {exact:.3f}, "
              f"95% interval [{low:.3f}, {high:.3f}]")
    funnel = sigs["/cart"] | sigs["/checkout"]
    print(f"{funnel!r}: signature of the union, {funnel.size_in_bytes} bytes")
    again = murk.MinHash.from_json(funnel.to_json())
    print(f"JSON round trip keeps the signature: {again.get_signature() == funnel.get_signature()}")


def topk_demo():
    section("TopK: which pages are the heaviest hitters?")
    pages = [page for _, page in LOG]
    top = murk.TopK(k=50)
    top.update(pages)
    print(top)
    truth = {}
    for page in pages:
        truth[page] = truth.get(page, 0) + 1
    print(f"{'page':<16}{'estimate':>9}{'error':>7}{'true':>7}")
    for page, count, error in top.top_with_error(8):
        print(f"{page:<16}{count:>9}{error:>7}{truth[page]:>7}")
    # Two shards of the same log, tracked apart and merged.
    half = len(pages) // 2
    left, right = murk.TopK(k=50), murk.TopK(k=50)
    left.update(pages[:half])
    right.update(pages[half:])
    left.merge(right)
    print("merged shards agree on the top 5:",
          [p for p, _ in left.top(5)] == [p for p, _ in top.top(5)])
    restored = murk.TopK.from_bytes(top.to_bytes())
    print(f"{len(top.to_bytes())} bytes; reloaded tracker equal: {restored.top_with_error() == top.top_with_error()}")


def columns_and_copies_demo():
    section("Columns in place, pickles and near-duplicates")
    import pickle

    import pyarrow as pa

    users = pa.array([user for user, _ in LOG])  # an Arrow column: no Python object per item
    visitors = murk.HyperLogLog(precision=14)
    visitors.update_column(users)
    listed = murk.HyperLogLog(precision=14)
    listed.update(users.to_pylist())
    print(f"update_column of {len(users):,} rows: {visitors.cardinality():,.0f} distinct users, "
          f"same sketch as update(list): {visitors.to_bytes() == listed.to_bytes()}")
    shipped = pickle.loads(pickle.dumps(visitors))  # what process pools and Dask send between processes
    print(f"pickled and back: {shipped!r}")
    # Near-duplicate pages: pages whose audiences overlap heavily share LSH buckets.
    audience = {}
    for user, page in LOG:
        audience.setdefault(page, set()).add(user)
    hot = sorted(audience, key=lambda p: -len(audience[p]))[:5]
    index = murk.MinHashLSH(threshold=0.5, num_hashes=128)
    for page in hot:
        mh = murk.MinHash(num_hashes=128)
        mh.update(audience[page])
        index.insert(page, mh)
    probe = murk.MinHash(num_hashes=128)
    probe.update(audience["/cart"])
    print(f"{index!r}: pages with an audience like /cart's: {sorted(index.query(probe))}")


if __name__ == "__main__":
    print(murk.__doc__)
    print("classes:", ", ".join(murk.__all__))
    bloom_demo()
    counting_bloom_demo()
    scalable_bloom_demo()
    cuckoo_demo()
    hyperloglog_demo()
    count_min_sketch_demo()
    minhash_demo()
    topk_demo()
    columns_and_copies_demo()
