"""korvane.memory.draskel against pure-Python versions of the same operations (struct for the record, a Python
CRC table for the checksum, threading.Lock where the native class holds its lock)."""
import logging
import struct
import threading

from _timing import Candidate, Row

from korvane.memory.draskel import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

logger = logging.getLogger("bench_draskel")

# ---------------------------------------------------------------------------
# Pure-Python versions: what a pool would run without the native module.
# The tests run them side by side with the native ones as a differential
# check, so they follow the documented behaviour (truncated remainders, last
# in first out, one offset tried per bucket) for sizes inside the 32-bit range.
# ---------------------------------------------------------------------------


def _trunc_rem(value, step):
    rem = abs(value) % abs(step)
    return -rem if value < 0 else rem


def py_align_size(size, alignment):
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & -alignment


def py_get_bucket_size(size, step=8):
    t = size + step - 1
    return t - _trunc_rem(t, step)


def py_can_fit_aligned(block_offset, block_size, alloc_size, alignment):
    aligned_offset = (block_offset + alignment - 1) & -alignment
    return aligned_offset + alloc_size < block_offset + block_size


def py_bitmap_operations(bitmap, index, operation):
    if operation == "is_set":
        return 0 <= index < 64 and bool(bitmap >> index & 1)
    if operation == "set":
        return bitmap | (1 << index) if 0 <= index < 64 else bitmap
    if operation == "clear":
        return bitmap & ~(1 << index) if 0 <= index < 64 else bitmap
    if operation == "find_first":
        return (bitmap & -bitmap).bit_length() - 1
    raise ValueError("Unknown operation: " + str(operation))


class PyBucketAllocator:
    def __init__(self, bucket_size_step=8, small_block_max=256, medium_block_max=4096):
        self.bucket_size_step = bucket_size_step
        self.small_block_max = small_block_max
        self.medium_block_max = medium_block_max
        self.buckets = {}
        self._lock = threading.Lock()
        self._init_buckets()

    def _init_buckets(self):
        step = self.bucket_size_step
        for size in range(step, self.small_block_max + 1, step):
            self.buckets[size] = []
        for size in range(self.small_block_max + step, self.medium_block_max + 1, step):
            self.buckets[size] = []

    def get_bucket_size_fast(self, size):
        if size <= self.small_block_max or size <= self.medium_block_max:
            return py_get_bucket_size(size, self.bucket_size_step)
        return -1

    def add_to_bucket(self, offset, size):
        bucket_size = self.get_bucket_size_fast(size)
        if bucket_size <= 0 or size != bucket_size:
            return False
        with self._lock:
            bucket = self.buckets.get(bucket_size)
            if bucket is None:
                return False
            bucket.append(offset)
            return True

    def remove_from_bucket(self, size):
        bucket_size = self.get_bucket_size_fast(size)
        if bucket_size <= 0:
            return None
        with self._lock:
            bucket = self.buckets.get(bucket_size)
            if bucket:
                return bucket.pop()
            return None

    def find_best_fit_bucket(self, size, alignment):
        bucket_size = self.get_bucket_size_fast(size)
        if bucket_size <= 0:
            return None
        with self._lock:
            bucket = self.buckets.get(bucket_size)
            if bucket:
                offset = bucket.pop()
                if ((offset + alignment - 1) & -alignment) + size <= offset + bucket_size:
                    return offset
                bucket.append(offset)
            for check_size in sorted(self.buckets):
                if check_size > bucket_size:
                    bucket = self.buckets[check_size]
                    if bucket:
                        offset = bucket.pop()
                        if ((offset + alignment - 1) & -alignment) + size <= offset + check_size:
                            return offset
                        bucket.append(offset)
            return None


_HEADER = struct.Struct("<BBLHQ")


def _make_crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_CRC_TABLE = _make_crc_table()


def py_crc16_modbus(data):
    crc = 0xFFFF
    table = _CRC_TABLE
    for byte in data:
        crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF]
    return crc


class PySlabHeaderOps:
    def __init__(self, size_class_index, objects_per_slab):
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.generation = 0
        self.checksum = 0
        self.objects_per_slab = objects_per_slab
        self.bitmap = self._all_free()

    def _all_free(self):
        if self.objects_per_slab >= 64:
            return (1 << 64) - 1
        return (1 << self.objects_per_slab) - 1 if self.objects_per_slab > 0 else 0

    def compute_checksum(self):
        return py_crc16_modbus(_HEADER.pack(self.size_class_index, self.flags, self.generation, 0, 0)[:6])

    def pack_header(self):
        self.checksum = self.compute_checksum()
        return _HEADER.pack(self.size_class_index, self.flags, self.generation, self.checksum, self.bitmap)

    def unpack_header(self, data):
        if len(data) != 16:
            raise ValueError("Invalid header length: %d bytes (expected 16)" % len(data))
        self.size_class_index, self.flags, self.generation, stored_crc, self.bitmap = _HEADER.unpack(data)
        computed_crc = self.compute_checksum()
        if stored_crc != computed_crc:
            self.flags |= 0x80
            logger.warning(
                "Header corruption detected: stored=%s, computed=%s" % (format(stored_crc, "04x"), format(computed_crc, "04x"))
            )

    def py_is_object_free(self, object_index):
        return 0 <= object_index < 64 and bool(self.bitmap >> object_index & 1)

    def py_find_free_object(self):
        return (self.bitmap & -self.bitmap).bit_length() - 1

    def py_allocate_object_at(self, object_index):
        if 0 <= object_index < 64:
            self.bitmap &= ~(1 << object_index)
        self.flags |= 0x10
        self.generation = (self.generation + 1) & 0xFFFFFFFF

    def py_deallocate_object_at(self, object_index):
        if 0 <= object_index < 64:
            self.bitmap |= 1 << object_index
        self.generation = (self.generation + 1) & 0xFFFFFFFF
        if self.bitmap == self._all_free():
            self.flags &= ~0x10


