"""korvane.memory.tessin: AtomicCounter, LockFreeStatistics, AtomicPointer, LockFreeStack, PerformanceTimer,
AtomicCounterWrapper and the module import."""
import functools
import gc
import subprocess
import sys
import textwrap
import threading
import types
import weakref
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.memory import tessin
from korvane.memory.tessin import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def run_threads(*targets):
    """Runs each target in its own thread, all at once, and waits for them."""
    threads = [threading.Thread(target=target) for target in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_counter_sequence():
    c = AtomicCounter(5)
    assert c.increment() == 6
    assert c.increment(10) == 16
    assert c.decrement() == 15
    assert c.fetch_and_add(5) == 15
    assert c.load() == 20
    assert c.compare_and_swap(20, 1) is True
    assert c.load() == 1
    assert c.compare_and_swap(20, 2) is False
    assert c.load() == 1
    assert c.store(7) is None
    assert c.load() == 7
    assert c.increment(-3) == 4
    assert c.decrement(-3) == 7


@pytest.mark.parametrize(
    "start, call, result, after",
    [
        (INT64_MAX, lambda c: c.increment(), INT64_MIN, INT64_MIN),
        (INT64_MIN, lambda c: c.decrement(), INT64_MAX, INT64_MAX),
        (INT64_MAX, lambda c: c.fetch_and_add(1), INT64_MAX, INT64_MIN),
        (0, lambda c: c.decrement(INT64_MIN), INT64_MIN, INT64_MIN),
        (INT64_MIN, lambda c: c.increment(INT64_MIN), 0, 0),
    ],
)
def test_arithmetic_wraps(start, call, result, after):
    c = AtomicCounter(start)
    assert call(c) == result
    assert c.load() == after


def test_construction():
    assert AtomicCounter().load() == 0
    assert AtomicCounter(initial_value=-5).load() == -5
    assert AtomicCounter(3.9).load() == 3
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
        AtomicCounter(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
        AtomicCounter(value=1)


@pytest.mark.parametrize(
    "value, stored",
    [(True, 1), (False, 0), (2.9, 2), (-2.9, -2), (INT64_MAX, INT64_MAX), (INT64_MIN, INT64_MIN)],
)
def test_store_conversions(value, stored):
    c = AtomicCounter(0)
    c.store(value)
    assert c.load() == stored


@pytest.mark.parametrize("bad", [2**63, INT64_MIN - 1, float("inf"), 1e30])
def test_store_out_of_range_leaves_value(bad):
    c = AtomicCounter(11)
    with pytest.raises(OverflowError):
        c.store(bad)
    assert c.load() == 11


@pytest.mark.parametrize("bad", ["1", None, b"1", object()])
def test_increment_requires_integer(bad):
    c = AtomicCounter(0)
    with pytest.raises(TypeError, match="^an integer is required$"):
        c.increment(bad)
    assert c.load() == 0


def test_results_are_exact_types():
    c = AtomicCounter(1)
    assert type(c.load()) is int
    assert type(c.compare_and_swap(1, 2)) is bool
    assert c.store(3) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.compare_and_swap(expected=1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (lambda c: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.store(1, 2), "store() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.increment(step=1), "increment() got an unexpected keyword argument 'step'"),
        (lambda c: c.store(1, value=2), "store() got multiple values for keyword argument 'value'"),
    ],
)
def test_argument_errors(call, message):
    c = AtomicCounter(9)
    with pytest.raises(TypeError) as info:
        call(c)
    assert str(info.value) == message
    assert c.load() == 9


def test_keywords_and_aliases():
    c = AtomicCounter(0)
    assert c.increment(delta=4) == 4
    assert c.compare_and_swap(new_value=8, expected=4) is True
    assert c.py_fetch_and_add(delta=2) == 8
    assert c.py_load() == 10
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert getattr(AtomicCounter, "py_" + name) is getattr(AtomicCounter, name)


@pytest.mark.parametrize(
    "name, annotations, defaults, doc",
    [
        ("load", {"return": "int"}, None, "Atomically load value."),
        ("store", {}, None, "Atomically store value."),
        ("increment", {"return": "int"}, (1,), "Atomically increment and return new value."),
        ("decrement", {"return": "int"}, (1,), "Atomically decrement and return new value."),
        ("compare_and_swap", {"return": "bool"}, None, "Atomically compare and swap."),
        ("fetch_and_add", {"return": "int"}, None, "Atomically fetch and add."),
    ],
)
def test_method_metadata(name, annotations, defaults, doc):
    f = getattr(AtomicCounter, name)
    assert f.__name__ == name
    assert f.__qualname__ == "AtomicCounter." + name
    assert f.__module__ == "korvane.memory.tessin"
    assert f.__annotations__ == annotations
    assert f.__defaults__ == defaults
    assert f.__doc__ == doc


def test_eight_threads_lose_no_increment():
    c = AtomicCounter(-1000)
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        for _ in range(100000):
            c.increment()

    run_threads(*[work] * 8)
    assert c.load() == -1000 + 800000


def test_mixed_operations_from_threads_are_linearisable():
    # Every thread moves the counter by +delta then -delta, and by compare-and-swap loops: the sum stays exact.
    c = AtomicCounter(0)

    def work(seed):
        for i in range(20000):
            c.fetch_and_add(seed)
            c.decrement(seed)
            while True:
                v = c.load()
                if c.compare_and_swap(v, v + 1):
                    break

    run_threads(*(functools.partial(work, s) for s in range(1, 5)))
    assert c.load() == 4 * 20000


def test_module_attributes():
    assert tessin.VEXEL_ATOMICS_AVAILABLE is True
    import threading as threading_module
    import time as time_module
    import typing

    assert tessin.threading is threading_module
    assert tessin.time is time_module
    assert tessin.Optional is typing.Optional
    assert tessin.TypeVar is typing.TypeVar
    assert tessin.Generic is typing.Generic
    assert tessin.logger.name == "korvane.memory.tessin"
    assert tessin.__test__ == {}


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_import_logs_info_line_once():
    r = run_python(
        """
        import logging
        records = []
        class H(logging.Handler):
            def emit(self, record):
                records.append((record.name, record.levelname, record.getMessage()))
        logging.getLogger().addHandler(H())
        logging.getLogger().setLevel(logging.DEBUG)
        import sys, importlib
        import korvane.memory.tessin as first
        del sys.modules["korvane.memory.tessin"]
        second = importlib.import_module("korvane.memory.tessin")
        assert second is first, (second, first)
        print(repr(records))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == repr(
        [("korvane.memory.tessin", "INFO", "Korvane Vexel Tessin loaded - C11 atomics active (10-20× speedup)")]
    )


def test_second_interpreter_is_refused():
    r = run_python(
        """
        import os, tempfile
        import _testcapi
        import korvane.memory.tessin
        out = tempfile.mktemp()
        code = (
            "try:\\n"
            "    import korvane.memory.tessin\\n"
            "    msg = 'imported'\\n"
            "except ImportError as e:\\n"
            "    msg = 'ImportError: ' + str(e)\\n"
            f"open({out!r}, 'w').write(msg)\\n"
        )
        _testcapi.run_in_subinterp(code)
        print(open(out).read())
        os.unlink(out)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_module_binds_its_names_in_import_order():
    public = [name for name in vars(tessin) if not name.startswith("__")]
    assert public == [
        "AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
        "threading", "time", "Optional", "TypeVar", "Generic",
        "AtomicCounterWrapper", "logging", "logger", "VEXEL_ATOMICS_AVAILABLE",
    ]


# ---------------------------------------------------------------------------------------------------------------
# Shared fixtures: stand-ins for the objects the classes call into.

class Recorder:
    """A counter stand-in: logs every call as (label, method, args) into a shared list."""

    def __init__(self, label, log, value=0):
        self.label, self.log, self.value = label, log, value

    def increment(self, *args):
        self.log.append((self.label, "increment", args))
        self.value += args[0] if args else 1
        return self.value

    def decrement(self, *args):
        self.log.append((self.label, "decrement", args))
        self.value -= args[0] if args else 1
        return self.value

    def load(self):
        self.log.append((self.label, "load", ()))
        return self.value

    def store(self, value):
        self.log.append((self.label, "store", (value,)))
        self.value = value

    def compare_and_swap(self, expected, new_value):
        self.log.append((self.label, "compare_and_swap", (expected, new_value)))
        if self.value == expected:
            self.value = new_value
            return True
        return False


class RecordingLock:
    """A lock stand-in with `with` semantics that logs enter/exit and can refuse entry or swallow exceptions."""

    def __init__(self, log, fail_enter=False, suppress=False):
        self.log, self.fail_enter, self.suppress = log, fail_enter, suppress

    def __enter__(self):
        if self.fail_enter:
            raise RuntimeError("lock refused")
        self.log.append("enter")
        return self

    def __exit__(self, exc_type, exc, tb):
        self.log.append(("exit", exc_type))
        return self.suppress


@pytest.fixture
def fake_locks(monkeypatch):
    """Makes the objects built from now on get RecordingLocks (they call the module attribute `threading`).
    Returns the shared log and the options given to the next locks."""
    log, options = [], {}
    monkeypatch.setattr(tessin, "threading", types.SimpleNamespace(Lock=lambda: RecordingLock(log, **options)))
    return log, options


COUNTER_FIELDS = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
    "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
    "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
]

SNAPSHOT_KEYS = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
    "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
    "bucketed_allocation_ratio", "alignment_padding_bytes", "average_allocation_time_ns",
    "average_deallocation_time_ns", "allocation_mode",
]


def recorded_statistics(cls=LockFreeStatistics):
    """A statistics object whose twelve counters are Recorders sharing one log."""
    log = []
    s = cls()
    for name in COUNTER_FIELDS:
        setattr(s, name, Recorder(name, log))
    return s, log


# ---------------------------------------------------------------------------------------------------------------
# LockFreeStatistics

def test_statistics_fresh_snapshot():
    snap = LockFreeStatistics().get_snapshot()
    assert list(snap) == SNAPSHOT_KEYS
    assert snap == {
        "total_allocations": 0, "total_deallocations": 0, "current_allocations": 0, "bytes_allocated": 0,
        "bytes_reserved": 0, "peak_allocations": 0, "peak_bytes_allocated": 0, "bucketed_allocations": 0,
        "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%", "alignment_padding_bytes": 0,
        "average_allocation_time_ns": 0.0, "average_deallocation_time_ns": 0.0,
        "allocation_mode": "lock-free C11 atomics",
    }
    assert [type(v) for v in snap.values()] == [int] * 9 + [str, int, float, float, str]


def test_statistics_construction_ignores_arguments_and_makes_twelve_counters():
    s = LockFreeStatistics(1, 2, key=3)
    counters = [getattr(s, name) for name in COUNTER_FIELDS]
    assert all(type(c) is AtomicCounter and c.load() == 0 for c in counters)
    assert len({id(c) for c in counters}) == 12


def test_statistics_record_and_snapshot():
    s = LockFreeStatistics()
    assert s.record_allocation(100) is None
    s.record_allocation(50, False, 8, 1000)
    s.record_allocation(30, True, 0, 500)
    snap = s.get_snapshot()
    assert snap == dict(snap, total_allocations=3, current_allocations=3, bytes_allocated=180, peak_allocations=3,
                        peak_bytes_allocated=180, bucketed_allocations=2, fallback_allocations=1,
                        alignment_padding_bytes=8, bucketed_allocation_ratio="66.7%",
                        average_allocation_time_ns=500.0, average_deallocation_time_ns=0.0)
    assert s.total_allocation_time_ns.load() == 1500
    assert s.record_deallocation(50, 200) is None
    snap = s.get_snapshot()
    assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 2, 130)
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (3, 180)
    assert snap["average_deallocation_time_ns"] == 200.0


