import copy
import gc
import importlib.util
import logging
import os
import pickle
import random
import struct
import subprocess
import sys
import threading
import weakref
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.memory import draskel
from korvane.memory.draskel import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
int32s = st.integers(INT32_MIN, INT32_MAX)
LOADED_LINE = "Korvane Draskel Vexel module loaded - targeting 1.8-3× performance improvement"


def _load_pure_python_versions():
    """The benchmark's pure-Python versions, used here as a differential model."""
    bench = Path(__file__).resolve().parents[2] / "bench"
    sys.path.insert(0, str(bench))
    try:
        spec = importlib.util.spec_from_file_location("bench_draskel", bench / "bench_draskel.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(bench))
    return module


pure = _load_pure_python_versions()


def i32(value):
    return (value + 2**31) % 2**32 - 2**31


def crc16_modbus_bitwise(data):
    """CRC-16/MODBUS bit by bit, without a table."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def test_independent_crc_meets_the_standard_check_value():
    assert crc16_modbus_bitwise(b"123456789") == 0x4B37


class RecordingLock:
    """A lock that logs its `with` protocol calls."""

    def __init__(self, log):
        self.log = log
        self.real = threading.Lock()

    def __enter__(self):
        self.log.append("enter")
        self.real.acquire()
        return self

    def __exit__(self, *exc_info):
        self.log.append(("exit",) + exc_info)
        self.real.release()
        return False


class FakeThreading:
    def __init__(self, make_lock):
        self.make_lock = make_lock
        self.locks = []

    def Lock(self):
        lock = self.make_lock()
        self.locks.append(lock)
        return lock


def run_in_threads(work, count):
    """Runs work(index) for each index in `count` threads started together, switching between them as often as
    the interpreter allows; re-raises the first failure of a thread."""
    barrier = threading.Barrier(count)
    failures = []

    def run(index):
        barrier.wait()
        try:
            work(index)
        except BaseException as error:  # noqa: B036 - handed to the test's thread
            failures.append(error)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    if failures:
        raise failures[0]


@pytest.fixture
def recorded_locks(monkeypatch):
    log = []
    fake = FakeThreading(lambda: RecordingLock(log))
    monkeypatch.setattr(draskel, "threading", fake)
    return log


# ---------------------------------------------------------------------------
# Module
# ---------------------------------------------------------------------------


def test_module_attributes():
    assert draskel.threading is threading
    assert draskel.logging is logging
    assert draskel.logger is logging.getLogger("korvane.memory.draskel")
    assert draskel.__test__ == {}


def test_import_logs_its_line_once_and_a_second_import_returns_the_same_module():
    code = (
        "import logging, sys\n"
        "logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import korvane.memory.draskel as first\n"
        "del sys.modules['korvane.memory.draskel']\n"
        "import korvane.memory.draskel as second\n"
        "print(first is second, 'struct' in sys.modules)\n"
    )
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, encoding="utf-8", env=env, cwd="/")
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines() == ["korvane.memory.draskel|INFO|" + LOADED_LINE]
    assert done.stdout.split()[0] == "True"


FUNCTIONS = [
    (fast_align_size, "Fast alignment calculation (Python interface).", None),
    (fast_get_bucket_size, "Fast bucket size calculation (Python interface).", (8,)),
    (fast_can_fit_aligned, "Fast alignment check with exclusive boundary (Python interface).", None),
    (fast_bitmap_operations, "Fast bitmap operations (Python interface).", None),
]


@pytest.mark.parametrize("function, doc, defaults", FUNCTIONS, ids=lambda v: getattr(v, "__name__", ""))
def test_function_metadata(function, doc, defaults):
    assert function.__doc__ == doc
    assert function.__defaults__ == defaults
    assert function.__annotations__ == {}
    assert function.__module__ == "korvane.memory.draskel"
    assert function.__qualname__ == function.__name__


METHODS = [
    (FastBucketAllocator, "_init_buckets", "Initialize size-class buckets."),
    (FastBucketAllocator, "add_to_bucket", "Add block to appropriate bucket."),
    (FastBucketAllocator, "remove_from_bucket", "Remove block from appropriate bucket."),
    (FastBucketAllocator, "find_best_fit_bucket", "Find best fit bucket for allocation."),
    (FastSlabHeaderOps, "pack_header", "Pack header into bytes for storage."),
    (FastSlabHeaderOps, "unpack_header", "Unpack header from bytes."),
    (FastSlabHeaderOps, "py_is_object_free", "Check if object at index is free (Python interface)."),
    (FastSlabHeaderOps, "py_find_free_object", "Find first free object index (Python interface)."),
    (FastSlabHeaderOps, "py_allocate_object_at", "Mark object as allocated (Python interface)."),
    (FastSlabHeaderOps, "py_deallocate_object_at", "Mark object as free (Python interface)."),
    (FastStatsCollector, "py_record_allocation", "Record allocation statistics (Python interface)."),
    (FastStatsCollector, "py_record_deallocation", "Record deallocation statistics (Python interface)."),
    (FastStatsCollector, "get_stats", "Get statistics dictionary."),
    (FastStatsCollector, "reset_stats", "Reset all statistics."),
]


@pytest.mark.parametrize("cls, name, doc", METHODS, ids=[m[1] for m in METHODS])
def test_method_metadata(cls, name, doc):
    method = getattr(cls, name)
    assert method.__doc__ == doc
    assert method.__qualname__ == cls.__name__ + "." + name
    assert method.__annotations__ == {}
    assert method.__defaults__ is None


CLASSES = [(FastBucketAllocator, (), True), (FastSlabHeaderOps, (1, 8), False), (FastStatsCollector, (), True)]


@pytest.mark.parametrize("cls, args, holds_objects", CLASSES, ids=lambda v: getattr(v, "__name__", ""))
def test_class_traits(cls, args, holds_objects):
    obj = cls(*args)
    assert gc.is_tracked(obj) is holds_objects
    assert cls.__module__ == "korvane.memory.draskel"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(AttributeError):
        obj.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            refuse(obj)
    subclass = type("Sub", (cls,), {})
    assert isinstance(subclass(*args), cls)


# ---------------------------------------------------------------------------
# Size helpers
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [((13, 8), 16), ((16, 8), 16), ((0, 8), 0), ((-13, 8), -8), ((13, 1), 13), ((INT32_MAX, 8), INT32_MIN)],
)
def test_fast_align_size(args, expected):
    assert fast_align_size(*args) == expected


@pytest.mark.parametrize("alignment", [6, 0, -8, INT32_MIN, 3])
def test_fast_align_size_rejects_alignments_that_are_not_powers_of_two(alignment):
    with pytest.raises(ValueError) as info:
        fast_align_size(13, alignment)
    assert str(info.value) == "Alignment must be a power of 2"


@pytest.mark.parametrize(
    "args, expected",
    [
        ((13,), 16),
        ((13, 10), 20),
        ((0,), 0),
        ((-5,), 0),
        ((-20,), -8),
        ((17, -8), 8),
        ((INT32_MAX,), -2147483640),
        ((INT32_MIN + 2, -1), INT32_MIN),
        ((INT32_MIN, INT32_MIN), 0),
        ((5, INT32_MIN), 0),
    ],
)
def test_fast_get_bucket_size(args, expected):
    assert fast_get_bucket_size(*args) == expected


def test_fast_get_bucket_size_by_zero_raises():
    with pytest.raises(ZeroDivisionError):
        fast_get_bucket_size(13, 0)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0, 64, 64, 8), False),
        ((0, 64, 63, 8), True),
        ((3, 64, 56, 8), True),
        ((3, 64, 59, 8), False),
        ((INT32_MAX - 10, 100, 1, 1), False),
    ],
)
def test_fast_can_fit_aligned(args, expected):
    assert fast_can_fit_aligned(*args) is expected


def model_align_size(size, alignment):
    return i32((size + alignment - 1) & -alignment)


def model_bucket_size(size, step):
    t = i32(size + step - 1)
    return i32(t - pure._trunc_rem(t, step))


def model_can_fit(offset, size, alloc, alignment):
    return i32(model_align_size(offset, alignment) + alloc) < i32(offset + size)


@given(int32s, st.integers(0, 30))
def test_fast_align_size_wraps_in_32_bits(size, shift):
    assert fast_align_size(size, 1 << shift) == model_align_size(size, 1 << shift)


@given(int32s, int32s.filter(bool))
def test_fast_get_bucket_size_wraps_in_32_bits(size, step):
    assert fast_get_bucket_size(size, step) == model_bucket_size(size, step)


@given(int32s, int32s, int32s, int32s)
def test_fast_can_fit_aligned_wraps_in_32_bits(offset, size, alloc, alignment):
    assert fast_can_fit_aligned(offset, size, alloc, alignment) is model_can_fit(offset, size, alloc, alignment)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: fast_align_size("1", 8), TypeError, "an integer is required"),
        (lambda: fast_align_size(None, 8), TypeError, "an integer is required"),
        (lambda: fast_align_size(2**31, 8), OverflowError, None),
        (lambda: fast_get_bucket_size(1, 2, 3), TypeError, "fast_get_bucket_size() takes at most 2 positional arguments (3 given)"),
        (lambda: fast_get_bucket_size(), TypeError, "fast_get_bucket_size() takes at least 1 positional argument (0 given)"),
        (lambda: fast_can_fit_aligned(1, 2, 3), TypeError, "fast_can_fit_aligned() takes exactly 4 positional arguments (3 given)"),
        (lambda: fast_align_size(1, align=8), TypeError, "fast_align_size() got an unexpected keyword argument 'align'"),
    ],
)
def test_size_helper_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_size_helpers_take_keywords_and_truncate_floats():
    assert fast_align_size(alignment=8, size=13.9) == 16
    assert fast_get_bucket_size(step=10, size=-2.9) == 0
    assert fast_can_fit_aligned(block_offset=0, block_size=64, alloc_size=63, alignment=8) is True


# ---------------------------------------------------------------------------
# Bucket allocator
# ---------------------------------------------------------------------------


def accepted_sizes(allocator, sizes):
    return [size for size in sizes if allocator.add_to_bucket(0, size)]


def test_default_allocator_has_512_buckets_8_bytes_apart():
    assert accepted_sizes(FastBucketAllocator(), range(-16, 5000)) == list(range(8, 4097, 8))


@pytest.mark.parametrize(
    "offset, size, expected", [(100, 24, True), (100, 20, False), (100, 5000, False), (100, 0, False), (100, -8, False)]
)
def test_add_to_bucket(offset, size, expected):
    assert FastBucketAllocator().add_to_bucket(offset, size) is expected


def test_remove_from_bucket_is_last_in_first_out_and_rounds_up():
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(100, 24)
    allocator.add_to_bucket(200, 24)
    assert [allocator.remove_from_bucket(17) for _ in range(3)] == [200, 100, None]
    assert allocator.remove_from_bucket(5000) is None
    assert allocator.remove_from_bucket(0) is None


def test_find_best_fit_puts_back_an_offset_that_does_not_fit():
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(4, 32)
    allocator.add_to_bucket(64, 48)
    assert allocator.find_best_fit_bucket(32, 16) == 64
    assert allocator.remove_from_bucket(32) == 4
    assert allocator.find_best_fit_bucket(5000, 8) is None


def test_find_best_fit_tries_one_offset_per_bucket_in_ascending_order():
    allocator = FastBucketAllocator()
    for offset, size in [(8, 16), (4, 32), (2, 32), (1, 40), (64, 56), (3, 4096)]:
        allocator.add_to_bucket(offset, size)
    # Bucket 32 offers 2 (aligned 32, too far), 4 behind it is not tried; 40 offers 1 (aligned 32, ends 64 > 41).
    assert allocator.find_best_fit_bucket(32, 32) == 64
    assert allocator.find_best_fit_bucket(32, 32) == 3
    assert allocator.find_best_fit_bucket(32, 32) is None
    assert [allocator.remove_from_bucket(32) for _ in range(3)] == [2, 4, None]
    assert allocator.remove_from_bucket(40) == 1
    assert allocator.remove_from_bucket(16) == 8


def test_find_best_fit_sums_the_block_end_without_wrapping():
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(INT32_MAX - 3, 8)
    # The aligned start plus size wraps to a negative 32-bit value; the block end does not.
    assert allocator.find_best_fit_bucket(8, 8) == INT32_MAX - 3


def test_offsets_convert_like_32_bit_integers():
    allocator = FastBucketAllocator()
    assert allocator.add_to_bucket(offset=7.9, size=8) is True
    assert allocator.remove_from_bucket(size=8) == 7
    with pytest.raises(OverflowError):
        allocator.add_to_bucket(2**31, 8)
    with pytest.raises(TypeError) as info:
        allocator.add_to_bucket("1", 8)
    assert str(info.value) == "an integer is required"
    with pytest.raises(TypeError) as info:
        allocator.find_best_fit_bucket(8)
    assert str(info.value) == "find_best_fit_bucket() takes exactly 2 positional arguments (1 given)"


def test_construction_arguments():
    with pytest.raises(TypeError) as info:
        FastBucketAllocator(1, 2, 3, 4)
    assert str(info.value) == "__cinit__() takes at most 3 positional arguments (4 given)"
    allocator = FastBucketAllocator(medium_block_max=64, bucket_size_step=16)
    assert accepted_sizes(allocator, range(0, 300)) == [16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240, 256]


def test_step_zero_refuses_construction():
    with pytest.raises(ValueError) as info:
        FastBucketAllocator(0)
    assert str(info.value) == "range() arg 3 must not be zero"


class Drain:
    """Takes every offset out of an allocator, bucket by bucket, using the model's keys."""

    @staticmethod
    def native(allocator, model):
        drained = {}
        for size in sorted(model.buckets):
            if size > 0 and model.get_bucket_size_fast(size) == size:
                taken = []
                while (offset := allocator.remove_from_bucket(size)) is not None:
                    taken.append(offset)
                drained[size] = taken[::-1]
            else:
                drained[size] = []
        return drained


LAYOUTS = [
    (8, 256, 4096),
    (10, 255, 600),
    (3, 30, 100),
    (8, 300, 100),
    (8, -16, 200),
    (8, -15, 200),
    (8, 0, 64),
    (7, 7, 7),
    (1, 40, 60),
    (64, 100, 1000),
    (-8, 100, 0),
    (-1, 50, 50),
    (8, 256, -1),
]


def operations(layout):
    step, small, medium = layout
    top = max(small, medium, 16) + 2 * abs(step)
    sizes = st.one_of(st.integers(-4, top), st.sampled_from([abs(step) * k for k in range(1, 8)]))
    offsets = st.integers(-50, 5000)
    alignments = st.sampled_from([1, 2, 4, 8, 16, 32, 64, 128, 3, 0, -4])
    return st.lists(
        st.one_of(
            st.tuples(st.just("add"), offsets, sizes),
            st.tuples(st.just("remove"), sizes),
            st.tuples(st.just("find"), sizes, alignments),
        ),
        max_size=120,
    )


@settings(max_examples=60, deadline=None)
@given(st.data())
@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
def test_allocator_matches_the_dict_model(layout, data):
    native = FastBucketAllocator(*layout)
    model = pure.PyBucketAllocator(*layout)
    for op in data.draw(operations(layout)):
        if op[0] == "add":
            assert native.add_to_bucket(*op[1:]) is model.add_to_bucket(*op[1:]), op
        elif op[0] == "remove":
            assert native.remove_from_bucket(*op[1:]) == model.remove_from_bucket(*op[1:]), op
        else:
            assert native.find_best_fit_bucket(*op[1:]) == model.find_best_fit_bucket(*op[1:]), op
    assert Drain.native(native, model) == model.buckets


def test_allocator_with_many_buckets_scans_to_the_next_filled_one():
    allocator = FastBucketAllocator(1, 1 << 20, 1 << 20)
    allocator.add_to_bucket(0, 1000)
    allocator.add_to_bucket(0, 300000)
    allocator.add_to_bucket(0, 1 << 20)
    assert allocator.find_best_fit_bucket(1001, 1) == 0
    assert allocator.remove_from_bucket(300000) is None
    assert allocator.find_best_fit_bucket(1, 1) == 0
    assert allocator.find_best_fit_bucket(1, 1) == 0
    assert allocator.find_best_fit_bucket(1, 1) is None


class CountsInit(FastBucketAllocator):
    calls = []

    def _init_buckets(self):
        CountsInit.calls.append(self)
        super()._init_buckets()
        self.add_to_bucket(7, 16)


def test_init_buckets_is_called_once_as_an_overridable_method():
    CountsInit.calls.clear()
    allocator = CountsInit()
    assert CountsInit.calls == [allocator]
    assert allocator.remove_from_bucket(16) == 7


def test_an_override_that_skips_the_base_leaves_no_buckets():
    class NoBuckets(FastBucketAllocator):
        def _init_buckets(self):
            pass

    allocator = NoBuckets()
    assert accepted_sizes(allocator, range(0, 5000, 8)) == []
    assert allocator.remove_from_bucket(8) is None
    assert allocator.find_best_fit_bucket(8, 8) is None
    FastBucketAllocator._init_buckets(allocator)
    assert allocator.add_to_bucket(3, 8) is True


def test_step_zero_kept_by_an_override_raises_zero_division_only_when_dividing():
    class NoBuckets(FastBucketAllocator):
        def _init_buckets(self):
            pass

    allocator = NoBuckets(0)
    for call in (lambda: allocator.add_to_bucket(1, 8), lambda: allocator.remove_from_bucket(8),
                 lambda: allocator.find_best_fit_bucket(8, 8)):
        with pytest.raises(ZeroDivisionError):
            call()
    assert allocator.add_to_bucket(1, 5000) is False
    assert allocator.find_best_fit_bucket(5000, 8) is None


def test_init_buckets_again_empties_every_bucket():
    allocator = FastBucketAllocator()
    for size in (8, 256, 4096):
        allocator.add_to_bucket(1, size)
    assert allocator._init_buckets() is None
    assert [allocator.remove_from_bucket(size) for size in (8, 256, 4096)] == [None, None, None]
    assert allocator.add_to_bucket(2, 8) is True


def test_bucket_operations_each_hold_the_lock_once(recorded_locks):
    allocator = FastBucketAllocator()
    assert recorded_locks == []
    allocator.add_to_bucket(4, 32)
    allocator.add_to_bucket(1, 40)
    allocator.add_to_bucket(64, 48)
    del recorded_locks[:]
    assert allocator.find_best_fit_bucket(32, 16) == 64  # two put-backs, one section
    assert recorded_locks == ["enter", ("exit", None, None, None)]
    del recorded_locks[:]
    allocator.add_to_bucket(1, 20)  # not a bucket size: no lock
    allocator.remove_from_bucket(0)
    allocator.find_best_fit_bucket(5000, 8)
    allocator._init_buckets()
    assert recorded_locks == []
    allocator.remove_from_bucket(8)
    assert recorded_locks == ["enter", ("exit", None, None, None)]


@pytest.mark.parametrize("make", [FastBucketAllocator, FastStatsCollector])
def test_construction_reads_threading_when_it_runs(make, monkeypatch):
    monkeypatch.delattr(draskel, "threading")
    with pytest.raises(NameError) as info:
        make()
    assert str(info.value) == "name 'threading' is not defined"


def test_a_failing_lock_changes_nothing(monkeypatch):
    class Failing:
        armed = False

        def __enter__(self):
            if self.armed:
                raise RuntimeError("lock broken")

        def __exit__(self, *exc_info):
            return False

    lock = Failing()
    monkeypatch.setattr(draskel, "threading", FakeThreading(lambda: lock))
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(5, 8)
    lock.armed = True
    with pytest.raises(RuntimeError, match="lock broken"):
        allocator.add_to_bucket(6, 8)
    with pytest.raises(RuntimeError, match="lock broken"):
        allocator.find_best_fit_bucket(8, 8)
    lock.armed = False
    assert [allocator.remove_from_bucket(8), allocator.remove_from_bucket(8)] == [5, None]


def test_the_lock_is_released_with_the_allocator_even_in_a_cycle(monkeypatch):
    class CyclicLock(RecordingLock):
        owner = None

    fake = FakeThreading(lambda: CyclicLock([]))
    monkeypatch.setattr(draskel, "threading", fake)
    allocator = FastBucketAllocator()
    lock = fake.locks[0]
    lock.owner = allocator
    lock_ref = weakref.ref(lock)
    del allocator, lock
    fake.locks.clear()
    gc.collect()
    assert lock_ref() is None


def test_stored_arguments_keep_their_reference_counts(recorded_locks):
    allocator = FastBucketAllocator()
    lock = draskel.threading.locks[0]
    offset = 123456789
    before = (sys.getrefcount(offset), sys.getrefcount(lock))
    for _ in range(1000):
        allocator.add_to_bucket(offset, 64)
        allocator.find_best_fit_bucket(64, 8)
        allocator.add_to_bucket(offset, 64)
        allocator.remove_from_bucket(64)
    assert (sys.getrefcount(offset), sys.getrefcount(lock)) == before


def test_threads_lose_and_duplicate_no_offset():
    allocator = FastBucketAllocator()
    sizes = [8, 16, 64, 256, 264, 1024, 4096]
    per_thread = 3000
    taken = [[] for _ in range(4)]

    def work(index):
        rng = random.Random(index)
        for n in range(per_thread):
            allocator.add_to_bucket(index * per_thread + n, rng.choice(sizes))
            if n % 2:
                offset = allocator.find_best_fit_bucket(rng.choice(sizes), 1)
            else:
                offset = allocator.remove_from_bucket(rng.choice(sizes))
            if offset is not None:
                taken[index].append(offset)

    run_in_threads(work, 4)
    rest = []
    for size in sizes:
        while (offset := allocator.remove_from_bucket(size)) is not None:
            rest.append(offset)
    everything = [offset for part in taken for offset in part] + rest
    assert sorted(everything) == list(range(4 * per_thread))


# ---------------------------------------------------------------------------
# Slab header
# ---------------------------------------------------------------------------


def header_fields(header):
    return struct.unpack("<BBLHQ", header.pack_header())


def test_new_header_packs_to_the_documented_record():
    assert FastSlabHeaderOps(3, 10).pack_header() == bytes.fromhex("0300000000000028ff03000000000000")


def test_allocate_and_release_objects():
    header = FastSlabHeaderOps(3, 10)
    assert header.py_find_free_object() == 0
    assert header.py_allocate_object_at(0) is None
    assert header.py_is_object_free(0) is False
    assert header.py_find_free_object() == 1
    assert header.pack_header()[:6] == bytes.fromhex("031001000000")
    assert header.py_deallocate_object_at(0) is None
    assert header_fields(header) == (3, 0, 2, crc16_modbus_bitwise(bytes([3, 0, 2, 0, 0, 0])), 0x3FF)


@pytest.mark.parametrize(
    "args, size_class, bitmap",
    [((1, 64), 1, 2**64 - 1), ((1, 100), 1, 2**64 - 1), ((1, 0), 1, 0), ((1, -5), 1, 0), ((300, 8), 44, 0xFF), ((-1, 63), 255, 2**63 - 1)],
)
def test_initial_header(args, size_class, bitmap):
    header = FastSlabHeaderOps(*args)
    assert header_fields(header)[0] == size_class and header_fields(header)[4] == bitmap
    assert header.py_find_free_object() == (-1 if bitmap == 0 else 0)


def test_constructor_arguments():
    assert header_fields(FastSlabHeaderOps(objects_per_slab=2, size_class_index=9))[::4] == (9, 3)
    with pytest.raises(TypeError) as info:
        FastSlabHeaderOps(1)
    assert str(info.value) == "__cinit__() takes exactly 2 positional arguments (1 given)"
    with pytest.raises(OverflowError):
        FastSlabHeaderOps(2**31, 1)


@pytest.mark.parametrize("index", [64, 70, -1, INT32_MIN])
def test_untracked_indices_change_only_flags_and_generation(index):
    header = FastSlabHeaderOps(1, 8)
    assert header.py_is_object_free(index) is False
    header.py_allocate_object_at(index)
    assert header_fields(header)[1:3] == (0x10, 1) and header_fields(header)[4] == 0xFF
    header.py_deallocate_object_at(index)
    assert header_fields(header)[1:3] == (0, 2) and header_fields(header)[4] == 0xFF


def test_release_beyond_the_slab_counts_for_find_free_object():
    header = FastSlabHeaderOps(1, 2)
    for index in (0, 1):
        header.py_allocate_object_at(index)
    header.py_deallocate_object_at(40)
    assert header.py_find_free_object() == 40
    assert header_fields(header)[1] == 0x10  # 0x10000000000 is not the all-free 0b11


def test_generation_wraps():
    header = FastSlabHeaderOps(1, 8)
    record = bytearray(header.pack_header())
    record[1:6] = bytes([0x10, 0xFF, 0xFF, 0xFF, 0xFF])
    record[6:8] = crc16_modbus_bitwise(record[:6]).to_bytes(2, "little")
    header.unpack_header(bytes(record))
    header.py_allocate_object_at(0)
    assert header_fields(header)[2] == 0


@given(st.integers(0, 255), st.integers(0, 255), st.integers(0, 2**32 - 1), st.integers(0, 2**64 - 1))
def test_pack_unpack_round_trip(size_class, flags, generation, bitmap):
    flags &= 0x7F
    record = struct.pack("<BBLHQ", size_class, flags, generation, 0, bitmap)
    checksum = crc16_modbus_bitwise(record[:6])
    record = record[:6] + checksum.to_bytes(2, "little") + record[8:]
    header = FastSlabHeaderOps(0, 0)
    header.unpack_header(record)
    assert header.pack_header() == record


def test_unpack_copies_a_header_without_warning(caplog):
    source = FastSlabHeaderOps(7, 20)
    source.py_allocate_object_at(3)
    target = FastSlabHeaderOps(0, 0)
    with caplog.at_level(logging.WARNING, logger="korvane.memory.draskel"):
        assert target.unpack_header(source.pack_header()) is None
    assert caplog.records == []
    assert target.pack_header() == source.pack_header()


@pytest.mark.parametrize("position", range(6))
@pytest.mark.parametrize("flip", [0x01, 0x80, 0xFF])
def test_a_corrupted_checked_byte_is_always_flagged(position, flip, caplog):
    header = FastSlabHeaderOps(3, 10)
    header.py_allocate_object_at(2)
    record = bytearray(header.pack_header())
    record[position] ^= flip
    stored = int.from_bytes(record[6:8], "little")
    computed = crc16_modbus_bitwise(record[:6])
    with caplog.at_level(logging.WARNING, logger="korvane.memory.draskel"):
        header.unpack_header(bytes(record))
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("korvane.memory.draskel", "WARNING", "Header corruption detected: stored=%04x, computed=%04x" % (stored, computed))
    ]
    assert header_fields(header)[1] & 0x80


