"""Lines read in place against the list path, and HyperLogLog reads after adds.

    python bench/lines_bench.py                       # 10M lines, as cli_bench.py makes them
    python bench/lines_bench.py --base-python /path/to/older/venv/bin/python

1. `update_lines(buffer)` on the whole file's bytes against splitting them into
   a list and calling `update(list)` (what a caller without the lines method
   does), for HyperLogLog and BloomFilter.
2. An add-then-read loop (`h.add(x); h.cardinality()`), here and, with
   --base-python, in another installation of murk (e.g. one built from an
   earlier commit) run as a child process, so the ratio comes from one run.

Times are the best of --repeat runs, as wall and CPU seconds of the thread:
on a loaded machine CPU time says what the work costs, wall time what it took.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cli_bench import make_input

LOOP = """
import json, sys, time
import murk
n = int(sys.argv[1])
items = [str(i) for i in range(n)]
best = None
for _ in range(int(sys.argv[2])):
    h = murk.HyperLogLog(14)
    add, read = h.add, h.cardinality
    t, c = time.perf_counter(), time.thread_time()
    for x in items:
        add(x)
        read()
    run = (time.perf_counter() - t, time.thread_time() - c)
    best = run if best is None or run[1] < best[1] else best
print(json.dumps({"wall": best[0], "cpu": best[1], "estimate": h.cardinality()}))
"""


def timed(fn, repeat):
    """(wall, cpu) of the run with the least CPU time."""
    best = None
    for _ in range(repeat):
        t, c = time.perf_counter(), time.thread_time()
        fn()
        run = (time.perf_counter() - t, time.thread_time() - c)
        best = run if best is None or run[1] < best[1] else best
    return best


def loop(python, n, repeat):
    out = subprocess.run([python, "-c", LOOP, str(n), str(repeat)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--lines", type=int, default=10_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--loop", type=int, default=200_000, help="adds in the add-then-read loop")
    ap.add_argument("--base-python", help="an interpreter with another murk installed, for the loop's ratio")
    args = ap.parse_args()

    import murk

    path = os.path.join(tempfile.gettempdir(), f"murk-cli-bench-{args.lines}-0.2.txt")
    if not os.path.exists(path):
        make_input(path + ".part", args.lines, 0.2)
        os.replace(path + ".part", path)
    with open(path, "rb") as f:
        data = f.read()
    print(f"\n{args.lines:,} lines, {len(data) / 1e6:.1f} MB in memory, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f}; best of {args.repeat} by CPU time\n")
    print("| class | path | wall s | CPU s | MB/s (CPU) | speed-up (wall) | speed-up (CPU) |")
    print("|---|---|---:|---:|---:|---:|---:|")
    makers = {
        "HyperLogLog": lambda: murk.HyperLogLog(14),
        "BloomFilter": lambda: murk.BloomFilter(expected_items=2_000_000, false_positive_rate=0.01),
    }
    for name, make in makers.items():
        def lines_path(make=make):
            make().update_lines(data)

        def list_path(make=make):
            items = data.split(b"\n")
            items.pop()  # the empty piece after the final newline
            make().update(items)

        a, b = make(), make()
        a.update_lines(data)
        list_items = data.split(b"\n")[:-1]
        b.update(list_items)
        del list_items
        assert a.to_bytes() == b.to_bytes()
        ours, peer = timed(lines_path, args.repeat), timed(list_path, args.repeat)
        print(f"| {name} | `update_lines(buffer)` | {ours[0]:.3f} | {ours[1]:.3f} | {len(data) / 1e6 / ours[1]:.0f} "
              f"| {peer[0] / ours[0]:.1f}x | {peer[1] / ours[1]:.1f}x |")
        print(f"| {name} | `update(buffer.split())` | {peer[0]:.3f} | {peer[1]:.3f} | {len(data) / 1e6 / peer[1]:.0f} "
              f"| 1.0x | 1.0x |")

    print(f"\nadd-then-read loop, {args.loop:,} iterations of `h.add(x); h.cardinality()` (precision 14)\n")
    print("| murk | wall s | CPU s | ns per iteration (CPU) | speed-up (CPU) |")
    print("|---|---:|---:|---:|---:|")
    here = loop(sys.executable, args.loop, args.repeat)
    rows = [("this build", here)]
    if args.base_python:
        base = loop(args.base_python, args.loop, args.repeat)
        assert base["estimate"] == here["estimate"], (base, here)
        rows.append(("--base-python", base))
    slowest = max(r["cpu"] for _, r in rows)
    for label, r in rows:
        print(f"| {label} | {r['wall']:.3f} | {r['cpu']:.3f} | {1e9 * r['cpu'] / args.loop:.0f} "
              f"| {slowest / r['cpu']:.1f}x |")


if __name__ == "__main__":
    main()
