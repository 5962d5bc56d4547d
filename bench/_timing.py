"""Side-by-side timing of one operation in several implementations.

Each candidate is a statement timed with `timeit` in a compiled loop (no Python-level call per iteration besides the
statement itself), repeated several rounds; the best round counts. All candidates of a row are timed in the same
run, interleaved round by round, so that machine noise hits them alike.
"""
from __future__ import annotations

import time
import timeit
from dataclasses import dataclass, field


@dataclass
class Candidate:
    label: str
    stmt: str
    namespace: dict = field(default_factory=dict)
    setup: str = "pass"


@dataclass
class Row:
    group: str
    operation: str
    candidates: list  # the first candidate is korvane's own
    note: str = ""


def _calibrate(timer: timeit.Timer, target_s: float) -> int:
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 10 or number >= 1 << 24:
            return max(1, int(number * (target_s / 10) / max(elapsed, 1e-9)))
        number *= 4


def time_row(row: Row, rounds: int = 5, target_s: float = 0.05) -> list:
    """Returns [(label, ns_per_op)] in candidate order."""
    timers = []
    for c in row.candidates:
        ns = dict(c.namespace)
        timer = timeit.Timer(c.stmt, setup=c.setup, globals=ns, timer=time.perf_counter)
        timers.append((c, timer, _calibrate(timer, target_s)))
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for i, (_, timer, number) in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return [(c.label, best[i]) for i, (c, _, _) in enumerate(timers)]
