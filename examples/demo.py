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


def counting_bloom_demo():
    section("CountingBloomFilter: which users have an open session?")
    # Replay the log as logins and logouts: every user's third request logs them out.
    open_now = _murk.CountingBloomFilter(expected_items=len(USERS), false_positive_rate=0.01)
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
    hot = _murk.CountingBloomFilter(num_counters=64, num_hashes=4)
    try:
        hot.update(page for _, page in LOG if page == "/cart")
    except OverflowError as e:
        print(f"a tiny filter fed one hot page refuses cleanly: {e}; kept {len(hot)} adds, "
              f"count('/cart') = {hot.count('/cart')}")
    again = _murk.CountingBloomFilter.from_bytes(open_now.to_bytes())
    print(f"{len(open_now.to_bytes())} bytes; reloaded equal: {again.to_bytes() == open_now.to_bytes()}")


if __name__ == "__main__":
    print(_murk.__doc__)
    print("classes:", ", ".join(_murk.__all__))
    bloom_demo()
    counting_bloom_demo()
