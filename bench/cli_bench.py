"""The `murk` command against the shell pipelines it replaces.

    python bench/cli_bench.py            # 10M lines, about 20% distinct
    python bench/cli_bench.py --lines 1000000 --repeat 1

`murk distinct` against `sort -u | wc -l` and `murk top 10` against
`sort | uniq -c | sort -rn | head`, on one generated file (kept in the
system's temporary directory between runs). The peers run with LC_ALL=C,
their fastest setting. Wall time is the best of --repeat runs, CPU time the
user and system time of the command's processes in that run; memory is the
peak resident set of the largest process of the command (os.wait4 on the
shell that runs it; murk's includes the pages of the input it maps, which
are the page cache's own, shared and not allocated). Start-up is `murk
distinct` on an empty file; MB/s is
the input's size over the wall time less the start-up. The results are
checked against each other before the table is printed.
"""
import argparse
import os
import random
import shlex
import subprocess
import sys
import tempfile
import time


def make_input(path, lines, distinct_share, seed=7):
    """lines lines over about lines * distinct_share distinct values: a
    heavy head of a few hundred pages (a fifth of the lines) over a long
    uniform tail, so the top ten are clear and most values are rare."""
    rng = random.Random(seed)
    tail = int(lines * distinct_share * 1.03)  # uniform draws repeat: aim above the target
    head = [f"/popular/{i}" for i in range(300)]
    weights = [1 / (i + 1) for i in range(300)]
    with open(path, "w") as f:
        step = 1 << 20
        for start in range(0, lines, step):
            n = min(step, lines - start)
            n_head = n // 5
            chunk = rng.choices(head, weights, k=n_head)
            chunk += [f"/item/{rng.randrange(tail):08x}" for _ in range(n - n_head)]
            rng.shuffle(chunk)
            f.write("\n".join(chunk))
            f.write("\n")


def timed(command, env):
    """(stdout, wall seconds, peak RSS in bytes, CPU seconds) of a shell command."""
    start = time.perf_counter()
    proc = subprocess.Popen(["bash", "-c", command], stdout=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {command}")
    return out.decode(), wall, usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime


def best(command, env, repeat):
    runs = [timed(command, env) for _ in range(repeat)]
    fastest = min(runs, key=lambda r: r[1])
    return runs[0][0], fastest[1], max(r[2] for r in runs), fastest[3]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--lines", type=int, default=10_000_000)
    ap.add_argument("--distinct", type=float, default=0.2, help="share of distinct lines (default 0.2)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--make", metavar="PATH", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.make:
        make_input(args.make, args.lines, args.distinct)
        return

    path = os.path.join(tempfile.gettempdir(), f"murk-cli-bench-{args.lines}-{args.distinct}.txt")
    if not os.path.exists(path):
        print(f"writing {path} ...", file=sys.stderr)
        # In a child process: commands forked from a large parent would
        # start with its resident set and inflate their measured peak.
        subprocess.run([sys.executable, __file__, "--make", path + ".part", "--lines", str(args.lines),
                        "--distinct", str(args.distinct)], check=True)
        os.replace(path + ".part", path)
    size = os.path.getsize(path)
    env = dict(os.environ, LC_ALL="C")
    murk = f"{shlex.quote(sys.executable)} -m murk"
    q = shlex.quote(path)
    empty = path + ".empty"
    open(empty, "wb").close()
    cases = [
        ("distinct", f"{murk} distinct {q}", f"sort -u {q} | wc -l"),
        ("distinct, 1 thread", f"{murk} distinct --threads 1 {q}", None),
        ("top 10", f"{murk} top 10 {q}", f"sort {q} | uniq -c | sort -rn | head -n 10"),
    ]
    timed(f"cat {q} > /dev/null", env)  # both sides read from the page cache
    _, startup, _, startup_cpu = best(f"{murk} distinct {shlex.quote(empty)}", env, args.repeat)
    rows, checks, peers = [], [], {}
    for name, ours, peer in cases:
        ours_out, ours_s, ours_rss, ours_cpu = best(ours, env, args.repeat)
        if peer is not None:
            peers[name] = best(peer, env, args.repeat)
        peer_out, peer_s, peer_rss, peer_cpu = peers[name.split(",")[0]]
        rows.append((name, ours, ours_s, ours_rss, ours_cpu, peer, peer_s, peer_rss, peer_cpu))
        if name.startswith("distinct"):
            estimate, low, high = map(int, ours_out.split())
            exact = int(peer_out)
            checks.append(f"{name}: exact {exact}, murk {estimate} (95% interval {low}..{high}), "
                          f"error {100 * (estimate - exact) / exact:+.2f}%")
        else:
            ours_top = [line.split("\t")[:2] for line in ours_out.splitlines()]
            peer_top = [line.split()[::-1] for line in peer_out.splitlines()]
            same = [i for i, _ in ours_top] == [i for i, _ in peer_top]
            exact = all(a == b for a, b in zip(ours_top, peer_top))
            checks.append(f"top 10: same items in the same order: {same}; same counts: {exact}")

    print(f"\n{args.lines:,} lines, {size / 1e6:.1f} MB, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f}; best of {args.repeat}; peers with LC_ALL=C; "
          f"murk start-up {startup * 1000:.0f} ms wall, {startup_cpu * 1000:.0f} ms CPU\n")
    print("| task | command | wall s | CPU s | MB/s past start-up | peak RSS MB | speed-up | CPU ratio "
          "| memory ratio |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, ours, ours_s, ours_rss, ours_cpu, peer, peer_s, peer_rss, peer_cpu in rows:
        short = ours.replace(murk, "murk").replace(q, "FILE")
        print(f"| {name} | `{short}` | {ours_s:.2f} | {ours_cpu:.2f} | {size / 1e6 / max(ours_s - startup, 1e-9):.0f} "
              f"| {ours_rss / 1e6:.0f} | {peer_s / ours_s:.1f}x | {peer_cpu / ours_cpu:.1f}x "
              f"| {peer_rss / ours_rss:.1f}x less |")
        if peer is not None:
            print(f"| {name} | `{peer.replace(q, 'FILE')}` | {peer_s:.2f} | {peer_cpu:.2f} | {size / 1e6 / peer_s:.0f} "
                  f"| {peer_rss / 1e6:.0f} | 1.0x | 1.0x | |")
    print()
    for line in checks:
        print(line)


if __name__ == "__main__":
    main()
