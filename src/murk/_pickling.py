"""Pickling and copying of the native classes, registered through copyreg.

The extension types cannot be pickled by reference (their ``__module__`` is
"builtins"), so each instance reduces to a call of :func:`restore` with its
class name and its checksummed binary form. A pickle therefore names only
``murk._pickling.restore``: it loads in a process that has not imported murk
yet, and a damaged payload fails the loader's checks instead of building a
wrong object. Stored pickles depend on this name and signature.
"""
from __future__ import annotations

import copyreg
from typing import Any

_classes: dict[str, Any] = {}


def restore(name: str, data: bytes) -> Any:
    """Rebuild an object from its class name and ``to_bytes()`` form."""
    cls = _classes.get(name) if isinstance(name, str) else None
    if cls is None:
        raise ValueError(f"cannot restore a murk object of unknown class {name!r}")
    return cls.from_bytes(data)


def _reduce(obj: Any) -> tuple[Any, tuple[str, bytes]]:
    return restore, (type(obj).__name__, obj.to_bytes())


def register(*classes: type) -> None:
    """Make instances of the classes picklable (copy.copy and copy.deepcopy use the same table)."""
    for cls in classes:
        _classes[cls.__name__] = cls
        copyreg.pickle(cls, _reduce)
