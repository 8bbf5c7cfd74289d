"""The `murk` command: build, update, query and inspect sketches from the shell.

Items are the lines of the inputs (files, `.gz` files, or stdin), read in large
blocks and fed to the batch methods, or one column of CSV or Parquet files.
Every command that reads a sketch file takes its binary form (the kind comes
from the magic) or its JSON form (the kind comes from the record's fields).
Errors are one line on stderr, `murk: error: ...`, with exit status 2; `query
--quiet` exits 1 when an item is absent; an interruption exits 130.
"""
from __future__ import annotations

import json
import math
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import click

import murk

from ._input import Progress, column_batches, line_batches, require_arrow, sources
from ._kinds import KINDS, CliError, Kind, Loaded, load, serialize, write_atomic
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


def _feed(sketch: Any, kind: Kind, inputs: Sequence[str], column: str | None, what: str) -> int:
    """Add every item of the inputs to sketch; returns how many were added."""
    srcs = sources(inputs)
    total = 0
    with Progress(srcs, what) as progress:
        if column is not None:
            require_arrow()
            for array in column_batches(srcs, column, progress):
                n = len(array) - array.null_count
                _check_added(kind, _library_call(sketch.update_column, array), n, total)
                total += n
        else:
            for lines in line_batches(srcs, kind.text_items, progress):
                _check_added(kind, _library_call(sketch.update, lines), len(lines), total)
                total += len(lines)
    return total


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
@click.version_option(murk.__version__, "-V", "--version", prog_name="murk")
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


def _build_command(kind: Kind) -> click.Command:
    def run(inputs: tuple[str, ...], output: str, as_json: bool, column: str | None, **params: Any) -> None:
        given = {o.param: params[o.param] for o in kind.options if params[o.param] is not None}
        sketch = _library_call(kind.cls, **given)
        _feed(sketch, kind, inputs, column, f"build {kind.name}")
        _write(output, serialize(sketch, as_json))

    cmd = click.Command(
        kind.name, callback=run, context_settings=CONTEXT,
        help=f"Build a {kind.title} from the items of the inputs and write it to -o FILE.",
        short_help=f"{kind.title}.",
    )
    # Options are passed to the constructor as given; its own checks report bad values.
    for o in kind.options:
        cmd.params.append(click.Option([o.flag, o.param], type=o.type, default=None, required=o.required, help=o.help))
    cmd.params += [
        click.Option(["-o", "--output"], required=True, metavar="FILE", help="Where to write the sketch ('-' for stdout)."),
        click.Option(["--json", "as_json"], is_flag=True, help="Write the JSON form instead of the binary form."),
        click.Option(["--column"], metavar="NAME", default=None, help=COLUMN_HELP),
        click.Argument(["inputs"], nargs=-1, metavar="[INPUT]..."),
    ]
    return cmd


for _k in KINDS.values():
    build.add_command(_build_command(_k))


@cli.command(context_settings=CONTEXT, short_help="Add items to a sketch file, saved atomically.")
@click.argument("file")
@_inputs
@click.option("--json", "as_json", is_flag=True, help="Save in the JSON form (default: keep the file's form).")
@_kind_option
def add(file: str, inputs: tuple[str, ...], column: str | None, as_json: bool, kind: str | None) -> None:
    """Add the items of the inputs to the sketch in FILE and save it atomically.

    An error or an interruption leaves FILE as it was.
    """
    loaded = load(file, _kind(kind))
    _feed(loaded.sketch, loaded.kind, inputs, column, f"add to {loaded.kind.name}")
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
    batches: Iterable[list[Any]]
    if items:
        raw = [os.fsencode(i) for i in items]  # the argument's bytes, as a line would give them
        batches = [[b.decode("utf-8", "replace") for b in raw] if k.text_items else raw]
    elif sys.stdin.isatty():
        batches = _typed_lines(k.text_items)  # someone typing: answer each line at once
    else:
        batches = line_batches(sources(["-"]), k.text_items, Progress([], ""))
    out = sys.stdout.buffer
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


def _typed_lines(text: bool) -> Iterable[list[Any]]:
    for line in sys.stdin.buffer:
        line = line.removesuffix(b"\n").removesuffix(b"\r")
        yield [line.decode("utf-8", "replace") if text else line]


def _fmt(value: Any) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return " to ".join(_fmt(v) for v in value)
    return str(value)


@cli.command(context_settings=CONTEXT, short_help="Kind, parameters, counts, size and health of a sketch.")
@click.argument("file")
@click.option("--json", "as_json", is_flag=True, help="Print the report as a JSON object.")
@_kind_option
def info(file: str, as_json: bool, kind: str | None) -> None:
    """Show what the sketch in FILE is: its kind, parameters, counts, size,
    fill and health, and its estimate where it has one."""
    loaded = load(file, _kind(kind))
    report = {"file": file, "kind": loaded.kind.name, "form": loaded.form, **loaded.kind.info(loaded.sketch)}
    if as_json:
        _print_json(report)
        return
    from rich.table import Table
    from rich.text import Text

    table = Table(title=Text(f"{file}: {loaded.kind.title}"), show_header=False, title_justify="left")
    table.add_column("field", style="bold")
    table.add_column("value", overflow="fold")
    for key, value in report.items():
        if key != "file":
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
def distinct(inputs: tuple[str, ...], column: str | None, precision: int | None, confidence: float,
             as_json: bool) -> None:
    """Estimate the number of distinct lines: `estimate<TAB>low<TAB>high`.

    The bounded-memory cousin of `sort -u | wc -l`: a HyperLogLog of 2**precision
    bytes, whatever the input's size. low and high bound the interval at the
    given confidence.
    """
    kind = KINDS["hll"]
    hll = _library_call(kind.cls, **({} if precision is None else {"precision": precision}))
    lines = _feed(hll, kind, inputs, column, "distinct")
    low, high = _library_call(hll.confidence_interval, confidence)
    estimate = hll.cardinality()
    if as_json:
        _print_json({"estimate": estimate, "low": low, "high": high, "confidence": confidence,
                     "precision": hll.precision, "standard_error": hll.standard_error, "items": lines})
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
