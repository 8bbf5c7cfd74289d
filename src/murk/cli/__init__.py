"""The `murk` command: build, update, query and inspect sketches from the shell.

Items are the lines of the inputs (files, `.gz` files, or stdin), handed to the
sketches' lines methods as buffers they read in place (regular files mapped and,
for kinds whose partial sketches merge exactly, split among threads; streams in
large blocks), or one column of CSV or Parquet files. Reports are tables on a
terminal, tab-separated lines otherwise, and JSON with --json.
Every command that reads a sketch file takes its binary form (the kind comes
from the magic) or its JSON form (the kind comes from the record's fields).
Errors are one line on stderr, `murk: error: ...`, with exit status 2; `query
--quiet` exits 1 when an item is absent; an interruption exits 130.
"""
from __future__ import annotations

import functools
import json
import math
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import click

from ._input import (Mapped, Progress, buffers_of, close_source, column_batches, line_batches, line_buffers,
                     open_source, require_arrow, sources, split_points)
from ._kinds import KINDS, CliError, Kind, Loaded, load, serialize, write_atomic
from ._numbers import feed_numbers
from ._overlap import overlap

__all__ = ["main", "cli"]

EXIT_ERROR = 2
EXIT_ABSENT = 1
EXIT_INTERRUPTED = 130

CONTEXT = {"help_option_names": ["-h", "--help"], "max_content_width": 100}


