"""FastRedBlackTree and the module import of korvane.memory.orvelle."""
import copy
import gc
import math
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time
import types
import weakref

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from korvane.memory import orvelle, tessin
from korvane.memory.lorrit import MemoryBlock
from korvane.memory.orvelle import FastRedBlackTree

STAT_KEYS = ["total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits", "tree_hits",
             "operation_count"]
SNAPSHOT_KEYS = STAT_KEYS + ["node_count", "height", "sampled_operations", "is_valid"]


def block(size, offset=0):
    return MemoryBlock(offset=offset, size=size)


def stats(tree):
    return {k: v for k, v in tree.get_stats().items() if k in STAT_KEYS}


class FakeTime:
    """Stands in for the module attribute `time`: counts the readers' back-offs."""

    def __init__(self):
        self.sleeps = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)

    perf_counter_ns = staticmethod(time.perf_counter_ns)


class Hook:
    """A block whose equality test runs `action` (from inside the tree's write section)."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return False

    __hash__ = object.__hash__


class Tracked:
    """A block that records its own destruction (and may act on it)."""

    def __init__(self, name, log, on_del=None):
        self.name = name
        self.log = log
        self.on_del = on_del

    def __del__(self):
        self.log.append(self.name)
        if self.on_del is not None:
            self.on_del()


# ---------------------------------------------------------------------------------------------------------------
# Module


def test_module_attributes():
    assert orvelle.ATOMIC_AVAILABLE is True
    assert orvelle.AtomicCounter is tessin.AtomicCounter
    assert orvelle.MemoryBlock is MemoryBlock
    assert orvelle.threading is threading and orvelle.time is time and orvelle.math is math
    import typing

    for name in ("List", "Optional", "Tuple", "Dict", "Any"):
        assert getattr(orvelle, name) is getattr(typing, name)
    assert orvelle.__test__ == {}
    assert not hasattr(orvelle, "logger")
    assert not hasattr(orvelle, "MAX_RETRIES")
    assert orvelle.FastRedBlackTree.__module__ == "korvane.memory.orvelle"
    assert orvelle.FastRedBlackTree.__qualname__ == "FastRedBlackTree"


def test_second_import_is_the_same_module():
    import importlib

    saved = sys.modules.pop("korvane.memory.orvelle")
    try:
        again = importlib.import_module("korvane.memory.orvelle")
        assert again is saved
    finally:
        sys.modules["korvane.memory.orvelle"] = saved


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_import_without_tessin():
    result = run_python("""
        import logging, sys
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        sys.modules['korvane.memory.tessin'] = None
        from korvane.memory import orvelle
        assert orvelle.ATOMIC_AVAILABLE is False
        assert orvelle.AtomicCounter is None
        assert records == [], records
        t = orvelle.FastRedBlackTree(sample_rate=1)
        for s in (64, 32, 64):
            assert t.insert(s, ('b', s)) is True
        assert t.find_best_fit(40) == ('b', 64)
        assert t.remove_ge(0) == (32, ('b', 32))
        st = t.get_stats()
        assert st['sampled_operations'] == 0 and st['total_insertions'] == 3, st
        t.clear()
        assert len(t) == 0
        print('ok')
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_fails_without_lorrit():
    result = run_python("""
        import sys
        sys.modules['korvane.memory.lorrit'] = None
        try:
            import korvane.memory.orvelle
        except ImportError as e:
            print(type(e).__name__)
        assert 'korvane.memory.orvelle' not in sys.modules
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ModuleNotFoundError"


def test_import_logs_nothing():
    result = run_python("""
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record.name)
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        import korvane.memory.orvelle
        print([r for r in records if 'orvelle' in r])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


# ---------------------------------------------------------------------------------------------------------------
# Class traits and function objects


def test_class_traits():
    t = FastRedBlackTree()
    with pytest.raises(AttributeError):
        t.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(t)
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="no default __reduce__"):
            action(t)
    for name in ("root", "node_count", "seq_counter", "stats", "_write_lock", "sample_rate"):
        assert not hasattr(t, name)


@pytest.mark.parametrize(
    "name, annotations, doc_start, defaults",
    [
        ("insert", {"size": "int", "block": "MemoryBlock", "return": "bool"}, "Insert block into tree.\n", None),
        ("delete", {"size": "int", "block": "MemoryBlock", "return": "bool"}, "Delete specific block.\n", None),
        ("clear", {"return": "None"}, "Clear all blocks.", None),
        ("find_best_fit", {"size": "int", "alignment": "int", "return": "Optional[MemoryBlock]"},
         "Find best-fit block (LOCK-FREE read).\n", (1,)),
        ("find_all_exact", {"size": "int", "return": "List[MemoryBlock]"},
         "Find all blocks of exact size (lock-free read).\n", None),
        ("remove_ge", {"size": "int", "return": "Tuple[Optional[int], Optional[MemoryBlock]]"},
         "Remove and return best-fit block >= size.\n", None),
        ("get_stats", {"return": "Dict[str, Any]"}, "Get tree statistics.", None),
        ("size", {"return": "int"}, "Get total block count.", None),
        ("get_size_distribution", {"return": "Dict[int, int]"}, "Get size distribution.", None),
        ("reset_circuit_breaker", {"return": "None"}, "Reset circuit breaker stats.", None),
        ("get_statistics", {"return": "Dict[int, List[float]]"}, "Get timing statistics (empty for sampling mode).",
         None),
        ("_sanitize_size", {"size": "int", "return": "int"}, "Validate size.", None),
    ],
)
def test_method_metadata(name, annotations, doc_start, defaults):
    f = getattr(FastRedBlackTree, name)
    assert f.__name__ == name
    assert f.__qualname__ == f"FastRedBlackTree.{name}"
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)
    assert f.__doc__.startswith(doc_start)
    if doc_start.endswith("\n"):
        assert "Args:" in f.__doc__ and "Returns:" in f.__doc__
    else:
        assert f.__doc__ == doc_start
    assert f.__defaults__ == defaults


