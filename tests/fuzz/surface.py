"""The public callables of the nine native modules: their parameters, a valid value for each, and the exceptions
each may raise on purpose. The fuzzer (fuzz_all.py) and the leak check (tests/test_leaks.py) both drive the modules
through this table, so a callable added to a module is added here once.

Parameter kinds name the argument conversions the modules apply:

    i64 i32 u64 u32 u8   native integers: an int, or anything with __int__; TypeError / OverflowError, and
                         float.__int__'s ValueError for NaN
    f64                  a double: float, int, __float__ or __index__; TypeError / OverflowError
    truth                any object, by its truth value (an error of __bool__ propagates)
    pyint                kept as a host int: int(value) for any number; TypeError, and int()'s own
                         ValueError (NaN) and OverflowError (infinity)
    str bytes list tuple exactly that built-in type, or None; TypeError
    obj                  any object

A list or tuple parameter also names what the callable expects inside it (`items`), so that generated values
reach past the type check.
"""
import contextlib
import importlib


class HostileError(Exception):
    """Raised on purpose by the objects below; a callable that calls back into them lets it propagate."""


# ---------------------------------------------------------------------------------------------------------------
# Objects with odd number, comparison and truth behaviour.


class IntRaises:
    def __int__(self):
        raise HostileError("__int__")


class IntReturnsStr:
    def __int__(self):
        return "7"


class IntSubclass(int):
    pass


class IntReturnsIntSubclass:
    def __int__(self):
        return IntSubclass(7)


class IntReturnsHuge:
    def __int__(self):
        return 2**80


class IndexOnly:
    def __index__(self):
        return 5


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")


class FloatRaises:
    def __float__(self):
        raise HostileError("__float__")


class FloatReturnsStr:
    def __float__(self):
        return "1.5"


class FloatReturnsNan:
    def __float__(self):
        return float("nan")


class EqRaises:
    def __eq__(self, other):
        raise HostileError("__eq__")

    __hash__ = object.__hash__


class EqReturnsOdd:
    """== gives an object whose truth test raises."""

    def __eq__(self, other):
        return BoolRaises()

    __hash__ = object.__hash__


class BoolRaises:
    def __bool__(self):
        raise HostileError("__bool__")


class BoolReturnsInt:
    def __bool__(self):
        return 1


class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


class LenRaises:
    """An iterable whose length and iteration raise."""

    def __len__(self):
        raise HostileError("__len__")

    def __iter__(self):
        raise HostileError("__iter__")


class IterYieldsThree:
    def __iter__(self):
        return iter((1.0, 2.0, 3.0))


class IterRaisesMidway:
    def __iter__(self):
        yield 1.0
        raise HostileError("iteration")


HOSTILE_FACTORIES = [
    IntRaises,
    IntReturnsStr,
    IntReturnsIntSubclass,
    IntReturnsHuge,
    IndexOnly,
    IndexRaises,
    FloatRaises,
    FloatReturnsStr,
    FloatReturnsNan,
    EqRaises,
    EqReturnsOdd,
    BoolRaises,
    BoolReturnsInt,
    LenRaises,
    IterYieldsThree,
    IterRaisesMidway,
    object,
    lambda: StrSubclass("numpy"),
    lambda: BytesSubclass(16),
    lambda: ListSubclass([1]),
    lambda: TupleSubclass((1, 2)),
    lambda: IntSubclass(3),
]

# ---------------------------------------------------------------------------------------------------------------
# Stand-ins for the objects the modules call into: locks, counters, telemetry stores.


class HostileLock:
    """A lock that excludes nothing and whose entry or exit misbehaves as `mode` says:
    "enter" raises in __enter__, "exit" raises in __exit__, "swallow" returns True from __exit__ (the body's
    exception is suppressed), "plain" behaves."""

    def __init__(self, mode):
        self.mode = mode

    def __enter__(self):
        if self.mode == "enter":
            raise HostileError("__enter__")
        return self

    def __exit__(self, *exc):
        if self.mode == "exit":
            raise HostileError("__exit__")
        return self.mode == "swallow"


class HostileThreading:
    """Replaces a module's `threading` attribute so that the locks it makes next are HostileLocks."""

    def __init__(self, mode):
        self.mode = mode

    def Lock(self):
        return HostileLock(self.mode)