def _library_call(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """Call into murk; its ValueError/OverflowError messages become the CLI's error, unchanged
    (and TypeError: a sketch that accepts no updates says why)."""
    try:
        return fn(*args, **kwargs)
    except (ValueError, OverflowError, MemoryError, TypeError) as e:
        raise CliError(str(e) or type(e).__name__) from None


MIN_PART = 1 << 22  # bytes a thread is worth starting for


def _feed(sketch: Any, kind: Kind, inputs: Sequence[str], column: str | None, what: str,
          threads: int | None = None) -> int:
    """Add every item of the inputs to sketch; returns how many were added."""
    if kind.feeds == "numbers":
        return feed_numbers(sketch, inputs, column, what).numbers
    srcs = sources(inputs)
    total = 0
    with Progress(srcs, what) as progress:
        if column is not None:
            require_arrow()
            for array in column_batches(srcs, column, progress):
                n = len(array) - array.null_count
                _check_added(kind, _library_call(sketch.update_column, array), n, total)
                total += n
        elif hasattr(sketch, "update_lines"):
            total = _feed_lines(sketch, kind, srcs, progress, _threads(threads) if kind.exact_merge else 1)
        else:
            for lines in line_batches(srcs, kind.text_items, progress):
                _check_added(kind, _library_call(sketch.update, lines), len(lines), total)
                total += len(lines)
    return total


def _threads(given: int | None) -> int:
    if given is not None:
        if given < 1:
            raise CliError("--threads must be at least 1")
        return given
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _feed_lines(sketch: Any, kind: Kind, srcs: Sequence[Any], progress: Progress, threads: int) -> int:
    total = done = 0
    for src in srcs:
        raw, reader = open_source(src)
        try:
            parts = min(threads, len(reader) // MIN_PART) if isinstance(reader, Mapped) else 1
            if parts > 1:
                assert isinstance(reader, Mapped)
                advance = functools.partial(lambda at, pos: progress.advance_to(at + pos), done)
                total += _feed_parallel(sketch, kind, reader, parts, advance)
            else:
                for buf, pos in buffers_of(src, reader):
                    total += _add_lines(sketch, kind, buf, total)
                    progress.advance_to(done + pos)
        finally:
            close_source(src, raw, reader)
        done += src.size or 0
    return total


def _add_lines(sketch: Any, kind: Kind, buf: Any, before: int) -> int:
    """Feed one buffer of lines; returns how many lines it held."""
    try:
        added: int = sketch.update_lines(buf)
    except ValueError as e:
        if not kind.text_items:
            raise CliError(str(e)) from None
        # Text kinds refuse bytes that are not UTF-8; here they become U+FFFD, as
        # decoding each line with errors="replace" would make them.
        added = _library_call(sketch.update_lines, bytes(buf).decode("utf-8", "replace").encode())
    except (TypeError, OverflowError, MemoryError) as e:  # e.g. a sketch that accepts no updates says why
        raise CliError(str(e) or type(e).__name__) from None
    # Kinds that merge exactly take every line, so what they added is the line
    # count; another (a cuckoo filter) may refuse lines, so they are counted.
    n = added if kind.exact_merge else _count_lines(buf)
    _check_added(kind, added, n, before)
    return n


def _feed_parallel(sketch: Any, kind: Kind, mapped: Mapped, parts: int, advance: Callable[[int], None]) -> int:
    """The lines of a mapped file cut into parts at line starts, each fed to a
    sketch of its own by a thread (the lines methods run without the GIL), and
    the parts merged into sketch in order."""
    import threading
    from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait

    assert mapped.map is not None
    base = mapped.start
    ranges = [(a - base, b - base) for a, b in split_points(mapped.map, base, base + len(mapped), parts)]
    sketches = [sketch] + [_empty_like(sketch) for _ in ranges[1:]]
    seen = [0] * len(ranges)
    counts = [0] * len(ranges)
    stop = threading.Event()

    def work(i: int) -> None:
        start, end = ranges[i]
        for buf, pos in mapped.slices(start, end):
            if stop.is_set():
                return
            counts[i] += _add_lines(sketches[i], kind, buf, counts[i])
            seen[i] = pos - start

    with ThreadPoolExecutor(len(ranges), thread_name_prefix="murk-lines") as pool:
        futures = [pool.submit(work, i) for i in range(len(ranges))]
        try:
            while True:
                finished, pending = wait(futures, timeout=0.1, return_when=FIRST_EXCEPTION)
                advance(sum(seen))
                if not pending or any(f.exception() is not None for f in finished):
                    break
        finally:
            stop.set()
        for f in futures:
            f.result()
    for part in sketches[1:]:
        sketch.merge(part)
    return sum(counts)


def _empty_like(sketch: Any) -> Any:
    part = sketch.copy()
    part.clear()
    return part


def _count_lines(buf: Any) -> int:
    from .._sketches import _count_lines as count

    return int(count(buf))


def _check_added(kind: Kind, added: Any, n: int, before: int) -> None:
    # A cuckoo filter refuses items once full; a filter missing items is not a success.
    if isinstance(added, int) and added < n:
        raise CliError(
            f"{kind.name} filter is full: {n - added} of {before + n} items did not fit; "
            "build it with a larger --capacity (an item fits at most 8 times)"
        )


def _write(path: str, data: bytes) -> None:
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        write_atomic(path, data)


def _print_json(value: Any) -> None:
    click.echo(json.dumps(value, indent=2))


def _console() -> Any:
    from rich.console import Console

    return Console(highlight=False)


def _kind_option(fn: Callable[..., Any]) -> Callable[..., Any]:
    return click.option(
        "--kind", type=click.Choice(list(KINDS)), default=None,
        help="Kind of the sketch file (normally read from its magic or JSON fields).",
    )(fn)


COLUMN_HELP = ("Read the items from this column of CSV (.csv, .tsv, optionally .gz) or Parquet (.parquet, .pq) "
               "inputs instead of lines; stdin is CSV. Nulls and empty fields are skipped. Needs pyarrow (murk[arrow]).")


def _inputs(fn: Callable[..., Any]) -> Callable[..., Any]:
    fn = click.option("--column", metavar="NAME", default=None, help=COLUMN_HELP)(fn)
    return click.argument("inputs", nargs=-1, metavar="[INPUT]...")(fn)


THREADS_HELP = ("Threads reading a regular file, for kinds whose partial sketches merge exactly "
                "(default: the cores available; the result is the same for any number).")


def _threads_option(fn: Callable[..., Any]) -> Callable[..., Any]:
    return click.option("--threads", type=int, default=None, metavar="N", help=THREADS_HELP)(fn)


def _kind(name: str | None) -> Kind | None:
    return KINDS[name] if name is not None else None


class _Interrupted(Exception):
    pass


class _Root(click.Group):
    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except KeyboardInterrupt:
            raise _Interrupted from None  # past click, which would print a bare newline first


@click.group(cls=_Root, context_settings=CONTEXT)
@click.version_option(None, "-V", "--version", package_name="murk", prog_name="murk")
def cli() -> None:
    """Probabilistic sketches from the shell.

    Items are the lines of the INPUTs (files, gzip ones decompressed; '-'
    or no INPUT reads stdin), or one column of CSV or Parquet files with
    --column. Sketch files are read in their binary or JSON form.

    Exit status: 0 done; 1 `query --quiet` met an absent item; 2 an error
    (one line on stderr) or a usage mistake; 130 interrupted.
    """


class _BuildGroup(click.Group):
    def list_commands(self, ctx: click.Context) -> list[str]:
        return list(KINDS)  # in the table's order, not sorted


@cli.group(cls=_BuildGroup, context_settings=CONTEXT, short_help="Build a sketch from the items of the inputs.")
def build() -> None:
    """Build a sketch of KIND from the items of the inputs.

    \b
    murk build bloom --expected-items 1000000 --fpr 0.001 ids.txt -o ids.murk
    murk build hll access.log.gz -o visitors.murk
    murk build cms --column url --width 4096 --depth 5 hits.parquet -o urls.murk
    """


# Kinds sized by an item count the command line can take from the input itself:
# the count's option, and the options that size the sketch directly instead.
_SIZED_BY_ITEMS = {"bloom": ("expected_items", "num_bits"), "counting-bloom": ("expected_items", "num_counters")}


def _size_from_input(kind: Kind, given: dict[str, Any], inputs: Sequence[str], column: str | None,
                     threads: int | None) -> None:
    """Size a filter given no size for the distinct items of its inputs, counted
    in a first pass (the upper end of a HyperLogLog's 99% interval, at most the
    number of items)."""
    count, *direct = _SIZED_BY_ITEMS[kind.name]
    if any(given.get(p) is not None for p in (count, *direct)):
        return
    options = " or ".join(o.flag for o in kind.options if o.param in (count, *direct))
    if not inputs or "-" in inputs:
        raise CliError(f"a {kind.title} read from stdin needs its size: give {options}")
    hll = KINDS["hll"].cls(14)
    items = _feed(hll, KINDS["hll"], inputs, column, "sizing", threads)
    _, high = hll.confidence_interval(0.99)
    given[count] = max(1, min(items, math.ceil(high)))
    _note(f"sized the {kind.title} for {given[count]} items, the distinct items of the input counted in a "
          f"first pass ({options} sets the size)")


def _note(message: str) -> None:
    try:
        sys.stderr.write(f"murk: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _build_command(kind: Kind) -> click.Command:
    def run(inputs: tuple[str, ...], output: str, as_json: bool, column: str | None, threads: int | None,
            **params: Any) -> None:
        given = {o.param: params[o.param] for o in kind.options if params[o.param] is not None}
        if kind.name in _SIZED_BY_ITEMS:
            _size_from_input(kind, given, inputs, column, threads)
        sketch = _library_call(kind.cls, **given)
        _feed(sketch, kind, inputs, column, f"build {kind.name}", threads)
        _write(output, serialize(sketch, as_json))

    help_text = f"Build a {kind.title} from the items of the inputs and write it to -o FILE."
    if kind.name in _SIZED_BY_ITEMS:
        help_text += ("\n\nWithout a size it is sized for the distinct items of the input files, counted in "
                      "a first pass.")
    cmd = click.Command(
        kind.name, callback=run, context_settings=CONTEXT, help=help_text, short_help=f"{kind.title}.",
    )
    # Options are passed to the constructor as given; its own checks report bad values.
    for o in kind.options:
        cmd.params.append(click.Option([o.flag, o.param], type=o.type, default=None, required=o.required, help=o.help))
    cmd.params += [
        click.Option(["-o", "--output"], required=True, metavar="FILE", help="Where to write the sketch ('-' for stdout)."),
        click.Option(["--json", "as_json"], is_flag=True, help="Write the JSON form instead of the binary form."),
        click.Option(["--column"], metavar="NAME", default=None, help=COLUMN_HELP),
        click.Option(["--threads"], type=int, default=None, metavar="N", help=THREADS_HELP),
        click.Argument(["inputs"], nargs=-1, metavar="[INPUT]..."),
    ]
    return cmd


for _k in KINDS.values():
    build.add_command(_build_command(_k))


@cli.command(context_settings=CONTEXT, short_help="Add items to a sketch file, saved atomically.")
@click.argument("file")
@_inputs
@click.option("--json", "as_json", is_flag=True, help="Save in the JSON form (default: keep the file's form).")
@_threads_option
@_kind_option
def add(file: str, inputs: tuple[str, ...], column: str | None, as_json: bool, threads: int | None,
        kind: str | None) -> None:
    """Add the items of the inputs to the sketch in FILE and save it atomically.

    An error or an interruption leaves FILE as it was.
    """
    loaded = load(file, _kind(kind))
    _feed(loaded.sketch, loaded.kind, inputs, column, f"add to {loaded.kind.name}", threads)
    write_atomic(file, serialize(loaded.sketch, as_json or loaded.form == "json"))


_TRUE_FALSE = {True: b"true", False: b"false"}


@cli.command(context_settings=CONTEXT, short_help="Look items up: item<TAB>answer.")
@click.argument("file")
@click.argument("items", nargs=-1, metavar="[ITEM]...")
@click.option("-q", "--quiet", is_flag=True,
              help="Print nothing; exit 0 when every item is present (count > 0 for counters), else 1.")
@click.option("--json", "as_json", is_flag=True, help="Print a JSON array of {item, answer}.")
@_kind_option
def query(file: str, items: tuple[str, ...], quiet: bool, as_json: bool, kind: str | None) -> None:
    """Look items up in the sketch in FILE: `item<TAB>answer` per line.

    The items are the ITEM arguments, or else the lines of stdin. Filters
    answer true or false; count-min sketches and top-k trackers answer the
    estimated count.
    """
    loaded = load(file, _kind(kind))
    k, sketch = loaded.kind, loaded.sketch
    if k.answers is None:
        raise CliError(f"a {k.name} sketch has no per-item answer (query takes filters, cms and topk)")
    out = sys.stdout.buffer
    if not items and not sys.stdin.isatty() and not as_json and hasattr(sketch, "query_lines"):
        _query_lines(sketch, k, quiet, out)
        return
    batches: Iterable[list[Any]]
    if items:
        raw = [os.fsencode(i) for i in items]  # the argument's bytes, as a line would give them
        batches = [[b.decode("utf-8", "replace") for b in raw] if k.text_items else raw]
    elif sys.stdin.isatty():
        batches = _typed_lines(k.text_items)  # someone typing: answer each line at once
    else:
        batches = line_batches(sources(["-"]), k.text_items, Progress([], ""))
    first = True
    if as_json and not quiet:
        out.write(b"[")
    for batch in batches:
        answers = _library_call(sketch.query_many, batch)
        if quiet:
            if not all(answers):
                sys.exit(EXIT_ABSENT)
            continue
        if as_json:
            for item, answer in zip(batch, answers):
                text = item if isinstance(item, str) else item.decode("utf-8", "replace")
                out.write(b"\n  " if first else b",\n  ")
                out.write(json.dumps({"item": text, "answer": answer}).encode())
                first = False
            continue
        if k.text_items:
            fmt = "%s\t%d\n"
            out.write("".join(map(fmt.__mod__, zip(batch, answers))).encode("utf-8", "surrogateescape"))
        elif k.answers == "member":
            out.write(b"".join(map(b"%s\t%s\n".__mod__, zip(batch, map(_TRUE_FALSE.__getitem__, answers)))))
        else:
            out.write(b"".join(map(b"%s\t%d\n".__mod__, zip(batch, answers))))
        if not as_json:
            out.flush()
    if as_json and not quiet:
        out.write(b"\n]\n" if not first else b"]\n")
    out.flush()


def _query_lines(sketch: Any, kind: Kind, quiet: bool, out: Any) -> None:
    """Answer the lines of stdin block by block, read and written in place."""
    from .._sketches import _tab_lines

    for buf in line_buffers(sources(["-"]), Progress([], "")):
        try:
            answers = sketch.query_lines(buf)
        except ValueError as e:
            if not kind.text_items:
                raise CliError(str(e)) from None
            buf = bytes(buf).decode("utf-8", "replace").encode()  # bad bytes become U+FFFD
            answers = _library_call(sketch.query_lines, buf)
        if quiet:
            if not _all_present(answers):
                sys.exit(EXIT_ABSENT)
            continue
        out.write(_tab_lines(buf, answers))
        out.flush()


def _all_present(answers: memoryview) -> bool:
    """No false (format '?') or zero count (format 'Q') among the answers."""
    raw = answers.tobytes()
    if answers.format == "?":
        return b"\x00" not in raw
    zero = bytes(8)
    i = raw.find(zero)
    while i >= 0:
        aligned = -(-i // 8) * 8
        if raw[aligned:aligned + 8] == zero:
            return False
        i = raw.find(zero, aligned)
    return True


def _typed_lines(text: bool) -> Iterable[list[Any]]:
    for line in sys.stdin.buffer:
        line = line.removesuffix(b"\n").removesuffix(b"\r")
        yield [line.decode("utf-8", "replace") if text else line]


def _plain(value: Any) -> str:
    """A report value for a pipe: full precision, lists as tab-separated fields."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        # A list of ranges is fields of "low,high".
        return "\t".join(",".join(map(_plain, v)) if isinstance(v, list) else _plain(v) for v in value)
    return repr(value) if isinstance(value, float) else str(value)


def _fmt(value: Any) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        if any(isinstance(v, list) for v in value):
            return ", ".join(map(_fmt, value)) or "none"
        return " to ".join(_fmt(v) for v in value)
    return str(value)


@cli.command(context_settings=CONTEXT, short_help="Kind, parameters, counts, size and health of a sketch.")
@click.argument("file")
@click.option("--json", "as_json", is_flag=True, help="Print the report as a JSON object.")
@_kind_option
def info(file: str, as_json: bool, kind: str | None) -> None:
    """Show what the sketch in FILE is: its kind, parameters, counts, size,
    fill and health, and its estimate where it has one. A table on a
    terminal, else `key<TAB>value` lines."""
    loaded = load(file, _kind(kind))
    report = {"file": file, "kind": loaded.kind.name, "form": loaded.form, **loaded.kind.info(loaded.sketch)}
    if as_json:
        _print_json(report)
    elif sys.stdout.isatty():
        _print_table(f"{file}: {loaded.kind.title}", {k: v for k, v in report.items() if k != "file"})
    else:
        out = "".join(f"{key}\t{_plain(value)}\n" for key, value in report.items())
        sys.stdout.buffer.write(out.encode("utf-8", "surrogateescape"))


def _print_table(title: str | None, rows: dict[str, Any]) -> None:
    """A two-column table of a report, for a terminal."""
    from rich.table import Table
    from rich.text import Text

    table = Table(title=Text(title) if title else None, show_header=False, title_justify="left")
    table.add_column("field", style="bold")
    table.add_column("value", overflow="fold")
    for key, value in rows.items():
        table.add_row(key.replace("_", " "), Text(_fmt(value)))
    _console().print(table)


def _load_all(files: Sequence[str], kind: str | None) -> list[Loaded]:
    return [load(f, _kind(kind)) for f in files]


@cli.command(context_settings=CONTEXT, short_help="Merge sketch files of one kind.")
@click.argument("files", nargs=-1, required=True, metavar="FILE...")
@click.option("-o", "--output", required=True, metavar="OUT", help="Where to write the result ('-' for stdout).")
@click.option("--json", "as_json", is_flag=True, help="Write the JSON form instead of the binary form.")
@_kind_option
def merge(files: tuple[str, ...], output: str, as_json: bool, kind: str | None) -> None:
    """Merge sketches of one kind and configuration: the files are folded left
    to right into the first, and the result is written to OUT."""
    first, *rest = _load_all(files, kind)
    if not first.kind.mergeable:
        raise CliError(f"{first.kind.name} sketches cannot be merged")
    for name, other in zip(files[1:], rest):
        if other.kind is not first.kind:
            raise CliError(f"cannot merge '{name}' ({other.kind.name}) into '{files[0]}' ({first.kind.name})")
        try:
            first.sketch.merge(other.sketch)
        except (ValueError, OverflowError) as e:
            raise CliError(f"'{name}': {e}") from None
    _write(output, serialize(first.sketch, as_json))


@cli.command(context_settings=CONTEXT, short_help="Convert a sketch between binary and JSON.")
@click.argument("file")
@click.option("--to", "to", type=click.Choice(["json", "binary"]), default=None, help="The form to write.")
@click.option("-o", "--output", required=True, metavar="OUT", help="Where to write it ('-' for stdout).")
@click.option("--json", "as_json", is_flag=True, help="Same as --to json.")
@_kind_option
def convert(file: str, to: str | None, output: str, as_json: bool, kind: str | None) -> None:
    """Write the sketch in FILE in the other form: JSON or binary."""
    if to is None and not as_json:
        raise click.UsageError("give --to json|binary")
    if as_json and to == "binary":
        raise click.UsageError("--json contradicts --to binary")
    loaded = load(file, _kind(kind))
    _write(output, serialize(loaded.sketch, as_json or to == "json"))


@cli.command(context_settings=CONTEXT, short_help="Count distinct lines (HyperLogLog).")
@_inputs
@click.option("--precision", type=int, default=None, help="HyperLogLog precision, 4 to 18 (default 14: ~0.8% error).")
@click.option("--confidence", type=float, default=0.95, show_default=True, help="Confidence of the interval.")
@click.option("--json", "as_json", is_flag=True, help="Print a JSON object.")
@_threads_option
def distinct(inputs: tuple[str, ...], column: str | None, precision: int | None, confidence: float,
             as_json: bool, threads: int | None) -> None:
    """Estimate the number of distinct lines: `estimate<TAB>low<TAB>high`.

    The bounded-memory cousin of `sort -u | wc -l`: a HyperLogLog of 2**precision
    bytes, whatever the input's size. low and high bound the interval at the
    given confidence. Prints a table on a terminal.
    """
    kind = KINDS["hll"]
    hll = _library_call(kind.cls, **({} if precision is None else {"precision": precision}))
    lines = _feed(hll, kind, inputs, column, "distinct", threads)
    low, high = _library_call(hll.confidence_interval, confidence)
    estimate = hll.cardinality()
    if as_json:
        _print_json({"estimate": estimate, "low": low, "high": high, "confidence": confidence,
                     "precision": hll.precision, "standard_error": hll.standard_error, "items": lines})
    elif sys.stdout.isatty():
        _print_table(None, {"estimate": round(estimate), f"interval {confidence:g}": f"{math.floor(low)} to "
                            f"{math.ceil(high)}", "lines": lines, "precision": hll.precision})
    else:
        click.echo(f"{round(estimate)}\t{math.floor(low)}\t{math.ceil(high)}")


@cli.command(context_settings=CONTEXT, short_help="The N most frequent lines (top-k).")
@click.argument("n", type=int)
@_inputs
@click.option("--k", type=int, default=None, help="Counters kept (default: the larger of 10000 and 10 N).")
@click.option("--json", "as_json", is_flag=True, help="Print a JSON object.")
def top(n: int, inputs: tuple[str, ...], column: str | None, k: int | None, as_json: bool) -> None:
    """The N most frequent lines with their counts and error bounds.

    The bounded-memory cousin of `sort | uniq -c | sort -rn | head -N`: a top-k
    tracker of k counters. A line's true count lies between count - error and
    count; every line seen more than (lines / k) times is tracked. Prints a
    table on a terminal, else `item<TAB>count<TAB>error` lines.
    """
    kind = KINDS["topk"]
    tracker = _library_call(kind.cls, k if k is not None else max(10_000, 10 * n))
    lines = _feed(tracker, kind, inputs, column, "top")
    rows = _library_call(tracker.top_with_error, n)
    if as_json:
        _print_json({"k": tracker.k, "items": lines,
                     "top": [{"item": i, "count": c, "error": e} for i, c, e in rows]})
    elif sys.stdout.isatty():
        from rich.table import Table
        from rich.text import Text

        table = Table()
        table.add_column("#", justify="right")
        table.add_column("count", justify="right")
        table.add_column("error", justify="right")
        table.add_column("item", overflow="fold")
        for rank, (item, count, error) in enumerate(rows, 1):
            table.add_row(str(rank), str(count), str(error), Text(item))  # Text: items are not markup
        console = _console()
        console.print(table)
        console.print(f"{lines} lines, k = {tracker.k}; each true count lies in [count - error, count]",
                      markup=False, style="dim")
    else:
        out = "".join(map("%s\t%d\t%d\n".__mod__, rows))
        sys.stdout.buffer.write(out.encode("utf-8", "surrogateescape"))


QUANTILE_KINDS = [name for name, k in KINDS.items() if k.feeds == "numbers"]


def _quantile_levels(text: str) -> list[float]:
    try:
        qs = [float(q) for q in text.split(",") if q.strip()]
    except ValueError:
        raise click.BadParameter(f"not a comma-separated list of numbers: {text!r}", param_hint="--q") from None
    if not qs:
        raise click.BadParameter("give at least one q", param_hint="--q")
    return qs


@cli.command(context_settings=CONTEXT, short_help="Quantiles of the numbers of the inputs (KLL or DDSketch).")
@_inputs
@click.option("--q", "q_text", default="0.5,0.9,0.99", show_default=True, metavar="Q,...",
              help="The quantiles to print, each between 0 and 1.")
@click.option("--kind", "kind_name", type=click.Choice(QUANTILE_KINDS), default="kll", show_default=True,
              help="kll: rank error (KLLSketch); dd: relative value error (DDSketch).")
@click.option("--k", type=int, default=None, help="KLL accuracy parameter, 8 to 65535 (default 200).")
@click.option("--relative-accuracy", type=float, default=None,
              help="DDSketch: relative error of every quantile (default 0.01).")
@click.option("--json", "as_json", is_flag=True, help="Print a JSON object.")
def quantiles(inputs: tuple[str, ...], column: str | None, q_text: str, kind_name: str, k: int | None,
              relative_accuracy: float | None, as_json: bool) -> None:
    """Quantiles of the numbers of the inputs: `q<TAB>value` per line.

    The numbers are the lines (one per line) or the fields of --column.
    Blank lines, NaN and nulls are skipped; lines that are not numbers are
    counted and reported on stderr, and are an error only when no line is a
    number. Prints a table on a terminal.
    """
    qs = _quantile_levels(q_text)
    kind = KINDS[kind_name]
    params: dict[str, Any] = {}
    for option, param, value, applies in (("--k", "k", k, "kll"),
                                          ("--relative-accuracy", "relative_accuracy", relative_accuracy, "dd")):
        if value is not None:
            if kind.name != applies:
                raise click.UsageError(f"{option} applies to --kind {applies}")
            params[param] = value
    sketch = _library_call(kind.cls, **params)
    numbers = _feed(sketch, kind, inputs, column, "quantiles")
    values = _library_call(sketch.quantiles, qs)
    if as_json:
        _print_json({"kind": kind.name, "n": sketch.n, "numbers": numbers,
                     "quantiles": [{"q": q, "value": v} for q, v in zip(qs, values)]})
    elif sys.stdout.isatty():
        from rich.table import Table

        table = Table()
        table.add_column("q", justify="right")
        table.add_column("value", justify="right")
        for q, v in zip(qs, values):
            table.add_row(f"{q:g}", f"{v:.6g}")
        console = _console()
        console.print(table)
        console.print(f"{sketch.n} values, {kind.title}", markup=False, style="dim")
    else:
        click.echo("".join(f"{q:g}\t{v!r}\n" for q, v in zip(qs, values)), nl=False)


cli.add_command(overlap)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (the console script's entry point)."""
    try:
        try:
            rv = cli.main(args=list(argv) if argv is not None else None, prog_name="murk", standalone_mode=False)
            sys.stdout.flush()
        except (click.exceptions.Abort, _Interrupted):
            raise KeyboardInterrupt from None
        return rv if isinstance(rv, int) else 0
    except click.ClickException as e:  # usage mistakes: click's own convention
        e.show()
        return e.exit_code
    except CliError as e:
        _error(str(e))
        return EXIT_ERROR
    except KeyboardInterrupt:
        _error("interrupted", prefix="murk: ")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`murk query ... | head`): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        return 1
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 0
    except (ValueError, OverflowError, MemoryError, OSError) as e:
        _error(str(e) or type(e).__name__)
        return EXIT_ERROR
    except Exception as e:  # a fault of ours: still one line, but say what it was
        _error(f"internal error: {type(e).__name__}: {e}")
        return EXIT_ERROR


def _error(message: str, prefix: str = "murk: error: ") -> None:
    try:
        sys.stderr.write(f"{prefix}{message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
