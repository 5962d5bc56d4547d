"""Tests of korvane.monitoring.hoskett: CounterAggregator and create_aggregator."""

import copy
import gc
import math
import pickle
import sys
import threading
import types
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvane.monitoring import hoskett
from korvane.monitoring.hoskett import CounterAggregator, create_aggregator

STAT_KEYS = ["count", "mean", "variance", "std", "min", "max"]
EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf, "max": -math.inf}


def fed(values, counter_id=0, num_counters=4):
    agg = CounterAggregator(num_counters)
    for v in values:
        agg.update(counter_id, v)
    return agg


def assert_stats(stats, expected):
    assert list(stats) == STAT_KEYS
    assert type(stats["count"]) is int
    for key in STAT_KEYS[1:]:
        assert type(stats[key]) is float, key
    assert stats == expected


# ---------------------------------------------------------------------------
# Module and class surface
# ---------------------------------------------------------------------------


def test_module_surface():
    assert hoskett.threading is threading
    assert hoskett.__test__ == {}
    assert "low-overhead telemetry aggregation" in hoskett.__doc__
    assert not hasattr(hoskett, "logger")
    names = list(vars(hoskett))
    assert names.index("threading") < names.index("CounterAggregator") < names.index("create_aggregator")


def test_docstrings_and_defaults():
    assert CounterAggregator.__doc__ == (
        "\n    Fast counter aggregation in compiled code.\n\n"
        "    Uses atomic operations for thread-safe updates without GIL overhead.\n    "
    )
    assert CounterAggregator.update.__doc__ == (
        "\n        Update counter with new value.\n\n        Thread-safe via lock (correctness over performance).\n        "
    )
    assert CounterAggregator.get_stats.__doc__ == (
        "\n        Get statistics for a counter.\n\n        Returns dict with count, mean, variance, min, max.\n        "
    )
    assert CounterAggregator.reset.__doc__ == "Reset a specific counter."
    assert CounterAggregator.reset_all.__doc__ == "Reset all counters."
    assert CounterAggregator.get_all_stats.__doc__ == "Get statistics for all counters."
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    assert create_aggregator.__defaults__ == (1000,)
    assert create_aggregator.__module__ == "korvane.monitoring.hoskett"
    assert CounterAggregator.__module__ == "korvane.monitoring.hoskett"
    assert CounterAggregator.__qualname__ == "CounterAggregator"
    assert CounterAggregator.get_all_stats.__qualname__ == "CounterAggregator.get_all_stats"


def test_class_traits():
    agg = CounterAggregator(2)
    with pytest.raises(AttributeError):
        agg.extra = 1
    for hidden in ("num_counters", "_stats", "_lock"):
        assert not hasattr(agg, hidden)
    with pytest.raises(TypeError):
        weakref.ref(agg)
    for dump in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            dump(agg)
    assert repr(agg).startswith("<korvane.monitoring.hoskett.CounterAggregator object at 0x")


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make", [CounterAggregator, create_aggregator, lambda: CounterAggregator(num_counters=1000)]
)
def test_default_has_1000_counters(make):
    agg = make()
    assert type(agg) is CounterAggregator
    assert_stats(agg.get_stats(999), EMPTY)
    with pytest.raises(IndexError) as info:
        agg.get_stats(1000)
    assert str(info.value) == "Counter ID 1000 out of range"


def test_float_count_is_truncated():
    agg = create_aggregator(3.9)
    agg.get_stats(2)
    with pytest.raises(IndexError, match="^Counter ID 3 out of range$"):
        agg.get_stats(3)


@pytest.mark.parametrize("make", [CounterAggregator, create_aggregator])
@pytest.mark.parametrize("bad", [-1, -(2**31)])
def test_negative_count_is_memory_error(make, bad):
    with pytest.raises(MemoryError) as info:
        make(bad)
    assert str(info.value) == "Failed to allocate counter storage"


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, None),
    ],
)
def test_bad_count_arguments(arg, exc, message):
    for make in (CounterAggregator, create_aggregator):
        with pytest.raises(exc) as info:
            make(arg)
        if message:
            assert str(info.value) == message


