"""Adaptive compilation thresholds: per-function call-count thresholds that learn from measured speed-ups."""

import logging as logging
import threading as threading
import time as time
from typing import Dict as Dict, Optional as Optional, Protocol, SupportsFloat, SupportsInt, Union

from typing_extensions import Self, disjoint_base

_I32 = Union[int, SupportsInt]  # converted to a signed 32-bit integer (floats truncate)
_U64 = Union[int, SupportsInt]  # converted to an unsigned 64-bit integer
_U32 = Union[int, SupportsInt]  # converted to an unsigned 32-bit integer
_Float = Union[float, int, SupportsFloat]
_Number = Union[int, float, SupportsInt, SupportsFloat]  # replaced by int(value)

logger: logging.Logger
_policy_lock: threading.Lock

class _Metrics(Protocol):
    """What the policy reads from a telemetry record; `last_compiled` may be missing (counts as 0.0)."""

    call_count: int
    compile_count: int
    avg_speedup: float

class _TelemetryStore(Protocol):
    """What the policy requires of a telemetry store such as korvane.jit.wenslow.TelemetryStore."""

    def get_metrics(self, func_id: Optional[str], /) -> _Metrics: ...

@disjoint_base
class PolicyConfig:
    """Configuration for adaptive threshold policy.

    Validated at construction only (ValueError, in this order): min_threshold > 0; max_threshold > min_threshold;
    0 < learning_rate <= 1; target_speedup > 0; min_threshold <= initial_threshold <= max_threshold.
    The setters convert but do not validate.
    """

    def __new__(
        cls,
        initial_threshold: _I32 = 100,
        min_threshold: _I32 = 10,
        max_threshold: _I32 = 10000,
        learning_rate: _Float = 0.1,
        target_speedup: _Float = 2.0,
    ) -> Self: ...
    @property
    def initial_threshold(self) -> int: ...
    @initial_threshold.setter
    def initial_threshold(self, value: _I32) -> None: ...
    @property
    def min_threshold(self) -> int: ...
    @min_threshold.setter
    def min_threshold(self, value: _I32) -> None: ...
    @property
    def max_threshold(self) -> int: ...
    @max_threshold.setter
    def max_threshold(self, value: _I32) -> None: ...
    @property
    def learning_rate(self) -> float: ...
    @learning_rate.setter
    def learning_rate(self, value: _Float) -> None: ...
    @property
    def target_speedup(self) -> float: ...
    @target_speedup.setter
    def target_speedup(self, value: _Float) -> None: ...

@disjoint_base
class FunctionMetrics:
    """Execution and compilation record of one function.

    `last_compiled` and `last_compile_time` are one field. At construction it is `last_compiled` when that is
    >= 0.0 (the default -1.0 means "not given"), else `last_compile_time`.
    """

    def __new__(
        cls,
        call_count: _U64 = 0,
        compile_count: _U32 = 0,
        avg_speedup: _Float = 1.0,
        total_execution_time_ms: _Float = 0.0,
        last_compile_time: _Float = 0.0,
        last_compiled: _Float = -1.0,
    ) -> Self: ...
    @property
    def call_count(self) -> int: ...
    @call_count.setter
    def call_count(self, value: _U64) -> None: ...
    @property
    def compile_count(self) -> int: ...
    @compile_count.setter
    def compile_count(self, value: _U32) -> None: ...
    @property
    def avg_speedup(self) -> float: ...
    @avg_speedup.setter
    def avg_speedup(self, value: _Float) -> None: ...
    @property
    def total_execution_time_ms(self) -> float: ...
    @total_execution_time_ms.setter
    def total_execution_time_ms(self, value: _Float) -> None: ...
    @property
    def last_compiled(self) -> float:
        """Timestamp of last compilation (matches TelemetryStore interface)."""
    @last_compiled.setter
    def last_compiled(self, value: _Float) -> None: ...
    @property
    def last_compile_time(self) -> float:
        """Alias for last_compiled for backward compatibility."""
    @last_compile_time.setter
    def last_compile_time(self, value: _Float) -> None: ...

@disjoint_base
class AdaptivePolicy:
    """Adaptive threshold policy that learns optimal compilation thresholds per function from observed performance.

    `config` may be None (defaults), a PolicyConfig (used itself, not copied) or any object whose attributes
    initial_threshold, min_threshold, max_threshold, learning_rate and target_speedup are read, each falling back to
    its default when missing. Every method runs under one non-reentrant lock per policy, so a store's get_metrics
    must not call back into the same policy.
    """

    def __new__(cls, config: object = None) -> Self: ...
    @property
    def config(self) -> PolicyConfig:
        """Get policy configuration."""
    def get_threshold(self, func_id: Optional[str]) -> int:
        """Get the current compilation threshold for a function."""
    def should_compile(self, func_id: Optional[str], wenslow: _TelemetryStore) -> bool:
        """Decide whether a function should be compiled now.

        False below the threshold; True when never compiled; False when the last compilation is less than 600 s
        old; else True.
        """
    def update(self, func_id: Optional[str], wenslow: _TelemetryStore) -> None:
        """Learn a function's threshold from the speed-up of its compilation (nothing when never compiled)."""
    def get_statistics(self) -> Dict[str, Union[int, float]]:
        """Keys tracked_functions, avg_threshold, min_threshold, max_threshold."""

def get_melquor() -> AdaptivePolicy:
    """Get the shared adaptive policy, creating it on first use."""

def reset_melquor() -> None:
    """Drop the shared adaptive policy; the next get_melquor() creates a fresh one."""

def create_function_metrics(
    call_count: _Number = 0,
    compile_count: _Number = 0,
    avg_speedup: _Float = 1.0,
    total_execution_time_ms: _Float = 0.0,
    last_compile_time: _Float = 0.0,
) -> FunctionMetrics:
    """Create a FunctionMetrics record."""

def create_policy_config(
    initial_threshold: _Number = 100,
    min_threshold: _Number = 10,
    max_threshold: _Number = 10000,
    learning_rate: _Float = 0.1,
    target_speedup: _Float = 2.0,
) -> PolicyConfig:
    """Create a validated PolicyConfig."""
