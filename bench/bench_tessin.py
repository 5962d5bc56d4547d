"""korvane.memory.tessin: AtomicCounter against a do-nothing native method, the interpreter's bare built-ins, a
pure-Python counter guarded by threading.Lock, and itertools.count; LockFreeStatistics, AtomicPointer and
LockFreeStack against pure-Python equivalents guarded by threading.Lock (and collections.deque for the stack)."""
import collections
import itertools
import threading

from _timing import Candidate, Row

from korvane._frameprobe import Probe
from korvane.memory.tessin import AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics


class LockedCounter:
    """What a user would otherwise write: a Python int guarded by a lock."""

    def __init__(self, value=0):
        self._value = value
        self._lock = threading.Lock()

    def load(self):
        with self._lock:
            return self._value

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


class LockedStatistics:
    """LockFreeStatistics written in Python: the same twelve counters, each a LockedCounter."""

    def __init__(self):
        for name in ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                     "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                     "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
                     "total_deallocation_time_ns"):
            setattr(self, name, LockedCounter(0))

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        self._update_peaks(self.current_allocations.load(), self.bytes_allocated.load())

    def record_deallocation(self, size, time_ns=0):
        self.total_deallocations.increment()
        self.current_allocations.increment(-1)
        self.bytes_allocated.increment(-size)
        if time_ns > 0:
            self.total_deallocation_time_ns.increment(time_ns)

    def _update_peaks(self, current_allocs, current_bytes):
        while True:
            peak = self.peak_allocations.load()
            if current_allocs <= peak or self.peak_allocations.compare_and_swap(peak, current_allocs):
                break
        while True:
            peak = self.peak_bytes_allocated.load()
            if current_bytes <= peak or self.peak_bytes_allocated.compare_and_swap(peak, current_bytes):
                break

    def get_snapshot(self):
        total = self.total_allocations.load()
        deallocs = self.total_deallocations.load()
        bucketed = self.bucketed_allocations.load()
        ratio = bucketed / total * 100.0 if total > 0 else 0.0
        return {
            "total_allocations": total,
            "total_deallocations": deallocs,
            "current_allocations": self.current_allocations.load(),
            "bytes_allocated": self.bytes_allocated.load(),
            "bytes_reserved": self.bytes_reserved.load(),
            "peak_allocations": self.peak_allocations.load(),
            "peak_bytes_allocated": self.peak_bytes_allocated.load(),
            "bucketed_allocations": bucketed,
            "fallback_allocations": self.fallback_allocations.load(),
            "bucketed_allocation_ratio": f"{ratio:.1f}%",
            "alignment_padding_bytes": self.alignment_padding_bytes.load(),
            "average_allocation_time_ns": self.total_allocation_time_ns.load() / total if total > 0 else 0.0,
            "average_deallocation_time_ns": (self.total_deallocation_time_ns.load() / deallocs
                                             if deallocs > 0 else 0.0),
            "allocation_mode": "lock-free C11 atomics",
        }


class OneLockStatistics:
    """The simplest Python alternative: plain ints, one lock around each event."""

    def __init__(self):
        self._lock = threading.Lock()
        self.total = self.deallocs = self.current = self.bytes = self.peak = self.peak_bytes = 0
        self.bucketed = self.fallback = self.padding = self.alloc_time = self.dealloc_time = 0

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        with self._lock:
            self.total += 1
            self.current += 1
            self.bytes += size
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1
            if padding > 0:
                self.padding += padding
            if time_ns > 0:
                self.alloc_time += time_ns
            if self.current > self.peak:
                self.peak = self.current
            if self.bytes > self.peak_bytes:
                self.peak_bytes = self.bytes

    def record_deallocation(self, size, time_ns=0):
        with self._lock:
            self.deallocs += 1
            self.current -= 1
            self.bytes -= size
            if time_ns > 0:
                self.dealloc_time += time_ns


class LockedPointer:
    """A versioned slot in Python: identity compare-and-swap under a lock."""

    def __init__(self, value=None):
        self._value = value
        self._version = 0
        self._lock = threading.Lock()

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value is expected:
                self._value = new_value
                self._version += 1
                return True
            return False


