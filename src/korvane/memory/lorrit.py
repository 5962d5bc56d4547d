"""Memory blocks handed around by the package's pools.

A :class:`MemoryBlock` names one free region of a pool by its offset and size.
Blocks are plain values: two blocks are equal when they describe the same
region, which is how the block tree (``korvane.memory.orvelle``) finds the
block to delete.
"""

from dataclasses import dataclass

__all__ = ["MemoryBlock"]


@dataclass(frozen=True)
class MemoryBlock:
    """A region of ``size`` bytes starting ``offset`` bytes into its pool."""

    offset: int
    size: int
