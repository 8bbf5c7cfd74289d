"""Accuracy characterization: measures each structure against its guarantee and
draws the results as PNG plots for the documentation.

Usage: python bench/characterize.py [--fast] [--out DIR] [--bench-json PATH] [--only NAME ...]

The full run (`make characterize`) writes docs/img/; `--fast` uses far fewer
trials and items and serves CI, which only checks that every plot can be made.
Streams are random 64-bit hashes (NumPy PCG64 with the seeds printed in each
title) fed through the caller-hash batches, except TopK, which takes str items,
and the quantile sketches, which take NumPy arrays of floats.
Every run with the same arguments draws the same streams.
"""
import argparse
import json
import math
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
DPI = 90
U64_MAX = np.iinfo(np.uint64).max
Z = {0.80: 1.281552, 0.90: 1.644854, 0.95: 1.959964, 0.99: 2.575829}
# Two-sided normal quantiles (probabilities) that bound 1, 2 and 3 sigma bands.
SIGMA_Q = {1: (15.866, 84.134), 2: (2.275, 97.725), 3: (0.135, 99.865)}


def rng_for(seed):
    return np.random.default_rng(seed)


def random_hashes(rng, n):
    # Distinct with overwhelming probability: 10^7 draws of 64 bits collide
    # with probability about 3e-6.
    return rng.integers(0, U64_MAX, n, dtype=np.uint64, endpoint=True)


def save(fig, out, name):
    path = out / f"{name}.png"
    fig.savefig(path, dpi=DPI)
    import matplotlib.pyplot as plt
    plt.close(fig)
    print(f"  wrote {path} ({path.stat().st_size // 1024} KiB)")


def fmt_n(n):
    exp = int(round(math.log10(n)))
    return f"10^{exp}" if 10**exp == n else f"{n:,}"


# ---------------------------------------------------------------- HyperLogLog

def hyperloglog(murk, plt, out, fast):
    precisions = (10, 14, 18)
    # (stream length, trials): fewer trials for the long streams.
    tiers = [(10**4, 30), (10**5, 10)] if fast else [(10**5, 1000), (10**6, 200), (10**7, 50)]
    top = tiers[-1][0]
    checkpoints = np.unique(np.round(np.logspace(0, math.log10(top), 8 * int(math.log10(top)) + 1)).astype(int))
    trials = sum(t for _, t in tiers)
    rel = {p: np.full((trials, len(checkpoints)), np.nan) for p in precisions}
    seed0 = 1000
    t = 0
    for length, count in tiers:
        upto = int(np.searchsorted(checkpoints, length, side="right"))
        for _ in range(count):
            hashes = random_hashes(rng_for(seed0 + t), length)
            sketches = {p: murk.HyperLogLog(precision=p) for p in precisions}
            prev = 0
            for j, x in enumerate(checkpoints[:upto]):
                chunk = hashes[prev:x].tolist()
                prev = x
                for p, h in sketches.items():
                    h.update_hashes(chunk)
                    rel[p][t, j] = h.cardinality() / x - 1.0
            t += 1

    fig, axes = plt.subplots(1, 3, figsize=(13, 4.2), sharex=True)
    for ax, p in zip(axes, precisions):
        se = 1.04 / math.sqrt(2**p)
        r = rel[p]
        n_trials = np.sum(~np.isnan(r), axis=0)
        med = np.nanmedian(r, axis=0)
        for k, alpha in ((3, 0.12), (2, 0.2), (1, 0.32)):
            lo, hi = np.nanpercentile(r, SIGMA_Q[k], axis=0)
            ax.fill_between(checkpoints, lo, hi, color="tab:blue", alpha=alpha, lw=0,
                            label=f"{k}σ quantiles" if k else None)
        ax.plot(checkpoints, med, color="tab:blue", lw=1.5, label="median")
        for k in (1, 2, 3):
            ax.axhline(k * se, color="k", ls="--", lw=0.7, alpha=0.8 if k == 1 else 0.4,
                       label="k · 1.04/√m (k = 1, 2, 3)" if k == 1 else None)
            ax.axhline(-k * se, color="k", ls="--", lw=0.7, alpha=0.8 if k == 1 else 0.4)
        # Linear counting answers up to an estimate of 2.5 m, the raw estimate above.
        ax.axvline(2.5 * 2**p, color="gray", ls=":", lw=0.8,
                   label="2.5 m: linear counting below, raw estimate above" if p == precisions[0] else None)
        ax.set_xscale("log")
        worst = int(np.nanargmax(np.abs(med)))
        ax.set_ylim(-4.5 * se, max(4.5 * se, 1.15 * float(med[worst])))
        ax.set_title(f"precision {p} (m = {2**p:,}, 1.04/√m = {se:.2%})", fontsize=10)
        ax.set_xlabel("true cardinality")
        ax.yaxis.set_major_formatter(plt.FuncFormatter(lambda v, _: f"{v:+.1%}"))
        ax.grid(alpha=0.3)
        # The measured relative standard error at the longest streams, for the log.
        last = n_trials > 0
        j = np.nonzero(last)[0][-1]
        rse = math.sqrt(np.nanmean(r[:, j] ** 2))
        print(f"  HyperLogLog p={p}: RSE at n={checkpoints[j]:,} is {rse:.4%} "
              f"over {n_trials[j]} trials (theory {se:.4%}); largest median error {med[worst]:+.3%} "
              f"at n={checkpoints[worst]:,}, RSE there {math.sqrt(np.nanmean(r[:, worst] ** 2)):.3%}")
    axes[0].set_ylabel("relative error (estimate / true − 1)")
    axes[0].legend(fontsize=8, loc="lower left")
    tier_text = ", ".join(f"{c} trials up to {fmt_n(n)}" for n, c in tiers)
    fig.suptitle(f"HyperLogLog relative error: {tier_text} items; "
                 f"distinct random 64-bit hashes, PCG64 seeds {seed0}–{seed0 + trials - 1}", fontsize=10)
    fig.tight_layout()
    save(fig, out, "hyperloglog_error")


