"""Fast probabilistic data structures with a C++ core.

The eight classes are the extension module's own types; importing this package
also makes them picklable and copyable. MinHashLSH, the near-duplicate index
over MinHash signatures, lives in the package's own extension module
murk._sketches. Every class is listed once, in the registry murk._kinds, which
pickling, murk.dask and the command line read.
"""
from importlib.metadata import PackageNotFoundError, version

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
from ._sketches import MinHashLSH, ThetaSketch

try:
    __version__ = version("murk")
except PackageNotFoundError:  # imported from a build tree that was never installed
    __version__ = "0+unknown"

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
    "ThetaSketch",
]
