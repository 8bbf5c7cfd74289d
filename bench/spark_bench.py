"""murk.spark against Spark's own distinct counts, on one local[2] session.

Usage: python bench/spark_bench.py [--rows N] [--distinct D] [--groups G] [--precision P]

One DataFrame of N string user ids ("user<k>", D distinct), cached in memory
before anything is timed, so every contender reads the same rows. Each
contender runs twice and the second run is reported (the Python workers and
the JIT are warm by then).

  whole column   murk.spark.sketch(df, "user", "hll", precision=P), a
                 HyperLogLog object on the driver; beside Spark's own
                 hll_sketch_agg(user, P) and its estimate, one row back
  G groups       murk.spark.sketch_by over the key g = id % G (a binary
                 HyperLogLog per group, written to a no-op sink so every
                 group is built); beside groupBy(g).agg(approx_count_distinct)
                 and groupBy(g).agg(hll_sketch_agg(user, P))

error = |estimate - exact| / exact: for the whole column, of its one estimate;
for the groups, the mean over groups. ratio = murk time / Spark time (< 1:
murk is faster). Nothing is asserted: the numbers are reported.
"""
import argparse
import os
import sys
import time

from pyspark.sql import SparkSession
from pyspark.sql import functions as F

import murk.spark


def timed(fn):
    fn()  # warm: workers started, code generated
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--distinct", type=int, default=1_000_000)
    ap.add_argument("--groups", type=int, default=1_000)
    ap.add_argument("--precision", type=int, default=12)
    args = ap.parse_args()
    p = args.precision

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").appName("murk-spark-bench")
             .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
             .config("spark.driver.memory", "4g").config("spark.sql.shuffle.partitions", "4").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")

    df = spark.range(args.rows, numPartitions=8).select(
        (F.col("id") % args.groups).alias("g"),
        F.concat(F.lit("user"), ((F.col("id") * 7919) % args.distinct).cast("string")).alias("user"),
    ).cache()
    df.count()
    exact = df.select(F.count_distinct("user")).first()[0]
    exact_by = {r.g: r.n for r in df.groupBy("g").agg(F.count_distinct("user").alias("n")).collect()}

    def group_error(rows):
        return sum(abs(est - exact_by[g]) / exact_by[g] for g, est in rows) / len(rows)

    def murk_whole():
        return murk.spark.sketch(df, "user", "hll", precision=p).cardinality()

    def spark_whole():
        return df.select(F.hll_sketch_estimate(F.hll_sketch_agg("user", p))).first()[0]

    def murk_groups():
        sketches = murk.spark.sketch_by(df, "g", "user", "hll", precision=p)
        sketches.write.format("noop").mode("overwrite").save()

    def spark_groups(agg):
        def run():
            df.groupBy("g").agg(agg.alias("n")).write.format("noop").mode("overwrite").save()
        return run

    rows = []
    t_murk, est_murk = timed(murk_whole)
    t_spark, est_spark = timed(spark_whole)
    rows.append((f"whole column, {args.rows:,} rows", "murk sketch (hll)", t_murk, abs(est_murk - exact) / exact, None))
    rows.append(("", f"hll_sketch_agg({p})", t_spark, abs(est_spark - exact) / exact, t_murk / t_spark))

    t_by, _ = timed(murk_groups)
    errs_murk = murk.spark.estimate(murk.spark.sketch_by(df, "g", "user", "hll", precision=p), "sketch", "hll")
    err_by = group_error([(r.g, r.cardinality) for r in errs_murk.select("g", "cardinality").collect()])
    rsd = 1.04 / (2 ** p) ** 0.5  # the relative standard deviation of 2**p registers
    approx = F.approx_count_distinct("user", rsd)
    t_acd, _ = timed(spark_groups(approx))
    err_acd = group_error([(r.g, r.n) for r in df.groupBy("g").agg(approx.alias("n")).collect()])
    t_hsa, _ = timed(spark_groups(F.hll_sketch_agg("user", p)))
    err_hsa = group_error([(r.g, r.n) for r in df.groupBy("g").agg(
        F.hll_sketch_estimate(F.hll_sketch_agg("user", p)).alias("n")).collect()])
    rows.append((f"{args.groups:,} groups", "murk sketch_by (hll)", t_by, err_by, None))
    rows.append(("", f"approx_count_distinct(rsd={rsd:.4f})", t_acd, err_acd, t_by / t_acd))
    rows.append(("", f"hll_sketch_agg({p})", t_hsa, err_hsa, t_by / t_hsa))

    print(f"Spark {spark.version}, local[2], precision {p}, {exact:,} distinct users; second of two runs")
    print("| case | contender | seconds | error | murk / this |")
    print("|---|---|---:|---:|---:|")
    for case, who, t, err, ratio in rows:
        print(f"| {case} | {who} | {t:.2f} | {err:.2%} | {'' if ratio is None else f'{ratio:.2f}'} |")
    spark.stop()


if __name__ == "__main__":
    main()
