"""korvane.memory.tessin: AtomicCounter against a do-nothing native method, the interpreter's bare built-ins, a
pure-Python counter guarded by threading.Lock, and itertools.count."""
import itertools
import threading

from _timing import Candidate, Row

from korvane._frameprobe import Probe
from korvane.memory.tessin import AtomicCounter


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


def rows():
    ns = {"c": AtomicCounter(0), "p": Probe(), "x": 12345, "d": {}, "py": LockedCounter(0),
          "it": itertools.count(), "next": next}
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
    ]