class RaisingCounter:
    """Has the AtomicCounter methods; every one raises."""

    def __init__(self, *args):
        pass

    def _raise(self, *args):
        raise HostileError("counter")

    load = store = increment = decrement = compare_and_swap = fetch_and_add = _raise
    py_load = py_store = py_increment = py_decrement = py_compare_and_swap = py_fetch_and_add = _raise


class OddCounter:
    """Has the AtomicCounter methods; they return values of the wrong type."""

    def __init__(self, *args):
        pass

    def load(self):
        return "many"

    def increment(self, *args):
        return 1.5

    decrement = fetch_and_add = increment

    def store(self, *args):
        return None

    def compare_and_swap(self, *args):
        return BoolRaises()

    py_load, py_store, py_increment, py_decrement = load, store, increment, decrement
    py_compare_and_swap, py_fetch_and_add = compare_and_swap, fetch_and_add


class Record:
    """A telemetry record with chosen attributes (a missing one is left out)."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class RaisingRecord:
    def __getattr__(self, name):
        raise HostileError(name)


class Store:
    """A telemetry store that answers get_metrics with `result`, or raises when `result` is an exception class."""

    def __init__(self, result):
        self.result = result

    def get_metrics(self, func_id):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("get_metrics")
        return self.result


# ---------------------------------------------------------------------------------------------------------------
# The table.


class P:
    """One parameter: its name, kind, a valid value, whether it has a default, and for list and tuple parameters
    what they hold ("pairs", "patterns", "names", "dims"); for object parameters what they stand for ("store": a
    telemetry store, "config": a policy configuration)."""

    def __init__(self, name, kind, sample, optional=False, items=None):
        self.name = name
        self.kind = kind
        self.sample = sample
        self.optional = optional
        self.items = items


def opt(name, kind, sample, items=None):
    return P(name, kind, sample, optional=True, items=items)


class C:
    """One callable. `path` is "module:name" for a module function, "module:Class" for a constructor and
    "module:Class.method" for a method (called on an instance made by the class's entry in INSTANCES). `raises`
    are the exception types it raises on purpose beyond the conversion errors of its parameters. `bounded`, when
    given, is called with the bound arguments (a dict) and returns False for calls that would ask for unbounded
    memory or time by design (a billion buckets, a list of two billion chunks)."""

    def __init__(self, path, params=(), raises=(), bounded=None, varargs=False):
        self.path = path
        self.params = list(params)
        self.raises = tuple(raises)
        self.bounded = bounded
        self.varargs = varargs  # a constructor that ignores all arguments

    @property
    def module(self):
        return "korvane." + self.path.partition(":")[0]

    @property
    def name(self):
        return self.path.partition(":")[2]

    def __repr__(self):
        return self.path


def _small_int(value, limit):
    """Whether `value` stands for an int no larger than `limit` in magnitude. Only ints and floats can stand for a
    large one here: the other objects this harness makes convert to small ints or fail to convert."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return not abs(value) > limit
    return True


def _bounded_buckets(args):
    step = args.get("bucket_size_step", 8)
    top = args.get("medium_block_max", 4096)
    if not all(isinstance(v, (int, float)) and abs(v) < 2**31 for v in (step, top)):
        return True  # the conversion fails, or gives one of the few values the harness makes
    step, top = int(step), int(top)
    return step == 0 or abs(top) // abs(step) <= 5_000


def _bounded_counters(args):
    return _small_int(args.get("num_counters", 1000), 50_000)


def _bounded_chunks(args):
    shape = args.get("shape")
    return not (isinstance(shape, tuple) and shape) or _small_int(shape[0], 100_000)


T = "memory.tessin"
O = "memory.orvelle"
D = "memory.draskel"
M = "jit.melquor"
V = "native.vandris"
S = "plugins.analyzer.solvane"
B = "plugins.analyzer.brevanti"
H = "monitoring.hoskett"
F = "gpu.fendral"


def _pickling(cls):
    """The two pickling hooks every native class refuses."""
    return [C(f"{cls}.__reduce__"), C(f"{cls}.__setstate__", [P("state", "obj", None)])]


CALLABLES = [
    # korvane.memory.tessin
    C(f"{T}:AtomicCounter", [opt("initial_value", "i64", 5)]),
    C(f"{T}:AtomicCounter.load"),
    C(f"{T}:AtomicCounter.store", [P("value", "i64", 3)]),
    C(f"{T}:AtomicCounter.increment", [opt("delta", "i64", 2)]),
    C(f"{T}:AtomicCounter.decrement", [opt("delta", "i64", 2)]),
    C(f"{T}:AtomicCounter.compare_and_swap", [P("expected", "i64", 5), P("new_value", "i64", 6)]),
    C(f"{T}:AtomicCounter.fetch_and_add", [P("delta", "i64", 4)]),
    *_pickling(f"{T}:AtomicCounter"),
    C(f"{T}:AtomicPointer", [opt("initial_value", "obj", "held")]),
    C(f"{T}:AtomicPointer.load"),
    C(f"{T}:AtomicPointer.store", [P("value", "obj", "other")]),
    C(f"{T}:AtomicPointer.compare_and_swap", [P("expected", "obj", None), P("new_value", "obj", "new")]),
    C(f"{T}:AtomicPointer.get_version"),
    *_pickling(f"{T}:AtomicPointer"),
    C(f"{T}:LockFreeStack", varargs=True),
    C(f"{T}:LockFreeStack.push", [P("item", "obj", "item")]),
    C(f"{T}:LockFreeStack.pop"),
    C(f"{T}:LockFreeStack.is_empty"),
    C(f"{T}:LockFreeStack.size"),
    *_pickling(f"{T}:LockFreeStack"),
    C(f"{T}:LockFreeStatistics", varargs=True),
    # The statistics call methods on whatever objects their public attributes hold: a missing method propagates.
    C(
        f"{T}:LockFreeStatistics.record_allocation",
        [P("size", "pyint", 64), opt("is_bucketed", "truth", False), opt("padding", "pyint", 8),
         opt("time_ns", "pyint", 100)],
        raises=[AttributeError],
    ),
    C(f"{T}:LockFreeStatistics.record_deallocation", [P("size", "pyint", 64), opt("time_ns", "pyint", 100)],
      raises=[AttributeError]),
    C(
        f"{T}:LockFreeStatistics.py_record_allocation",
        [P("size", "i64", 64), P("is_bucketed", "truth", True), opt("padding", "i64", 8), opt("time_ns", "i64", 9)],
        raises=[AttributeError],
    ),
    C(f"{T}:LockFreeStatistics.py_record_deallocation", [P("size", "i64", 64), opt("time_ns", "i64", 9)],
      raises=[AttributeError]),
    C(f"{T}:LockFreeStatistics._update_peaks", [P("current_allocs", "pyint", 3), P("current_bytes", "pyint", 90)],
      raises=[AttributeError]),
    C(f"{T}:LockFreeStatistics.get_snapshot", raises=[AttributeError]),
    C(f"{T}:LockFreeStatistics.reset", raises=[AttributeError]),
    *_pickling(f"{T}:LockFreeStatistics"),
    C(f"{T}:PerformanceTimer", varargs=True),
    C(f"{T}:PerformanceTimer.start"),
    C(f"{T}:PerformanceTimer.elapsed_ns"),
    C(f"{T}:PerformanceTimer.elapsed_us"),
    C(f"{T}:PerformanceTimer.elapsed_ms"),
    *_pickling(f"{T}:PerformanceTimer"),
    C(f"{T}:AtomicCounterWrapper", [opt("initial_value", "pyint", 5)]),
    C(f"{T}:AtomicCounterWrapper.load"),
    C(f"{T}:AtomicCounterWrapper.store", [P("value", "pyint", 3)]),
    C(f"{T}:AtomicCounterWrapper.increment", [opt("delta", "pyint", 2)]),
    C(f"{T}:AtomicCounterWrapper.decrement", [opt("delta", "pyint", 2)]),
    C(f"{T}:AtomicCounterWrapper.compare_and_swap", [P("expected", "pyint", 5), P("new_value", "pyint", 1)]),
    C(f"{T}:AtomicCounterWrapper.fetch_and_add", [P("delta", "pyint", 4)]),
    # korvane.memory.orvelle
    C(f"{O}:FastRedBlackTree", [opt("sample_rate", "u32", 2)]),
    C(f"{O}:FastRedBlackTree._sanitize_size", [P("size", "pyint", 8)], raises=[ValueError]),
    C(f"{O}:FastRedBlackTree.insert", [P("size", "pyint", 24), P("block", "obj", "block")], raises=[ValueError]),
    C(f"{O}:FastRedBlackTree.delete", [P("size", "pyint", 24), P("block", "obj", "block")]),
    C(f"{O}:FastRedBlackTree.clear"),
    C(f"{O}:FastRedBlackTree.find_best_fit", [P("size", "pyint", 20), opt("alignment", "pyint", 8)]),
    C(f"{O}:FastRedBlackTree.find_all_exact", [P("size", "pyint", 24)]),
    C(f"{O}:FastRedBlackTree.remove_ge", [P("size", "pyint", 20)]),
    C(f"{O}:FastRedBlackTree.get_stats"),
    C(f"{O}:FastRedBlackTree.size"),
    C(f"{O}:FastRedBlackTree.get_size_distribution"),
    C(f"{O}:FastRedBlackTree.reset_circuit_breaker"),
    C(f"{O}:FastRedBlackTree.get_statistics"),
    # len() converts what size() returns, which a subclass may override, as the interpreter does for __len__.
    C(f"{O}:FastRedBlackTree.__len__", raises=[ValueError]),
    C(f"{O}:FastRedBlackTree.__bool__"),
    C(f"{O}:FastRedBlackTree.__repr__"),
    *_pickling(f"{O}:FastRedBlackTree"),
    # korvane.memory.draskel
    C(f"{D}:fast_align_size", [P("size", "i32", 13), P("alignment", "i32", 8)], raises=[ValueError]),
    C(f"{D}:fast_get_bucket_size", [P("size", "i32", 13), opt("step", "i32", 10)], raises=[ZeroDivisionError]),
    C(
        f"{D}:fast_bitmap_operations",
        [P("bitmap", "u64", 10), P("index", "i32", 1), P("operation", "str", "set")],
        raises=[ValueError],
    ),
    C(
        f"{D}:fast_can_fit_aligned",
        [P("block_offset", "i32", 3), P("block_size", "i32", 64), P("alloc_size", "i32", 56),
         P("alignment", "i32", 8)],
    ),
    C(
        f"{D}:FastBucketAllocator",
        [opt("bucket_size_step", "i32", 16), opt("small_block_max", "i32", 128), opt("medium_block_max", "i32", 512)],
        raises=[ValueError],
        bounded=_bounded_buckets,
    ),
    C(f"{D}:FastBucketAllocator._init_buckets"),
    C(f"{D}:FastBucketAllocator.add_to_bucket", [P("offset", "i32", 100), P("size", "i32", 32)],
      raises=[ZeroDivisionError]),
    C(f"{D}:FastBucketAllocator.remove_from_bucket", [P("size", "i32", 17)], raises=[ZeroDivisionError]),
    C(f"{D}:FastBucketAllocator.find_best_fit_bucket", [P("size", "i32", 20), P("alignment", "i32", 16)],
      raises=[ZeroDivisionError]),
    *_pickling(f"{D}:FastBucketAllocator"),
    C(f"{D}:FastSlabHeaderOps", [P("size_class_index", "i32", 3), P("objects_per_slab", "i32", 10)]),
    C(f"{D}:FastSlabHeaderOps.pack_header"),
    C(f"{D}:FastSlabHeaderOps.unpack_header", [P("data", "bytes", bytes(range(16)))], raises=[ValueError]),
    C(f"{D}:FastSlabHeaderOps.py_is_object_free", [P("object_index", "i32", 1)]),
    C(f"{D}:FastSlabHeaderOps.py_find_free_object"),
    C(f"{D}:FastSlabHeaderOps.py_allocate_object_at", [P("object_index", "i32", 1)]),
    C(f"{D}:FastSlabHeaderOps.py_deallocate_object_at", [P("object_index", "i32", 1)]),
    *_pickling(f"{D}:FastSlabHeaderOps"),
    C(f"{D}:FastStatsCollector", varargs=True),
    C(
        f"{D}:FastStatsCollector.py_record_allocation",
        [P("size", "i32", 64), P("padding", "i32", 8), P("is_bucketed", "truth", "")],
    ),
    C(f"{D}:FastStatsCollector.py_record_deallocation"),
    C(f"{D}:FastStatsCollector.get_stats"),
    C(f"{D}:FastStatsCollector.reset_stats"),
    *_pickling(f"{D}:FastStatsCollector"),
    # korvane.jit.melquor
    C(
        f"{M}:PolicyConfig",
        [opt("initial_threshold", "i32", 50), opt("min_threshold", "i32", 20), opt("max_threshold", "i32", 900),
         opt("learning_rate", "f64", 0.5), opt("target_speedup", "f64", 1.5)],
        raises=[ValueError],
    ),
    *_pickling(f"{M}:PolicyConfig"),
    C(
        f"{M}:FunctionMetrics",
        [opt("call_count", "u64", 150), opt("compile_count", "u32", 1), opt("avg_speedup", "f64", 3.0),
         opt("total_execution_time_ms", "f64", 1.5), opt("last_compile_time", "f64", 5.0),
         opt("last_compiled", "f64", 7.0)],
    ),
    *_pickling(f"{M}:FunctionMetrics"),
    C(f"{M}:AdaptivePolicy", [opt("config", "obj", None, items="config")], raises=[ValueError]),
    C(f"{M}:AdaptivePolicy.get_threshold", [P("func_id", "str", "f")]),
    *[C(f"{M}:AdaptivePolicy.{name}",
        [P("func_id", "str", "f"),
         P("wenslow", "obj", Store(Record(call_count=150, compile_count=1, avg_speedup=3.0)), items="store")],
        raises=[AttributeError, ValueError]) for name in ("should_compile", "update")],
    C(f"{M}:AdaptivePolicy.get_statistics"),
    *_pickling(f"{M}:AdaptivePolicy"),
    C(f"{M}:get_melquor"),
    C(f"{M}:reset_melquor"),
    C(
        f"{M}:create_policy_config",
        [opt("initial_threshold", "pyint", 50), opt("min_threshold", "pyint", 20), opt("max_threshold", "pyint", 900),
         opt("learning_rate", "f64", 0.5), opt("target_speedup", "f64", 1.5)],
        raises=[ValueError],
    ),
    C(
        f"{M}:create_function_metrics",
        [opt("call_count", "pyint", 150), opt("compile_count", "pyint", 1), opt("avg_speedup", "f64", 3.0),
         opt("total_execution_time_ms", "f64", 1.5), opt("last_compile_time", "f64", 5.0)],
    ),
    # korvane.native.vandris
    C(f"{V}:detect_physical_cores"),
    C(f"{V}:detect_numa_nodes"),
    C(f"{V}:detect_gpu_backends"),
    C(f"{V}:detect_python_version"),
    C(f"{V}:detect_capabilities"),
    # korvane.plugins.analyzer.solvane
    C(f"{S}:quick_framework_score", [P("code", "str", "np.array(x) @ np.linalg.inv(y)"),
                                     P("framework", "str", "numpy")]),
    C(f"{S}:score_framework_patterns", [P("code", "str", "df.groupby('a').transform(f)")]),
    C(f"{S}:score_indicators", [P("code", "str", "total = sum(a) + sum(b)"), P("function_name", "str", "matmul")]),
    C(f"{S}:normalize_scores", [P(n, "i32", v) for n, v in (("cpu_score", 3), ("memory_score", 2),
                                                           ("parallel_score", 5), ("gpu_op_score", 9),
                                                           ("large_data_score", 1))]),
    C(f"{S}:calculate_parallelization_potential", [P(n, "f64", 0.5) for n in (
        "base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential")]),
    C(
        f"{S}:calculate_gpu_suitability",
        [P("gpu_operation_score", "f64", 0.5), P("gpu_data_size_score", "f64", 0.5), P("cpu_intensity", "f64", 1.0),
         P("gpu_available", "truth", True), P("compute_capability", "str", "8.6")],
    ),
    C(f"{S}:estimate_gpu_speedup", [P("gpu_operation_score", "f64", 0.9), P("gpu_data_size_score", "f64", 1.0),
                                    P("gpu_available", "truth", True)]),
    C(
        f"{S}:determine_workload_pattern",
        [P(n, "f64", 0.5) for n in ("cpu_intensity", "memory_intensity", "parallelization_potential",
                                    "gpu_suitability", "gpu_operation_score", "numpy_score", "pandas_score",
                                    "sklearn_score")]
        + [P("sequential_count", "i32", 3), P("embarrassing_count", "i32", 0)]
        + [P(n, "f64", 0.7) for n in ("cpu_threshold", "memory_threshold", "gpu_threshold", "numpy_threshold",
                                      "pandas_threshold", "sklearn_threshold")]
        + [P("gpu_available", "truth", True)],
    ),
    C(f"{S}:update_adaptive_threshold", [P("current_threshold", "f64", 0.5), P("success_rate", "f64", 0.9),
                                         P("learning_rate", "f64", 0.1), P("min_threshold", "f64", 0.1),
                                         P("max_threshold", "f64", 0.55)]),
    # korvane.plugins.analyzer.brevanti
    C(
        f"{B}:detect_performance_degradation",
        [P("performance_history", "list", [(t, 100.0 if t < 5 else 80.0) for t in range(10)], items="pairs"),
         P("baseline_performance", "f64", 100.0), P("threshold", "f64", 0.15), P("window_start_time", "f64", 5.0)],
        raises=[ValueError],
    ),
    C(
        f"{B}:calculate_performance_trend",
        [P("performance_history", "list", [(0, 10.0), (1, 11.0), (2, 12.0)], items="pairs"),
         P("window_start_time", "f64", 0.0)],
        raises=[ValueError],
    ),
    C(
        f"{B}:detect_workload_characteristics_change",
        [P("pattern_history", "list",
           [{"parallelization_potential": p, "cpu_intensity": 0.2, "memory_intensity": 0.3}
            for p in (0.1, 0.1, 0.1, 0.5, 0.5, 0.5)], items="patterns"),
         opt("change_threshold", "f64", 0.3)],
        # IndexError: the history became shorter while its entries were read (a key's __eq__ may change it).
        raises=[KeyError, IndexError],
    ),
    C(f"{B}:detect_dominant_pattern", [P("patterns", "list", ["a", "b", "a", "b", "c"], items="names"),
                                       opt("window_size", "i32", 4)]),
    C(
        f"{B}:is_adaptation_beneficial",
        [P("current_pool", "str", "a"), P("recommended_pool", "str", "b"), P("recommendation_score", "f64", 0.56),
         P("recommendation_confidence", "f64", 0.7), P("current_performance_estimate", "f64", 0.5),
         P("trigger_code", "i32", 1), opt("min_improvement_ratio", "f64", 1.1), opt("min_confidence", "f64", 0.6)],
    ),
    C(f"{B}:should_skip_adaptation", [P("last_adaptation_time", "f64", 100.0), P("current_time", "f64", 105.0),
                                      P("min_interval", "f64", 10.0)]),
    C(f"{B}:detect_memory_pressure", [P("current_usage", "f64", 85.0), P("peak_usage", "f64", 100.0),
                                      opt("pressure_threshold", "f64", 0.8)]),
    C(f"{B}:detect_fragmentation_threshold", [P("fragmentation_ratio", "f64", 0.31), opt("threshold", "f64", 0.3)]),
    C(f"{B}:calculate_adaptation_urgency", [P("performance_degradation", "f64", 0.5), P("memory_pressure", "f64", 0.5),
                                            P("fragmentation_ratio", "f64", 0.5), P("workload_changed", "truth", 1)]),
    C(f"{B}:score_pool_recommendation", [P(n, "f64", 0.5) for n in (
        "workload_fit", "memory_fit", "thread_count_fit", "historical_success_rate")]),
    C(
        f"{B}:predict_resource_requirements",
        [P("allocation_history", "list", [(t * 0.5, 1024) for t in range(10)], items="pairs"),
         P("prediction_horizon_seconds", "f64", 10.0)],
        raises=[ValueError],
    ),
    # korvane.monitoring.hoskett
    C(f"{H}:CounterAggregator", [opt("num_counters", "i32", 8)], raises=[MemoryError], bounded=_bounded_counters),
    C(f"{H}:CounterAggregator.update", [P("counter_id", "i32", 3), P("value", "f64", 2.5)], raises=[IndexError]),
    C(f"{H}:CounterAggregator.get_stats", [P("counter_id", "i32", 3)], raises=[IndexError]),
    C(f"{H}:CounterAggregator.reset", [P("counter_id", "i32", 3)], raises=[IndexError]),
    C(f"{H}:CounterAggregator.reset_all"),
    C(f"{H}:CounterAggregator.get_all_stats"),
    *_pickling(f"{H}:CounterAggregator"),
    C(f"{H}:create_aggregator", [opt("num_counters", "i32", 8)], raises=[MemoryError], bounded=_bounded_counters),
    # korvane.gpu.fendral
    C(
        f"{F}:estimate_allocation_bytes",
        [P("shape", "tuple", (1000, 1000), items="dims"), P("element_size", "i32", 8),
         opt("overhead_factor", "f64", 1.5)],
        raises=[ValueError],
    ),
    C(f"{F}:calculate_safe_limit", [P("available_bytes", "u64", 1000), P("headroom_ratio", "f64", 0.2)]),
    C(
        f"{F}:decide_allocation_strategy",
        [P("requested_bytes", "u64", 2500), P("available_bytes", "u64", 1000), P("headroom_ratio", "f64", 0.2),
         P("is_chunkable", "truth", True)],
    ),
    C(
        f"{F}:compute_chunk_shapes",
        [P("shape", "tuple", (10, 4), items="dims"), P("element_size", "i32", 8), P("max_chunk_bytes", "u64", 100)],
        raises=[ValueError],
        bounded=_bounded_chunks,
    ),
    C(
        f"{F}:calculate_optimal_chunks",
        [P("total_bytes", "u64", 2500), P("available_bytes", "u64", 1000), P("headroom_ratio", "f64", 0.2),
         opt("min_chunks", "i32", 2), opt("max_chunks", "i32", 10)],
    ),
    C(f"{F}:is_oom_error", [P("error_message", "str", "CUDA out of memory"), P("error_type", "str", "RuntimeError")]),
    C(f"{F}:is_chunkable_operation", [P("operation", "str", "random.randn")]),
    C(
        f"{F}:score_gpu_suitability",
        [P("data_size_bytes", "u64", 400), P("operation_type", "str", "zeros"), P("available_gpu_memory", "u64", 1000),
         P("headroom_ratio", "f64", 0.2)],
    ),
    C(f"{F}:calculate_memory_pressure", [P("used_bytes", "u64", 50), P("total_bytes", "u64", 100)]),
    C(f"{F}:recommend_headroom", [P("current_pressure", "f64", 0.7), opt("base_headroom", "f64", 0.5)]),
]

# Public attributes and properties: (class path, name, kind of the value it stores). "ro" marks a read-only one.
ATTRIBUTES = [
    *[(f"{T}:LockFreeStatistics", name, "obj") for name in (
        "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
        "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
        "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns")],
    (f"{M}:PolicyConfig", "initial_threshold", "i32"),
    (f"{M}:PolicyConfig", "min_threshold", "i32"),
    (f"{M}:PolicyConfig", "max_threshold", "i32"),
    (f"{M}:PolicyConfig", "learning_rate", "f64"),
    (f"{M}:PolicyConfig", "target_speedup", "f64"),
    (f"{M}:FunctionMetrics", "call_count", "u64"),
    (f"{M}:FunctionMetrics", "compile_count", "u32"),
    (f"{M}:FunctionMetrics", "avg_speedup", "f64"),
    (f"{M}:FunctionMetrics", "total_execution_time_ms", "f64"),
    (f"{M}:FunctionMetrics", "last_compiled", "f64"),
    (f"{M}:FunctionMetrics", "last_compile_time", "f64"),
    (f"{M}:AdaptivePolicy", "config", "ro"),
]

# Exceptions that setting or deleting an attribute may raise on purpose (melquor's properties refuse deletion).
ATTRIBUTE_RAISES = (AttributeError, NotImplementedError)

# Exceptions any argument conversion may raise, and those of the integer kinds on top (int() of a NaN float).
CONVERSION_RAISES = (TypeError, OverflowError)
KIND_RAISES = {kind: (ValueError,) for kind in ("i64", "i32", "u64", "u32", "u8", "pyint")}


@contextlib.contextmanager
def patched(obj, name, value):
    """Replaces an attribute (a module's `threading`, `time`, ...) for the duration of a with block."""
    saved = getattr(obj, name)
    setattr(obj, name, value)
    try:
        yield
    finally:
        setattr(obj, name, saved)


def lookup(callable_):
    """The module object and the object named by `callable_.path` (a function, class or unbound method)."""
    module = importlib.import_module(callable_.module)
    target = module
    for part in callable_.name.split("."):
        target = getattr(target, part)
    return module, target


def documented(callable_):
    """Every exception type `callable_` may raise on purpose when called with arguments of any kind."""
    kinds = {p.kind for p in callable_.params}
    extra = tuple(e for k in kinds for e in KIND_RAISES.get(k, ()))
    return CONVERSION_RAISES + extra + callable_.raises + (HostileError,)


def default_instance(class_path):
    """A fresh instance of the class at `class_path`, made from the sample constructor arguments."""
    ctor = BY_PATH[class_path]
    _, cls = lookup(ctor)
    return cls(**{p.name: p.sample for p in ctor.params})


BY_PATH = {c.path: c for c in CALLABLES}
