"""korvane.monitoring.hoskett: CounterAggregator against the pure-Python aggregator a user would otherwise write
(lists of running sums guarded by threading.Lock), and the frame's do-nothing method for the call cost alone."""
import math
import threading

from _timing import Candidate, Row

from korvane._frameprobe import Probe
from korvane.monitoring.hoskett import CounterAggregator


class PyCounterAggregator:
    """The same counters and statistics in plain Python, one lock per instance."""

    def __init__(self, num_counters=1000):
        self.num_counters = num_counters
        self._stats = [[0, 0.0, 0.0, math.inf, -math.inf] for _ in range(num_counters)]
        self._lock = threading.Lock()

    def _check(self, counter_id):
        if not 0 <= counter_id < self.num_counters:
            raise IndexError(f"Counter ID {counter_id} out of range")

    def update(self, counter_id, value):
        self._check(counter_id)
        value = float(value)
        with self._lock:
            s = self._stats[counter_id]
            s[0] += 1
            s[1] += value
            s[2] += value * value
            if s[3] > value:
                s[3] = value
            if value > s[4]:
                s[4] = value

    def get_stats(self, counter_id):
        self._check(counter_id)
        with self._lock:
            count, total, total_sq, lo, hi = self._stats[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf, "max": -math.inf}
        mean = total / count
        variance = max(total_sq / count - mean * mean, 0.0)
        return {"count": count, "mean": mean, "variance": variance, "std": math.sqrt(variance), "min": lo, "max": hi}

    def get_all_stats(self):
        return [(i, self.get_stats(i)) for i, s in enumerate(self._stats) if s[0]]


def rows():
    native, python = CounterAggregator(1000), PyCounterAggregator(1000)
    for agg in (native, python):
        for i in range(0, 1000, 100):  # ten active counters
            for v in (1.0, 2.5, 4.0):
                agg.update(i, v)
    ns = {"k": native, "py": python, "p": Probe()}
    return [
        Row("hoskett", "CounterAggregator.update(id, value)", [
            Candidate("korvane CounterAggregator.update", "k.update(500, 3.25)", ns),
            Candidate("frame do-nothing method, 2 args", "p.nothing2(500, 3.25)", ns),
            Candidate("Python aggregator + threading.Lock", "py.update(500, 3.25)", ns),
        ]),
        Row("hoskett", "CounterAggregator.get_stats(id)", [
            Candidate("korvane CounterAggregator.get_stats", "k.get_stats(100)", ns),
            Candidate("Python aggregator + threading.Lock", "py.get_stats(100)", ns),
        ]),
        Row("hoskett", "get_all_stats() (10 of 1000 counters used)", [
            Candidate("korvane CounterAggregator.get_all_stats", "k.get_all_stats()", ns),
            Candidate("Python aggregator + threading.Lock", "py.get_all_stats()", ns),
        ]),
    ]
