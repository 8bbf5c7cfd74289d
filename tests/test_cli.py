"""The `murk` command line, run as a real command in a subprocess."""
import concurrent.futures
import gzip
import importlib.metadata
import io
import json
import os
import pty
import re
import signal
import subprocess
import sys
import sysconfig

import pytest

import murk
from conftest import murk_command as run
from murk.cli import _input, _kinds

def run_all(calls, cwd=None):
    """Independent runs side by side: (args, stdin) pairs, results in order."""
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        return list(pool.map(lambda call: run(*call[0], stdin=call[1], cwd=cwd), calls))


def error_line(proc):
    """The single `murk: error: ...` line of a failed run (no traceback, exit 2)."""
    err = proc.stderr.decode()
    assert proc.returncode == 2 and proc.stdout == b"", (proc.returncode, err)
    assert err.count("\n") == 1 and err.startswith("murk: error: "), err
    return err[len("murk: error: "):].rstrip("\n")


# Three inputs in order: a plain file with CRLF endings, blank and non-UTF-8
# lines; a gzip file without a final newline; stdin.
PLAIN = b"alpha\r\nbeta\n\ngamma\r\n\xff\xferaw\nalpha\n"
GZ = b"delta\nalpha\nepsilon"
STDIN = b"zeta\nbeta\n"
LINES = [b"alpha", b"beta", b"", b"gamma", b"\xff\xferaw", b"alpha", b"delta", b"alpha", b"epsilon", b"zeta", b"beta"]

KINDS = {  # CLI options and the same constructor call
    "bloom": (["--expected-items", 500, "--fpr", 0.02, "--seed", 7],
              lambda: murk.BloomFilter(expected_items=500, false_positive_rate=0.02, seed=7)),
    "counting-bloom": (["--num-counters", 999, "--num-hashes", 3],
                       lambda: murk.CountingBloomFilter(num_counters=999, num_hashes=3)),
    "scalable-bloom": (["--initial-capacity", 4, "--growth-ratio", 3, "--fpr-ratio", 0.6],
                       lambda: murk.ScalableBloomFilter(initial_capacity=4, growth_ratio=3, fpr_ratio=0.6)),
    "cuckoo": (["--capacity", 100, "--seed", 1], lambda: murk.CuckooFilter(100, seed=1)),
    "hll": (["--precision", 6], lambda: murk.HyperLogLog(6)),
    "cms": (["--error-rate", 0.01, "--confidence", 0.9], lambda: murk.CountMinSketch(error_rate=0.01, confidence=0.9)),
    "minhash": (["--num-hashes", 16, "--seed", 3], lambda: murk.MinHash(16, seed=3)),
    "topk": (["--k", 3], lambda: murk.TopK(3)),
    "theta": (["--lg-k", 5, "--seed", 2], lambda: murk.ThetaSketch(5, seed=2)),
}


def expected(kind):
    sketch = KINDS[kind][1]()
    sketch.update([x.decode("utf-8", "replace") for x in LINES] if kind == "topk" else LINES)
    return sketch


@pytest.mark.parametrize("block", [1, 2, 3, 5, 64])
def test_lines_and_stream_blocks_split_at_every_block_boundary(monkeypatch, block):
    monkeypatch.setattr(_input, "BLOCK", block)
    monkeypatch.setattr(_input, "STREAM_BLOCK", block)
    for data in [b"", b"\n", b"a", b"a\n", b"a\r\n", b"a\r", b"\r\n\r\n", b"a\rb\r\nc\n\nd", b"xyz\nlong line here\r\nq"]:
        want = re.split(rb"\r?\n", data)
        if data == b"" or data.endswith(b"\n"):
            want.pop()
        got = [x for batch in _input.lines_of(io.BytesIO(data), False) for x in batch]
        assert got == want, data
        text = [x for batch in _input.lines_of(io.BytesIO(data + "é".encode()), True) for x in batch]
        assert text == [x.decode() for x in re.split(rb"\r?\n", data + "é".encode())]
        blocks = list(_input.stream_blocks(io.BytesIO(data)))  # whole lines, none empty
        assert b"".join(blocks) == data and all(blocks) and all(b.endswith(b"\n") for b in blocks[:-1])


