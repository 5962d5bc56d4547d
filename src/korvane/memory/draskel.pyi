"""Allocation fast paths: size rounding and alignment, a bucketed best-fit index of free offsets, a 16-byte slab
header with CRC-16 checksum and object bitmap, and allocation statistics."""

import logging as logging
import threading as threading
from typing import Dict, Optional, SupportsInt, Union

from typing_extensions import Self, disjoint_base

# Integer arguments are converted to the native width named (an int directly, anything else through __int__, so a
# float truncates toward zero); values outside it raise OverflowError. Arithmetic wraps in that width.
_Int32 = Union[int, SupportsInt]  # signed 32-bit
_UInt64 = Union[int, SupportsInt]  # unsigned 64-bit

logger: logging.Logger

def fast_align_size(size: _Int32, alignment: _Int32) -> int:
    """size rounded up to a multiple of alignment; ValueError("Alignment must be a power of 2") otherwise."""

def fast_get_bucket_size(size: _Int32, step: _Int32 = 8) -> int:
    """size rounded up to a multiple of step (t - t rem step with t = size + step - 1, remainder truncated toward
    zero); 0 stays 0 and sizes <= 0 round toward 0. A step of 0 raises ZeroDivisionError."""

def fast_can_fit_aligned(block_offset: _Int32, block_size: _Int32, alloc_size: _Int32, alignment: _Int32) -> bool:
    """Whether alloc_size bytes at block_offset aligned up end before block_offset + block_size (exclusive)."""

def fast_bitmap_operations(bitmap: _UInt64, index: _Int32, operation: Optional[str]) -> Union[bool, int]:
    """operation "is_set" -> bool, "set" / "clear" -> the new bitmap, "find_first" -> lowest set bit or -1.
    Indices outside 0..63 name no bit. Anything else raises ValueError("Unknown operation: <operation>")."""

@disjoint_base
class FastBucketAllocator:
    """Free block offsets filed into size-class buckets, last in first out, with a best-fit search.

    Buckets are bucket_size_step, 2 * bucket_size_step, ... up to small_block_max, then small_block_max +
    bucket_size_step, ... up to medium_block_max (512 buckets with the defaults). _init_buckets is called once at
    construction as an ordinary method: a subclass that overrides it without calling the base has no buckets.
    A bucket_size_step of 0 raises ValueError at construction unless such an override keeps it; bucket operations
    then raise ZeroDivisionError for sizes within range.
    """

    def __new__(cls, bucket_size_step: _Int32 = 8, small_block_max: _Int32 = 256,
                medium_block_max: _Int32 = 4096) -> Self: ...
    def _init_buckets(self) -> None:
        """Initialize size-class buckets: every bucket of the layout, emptied."""
    def add_to_bucket(self, offset: _Int32, size: _Int32) -> bool:
        """Store offset in the bucket of exactly size; False if size is not itself a bucket size."""
    def remove_from_bucket(self, size: _Int32) -> Optional[int]:
        """Take the most recently added offset of the bucket that size rounds up to, or None."""
    def find_best_fit_bucket(self, size: _Int32, alignment: _Int32) -> Optional[int]:
        """Take an offset for size at alignment: the most recently added offset of the exact bucket, or else of the
        smallest larger bucket whose most recently added offset fits (aligned start + size <= offset + bucket
        size); one offset is tried per bucket and one that does not fit stays stored. None if none fits."""

@disjoint_base
class FastSlabHeaderOps:
    """A slab header: size class, flags (0x10 in use, 0x80 corrupt), generation, checksum and a 64-object bitmap.

    The record is struct "<BBLHQ" (16 bytes, little-endian) with a CRC-16/MODBUS checksum over bytes 0 to 5.
    """

    def __new__(cls, size_class_index: _Int32, objects_per_slab: _Int32) -> Self: ...
    def pack_header(self) -> bytes:
        """Pack header into bytes for storage (the checksum is recomputed)."""
    def unpack_header(self, data: Optional[bytes]) -> None:
        """Load a 16-byte record (ValueError for any other length). A checksum mismatch is no error: flag 0x80 is
        set and a WARNING is logged."""
    def py_is_object_free(self, object_index: _Int32) -> bool: ...
    def py_find_free_object(self) -> int:
        """Index of the first free object, or -1."""
    def py_allocate_object_at(self, object_index: _Int32) -> None: ...
    def py_deallocate_object_at(self, object_index: _Int32) -> None: ...

@disjoint_base
class FastStatsCollector:
    """Allocation and release counters of a memory pool (64-bit, wrapping), under one lock.

    The constructor ignores its arguments.
    """

    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    def py_record_allocation(self, size: _Int32, padding: _Int32, is_bucketed: object) -> None: ...
    def py_record_deallocation(self) -> None: ...
    def get_stats(self) -> Dict[str, Union[int, str]]:
        """total_allocations, total_deallocations, bucketed_allocations, fallback_allocations,
        bucketed_allocation_ratio (for example "66.7%") and alignment_padding_bytes, in that order."""
    def reset_stats(self) -> None: ...
