"""A tour of _murk on real-looking data: web-server log lines."""

import os
import random
import tempfile

import _murk

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
    seen = _murk.BloomFilter(expected_items=len(USERS), false_positive_rate=0.01)
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
        again = _murk.BloomFilter.load(path)
        print(f"saved {os.path.getsize(path)} bytes; reloaded filter equal: {again.to_bytes() == seen.to_bytes()}")


def hyperloglog_demo():
    section("HyperLogLog: distinct visitors per page group, in 16 KiB each")
    by_group = {}
    for user, page in LOG:
        group = "products" if page.startswith("/products/") else "core"
        by_group.setdefault(group, []).append(user)
    counters = {}
    for group, users in by_group.items():
        hll = _murk.HyperLogLog(precision=14)
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
          f"{_murk.HyperLogLog.from_bytes(data).cardinality() == everyone.cardinality()}")


def minhash_demo():
    section("MinHash: how much do the audiences of two pages overlap?")
    audience = {}
    for user, page in LOG:
        audience.setdefault(page, set()).add(user)
    # Checkout visitors are cart visitors plus a few who came straight from search.
    audience["/checkout"] = set(sorted(audience["/cart"])[:8000]) | set(sorted(audience["/search"])[:2000])
    sigs = {}
    for page in ("/cart", "/checkout", "/login", "/products/17"):
        mh = _murk.MinHash(num_hashes=256, seed=42)
        mh.update(audience[page])
        sigs[page] = mh
    for x, y in (("/cart", "/checkout"), ("/cart", "/login"), ("/cart", "/products/17")):
        exact = len(audience[x] & audience[y]) / len(audience[x] | audience[y])
        low, high = sigs[x].jaccard_interval(sigs[y], 0.95)
        print(f"{x} vs {y}: estimate {sigs[x].jaccard(sigs[y]):.3f}, exact {exact:.3f}, "
              f"95% interval [{low:.3f}, {high:.3f}]")
    funnel = sigs["/cart"] | sigs["/checkout"]
    print(f"{funnel!r}: signature of the union, {funnel.size_in_bytes} bytes")
    again = _murk.MinHash.from_json(funnel.to_json())
    print(f"JSON round trip keeps the signature: {again.get_signature() == funnel.get_signature()}")


if __name__ == "__main__":
    print(_murk.__doc__)
    print("classes:", ", ".join(_murk.__all__))
    bloom_demo()
    hyperloglog_demo()
    minhash_demo()