class PyStatsCollector:
    def __init__(self):
        self._lock = threading.Lock()
        self.reset_stats()

    def py_record_allocation(self, size, padding, is_bucketed):
        with self._lock:
            self.alignment_padding_bytes = (self.alignment_padding_bytes + padding) & 0xFFFFFFFFFFFFFFFF
            self.total_allocations += 1
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1

    def py_record_deallocation(self):
        with self._lock:
            self.total_deallocations += 1

    def get_stats(self):
        with self._lock:
            total_allocs = self.total_allocations
            bucketed_ratio = self.bucketed_allocations / total_allocs * 100 if total_allocs > 0 else 0
            return {
                "total_allocations": total_allocs,
                "total_deallocations": self.total_deallocations,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": format(bucketed_ratio, ".1f") + "%",
                "alignment_padding_bytes": self.alignment_padding_bytes,
            }

    def reset_stats(self):
        with self._lock:
            self.total_allocations = 0
            self.total_deallocations = 0
            self.bucketed_allocations = 0
            self.fallback_allocations = 0
            self.alignment_padding_bytes = 0


# ---------------------------------------------------------------------------
# Rows
# ---------------------------------------------------------------------------


def _pair(operation, native_stmt, python_stmt, ns, setup="pass"):
    return Row("draskel", operation, [
        Candidate("korvane draskel", native_stmt, ns, setup),
        Candidate("pure-Python version", python_stmt, ns, setup),
    ])


def rows():
    record = FastSlabHeaderOps(3, 10).pack_header()
    ns = {
        "fast_align_size": fast_align_size, "py_align_size": py_align_size,
        "fast_get_bucket_size": fast_get_bucket_size, "py_get_bucket_size": py_get_bucket_size,
        "fast_can_fit_aligned": fast_can_fit_aligned, "py_can_fit_aligned": py_can_fit_aligned,
        "fast_bitmap_operations": fast_bitmap_operations, "py_bitmap_operations": py_bitmap_operations,
        "a": FastBucketAllocator(), "pa": PyBucketAllocator(),
        "h": FastSlabHeaderOps(3, 10), "ph": PySlabHeaderOps(3, 10), "record": record,
        "s": FastStatsCollector(), "ps": PyStatsCollector(),
    }
    # A larger bucket holding a block for the scan rows; the exact buckets stay empty.
    for allocator in (ns["a"], ns["pa"]):
        allocator.add_to_bucket(0, 4096)
    table = [
        ("fast_align_size(size, alignment)", "{f}_align_size(13, 8)"),
        ("fast_get_bucket_size(size)", "{f}_get_bucket_size(13)"),
        ("fast_can_fit_aligned(offset, size, alloc, align)", "{f}_can_fit_aligned(3, 64, 56, 8)"),
        ("fast_bitmap_operations(..., 'is_set')", "{f}_bitmap_operations(1023, 5, 'is_set')"),
        ("fast_bitmap_operations(..., 'set')", "{f}_bitmap_operations(1023, 12, 'set')"),
        ("fast_bitmap_operations(..., 'clear')", "{f}_bitmap_operations(1023, 5, 'clear')"),
        ("fast_bitmap_operations(..., 'find_first')", "{f}_bitmap_operations(1024, 0, 'find_first')"),
        ("add_to_bucket + remove_from_bucket", "{a}.add_to_bucket(64, 64); {a}.remove_from_bucket(64)"),
        ("add_to_bucket, not a bucket size", "{a}.add_to_bucket(64, 60)"),
        ("add_to_bucket + find_best_fit_bucket, exact", "{a}.add_to_bucket(64, 64); {a}.find_best_fit_bucket(64, 8)"),
        ("find_best_fit_bucket, scan to bucket 4096", "{a}.find_best_fit_bucket(8, 8); {a}.add_to_bucket(0, 4096)"),
        ("find_best_fit_bucket, nothing fits", "{a}.find_best_fit_bucket(8, 8192)"),
        ("pack_header()", "{h}.pack_header()"),
        ("unpack_header(record)", "{h}.unpack_header(record)"),
        ("py_allocate_object_at + py_deallocate_object_at", "{h}.py_allocate_object_at(3); {h}.py_deallocate_object_at(3)"),
        ("py_is_object_free(index)", "{h}.py_is_object_free(3)"),
        ("py_find_free_object()", "{h}.py_find_free_object()"),
        ("py_record_allocation(size, padding, bucketed)", "{s}.py_record_allocation(64, 8, True)"),
        ("py_record_deallocation()", "{s}.py_record_deallocation()"),
        ("get_stats()", "{s}.get_stats()"),
        ("reset_stats()", "{s}.reset_stats()"),
    ]
    native = {"f": "fast", "a": "a", "h": "h", "s": "s"}
    python = {"f": "py", "a": "pa", "h": "ph", "s": "ps"}
    return [_pair(op, stmt.format(**native), stmt.format(**python), ns) for op, stmt in table]