# ------------------------------------------------------------- Bloom family

def _fpr_probe(contains_many, absent):
    return sum(contains_many(absent)) / len(absent)


def bloom_family(murk, plt, out, fast):
    capacity = 10**4 if fast else 10**5
    queries = 2 * 10**4 if fast else 2 * 10**5
    trials = 2 if fast else 5
    design = 0.01
    seed0 = 2000
    fig, axes = plt.subplots(1, 3, figsize=(13, 4.2))

    for ax, cls in zip(axes[:2], (murk.BloomFilter, murk.CountingBloomFilter)):
        steps = np.linspace(0, 3 * capacity, 31).astype(int)[1:]
        measured = np.zeros((trials, len(steps)))
        for t in range(trials):
            rng = rng_for(seed0 + t)
            items = random_hashes(rng, steps[-1])
            absent = random_hashes(rng, queries).tolist()
            f = cls(expected_items=capacity, false_positive_rate=design, seed=t)
            prev = 0
            for j, x in enumerate(steps):
                f.update_hashes(items[prev:x].tolist())
                prev = x
                measured[t, j] = _fpr_probe(f.query_hashes, absent)
        m = f.num_bits if cls is murk.BloomFilter else f.num_counters
        k = f.num_hashes
        xs = steps / capacity
        theory = (1 - np.exp(-k * steps / m)) ** k
        ax.plot(xs, theory, color="k", ls="--", lw=1, label=f"(1 − e^(−kn/m))^k, m={m:,}, k={k}")
        ax.fill_between(xs, measured.min(axis=0), measured.max(axis=0), color="tab:orange", alpha=0.3, lw=0)
        ax.plot(xs, measured.mean(axis=0), color="tab:orange", marker=".", label="measured (mean, min–max)")
        ax.axhline(design, color="tab:green", lw=1, label=f"design rate {design}")
        ax.axvline(1.0, color="gray", lw=0.8, ls=":")
        ax.set_yscale("log")
        ax.set_ylim(1e-4, 1)
        ax.set_xlabel("items inserted / expected_items")
        ax.set_title(f"{cls.__name__}\n(expected_items={capacity:,}, false_positive_rate={design})", fontsize=9)
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=8, loc="lower right")
        at = int(np.searchsorted(steps, capacity))
        print(f"  {cls.__name__}: FPR at design capacity {measured[:, at].mean():.5f} (design {design})")
    axes[0].set_ylabel(f"false-positive rate ({queries:,} absent queries)")

    # Scalable: grows past any capacity; its compound design rate stays below the target.
    ax = axes[2]
    initial = 1000
    top = 10**5 if fast else 10**6
    steps = np.unique(np.round(np.logspace(2, math.log10(top), 25)).astype(int))
    measured = np.zeros((trials, len(steps)))
    bound = np.zeros(len(steps))
    for t in range(trials):
        rng = rng_for(seed0 + 100 + t)
        items = random_hashes(rng, steps[-1])
        absent = random_hashes(rng, queries).tolist()
        f = murk.ScalableBloomFilter(initial_capacity=initial, false_positive_rate=design, seed=t)
        prev = 0
        for j, x in enumerate(steps):
            f.update_hashes(items[prev:x].tolist())
            prev = x
            measured[t, j] = _fpr_probe(f.query_hashes, absent)
            bound[j] = f.false_positive_rate()
    ax.plot(steps, bound, color="k", ls="--", lw=1, label="compound design rate")
    ax.fill_between(steps, measured.min(axis=0), measured.max(axis=0), color="tab:orange", alpha=0.3, lw=0)
    ax.plot(steps, measured.mean(axis=0), color="tab:orange", marker=".", label="measured (mean, min–max)")
    ax.axhline(design, color="tab:green", lw=1, label=f"target {design}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylim(1e-4, 0.1)
    ax.set_xlabel("items inserted")
    ax.set_title(f"ScalableBloomFilter(initial_capacity={initial:,},\n"
                 f"false_positive_rate={design}): {f.num_slices} slices at the end", fontsize=9)
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=8, loc="lower right")
    print(f"  ScalableBloomFilter: FPR after {steps[-1]:,} items {measured[:, -1].mean():.5f}, "
          f"compound design rate {bound[-1]:.5f}")
    fig.suptitle(f"Bloom family false-positive rate: {trials} trials per curve; random 64-bit hashes,\n"
                 f"PCG64 seeds {seed0}–{seed0 + trials - 1} (Bloom, counting), "
                 f"{seed0 + 100}–{seed0 + 99 + trials} (scalable); filter seeds 0–{trials - 1}", fontsize=10)
    fig.tight_layout()
    save(fig, out, "bloom_fpr")