def test_corruption_warning_goes_through_the_module_logger_of_the_moment(monkeypatch):
    messages = []

    class Logger:
        def warning(self, message):
            messages.append(message)

    monkeypatch.setattr(draskel, "logger", Logger())
    header = FastSlabHeaderOps(0, 0)
    header.unpack_header(bytes(16))
    assert messages == ["Header corruption detected: stored=0000, computed=%04x" % crc16_modbus_bitwise(bytes(6))]


@pytest.mark.parametrize("length", [0, 15, 17])
def test_unpack_rejects_a_record_of_the_wrong_length(length):
    header = FastSlabHeaderOps(3, 10)
    before = header.pack_header()
    with pytest.raises(ValueError) as info:
        header.unpack_header(bytes(length))
    assert str(info.value) == "Invalid header length: %d bytes (expected 16)" % length
    assert header.pack_header() == before


@pytest.mark.parametrize(
    "data, message",
    [
        (None, "object of type 'NoneType' has no len()"),
        (bytearray(16), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        ("x" * 16, "Argument 'data' has incorrect type (expected bytes, got str)"),
    ],
)
def test_unpack_rejects_what_is_not_bytes(data, message):
    with pytest.raises(TypeError) as info:
        FastSlabHeaderOps(3, 10).unpack_header(data)
    assert str(info.value) == message


def test_header_matches_the_pure_python_version_under_random_operations():
    rng = random.Random(5)
    for objects in (0, 1, 10, 63, 64, 80, -3):
        native, model = FastSlabHeaderOps(objects, objects), pure.PySlabHeaderOps(objects, objects)
        for _ in range(400):
            index = rng.choice([rng.randrange(-2, 70), rng.randrange(max(objects, 1))])
            op = rng.choice(["py_allocate_object_at", "py_deallocate_object_at", "py_is_object_free"])
            assert getattr(native, op)(index) == getattr(model, op)(index)
            assert native.py_find_free_object() == model.py_find_free_object()
        assert native.pack_header() == model.pack_header()


# ---------------------------------------------------------------------------
# Bitmap operations
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((10, 1, "is_set"), True),
        ((10, 0, "is_set"), False),
        ((10, 0, "set"), 11),
        ((10, 3, "clear"), 2),
        ((8, 0, "find_first"), 3),
        ((0, 0, "find_first"), -1),
        ((2**63, 99, "find_first"), 63),
        ((5, 70, "set"), 5),
        ((5, 64, "is_set"), False),
        ((5, -1, "set"), 5),
        ((2**64 - 1, -1, "is_set"), False),
        ((0, 63, "set"), 2**63),
        ((2**64 - 1, 0, "clear"), 2**64 - 2),
    ],
)
def test_fast_bitmap_operations(args, expected):
    result = fast_bitmap_operations(*args)
    assert result == expected and type(result) is type(expected)


