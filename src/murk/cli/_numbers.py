"""Numbers for the quantile sketches: lines or column fields parsed as
floats. Blank lines are skipped, as are NaN and nulls (the sketches skip
them too); anything else that is not a number is counted and reported, and
is fatal only when no line at all was a number."""
from __future__ import annotations

import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._input import Progress, column_batches, line_batches, require_arrow, sources
from ._kinds import CliError

if TYPE_CHECKING:
    import numpy as np


@dataclass
class Tally:
    numbers: int = 0  # values parsed (NaN included; the sketch skips those)
    bad: int = 0
    first_bad: str | None = None

    def report(self) -> None:
        """Bad lines on stderr; an error when nothing was a number."""
        if not self.bad:
            return
        if self.numbers == 0:
            raise CliError(f"no numbers in the input: {self.bad} line(s) are not numbers (first: {self.first_bad!r})")
        sys.stderr.write(f"murk: warning: skipped {self.bad} line(s) that are not numbers "
                         f"(first: {self.first_bad!r})\n")
        sys.stderr.flush()


def parse(lines: Iterable[Any], tally: Tally) -> np.ndarray:
    """The float64 values of lines (bytes or str), bad ones counted in tally."""
    import numpy as np  # only the quantile commands need it: imported when they run

    batch = lines if isinstance(lines, list) else list(lines)
    try:
        values = np.array(batch, dtype=np.float64)  # every line a number: one C loop
    except (ValueError, TypeError):
        good: list[float] = []
        for line in batch:
            try:
                good.append(float(line))
            except (ValueError, TypeError):
                if not line.strip():
                    continue
                tally.bad += 1
                if tally.first_bad is None:
                    text = line.decode("utf-8", "replace") if isinstance(line, bytes) else str(line)
                    tally.first_bad = text[:60]
        values = np.array(good, dtype=np.float64)
    tally.numbers += len(values)
    return values


def _is_numeric(array: Any) -> bool:
    import pyarrow as pa  # type: ignore[import-untyped]

    t = array.type
    return bool(pa.types.is_integer(t) or pa.types.is_floating(t))


def feed_numbers(sketch: Any, inputs: Sequence[str], column: str | None, what: str) -> Tally:
    """Add the numbers of the inputs' lines (or of one column) to sketch."""
    srcs = sources(inputs)
    tally = Tally()
    with Progress(srcs, what) as progress:
        if column is not None:
            require_arrow()
            for array in column_batches(srcs, column, progress):
                if _is_numeric(array):  # a Parquet column of numbers: read in place
                    sketch.update_column(array)
                    tally.numbers += len(array) - array.null_count
                else:
                    sketch.update_array(parse(array.drop_null().to_pylist(), tally))
        else:
            for lines in line_batches(srcs, False, progress):
                sketch.update_array(parse(lines, tally))
    tally.report()
    return tally
