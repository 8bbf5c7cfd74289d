"""Fast probabilistic data structures with a C++ core.

The eight classes are the extension module's own types; importing this package
also makes them picklable and copyable. MinHashLSH, the near-duplicate index
over MinHash signatures, lives in the package's own extension module
murk._sketches, and so do the quantile sketches (KLLSketch, DDSketch). Every class is listed once, in the registry murk._kinds, which
pickling, murk.dask and the command line read.
"""
from typing import Any

from _murk import (
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    ScalableBloomFilter,
    TopK,
)

from ._kinds import KINDS as _KINDS
from ._pickling import register as _register_pickling
from ._sketches import (
    DDSketch,
    KLLSketch,
    MinHashLSH,
    ThetaSketch,
)



def __getattr__(name: str) -> Any:
    # The version is looked up on first use: reading the installed metadata
    # costs more than the rest of the import, and the command line starts often.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("murk")
        except PackageNotFoundError:  # imported from a build tree that was never installed
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module 'murk' has no attribute {name!r}")

_register_pickling(*(kind.cls for kind in _KINDS.values()))

__all__ = [
    "BloomFilter",
    "CountingBloomFilter",
    "ScalableBloomFilter",
    "CuckooFilter",
    "HyperLogLog",
    "CountMinSketch",
    "MinHash",
    "TopK",
    "MinHashLSH",
    "KLLSketch",
    "DDSketch",
    "ThetaSketch",
]
