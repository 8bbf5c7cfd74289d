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


def topk_demo():
    section("TopK: which pages are the heaviest hitters?")
    pages = [page for _, page in LOG]
    top = _murk.TopK(k=50)
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
    left, right = _murk.TopK(k=50), _murk.TopK(k=50)
    left.update(pages[:half])
    right.update(pages[half:])
    left.merge(right)
    print("merged shards agree on the top 5:",
          [p for p, _ in left.top(5)] == [p for p, _ in top.top(5)])
    restored = _murk.TopK.from_bytes(top.to_bytes())
    print(f"{len(top.to_bytes())} bytes; reloaded tracker equal: {restored.top_with_error() == top.top_with_error()}")


if __name__ == "__main__":
    print(_murk.__doc__)
    print("classes:", ", ".join(_murk.__all__))
    bloom_demo()
    topk_demo()
