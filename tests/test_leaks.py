"""No leaks: every public callable of the nine modules, on its success path and on every error path, called N and
then 4N times, must not leave more memory behind the second time than the first.

Three measures after a collection: blocks of the interpreter's allocator (`sys.getallocatedblocks()`), bytes traced
by tracemalloc, and bytes in use on the native heap (glibc's `mallinfo2`, where the modules' own `malloc` and C++
allocations live; left out where it does not see allocations, as under a sanitizer's allocator). A leak of one
object per call grows each by at least 3N between the two runs; the tolerances are a third of that. Growth beyond
them is measured once more over four times as many rounds: a leak grows with the rounds, the allocators' own noise
(free lists, table resizes) does not.
"""
import contextlib
import ctypes
import gc
import importlib
import importlib.util
import logging
import math
import os
import sys
import tracemalloc
import warnings

import pytest

_spec = importlib.util.spec_from_file_location("_surface", os.path.join(os.path.dirname(__file__), "fuzz",
                                                                        "surface.py"))
surface = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(surface)

from korvane.gpu import fendral  # noqa: E402
from korvane.jit import melquor  # noqa: E402
from korvane.memory import draskel, orvelle, tessin  # noqa: E402
from korvane.memory.lorrit import MemoryBlock  # noqa: E402
from korvane.monitoring import hoskett  # noqa: E402
from korvane.native import vandris  # noqa: E402
from korvane.plugins.analyzer import brevanti  # noqa: E402

N = 60  # rounds in the first run; the second runs 4N


# ---------------------------------------------------------------------------------------------------------------
# Measuring.


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _native_heap_reader():
    """Bytes in use on the C heap, or None where glibc's mallinfo2 does not tell (another libc, or a sanitizer's
    allocator in place of glibc's)."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2, malloc, free = libc.mallinfo2, libc.malloc, libc.free
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _Mallinfo2
    malloc.restype = ctypes.c_void_p
    free.argtypes = [ctypes.c_void_p]

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    before = read()
    block = malloc(1 << 20)
    seen = read() - before
    free(block)
    return read if seen >= 1 << 20 else None


_native_heap = _native_heap_reader()


def _snapshot():
    gc.collect()
    native = _native_heap() if _native_heap is not None else 0
    traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    return sys.getallocatedblocks(), traced, native


def _growth(round_, rounds):
    before = _snapshot()
    for _ in range(rounds):
        round_()
    after = _snapshot()
    return [a - b for a, b in zip(after, before)]


@contextlib.contextmanager
def _quiet():
    """No warning or log record is kept while measuring: both would be growth of the harness, not the module."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        previous = logging.root.manager.disable
        logging.disable(logging.CRITICAL)
        try:
            yield
        finally:
            logging.disable(previous)


def _excess(round_, n):
    """What 4n rounds left behind beyond what n rounds did, per measure, and a report of both runs."""
    first = _growth(round_, n)
    second = _growth(round_, 4 * n)
    report = f"growth over {n} rounds {first}, over {4 * n} rounds {second} (blocks, traced bytes, native bytes)"
    return [s - f for s, f in zip(second, first)], report