def test_too_many_constructor_arguments():
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)$"):
        CounterAggregator(1, 2)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'size'$"):
        CounterAggregator(size=3)


def test_zero_counters():
    agg = CounterAggregator(0)
    assert agg.get_all_stats() == []
    agg.reset_all()
    for call in (lambda: agg.get_stats(0), lambda: agg.update(0, 1.0), lambda: agg.reset(0)):
        with pytest.raises(IndexError, match="^Counter ID 0 out of range$"):
            call()


# ---------------------------------------------------------------------------
# Statistics
# ---------------------------------------------------------------------------


def test_fresh_counter():
    stats = CounterAggregator(1).get_stats(0)
    assert_stats(stats, EMPTY)
    assert repr(stats) == "{'count': 0, 'mean': 0.0, 'variance': 0.0, 'std': 0.0, 'min': inf, 'max': -inf}"


@pytest.mark.parametrize(
    "values, expected",
    [
        ([2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0], (8, 5.0, 4.0, 2.0, 2.0, 9.0)),
        ([3.5], (1, 3.5, 0.0, 0.0, 3.5, 3.5)),
        ([-1.0, 1.0], (2, 0.0, 1.0, 1.0, -1.0, 1.0)),
        ([5, True], (2, 3.0, 4.0, 2.0, 1.0, 5.0)),  # ints and bools are taken as doubles
    ],
)
def test_statistics(values, expected):
    stats = fed(values).get_stats(0)
    assert_stats(stats, dict(zip(STAT_KEYS, expected)))


def test_rounding_never_gives_negative_variance():
    # Three samples of 0.1: the sum-of-squares formula rounds to about -1.7e-18.
    stats = fed([0.1, 0.1, 0.1]).get_stats(0)
    assert_stats(stats, {"count": 3, "mean": stats["mean"], "variance": 0.0, "std": 0.0, "min": 0.1, "max": 0.1})
    assert stats["mean"] == pytest.approx(0.1)


def test_nan_sample():
    stats = fed([1.0, math.nan, 3.0]).get_stats(0)
    assert stats["count"] == 3
    assert math.isnan(stats["mean"]) and math.isnan(stats["variance"])
    assert type(stats["std"]) is float and math.isnan(stats["std"])
    assert (stats["min"], stats["max"]) == (1.0, 3.0)  # NaN never enters the extremes


def test_infinite_sample():
    stats = fed([1.0, math.inf]).get_stats(0)
    assert stats["mean"] == math.inf
    assert math.isnan(stats["variance"]) and math.isnan(stats["std"])
    assert (stats["min"], stats["max"]) == (1.0, math.inf)


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False, min_value=-1e150, max_value=1e150), min_size=1))
def test_variance_is_never_negative_and_std_is_its_root(values):
    stats = fed(values).get_stats(0)
    assert stats["count"] == len(values)
    assert type(stats["variance"]) is float and stats["variance"] >= 0.0
    assert type(stats["std"]) is float and stats["std"] == math.sqrt(stats["variance"])
    assert stats["min"] == min(values) and stats["max"] == max(values)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda a: a.update(-1, 1.0), IndexError, "Counter ID -1 out of range"),
        (lambda a: a.update(4, 1.0), IndexError, "Counter ID 4 out of range"),
        (lambda a: a.get_stats(-2147483648), IndexError, "Counter ID -2147483648 out of range"),
        (lambda a: a.reset(4), IndexError, "Counter ID 4 out of range"),
        (lambda a: a.update(0, "5"), TypeError, None),
        (lambda a: a.update(0, None), TypeError, None),
        (lambda a: a.update(0, 10**400), OverflowError, None),
        (lambda a: a.update("0", 1.0), TypeError, "an integer is required"),
        (lambda a: a.update(2**31, 1.0), OverflowError, None),
        (lambda a: a.update(0), TypeError, "update() takes exactly 2 positional arguments (1 given)"),
        (lambda a: a.get_stats(), TypeError, "get_stats() takes exactly 1 positional argument (0 given)"),
        (lambda a: a.reset_all(1), TypeError, "reset_all() takes exactly 0 positional arguments (1 given)"),
        (lambda a: a.get_all_stats(1), TypeError, "get_all_stats() takes exactly 0 positional arguments (1 given)"),
        (lambda a: a.update(0, 1.0, counter_id=0), TypeError, None),
    ],
)
def test_argument_and_range_errors_change_nothing(call, exc, message):
    agg = fed([1.0], counter_id=0)
    before = agg.get_all_stats()
    with pytest.raises(exc) as info:
        call(agg)
    if message is not None:
        assert str(info.value) == message
    assert agg.get_all_stats() == before


