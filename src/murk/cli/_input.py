"""Reading items: the lines of files (plain or gzip) or stdin, in large blocks,
or one column of CSV or Parquet files; with a progress bar on a terminal."""
from __future__ import annotations

import csv
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO

from ._kinds import CliError

BLOCK = 1 << 20  # bytes read at a time: big enough to amortise each batch call, small enough to stay in cache


class Source:
    """One input: a path, or "-" for stdin; gzip when named .gz or when it
    starts with the gzip magic. The byte position counts the file's own
    bytes (compressed ones for gzip), which is what the size is."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.stdin = path == "-"
        self.size: int | None = None
        self.raw: BinaryIO | None = None
        self.start = 0
        self.gzip = not self.stdin and path.endswith(".gz")

    @property
    def label(self) -> str:
        return "stdin" if self.stdin else self.path

    def open_raw(self) -> BinaryIO:
        try:
            if self.stdin:
                raw: BinaryIO = sys.stdin.buffer
            else:
                raw = open(self.path, "rb")  # noqa: SIM115 - closed by the reader
            st = os.fstat(raw.fileno())
        except OSError as e:
            raise CliError(f"cannot read '{self.label}': {e.strerror or e}") from None
        if stat.S_ISDIR(st.st_mode):
            raise CliError(f"cannot read '{self.label}': Is a directory")
        if stat.S_ISREG(st.st_mode):
            self.start = raw.tell()
            self.size = st.st_size - self.start
        # Text never starts with the gzip magic, so a compressed stream is
        # decompressed whatever its name (stdin included).
        peek = getattr(raw, "peek", None)
        if peek is not None and peek(2)[:2] == b"\x1f\x8b":
            self.gzip = True
        self.raw = raw
        return raw

    def stat_size(self) -> int | None:
        """The size before opening, or None when it is not known in advance."""
        try:
            st = os.fstat(sys.stdin.fileno()) if self.stdin else os.stat(self.path)
        except (OSError, ValueError, AttributeError):
            return None  # reported when the input is opened
        return st.st_size if stat.S_ISREG(st.st_mode) else None

    def position(self) -> int:
        try:
            return self.raw.tell() - self.start if self.raw is not None else 0
        except OSError:
            return 0


def sources(paths: Sequence[str]) -> list[Source]:
    return [Source(p) for p in (paths or ["-"])]


class Progress:
    """Bytes consumed against the total size, drawn on stderr by rich only when
    stderr is a terminal and every input's size is known."""

    def __init__(self, srcs: Sequence[Source], description: str) -> None:
        sizes = [s.stat_size() for s in srcs]
        self.total = None if None in sizes or not sizes else sum(s for s in sizes if s is not None)
        self.description = description
        self._bar: Any = None
        self._task: Any = None

    def __enter__(self) -> Progress:
        if self.total is not None and sys.stderr is not None and sys.stderr.isatty():
            from rich.console import Console
            from rich.progress import (BarColumn, DownloadColumn, Progress as Bar, TextColumn,
                                       TimeRemainingColumn, TransferSpeedColumn)

            self._bar = Bar(TextColumn("{task.description}"), BarColumn(), DownloadColumn(),
                            TransferSpeedColumn(), TimeRemainingColumn(),
                            console=Console(stderr=True), transient=True)
            self._bar.__enter__()
            self._task = self._bar.add_task(self.description, total=self.total)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._bar is not None:
            self._bar.__exit__(*exc)

    def advance_to(self, completed: int) -> None:
        if self._bar is not None:
            self._bar.update(self._task, completed=completed)


def _split(block: bytes, text: bool, last: bool = False) -> list[Any]:
    """The lines of a block that ends with a newline (or is the input's last
    piece, without one): split at C speed."""
    if b"\r" in block:
        block = block.replace(b"\r\n", b"\n")
    lines: list[Any] = block.decode("utf-8", "replace").split("\n") if text else block.split(b"\n")
    if not last:
        lines.pop()  # the empty piece after the final newline
    return lines


