"""The examples stay runnable."""
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_process_pool_example_merges_worker_sketches():
    out = subprocess.run([sys.executable, str(EXAMPLES / "process_pool.py")], capture_output=True, text=True,
                         check=True, timeout=120).stdout
    assert "distinct users ~ 249,469" in out and "/home hits ~ 250,000" in out
