"""Sketch files on the command line: how a file of each kind is recognised,
loaded and written. The kinds themselves come from the package's registry."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any

from .._kinds import Kind, Option, buildable

__all__ = ["KINDS", "CliError", "Kind", "Loaded", "Option", "load", "serialize", "write_atomic"]

# The kinds a command line builds from lines or columns of values.
KINDS: dict[str, Kind] = buildable()


class CliError(Exception):
    """A failure reported as one `murk: error: ...` line."""


_MAGICS: dict[bytes, Kind] = {}
_FIELDS: list[tuple[frozenset[str], Kind]] = []


def _by_magic() -> dict[bytes, Kind]:
    if not _MAGICS:
        _MAGICS.update((k.magic, k) for k in KINDS.values())
    return _MAGICS


def _field_sets() -> list[tuple[frozenset[str], Kind]]:
    # The record's field names, as this build of the library writes them.
    if not _FIELDS:
        _FIELDS.extend((frozenset(json.loads(k.tiny().to_json())), k) for k in KINDS.values())
    return _FIELDS


def kind_of_record(record: Any) -> Kind | None:
    """The kind whose fields a JSON record holds (loaders ignore extra members)."""
    if not isinstance(record, dict):
        return None
    found = [k for fields, k in _field_sets() if fields <= record.keys()]
    return found[0] if len(found) == 1 else None


@dataclass
class Loaded:
    sketch: Any
    kind: Kind
    form: str  # "binary" or "json"


def load(path: str, kind: Kind | None = None) -> Loaded:
    """A sketch file in either form; the kind comes from the magic or the record's fields."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise CliError(f"cannot open '{path}': {e.strerror or e}") from None
    looks_json = data.lstrip()[:1] in (b"{", b"[")
    try:
        if data[:4] in _by_magic() or (kind is not None and not looks_json):
            kind = kind or _by_magic()[data[:4]]
            return Loaded(kind.cls.from_bytes(data), kind, "binary")
        if not looks_json:
            raise CliError(f"'{path}' is not a murk sketch (unknown magic {data[:4]!r})")
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise CliError(f"'{path}' is not a murk sketch: {e}") from None
        if kind is None:
            try:
                record = json.loads(text)
            except ValueError as e:
                raise CliError(f"'{path}' is not a murk sketch: invalid JSON: {e}") from None
            kind = kind_of_record(record)
            if kind is None:
                raise CliError(f"'{path}': cannot tell the kind of this JSON record; name it with --kind")
        return Loaded(kind.cls.from_json(text), kind, "json")
    except (ValueError, OverflowError, MemoryError) as e:
        # The library's own message (bad magic, version, checksum, fields), unchanged.
        raise CliError(f"'{path}': {e}") from None


def serialize(sketch: Any, as_json: bool) -> bytes:
    return (sketch.to_json() + "\n").encode() if as_json else bytes(sketch.to_bytes())


def write_atomic(path: str, data: bytes) -> None:
    """Write data to path so that readers see the old file or the new one, never a part.

    The temporary file sits beside the target and is renamed over it; any
    failure or interruption removes it and leaves the old file as it was."""
    import tempfile

    target = os.path.realpath(path)  # replace what a symlink points at, not the link
    try:
        mode = os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    except OSError as e:
        raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
    try:
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".tmp")
    except OSError as e:
        raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise CliError(f"cannot write '{path}': {e.strerror or e}") from None
        raise