def lines_of(stream: BinaryIO, text: bool, after_block: Callable[[], None] = lambda: None) -> Iterator[list[Any]]:
    """Lists of the lines of stream, one list per block read.

    A line ends at "\\n" or "\\r\\n"; a final line without a newline is still a
    line, and a final newline makes no empty one. A line longer than a block
    is carried across blocks. Lines are bytes, or str decoded from UTF-8 (bad
    bytes become U+FFFD) when text is true."""
    carry: list[bytes] = []
    while True:
        chunk = stream.read(BLOCK)
        if not chunk:
            break
        cut = chunk.rfind(b"\n") + 1
        if not cut:
            carry.append(chunk)
            continue
        head = chunk[:cut] if cut < len(chunk) else chunk
        if carry:
            carry.append(head)
            head = b"".join(carry)
            carry = []
        if cut < len(chunk):
            carry.append(chunk[cut:])
        yield _split(head, text)
        after_block()
    if carry:
        yield _split(b"".join(carry), text, last=True)
        after_block()


def line_batches(srcs: Sequence[Source], text: bool, progress: Progress) -> Iterator[list[Any]]:
    """The lines of every source in order, as lists."""
    done = 0
    for src in srcs:
        raw = src.open_raw()
        stream: BinaryIO = raw
        try:
            if src.gzip:
                import gzip

                stream = gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[assignment]
            try:
                yield from lines_of(stream, text, lambda: progress.advance_to(done + src.position()))
            except (OSError, EOFError) as e:  # unreadable file, damaged gzip stream
                raise CliError(f"cannot read '{src.label}': {getattr(e, 'strerror', None) or e}") from None
        finally:
            if not src.stdin:
                raw.close()
        done += src.size or 0


def require_arrow() -> None:
    """pyarrow is optional (the murk[arrow] extra): say so in one line when it is missing."""
    try:
        import pyarrow  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise CliError("--column needs pyarrow: pip install 'murk[arrow]'") from None


def column_batches(srcs: Sequence[Source], name: str, progress: Progress) -> Iterator[Any]:
    """Arrow arrays of one column of CSV files (read as text, so items are the
    fields as written) or Parquet files (.parquet, .pq), batch by batch."""
    require_arrow()
    import pyarrow as pa
    import pyarrow.csv as pacsv  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    done = 0
    for src in srcs:
        lower = src.path.lower()
        raw = src.open_raw()
        try:
            if lower.endswith((".parquet", ".pq")):
                pf = pq.ParquetFile(raw)
                if name not in pf.schema_arrow.names:
                    raise CliError(f"'{src.label}' has no column '{name}'")
                rows, seen = max(pf.metadata.num_rows, 1), 0
                for batch in pf.iter_batches(columns=[name], batch_size=1 << 16):
                    yield batch.column(0)
                    seen += batch.num_rows
                    progress.advance_to(done + (src.size or 0) * seen // rows)
            else:
                stream: Any = raw
                if src.gzip:
                    import gzip

                    stream = gzip.GzipFile(fileobj=raw, mode="rb")
                delimiter = "\t" if lower.removesuffix(".gz").endswith(".tsv") else ","
                # The header is read here, and pyarrow reads on from the line after it:
                # a pyarrow CSV reader over a Python stream that fails while opening
                # (a missing column) can abort the process at exit.
                header = next(csv.reader([stream.readline().decode("utf-8-sig")], delimiter=delimiter), [])
                if name not in header:
                    raise CliError(f"'{src.label}' has no column '{name}'")
                reader = pacsv.open_csv(
                    stream,
                    read_options=pacsv.ReadOptions(block_size=BLOCK, column_names=header),
                    parse_options=pacsv.ParseOptions(delimiter=delimiter),
                    # Fields as written; only an empty field is missing.
                    convert_options=pacsv.ConvertOptions(include_columns=[name], column_types={name: pa.string()},
                                                         null_values=[""], strings_can_be_null=True),
                )
                for batch in reader:
                    yield batch.column(0)
                    progress.advance_to(done + src.position())
        except (pa.ArrowException, OSError) as e:
            text = str(e)
            if "include_columns" in text or "No match for FieldRef" in text:
                raise CliError(f"'{src.label}' has no column '{name}'") from None
            raise CliError(f"cannot read '{src.label}': {text.splitlines()[0] if text else e}") from None
        finally:
            if not src.stdin:
                raw.close()
        done += src.size or 0