class LockedStack:
    """A stack in Python: a list under a lock."""

    def __init__(self):
        self._items = []
        self._lock = threading.Lock()

    def push(self, item):
        with self._lock:
            self._items.append(item)

    def pop(self):
        with self._lock:
            return self._items.pop() if self._items else None


def rows():
    ns = {"c": AtomicCounter(0), "p": Probe(), "x": 12345, "d": {}, "py": LockedCounter(0),
          "it": itertools.count(), "next": next}
    stats = {"s": LockFreeStatistics(), "ps": LockedStatistics(), "ls": OneLockStatistics()}
    for name in ("s", "ps"):
        for _ in range(3):
            stats[name].record_allocation(100, False, 8, 1000)
    a = object()
    pointers = {"p": AtomicPointer(a), "pp": LockedPointer(a), "a": a}
    stacks = {"k": LockFreeStack(), "pk": LockedStack(), "d": collections.deque()}
    return [
        Row("tessin", "AtomicCounter.load()", [
            Candidate("korvane AtomicCounter.load", "c.load()", ns),
            Candidate("frame do-nothing method, 0 args", "p.nothing()", ns),
            Candidate("bare built-in int.bit_length()", "x.bit_length()", ns),
            Candidate("Python counter + threading.Lock", "py.load()", ns),
        ]),
        Row("tessin", "AtomicCounter.increment(1)", [
            Candidate("korvane AtomicCounter.increment", "c.increment(1)", ns),
            Candidate("frame do-nothing method, 1 arg", "p.nothing1(1)", ns),
            Candidate("bare built-in dict.get(k)", "d.get(1)", ns),
            Candidate("Python counter + threading.Lock", "py.increment(1)", ns),
            Candidate("itertools.count (next)", "next(it)", ns),
        ]),
        Row("tessin", "AtomicCounter.compare_and_swap(a, b)", [
            Candidate("korvane AtomicCounter.compare_and_swap", "c.compare_and_swap(1, 2)", ns),
            Candidate("frame do-nothing method, 2 args", "p.nothing2(1, 2)", ns),
            Candidate("bare built-in dict.get(k, d)", "d.get(1, 2)", ns),
            Candidate("Python counter + threading.Lock", "py.compare_and_swap(1, 2)", ns),
        ]),
        Row("tessin", "LockFreeStatistics.record_allocation", [
            Candidate("korvane LockFreeStatistics", "s.record_allocation(64, True, 8, 120)", stats),
            Candidate("Python, 12 locked counters", "ps.record_allocation(64, True, 8, 120)", stats),
            Candidate("Python, one lock, plain ints", "ls.record_allocation(64, True, 8, 120)", stats),
        ]),
        Row("tessin", "LockFreeStatistics.record_deallocation", [
            Candidate("korvane LockFreeStatistics", "s.record_deallocation(64, 80)", stats),
            Candidate("Python, 12 locked counters", "ps.record_deallocation(64, 80)", stats),
            Candidate("Python, one lock, plain ints", "ls.record_deallocation(64, 80)", stats),
        ]),
        Row("tessin", "LockFreeStatistics.get_snapshot", [
            Candidate("korvane LockFreeStatistics", "s.get_snapshot()", stats),
            Candidate("Python, 12 locked counters", "ps.get_snapshot()", stats),
        ]),
        Row("tessin", "AtomicPointer.compare_and_swap", [
            Candidate("korvane AtomicPointer", "p.compare_and_swap(a, a)", pointers),
            Candidate("Python slot + threading.Lock", "pp.compare_and_swap(a, a)", pointers),
        ]),
        Row("tessin", "LockFreeStack.push + pop", [
            Candidate("korvane LockFreeStack", "k.push(1); k.pop()", stacks),
            Candidate("Python list + threading.Lock", "pk.push(1); pk.pop()", stacks),
            Candidate("collections.deque append + pop", "d.append(1); d.pop()", stacks),
        ]),
    ]