@pytest.mark.parametrize("kind", KINDS)
def test_build_reads_files_gzip_and_stdin_and_json_round_trips(tmp_path, kind):
    (tmp_path / "a.txt").write_bytes(PLAIN)
    (tmp_path / "b.txt.gz").write_bytes(gzip.compress(GZ))
    proc = run("build", kind, *KINDS[kind][0], "a.txt", "b.txt.gz", "-", "--json", "-o", "out.json",
               stdin=STDIN, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == b"" and proc.stdout == b"", proc.stderr
    want = expected(kind)
    text = (tmp_path / "out.json").read_text()
    assert text == want.to_json() + "\n"
    # The JSON form's kind comes from its field names.
    loaded = _kinds.load(str(tmp_path / "out.json"))
    assert (loaded.kind.name, loaded.form) == (kind, "json") and loaded.sketch.to_bytes() == want.to_bytes()


def sketch_file(path, sketch, form="binary"):
    path.write_bytes(sketch.to_bytes() if form == "binary" else sketch.to_json().encode())
    return path


def on_terminal(*args, cwd=None):
    """stdout and stderr together of a run on a pseudo-terminal."""
    master, slave = pty.openpty()
    # The terminal is this pty, whatever the environment says about the one the suite runs in
    # (an editor's shell or a CI runner may say TERM=dumb; TTY_* override rich's detection).
    env = {k: v for k, v in os.environ.items() if not k.startswith("TTY_")} | {"TERM": "xterm-256color"}
    proc = subprocess.Popen([sys.executable, "-m", "murk", *map(str, args)], cwd=cwd, stdout=slave, stderr=slave,
                            stdin=subprocess.DEVNULL, env=env)
    os.close(slave)
    screen = b""
    while True:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # the terminal closed
            break
        if not chunk:
            break
        screen += chunk
    os.close(master)
    assert proc.wait(timeout=60) == 0
    return screen


def test_info_is_a_table_on_a_terminal_and_tab_lines_otherwise(tmp_path):
    sketch = sketch_file(tmp_path / "s", expected("hll"))
    as_json, piped = run_all([(["info", "--json", sketch], b""), (["info", sketch], b"")])
    report = json.loads(as_json.stdout)
    assert report["kind"] == "hll" and report["form"] == "binary" and report["precision"] == 6
    fields = dict(line.split("\t", 1) for line in piped.stdout.decode().splitlines())
    assert fields["kind"] == "hll" and fields["form"] == "binary" and fields["precision"] == "6"
    assert float(fields["estimate"]) == report["estimate"]
    assert fields["interval_95"] == "\t".join(map(repr, report["interval_95"]))
    table = on_terminal("info", sketch).decode()
    for word in ["─", "HyperLogLog", "precision", "estimate", "interval 95", "form", "binary"]:
        assert word in table


QUERIES = [  # kind, arguments, stdin, stdout, exit status
    ("bloom", ["alpha", "", "nope"], b"", "alpha\ttrue\n\ttrue\nnope\tfalse\n", 0),
    ("cuckoo", [], b"beta\r\nmissing\n\xff\xferaw", "beta\ttrue\nmissing\tfalse\n\ufffd\ufffdraw\ttrue\n", 0),
    ("cms", ["alpha", "zzz"], b"", "alpha\t3\nzzz\t0\n", 0),
    ("topk", [], "beta\né\n".encode(), "beta\t4\né\t0\n", 0),
    ("bloom", ["-q", "alpha", "beta"], b"", "", 0),
    ("cms", ["--quiet", "alpha", "nope"], b"", "", 1),
    ("scalable-bloom", ["-q"], b"alpha\nnope\n", "", 1),
    ("cms", ["--json", "alpha", "nope"], b"",
     '[\n  {"item": "alpha", "answer": 3},\n  {"item": "nope", "answer": 0}\n]\n', 0),
]


def test_query(tmp_path):
    files = {kind: sketch_file(tmp_path / kind, expected(kind)) for kind in {q[0] for q in QUERIES}}
    procs = run_all([(["query", files[kind], *args], stdin) for kind, args, stdin, _, _ in QUERIES])
    for (kind, args, _, want, code), proc in zip(QUERIES, procs):
        assert proc.returncode == code and proc.stderr == b"", (kind, args)
        assert proc.stdout.decode("utf-8", "replace") == want, (kind, args)


def test_add_keeps_the_files_form_and_merge_folds_left_to_right(tmp_path):
    base = murk.CountMinSketch(64, 3)
    base.update(["x", "y"])
    sketch_file(tmp_path / "a.json", base, "json")
    (tmp_path / "more.txt").write_text("x\nz\n")
    proc = run("add", "a.json", "more.txt", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    base.update(["x", "z"])
    assert (tmp_path / "a.json").read_text() == base.to_json() + "\n"

    other = murk.CountMinSketch(64, 3)
    other.update(["x"] * 5)
    sketch_file(tmp_path / "b.murk", other)
    proc = run("merge", "a.json", "b.murk", "b.murk", "--json", "-o", "m.json", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    base.merge(other)
    base.merge(other)
    assert (tmp_path / "m.json").read_text() == base.to_json() + "\n"
    assert base["x"] == 12


@pytest.mark.parametrize("kinds, message", [
    (["bloom", "hll"], "cannot merge '1' (hll) into '0' (bloom)"),
    (["scalable-bloom", "scalable-bloom"], "scalable-bloom sketches cannot be merged"),
    (["topk", "topk-wide"], "'1': Cannot merge: k mismatch (3 vs 4)"),
])
def test_merge_refusals_write_nothing(tmp_path, kinds, message):
    for i, kind in enumerate(kinds):
        sketch = murk.TopK(4) if kind == "topk-wide" else expected(kind)
        sketch_file(tmp_path / str(i), sketch)
    assert error_line(run("merge", "0", "1", "-o", "out", cwd=tmp_path)) == message
    assert sorted(os.listdir(tmp_path)) == ["0", "1"]


def test_errors_are_one_line_and_leave_no_output(tmp_path):
    bloom = sketch_file(tmp_path / "f.murk", expected("bloom"))
    damaged = bytearray(bloom.read_bytes())
    damaged[-1] ^= 1
    (tmp_path / "damaged").write_bytes(damaged)
    (tmp_path / "text").write_text("hello\n")
    (tmp_path / "record.json").write_text('{"something": 1}')
    (tmp_path / "many").write_text("same\n" * 300)
    cases = [  # the library's own messages come through unchanged
        (["build", "bloom", "--expected-items", 0, "-o", "out"], "expected_items must be positive"),
        (["build", "hll", "--precision", 30, "-o", "out"], "precision must be between 4 and 18"),
        (["build", "cms", "--width", 10, "-o", "out"], "Either provide (width, depth) or (error_rate, confidence)"),
        (["build", "hll", "missing.txt", "-o", "out"], "cannot read 'missing.txt': No such file or directory"),
        (["build", "counting-bloom", "--expected-items", 10, "many", "-o", "out"],
         "counter capacity exceeded; create a larger filter or clear it"),
        (["build", "cuckoo", "--capacity", 10, "many", "-o", "out"],
         "cuckoo filter is full: 292 of 300 items did not fit; build it with a larger --capacity "
         "(an item fits at most 8 times)"),
        (["info", "missing.murk"], "cannot open 'missing.murk': No such file or directory"),
        (["info", "text"], "'text' is not a murk sketch (unknown magic b'hell')"),
        (["info", "damaged"], "'damaged': binary payload checksum mismatch"),
        (["info", "--kind", "hll", "f.murk"], "'f.murk': invalid Murk binary format"),
        (["info", "record.json"], "'record.json': cannot tell the kind of this JSON record; name it with --kind"),
        (["query", "--kind", "hll", "record.json"], "'record.json': Deserialization error: missing field `version` "
         "at line 1 column 16"),
        (["distinct", "--confidence", 0.5, "text"], "confidence must be one of 0.80, 0.90, 0.95, or 0.99"),
        (["convert", "f.murk", "--to", "json", "-o", "no/such/dir/out"],
         "cannot write 'no/such/dir/out': No such file or directory"),
    ]
    for (args, message), proc in zip(cases, run_all([(args, b"") for args, _ in cases], cwd=tmp_path)):
        assert error_line(proc) == message, args
    assert not (tmp_path / "out").exists()
    assert sorted(os.listdir(tmp_path)) == ["damaged", "f.murk", "many", "record.json", "text"]


def test_usage_mistakes_follow_clicks_convention(tmp_path):
    proc = run("build", "bloom", "--no-such-option", "-o", "x", cwd=tmp_path)
    assert proc.returncode == 2 and b"Usage: murk build bloom" in proc.stderr and b"--no-such-option" in proc.stderr
    assert not (tmp_path / "x").exists()


def test_column_input_without_pyarrow_is_one_line(tmp_path):
    code = ("import sys; sys.modules['pyarrow'] = None; from murk.cli import main; "
            "sys.exit(main(['distinct', '--column', 'user', 'x.csv']))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path, timeout=60)
    assert error_line(proc) == "--column needs pyarrow: pip install 'murk[arrow]'"


# Starts Python with SIGINT at its default whatever this process inherited: a
# background job of a script starts with it ignored, and Python then keeps it
# ignored (as it should), so Ctrl-C would never reach the command.
DEFAULT_SIGINT = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                  "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])")


def test_interrupted_build_leaves_the_existing_output_intact(tmp_path):
    out = sketch_file(tmp_path / "out.murk", expected("hll"))
    before = out.read_bytes()
    argv = [sys.executable, "-c", DEFAULT_SIGINT, "-m", "murk", "build", "hll", "-o", "out.murk"]
    proc = subprocess.Popen(argv, cwd=tmp_path, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Far more than a pipe holds: once written, the command is in its read loop.
    proc.stdin.write(b"one\ntwo\n" * 400_000)
    proc.stdin.flush()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130 and err == b"murk: interrupted\n"
    assert out.read_bytes() == before and os.listdir(tmp_path) == ["out.murk"]


def zipf_lines(tmp_path):
    counts = {f"/page/{i}": 2000 // i for i in range(1, 400)}
    lines = [item for item, c in counts.items() for _ in range(c)]
    lines = [lines[(i * 7919) % len(lines)] for i in range(len(lines))]  # interleaved, same counts
    (tmp_path / "log.gz").write_bytes(gzip.compress(("\n".join(lines) + "\n").encode()))
    return counts


def test_distinct_and_top_agree_with_exact_counts(tmp_path):
    counts = zipf_lines(tmp_path)
    proc = run("distinct", "log.gz", cwd=tmp_path)
    estimate, low, high = map(int, proc.stdout.split(b"\t"))
    assert low <= len(counts) <= high and abs(estimate - len(counts)) <= 8

    proc = run("top", 3, "log.gz", cwd=tmp_path)
    assert proc.stdout.decode() == "/page/1\t2000\t0\n/page/2\t1000\t0\n/page/3\t666\t0\n"
    # Compressed stdin is recognised by its magic.
    report = json.loads(run("top", 2, "--k", 50, "--json", "-", stdin=(tmp_path / "log.gz").read_bytes()).stdout)
    assert report["k"] == 50 and report["items"] == sum(counts.values())
    assert [row["item"] for row in report["top"]] == ["/page/1", "/page/2"]
    assert all(row["count"] - row["error"] <= counts[row["item"]] <= row["count"] for row in report["top"])


def test_progress_bar_and_table_only_on_a_terminal(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"".join(b"line %d\n" % (i % 5000) for i in range(300_000)))
    screen = on_terminal("top", "2", "in.txt", cwd=tmp_path)
    assert "━".encode() in screen and b"MB" in screen  # the bar, with bytes done and total
    assert "┏━━━┳".encode() in screen and b"300000 lines, k = 10000" in screen  # the table
    piped = run("top", 2, "in.txt", cwd=tmp_path)
    assert piped.stdout == b"line 0\t60\t0\nline 1\t60\t0\n" and piped.stderr == b""


def test_console_script_is_declared_and_runs():
    (entry,) = importlib.metadata.entry_points(group="console_scripts", name="murk")
    assert entry.value == "murk.cli:main"
    script = os.path.join(sysconfig.get_path("scripts"), "murk")
    if not os.path.exists(script):
        pytest.skip("murk is not installed into this interpreter's scripts directory")
    proc = subprocess.run([script, "--version"], capture_output=True, timeout=60)
    assert proc.returncode == 0 and murk.__version__ in proc.stdout.decode()


@pytest.mark.parametrize("kind", ["hll", "topk"])
def test_build_from_a_column(tmp_path, kind):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    (tmp_path / "a.csv").write_text("user,n\n007,1\n,2\nbeta,3\n")
    (tmp_path / "b.tsv.gz").write_bytes(gzip.compress(b"n\tuser\n1\tcarol\n"))
    pq.write_table(pa.table({"user": ["007", None, "gamma"], "x": [1, 2, 3]}), tmp_path / "c.parquet")
    proc = run("build", kind, *KINDS[kind][0], "--column", "user", "a.csv", "b.tsv.gz", "c.parquet", "-o", "out",
               cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    want = KINDS[kind][1]()
    want.update(["007", "beta", "carol", "007", "gamma"])  # fields as text; empty ones are missing
    assert (tmp_path / "out").read_bytes() == want.to_bytes()
    assert error_line(run("distinct", "--column", "nope", "a.csv", cwd=tmp_path)) == "'a.csv' has no column 'nope'"


# ---------------------------------------------------------------- files split among threads

@pytest.mark.parametrize("data", [b"a\r\nbb\r\n\r\nccc\r\nd", b"x" * 50, b"\n\n\n", b"a\nb", b""])
def test_split_points_cut_at_line_starts(data):
    for parts in range(1, len(data) + 3):
        ranges = _input.split_points(data, 0, len(data), parts)
        assert b"".join(data[a:b] for a, b in ranges) == data and len(ranges) <= parts
        assert all(a == 0 or data[a - 1:a] == b"\n" for a, _ in ranges)


SPLIT_KINDS = [k for k, kind in _kinds.KINDS.items() if kind.exact_merge]


@pytest.mark.parametrize("data", [
    b"a\nb",  # smaller than the number of threads
    b"y" * 20_000,  # one line, no newline anywhere to cut at
    b"".join(b"%d\r\n" % (i % 700) for i in range(3000)),  # many cuts land inside a CRLF
    b"".join(b"w%d\n" % i for i in range(2000)) + b"tail",
])
def test_threads_give_the_one_thread_result(tmp_path, monkeypatch, data):
    import murk.cli

    monkeypatch.setattr(murk.cli, "MIN_PART", 1)
    monkeypatch.setattr(_input, "SLICE", 7)  # slices cut inside lines, and lines longer than a slice
    (tmp_path / "in.txt").write_bytes(data)
    for kind in SPLIT_KINDS:
        outs = []
        for threads in (1, 2, 3, 8):
            out = tmp_path / f"{kind}-{threads}"
            args = ["build", kind, *(KINDS[kind][0] if kind in KINDS else []), str(tmp_path / "in.txt")]
            assert murk.cli.main([*args, "--threads", str(threads), "-o", str(out)]) == 0
            outs.append(out.read_bytes())
        assert len(set(outs)) == 1, kind
        want = KINDS[kind][1]()
        want.update_lines(data)
        assert outs[0] == bytes(want.to_bytes()), kind


def test_bloom_without_a_size_is_sized_from_the_input(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"".join(b"%d\n" % (i % 1000) for i in range(5000)))
    proc = run("build", "bloom", "in.txt", "-o", "f", cwd=tmp_path)
    assert proc.returncode == 0 and b"sized the Bloom filter for 10" in proc.stderr, proc.stderr
    n = int(proc.stderr.split(b" for ")[1].split()[0])
    assert 1000 <= n <= 1100 and murk.BloomFilter.load(str(tmp_path / "f")).num_bits == murk.BloomFilter(n).num_bits
    assert "--expected-items or --num-bits" in error_line(run("build", "bloom", "-o", "f", cwd=tmp_path, stdin=b"a\n"))
    assert "--expected-items or --num-counters" in error_line(run("build", "counting-bloom", "-", "-o", "g",
                                                                 cwd=tmp_path))