# ------------------------------------------------------------------- Cuckoo

def cuckoo(murk, plt, out, fast):
    # Capacities that use the most slots the sizing allows (just under 95%),
    # so that relocation, not the capacity, would be the first to refuse.
    exps = range(8, 13) if fast else range(8, 19)
    trials = 3 if fast else 10
    seed0 = 3000
    caps, lf, occ, early = [], [], [], 0
    for e in exps:
        capacity = 4 * int(0.95 * 2**e)
        for t in range(trials):
            rng = rng_for(seed0 + 100 * e + t)
            f = murk.CuckooFilter(capacity, seed=t)
            slots = f.size_in_bytes // 2
            for h in random_hashes(rng, capacity + 1).tolist():
                if not f.add_hash(h):
                    break
            caps.append(capacity)
            lf.append(f.load_factor)
            occ.append(len(f) / slots)
            early += len(f) < capacity
    caps, lf, occ = map(np.array, (caps, lf, occ))
    fig, ax = plt.subplots(figsize=(7.5, 4.2))
    ax.scatter(caps * (1 + 0.04 * (np.random.default_rng(0).random(len(caps)) - 0.5)), occ, s=14,
               color="tab:blue", alpha=0.7, label="slots occupied at first refusal")
    ax.scatter(caps, lf, s=30, marker="_", color="tab:red", label="load_factor (count / capacity) at first refusal")
    ax.axhline(0.95, color="k", ls="--", lw=0.8, label="95% of slots: the largest capacity the sizing gives")
    ax.set_xscale("log")
    ax.set_ylim(0.85, 1.02)
    ax.set_xlabel("capacity (4 × ⌊0.95 × 2^e⌋, e = %d…%d)" % (exps[0], exps[-1]))
    ax.set_ylabel("fraction")
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=8, loc="lower right")
    ax.set_title(f"CuckooFilter: load at the first refused insertion; {trials} trials per capacity, "
                 f"{early} of {len(caps)} refused before capacity\nrandom 64-bit hashes, PCG64 seeds "
                 f"{seed0} + 100·e + trial, filter seeds 0–{trials - 1}", fontsize=9)
    fig.tight_layout()
    print(f"  CuckooFilter: slot occupancy at first refusal {occ.min():.4f}–{occ.max():.4f}; "
          f"{early}/{len(caps)} refused before reaching capacity")
    save(fig, out, "cuckoo_load")


# --------------------------------------------------------------- Count-min

def zipf_ids(rng, universe, n, skew):
    """n ids in [0, universe) with P(id = i) proportional to 1 / (i + 1)^skew."""
    weights = 1.0 / np.arange(1, universe + 1) ** skew
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    return np.minimum(np.searchsorted(cdf, rng.random(n)), universe - 1)