def test_reset_zeroes_every_counter():
    s = LockFreeStatistics()
    s.record_allocation(100)
    s.record_allocation(50, False, 8, 1000)
    s.record_deallocation(50, 200)
    s.bytes_reserved.store(4096)
    assert s.reset() is None
    assert s.get_snapshot() == LockFreeStatistics().get_snapshot()
    # Figures recorded after a reset stand on their own: no ratio above 100%, no averages inflated by old times.
    s.record_allocation(10, True, 0, 40)
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == "100.0%"
    assert snap["average_allocation_time_ns"] == 40.0
    assert (snap["fallback_allocations"], snap["alignment_padding_bytes"]) == (0, 0)


def test_reset_stores_zero_on_every_counter_in_field_order_under_the_lock(fake_locks):
    lock_log, _ = fake_locks
    s, log = recorded_statistics()
    s.reset()
    assert log == [(name, "store", (0,)) for name in COUNTER_FIELDS]
    assert lock_log == ["enter", ("exit", None)]


def test_reset_failure_releases_the_lock_and_keeps_what_was_zeroed(fake_locks):
    lock_log, _ = fake_locks
    s, log = recorded_statistics()
    s.current_allocations.value = 7
    s.bytes_allocated = None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'store'"):
        s.reset()
    assert lock_log == ["enter", ("exit", AttributeError)]
    assert [entry[0] for entry in log] == COUNTER_FIELDS[:3]
    assert s.current_allocations.value == 0


