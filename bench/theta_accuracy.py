"""Accuracy of murk.ThetaSketch beside datasketches' update_theta_sketch at the same lg_k.

Usage: python bench/theta_accuracy.py [--trials N] [--lg-k K] [--n N]

Each trial feeds the same int items to both libraries: a set A of n to 2n
items and a set B of n to 2n items sharing half of A (sizes drawn per trial,
so the errors are averaged over a doubling of set sizes), and records the
relative error of the estimate of A, of A & B and of A - B. Prints the RMS
relative errors side by side, with their ratio (ours / theirs) and the
normal standard error of a ratio of two such RMS values over this many trials.
"""
import argparse
import math
import sys

import numpy as np


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--trials", type=int, default=400)
    ap.add_argument("--lg-k", type=int, default=12)
    ap.add_argument("--n", type=int, default=20_000, help="smallest set size (sizes run from n to 2n)")
    args = ap.parse_args()
    import datasketches as ds

    import murk

    rng = np.random.default_rng(2026)
    err = {lib: np.zeros((args.trials, 3)) for lib in ("murk", "datasketches")}
    base = 0
    for t in range(args.trials):
        na, nb = (int(x) for x in rng.integers(args.n, 2 * args.n + 1, 2))
        shared = na // 2
        a_items = range(base, base + na)
        b_items = range(base + na - shared, base + na - shared + nb)
        base += na + nb
        truth = np.array([na, shared, na - shared])

        a, b = murk.ThetaSketch(args.lg_k), murk.ThetaSketch(args.lg_k)
        a.update(a_items)
        b.update(b_items)
        err["murk"][t] = np.array([a.estimate(), (a & b).estimate(), (a - b).estimate()]) / truth - 1

        da, db = ds.update_theta_sketch(args.lg_k), ds.update_theta_sketch(args.lg_k)
        for x in a_items:
            da.update(x)
        for x in b_items:
            db.update(x)
        inter = ds.theta_intersection()
        inter.update(da)
        inter.update(db)
        diff = ds.theta_a_not_b().compute(da, db)
        err["datasketches"][t] = np.array([da.get_estimate(), inter.get_result().get_estimate(),
                                           diff.get_estimate()]) / truth - 1

    k = 2**args.lg_k
    print(f"ThetaSketch accuracy, lg_k={args.lg_k}: {args.trials} trials, |A| and |B| from {args.n:,} to "
          f"{2 * args.n:,}, |A & B| = |A| / 2; 1/sqrt(k - 1) = {1 / math.sqrt(k - 1):.4f}")
    print(f"{'quantity':<14}{'murk RMS':>10}{'peer RMS':>10}{'ratio':>8}{'+-':>7}{'murk bias':>11}{'peer bias':>11}")
    for j, name in enumerate(("estimate A", "A & B", "A - B")):
        ours = math.sqrt(np.mean(err["murk"][:, j] ** 2))
        theirs = math.sqrt(np.mean(err["datasketches"][:, j] ** 2))
        # An RMS over T trials has a relative standard error of about 1/sqrt(2T).
        spread = ours / theirs * math.sqrt(2 / (2 * args.trials))
        print(f"{name:<14}{ours:>10.4f}{theirs:>10.4f}{ours / theirs:>8.3f}{spread:>7.3f}"
              f"{np.mean(err['murk'][:, j]):>+11.4f}{np.mean(err['datasketches'][:, j]):>+11.4f}")


if __name__ == "__main__":
    sys.exit(main())
