import math
import threading

import pytest

from korvane.jit import wenslow
from korvane.jit.wenslow import TelemetryStore


def test_unknown_function_reads_as_empty_record_and_is_not_stored():
    store = TelemetryStore()
    record = store.get_metrics("f")
    assert (record.call_count, record.compile_count) == (0, 0)
    assert type(record.avg_speedup) is float and record.avg_speedup == 1.0
    assert type(record.last_compiled) is float and record.last_compiled == 0.0
    store.record_call("g")
    assert store.get_metrics("f") is not store.get_metrics("f")
    assert store.get_metrics("g") is store.get_metrics("g")


def test_calls_compilations_and_speedups_accumulate():
    store = TelemetryStore()
    for duration in (1.5, 2.5, 0.0):
        store.record_call("f", duration)
    store.record_compilation("f", timestamp=1000)
    store.record_compilation("f", timestamp=1234.5)
    for speedup in (2.0, 4.0, 3.0):
        store.record_speedup("f", speedup)
    record = store.get_metrics("f")
    assert record.call_count == 3
    assert record.total_execution_time_ms == 4.0
    assert record.compile_count == 2
    assert record.last_compiled == 1234.5 and type(record.last_compiled) is float
    assert record.avg_speedup == pytest.approx(3.0)


def test_compilation_without_timestamp_uses_wall_clock(monkeypatch):
    monkeypatch.setattr(wenslow.time, "time", lambda: 4242.0)
    store = TelemetryStore()
    store.record_compilation("f")
    assert store.get_metrics("f").last_compiled == 4242.0


@pytest.mark.parametrize("speedup", [0.0, -1.0, math.nan, math.inf])
def test_rejects_unusable_speedups(speedup):
    store = TelemetryStore()
    with pytest.raises(ValueError, match="speedup must be a positive finite number"):
        store.record_speedup("f", speedup)
    assert store.get_metrics("f") is not store.get_metrics("f")  # still unknown


@pytest.mark.parametrize("duration", [-0.5, math.nan])
def test_rejects_unusable_call_durations(duration):
    store = TelemetryStore()
    with pytest.raises(ValueError, match="execution_time_ms must be non-negative"):
        store.record_call("f", duration)
    assert store.get_metrics("f").call_count == 0


def test_concurrent_recording_loses_nothing():
    store = TelemetryStore()
    threads_count, per_thread = 8, 2000
    barrier = threading.Barrier(threads_count)

    def work(index):
        barrier.wait()
        for i in range(per_thread):
            store.record_call("shared")
            store.record_call(f"own{index}")
            if i % 100 == 0:
                store.record_compilation("shared", timestamp=i)
                store.record_speedup("shared", 2.0)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    shared = store.get_metrics("shared")
    assert shared.call_count == threads_count * per_thread
    assert shared.compile_count == threads_count * per_thread // 100
    assert shared.avg_speedup == 2.0
    assert all(store.get_metrics(f"own{i}").call_count == per_thread for i in range(threads_count))
