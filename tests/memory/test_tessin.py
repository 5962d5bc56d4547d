"""AtomicCounter and the module import of korvane.memory.tessin."""
import subprocess
import sys
import textwrap
import threading

import pytest

from korvane.memory import tessin
from korvane.memory.tessin import AtomicCounter

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def test_counter_sequence():
    c = AtomicCounter(5)
    assert c.increment() == 6
    assert c.increment(10) == 16
    assert c.decrement() == 15
    assert c.fetch_and_add(5) == 15
    assert c.load() == 20
    assert c.compare_and_swap(20, 1) is True
    assert c.load() == 1
    assert c.compare_and_swap(20, 2) is False
    assert c.load() == 1
    assert c.store(7) is None
    assert c.load() == 7
    assert c.increment(-3) == 4
    assert c.decrement(-3) == 7


@pytest.mark.parametrize(
    "start, call, result, after",
    [
        (INT64_MAX, lambda c: c.increment(), INT64_MIN, INT64_MIN),
        (INT64_MIN, lambda c: c.decrement(), INT64_MAX, INT64_MAX),
        (INT64_MAX, lambda c: c.fetch_and_add(1), INT64_MAX, INT64_MIN),
        (0, lambda c: c.decrement(INT64_MIN), INT64_MIN, INT64_MIN),
        (INT64_MIN, lambda c: c.increment(INT64_MIN), 0, 0),
    ],
)
def test_arithmetic_wraps(start, call, result, after):
    c = AtomicCounter(start)
    assert call(c) == result
    assert c.load() == after


def test_construction():
    assert AtomicCounter().load() == 0
    assert AtomicCounter(initial_value=-5).load() == -5
    assert AtomicCounter(3.9).load() == 3
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
        AtomicCounter(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
        AtomicCounter(value=1)


@pytest.mark.parametrize(
    "value, stored",
    [(True, 1), (False, 0), (2.9, 2), (-2.9, -2), (INT64_MAX, INT64_MAX), (INT64_MIN, INT64_MIN)],
)
def test_store_conversions(value, stored):
    c = AtomicCounter(0)
    c.store(value)
    assert c.load() == stored


@pytest.mark.parametrize("bad", [2**63, INT64_MIN - 1, float("inf"), 1e30])
def test_store_out_of_range_leaves_value(bad):
    c = AtomicCounter(11)
    with pytest.raises(OverflowError):
        c.store(bad)
    assert c.load() == 11


@pytest.mark.parametrize("bad", ["1", None, b"1", object()])
def test_increment_requires_integer(bad):
    c = AtomicCounter(0)
    with pytest.raises(TypeError, match="^an integer is required$"):
        c.increment(bad)
    assert c.load() == 0


def test_results_are_exact_types():
    c = AtomicCounter(1)
    assert type(c.load()) is int
    assert type(c.compare_and_swap(1, 2)) is bool
    assert c.store(3) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.compare_and_swap(expected=1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (lambda c: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.store(1, 2), "store() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.increment(step=1), "increment() got an unexpected keyword argument 'step'"),
        (lambda c: c.store(1, value=2), "store() got multiple values for keyword argument 'value'"),
    ],
)
def test_argument_errors(call, message):
    c = AtomicCounter(9)
    with pytest.raises(TypeError) as info:
        call(c)
    assert str(info.value) == message
    assert c.load() == 9


def test_keywords_and_aliases():
    c = AtomicCounter(0)
    assert c.increment(delta=4) == 4
    assert c.compare_and_swap(new_value=8, expected=4) is True
    assert c.py_fetch_and_add(delta=2) == 8
    assert c.py_load() == 10
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert getattr(AtomicCounter, "py_" + name) is getattr(AtomicCounter, name)


@pytest.mark.parametrize(
    "name, annotations, defaults, doc",
    [
        ("load", {"return": "int"}, None, "Atomically load value."),
        ("store", {}, None, "Atomically store value."),
        ("increment", {"return": "int"}, (1,), "Atomically increment and return new value."),
        ("decrement", {"return": "int"}, (1,), "Atomically decrement and return new value."),
        ("compare_and_swap", {"return": "bool"}, None, "Atomically compare and swap."),
        ("fetch_and_add", {"return": "int"}, None, "Atomically fetch and add."),
    ],
)
def test_method_metadata(name, annotations, defaults, doc):
    f = getattr(AtomicCounter, name)
    assert f.__name__ == name
    assert f.__qualname__ == "AtomicCounter." + name
    assert f.__module__ == "korvane.memory.tessin"
    assert f.__annotations__ == annotations
    assert f.__defaults__ == defaults
    assert f.__doc__ == doc


def test_eight_threads_lose_no_increment():
    c = AtomicCounter(-1000)
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        for _ in range(100000):
            c.increment()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == -1000 + 800000


def test_mixed_operations_from_threads_are_linearisable():
    # Every thread moves the counter by +delta then -delta, and by compare-and-swap loops: the sum stays exact.
    c = AtomicCounter(0)

    def work(seed):
        for i in range(20000):
            c.fetch_and_add(seed)
            c.decrement(seed)
            while True:
                v = c.load()
                if c.compare_and_swap(v, v + 1):
                    break

    threads = [threading.Thread(target=work, args=(s,)) for s in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == 4 * 20000


def test_module_attributes():
    assert tessin.VEXEL_ATOMICS_AVAILABLE is True
    import threading as threading_module
    import time as time_module
    import typing

    assert tessin.threading is threading_module
    assert tessin.time is time_module
    assert tessin.Optional is typing.Optional
    assert tessin.TypeVar is typing.TypeVar
    assert tessin.Generic is typing.Generic
    assert tessin.logger.name == "korvane.memory.tessin"
    assert tessin.__test__ == {}


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_import_logs_info_line_once():
    r = run_python(
        """
        import logging
        records = []
        class H(logging.Handler):
            def emit(self, record):
                records.append((record.name, record.levelname, record.getMessage()))
        logging.getLogger().addHandler(H())
        logging.getLogger().setLevel(logging.DEBUG)
        import sys, importlib
        import korvane.memory.tessin as first
        del sys.modules["korvane.memory.tessin"]
        second = importlib.import_module("korvane.memory.tessin")
        assert second is first, (second, first)
        print(repr(records))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == repr(
        [("korvane.memory.tessin", "INFO", "Korvane Vexel Tessin loaded - C11 atomics active (10-20× speedup)")]
    )


def test_second_interpreter_is_refused():
    r = run_python(
        """
        import os, tempfile
        import _testcapi
        import korvane.memory.tessin
        out = tempfile.mktemp()
        code = (
            "try:\\n"
            "    import korvane.memory.tessin\\n"
            "    msg = 'imported'\\n"
            "except ImportError as e:\\n"
            "    msg = 'ImportError: ' + str(e)\\n"
            f"open({out!r}, 'w').write(msg)\\n"
        )
        _testcapi.run_in_subinterp(code)
        print(open(out).read())
        os.unlink(out)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