@given(st.integers(0, 2**64 - 1), st.integers(-3, 70), st.sampled_from(["is_set", "set", "clear", "find_first"]))
def test_fast_bitmap_operations_match_the_pure_python_version(bitmap, index, operation):
    assert fast_bitmap_operations(bitmap, index, operation) == pure.py_bitmap_operations(bitmap, index, operation)


@pytest.mark.parametrize("operation, shown", [("toggle", "toggle"), ("", ""), (None, "None"), ("Set", "Set")])
def test_fast_bitmap_operations_rejects_unknown_operations(operation, shown):
    with pytest.raises(ValueError) as info:
        fast_bitmap_operations(1, 0, operation)
    assert str(info.value) == "Unknown operation: " + shown


def test_fast_bitmap_operations_argument_errors():
    class Text(str):
        pass

    with pytest.raises(OverflowError) as info:
        fast_bitmap_operations(-1, 0, "set")
    assert str(info.value) == "can't convert negative value to uint64_t"
    with pytest.raises(OverflowError):
        fast_bitmap_operations(2**64, 0, "set")
    with pytest.raises(TypeError) as info:
        fast_bitmap_operations(1, 0, Text("set"))
    assert str(info.value).startswith("Argument 'operation' has incorrect type (expected str, got Text). ")
    assert fast_bitmap_operations(operation="set", index=1, bitmap=0) == 2