def test_sanitize_size_is_a_static_method():
    assert isinstance(FastRedBlackTree.__dict__["_sanitize_size"], staticmethod)
    t = FastRedBlackTree()
    assert t._sanitize_size(0) == 0
    assert t._sanitize_size(4096) == 4096
    assert FastRedBlackTree._sanitize_size(2**70) == 2**70
    r = FastRedBlackTree._sanitize_size(12.7)
    assert r == 12 and type(r) is int
    with pytest.raises(ValueError, match=r"^Invalid size: -1$"):
        t._sanitize_size(-1)
    with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
        t._sanitize_size("8")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((-1,), {}, OverflowError, "can't convert negative value to uint32_t"),
        ((2**32,), {}, OverflowError, None),
        ((1, 2), {}, TypeError, r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"),
        ((), {"rate": 1}, TypeError, "unexpected keyword argument 'rate'"),
        (("1",), {}, TypeError, "an integer is required"),
    ],
)
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        FastRedBlackTree(*args, **kwargs)


def test_constructor_forms():
    for t in (FastRedBlackTree(), FastRedBlackTree(0), FastRedBlackTree(sample_rate=2**32 - 1),
              FastRedBlackTree(7.9)):
        assert len(t) == 0 and not t
        assert list(t.get_stats()) == SNAPSHOT_KEYS


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.insert(8), r"^insert\(\) takes exactly 2 positional arguments \(1 given\)$"),
        (lambda t: t.delete(block=1), r"^delete\(\) takes exactly 2 positional arguments \(0 given\)$"),
        (lambda t: t.find_best_fit(), r"^find_best_fit\(\) takes at least 1 positional argument \(0 given\)$"),
        (lambda t: t.find_best_fit(1, 2, 3), r"^find_best_fit\(\) takes at most 2 positional arguments \(3 given\)$"),
        (lambda t: t.clear(1), r"^clear\(\) takes exactly 0 positional arguments \(1 given\)$"),
        (lambda t: t.remove_ge(sz=1), "^remove_ge\\(\\) got an unexpected keyword argument 'sz'$"),
        (lambda t: t.insert(8, 1, size=8), "^insert\\(\\) got multiple values for keyword argument 'size'$"),
    ],
)
def test_argument_binding(call, message):
    with pytest.raises(TypeError, match=message):
        call(FastRedBlackTree())


# ---------------------------------------------------------------------------------------------------------------
# insert, delete, chains, promotion


def test_insert_and_sizes():
    t = FastRedBlackTree()
    b0, b12 = block(0), block(12)
    assert t.insert(0, b0) is True
    assert t.insert(size=12.7, block=b12) is True
    assert t.find_all_exact(0) == [b0]
    assert t.find_all_exact(12) == [b12]
    assert t.get_size_distribution() == {0: 1, 12: 1}
    assert t.insert(True, "t") is True
    assert t.find_all_exact(1) == ["t"]


@pytest.mark.parametrize(
    "size, exc, message",
    [
        (-1, ValueError, r"^Invalid size: -1$"),
        (-(2**70), ValueError, r"^Invalid size: -1180591620717411303424$"),
        (-0.5, None, None),  # int(-0.5) is 0, a valid size
        (2**64, OverflowError, None),
        ("8", TypeError, r"^Argument 'size' has incorrect type \(expected int, got str\)$"),
        (None, TypeError, r"^Argument 'size' has incorrect type \(expected int, got NoneType\)$"),
    ],
)
def test_insert_bad_sizes(size, exc, message):
    t = FastRedBlackTree()
    before = stats(t)
    if exc is None:
        assert t.insert(size, "b") is True
        assert t.find_all_exact(0) == ["b"]
        return
    with pytest.raises(exc, match=message):
        t.insert(size, "b")
    assert len(t) == 0
    assert stats(t) == before


def test_largest_size():
    t = FastRedBlackTree()
    t.insert(2**64 - 1, "max")
    assert t.find_best_fit(2**64 - 1) == "max"
    assert t.remove_ge(1) == (2**64 - 1, "max")
    with pytest.raises(OverflowError):
        t.find_best_fit(2**64)
    with pytest.raises(OverflowError):
        t.find_all_exact(2**64)
    with pytest.raises(OverflowError):
        t.remove_ge(2**64)
    with pytest.raises(OverflowError):
        t.delete(2**64, "max")