def count_min(murk, plt, out, fast):
    universe = 10**4 if fast else 10**5
    n = 10**5 if fast else 10**7
    chunk = 10**6
    configs = ((0.01, 0.99), (0.001, 0.99))
    skews = (0.0, 0.8, 1.2)
    seed0 = 4000
    fig, axes = plt.subplots(1, len(configs), figsize=(11, 4.2), sharey=True)
    for ax, (eps, conf) in zip(axes, configs):
        for s_i, skew in enumerate(skews):
            rng = rng_for(seed0 + s_i)
            ids_hash = random_hashes(rng, universe)
            cms = murk.CountMinSketch(error_rate=eps, confidence=conf)
            truth = np.zeros(universe, dtype=np.int64)
            for start in range(0, n, chunk):
                ids = zipf_ids(rng, universe, min(chunk, n - start), skew)
                truth += np.bincount(ids, minlength=universe)
                cms.update_hashes(ids_hash[ids].tolist())
            est = np.array(cms.query_hashes(ids_hash.tolist()), dtype=np.int64)
            over = est - truth
            assert over.min() >= 0, "count-min under-estimated"
            bound = cms.error_bound()
            ratio = np.sort(over / bound)
            beyond = float(np.mean(over > bound))
            ax.plot(ratio, np.arange(1, universe + 1) / universe, lw=1.5,
                    label=f"Zipf skew {skew}: {beyond:.3%} beyond the bound")
            print(f"  CountMinSketch eps={eps} skew={skew}: max over-estimate {over.max()} vs bound {bound}, "
                  f"{beyond:.4%} beyond (allowed {1 - cms.confidence():.4%})")
        ax.axvline(1.0, color="k", ls="--", lw=1, label=f"error_bound() = ⌈N·e/width⌉ = {bound:,}")
        ax.set_title(f"CountMinSketch(error_rate={eps}, confidence={conf}): width {cms.width:,}, depth {cms.depth},\n"
                     f"allowed beyond the bound: 1 − confidence() = {1 - cms.confidence():.3%} per item", fontsize=9)
        ax.set_xlabel("over-estimate / error_bound()")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8, loc="lower right")
    axes[0].set_ylabel(f"fraction of the {universe:,} distinct items")
    fig.suptitle(f"Count-min over-estimates (CDF): one stream of N = {fmt_n(n)} items per skew over {universe:,} "
                 f"distinct ids; PCG64 seeds {seed0}–{seed0 + len(skews) - 1}, sketch seed 0", fontsize=10)
    fig.tight_layout()
    save(fig, out, "count_min_error")


# -------------------------------------------------------------------- TopK

def topk(murk, plt, out, fast):
    universe = 10**4 if fast else 10**5
    n = 10**5 if fast else 10**6
    trials = 1 if fast else 3
    skews = (0.6, 0.8, 1.0, 1.2, 1.5)
    # (top, k): report the top `top` of a TopK(k); tracking more counters than
    # are reported is what makes the reported ranking reliable.
    configs = ((10, 10), (10, 100), (100, 100), (100, 1000))
    seed0 = 5000
    names = [f"item-{i}" for i in range(universe)]
    prec = {c: np.zeros((trials, len(skews))) for c in configs}
    rec = {c: np.zeros((trials, len(skews))) for c in configs}
    for s_i, skew in enumerate(skews):
        for t in range(trials):
            rng = rng_for(seed0 + 10 * s_i + t)
            ids = zipf_ids(rng, universe, n, skew)
            truth = np.bincount(ids, minlength=universe)
            stream = [names[i] for i in ids.tolist()]
            order = np.lexsort((np.arange(universe), -truth))  # by count, ties by rank
            for k in sorted({k for _, k in configs}):
                tk = murk.TopK(k=k)
                tk.update(stream)
                heavy = np.nonzero(truth > n / k)[0]
                assert all(names[h] in tk for h in heavy), "an item above n/k is not tracked"
                for top, kk in configs:
                    if kk != k:
                        continue
                    reported = [int(item[5:]) for item, _ in tk.top(top)]
                    kth = truth[order[top - 1]]
                    prec[top, k][t, s_i] = sum(1 for r in reported if truth[r] >= kth) / len(reported)
                    rec[top, k][t, s_i] = len(set(order[:top].tolist()) & set(reported)) / top
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharey=True)
    for ax, data, what in ((axes[0], prec, "precision"), (axes[1], rec, "recall")):
        for top, k in configs:
            mean = data[top, k].mean(axis=0)
            ax.plot(skews, mean, marker="o", ls="-" if k == top else "--", label=f"top {top} of TopK(k={k})")
            print(f"  TopK top {top} of k={k} {what}: " + ", ".join(f"s={s}: {v:.3f}" for s, v in zip(skews, mean)))
        ax.set_xlabel("Zipf skew s (P(rank r) ∝ 1/r^s)")
        ax.set_title(what + (": reported items whose true count reaches the n-th largest" if what == "precision"
                             else ": true top n (ties by rank) found among the reported"), fontsize=9)
        ax.grid(alpha=0.3)
        ax.set_ylim(0, 1.03)
    axes[0].set_ylabel("mean over trials")
    axes[0].legend(fontsize=8, loc="lower right")
    fig.suptitle(f"TopK precision and recall of the top n: {trials} trial(s) per point, streams of {fmt_n(n)} str "
                 f"items over {universe:,} distinct; PCG64 seeds {seed0} + 10·skew index + trial", fontsize=10)
    fig.tight_layout()
    save(fig, out, "topk_precision_recall")