def test_keyword_arguments():
    agg = CounterAggregator(num_counters=3)
    agg.update(value=2.0, counter_id=1)
    assert agg.get_stats(counter_id=1)["mean"] == 2.0
    agg.reset(counter_id=1)
    assert agg.get_stats(1) == EMPTY


def test_float_counter_id_is_truncated():
    agg = fed([4.0], counter_id=2)
    assert agg.get_stats(2.7)["count"] == 1


def test_get_all_stats_reset_and_reset_all():
    agg = CounterAggregator(10)
    agg.update(7, 2.0)
    agg.update(3, 1.0)
    all_stats = agg.get_all_stats()
    assert type(all_stats) is list
    assert all_stats == [(3, agg.get_stats(3)), (7, agg.get_stats(7))]
    assert all(type(entry) is tuple for entry in all_stats)
    agg.reset(3)
    assert agg.get_stats(3) == EMPTY
    assert [cid for cid, _ in agg.get_all_stats()] == [7]
    agg.update(0, 5.0)
    agg.reset_all()
    assert agg.get_all_stats() == []
    assert all(agg.get_stats(i) == EMPTY for i in range(10))
    agg.update(7, 4.0)  # a reset counter starts afresh
    assert_stats(agg.get_stats(7), {"count": 1, "mean": 4.0, "variance": 0.0, "std": 0.0, "min": 4.0, "max": 4.0})


def test_results_are_fresh_and_leak_nothing():
    agg = fed([1.5, 2.5])
    value = 12345.678
    before = sys.getrefcount(value)
    for _ in range(1000):
        agg.update(1, value)
    assert sys.getrefcount(value) == before
    first = agg.get_stats(0)
    assert agg.get_stats(0) is not first
    assert sys.getrefcount(first) == 2


# ---------------------------------------------------------------------------
# Locking
# ---------------------------------------------------------------------------


class RecordingLock:
    def __init__(self, log, fail_enter=False):
        self.log = log
        self.fail_enter = fail_enter

    def __enter__(self):
        self.log.append("enter")
        if self.fail_enter:
            raise RuntimeError("lock broken")
        return self

    def __exit__(self, *exc_info):
        self.log.append(("exit", exc_info))
        return False


def with_recording_lock(monkeypatch, fail_enter=False):
    log = []
    monkeypatch.setattr(hoskett, "threading", types.SimpleNamespace(Lock=lambda: RecordingLock(log, fail_enter)))
    return CounterAggregator(3), log


def test_every_array_operation_runs_under_the_lock(monkeypatch):
    agg, log = with_recording_lock(monkeypatch)
    assert log == []  # construction only creates the lock
    section = ["enter", ("exit", (None, None, None))]
    agg.update(1, 2.0)
    assert log == section
    for call in (lambda: agg.get_stats(1), lambda: agg.reset(1), agg.reset_all):
        log.clear()
        call()
        assert log == section
    agg.update(1, 2.0)
    agg.update(2, 2.0)
    log.clear()
    assert len(agg.get_all_stats()) == 2
    assert log == section * 2  # one section per included counter, none for the scan


def test_range_check_comes_before_the_lock(monkeypatch):
    agg, log = with_recording_lock(monkeypatch)
    with pytest.raises(IndexError):
        agg.update(3, 1.0)
    assert log == []


