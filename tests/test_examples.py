"""The examples stay runnable."""
import pathlib
import runpy
import subprocess
import sys

import pytest
from environment import spark_missing

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_process_pool_example_merges_worker_sketches():
    out = subprocess.run([sys.executable, str(EXAMPLES / "process_pool.py")], capture_output=True, text=True,
                         check=True, timeout=120).stdout
    assert "distinct users ~ 249,469" in out and "/home hits ~ 250,000" in out


@pytest.mark.skipif(spark_missing() is not None, reason=str(spark_missing()))
@pytest.mark.filterwarnings("ignore::FutureWarning", "ignore::DeprecationWarning")
def test_spark_example_rolls_kept_daily_sketches_up_to_weeks(tmp_path, monkeypatch, capsys):
    # In this process: the JVM it starts serves the Spark tests that follow.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    monkeypatch.chdir(tmp_path)
    runpy.run_path(str(EXAMPLES / "spark_daily_users.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "56 daily rows rolled up to 8 weekly rows" in out
    assert out.count("top: user0 ") == 8 and out.count("latency p50 ") == 8
