"""Compiled extension for low-overhead telemetry aggregation: numbered counters with count, mean, variance,
standard deviation and extremes."""

import threading as threading
from typing import Dict, List, Optional, Tuple, Union

from typing_extensions import Self, disjoint_base

_Stats = Dict[str, Union[int, float]]

@disjoint_base
class CounterAggregator:
    """Fast counter aggregation in compiled code.

    Counter ids run from 0 to num_counters - 1; every change and reading runs under one lock per instance.
    A negative num_counters raises MemoryError.
    """

    def __new__(cls, num_counters: int = 1000) -> Self: ...
    def update(self, counter_id: int, value: float) -> None:
        """Update counter with new value. Raises IndexError for an id out of range."""
    def get_stats(self, counter_id: int) -> _Stats:
        """Statistics of one counter: keys count, mean, variance (never negative), std, min, max."""
    def reset(self, counter_id: int) -> None:
        """Reset a specific counter."""
    def reset_all(self) -> None:
        """Reset all counters."""
    def get_all_stats(self) -> List[Tuple[int, Optional[_Stats]]]:
        """(counter_id, get_stats(counter_id)) for every counter with samples, in id order."""

def create_aggregator(num_counters: int = 1000) -> CounterAggregator:
    """Create a new CounterAggregator instance."""