# ----------------------------------------------------------------- MinHash

def minhash(murk, plt, out, fast):
    num_hashes = 128
    union = 200 if fast else 2000
    trials = 30 if fast else 300
    truths = np.linspace(0, 1, 21)
    seed0 = 6000
    est = np.zeros((len(truths), trials))
    covered = {c: np.zeros((len(truths), trials), dtype=bool) for c in Z}
    for j, target in enumerate(truths):
        shared = int(round(target * union))
        only_a = (union - shared) // 2
        for t in range(trials):
            hashes = random_hashes(rng_for(seed0 + 1000 * j + t), union).tolist()
            a, b = murk.MinHash(num_hashes, seed=t), murk.MinHash(num_hashes, seed=t)
            a.update_hashes(hashes[: shared + only_a])
            b.update_hashes(hashes[:shared] + hashes[shared + only_a:])
            truth = shared / union
            est[j, t] = a.jaccard(b)
            for c in Z:
                lo, hi = a.jaccard_interval(b, c)
                covered[c][j, t] = lo <= truth <= hi
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.4))
    ax = axes[0]
    jitter = (np.random.default_rng(1).random(est.shape) - 0.5) * 0.012
    ax.scatter((truths[:, None] + jitter).ravel(), est.ravel(), s=3, alpha=0.15, color="tab:blue",
               label="estimates")
    se = np.sqrt(truths * (1 - truths) / num_hashes)
    ax.plot(truths, truths, color="k", lw=1, label="true Jaccard")
    ax.plot(truths, truths + 1.96 * se, color="k", ls="--", lw=0.8, label="±1.96 √(J(1−J)/k)")
    ax.plot(truths, truths - 1.96 * se, color="k", ls="--", lw=0.8)
    ax.set_xlabel("true Jaccard")
    ax.set_ylabel("estimate (jaccard())")
    ax.set_title(f"MinHash(num_hashes={num_hashes}) estimates", fontsize=10)
    ax.legend(fontsize=8, loc="upper left")
    ax.grid(alpha=0.3)
    ax = axes[1]
    for c, line in zip(Z, ("tab:blue", "tab:orange", "tab:green", "tab:red")):
        rate = covered[c].mean(axis=1)
        ax.plot(truths, rate, marker=".", color=line, label=f"jaccard_interval(confidence={c:.2f})")
        ax.axhline(c, color=line, ls="--", lw=0.8)
        inner = (truths > 0.05) & (truths < 0.95)
        print(f"  MinHash coverage at {c:.2f}: {rate[inner].mean():.3f} over 0.1 ≤ J ≤ 0.9, "
              f"{rate.min():.3f} at worst")
    ax.set_ylim(0.5, 1.02)
    ax.set_xlabel("true Jaccard")
    ax.set_ylabel("share of intervals that cover the true Jaccard")
    ax.set_title("interval coverage (dashed: the nominal confidence)", fontsize=10)
    ax.legend(fontsize=8, loc="lower center")
    ax.grid(alpha=0.3)
    fig.suptitle(f"MinHash: {trials} trials per true Jaccard (21 values), sets over a union of {union:,} random "
                 f"64-bit hashes;\nPCG64 seeds {seed0} + 1000·j + trial, MinHash seed = trial", fontsize=10)
    fig.tight_layout()
    save(fig, out, "minhash_jaccard")


# --------------------------------------------------------------- Quantiles