def test_reset_goes_on_when_the_lock_swallows_the_error(fake_locks):
    lock_log, options = fake_locks
    options["suppress"] = True
    s = LockFreeStatistics()
    s.total_allocations = None
    assert s.reset() is None
    assert lock_log == ["enter", ("exit", AttributeError)]


def test_recording_peaks_and_snapshots_take_no_lock(fake_locks):
    lock_log, _ = fake_locks
    s = LockFreeStatistics()
    s.record_allocation(10, True, 1, 1)
    s.record_deallocation(5, 1)
    s.py_record_allocation(3, False, 1, 1)
    s.py_record_deallocation(1, 1)
    s._update_peaks(9, 9)
    s.get_snapshot()
    assert lock_log == []


def test_reset_is_not_run_when_the_lock_refuses(fake_locks):
    _, options = fake_locks
    options["fail_enter"] = True
    s, log = recorded_statistics()
    with pytest.raises(RuntimeError, match="lock refused"):
        s.reset()
    assert log == []


def test_record_allocation_calls_each_counter_by_name_in_order():
    s, log = recorded_statistics()
    s.record_allocation(100, False, 8, 1000)
    assert log == [
        ("total_allocations", "increment", ()),
        ("current_allocations", "increment", ()),
        ("bytes_allocated", "increment", (100,)),
        ("fallback_allocations", "increment", ()),
        ("alignment_padding_bytes", "increment", (8,)),
        ("total_allocation_time_ns", "increment", (1000,)),
        ("current_allocations", "load", ()),
        ("bytes_allocated", "load", ()),
        ("peak_allocations", "load", ()),
        ("peak_allocations", "compare_and_swap", (0, 1)),
        ("peak_bytes_allocated", "load", ()),
        ("peak_bytes_allocated", "compare_and_swap", (0, 100)),
    ]
    log.clear()
    s.peak_allocations.value = s.peak_bytes_allocated.value = 10**6  # peaks already above: load, no swap
    s.record_allocation(5, padding=0, time_ns=-3)  # no padding or time step unless positive
    assert [entry[0] for entry in log[:4]] == [
        "total_allocations", "current_allocations", "bytes_allocated", "bucketed_allocations"]
    assert log[4:] == [("current_allocations", "load", ()), ("bytes_allocated", "load", ()),
                       ("peak_allocations", "load", ()), ("peak_bytes_allocated", "load", ())]


def test_record_deallocation_calls_each_counter_by_name_in_order():
    s, log = recorded_statistics()
    s.record_deallocation(64, 9)
    assert log == [
        ("total_deallocations", "increment", ()),
        ("current_allocations", "decrement", ()),
        ("bytes_allocated", "decrement", (64,)),
        ("total_deallocation_time_ns", "increment", (9,)),
    ]
    log.clear()
    s.record_deallocation(64)
    assert len(log) == 3


class LoggingCounter(AtomicCounter):
    """A subclass: it gets the Python-level calls, so its overrides are seen."""

    calls = []

    def increment(self, delta=1):
        LoggingCounter.calls.append(("increment", delta))
        return super().increment(delta)


def test_counter_subclasses_get_python_level_calls():
    LoggingCounter.calls.clear()
    s = LockFreeStatistics()
    s.total_allocations = LoggingCounter(0)
    s.record_allocation(8)
    assert LoggingCounter.calls == [("increment", 1)]
    assert s.total_allocations.load() == 1


@pytest.mark.parametrize("is_bucketed, field", [
    (True, "bucketed_allocations"), (1, "bucketed_allocations"), ("x", "bucketed_allocations"),
    (False, "fallback_allocations"), (None, "fallback_allocations"), ([], "fallback_allocations"),
])
def test_is_bucketed_is_a_truth_value(is_bucketed, field):
    s = LockFreeStatistics()
    s.record_allocation(1, is_bucketed)
    assert getattr(s, field).load() == 1


def test_record_allocation_converts_numbers_to_int():
    s = LockFreeStatistics()
    s.record_allocation(4096.7, padding=2.5, time_ns=Fraction(7, 2))
    snap = s.get_snapshot()
    assert (snap["bytes_allocated"], snap["alignment_padding_bytes"], s.total_allocation_time_ns.load()) == (4096, 2, 3)
    s.record_allocation(0)
    s.record_allocation(-96)
    assert (s.total_allocations.load(), s.bytes_allocated.load(), s.peak_bytes_allocated.load()) == (3, 4000, 4096)


def test_failing_counter_step_keeps_the_steps_before_it():
    s = LockFreeStatistics()
    with pytest.raises(OverflowError):
        s.record_allocation(2**63)  # bytes_allocated.increment(size) cannot take it
    assert (s.total_allocations.load(), s.current_allocations.load(), s.bytes_allocated.load()) == (1, 1, 0)
    assert s.bucketed_allocations.load() == 0
    with pytest.raises(OverflowError):
        s.py_record_allocation(2**63, True)
    with pytest.raises(OverflowError):
        s.py_record_deallocation(1, -(2**63) - 1)
    assert s.total_allocations.load() == 1 and s.total_deallocations.load() == 0


def test_py_record_forms_touch_only_three_public_counters():
    s = LockFreeStatistics()
    s.py_record_allocation(100, True)
    s.py_record_allocation(size=50, is_bucketed=False, padding=8, time_ns=1000)
    snap = s.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 2, 150)
    untouched = ["bucketed_allocations", "fallback_allocations", "alignment_padding_bytes", "peak_allocations",
                 "peak_bytes_allocated", "total_allocation_time_ns"]
    assert [getattr(s, name).load() for name in untouched] == [0] * 6
    s.py_record_deallocation(30, 5)
    assert [getattr(s, name).load() for name in COUNTER_FIELDS[:4]] == [2, 1, 1, 120]
    assert s.total_deallocation_time_ns.load() == 0