# ---------------------------------------------------------------------------
# Stats collector
# ---------------------------------------------------------------------------

STAT_KEYS = [
    "total_allocations",
    "total_deallocations",
    "bucketed_allocations",
    "fallback_allocations",
    "bucketed_allocation_ratio",
    "alignment_padding_bytes",
]


def test_new_collector_reports_zero():
    stats = FastStatsCollector().get_stats()
    assert list(stats) == STAT_KEYS
    assert stats == dict.fromkeys(STAT_KEYS, 0) | {"bucketed_allocation_ratio": "0.0%"}
    assert all(type(stats[key]) is int for key in STAT_KEYS if key != "bucketed_allocation_ratio")


@pytest.mark.parametrize(
    "records, expected",
    [
        ([(64, 8, True), (64, 8, True), (64, 0, False)], (3, 0, 2, 1, "66.7%", 16)),
        ([(64, 8, True)], (1, 0, 1, 0, "100.0%", 8)),
        ([(64, -8, True)], (1, 0, 1, 0, "100.0%", 2**64 - 8)),
        ([(64, 8, ""), (1, 1, [0]), (1, 1, None)], (3, 0, 1, 2, "33.3%", 10)),
        ([(2**31 - 1, 2**31 - 1, 1)] * 2, (2, 0, 2, 0, "100.0%", 2**32 - 2)),
    ],
)
def test_record_allocation(records, expected):
    collector = FastStatsCollector()
    for record in records:
        assert collector.py_record_allocation(*record) is None
    assert tuple(collector.get_stats().values()) == expected


