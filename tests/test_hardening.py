"""Threads hammering shared objects, and resource limits, across every class."""

import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import _murk

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}

# Small but real instances; classes not built yet are skipped.
FACTORIES = {
    "BloomFilter": lambda: _murk.BloomFilter(expected_items=50_000),
    "CountingBloomFilter": lambda: _murk.CountingBloomFilter(expected_items=50_000),
    "ScalableBloomFilter": lambda: _murk.ScalableBloomFilter(initial_capacity=1000),
    "CuckooFilter": lambda: _murk.CuckooFilter(200_000),
    "HyperLogLog": lambda: _murk.HyperLogLog(12),
    "CountMinSketch": lambda: _murk.CountMinSketch(width=1000, depth=4),
    "MinHash": lambda: _murk.MinHash(64),
    "TopK": lambda: _murk.TopK(50),
}
# Structures whose final state does not depend on the order of the updates.
ORDER_FREE = {"BloomFilter", "CountingBloomFilter", "HyperLogLog", "CountMinSketch", "MinHash"}
PRESENT = [name for name in FACTORIES if hasattr(_murk, name)]


def reader(obj):
    """A read-only call that takes a shared borrow."""
    if hasattr(obj, "query_many"):
        return lambda items: obj.query_many(items)
    return lambda items: len(obj.to_bytes())


@pytest.mark.parametrize("name", PRESENT)
def test_threads_get_a_borrow_error_or_succeed_and_lose_nothing(name):
    shared = FACTORIES[name]()
    applied = []  # successful updates of the shared object
    errors = []
    unexpected = []

    def work(seed):
        rng = random.Random(seed)
        own = FACTORIES[name]()
        own_applied = []
        for step in range(40):
            batch = [f"t{seed}-{step}-{i}" for i in range(rng.choice([1, 200, 5000]))]
            target_shared = rng.random() < 0.7
            obj = shared if target_shared else own
            try:
                if rng.random() < 0.5:
                    obj.update(batch)
                    (applied if target_shared else own_applied).append(("update", batch))
                elif rng.random() < 0.5:
                    obj.add(batch[0])
                    (applied if target_shared else own_applied).append(("add", batch[0]))
                else:
                    reader(obj)(batch)
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    unexpected.append(repr(e))
                errors.append(str(e))
            except Exception as e:  # anything else is a fault
                unexpected.append(repr(e))
        replay = FACTORIES[name]()
        for op, arg in own_applied:
            getattr(replay, op)(arg)
        if name in ORDER_FREE and replay.to_bytes() != own.to_bytes():
            unexpected.append("private object diverged from its replay")

    threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "deadlock"
    assert not unexpected
    assert errors, "no borrow conflict was provoked"
    if name in ORDER_FREE:
        replay = FACTORIES[name]()
        for op, arg in applied:
            getattr(replay, op)(arg)
        assert replay.to_bytes() == shared.to_bytes()


HUGE = {
    "BloomFilter": [dict(num_bits=2**64 - 1), dict(num_bits=2**63), dict(expected_items=2**62),
                    dict(expected_items=2**64 - 1, false_positive_rate=1e-300)],
    "CountingBloomFilter": [dict(num_counters=2**64 - 1), dict(num_counters=2**62),
                            dict(expected_items=2**64 - 1, false_positive_rate=1e-300)],
    "ScalableBloomFilter": [dict(initial_capacity=2**64 - 1, false_positive_rate=1e-300)],
    "CuckooFilter": [dict(capacity=2**64 - 1), dict(capacity=2**52)],
    "CountMinSketch": [dict(width=2**62, depth=4), dict(width=2**64 - 1, depth=2**64 - 1), dict(width=2**40, depth=7),
                       dict(error_rate=1e-300, confidence=0.5)],
    "MinHash": [dict(num_hashes=2**32 - 1), dict(num_hashes=2**59)],
    "TopK": [dict(k=2**64 - 1), dict(k=2**32 - 1)],
}


@pytest.mark.parametrize("cls", ["KLLSketch", "DDSketch"])
def test_quantile_sketches_borrow_while_the_lock_is_released(cls):
    # Array updates run without the GIL: concurrent calls must be refused,
    # never interleaved, and every update that succeeded must be counted.
    import murk
    import numpy as np
    shared, values = getattr(murk, cls)(), np.random.default_rng(0).lognormal(size=200_000)
    done, errors = [], []

    def work(i):
        for _ in range(20):
            try:
                shared.update_array(values) if i % 2 else shared.to_bytes()
                done.append(i % 2)
            except RuntimeError as e:
                errors.append(str(e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert set(errors) <= BORROW_ERRORS and errors, "no borrow conflict was provoked"
    assert shared.n == sum(done) * len(values)


@pytest.mark.parametrize(
    "name,kwargs", [(n, kw) for n in PRESENT for kw in HUGE.get(n, [])], ids=lambda v: str(v)[:40]
)
def test_impossible_sizes_raise_memory_error_not_abort(name, kwargs):
    with pytest.raises(MemoryError):
        getattr(_murk, name)(**kwargs)


@pytest.mark.skipif(bool(os.environ.get("MURK_SANITIZERS")), reason="sanitizer shadow memory needs the address space")
def test_sizes_beyond_the_address_space_limit_raise_memory_error():
    # Under `ulimit -v` a large but otherwise valid filter must fail cleanly,
    # and the interpreter must go on working.
    code = textwrap.dedent(
        """
        import resource, _murk
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        for make in [lambda: _murk.BloomFilter(num_bits=2**40),
                     lambda: _murk.BloomFilter(expected_items=10**10, false_positive_rate=1e-9)]:
            try:
                make()
            except MemoryError:
                pass
            else:
                raise SystemExit("allocated beyond the limit")
        bf = _murk.BloomFilter(expected_items=1000)
        bf.update(str(i) for i in range(1000))
        print(len(bf))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1000"


@pytest.mark.parametrize("name", PRESENT)
def test_failed_save_keeps_the_old_file(name, tmp_path):
    # A write that fails part-way (the file size limit stands in for a full
    # disk) reports "Write error" and leaves the previous file untouched.
    target = tmp_path / "obj.murk"
    code = textwrap.dedent(
        f"""
        import resource, signal, sys, _murk
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_hardening import FACTORIES
        small = FACTORIES[{name!r}]()
        small.save({str(target)!r})
        big = FACTORIES[{name!r}]()
        big.update([f"x{{i}}" for i in range(20000)])
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(small.to_bytes()) // 2, resource.RLIM_INFINITY))
        try:
            big.save({str(target)!r})
        except ValueError as e:
            print(e)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("Write error: "), out.stdout
    assert getattr(_murk, name).load(str(target)).to_bytes() == FACTORIES[name]().to_bytes()
    assert [p.name for p in tmp_path.iterdir()] == ["obj.murk"]