def test_py_record_forms_call_public_counters_by_name():
    s, log = recorded_statistics()
    s.py_record_allocation(100.9, 0)
    s.py_record_deallocation(7)
    assert log == [
        ("total_allocations", "increment", ()),
        ("current_allocations", "increment", ()),
        ("bytes_allocated", "increment", (100,)),
        ("total_deallocations", "increment", ()),
        ("current_allocations", "decrement", ()),
        ("bytes_allocated", "decrement", (7,)),
    ]


def test_update_peaks_never_lowers():
    s = LockFreeStatistics()
    assert s._update_peaks(5, 10) is None
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 10)
    s._update_peaks(3, 20)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 20)
    s._update_peaks(current_bytes=-(2**70), current_allocs=5.5)  # below every peak: nothing to swap
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 20)
    with pytest.raises(OverflowError):
        s._update_peaks(2**63, 0)  # the swap cannot take it
    assert s.peak_allocations.load() == 5


class ContendedPeak(Recorder):
    """A peak counter whose first swap loses to another thread that raised the peak meanwhile."""

    def compare_and_swap(self, expected, new_value):
        result = super().compare_and_swap(expected, new_value)
        if len(self.log) == 2:
            self.value = 7
            return False
        return result


@pytest.mark.parametrize("candidate, rounds", [(9, 2), (6, 1)])
def test_update_peaks_retries_a_lost_swap(candidate, rounds):
    log = []
    s = LockFreeStatistics()
    s.peak_allocations = ContendedPeak("peak", log, value=2)
    s._update_peaks(candidate, 0)
    expected = [("peak", "load", ()), ("peak", "compare_and_swap", (2, candidate)), ("peak", "load", ())]
    if rounds == 2:
        expected.append(("peak", "compare_and_swap", (7, candidate)))
    assert log == expected
    assert s.peak_allocations.value == max(candidate, 7)


def test_subclass_override_of_update_peaks_is_called():
    class Custom(LockFreeStatistics):
        def __init__(self):
            self.seen = []

        def _update_peaks(self, current_allocs, current_bytes):
            self.seen.append((current_allocs, current_bytes))

    s = Custom()
    s.record_allocation(10)
    s.record_allocation(20)
    assert s.seen == [(1, 10), (2, 30)]
    assert s.peak_allocations.load() == 0 and s.peak_bytes_allocated.load() == 0
    # py_record_allocation keeps its peaks in the native mirrors and never calls it.
    s.py_record_allocation(5, True)
    assert s.seen == [(1, 10), (2, 30)]


def test_subclass_without_override_runs_the_native_peaks():
    class Plain(LockFreeStatistics):
        pass

    s = Plain()
    s.record_allocation(10)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (1, 10)


def test_update_peaks_found_on_the_instance_dict():
    class WithDict(LockFreeStatistics):
        pass

    s = WithDict()
    seen = []
    s._update_peaks = lambda a, b: seen.append((a, b))
    s.record_allocation(3)
    assert seen == [(1, 3)]


def test_loaded_values_are_converted_for_the_native_update_peaks():
    s, log = recorded_statistics()
    s.current_allocations.value = 2.75
    s.record_allocation(1)  # current load() gives 3.75: converted to 3 as an argument would be
    assert s.peak_allocations.value == 3
    s.current_allocations = types.SimpleNamespace(increment=lambda: None, load=lambda: "many")
    with pytest.raises(TypeError, match=r"^Argument 'current_allocs' has incorrect type \(expected int, got str\)$"):
        s.record_allocation(1)


@pytest.mark.parametrize("name", COUNTER_FIELDS)
def test_public_attributes_hold_any_object_and_delete_to_none(name):
    s = LockFreeStatistics()
    marker = object()
    before = sys.getrefcount(marker)
    setattr(s, name, marker)
    assert getattr(s, name) is marker
    assert sys.getrefcount(marker) == before + 1
    setattr(s, name, 5)
    assert sys.getrefcount(marker) == before
    delattr(s, name)
    assert getattr(s, name) is None


def test_a_deleted_counter_fails_the_call_that_uses_it():
    s = LockFreeStatistics()
    del s.bytes_allocated
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'increment'"):
        s.record_allocation(1)
    assert s.current_allocations.load() == 1
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'load'"):
        s.get_snapshot()


def test_a_counter_may_drop_itself_during_its_call():
    s = LockFreeStatistics()

    class SelfRemoving:
        def increment(self):
            del s.total_allocations  # drops the statistics' only reference while the call runs
            return 1

    s.total_allocations = SelfRemoving()
    s.record_allocation(1)
    assert s.total_allocations is None


def test_snapshot_of_non_int_counters_uses_host_arithmetic():
    s, _ = recorded_statistics()
    s.total_allocations.value = Fraction(3)
    s.bucketed_allocations.value = 2
    s.total_allocation_time_ns.value = 1.5
    s.total_deallocations.value = 0.0
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == "66.7%"
    assert snap["average_allocation_time_ns"] == 0.5
    assert type(snap["average_deallocation_time_ns"]) is float and snap["average_deallocation_time_ns"] == 0.0
    assert snap["total_allocations"] == Fraction(3)


@settings(max_examples=300, deadline=None)
@given(
    bucketed=st.integers(-(2**63), 2**63 - 1),
    total=st.integers(1, 2**63 - 1),
    time_total=st.integers(-(2**63), 2**63 - 1),
    deallocations=st.integers(-(2**63), 2**63 - 1),
)
def test_snapshot_ratio_and_averages_match_host_arithmetic(bucketed, total, time_total, deallocations):
    s = LockFreeStatistics()
    s.bucketed_allocations.store(bucketed)
    s.total_allocations.store(total)
    s.total_allocation_time_ns.store(time_total)
    s.total_deallocations.store(deallocations)
    s.total_deallocation_time_ns.store(time_total)
    snap = s.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == f"{bucketed / total * 100.0:.1f}%"
    assert snap["average_allocation_time_ns"] == time_total / total
    assert snap["average_deallocation_time_ns"] == (time_total / deallocations if deallocations > 0 else 0.0)


OPERATIONS = st.lists(
    st.one_of(
        st.tuples(st.just("alloc"), st.integers(-(2**40), 2**40), st.booleans(), st.integers(-5, 50),
                  st.integers(-5, 500)),
        st.tuples(st.just("free"), st.integers(-(2**40), 2**40), st.integers(-5, 500)),
        st.tuples(st.just("peaks"), st.integers(-(2**62), 2**62), st.integers(-(2**62), 2**62)),
        st.tuples(st.just("reset")),
    ),
    max_size=40,
)