def test_chain_order_and_promotion():
    t = FastRedBlackTree()
    b1, b2, b3 = block(40, 1), block(40, 2), block(40, 3)
    for b in (b1, b2, b3):
        t.insert(40, b)
    assert t.find_all_exact(40) == [b1, b3, b2]
    assert t.size() == 3 and t.get_stats()["node_count"] == 3
    assert t.get_size_distribution() == {40: 3}
    assert t.get_stats()["height"] == 1

    promoted = FastRedBlackTree()
    for b in (b1, b2, b3):
        promoted.insert(40, b)
    assert promoted.delete(40, b1) is True
    assert promoted.find_all_exact(40) == [b3, b2]
    assert promoted.find_best_fit(1) is b3

    t.delete(40, b2)
    assert t.find_all_exact(40) == [b1, b3]


def test_delete_by_equality():
    t = FastRedBlackTree()
    b1, b2, b3 = block(40, 1), block(40, 2), block(40, 3)
    for b in (b1, b2, b3):
        t.insert(40, b)
    twin = block(40, 2)
    assert twin == b2 and twin is not b2
    assert t.delete(40, twin) is True
    found = t.find_all_exact(40)
    assert found == [b1, b3] and found[0] is b1 and found[1] is b3


def test_delete_removes_only_the_first_equal_block():
    t = FastRedBlackTree()
    first, second = block(8, 1), block(8, 1)  # equal values, different objects
    t.insert(8, first)
    t.insert(8, second)
    assert t.delete(8, block(8, 1)) is True
    [left] = t.find_all_exact(8)
    assert left is second  # the tree node's own block goes first; the chain's head is promoted


def test_equality_decides_not_identity():
    class NeverEqual:
        def __eq__(self, other):
            return False

        __hash__ = object.__hash__

    t = FastRedBlackTree()
    b = NeverEqual()
    t.insert(8, b)
    assert t.delete(8, b) is False
    assert t.find_all_exact(8) == [b]


def test_delete_misses_change_no_counter():
    t = FastRedBlackTree()
    t.insert(16, block(16))
    before = stats(t)
    assert t.delete(32, block(32)) is False
    assert t.delete(16, block(16, 99)) is False
    assert t.delete(-1, block(16)) is False
    assert stats(t) == before
    assert len(t) == 1


def test_delete_counts():
    t = FastRedBlackTree()
    for s in (16, 32, 64):
        t.insert(s, block(s))
    assert t.delete(32, block(32)) is True
    st = t.get_stats()
    assert (st["total_blocks"], st["total_insertions"], st["total_deletions"], st["node_count"]) == (2, 3, 1, 2)
    assert t.get_size_distribution() == {16: 1, 64: 1} or t.get_size_distribution() == {64: 1, 16: 1}


def test_equality_error_propagates_and_the_section_ends():
    class Boom:
        def __eq__(self, other):
            raise KeyError("eq")

        __hash__ = object.__hash__

    t = FastRedBlackTree()
    b = Boom()
    t.insert(8, b)
    t.insert(8, "x")
    with pytest.raises(KeyError, match="eq"):
        t.delete(8, "x")
    assert t.find_all_exact(8) == [b, "x"]
    # The write section ended: the counter is even again, so readers need no back-off, and the lock is free.
    fake = FakeTime()
    orvelle.time = fake
    try:
        assert t.find_best_fit(1) is b
    finally:
        orvelle.time = time
    assert fake.sleeps == []
    assert t.insert(8, "y") is True


def test_delete_chain_entry_by_truthy_comparison_result():
    class Truthy:
        def __bool__(self):
            return True

    class Loose:
        def __eq__(self, other):
            return Truthy()

        __hash__ = object.__hash__

    t = FastRedBlackTree()
    loose = Loose()
    t.insert(8, loose)
    assert t.delete(8, object()) is True
    assert len(t) == 0


# ---------------------------------------------------------------------------------------------------------------
# Lookups


def test_empty_tree_lookups():
    t = FastRedBlackTree()
    assert t.find_best_fit(8) is None
    assert t.get_stats()["total_searches"] == 1
    r = t.find_all_exact(8)
    assert r == [] and type(r) is list
    assert t.get_stats()["total_searches"] == 2
    before = stats(t)
    assert t.remove_ge(8) == (None, None)
    assert stats(t) == before


@pytest.mark.parametrize("query, want", [(17, 32), (32, 32), (65, None), (0, 16), (1, 16), (64, 64), (33, 64)])
def test_find_best_fit(query, want):
    t = FastRedBlackTree()
    blocks = {s: block(s) for s in (16, 32, 64)}
    for s, b in blocks.items():
        t.insert(s, b)
    found = t.find_best_fit(query)
    assert found is (blocks[want] if want is not None else None)
    assert t.find_best_fit(query, 64) is found
    assert t.find_best_fit(size=query, alignment=4096.5) is found
    assert t.get_stats()["total_searches"] == 3


