"""Red-black tree of free memory blocks keyed by size, with lock-free lookups validated by a sequence counter."""

import math as math
import threading as threading
import time as time
from typing import Any, Dict, List, Optional, Tuple

from typing_extensions import Self, disjoint_base

from .lorrit import MemoryBlock as MemoryBlock
from .tessin import AtomicCounter as AtomicCounter

# False (and AtomicCounter None) when korvane.memory.tessin could not be imported; trees then keep no counters.
ATOMIC_AVAILABLE: bool

@disjoint_base
class FastRedBlackTree:
    """Ordered index of blocks by size: one tree node per distinct size, further blocks of a size in a chain.

    Writers (insert, delete, clear, remove_ge) are serialised by a lock; find_best_fit and find_all_exact take no
    lock and retry (at most 100 times, sleeping 0.0001 s while a write is in progress) until they read a stable tree.
    sample_rate: every sample_rate-th insertion is counted in get_stats()['sampled_operations']; 0 turns sampling
    off. Must fit an unsigned 32-bit integer.
    """

    def __new__(cls, sample_rate: int = 100) -> Self: ...
    @staticmethod
    def _sanitize_size(size: int) -> int:
        """Validate size: returns it, or raises ValueError("Invalid size: <size>") when negative."""
    def insert(self, size: int, block: MemoryBlock) -> bool:
        """Insert block into tree. Always True; a negative size raises ValueError, 2**64 or more OverflowError."""
    def delete(self, size: int, block: MemoryBlock) -> bool:
        """Delete the first stored block of that size equal (==) to block: the size's first block, then the others
        from the most recently inserted. False if none matched or the size is negative."""
    def clear(self) -> None:
        """Clear all blocks; statistics and counters start again from zero."""
    def find_best_fit(self, size: int, alignment: int = 1) -> Optional[MemoryBlock]:
        """First block of the smallest stored size >= size, or None. alignment is accepted and ignored."""
    def find_all_exact(self, size: int) -> List[MemoryBlock]:
        """All blocks of exactly size: the first block, then the others from the most recently inserted."""
    def remove_ge(self, size: int) -> Tuple[Optional[int], Optional[MemoryBlock]]:
        """Remove and return (stored size, block) for the smallest stored size >= size, or (None, None)."""
    def get_stats(self) -> Dict[str, Any]:
        """The operation counters, then node_count, height, sampled_operations and is_valid."""
    def size(self) -> int:
        """Get total block count."""
    def get_size_distribution(self) -> Dict[int, int]:
        """Stored size -> number of blocks, in pre-order of the tree."""
    def reset_circuit_breaker(self) -> None:
        """Set the circuit_breaker_trips and operation_count counters to 0."""
    def get_statistics(self) -> Dict[int, List[float]]:
        """Get timing statistics (always empty in sampling mode)."""
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