@settings(max_examples=200, deadline=None)
@given(OPERATIONS)
def test_native_counter_path_matches_python_level_calls(operations):
    # The same operations on exact AtomicCounters (run natively) and on a subclass (called by name).
    class Counter(AtomicCounter):
        pass

    native = LockFreeStatistics()
    called = LockFreeStatistics()
    for name in COUNTER_FIELDS:
        setattr(called, name, Counter(0))
    for stats in (native, called):
        for op in operations:
            if op[0] == "alloc":
                stats.record_allocation(*op[1:])
            elif op[0] == "free":
                stats.record_deallocation(*op[1:])
            elif op[0] == "peaks":
                stats._update_peaks(*op[1:])
            else:
                stats.reset()
    assert native.get_snapshot() == called.get_snapshot()


def test_four_threads_record_allocations_without_loss():
    s = LockFreeStatistics()
    n = 20000
    barrier = threading.Barrier(4)

    def work(i):
        barrier.wait()
        for _ in range(n):
            s.record_allocation(8, i % 2 == 0, 1, 2)

    run_threads(*(functools.partial(work, i) for i in range(4)))
    snap = s.get_snapshot()
    assert snap["total_allocations"] == snap["current_allocations"] == 4 * n
    assert snap["bytes_allocated"] == 4 * n * 8
    assert snap["bucketed_allocations"] == snap["fallback_allocations"] == 2 * n
    assert snap["alignment_padding_bytes"] == 4 * n
    assert s.total_allocation_time_ns.load() == 8 * n
    # The thread whose increment came last loads the final figures and raises the peaks to them.
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (4 * n, 4 * n * 8)


def test_threads_mixing_every_recording_form_lose_nothing():
    s = LockFreeStatistics()
    n = 10000

    def allocate():
        for _ in range(n):
            s.record_allocation(16)

    def allocate_old_form():
        for _ in range(n):
            s.py_record_allocation(16, False)

    def free():
        for _ in range(n):
            s.record_deallocation(16)

    def free_old_form():
        for _ in range(n):
            s.py_record_deallocation(16)

    run_threads(allocate, allocate_old_form, free, free_old_form)
    assert [getattr(s, name).load() for name in COUNTER_FIELDS[:4]] == [2 * n, 2 * n, 0, 0]


def test_statistics_take_part_in_gc_over_their_thirteen_fields():
    s = LockFreeStatistics()
    referents = gc.get_referents(s)
    assert type(referents[0]) is type(threading.Lock())
    assert referents[1:] == [getattr(s, name) for name in COUNTER_FIELDS]


def test_statistics_cycle_through_a_public_attribute_is_collected():
    class Holder(LockFreeStatistics):
        pass

    s = Holder()
    s.total_allocations = s
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_statistics_destruction_releases_its_counters():
    s = LockFreeStatistics()
    counter = s.bytes_allocated
    before = sys.getrefcount(counter)
    del s
    assert sys.getrefcount(counter) == before - 1
    assert counter.load() == 0


STATISTICS_DOCS = {
    "record_allocation": "\n        Record an allocation event.\n\n        Args:\n            size: Size of "
    "allocation in bytes\n            is_bucketed: Whether allocation came from bucketed pool\n            "
    "padding: Alignment padding bytes used\n            time_ns: Time taken for allocation in nanoseconds\n        ",
    "record_deallocation": "\n        Record a deallocation event.\n\n        Args:\n            size: Size of "
    "deallocation in bytes\n            time_ns: Time taken for deallocation in nanoseconds\n        ",
    "py_record_allocation": "\n        Record allocation event.\n\n        Updates both internal atomics and public "
    "AtomicCounter instances.\n        ",
    "py_record_deallocation": "\n        Record deallocation event.\n\n        Updates both internal atomics and "
    "public AtomicCounter instances.\n        ",
    "get_snapshot": "\n        Get atomic snapshot of statistics.\n\n        Returns:\n            Dictionary with "
    "all statistics\n        ",
    "reset": "Reset all statistics to zero.",
}


@pytest.mark.parametrize("attr, name, annotations, defaults", [
    ("record_allocation", "record_allocation",
     {"size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int", "return": "None"}, (True, 0, 0)),
    ("record_deallocation", "record_deallocation", {"size": "int", "time_ns": "int", "return": "None"}, (0,)),
    ("py_record_allocation", "record_allocation",
     {"size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int"}, (0, 0)),
    ("py_record_deallocation", "record_deallocation", {"size": "int", "time_ns": "int"}, (0,)),
    ("_update_peaks", "_update_peaks", {"current_allocs": "int", "current_bytes": "int", "return": "None"}, None),
    ("get_snapshot", "get_snapshot", {"return": "dict"}, None),
    ("reset", "reset", {}, None),
])
def test_statistics_method_metadata(attr, name, annotations, defaults):
    f = getattr(LockFreeStatistics, attr)
    assert f.__name__ == name
    assert f.__qualname__ == "LockFreeStatistics." + name
    assert f.__module__ == "korvane.memory.tessin"
    assert f.__annotations__ == annotations
    assert f.__defaults__ == defaults
    if attr in STATISTICS_DOCS:
        assert f.__doc__ == STATISTICS_DOCS[attr]
    else:
        assert "current_allocs" in f.__doc__ and "current_bytes" in f.__doc__
    if defaults:
        assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]


# ---------------------------------------------------------------------------------------------------------------
# Argument errors of the native classes: the exact message, and nothing changed.

def argument_error_rows(make, state, rows):
    return [(make, state, call, message) for call, message in rows]