def test_record_deallocation_and_reset():
    collector = FastStatsCollector()
    collector.py_record_allocation(64, 8, True)
    assert collector.py_record_deallocation() is None
    assert tuple(collector.get_stats().values()) == (1, 1, 1, 0, "100.0%", 8)
    assert collector.reset_stats() is None
    assert tuple(collector.get_stats().values()) == (0, 0, 0, 0, "0.0%", 0)


@pytest.mark.parametrize("bucketed", [0, 1, 2, 3, 5, 7, 11, 33, 59])
def test_ratio_text_is_the_host_format_of_the_ratio(bucketed):
    collector = FastStatsCollector()
    for _ in range(bucketed):
        collector.py_record_allocation(1, 0, True)
    for total in range(bucketed, 1500):
        if total:
            expected = format(bucketed / total * 100, ".1f") + "%"
            assert collector.get_stats()["bucketed_allocation_ratio"] == expected, total
        collector.py_record_allocation(1, 0, False)


def test_get_stats_returns_a_fresh_dict():
    collector = FastStatsCollector()
    first = collector.get_stats()
    first["total_allocations"] = 99
    assert collector.get_stats()["total_allocations"] == 0
    assert collector.get_stats() is not collector.get_stats()


def test_record_allocation_errors_count_nothing():
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    collector = FastStatsCollector()
    with pytest.raises(RuntimeError, match="no truth"):
        collector.py_record_allocation(64, 8, Bad())
    with pytest.raises(OverflowError):
        collector.py_record_allocation(2**31, 8, True)
    with pytest.raises(TypeError) as info:
        collector.py_record_allocation(64, "8", True)
    assert str(info.value) == "an integer is required"
    with pytest.raises(TypeError) as info:
        collector.py_record_allocation(64, 8)
    assert str(info.value) == "py_record_allocation() takes exactly 3 positional arguments (2 given)"
    assert tuple(collector.get_stats().values()) == (0, 0, 0, 0, "0.0%", 0)