def kll_rank_error(murk, plt, out, fast):
    ks = (25, 50, 100, 200, 400, 800, 1600)
    n = 10**4 if fast else 10**5
    trials = 10 if fast else 200
    points = 999  # rank queries per sketch, at evenly spaced true ranks
    seed0 = 7000
    single = {k: [] for k in ks}  # every query's error
    worst = {k: [] for k in ks}   # each sketch's largest error over all its queries
    for t in range(trials):
        values = rng_for(seed0 + t).random(n)
        ordered = np.sort(values)
        splits = ordered[np.linspace(0, n - 1, points + 2).astype(int)[1:-1]]
        splits = np.unique(splits)
        truth = np.searchsorted(ordered, splits, side="right") / n
        for k in ks:
            s = murk.KLLSketch(k=k, seed=t)
            s.update_array(values)
            err = np.abs(np.asarray(s.cdf(splits)[:-1]) - truth)
            single[k].append(err)
            worst[k].append(err.max())
    fig, ax = plt.subplots(figsize=(8, 4.8))
    kx = np.array(ks, dtype=float)
    one = np.array([np.percentile(np.concatenate(single[k]), 99) for k in ks])
    all_ = np.array([np.percentile(worst[k], 99) for k in ks])
    bound = np.array([murk.KLLSketch(k=k).normalized_rank_error(False) for k in ks])
    bound_pmf = np.array([murk.KLLSketch(k=k).normalized_rank_error(True) for k in ks])
    ax.plot(kx, one, marker="o", color="tab:blue", label="measured: 99th percentile of single-query error")
    ax.plot(kx, bound, ls="--", color="tab:blue", label="normalized_rank_error(pmf=False)")
    ax.plot(kx, all_, marker="s", color="tab:red", label=f"measured: 99th percentile of the largest of {points} errors")
    ax.plot(kx, bound_pmf, ls="--", color="tab:red", label="normalized_rank_error(pmf=True)")
    for k, a, b in zip(ks, one, bound):
        print(f"  KLL k={k}: single-query p99 error {a:.5f} (bound {b:.5f})")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(kx, [str(k) for k in ks])
    ax.set_xlabel("k")
    ax.set_ylabel("rank error (share of n)")
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3, which="both")
    ax.set_title(f"KLLSketch rank error against k: {trials} sketches per k of {fmt_n(n)} uniform values, "
                 f"{points} rank queries each;\nPCG64 seeds {seed0} + trial, sketch seed = trial", fontsize=10)
    fig.tight_layout()
    save(fig, out, "kll_rank_error")


