"""`murk overlap`: how the sets of two or more theta sketches overlap."""
from __future__ import annotations

import json
import math
import sys
from typing import Any

import click

from ._kinds import KINDS, CliError, load

CONTEXT = {"help_option_names": ["-h", "--help"], "max_content_width": 100}


def _rows(files: tuple[str, ...], sketches: list[Any]) -> list[tuple[str, Any]]:
    from murk import ThetaSketch

    rows = [("union", ThetaSketch.union(sketches)), ("intersection", ThetaSketch.intersection(sketches))]
    for i, name in enumerate(files):
        others = sketches[:i] + sketches[i + 1:]
        rows.append((f"only {name}", sketches[i] - ThetaSketch.union(others)))
    return rows


@click.command(context_settings=CONTEXT, short_help="Union, intersection and differences of theta sketches.")
@click.argument("files", nargs=-1, required=True, metavar="FILE FILE...")
@click.option("--num-std", type=click.IntRange(1, 3), default=2, show_default=True,
              help="Standard deviations of the bounds (1, 2 or 3).")
@click.option("--json", "as_json", is_flag=True, help="Print a JSON object.")
def overlap(files: tuple[str, ...], num_std: int, as_json: bool) -> None:
    """Estimate how the sets of two or more theta sketches overlap.

    Prints the estimated size of their union, of their intersection and, for
    each FILE, of the items only it has, with bounds at --num-std standard
    deviations: `set<TAB>estimate<TAB>low<TAB>high` lines, or a table on a
    terminal.

    \b
    murk build theta monday.txt -o mon.theta
    murk build theta tuesday.txt -o tue.theta
    murk overlap mon.theta tue.theta
    """
    if len(files) < 2:
        raise click.UsageError("give two or more sketch files")
    kind = KINDS["theta"]
    sketches = []
    for f in files:
        loaded = load(f)
        if loaded.kind is not kind:
            raise CliError(f"'{f}' is a {loaded.kind.name} sketch; overlap takes theta sketches")
        sketches.append(loaded.sketch)
    try:
        rows = [(name, s.estimate(), s.lower_bound(num_std), s.upper_bound(num_std)) for name, s in
                _rows(files, sketches)]
    except ValueError as e:
        raise CliError(str(e)) from None
    if as_json:
        click.echo(json.dumps({"files": list(files), "num_std": num_std, "sets": [
            {"set": name, "estimate": est, "low": low, "high": high} for name, est, low, high in rows]}, indent=2))
    elif sys.stdout.isatty():
        from rich.console import Console
        from rich.table import Table
        from rich.text import Text

        table = Table()
        for column in ("set", "estimate", "low", "high"):
            table.add_column(column, justify="left" if column == "set" else "right")
        for name, est, low, high in rows:
            table.add_row(Text(name), f"{round(est):,}", f"{math.floor(low):,}", f"{math.ceil(high):,}")
        console = Console(highlight=False)
        console.print(table)
        console.print(f"bounds at {num_std} standard deviations", markup=False, style="dim")
    else:
        out = "".join(f"{name}\t{round(est)}\t{math.floor(low)}\t{math.ceil(high)}\n" for name, est, low, high in rows)
        sys.stdout.buffer.write(out.encode("utf-8", "surrogateescape"))