@pytest.mark.parametrize("make, state, call, message", [
    *argument_error_rows(LockFreeStatistics, lambda s: s.get_snapshot(), [
        (lambda s: s.record_allocation("4096"), "Argument 'size' has incorrect type (expected int, got str)"),
        (lambda s: s.record_allocation(1, True, None),
         "Argument 'padding' has incorrect type (expected int, got NoneType)"),
        (lambda s: s.record_allocation(1, time_ns=b"1"),
         "Argument 'time_ns' has incorrect type (expected int, got bytes)"),
        (lambda s: s.record_deallocation([1]), "Argument 'size' has incorrect type (expected int, got list)"),
        (lambda s: s._update_peaks(1, "2"), "Argument 'current_bytes' has incorrect type (expected int, got str)"),
        (lambda s: s.record_allocation(), "record_allocation() takes at least 1 positional argument (0 given)"),
        (lambda s: s.record_allocation(1, 2, 3, 4, 5),
         "record_allocation() takes at most 4 positional arguments (5 given)"),
        (lambda s: s.py_record_allocation(1), "record_allocation() takes at least 2 positional arguments (1 given)"),
        (lambda s: s.py_record_allocation(1, True, 0, 0, 0),
         "record_allocation() takes at most 4 positional arguments (5 given)"),
        (lambda s: s.py_record_deallocation(), "record_deallocation() takes at least 1 positional argument (0 given)"),
        (lambda s: s.py_record_allocation("1", True), "an integer is required"),
        (lambda s: s.record_deallocation(1, bytes=2),
         "record_deallocation() got an unexpected keyword argument 'bytes'"),
        (lambda s: s._update_peaks(1), "_update_peaks() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.get_snapshot(1), "get_snapshot() takes exactly 0 positional arguments (1 given)"),
        (lambda s: s.reset(1), "reset() takes exactly 0 positional arguments (1 given)"),
    ]),
    *argument_error_rows(lambda: AtomicPointer(7), lambda p: (p.load(), p.get_version()), [
        (lambda p: p.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda p: p.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda p: p.get_version(x=1), "get_version() got an unexpected keyword argument 'x'"),
        (lambda p: AtomicPointer(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
        (lambda p: AtomicPointer(value=1), "__cinit__() got an unexpected keyword argument 'value'"),
    ]),
    *argument_error_rows(LockFreeStack, lambda s: (s.size(), s.is_empty()), [
        (lambda s: s.pop(1), "pop() takes exactly 0 positional arguments (1 given)"),
        (lambda s: s.push(), "push() takes exactly 1 positional argument (0 given)"),
        (lambda s: s.push(1, 2), "push() takes exactly 1 positional argument (2 given)"),
        (lambda s: s.size(1), "size() takes exactly 0 positional arguments (1 given)"),
        (lambda s: s.is_empty(1), "is_empty() takes exactly 0 positional arguments (1 given)"),
    ]),
])
def test_argument_errors_change_nothing(make, state, call, message):
    obj = make()
    before = state(obj)
    with pytest.raises(TypeError) as info:
        call(obj)
    assert str(info.value) == message
    assert state(obj) == before


# ---------------------------------------------------------------------------------------------------------------
# AtomicPointer

def test_pointer_basics():
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    x = object()
    assert AtomicPointer(x).load() is x
    assert AtomicPointer(initial_value=x).load() is x
    a = [1]
    assert p.store(a) is None
    p.store(a)
    assert p.load() is a and p.get_version() == 2
    assert type(p.get_version()) is int


def test_pointer_compare_and_swap_by_identity():
    a, b, c = object(), object(), object()
    p = AtomicPointer(a)
    assert p.compare_and_swap(a, b) is True
    assert p.load() is b and p.get_version() == 1
    assert p.compare_and_swap(a, c) is False
    assert p.load() is b and p.get_version() == 1
    first, second = [1, 2], [1, 2]
    p.store(first)
    assert p.compare_and_swap(second, c) is False
    assert p.load() is first
    assert p.compare_and_swap(expected=first, new_value=None) is True
    assert p.load() is None


def test_pointer_none_is_the_empty_slot():
    x = object()
    p = AtomicPointer(x)
    p.store(None)
    assert p.compare_and_swap(None, x) is True
    assert p.load() is x
    assert AtomicPointer(None).compare_and_swap(None, None) is True


def test_pointer_reference_counts():
    a, b = object(), object()
    base_a, base_b = sys.getrefcount(a), sys.getrefcount(b)
    p = AtomicPointer(a)
    assert sys.getrefcount(a) == base_a + 1
    p.store(a)
    assert sys.getrefcount(a) == base_a + 1
    p.store(b)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a, base_b + 1)
    assert p.compare_and_swap(a, a) is False  # the reference taken for the new value is given back
    assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a, base_b + 1)
    assert p.compare_and_swap(b, a) is True
    assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a + 1, base_b)
    for _ in range(100):
        assert p.load() is a
    assert sys.getrefcount(a) == base_a + 1
    del p
    assert sys.getrefcount(a) == base_a


def test_pointer_releases_the_old_object_after_the_lock(fake_locks):
    lock_log, _ = fake_locks
    p = AtomicPointer()

    class Noisy:
        def __del__(self):
            lock_log.append("released")

    p.store(Noisy())
    lock_log.clear()
    p.store(None)
    assert lock_log == ["enter", ("exit", None), "released"]


def test_pointer_operations_run_under_the_lock(fake_locks):
    lock_log, _ = fake_locks
    p = AtomicPointer(1)
    p.load()
    p.store(2)
    p.compare_and_swap(2, 3)
    p.get_version()
    assert lock_log == ["enter", ("exit", None)] * 4


def test_pointer_refused_lock_changes_nothing_and_leaks_nothing(fake_locks):
    _, options = fake_locks
    x = object()
    options["fail_enter"] = True
    refused = AtomicPointer(x)
    base = sys.getrefcount(x)
    for call in (lambda: refused.store(None), lambda: refused.compare_and_swap(x, None),
                 lambda: refused.load(), lambda: refused.get_version()):
        with pytest.raises(RuntimeError, match="lock refused"):
            call()
    assert sys.getrefcount(x) == base


def test_pointer_gc_visits_only_the_lock():
    x = []
    p = AtomicPointer(x)
    referents = gc.get_referents(p)
    assert len(referents) == 1 and type(referents[0]) is type(threading.Lock())


def test_pointer_threads_count_every_swap():
    # Each successful swap replaces the held object, so the version counts the swaps exactly.
    p = AtomicPointer(0)
    wins = []

    def work():
        mine = 0
        while mine < 2000:
            current = p.load()
            if p.compare_and_swap(current, object()):
                mine += 1
        wins.append(mine)

    run_threads(*[work] * 4)
    assert p.get_version() == sum(wins) == 8000


# ---------------------------------------------------------------------------------------------------------------
# LockFreeStack

def test_stack_sequence():
    s = LockFreeStack(5, key=1)
    assert s.is_empty() is True and s.size() == 0
    for item in (1, 2, None):
        assert s.push(item) is None
    assert s.size() == 3 and s.is_empty() is False
    assert [s.pop(), s.pop(), s.pop(), s.pop()] == [None, 2, 1, None]
    assert s.is_empty() is True and s.size() == 0
    assert type(s.size()) is int