def quantile_relative_error(murk, plt, out, fast):
    n = 10**5 if fast else 10**6
    trials = 5 if fast else 50
    alpha, k = 0.01, 200
    qs = (0.5, 0.99, 0.999)
    grid = 1 - np.logspace(-4, math.log10(0.5), 40)[::-1]  # 0.5 to 0.9999, denser in the tail
    seed0 = 8000
    errs = {name: np.zeros((trials, len(qs))) for name in ("DDSketch", "KLLSketch")}
    curves = {name: np.zeros((trials, len(grid))) for name in errs}
    for t in range(trials):
        values = rng_for(seed0 + t).lognormal(0.0, 2.0, n)
        ordered = np.sort(values)
        sketches = {"DDSketch": murk.DDSketch(relative_accuracy=alpha), "KLLSketch": murk.KLLSketch(k=k, seed=t)}
        for name, s in sketches.items():
            s.update_array(values)
            for qq, store in ((qs, errs), (grid, curves)):
                qa = np.asarray(qq)
                true = ordered[np.maximum(np.ceil(qa * n).astype(int), 1) - 1]
                store[name][t] = np.abs(np.asarray(s.quantiles(qa)) - true) / true
    colors = {"DDSketch": "tab:green", "KLLSketch": "tab:purple"}
    labels = {"DDSketch": f"DDSketch(relative_accuracy={alpha})", "KLLSketch": f"KLLSketch(k={k})"}
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.6))
    ax = axes[0]
    for i, name in enumerate(errs):
        for j in range(len(qs)):
            x = j + (i - 0.5) * 0.3 + (np.random.default_rng(j).random(trials) - 0.5) * 0.1
            ax.scatter(x, np.maximum(errs[name][:, j], 1e-7), s=8, alpha=0.5, color=colors[name],
                       label=labels[name] if j == 0 else None)
        print(f"  {name}: worst relative error "
              + ", ".join(f"p{q * 100:g} {errs[name][:, j].max():.4f}" for j, q in enumerate(qs)))
    ax.axhline(alpha, color="k", ls="--", lw=0.8, label=f"relative_accuracy = {alpha}")
    ax.set_yscale("log")
    ax.set_xticks(range(len(qs)), [f"p{q * 100:g}" for q in qs])
    ax.set_ylabel("|x − x_true| / x_true")
    ax.set_title(f"each of {trials} streams (points below 1e-7 drawn at 1e-7)", fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3, axis="y", which="both")
    ax = axes[1]
    tail = 1 - grid
    for name in curves:
        ax.plot(tail, curves[name].mean(axis=0), color=colors[name], label=f"{labels[name]}: mean")
        ax.plot(tail, curves[name].max(axis=0), color=colors[name], ls=":", label=f"{labels[name]}: worst")
    ax.axhline(alpha, color="k", ls="--", lw=0.8)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.invert_xaxis()
    ax.set_xlabel("1 − q (the tail to the right)")
    ax.set_ylabel("relative error")
    ax.set_title("relative error of quantile(q), q from 0.5 to 0.9999", fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(alpha=0.3, which="both")
    fig.suptitle(f"DDSketch against KLLSketch on {fmt_n(n)} lognormal(0, 2) values: {trials} streams, "
                 f"PCG64 seeds {seed0} + stream", fontsize=10)
    fig.tight_layout()
    save(fig, out, "quantiles_relative_error")
# ------------------------------------------------------------ ThetaSketch

def theta(murk, plt, out, fast):
    lg_k = 12
    k = 2**lg_k
    union = 20_000 if fast else 100_000
    trials = 20 if fast else 200
    fractions = np.logspace(-2, math.log10(0.98), 6 if fast else 16)
    seed0 = 7000
    # Relative errors of A & B and A - B, from theta sketches and from
    # HyperLogLog inclusion-exclusion (|A| + |B| - |A u B|, |A u B| - |B|).
    err = {name: np.zeros((len(fractions), trials)) for name in ("inter", "diff", "hll_inter", "hll_diff")}
    for j, f in enumerate(fractions):
        shared = max(1, int(round(f * union)))
        only_a = (union - shared) // 2
        truth_diff = only_a
        for t in range(trials):
            hashes = random_hashes(rng_for(seed0 + 1000 * j + t), union)
            in_a, in_b = hashes[: shared + only_a], hashes[only_a:]
            a, b = murk.ThetaSketch(lg_k), murk.ThetaSketch(lg_k)
            a.update_hashes(in_a)
            b.update_hashes(in_b)
            err["inter"][j, t] = (a & b).estimate() / shared - 1
            err["diff"][j, t] = (a - b).estimate() / truth_diff - 1
            ha, hb = murk.HyperLogLog(14), murk.HyperLogLog(14)
            ha.update_hashes(in_a)
            hb.update_hashes(in_b)
            u = (ha | hb).cardinality()
            err["hll_inter"][j, t] = (ha.cardinality() + hb.cardinality() - u) / shared - 1
            err["hll_diff"][j, t] = (u - hb.cardinality()) / truth_diff - 1
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.6))
    share = {"inter": fractions, "diff": (1 - fractions) / 2}
    limits = {"inter": (-0.6, 1.2), "diff": (-0.4, 0.5)}
    titles = {"inter": "intersection A & B", "diff": "difference A - B"}
    for ax, name in zip(axes, ("inter", "diff")):
        x = share[name]
        lo, hi = np.percentile(err[name], SIGMA_Q[2], axis=1)
        ax.fill_between(fractions, lo, hi, color="tab:blue", alpha=0.3,
                        label=f"ThetaSketch(lg_k={lg_k}): 2.3% to 97.7% of trials")
        ax.plot(fractions, np.sqrt(np.mean(err[name] ** 2, axis=1)), color="tab:blue", marker=".",
                label="ThetaSketch RMS relative error")
        bound = 1 / np.sqrt(x * (k - 1))
        ax.plot(fractions, 2 * bound, color="k", ls="--", lw=0.9, label="±2 / √(share · (k − 1))")
        ax.plot(fractions, -2 * bound, color="k", ls="--", lw=0.9)
        hll = np.sqrt(np.mean(err["hll_" + name] ** 2, axis=1))
        ax.plot(fractions, hll, color="tab:red", marker=".",
                label="HyperLogLog(14) inclusion-exclusion, RMS")
        ax.axhline(0, color="grey", lw=0.6)
        ax.set_xscale("log")
        ax.set_ylim(*limits[name])
        ax.set_xlabel("true overlap |A ∩ B| / |A ∪ B|")
        ax.set_ylabel("estimate / truth − 1")
        ax.set_title(f"relative error of {titles[name]}", fontsize=10)
        ax.grid(alpha=0.3, which="both")
        ax.legend(fontsize=7.5, loc="upper right" if name == "inter" else "upper left")
        worst = np.max(np.sqrt(np.mean(err[name] ** 2, axis=1)) * np.sqrt(x * (k - 1)))
        print(f"  ThetaSketch {titles[name]}: RMS error at most {worst:.2f} x 1/sqrt(share (k - 1))")
    fig.suptitle(f"ThetaSketch set operations: {trials} trials per overlap, |A| = |B|, |A ∪ B| = {union:,} random "
                 f"64-bit hashes; PCG64 seeds {seed0} + 1000·j + trial", fontsize=10)
    fig.tight_layout()
    save(fig, out, "theta_setops")


