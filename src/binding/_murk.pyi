"""A Python module for probabilistic data structures."""

# The typed surface lives in the murk package, where type checkers find it.
from murk import (
    BloomFilter as BloomFilter,
    CountingBloomFilter as CountingBloomFilter,
    CountMinSketch as CountMinSketch,
    CuckooFilter as CuckooFilter,
    HyperLogLog as HyperLogLog,
    MinHash as MinHash,
    ScalableBloomFilter as ScalableBloomFilter,
    TopK as TopK,
)

__all__ = ["BloomFilter", "CountingBloomFilter", "ScalableBloomFilter", "CuckooFilter", "HyperLogLog", "CountMinSketch", "MinHash", "TopK"]
