"""Reading items: the lines of files (plain or gzip) or stdin, as buffers the
sketches read in place (regular files mapped, streams in large blocks), or one
column of CSV or Parquet files; with a progress bar on a terminal."""
from __future__ import annotations

import csv
import mmap
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO

from ._kinds import CliError

BLOCK = 1 << 20  # bytes read at a time: big enough to amortise each batch call, small enough to stay in cache
STREAM_BLOCK = 1 << 22  # bytes of a stream read per native call
SLICE = 1 << 24  # a mapped file is fed in slices of about this size, so the progress bar moves


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
    """The lines of every source in order, as lists (for sketches without a
    lines method; the others read line_buffers in place)."""
    for buf in line_buffers(srcs, progress):
        block = bytes(buf)
        yield _split(block, text, last=not block.endswith(b"\n"))


def line_buffers(srcs: Sequence[Source], progress: Progress) -> Iterator[Any]:
    """Buffers of whole lines of every source in order: a regular file is
    mapped and handed out in slices cut at line ends, a stream (stdin, gzip)
    is read in large blocks with its partial last line carried over. The
    last buffer of a source may end without a newline."""
    done = 0
    for src in srcs:
        for buf, pos in source_buffers(src):
            yield buf
            progress.advance_to(done + pos)
        done += src.size or 0


class Mapped:
    """A regular, uncompressed source mapped read-only (data is None when it
    is empty): its lines can be split among threads and read in place."""

    def __init__(self, src: Source, raw: BinaryIO) -> None:
        self.src = src
        self.start = src.start
        self.map: mmap.mmap | None = None
        if src.size:
            try:
                self.map = mmap.mmap(raw.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError) as e:
                raise CliError(f"cannot read '{src.label}': {getattr(e, 'strerror', None) or e}") from None

    def __len__(self) -> int:
        return len(self.map) - self.start if self.map is not None else 0

    def slices(self, start: int, end: int) -> Iterator[tuple[Any, int]]:
        """(buffer, position after it) for [start, end) of the source, in slices cut at line ends."""
        assert self.map is not None
        m, base = self.map, self.start
        with memoryview(m) as view:
            pos = start
            while pos < end:
                stop = min(pos + SLICE, end)
                if stop < end:
                    cut = m.rfind(b"\n", base + pos, base + stop)
                    stop = cut + 1 - base if cut >= 0 else line_start(m, base + stop, base + end) - base
                part = view[base + pos:base + stop]
                yield part, stop
                part.release()
                pos = stop

    def close(self) -> None:
        if self.map is not None:
            try:
                self.map.close()
            except BufferError:  # a caller still holds a slice: the mapping goes with it
                pass


def line_start(data: Any, pos: int, end: int) -> int:
    """The first position at or after pos, up to end, where a line starts."""
    if pos <= 0:
        return 0
    nl = data.find(b"\n", pos - 1, end)
    return nl + 1 if nl >= 0 else end


def split_points(data: Any, start: int, end: int, parts: int) -> list[tuple[int, int]]:
    """[start, end) cut at line starts into at most parts non-empty ranges of about equal size."""
    cuts = [start]
    for i in range(1, parts):
        cuts.append(max(cuts[-1], line_start(data, start + (end - start) * i // parts, end)))
    cuts.append(end)
    return [(a, b) for a, b in zip(cuts, cuts[1:]) if a < b]


def open_source(src: Source) -> tuple[BinaryIO, BinaryIO | Mapped]:
    """The raw file and what to read: a Mapped file, or a stream (decompressed for gzip)."""
    raw = src.open_raw()
    if src.size is not None and not src.gzip:
        try:
            return raw, Mapped(src, raw)
        except BaseException:
            if not src.stdin:
                raw.close()
            raise
    if src.gzip:
        import gzip

        return raw, gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    return raw, raw


def source_buffers(src: Source) -> Iterator[tuple[Any, int]]:
    """(buffer, bytes of the source consumed) for the whole lines of one source."""
    raw, reader = open_source(src)
    try:
        yield from buffers_of(src, reader)
    finally:
        close_source(src, raw, reader)


def buffers_of(src: Source, reader: BinaryIO | Mapped) -> Iterator[tuple[Any, int]]:
    if isinstance(reader, Mapped):
        if len(reader):
            yield from reader.slices(0, len(reader))
        return
    try:
        for block in stream_blocks(reader):
            yield block, src.position()
    except (OSError, EOFError) as e:  # unreadable file, damaged gzip stream
        raise CliError(f"cannot read '{src.label}': {getattr(e, 'strerror', None) or e}") from None


def close_source(src: Source, raw: BinaryIO, reader: BinaryIO | Mapped) -> None:
    if isinstance(reader, Mapped):
        reader.close()
    if not src.stdin:
        raw.close()


def stream_blocks(stream: BinaryIO) -> Iterator[bytes]:
    """Blocks of whole lines of a stream; the last may end without a newline.
    A line longer than a block is gathered across blocks."""
    carry: list[bytes] = []
    while True:
        chunk = stream.read(STREAM_BLOCK)
        if not chunk:
            break
        cut = chunk.rfind(b"\n") + 1
        if not cut:
            carry.append(chunk)
            continue
        head = chunk if cut == len(chunk) else chunk[:cut]
        if carry:
            head = b"".join([*carry, head])
            carry = []
        if cut < len(chunk):
            carry.append(chunk[cut:])
        yield head
    if carry:
        yield b"".join(carry)


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