def test_constructor_ignores_arguments():
    assert FastStatsCollector(1, mode=2).get_stats()["total_allocations"] == 0


def test_every_collector_method_holds_the_lock(recorded_locks):
    collector = FastStatsCollector()
    calls = [
        lambda: collector.py_record_allocation(64, 8, True),
        collector.py_record_deallocation,
        collector.get_stats,
        collector.reset_stats,
    ]
    for call in calls:
        del recorded_locks[:]
        call()
        assert recorded_locks == ["enter", ("exit", None, None, None)]


def test_collector_counts_every_record_from_threads():
    collector = FastStatsCollector()

    def work(index):
        for n in range(5000):
            collector.py_record_allocation(64, index, n % 4 == 0)
            collector.py_record_deallocation()
            collector.get_stats()

    run_in_threads(work, 4)
    assert tuple(collector.get_stats().values()) == (20000, 20000, 5000, 15000, "25.0%", 5000 * (0 + 1 + 2 + 3))


def test_collector_matches_the_pure_python_version():
    rng = random.Random(9)
    native, model = FastStatsCollector(), pure.PyStatsCollector()
    for _ in range(2000):
        record = (rng.randrange(1, 4096), rng.randrange(-64, 64), rng.random() < 0.7)
        native.py_record_allocation(*record)
        model.py_record_allocation(*record)
        if rng.random() < 0.3:
            native.py_record_deallocation()
            model.py_record_deallocation()
    assert native.get_stats() == model.get_stats()
