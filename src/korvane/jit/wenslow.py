"""Per-function execution telemetry for the just-in-time compiler.

A :class:`TelemetryStore` counts the calls of each function, time-stamps its
compilations and averages the speed-ups measured after compiling it.  The
adaptive compile policy reads one record per decision through
:meth:`TelemetryStore.get_metrics`, so that read is kept to a dictionary
look-up: the store hands out its live record instead of a copy.
"""

import math
import threading
import time

__all__ = ["TelemetryRecord", "TelemetryStore"]


class TelemetryRecord:
    """Execution and compilation record of one function.

    ``call_count`` and ``compile_count`` are counts, ``avg_speedup`` is the mean
    of the measured speed-ups (1.0 until one is measured),
    ``total_execution_time_ms`` sums the recorded call durations and
    ``last_compiled`` is the ``time.time()`` of the latest compilation (0.0 when
    never compiled).
    """

    __slots__ = (
        "call_count",
        "compile_count",
        "avg_speedup",
        "total_execution_time_ms",
        "last_compiled",
        "speedup_samples",
    )

    def __init__(self):
        self.call_count = 0
        self.compile_count = 0
        self.avg_speedup = 1.0
        self.total_execution_time_ms = 0.0
        self.last_compiled = 0.0
        self.speedup_samples = 0

    def __repr__(self):
        return (
            f"TelemetryRecord(call_count={self.call_count}, "
            f"compile_count={self.compile_count}, avg_speedup={self.avg_speedup!r}, "
            f"total_execution_time_ms={self.total_execution_time_ms!r}, "
            f"last_compiled={self.last_compiled!r})"
        )


class TelemetryStore:
    """Thread-safe telemetry of the functions seen by the compiler, by function id.

    Writers serialise on one lock, so each record changes as a whole.  Readers
    take no lock: :meth:`get_metrics` returns the store's own record, which
    later recordings keep changing; treat it as read-only.
    """

    def __init__(self):
        self._records = {}
        self._lock = threading.Lock()

    def _record(self, func_id):
        # Caller holds self._lock.
        record = self._records.get(func_id)
        if record is None:
            record = self._records[func_id] = TelemetryRecord()
        return record

    def record_call(self, func_id, execution_time_ms=0.0):
        """Count one call of ``func_id`` that ran for ``execution_time_ms``."""
        execution_time_ms = float(execution_time_ms)
        if not execution_time_ms >= 0.0:
            raise ValueError(f"execution_time_ms must be non-negative, got {execution_time_ms!r}")
        with self._lock:
            record = self._record(func_id)
            record.call_count += 1
            record.total_execution_time_ms += execution_time_ms

    def record_compilation(self, func_id, timestamp=None):
        """Count one compilation of ``func_id``, made at ``timestamp``
        (seconds of ``time.time()``; now when omitted)."""
        timestamp = time.time() if timestamp is None else float(timestamp)
        with self._lock:
            record = self._record(func_id)
            record.compile_count += 1
            record.last_compiled = timestamp

    def record_speedup(self, func_id, speedup):
        """Add one measured speed-up factor of ``func_id`` to its average."""
        speedup = float(speedup)
        if not (speedup > 0.0 and math.isfinite(speedup)):
            raise ValueError(f"speedup must be a positive finite number, got {speedup!r}")
        with self._lock:
            record = self._record(func_id)
            record.speedup_samples += 1
            record.avg_speedup += (speedup - record.avg_speedup) / record.speedup_samples

    def get_metrics(self, func_id):
        """The record of ``func_id``; a fresh empty record if nothing was recorded."""
        record = self._records.get(func_id)
        if record is None:
            return TelemetryRecord()
        return record