def _check(round_, n, measures):
    """Fails when one of `measures` (indices into the snapshot) grows with the number of rounds. Growth that the
    first comparison shows is measured again over four times as many rounds: a leak grows with them, the
    allocator's own noise (free lists, table resizes) does not."""
    limits = [n, 16 * n, 16 * n]  # blocks, traced bytes, native bytes
    names = ["interpreter blocks", "traced memory", "native heap"]
    for rounds in (n, 4 * n):
        excess, report = _excess(round_, rounds)
        grown = [i for i in measures if excess[i] >= limits[i] * rounds // n]
        if not grown:
            return
    raise AssertionError(f"{names[grown[0]]} grows with the number of calls: {report}")


def assert_no_leak(round_, n=N):
    """Runs `round_` n times to warm up, then compares what n and 4n further rounds leave behind: interpreter
    blocks and native heap with tracing off (tracemalloc's own tables live on the native heap), then traced
    bytes with tracing on."""
    with _quiet():
        for _ in range(n):
            round_()
        _check(round_, n, (0, 2))
        tracemalloc.start()
        try:
            _check(round_, n, (1,))
        finally:
            tracemalloc.stop()


def test_the_check_catches_one_object_per_call():
    kept = []
    with pytest.raises(AssertionError, match="interpreter blocks grow"):
        assert_no_leak(lambda: kept.append(object()))
    kept.clear()
    if _native_heap is not None:
        malloc = ctypes.CDLL(None).malloc
        malloc.restype = ctypes.c_void_p
        with pytest.raises(AssertionError, match="native heap grows"):
            assert_no_leak(lambda: malloc(24))


def test_the_table_lists_every_public_callable():
    """Every function, class and method that the modules define is in surface.CALLABLES, so that the leak check
    and the fuzzer drive it."""
    listed = {c.path for c in surface.CALLABLES}
    found = set()
    for name in {c.module for c in surface.CALLABLES}:
        module = importlib.import_module(name)
        short = name.removeprefix("korvane.")
        for attr, value in vars(module).items():
            if attr.startswith("__") or getattr(value, "__module__", None) != name or not callable(value):
                continue
            found.add(f"{short}:{attr}")
            if isinstance(value, type):
                for member, method in vars(value).items():
                    if callable(method) or isinstance(method, staticmethod):
                        if not member.startswith("__") or member in ("__len__", "__bool__", "__repr__",
                                                                      "__reduce__", "__setstate__"):
                            found.add(f"{short}:{attr}.{member}")
    aliases = {p for p in found if p.rpartition(".")[2].startswith("py_") and p.replace(".py_", ".") in found
               and "LockFreeStatistics" not in p}
    assert found - aliases - {p for p in found if p.endswith(".__init__")} == listed - {
        p for p in listed if p.endswith(".__init__")}


def swallow(call, *allowed):
    """Calls `call`; an exception of the `allowed` types is expected and dropped."""
    try:
        call()
    except allowed:
        pass


# ---------------------------------------------------------------------------------------------------------------
# Every callable, generically: the success path with valid arguments, then every kind of wrong call.

BAD_VALUES = {
    "int": ["7", None, 2**70, -(2**70), 1e300, math.nan, surface.IntRaises(), surface.IntReturnsStr(),
            surface.IntReturnsIntSubclass(), surface.IntReturnsHuge(), surface.IndexOnly(), object()],
    "f64": ["1.5", None, 10**400, surface.FloatRaises(), surface.FloatReturnsStr(), surface.IndexRaises(),
            math.nan, math.inf, -math.inf],
    "truth": [surface.BoolRaises(), surface.BoolReturnsInt(), surface.LenRaises()],
    "pyint": ["7", None, math.nan, math.inf, surface.IntRaises(), surface.FloatRaises(), surface.IndexRaises(),
              surface.IntReturnsStr(), 2**200, -(2**70), object()],
    "str": [surface.StrSubclass("numpy"), 5, b"numpy"],
    "bytes": [surface.BytesSubclass(16), "x" * 16, b"short", bytes(17), None],
    "list": [surface.ListSubclass([1]), (1, 2), 5, None],
    "tuple": [surface.TupleSubclass((1, 2)), [1, 2], 5, None],
    "obj": [surface.EqRaises(), surface.EqReturnsOdd(), surface.BoolRaises(), None],
}
for _kind in ("i64", "i32", "u64", "u32", "u8"):
    BAD_VALUES[_kind] = BAD_VALUES["int"]

BAD_ITEMS = {
    "pairs": [[(1.0, 2.0, 3.0)] * 12, [("x", 1.0)] * 12, [(1.0, "x")] * 12, [surface.IterRaisesMidway()] * 12,
              [surface.LenRaises()] * 12, [surface.IterYieldsThree()] * 12, [(surface.FloatRaises(), 1.0)] * 12,
              [5] * 12, [(1.0,)] * 12],
    "patterns": [[{"parallelization_potential": "x", "cpu_intensity": 0.1, "memory_intensity": 0.1}] * 6,
                 [{"parallelization_potential": surface.FloatRaises(), "cpu_intensity": 0.1,
                   "memory_intensity": 0.1}] * 6,
                 [{"cpu_intensity": 0.1}] * 6, [5] * 6, [None] * 6, [surface.ListSubclass()] * 6],
    "names": [[5, "a"], [surface.StrSubclass("a")] * 3, [None, None, "a"]],
    "dims": [("x", 2), (2**40, 2), (2, -1), (surface.IntRaises(), 2), (2, surface.IntRaises()), (2, 2**70),
             (0, 3), (3, 0), (2**30, 2**30, 2**30), (1.5, 2)],
}


def _bind(callable_):
    """The function to call and a factory for the instance it is called on (None for a module function or a
    static method)."""
    module, target = surface.lookup(callable_)
    owner, _, method = callable_.name.rpartition(".")
    if not owner or isinstance(vars(getattr(module, owner)).get(method), staticmethod):
        return target, None
    class_path = f"{callable_.path.partition(':')[0]}:{owner}"
    return target, lambda: surface.default_instance(class_path)


def generic_calls(callable_):
    """(args, kwargs) of one valid call and of every wrong call of `callable_`."""
    params = callable_.params
    samples = [p.sample for p in params]
    calls = [(samples, {})]
    if callable_.varargs:
        return calls + [([1, 2], {"key": 3})]
    calls.append((samples + [0], {}))
    calls.append((samples, {"unexpected": 1}))
    if any(not p.optional for p in params):
        calls.append(([], {}))
    if params:
        calls.append((samples, {params[0].name: samples[0]}))
        calls.append(([], {p.name: p.sample for p in params}))
    for i, p in enumerate(params):
        for value in list(BAD_VALUES[p.kind]) + list(BAD_ITEMS.get(p.items, ())):
            args = samples[:i] + [value] + samples[i + 1:]
            if callable_.bounded is None or callable_.bounded(dict(zip((q.name for q in params), args))):
                calls.append((args, {}))
    return calls


def generic_round(callable_):
    """One round: a fresh instance (for a method), and every call of generic_calls on it."""
    function, make_self = _bind(callable_)
    allowed = surface.documented(callable_)
    calls = generic_calls(callable_)

    def round_():
        selves = [make_self()] if make_self is not None else []
        for args, kwargs in calls:
            try:
                function(*selves, *args, **kwargs)
            except allowed:
                pass

    return round_


@pytest.mark.parametrize("callable_", surface.CALLABLES, ids=repr)
def test_every_call_and_wrong_call(callable_):
    n = N // 10 if callable_.module == vandris.__name__ else N
    assert_no_leak(generic_round(callable_), n)


@pytest.mark.parametrize("class_path,name,kind", surface.ATTRIBUTES, ids=lambda v: str(v))
def test_attributes_set_get_delete(class_path, name, kind):
    values = [5, 2.5, -1] + BAD_VALUES["int" if kind != "f64" else "f64"]

    def round_():
        obj = surface.default_instance(class_path)
        for value in values:
            swallow(lambda: setattr(obj, name, value), TypeError, OverflowError, ValueError, AttributeError,
                    surface.HostileError)
            getattr(obj, name)
        swallow(lambda: delattr(obj, name), AttributeError, NotImplementedError)
        getattr(obj, name)
        swallow(lambda: setattr(obj, "undeclared", 1), AttributeError)

    assert_no_leak(round_)


# ---------------------------------------------------------------------------------------------------------------
# State that builds up, callbacks that raise, and locks that misbehave.


LOCK_MODES = ["enter", "exit", "swallow"]


def with_hostile_locks(module, make, exercise):
    """Objects made by `make` while the module's `threading` hands out hostile locks, each then `exercise`d."""

    def round_():
        for mode in LOCK_MODES:
            with surface.patched(module, "threading", surface.HostileThreading(mode)):
                obj = swallow_result(make)
            if obj is not None:
                exercise(obj)

    return round_


def swallow_result(make):
    try:
        return make()
    except surface.HostileError:
        return None


def expect(call, *allowed):
    """Like swallow, and HostileError always counts as expected here."""
    swallow(call, surface.HostileError, *allowed)


def test_tree_blocks_are_released_on_every_path():
    blocks = [MemoryBlock(i * 64, size) for i, size in enumerate((16, 32, 32, 64, 32, 128, 16))]

    def round_():
        tree = orvelle.FastRedBlackTree(2)
        for b in blocks:
            tree.insert(b.size, b)
        tree.insert(32, surface.EqRaises())
        expect(lambda: tree.delete(32, MemoryBlock(0, 0)))  # the raising block is the chain head: compared first
        expect(lambda: tree.delete(16, surface.EqReturnsOdd()))
        tree.delete(32, blocks[1])
        tree.find_all_exact(32)
        tree.find_best_fit(20)
        tree.remove_ge(20)
        tree.remove_ge(1000)
        tree.get_stats()
        tree.get_size_distribution()
        tree.reset_circuit_breaker()
        repr(tree), len(tree), bool(tree)
        if len(tree) % 2:
            tree.clear()
        # the tree goes with blocks still stored

    assert_no_leak(round_)


def test_tree_with_raising_counters_and_locks():
    def exercise(tree):
        for size in (8, 8, 16):
            expect(lambda: tree.insert(size, object()), RuntimeError)
        expect(lambda: tree.delete(8, object()), RuntimeError)
        expect(lambda: tree.remove_ge(0), RuntimeError)
        expect(lambda: tree.get_stats(), RuntimeError)
        expect(lambda: tree.get_size_distribution(), RuntimeError)
        expect(lambda: tree.reset_circuit_breaker(), RuntimeError)
        expect(lambda: tree.clear(), RuntimeError)

    hostile_locks = with_hostile_locks(orvelle, lambda: orvelle.FastRedBlackTree(1), exercise)

    class OddTime:
        """perf_counter_ns (read under the writer lock, for each new record) raises or gives what is no time."""

        def __init__(self, value):
            self.value = value

        def perf_counter_ns(self):
            if self.value is surface.HostileError:
                raise surface.HostileError("perf_counter_ns")
            return self.value

        def sleep(self, seconds):
            raise surface.HostileError("sleep")

    def round_():
        hostile_locks()
        for counter in (surface.RaisingCounter, surface.OddCounter):
            with surface.patched(orvelle, "AtomicCounter", counter):
                tree = orvelle.FastRedBlackTree(1)
            exercise(tree)
        tree = orvelle.FastRedBlackTree()
        tree.insert(8, [8])
        for value in (surface.HostileError, "now", -1, 2**64, surface.IntRaises()):
            with surface.patched(orvelle, "time", OddTime(value)):
                expect(lambda: tree.insert(8, [8]), TypeError, OverflowError)
                expect(lambda: tree.insert(16, [16]), TypeError, OverflowError)

    assert_no_leak(round_)


def test_tree_size_check_overridden():
    class Tree(orvelle.FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            if size == 3:
                raise surface.HostileError("size")
            return "big" if size == 4 else 2**64 if size == 5 else size

        def size(self):
            return "not an index"

    def round_():
        tree = Tree()
        for size in (1, 3, 4, 5):
            expect(lambda: tree.insert(size, object()), TypeError, OverflowError)
            expect(lambda: tree.delete(size, object()), TypeError, OverflowError)
            expect(lambda: tree.find_best_fit(size), TypeError, OverflowError)
            expect(lambda: tree.find_all_exact(size), TypeError, OverflowError)
            expect(lambda: tree.remove_ge(size), TypeError, OverflowError)
        expect(lambda: len(tree), TypeError)
        expect(lambda: bool(tree), TypeError)

    assert_no_leak(round_)


def test_statistics_with_replaced_counters_and_locks():
    def round_():
        stats = tessin.LockFreeStatistics()
        stats.record_allocation(100)
        stats.record_allocation(50, False, 8, 1000)
        stats.record_deallocation(50, 200)
        stats.py_record_allocation(10, True, 2, 3)
        stats.py_record_deallocation(10, 3)
        stats.get_snapshot()
        stats.reset()
        for counter in (surface.RaisingCounter(), surface.OddCounter(), None):
            for name in ("total_allocations", "current_allocations", "bytes_allocated", "peak_allocations",
                         "total_allocation_time_ns", "total_deallocation_time_ns", "bucketed_allocations"):
                setattr(stats, name, counter)
                for call in (lambda: stats.record_allocation(64, True, 8, 9), lambda: stats.record_deallocation(64, 9),
                             lambda: stats.py_record_allocation(64, True), lambda: stats.py_record_deallocation(64),
                             lambda: stats._update_peaks(5, 10), stats.get_snapshot, stats.reset):
                    expect(call, AttributeError, TypeError)
                setattr(stats, name, tessin.AtomicCounter(0))
        expect(lambda: stats.record_allocation(2**63), OverflowError)

    hostile = with_hostile_locks(tessin, tessin.LockFreeStatistics, lambda s: expect(s.reset))

    assert_no_leak(lambda: (round_(), hostile()))


def test_pointer_and_stack_hold_and_release_objects():
    def exercise_pointer(p):
        for call in (lambda: p.store([1]), lambda: p.compare_and_swap(None, [2]), p.load, p.get_version):
            expect(call)

    def exercise_stack(s):
        for call in (lambda: s.push([1]), s.pop, s.is_empty, s.size):
            expect(call)

    def round_():
        p = tessin.AtomicPointer([0])
        held = p.load()
        p.store([1])
        p.compare_and_swap(held, [2])
        p.compare_and_swap(p.load(), None)
        p.compare_and_swap(None, [3])
        p.get_version()
        s = tessin.LockFreeStack()
        for i in range(5):
            s.push([i])
        s.pop(), s.pop()
        s.push(None)
        # both go with objects still held

    hostile = [with_hostile_locks(tessin, lambda: tessin.AtomicPointer([0]), exercise_pointer),
               with_hostile_locks(tessin, tessin.LockFreeStack, exercise_stack)]
    assert_no_leak(lambda: (round_(), [h() for h in hostile]))


def test_timer_and_wrapper_with_replaced_time_and_counter():
    class Timer(tessin.PerformanceTimer):
        def elapsed_ns(self):
            return surface.FloatRaises()

    class OddTime:
        @staticmethod
        def perf_counter_ns():
            return "now"

    def round_():
        t = tessin.PerformanceTimer()
        t.start(), t.elapsed_ns(), t.elapsed_us(), t.elapsed_ms()
        expect(Timer().elapsed_us, TypeError)
        expect(Timer().elapsed_ms, TypeError)
        saved = sys.modules["time"]
        sys.modules["time"] = OddTime
        try:
            expect(t.start, TypeError)
            expect(t.elapsed_ns, TypeError)
        finally:
            sys.modules["time"] = saved
        w = tessin.AtomicCounterWrapper(5)
        w._counter = surface.OddCounter()
        for call in (w.load, lambda: w.increment(1), lambda: w.compare_and_swap(1, 2), lambda: w.store(1)):
            expect(call, TypeError)
        w._counter = surface.RaisingCounter()
        expect(w.load)

    assert_no_leak(round_)


def test_policy_with_odd_stores_configs_and_locks():
    stores = [
        surface.Store(surface.Record(call_count=150, compile_count=1, avg_speedup=3.0, last_compiled=1.0)),
        surface.Store(surface.Record(call_count=150, compile_count=0, avg_speedup=3.0)),
        surface.Store(surface.Record(call_count=5, compile_count=12, avg_speedup=0.5)),
        surface.Store(None),
        surface.Store(surface.HostileError),
        surface.Store(surface.RaisingRecord()),
        surface.Store(surface.Record(call_count=-1, compile_count=1, avg_speedup=1.0)),
        surface.Store(surface.Record(call_count=150, compile_count=surface.EqRaises(), avg_speedup=1.0)),
        surface.Store(surface.Record(call_count=150, compile_count=1, avg_speedup="fast")),
        surface.Store(surface.Record(call_count=150, compile_count=1, avg_speedup=1.0, last_compiled="x")),
        object(),
    ]
    configs = [None, melquor.PolicyConfig(), surface.Record(initial_threshold=50, min_threshold=20), {},
               surface.Record(min_threshold=0), surface.RaisingRecord(), surface.Record(learning_rate="x")]

    def round_():
        for config in configs:
            expect(lambda: melquor.AdaptivePolicy(config), ValueError, TypeError)
        policy = melquor.AdaptivePolicy()
        for func_id in ("f", None):
            for store in stores:
                expect(lambda: policy.should_compile(func_id, store), AttributeError, TypeError, OverflowError)
                expect(lambda: policy.update(func_id, store), AttributeError, TypeError, OverflowError)
            policy.get_threshold(func_id)
        policy.get_statistics()
        policy.config.learning_rate = math.nan
        expect(lambda: policy.update("g", stores[0]))
        melquor.reset_melquor()
        melquor.get_melquor().update("f", stores[0])
        melquor.get_melquor().get_statistics()

    hostile = with_hostile_locks(
        melquor, melquor.AdaptivePolicy,
        lambda p: [expect(lambda: p.should_compile("f", stores[0])), expect(lambda: p.update("f", stores[0])),
                   expect(lambda: p.get_threshold("f")), expect(p.get_statistics)])
    assert_no_leak(lambda: (round_(), hostile()))
    melquor.reset_melquor()


def test_shared_policy_with_a_raising_lock():
    def round_():
        for mode in LOCK_MODES:
            with surface.patched(melquor, "_policy_lock", surface.HostileLock(mode)):
                expect(melquor.get_melquor)
                expect(melquor.reset_melquor)

    assert_no_leak(round_)
    melquor.reset_melquor()


def test_draskel_objects_on_every_path():
    class SteplessAllocator(draskel.FastBucketAllocator):
        def _init_buckets(self):
            pass

    class RaisingInit(draskel.FastBucketAllocator):
        def _init_buckets(self):
            raise surface.HostileError("init")

    def exercise_allocator(a):
        for call in (lambda: a.add_to_bucket(100, 24), lambda: a.remove_from_bucket(24),
                     lambda: a.find_best_fit_bucket(20, 8)):
            expect(call)

    def exercise_collector(c):
        for call in (lambda: c.py_record_allocation(64, 8, True), c.py_record_deallocation, c.get_stats,
                     c.reset_stats):
            expect(call)

    def round_():
        a = draskel.FastBucketAllocator()
        for offset, size in ((4, 32), (64, 48), (100, 24), (200, 24)):
            a.add_to_bucket(offset, size)
        a.find_best_fit_bucket(32, 16), a.find_best_fit_bucket(5000, 8), a.remove_from_bucket(17)
        a._init_buckets()
        # the allocator goes with offsets still stored
        expect(lambda: SteplessAllocator(0).add_to_bucket(8, 8), ZeroDivisionError)
        expect(lambda: RaisingInit())
        expect(lambda: draskel.FastBucketAllocator(0), ValueError)
        h = draskel.FastSlabHeaderOps(3, 10)
        record = h.pack_header()
        h.py_allocate_object_at(0), h.py_deallocate_object_at(0), h.py_find_free_object()
        h.unpack_header(record)
        h.unpack_header(b"\xff" + record[1:])  # a checksum mismatch logs a warning (disabled here)
        expect(lambda: h.unpack_header(record[:15]), ValueError)
        c = draskel.FastStatsCollector()
        c.py_record_allocation(64, -8, True), c.py_record_deallocation(), c.get_stats(), c.reset_stats()

    hostile = [with_hostile_locks(draskel, draskel.FastBucketAllocator, exercise_allocator),
               with_hostile_locks(draskel, draskel.FastStatsCollector, exercise_collector)]
    assert_no_leak(lambda: (round_(), [h() for h in hostile]))


def test_aggregator_on_every_path():
    class Overridden(hoskett.CounterAggregator):
        def get_stats(self, counter_id):
            if counter_id == 1:
                raise surface.HostileError("get_stats")
            return [counter_id] if counter_id == 2 else None

    def exercise(agg):
        for call in (lambda: agg.update(0, 1.0), lambda: agg.get_stats(0), lambda: agg.reset(0), agg.reset_all,
                     agg.get_all_stats):
            expect(call)

    def round_():
        agg = hoskett.create_aggregator(16)
        for value in (0.1, 0.1, 0.1, 2.0, math.nan, math.inf, -math.inf):
            agg.update(3, value)
        agg.update(7, 2.0)
        agg.get_stats(3), agg.get_all_stats()
        agg.reset(3), agg.reset_all()
        expect(lambda: agg.get_stats(16), IndexError)
        expect(lambda: hoskett.CounterAggregator(-1), MemoryError)
        o = Overridden(4)
        for i in (0, 1, 2):
            o.update(i, 1.0)
        expect(o.get_all_stats, TypeError)
        o.update(0, 1.0)

    hostile = with_hostile_locks(hoskett, lambda: hoskett.CounterAggregator(4), exercise)
    assert_no_leak(lambda: (round_(), hostile()))


class _RaisingModule:
    """A stand-in for os, sys or time whose every attribute raises."""

    def __getattr__(self, name):
        raise surface.HostileError(name)


def test_probes_with_failing_platform():
    class Registry:
        @staticmethod
        def detect_available_backends():
            raise surface.HostileError("registry")

    def round_():
        vandris.detect_capabilities()
        for name in ("os", "sys"):
            with surface.patched(vandris, name, _RaisingModule()):
                expect(vandris.detect_physical_cores)
                expect(vandris.detect_numa_nodes)
                expect(vandris.detect_python_version)
                expect(vandris.detect_capabilities)
        with surface.patched(vandris, "detect_gpu_backends", Registry.detect_available_backends):
            vandris.detect_capabilities()

    assert_no_leak(round_, N // 10)


def test_histories_and_shapes_that_change_while_read():
    class Shrinking:
        """A value whose float conversion empties the list it sits in."""

        def __init__(self, value):
            pass


        def __float__(self):
            history.clear()
            return 1.0

    class ClearsHistory:
        """A dict key that collides with a key the change detector looks up, and empties the history."""

        def __hash__(self):
            return hash("cpu_intensity")

        def __eq__(self, other):
            history.clear()
            return False

    scores = {"parallelization_potential": 0.1, "cpu_intensity": 0.2, "memory_intensity": 0.3}
    history = []

    def round_():
        history[:] = [(i, Shrinking(1.0)) for i in range(12)]
        expect(lambda: brevanti.detect_performance_degradation(history, 1.0, 0.1, 0.0), ValueError)
        history[:] = [(i, Shrinking(1.0)) for i in range(12)]
        expect(lambda: brevanti.calculate_performance_trend(history, 0.0), ValueError)
        history[:] = [(i, Shrinking(1.0)) for i in range(12)]
        expect(lambda: brevanti.predict_resource_requirements(history, 10.0), ValueError)
        history[:] = [{ClearsHistory(): 1, **scores} for _ in range(6)]
        expect(lambda: brevanti.detect_workload_characteristics_change(history), IndexError)
        fendral.compute_chunk_shapes((10, 4), 8, 100)
        fendral.compute_chunk_shapes((10,), 8, 2**40)
        fendral.compute_chunk_shapes((7, 0), 8, 100)

    assert_no_leak(round_)