def test_stack_reference_counts():
    item = object()
    base = sys.getrefcount(item)
    s = LockFreeStack()
    s.push(item)
    s.push(item)
    assert sys.getrefcount(item) == base + 2
    popped = s.pop()
    assert popped is item
    assert sys.getrefcount(item) == base + 2  # the caller's `popped` and the remaining node
    del popped
    assert sys.getrefcount(item) == base + 1
    assert s.pop() is item
    assert sys.getrefcount(item) == base


def test_stack_destruction_releases_every_item():
    class Item:
        pass

    items = [Item() for _ in range(3)]
    refs = [weakref.ref(i) for i in items]
    s = LockFreeStack()
    for i in items:
        s.push(i)
    del items, i
    assert all(r() is not None for r in refs)
    del s
    assert all(r() is None for r in refs)


def test_deep_stack_is_destroyed_without_recursion():
    s = LockFreeStack()
    for i in range(200000):
        s.push(i)
    assert s.size() == 200000
    del s


def test_stack_gc_visits_only_the_lock():
    s = LockFreeStack()
    s.push([])
    referents = gc.get_referents(s)
    assert len(referents) == 1 and type(referents[0]) is type(threading.Lock())


def test_stack_operations_run_under_the_lock_except_size(fake_locks):
    lock_log, options = fake_locks
    s = LockFreeStack()
    s.push(1)
    s.pop()
    s.is_empty()
    s.size()
    assert lock_log == ["enter", ("exit", None)] * 3
    options["fail_enter"] = True
    refused = LockFreeStack()
    item = object()
    base = sys.getrefcount(item)
    with pytest.raises(RuntimeError, match="lock refused"):
        refused.push(item)
    assert sys.getrefcount(item) == base and refused.size() == 0


def test_stack_threads_push_and_pop_every_item_once():
    s = LockFreeStack()
    n = 5000
    popped = [[] for _ in range(4)]

    def work(i):
        for k in range(n):
            s.push((i, k))
        for _ in range(n):
            item = s.pop()
            while item is None:
                item = s.pop()
            popped[i].append(item)

    run_threads(*(functools.partial(work, i) for i in range(4)))
    assert sorted(x for part in popped for x in part) == sorted((i, k) for i in range(4) for k in range(n))
    assert s.size() == 0 and s.is_empty()


@pytest.mark.parametrize("cls, name, annotations, doc", [
    (AtomicPointer, "load", {"return": "Optional[object]"}, "\n        Atomically load pointer value.\n\n        "
     "Returns:\n            Current pointer value (Python object or None)\n        "),
    (AtomicPointer, "store", {}, "\n        Atomically store new pointer value.\n\n        Args:\n            value: "
     "New value to store\n        "),
    (AtomicPointer, "compare_and_swap", {"return": "bool"}, "\n        Atomically compare and swap pointer.\n\n     "
     "   Args:\n            expected: Expected current value\n            new_value: New value if current equals "
     "expected\n\n        Returns:\n            True if swap occurred\n        "),
    (AtomicPointer, "get_version", {"return": "int"}, "Get current version for ABA detection."),
    (LockFreeStack, "push", {}, "\n        Push item onto stack.\n\n        Args:\n            item: Item to push\n   "
     "     "),
    (LockFreeStack, "pop", {"return": "Optional[object]"}, "\n        Pop item from stack.\n\n        Returns:\n     "
     "       Popped item or None if empty\n        "),
    (LockFreeStack, "is_empty", {"return": "bool"}, "Check if stack is empty."),
    (LockFreeStack, "size", {"return": "int"}, "Get approximate stack size."),
    (PerformanceTimer, "start", {}, "Start timing."),
    (PerformanceTimer, "elapsed_ns", {"return": "int"}, "Get elapsed time in nanoseconds."),
    (PerformanceTimer, "elapsed_us", {"return": "float"}, "Get elapsed time in microseconds."),
    (PerformanceTimer, "elapsed_ms", {"return": "float"}, "Get elapsed time in milliseconds."),
])
def test_pointer_stack_and_timer_method_metadata(cls, name, annotations, doc):
    f = getattr(cls, name)
    assert f.__name__ == name
    assert f.__qualname__ == f"{cls.__name__}.{name}"
    assert f.__module__ == "korvane.memory.tessin"
    assert f.__annotations__ == annotations
    assert f.__defaults__ is None
    assert f.__doc__ == doc


# ---------------------------------------------------------------------------------------------------------------
# PerformanceTimer

@pytest.fixture
def clock(monkeypatch):
    """Replaces time.perf_counter_ns with readings taken from a list."""
    import time as time_module

    readings = []
    monkeypatch.setattr(time_module, "perf_counter_ns", lambda: readings.pop(0))
    return readings


def test_timer_without_start_returns_the_raw_reading():
    import time as time_module

    t = PerformanceTimer(1, x=2)
    before = time_module.perf_counter_ns()
    raw = t.elapsed_ns()
    assert before <= raw <= time_module.perf_counter_ns()


def test_timer_measures_with_exact_types():
    t = PerformanceTimer()
    assert t.start() is None
    first = t.elapsed_ns()
    assert type(first) is int and first >= 0
    assert t.elapsed_ns() >= first
    assert type(t.elapsed_us()) is float and type(t.elapsed_ms()) is float


def test_timer_units(clock):
    t = PerformanceTimer()
    clock[:] = [1000, 3500, 3500, 1001000, 7]
    t.start()
    assert t.elapsed_ns() == 2500
    assert t.elapsed_us() == 2.5
    assert t.elapsed_ms() == 1.0
    assert t.elapsed_ns() == -993  # a reading before the start is reported as it is


def test_timer_finds_time_through_the_import_system(monkeypatch, clock):
    # The module attribute `time` is not consulted; sys.modules["time"] is.
    monkeypatch.setattr(tessin, "time", None)
    clock[:] = [10, 25]
    t = PerformanceTimer()
    t.start()
    assert t.elapsed_ns() == 15
    monkeypatch.setitem(sys.modules, "time", types.SimpleNamespace(perf_counter_ns=lambda: 99))
    assert t.elapsed_ns() == 89