# ------------------------------------------------------------------- Speed

def speed(plt, out, bench_json):
    record = json.loads(pathlib.Path(bench_json).read_text())
    mode = record.get("mode", "?")
    groups = [g for g in record["groups"] if any(r["ns_per_item"] for r in g["rows"])]
    cols = 2
    rows = math.ceil(len(groups) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(12, 2.6 * rows + 0.9), squeeze=False)
    libraries = list(dict.fromkeys(r["library"] for g in groups for r in g["rows"]))
    colors = {lib: plt.cm.tab10(i % 10) for i, lib in enumerate(libraries)}
    for ax, group in zip(axes.ravel(), groups):
        timed = [r for r in group["rows"] if r["ns_per_item"]]
        ops = list(dict.fromkeys(r["operation"] for r in timed))
        libs = list(dict.fromkeys(r["library"] for r in timed))
        width = 0.8 / len(libs)
        for i, lib in enumerate(libs):
            for o, op in enumerate(ops):
                row = next((r for r in timed if r["library"] == lib and r["operation"] == op), None)
                if row is None:
                    continue
                x = o + (i - (len(libs) - 1) / 2) * width
                ns = row["ns_per_item"]
                ax.bar(x, ns, width, color=colors[lib])
                ax.text(x, ns, f"{ns:,.0f}", ha="center", va="bottom", fontsize=6)
        ax.set_xticks(range(len(ops)), ops, fontsize=8)
        ax.set_yscale("log")
        # A floor a decade under the fastest bar keeps every bar visible.
        low = min(r["ns_per_item"] for r in timed)
        high = max(r["ns_per_item"] for r in timed)
        ax.set_ylim(10 ** math.floor(math.log10(low) - 0.3), high * 4)
        ax.set_ylabel("ns per item", fontsize=8)
        ax.set_title(f"{group['title']} ({group['items']:,} items)", fontsize=9)
        ax.grid(alpha=0.3, axis="y", which="both")
    for ax in axes.ravel()[len(groups):]:
        ax.axis("off")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colors[lib]) for lib in libraries]
    height = 2.6 * rows + 0.9
    fig.legend(handles, [lib.replace("_murk", "murk") for lib in libraries], loc="lower center",
               ncol=len(libraries), fontsize=9, frameon=False)
    fig.suptitle(f"Speed, ns per item (lower is better, log scale): bench/run.py {mode} run, best of up to "
                 f"{record.get('repeats', '?')} repeats, Python {record.get('python', '?')}, "
                 f"{record.get('cpus', '?')} shared cores, {record.get('date', '?')}", fontsize=10)
    fig.tight_layout(rect=(0, 0.35 / height, 1, 1 - 0.3 / height))
    save(fig, out, "speed")


PLOTS = {
    "hyperloglog": hyperloglog,
    "bloom": bloom_family,
    "cuckoo": cuckoo,
    "count_min": count_min,
    "topk": topk,
    "minhash": minhash,
    "kll": kll_rank_error,
    "quantiles": quantile_relative_error,
    "theta": theta,
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--fast", action="store_true", help="few trials and items (CI)")
    ap.add_argument("--out", type=pathlib.Path, default=ROOT / "docs" / "img", help="directory for the PNGs")
    ap.add_argument("--bench-json", type=pathlib.Path, default=ROOT / "bench" / "results.json",
                    help="results of `bench/run.py --json` for the speed chart")
    ap.add_argument("--only", nargs="+", choices=[*PLOTS, "speed"], metavar="NAME",
                    help=f"plots to make, of: {', '.join([*PLOTS, 'speed'])}")
    args = ap.parse_args()

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import murk

    args.out.mkdir(parents=True, exist_ok=True)
    names = args.only or [*PLOTS, "speed"]
    for name in names:
        start = time.perf_counter()
        print(f"{name} ({'fast' if args.fast else 'full'})")
        if name == "speed":
            speed(plt, args.out, args.bench_json)
        else:
            PLOTS[name](murk, plt, args.out, args.fast)
        print(f"  {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