def test_reader_argument_handling():
    t = FastRedBlackTree()
    t.insert(16, "a")
    assert t.find_best_fit(-1) is None
    assert t.find_all_exact(-1) == []
    assert t.remove_ge(-1) == (None, None)
    assert t.get_stats()["total_searches"] == 0
    assert t.find_best_fit(15.9) == "a"
    with pytest.raises(TypeError, match=r"^Argument 'alignment' has incorrect type \(expected int, got str\)$"):
        t.find_best_fit(1, "8")
    with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got list\)$"):
        t.find_all_exact([])


def test_remove_ge_sequence():
    t = FastRedBlackTree()
    b1, b2, b3 = block(40, 1), block(40, 2), block(40, 3)
    for b in (b1, b2, b3):
        t.insert(40, b)
    results = [t.remove_ge(33) for _ in range(4)]
    assert results == [(40, b1), (40, b3), (40, b2), (None, None)]
    assert results[0][1] is b1 and type(results[0][0]) is int
    assert t.get_stats()["total_searches"] == 0


def test_remove_ge_counts():
    t = FastRedBlackTree()
    b16, b32 = block(16), block(32)
    t.insert(16, b16)
    t.insert(32, b32)
    before = t.get_stats()
    assert t.remove_ge(10) == (16, b16)
    after = t.get_stats()
    assert after["node_count"] == before["node_count"] - 1
    assert after["total_blocks"] == before["total_blocks"] - 1
    assert after["total_deletions"] == before["total_deletions"] + 1
    assert t.find_best_fit(0) is b32


# ---------------------------------------------------------------------------------------------------------------
# Write sections and readers


@pytest.mark.parametrize("reader, empty", [(lambda t: t.find_best_fit(1), None), (lambda t: t.find_all_exact(8), [])])
def test_reader_inside_a_write_section_gives_up(monkeypatch, reader, empty):
    fake = FakeTime()
    monkeypatch.setattr(orvelle, "time", fake)
    t = FastRedBlackTree()
    seen = []
    hook = Hook(lambda: seen.append(reader(t)))
    t.insert(8, hook)
    t.insert(8, "x")
    assert t.delete(8, "y") is False  # compares the hook (which reads) and then "x"
    assert seen == [empty]
    assert fake.sleeps == [0.0001] * 100
    assert t.get_stats()["total_searches"] == 0
    fake.sleeps.clear()
    assert reader(t) in (hook, [hook, "x"])
    assert fake.sleeps == []


def test_sleep_error_propagates(monkeypatch):
    class Broken:
        perf_counter_ns = staticmethod(time.perf_counter_ns)

        @staticmethod
        def sleep(seconds):
            raise RuntimeError("no sleep")

    monkeypatch.setattr(orvelle, "time", Broken)
    t = FastRedBlackTree()
    errors = []

    def read():
        try:
            t.find_best_fit(1)
        except RuntimeError as e:
            errors.append(str(e))

    t.insert(8, Hook(read))
    t.delete(8, "y")
    assert errors == ["no sleep"]


def test_timestamp_call_is_looked_up_each_time(monkeypatch):
    calls = []

    class Clock:
        @staticmethod
        def perf_counter_ns():
            calls.append(1)
            return 5

    t = FastRedBlackTree()
    monkeypatch.setattr(orvelle, "time", Clock)
    t.insert(8, "a")
    assert calls == [1]

    class BadClock:
        @staticmethod
        def perf_counter_ns():
            raise OSError("clock")

    monkeypatch.setattr(orvelle, "time", BadClock)
    before = stats(t)
    with pytest.raises(OSError, match="clock"):
        t.insert(16, "b")
    assert stats(t) == before and len(t) == 1

    class NegativeClock:
        @staticmethod
        def perf_counter_ns():
            return -1

    monkeypatch.setattr(orvelle, "time", NegativeClock)
    with pytest.raises(OverflowError):
        t.insert(16, "b")
    monkeypatch.setattr(orvelle, "time", time)
    assert t.insert(16, "b") is True
    assert t.find_all_exact(16) == ["b"]


