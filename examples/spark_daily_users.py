"""Daily sketches per country in Spark, kept as Parquet, rolled up to weeks.

Two weeks of (day, country, user, latency) events become one row per day and
country holding a HyperLogLog of the users, a TopK of the busiest ones and a
DDSketch of the latencies.
Those rows are what a pipeline keeps: written as Parquet, read back, and
rolled up to weekly rows with murk.spark.merge_by, without the raw events. The
answers come out of Spark with murk.spark.estimate.

Each sketch is one line of SKETCHES: the latency quantiles come from a
DDSketch (``"kll"`` there would make it a KLLSketch), asked for their median
and 99th percentile by QUESTIONS.

Run with ``python examples/spark_daily_users.py`` (needs ``pip install
murk[spark]`` and Java 17 or later).
"""
import os
import sys
import tempfile

from pyspark.sql import SparkSession
from pyspark.sql import functions as F

import murk.spark
from murk._kinds import KINDS

# Sketch column -> (event column, kind, parameters).
SKETCHES = {
    "users": ("user", "hll", {"precision": 14}),
    "top_users": ("user", "topk", {"k": 100}),
    "latency": ("latency", "dd", {"relative_accuracy": 0.01}),
}
# What to ask each sort of sketch, by what it answers.
QUESTIONS = {"cardinality": {}, "top": {"top": 3}, "quantiles": {"q": [0.5, 0.99]}}
KEYS = ["day", "country"]


def events(spark, rows=20_000):
    """Made-up events: 14 days from Monday 2026-11-30, four countries, and
    users drawn so that a few are busy and 20,000 are rarely seen."""
    def uniform(salt):  # a repeatable number in [0, 1) per event
        return F.pmod(F.xxhash64("id", F.lit(salt)), 1_000_000) / 1_000_000

    return spark.range(rows, numPartitions=2).select(
        F.date_add(F.lit("2026-11-30").cast("date"), F.floor(uniform(1) * 14).cast("int")).alias("day"),
        F.element_at(F.array(*map(F.lit, ["de", "fr", "jp", "us"])), F.floor(uniform(2) * 4).cast("int") + 1)
        .alias("country"),
        F.concat(F.lit("user"), F.floor(F.pow(uniform(3), 4) * 20_000).cast("int")).alias("user"),
        F.round(F.exp(uniform(4) * 6), 1).alias("latency"),
    )


def daily_sketches(df):
    """One row per day and country, one binary column per sketch."""
    out = None
    for name, (column, kind, params) in SKETCHES.items():
        part = murk.spark.sketch_by(df, KEYS, column, kind, sketch_column=name, **params)
        out = part if out is None else out.join(part, KEYS)
    return out


def roll_up(daily, keys):
    out = None
    for name, (_, kind, _) in SKETCHES.items():
        part = murk.spark.merge_by(daily, keys, name, kind)
        out = part if out is None else out.join(part, keys)
    return out


def answers(sketches):
    for name, (_, kind, _) in SKETCHES.items():
        sketches = murk.spark.estimate(sketches, name, kind, name=f"{name}_answer",
                                       **QUESTIONS[KINDS[kind].summary])
    return sketches.drop(*SKETCHES)


def main(spark, directory):
    df = events(spark)
    path = os.path.join(directory, "daily.parquet")
    daily_sketches(df).write.mode("overwrite").parquet(path)

    # Later, from the kept sketches alone: weeks start on Monday.
    daily = spark.read.parquet(path).withColumn("week", F.date_trunc("week", "day").cast("date"))
    weekly = roll_up(daily, ["week", "country"])
    exact = df.groupBy(F.date_trunc("week", "day").cast("date").alias("week"), "country").agg(
        F.countDistinct("user").alias("exact_users"))
    result = answers(weekly).join(exact, ["week", "country"]).orderBy("week", "country")
    rows = result.collect()
    for r in rows:
        top = ", ".join(f"{t['item']} {t['count']:,}" for t in r.top_users_answer)
        p50, p99 = r.latency_answer
        print(f"{r.week} {r.country}: ~{r.users_answer:,.0f} users (exact {r.exact_users:,}); "
              f"latency p50 {p50:.0f} ms, p99 {p99:.0f} ms; top: {top}")
    print(f"{daily.count()} daily rows rolled up to {len(rows)} weekly rows")


if __name__ == "__main__":
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)  # workers import this murk
    session = (SparkSession.builder.master("local[2]").appName("murk-daily-users")
               .config("spark.ui.enabled", "false").config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    try:
        with tempfile.TemporaryDirectory() as tmp:
            main(session, tmp)
    finally:
        session.stop()