def test_timer_imports_time_when_missing():
    r = run_python(
        """
        import sys
        from korvane.memory.tessin import PerformanceTimer
        del sys.modules["time"]
        t = PerformanceTimer()
        t.start()
        print("time" in sys.modules, t.elapsed_ns() >= 0)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True", "True"]


@pytest.mark.parametrize("reading, error, message", [
    ("soon", TypeError, "^an integer is required$"),
    (2**63, OverflowError, None),
])
def test_timer_start_converts_the_reading(clock, reading, error, message):
    t = PerformanceTimer()
    clock[:] = [reading, 50]
    with pytest.raises(error, match=message):
        t.start()
    assert t.elapsed_ns() == 50  # start unchanged


def test_timer_results_are_checked(clock):
    t = PerformanceTimer()
    clock[:] = [5.9, 10.5, 2**70]
    t.start()  # 5
    assert t.elapsed_ns() == 5  # int(10.5 - 5)
    assert t.elapsed_us() == float(2**70 - 5) / 1000.0


def test_timer_subclass_elapsed_ns_is_used():
    class Fixed(PerformanceTimer):
        value = 1500

        def elapsed_ns(self):
            return self.value

    t = Fixed()
    assert t.elapsed_us() == 1.5 and t.elapsed_ms() == 0.0015
    t.value = 2.5e6
    assert t.elapsed_ms() == 2.5
    t.value = Fraction(3, 2)
    assert t.elapsed_us() == 0.0015
    t.value = None
    with pytest.raises(TypeError, match="unsupported operand"):
        t.elapsed_us()

    class Odd:
        def __truediv__(self, other):
            return "odd"

    t.value = Odd()
    with pytest.raises(TypeError, match="^Expected float, got str$"):
        t.elapsed_ms()


# ---------------------------------------------------------------------------------------------------------------
# AtomicCounterWrapper

def test_wrapper_operations():
    assert AtomicCounterWrapper().load() == 0
    w = AtomicCounterWrapper(5)
    assert w.increment() == 6
    assert w.fetch_and_add(3) == 6
    assert w.load() == 9
    assert w.compare_and_swap(9, 0) is True
    assert w.compare_and_swap(9, 1) is False
    assert w.store(4) is None
    assert w.decrement(2) == 2
    assert w.increment(delta=2.9) == 4
    assert type(w._counter) is AtomicCounter
    assert vars(w) == {"_counter": w._counter}
    assert AtomicCounterWrapper(5.9).load() == 5
    assert AtomicCounterWrapper(initial_value=True).load() == 1


def test_wrapper_class_is_a_plain_python_class():
    cls = AtomicCounterWrapper
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "korvane.memory.tessin" and cls.__qualname__ == "AtomicCounterWrapper"
    assert cls.__doc__ == "Python wrapper for Vexel AtomicCounter (backward compatibility)."
    assert list(k for k in vars(cls) if not k.startswith("__") or k == "__init__") == [
        "__init__", "load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"]


@pytest.mark.parametrize("name, annotations, defaults", [
    ("__init__", {"initial_value": "int"}, (0,)),
    ("load", {"return": "int"}, None),
    ("store", {"value": "int"}, None),
    ("increment", {"delta": "int", "return": "int"}, (1,)),
    ("decrement", {"delta": "int", "return": "int"}, (1,)),
    ("compare_and_swap", {"expected": "int", "new_value": "int", "return": "bool"}, None),
    ("fetch_and_add", {"delta": "int", "return": "int"}, None),
])
def test_wrapper_function_metadata(name, annotations, defaults):
    f = vars(AtomicCounterWrapper)[name]
    assert f.__name__ == name
    assert f.__qualname__ == "AtomicCounterWrapper." + name
    assert f.__module__ == "korvane.memory.tessin"
    assert f.__annotations__ == annotations
    assert f.__defaults__ == defaults


@pytest.mark.parametrize("call, error, message", [
    (lambda w: w.load(5), TypeError, "load() takes exactly 1 positional argument (2 given)"),
    (lambda w: w.store(), TypeError, "store() takes exactly 2 positional arguments (1 given)"),
    (lambda w: w.increment(1, 2), TypeError, "increment() takes at most 2 positional arguments (3 given)"),
    (lambda w: w.fetch_and_add(), TypeError, "fetch_and_add() takes exactly 2 positional arguments (1 given)"),
    (lambda w: w.compare_and_swap(1), TypeError,
     "compare_and_swap() takes exactly 3 positional arguments (2 given)"),
    (lambda w: AtomicCounterWrapper.load(), TypeError, "load() takes exactly 1 positional argument (0 given)"),
    (lambda w: AtomicCounterWrapper("5"), TypeError,
     "Argument 'initial_value' has incorrect type (expected int, got str)"),
    (lambda w: w.store(None), TypeError, "Argument 'value' has incorrect type (expected int, got NoneType)"),
    (lambda w: w.increment(step=1), TypeError, "increment() got an unexpected keyword argument 'step'"),
    (lambda w: w.increment(2**63), OverflowError, None),
])
def test_wrapper_argument_errors(call, error, message):
    w = AtomicCounterWrapper(3)
    with pytest.raises(error) as info:
        call(w)
    if message is not None:
        assert str(info.value) == message
    assert w.load() == 3


def test_wrapper_builds_from_the_class_object(monkeypatch):
    monkeypatch.setattr(tessin, "AtomicCounter", None)
    assert AtomicCounterWrapper(2).increment() == 3


def test_wrapper_calls_py_aliases_on_its_counter_by_name():
    log = []

    class Fake:
        def __getattr__(self, name):
            def method(*args):
                log.append((name, args))
                return results.get(name, 0)

            return method

    results = {"py_load": 2.7, "py_increment": True, "py_compare_and_swap": "as is", "py_fetch_and_add": None}
    w = AtomicCounterWrapper()
    w._counter = Fake()
    assert w.load() == 2 and type(w.load()) is int
    assert w.increment(4) == 1 and type(w.increment()) is int
    assert w.compare_and_swap(1, 2) == "as is"
    assert w.fetch_and_add(5.5) is None
    assert w.store(7) is None
    assert log == [("py_load", ()), ("py_load", ()), ("py_increment", (4,)), ("py_increment", (1,)),
                   ("py_compare_and_swap", (1, 2)), ("py_fetch_and_add", (5,)), ("py_store", (7,))]
    results["py_decrement"] = "seven"
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        w.decrement()
    del w._counter
    with pytest.raises(AttributeError, match="_counter"):
        w.load()