def test_timestamp_stand_in_bound_before_import_is_called():
    result = run_python("""
        import time
        calls = []
        real = time.perf_counter_ns
        def stand_in():
            calls.append(1)
            return real()
        time.perf_counter_ns = stand_in
        from korvane.memory import orvelle
        t = orvelle.FastRedBlackTree()
        t.insert(8, 'a')
        t.insert(8, 'b')
        assert calls == [1, 1], calls
        time.perf_counter_ns = real
        t.insert(16, 'c')
        assert calls == [1, 1], calls
        print('ok')
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_writer_lock_is_free_after_errors():
    t = FastRedBlackTree()
    with pytest.raises(ValueError):
        t.insert(-5, "x")
    done = []
    th = threading.Thread(target=lambda: done.append(t.insert(5, "x")))
    th.start()
    th.join(5)
    assert done == [True]


class LabelledLock:
    """A lock stand-in with `with` semantics; the tree's first lock is its writer lock, the second its statistics
    lock."""

    made = 0

    def __init__(self, log):
        LabelledLock.made += 1
        self.name = "write" if LabelledLock.made % 2 == 1 else "stats"
        self.log = log
        log.append(("made", self.name))

    def __enter__(self):
        self.log.append((self.name, "enter"))
        return self

    def __exit__(self, exc_type, exc, tb):
        self.log.append((self.name, "exit", exc_type))
        return False


class RaisingEq:
    def __eq__(self, other):
        raise KeyError("eq")

    __hash__ = object.__hash__


@pytest.mark.parametrize("call, locked", [
    (lambda t: t.insert(8, "a"), "write"),
    (lambda t: t.delete(8, "zz"), "write"),
    (lambda t: t.delete(99, "zz"), "write"),
    (lambda t: t.remove_ge(100), "write"),
    (lambda t: t.remove_ge(0), "write"),
    (lambda t: t.clear(), "write"),
    (lambda t: t.get_size_distribution(), "write"),
    (lambda t: t.get_stats(), "stats"),
    (lambda t: t.reset_circuit_breaker(), "stats"),
    (lambda t: t.find_best_fit(1), None),
    (lambda t: t.find_all_exact(8), None),
    (lambda t: t.size(), None),
    (lambda t: len(t), None),
    (lambda t: bool(t), None),
    (lambda t: t.get_statistics(), None),
    (lambda t: t.delete(-1, "x"), None),
])
def test_each_operation_takes_its_own_lock(monkeypatch, call, locked):
    log = []
    LabelledLock.made = 0
    monkeypatch.setattr(orvelle, "threading", types.SimpleNamespace(Lock=lambda: LabelledLock(log)))
    t = FastRedBlackTree()
    assert log == [("made", "write"), ("made", "stats")]
    monkeypatch.setattr(orvelle, "threading", threading)
    t.insert(8, "b")
    log.clear()
    call(t)
    assert log == ([] if locked is None else [(locked, "enter"), (locked, "exit", None)])


def test_a_failing_write_section_leaves_the_lock_with_the_exception(monkeypatch):
    log = []
    LabelledLock.made = 0
    monkeypatch.setattr(orvelle, "threading", types.SimpleNamespace(Lock=lambda: LabelledLock(log)))
    t = FastRedBlackTree()
    t.insert(8, RaisingEq())
    log.clear()
    with pytest.raises(KeyError):
        t.delete(8, "x")
    assert log == [("write", "enter"), ("write", "exit", KeyError)]
    log.clear()
    with pytest.raises(ValueError, match="Invalid size: -1"):
        t.insert(-1, "x")
    assert log == []


# ---------------------------------------------------------------------------------------------------------------
# Statistics, sampling, distribution, protocols


def test_new_tree_stats():
    st = FastRedBlackTree().get_stats()
    assert list(st) == SNAPSHOT_KEYS
    assert st == dict.fromkeys(SNAPSHOT_KEYS, 0) | {"is_valid": True}
    assert st["is_valid"] is True


@pytest.mark.parametrize("rate, sampled", [(2, 2), (0, 0), (1, 5), (100, 0), (5, 1)])
def test_sampling(rate, sampled):
    t = FastRedBlackTree(rate)
    for i in range(5):
        t.insert(i, i)
    assert t.get_stats()["sampled_operations"] == sampled


def test_counters_through_the_module_attribute(monkeypatch):
    calls = []

    class CountingCounter(tessin.AtomicCounter):
        def increment(self, delta=1):
            calls.append(delta)
            return super().increment(delta)

        def load(self):
            calls.append("load")
            return super().load()

    monkeypatch.setattr(orvelle, "AtomicCounter", CountingCounter)
    t = FastRedBlackTree(sample_rate=2)
    for i in range(4):
        t.insert(i, i)
    assert t.get_stats()["sampled_operations"] == 2
    assert calls == [1, 1, 1, 1, 1, 1, "load"]  # op counter per insertion, sample counter on the 2nd and 4th

    monkeypatch.setattr(orvelle, "ATOMIC_AVAILABLE", 0)
    plain = FastRedBlackTree(sample_rate=1)
    plain.insert(1, 1)
    assert plain.get_stats()["sampled_operations"] == 0


def test_counter_errors_propagate(monkeypatch):
    class Failing:
        def __init__(self, start):
            pass

        def increment(self):
            raise ArithmeticError("counter")

    monkeypatch.setattr(orvelle, "AtomicCounter", Failing)
    t = FastRedBlackTree()
    with pytest.raises(ArithmeticError, match="counter"):
        t.insert(8, "a")
    assert len(t) == 0 and t.find_all_exact(8) == []
    monkeypatch.setattr(orvelle, "AtomicCounter", None)
    with pytest.raises(TypeError):
        FastRedBlackTree()


def test_non_int_counter_results(monkeypatch):
    class FloatCounter:
        def __init__(self, start):
            self.n = start

        def increment(self):
            self.n += 1
            return float(self.n)

        def load(self):
            return "loaded"

    monkeypatch.setattr(orvelle, "AtomicCounter", FloatCounter)
    t = FastRedBlackTree(sample_rate=2)
    for i in range(4):
        t.insert(i, i)
    assert t.get_stats()["sampled_operations"] == "loaded"


def test_height_and_distribution_order():
    t = FastRedBlackTree()
    for s in (10, 20, 30):
        t.insert(s, block(s))
    assert t.get_stats()["height"] == 2
    assert list(t.get_size_distribution()) == [20, 10, 30]

    u = FastRedBlackTree()
    for b in ("a", "b", "c"):
        u.insert(64, b)
    u.insert(128, "d")
    assert u.get_size_distribution() == {64: 3, 128: 1}
    assert u.size() == 4 and len(u) == 4
    assert u.get_stats()["height"] == 2


def test_reset_circuit_breaker():
    t = FastRedBlackTree()
    t.insert(1, 1)
    t.insert(2, 2)
    assert t.reset_circuit_breaker() is None
    st = t.get_stats()
    keys = list(st)
    assert keys[keys.index("operation_count") + 1] == "circuit_breaker_trips"
    assert st["operation_count"] == 0 and st["circuit_breaker_trips"] == 0
    assert st["total_insertions"] == 2
    t.insert(3, 3)
    assert t.get_stats()["operation_count"] == 1
    t.clear()
    assert "circuit_breaker_trips" not in t.get_stats()


def test_repr_bool_len_statistics():
    t = FastRedBlackTree()
    assert not t and bool(t) is False and len(t) == 0
    for i in range(3):
        t.insert(i, i)
    assert repr(t) == "FastRedBlackTree(blocks=3, native=True)"
    assert t and len(t) == 3
    a, b = t.get_statistics(), t.get_statistics()
    assert a == {} and a is not b

    class Sub(FastRedBlackTree):
        pass

    assert repr(Sub()) == "FastRedBlackTree(blocks=0, native=True)"


def test_clear():
    t = FastRedBlackTree(sample_rate=1)
    for s in (1, 2, 2, 3):
        t.insert(s, s)
    t.reset_circuit_breaker()
    assert t.clear() is None
    st = t.get_stats()
    assert st == dict.fromkeys(SNAPSHOT_KEYS, 0) | {"is_valid": True}
    assert list(st) == SNAPSHOT_KEYS
    assert t.find_best_fit(0) is None
    t.clear()
    t.insert(5, "x")
    assert t.get_stats()["sampled_operations"] == 1


def test_clear_replaces_counters_through_the_module_attribute(monkeypatch):
    made = []

    class Recording(tessin.AtomicCounter):
        def __init__(self, start):
            made.append(start)

    t = FastRedBlackTree()
    monkeypatch.setattr(orvelle, "AtomicCounter", Recording)
    t.clear()
    assert made == [0, 0]


# ---------------------------------------------------------------------------------------------------------------
# Subclasses


def test_subclass_overrides_are_honoured():
    class Rounded(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            if size == 13:
                raise ValueError("unlucky")
            return (size + 7) // 8 * 8

    t = Rounded()
    t.insert(5, "a")
    assert t.find_all_exact(8) == ["a"]
    assert t.find_best_fit(1) == "a"
    assert t.find_best_fit(13) is None
    assert t.delete(13, "a") is False
    assert t.remove_ge(13) == (None, None)
    with pytest.raises(ValueError, match="unlucky"):
        t.insert(13, "b")

    class Plain(FastRedBlackTree):
        pass

    p = Plain()
    with pytest.raises(ValueError, match="^Invalid size: -3$"):
        p.insert(-3, "x")
    p.insert(3, "x")
    assert p.find_all_exact(3) == ["x"]


def test_subclass_size_check_results_are_converted():
    class Floating(FastRedBlackTree):
        def _sanitize_size(self, size):
            return size + 0.5

    t = Floating()
    t.insert(4, "a")
    assert t.find_all_exact(4) == ["a"]

    class Negative(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            return -size

    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        Negative().insert(4, "a")


def test_subclass_size_drives_len_and_bool():
    class Sized(FastRedBlackTree):
        value = 0

        def size(self):
            return self.value

    t = Sized()
    t.insert(1, 1)
    assert len(t) == 0 and not t
    t.value = 7
    assert len(t) == 7 and t
    t.value = 2.5
    with pytest.raises(TypeError):
        len(t)
    assert bool(t) is True
    t.value = -1
    with pytest.raises(ValueError):
        len(t)


@pytest.mark.parametrize("value", [-2, -(2**63)])
def test_subclass_negative_size_fails_len_through_every_caller(value):
    class Sized(FastRedBlackTree):
        def size(self):
            return value

    t = Sized()
    with pytest.raises(ValueError, match=r"__len__\(\) should return >= 0"):
        len(t)
    # The slot wrapper treats only -1 as failure: any other negative result with the error set was a SystemError.
    with pytest.raises(ValueError, match=r"__len__\(\) should return >= 0"):
        FastRedBlackTree.__len__(t)
    with pytest.raises(ValueError):
        t.__len__()


# ---------------------------------------------------------------------------------------------------------------
# Reference counts, release order, re-entrant destructors, GC


def test_reference_counts():
    t = FastRedBlackTree()
    b1, b2, b3 = object(), object(), object()

    def refs():
        return [sys.getrefcount(b1), sys.getrefcount(b2), sys.getrefcount(b3)]

    base = refs()

    def counts():
        return [n - m for n, m in zip(refs(), base)]

    t.insert(8, b1)
    t.insert(8, b2)
    t.insert(8, b3)
    assert counts() == [1, 1, 1]
    t.find_best_fit(8)
    t.find_all_exact(8)
    assert counts() == [1, 1, 1]
    t.delete(8, b1)  # promotion of b3
    assert counts() == [0, 1, 1]
    size, got = t.remove_ge(0)
    assert got is b3 and counts() == [0, 1, 1]
    del got
    assert counts() == [0, 1, 0]
    t.insert(9, b1)
    t.clear()
    assert counts() == [0, 0, 0]
    t.insert(7, b1)
    t.insert(7, b2)
    t.insert(7, b3)
    assert counts() == [1, 1, 1]
    del t
    assert counts() == [0, 0, 0]


def test_clear_releases_in_post_order():
    log = []
    t = FastRedBlackTree()
    for name, size in (("n10", 10), ("n20", 20), ("n30", 30), ("c10a", 10), ("c10b", 10)):
        t.insert(size, Tracked(name, log))
    t.clear()
    assert log == ["c10b", "c10a", "n10", "n30", "n20"]


def test_destruction_releases_in_post_order():
    log = []
    t = FastRedBlackTree()
    for name, size in (("n10", 10), ("n20", 20), ("n30", 30)):
        t.insert(size, Tracked(name, log))
    del t
    assert log == ["n10", "n30", "n20"]


def test_destructors_may_use_the_tree():
    log = []
    t = FastRedBlackTree()
    seen = []

    def use_tree():
        seen.append((t.find_best_fit(0), t.find_all_exact(10), len(t)))
        t.insert(99, "late")

    for s in (10, 20, 10):
        t.insert(s, Tracked(s, log, on_del=use_tree))
    fake = FakeTime()
    orvelle.time = fake
    try:
        t.clear()
    finally:
        orvelle.time = time
    assert fake.sleeps == []  # the tree was consistent (counter even) whenever a destructor ran
    assert len(log) == 3
    assert seen[0] == (None, [], 0)
    assert seen[-1][0] == "late"
    assert t.find_all_exact(99) == ["late"] * 3


class NameKey:
    """Equal to any block with the same name (through the reflected comparison)."""

    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return getattr(other, "name", None) == self.name

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "names, left",
    [
        (["victim", "n20"], []),  # a tree node without a chain: removed with rebalancing
        (["victim", "c1"], ["c1"]),  # the tree node's own block: the chain's head is promoted
        (["n10", "victim", "c2"], ["n10", "c2"]),  # a chain entry
    ],
)
def test_removed_block_is_released_after_the_section(names, left):
    victim = "victim"
    log = []
    t = FastRedBlackTree()
    seen = []

    def use_tree():
        seen.append((t.find_all_exact(10), len(t)))
        t.insert(5, "after")

    sizes = {"n20": 20}
    for name in names:
        t.insert(sizes.get(name, 10), Tracked(name, log, on_del=use_tree if name == victim else None))
    fake = FakeTime()
    orvelle.time = fake
    try:
        assert t.delete(10, NameKey(victim)) is True
    finally:
        orvelle.time = time
    # The tree held the last reference: the destructor ran after the section, on a consistent tree.
    assert log == ["victim"]
    assert fake.sleeps == []
    [(blocks, count)] = seen
    assert [b.name for b in blocks] == left
    assert count == len(names) - 1
    assert t.find_all_exact(5) == ["after"]


def test_cycle_through_a_block_is_collected():
    log = []

    class Holder:
        def __init__(self):
            self.tree = FastRedBlackTree()

        def __del__(self):
            log.append("holder")

    h = Holder()
    h.tree.insert(8, h)
    h.tree.insert(8, (h,))  # a tuple has no clearing of its own: the tree's clearing breaks that cycle
    ref = weakref.ref(h)
    del h
    gc.collect()
    assert ref() is None
    assert log == ["holder"]


def test_gc_visits_stored_blocks():
    t = FastRedBlackTree()
    b = [1, 2]
    t.insert(3, b)
    assert b in gc.get_referents(t)


# ---------------------------------------------------------------------------------------------------------------
# Threads


def test_threads_reading_while_others_write():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        t = FastRedBlackTree()
        stop = threading.Event()
        errors = []
        valid = set()  # every block ever inserted
        counts = {"reads": 0}

        def writer(seed):
            rng = random.Random(seed)
            mine = []
            try:
                for i in range(3000):
                    op = rng.random()
                    if op < 0.55 or not mine:
                        s = rng.randrange(0, 512)
                        b = MemoryBlock(offset=seed * 100000 + i, size=s)
                        valid.add(b)
                        t.insert(s, b)
                        mine.append(b)
                    elif op < 0.8:
                        b = mine.pop(rng.randrange(len(mine)))
                        if not t.delete(b.size, b):
                            removed_elsewhere.add(b)
                    else:
                        s, b = t.remove_ge(rng.randrange(0, 512))
                        if b is not None:
                            if b.size != s or b not in valid:
                                errors.append(("remove_ge", s, b))
                            taken.append(b)
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        def reader(seed):
            rng = random.Random(seed)
            while not stop.is_set():
                q = rng.randrange(0, 520)
                b = t.find_best_fit(q)
                if b is not None and (b not in valid or b.size < q):
                    errors.append(("find_best_fit", q, b))
                got = t.find_all_exact(q)
                if any(x.size != q or x not in valid for x in got):
                    errors.append(("find_all_exact", q, got))
                counts["reads"] += 1

        removed_elsewhere, taken = set(), []
        writers = [threading.Thread(target=writer, args=(i,)) for i in range(1, 3)]
        readers = [threading.Thread(target=reader, args=(i,)) for i in range(10, 13)]
        for th in readers + writers:
            th.start()
        for th in writers:
            th.join()
        stop.set()
        for th in readers:
            th.join()
        assert errors == []
        assert counts["reads"] > 0
        # Nothing lost: every inserted block is still stored, or was removed exactly once.
        stored = []
        for size in t.get_size_distribution():
            stored.extend(t.find_all_exact(size))
        assert len(stored) == len(t)
        assert len(set(map(id, stored))) == len(stored)
        st = t.get_stats()
        assert st["total_insertions"] == len(valid)
        assert st["total_blocks"] == len(t) == st["total_insertions"] - st["total_deletions"]
        assert set(stored).isdisjoint(taken)
        assert st["height"] <= 2 * math.log2(len(t.get_size_distribution()) + 1)
    finally:
        sys.setswitchinterval(old)


# ---------------------------------------------------------------------------------------------------------------
# Against a model


def is_bst_preorder(keys):
    """True when `keys` is the pre-order of some binary search tree."""
    stack, low = [], -1
    for k in keys:
        if k < low:
            return False
        while stack and stack[-1] < k:
            low = stack.pop()
        stack.append(k)
    return True


class TreeAgainstModel(RuleBasedStateMachine):
    """The tree against a model: size -> blocks in the tree's order (first block, then newest to oldest)."""

    def __init__(self):
        super().__init__()
        self.tree = FastRedBlackTree(sample_rate=3)
        self.model = {}
        self.next_id = 0
        self.inserted = 0
        self.deleted = 0
        self.searches = 0

    sizes = st.integers(min_value=0, max_value=40) | st.integers(min_value=0, max_value=2**64 - 1)

    @rule(size=sizes)
    def insert(self, size):
        b = MemoryBlock(offset=self.next_id, size=size)
        self.next_id += 1
        assert self.tree.insert(size, b) is True
        chain = self.model.setdefault(size, [])
        chain.insert(1 if chain else 0, b)
        self.inserted += 1

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def delete_stored(self, data):
        size = data.draw(st.sampled_from(sorted(self.model)))
        chain = self.model[size]
        b = data.draw(st.sampled_from(chain))
        assert self.tree.delete(size, MemoryBlock(offset=b.offset, size=b.size)) is True
        chain.remove(b)
        if not chain:
            del self.model[size]
        self.deleted += 1

    @rule(size=sizes)
    def delete_missing(self, size):
        assert self.tree.delete(size, MemoryBlock(offset=-1, size=size)) is False

    @rule(size=sizes)
    def remove_ge(self, size):
        fits = [s for s in self.model if s >= size]
        if not fits:
            assert self.tree.remove_ge(size) == (None, None)
            return
        s = min(fits)
        want = self.model[s].pop(0)
        if not self.model[s]:
            del self.model[s]
        got = self.tree.remove_ge(size)
        assert got == (s, want) and got[1] is want
        self.deleted += 1

    @rule(size=sizes)
    def lookups(self, size):
        fits = [s for s in self.model if s >= size]
        found = self.tree.find_best_fit(size)
        assert found is (self.model[min(fits)][0] if fits else None)
        exact = self.tree.find_all_exact(size)
        assert exact == self.model.get(size, [])
        assert all(a is b for a, b in zip(exact, self.model.get(size, [])))
        self.searches += 2

    @rule()
    def clear(self):
        self.tree.clear()
        self.model.clear()
        self.inserted = self.deleted = self.searches = 0

    @invariant()
    def matches_model(self):
        dist = self.tree.get_size_distribution()
        assert dist == {s: len(c) for s, c in self.model.items()}
        assert is_bst_preorder(list(dist))
        total = sum(len(c) for c in self.model.values())
        assert len(self.tree) == self.tree.size() == total
        st_ = self.tree.get_stats()
        assert st_["height"] <= 2 * math.log2(len(self.model) + 1)
        assert (st_["total_blocks"], st_["total_insertions"], st_["total_deletions"], st_["total_searches"]) == (
            total, self.inserted, self.deleted, self.searches)
        assert st_["sampled_operations"] == self.inserted // 3


TestTreeAgainstModel = TreeAgainstModel.TestCase
TestTreeAgainstModel.settings = settings(max_examples=150, stateful_step_count=60, deadline=None,
                                         suppress_health_check=[HealthCheck.too_slow])