def test_failing_lock_changes_nothing(monkeypatch):
    agg, log = with_recording_lock(monkeypatch, fail_enter=True)
    with pytest.raises(RuntimeError, match="lock broken"):
        agg.update(0, 1.0)
    assert log == ["enter"]
    assert agg.get_all_stats() == []


def test_lock_creation_failure_fails_construction(monkeypatch):
    monkeypatch.setattr(hoskett, "threading", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        CounterAggregator(3)


def test_concurrent_updates_lose_nothing():
    agg = CounterAggregator(4)
    threads_n, per_thread = 8, 5000
    start = threading.Barrier(threads_n)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def work(seed):
        start.wait()
        for i in range(per_thread):
            agg.update(i % 4, float(seed))
            if i % 500 == 0:
                agg.get_stats(i % 4)
                agg.get_all_stats()

    try:
        threads = [threading.Thread(target=work, args=(s,)) for s in range(threads_n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    total = 0
    for cid in range(4):
        stats = agg.get_stats(cid)
        assert stats["count"] == threads_n * per_thread // 4
        assert stats["min"] == 0.0 and stats["max"] == float(threads_n - 1)
        total += stats["mean"] * stats["count"]
    assert total == per_thread * sum(range(threads_n))


# ---------------------------------------------------------------------------
# Subclasses
# ---------------------------------------------------------------------------


SHARED = {"from": "override"}


class Doubling(CounterAggregator):
    def get_stats(self, counter_id):
        stats = super().get_stats(counter_id)
        stats["mean"] *= 2
        return stats


class Constant(CounterAggregator):
    def get_stats(self, counter_id):
        return SHARED


class ReturnsNone(CounterAggregator):
    def get_stats(self, counter_id):
        return None


class MyDict(dict):
    pass


@pytest.mark.parametrize("result, name", [([1], "list"), (MyDict(), "MyDict"), (0, "int")])
def test_override_result_must_be_a_dict(result, name):
    class Bad(CounterAggregator):
        def get_stats(self, counter_id):
            return result

    agg = Bad(2)
    agg.update(1, 1.0)
    with pytest.raises(TypeError) as info:
        agg.get_all_stats()
    assert str(info.value) == f"Expected dict, got {name}"


def test_get_all_stats_calls_the_override():
    agg = Doubling(4)
    agg.update(2, 3.0)
    assert agg.get_all_stats() == [(2, dict(agg.get_stats(2), mean=6.0))]
    none = ReturnsNone(4)
    none.update(1, 1.0)
    assert none.get_all_stats() == [(1, None)]


def test_override_result_is_stored_not_copied():
    agg = Constant(5)
    agg.update(0, 1.0)
    agg.update(4, 1.0)
    before = sys.getrefcount(SHARED)
    result = agg.get_all_stats()
    assert result == [(0, SHARED), (4, SHARED)]
    assert result[0][1] is SHARED
    assert sys.getrefcount(SHARED) == before + 2
    del result
    assert sys.getrefcount(SHARED) == before


def test_override_error_propagates():
    class Failing(CounterAggregator):
        def get_stats(self, counter_id):
            raise KeyError(counter_id)

    agg = Failing(3)
    agg.update(2, 1.0)
    with pytest.raises(KeyError):
        agg.get_all_stats()


def test_subclass_with_extra_state_is_collected():
    class Tracked(CounterAggregator):
        pass

    agg = Tracked(8)
    agg.cycle = agg
    agg.update(7, 1.0)
    ref = weakref.ref(agg)
    del agg
    gc.collect()
    assert ref() is None


def test_other_overrides_do_not_change_native_behaviour():
    class Loud(CounterAggregator):
        def update(self, counter_id, value):
            super().update(counter_id, value * 10)

    agg = Loud(2)
    agg.update(0, 1.0)
    assert agg.get_stats(0)["mean"] == 10.0
    assert CounterAggregator.update(agg, 0, 1.0) is None
    assert agg.get_stats(0)["count"] == 2
