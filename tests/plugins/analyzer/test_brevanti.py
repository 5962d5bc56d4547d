"""Tests for korvane.plugins.analyzer.brevanti: history analysers, gating rules and prediction."""

import importlib.util
import math
import pathlib
import subprocess
import sys
import threading

import pytest
from hypothesis import given, strategies as st

from korvane.plugins.analyzer import brevanti as bv

NAN = float("nan")
INF = float("inf")




def _load_reference():
    # The benchmark's pure-Python versions double as the reference the native functions must agree with.
    path = pathlib.Path(__file__).resolve().parents[3] / "bench" / "bench_brevanti.py"
    spec = importlib.util.spec_from_file_location("bench_brevanti", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ref = _load_reference()


# --------------------------------------------------------------------------------------------------
# Module surface
# --------------------------------------------------------------------------------------------------

FUNCTIONS = [
    "detect_performance_degradation",
    "calculate_performance_trend",
    "detect_workload_characteristics_change",
    "detect_dominant_pattern",
    "is_adaptation_beneficial",
    "should_skip_adaptation",
    "detect_memory_pressure",
    "detect_fragmentation_threshold",
    "calculate_adaptation_urgency",
    "score_pool_recommendation",
    "predict_resource_requirements",
]


def test_module_binds_functions_in_order_then_logging():
    names = [n for n in vars(bv) if not n.startswith("__")]
    assert names == FUNCTIONS + ["logging", "logger"]
    assert bv.logger.name == "korvane.plugins.analyzer.brevanti"
    assert bv.__test__ == {}


@pytest.mark.parametrize(
    "name, defaults",
    [
        ("detect_performance_degradation", None),
        ("calculate_performance_trend", None),
        ("detect_workload_characteristics_change", (0.3,)),
        ("detect_dominant_pattern", (5,)),
        ("is_adaptation_beneficial", (1.1, 0.6)),
        ("should_skip_adaptation", None),
        ("detect_memory_pressure", (0.8,)),
        ("detect_fragmentation_threshold", (0.3,)),
        ("calculate_adaptation_urgency", None),
        ("score_pool_recommendation", None),
        ("predict_resource_requirements", None),
    ],
)
def test_function_identity_and_defaults(name, defaults):
    fn = getattr(bv, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "korvane.plugins.analyzer.brevanti"
    assert fn.__defaults__ == defaults
    if defaults is not None:
        assert [type(d) for d in fn.__defaults__] == [type(d) for d in defaults]


def test_import_logs_info_line_once_in_fresh_process():
    code = (
        "import logging\n"
        "records = []\n"
        "class H(logging.Handler):\n"
        "    def emit(self, r): records.append((r.name, r.levelname, r.getMessage()))\n"
        "logging.getLogger().addHandler(H()); logging.getLogger().setLevel(logging.DEBUG)\n"
        "import sys\n"
        "from korvane.plugins.analyzer import brevanti as a\n"
        "del sys.modules['korvane.plugins.analyzer.brevanti']\n"
        "import korvane.plugins.analyzer.brevanti as b\n"
        "assert a is b\n"
        "print(records)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr(
        [("korvane.plugins.analyzer.brevanti", "INFO", "Korvane Brevanti Vexel module loaded - IP protected")]
    )


# --------------------------------------------------------------------------------------------------
# Argument binding and kinds
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda: bv.detect_performance_degradation((), 1.0, 0.1, 0.0),
            TypeError,
            "Argument 'performance_history' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: bv.calculate_performance_trend("abc", 0.0),
            TypeError,
            "Argument 'performance_history' has incorrect type (expected list, got str)",
        ),
        (
            lambda: bv.detect_dominant_pattern(("a",)),
            TypeError,
            "Argument 'patterns' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: bv.predict_resource_requirements({}, 1.0),
            TypeError,
            "Argument 'allocation_history' has incorrect type (expected list, got dict)",
        ),
        (
            lambda: bv.is_adaptation_beneficial(b"a", "b", 0.9, 0.9, 0.0, 0),
            TypeError,
            "Argument 'current_pool' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: bv.detect_dominant_pattern([], "5"),
            TypeError,
            "an integer is required",
        ),
        (
            lambda: bv.detect_dominant_pattern([], 2**31),
            OverflowError,
            None,
        ),
        (
            lambda: bv.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.0, 2**31),
            OverflowError,
            None,
        ),
        (
            lambda: bv.should_skip_adaptation(1.0, 2.0),
            TypeError,
            "should_skip_adaptation() takes exactly 3 positional arguments (2 given)",
        ),
        (
            lambda: bv.detect_memory_pressure(1.0, 2.0, 0.8, 1),
            TypeError,
            "detect_memory_pressure() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: bv.detect_memory_pressure(1.0),
            TypeError,
            "detect_memory_pressure() takes at least 2 positional arguments (1 given)",
        ),
        (
            lambda: bv.detect_fragmentation_threshold(0.1, ratio=0.2),
            TypeError,
            "detect_fragmentation_threshold() got an unexpected keyword argument 'ratio'",
        ),
        (
            lambda: bv.detect_fragmentation_threshold(0.1, fragmentation_ratio=0.2),
            TypeError,
            "detect_fragmentation_threshold() got multiple values for keyword argument 'fragmentation_ratio'",
        ),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_str_subclass_is_rejected_with_explanation():
    class S(str):
        pass

    with pytest.raises(TypeError) as info:
        bv.is_adaptation_beneficial(S("a"), "b", 0.9, 0.9, 0.0, 0)
    assert str(info.value).startswith("Argument 'current_pool' has incorrect type (expected str, got S). ")


def test_double_arguments_use_the_float_conversion():
    class F:
        def __float__(self):
            return 0.9

    class I:
        def __index__(self):
            return 1

    assert bv.detect_fragmentation_threshold(F(), I()) is False
    assert bv.detect_fragmentation_threshold(fragmentation_ratio=F(), threshold=0) is True
    with pytest.raises(TypeError):
        bv.detect_fragmentation_threshold("0.5")
    with pytest.raises(OverflowError):
        bv.detect_fragmentation_threshold(10**400)


def test_keywords_in_any_order():
    assert bv.should_skip_adaptation(min_interval=10.0, current_time=105.0, last_adaptation_time=100.0) is True


# --------------------------------------------------------------------------------------------------
# detect_performance_degradation
# --------------------------------------------------------------------------------------------------

STEP_HISTORY = [(t, 100.0 if t < 5 else 80.0) for t in range(10)]


@pytest.mark.parametrize(
    "history, baseline, threshold, window_start, expected",
    [
        (STEP_HISTORY, 100.0, 0.15, 5.0, True),
        (STEP_HISTORY, 100.0, 0.25, 5.0, False),
        (STEP_HISTORY, 100.0, 0.15, 6.0, False),  # four entries in the window
        (STEP_HISTORY, 100.0, 0.2, 5.0, False),  # degradation exactly 0.2 is not above 0.2
        (STEP_HISTORY, 0.0, -5.0, 0.0, False),
        (STEP_HISTORY, -1.0, -5.0, 0.0, False),
        (STEP_HISTORY[:4], 100.0, -5.0, 0.0, False),
        (None, 100.0, -5.0, 0.0, False),
        ([], 100.0, -5.0, 0.0, False),
        (STEP_HISTORY, NAN, -5.0, 0.0, False),
        (STEP_HISTORY, 100.0, NAN, 5.0, False),
        ([[t, 50] for t in range(5)], 100, 0.49, -INF, True),  # lists of ints unpack too
    ],
)
def test_degradation(history, baseline, threshold, window_start, expected):
    assert bv.detect_performance_degradation(history, baseline, threshold, window_start) is expected


def test_degradation_converts_entries_outside_the_window():
    history = STEP_HISTORY + [(-1.0, "x")]
    with pytest.raises(TypeError):
        bv.detect_performance_degradation(history, 100.0, 0.15, 5.0)


def test_degradation_skips_entries_when_guards_fail_early():
    # The length and baseline guards come before any entry is looked at.
    assert bv.detect_performance_degradation([1, 2, 3], 100.0, 0.1, 0.0) is False
    assert bv.detect_performance_degradation([1] * 10, 0.0, 0.1, 0.0) is False


def test_degradation_nan_timestamps_stay_outside_the_window():
    history = [(NAN, 0.0)] * 5 + [(1.0, 100.0)] * 4
    assert bv.detect_performance_degradation(history, 100.0, 0.1, 0.0) is False


# --------------------------------------------------------------------------------------------------
# Unpacking of history entries (shared by the three pair-reading functions)
# --------------------------------------------------------------------------------------------------


def _interpreter_unpack_error(entry):
    try:
        a, b = entry
    except Exception as exc:  # noqa: BLE001 - the interpreter's own error is the reference
        return type(exc), str(exc)
    return None


BAD_ENTRIES = [
    (1.0, 2.0, 3.0),
    (1.0,),
    (),
    [1.0, 2.0, 3.0],
    [1.0],
    5,
    None,
    "abc",
    "a",
    {1: 2, 3: 4, 5: 6},
    b"\x01",
]


@pytest.mark.parametrize("entry", BAD_ENTRIES, ids=repr)
@pytest.mark.parametrize(
    "call",
    [
        lambda h: bv.detect_performance_degradation(h, 100.0, 0.1, 0.0),
        lambda h: bv.calculate_performance_trend(h, 0.0),
        lambda h: bv.predict_resource_requirements(h, 10.0),
    ],
    ids=["degradation", "trend", "prediction"],
)
def test_unpacking_errors_match_the_interpreter(call, entry):
    expected = _interpreter_unpack_error(entry)
    # The prediction reads item 0 of the first and last entries first, so the bad entry sits inside.
    history = [(0.0, 1.0)] * 5 + [entry] + [(9.0, 1.0)] * 5
    with pytest.raises(expected[0]) as info:
        call(history)
    assert str(info.value) == expected[1]


def test_unpacking_accepts_any_iterable_of_two():
    def gen():
        yield 0.0
        yield 10.0

    class Seq:
        def __getitem__(self, i):
            if i < 2:
                return (float(i), 10.0)[i]
            raise IndexError

    history = [(0.0, 10.0), iter([1.0, 11.0]), {2.0: None, 12.0: None}]
    assert bv.calculate_performance_trend(history, 0.0) == pytest.approx(1 / 11)
    assert bv.calculate_performance_trend([gen(), Seq(), (2.0, 10.0)], -1.0) == 0.0


def test_unpacking_propagates_iterator_errors():
    def gen():
        yield 1.0
        raise KeyError("boom")

    with pytest.raises(KeyError):
        bv.calculate_performance_trend([(0, 1), (1, 2), gen()], 0.0)


def test_unpacking_releases_the_items():
    a, b = object(), object()

    class F(float):
        pass

    ts, m = F(1.0), F(2.0)
    before = sys.getrefcount(ts), sys.getrefcount(m)
    for _ in range(100):
        bv.calculate_performance_trend([(ts, m)] * 3 + [iter([ts, m])], 0.0)
        with pytest.raises(ValueError):
            bv.calculate_performance_trend([(ts, m)] * 3 + [iter([ts, m, a, b])], 0.0)
    assert (sys.getrefcount(ts), sys.getrefcount(m)) == before


# --------------------------------------------------------------------------------------------------
# calculate_performance_trend
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "history, window_start, expected",
    [
        ([(0, 10.0), (1, 11.0), (2, 12.0)], 0.0, 1 / 11),
        ([(0, 10.0), (1, 9.0), (2, 8.0)], 0.0, -1 / 9),
        ([(5, 10.0), (5, 11.0), (5, 12.0)], 0.0, 0.0),  # zero denominator
        ([(0, -1.0), (1, 0.0), (2, 1.0)], 0.0, 0.0),  # mean metric 0
        ([(0, 1.0), (1, 100.0), (2, 1000.0)], 0.0, 1.0),
        ([(0, 1000.0), (1, 100.0), (2, 1.0)], 0.0, -1.0),
        ([(0, 1.0), (1, 2.0)], 0.0, 0.0),
        (None, 0.0, 0.0),
        ([(t, float(t)) for t in range(10)], 8.0, 0.0),  # only two pairs in the window
        ([(0, 10.0), (1, NAN), (2, 12.0)], 0.0, 1.0),  # NaN is clamped to 1.0
        ([(0, 10.0), (1, INF), (2, 12.0)], 0.0, 1.0),
    ],
)
def test_trend(history, window_start, expected):
    result = bv.calculate_performance_trend(history, window_start)
    assert type(result) is float
    assert result == pytest.approx(expected, abs=1e-12)


def test_trend_origin_is_the_first_kept_pair_in_list_order():
    history = [(5.0, 20.0), (-3.0, 1.0), (7.0, 22.0), (6.0, 21.0), (8.0, 23.0)]
    assert bv.calculate_performance_trend(history, 0.0) == ref.calculate_performance_trend(history, 0.0)


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)


@given(st.lists(st.tuples(finite, finite), max_size=20), finite)
def test_trend_matches_reference(history, window_start):
    assert bv.calculate_performance_trend(history, window_start) == ref.calculate_performance_trend(history, window_start)


# --------------------------------------------------------------------------------------------------
# detect_workload_characteristics_change
# --------------------------------------------------------------------------------------------------


def scores(p, c=0.5, m=0.5):
    return {"parallelization_potential": p, "cpu_intensity": c, "memory_intensity": m}


def test_change_detected_on_parallel_shift():
    history = [scores(0.1)] * 3 + [scores(0.5)] * 3
    changed, dp, dc, dm = result = bv.detect_workload_characteristics_change(history)
    assert type(result) is tuple
    assert changed is True
    assert dp == pytest.approx(0.4)
    assert (dc, dm) == (0.0, 0.0)
    assert [type(x) for x in result[1:]] == [float, float, float]


def test_no_change_tuple_is_one_constant():
    unchanged = bv.detect_workload_characteristics_change([scores(0.1)] * 5)
    assert unchanged == (False, 0.0, 0.0, 0.0)
    missing = [scores(0.0)] * 3 + [scores(1.0)] * 2 + [{"cpu_intensity": 1.0}]
    assert bv.detect_workload_characteristics_change(missing) is unchanged
    assert bv.detect_workload_characteristics_change([]) is unchanged
    # A computed result below the threshold is a fresh tuple.
    fresh = bv.detect_workload_characteristics_change([scores(0.1)] * 6)
    assert fresh == (False, 0.0, 0.0, 0.0) and fresh is not unchanged


@pytest.mark.parametrize(
    "history, threshold, expected",
    [
        ([scores(0.1)] * 3 + [scores(0.5)] * 3, 0.4 + 1e-9, False),
        ([scores(0.5, 0.0)] * 3 + [scores(0.5, 0.31)] * 3, 0.3, True),
        ([scores(0.5, 0.5, 1.0)] * 3 + [scores(0.5, 0.5, 0.0)] * 3, 0.3, True),
        ([scores(0.0)] * 3 + [scores(1.0)] * 3, NAN, False),
        # Entries before the last six are never read, even malformed ones.
        (["junk", None, 5] + [scores(0.1)] * 3 + [scores(0.5)] * 3, 0.3, True),
        # Numbers of any kind add to the float accumulators.
        ([scores(0, True, 1)] * 3 + [scores(1, False, 1)] * 3, 0.3, True),
    ],
)
def test_change_rule(history, threshold, expected):
    assert bv.detect_workload_characteristics_change(history, threshold)[0] is expected


def test_change_values_go_through_number_addition():
    from fractions import Fraction

    class Num:
        def __radd__(self, other):
            return other + 0.9

    history = [scores(Fraction(1, 2))] * 3 + [scores(Num())] * 3
    assert bv.detect_workload_characteristics_change(history)[1] == pytest.approx(0.4)
    with pytest.raises(TypeError):
        bv.detect_workload_characteristics_change([scores("x")] * 6)


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ([("parallelization_potential", 1)], TypeError, "Expected dict, got list"),
        (5, TypeError, "Expected dict, got int"),
    ],
)
def test_change_entry_types(bad, exc, message):
    history = [scores(0.1)] * 5 + [bad]
    with pytest.raises(exc) as info:
        bv.detect_workload_characteristics_change(history)
    assert str(info.value) == message


def test_change_dict_subclass_is_rejected():
    class D(dict):
        pass

    with pytest.raises(TypeError) as info:
        bv.detect_workload_characteristics_change([D(scores(0.1))] * 6)
    assert str(info.value) == "Expected dict, got D"


def test_change_missing_key_returns_before_later_bad_entries():
    history = [scores(0.1)] * 2 + [{}] + [5] * 3
    assert bv.detect_workload_characteristics_change(history) == (False, 0.0, 0.0, 0.0)


def test_change_none_history():
    with pytest.raises(TypeError) as info:
        bv.detect_workload_characteristics_change(None)
    assert str(info.value) == "object of type 'NoneType' has no len()"


def test_change_history_shortened_by_a_key_comparison():
    # The key test on the first of the six entries runs a stored key's __eq__ (same hash as "cpu_intensity"),
    # which empties the history; the later entries are then out of range, as `history[i]` would find them.
    history = []

    class ClearsHistory:
        def __hash__(self):
            return hash("cpu_intensity")

        def __eq__(self, other):
            history.clear()
            return False

    history.extend([{ClearsHistory(): 1, **scores(0.1)}] + [scores(0.1) for _ in range(5)])
    with pytest.raises(IndexError) as info:
        bv.detect_workload_characteristics_change(history)
    assert str(info.value) == "list index out of range"


# --------------------------------------------------------------------------------------------------
# detect_dominant_pattern
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "patterns, window, expected",
    [
        (["a", "b", "a", "b", "c"], 5, "a"),
        (["x", "a", "b", "b", "a", "c"], 5, "a"),
        ([], 5, "mixed"),
        (["a", "a"], 0, "mixed"),
        (["a", "a"], -3, "mixed"),
        (["a", "b", "b"], 100, "b"),
        (["a", "b", "b"], 2**31 - 1, "b"),
        (["a", "b", "b"], -(2**31), "mixed"),
        (["b", "a", "a", "b"], 3, "a"),
        ([None, None, "a"], 5, None),
        (["é", "e", "é"], 5, "é"),
    ],
)
def test_dominant(patterns, window, expected):
    assert bv.detect_dominant_pattern(patterns, window) == expected


def test_dominant_returns_first_occurrence_object():
    first = "".join(["ab", "c"])
    second = "".join(["a", "bc"])
    assert first is not second
    result = bv.detect_dominant_pattern(["zz", first, second])
    assert result is first


def test_dominant_many_distinct_names():
    names = [f"p{i}" for i in range(5000)] + ["p4999"]
    assert bv.detect_dominant_pattern(names, 10**6) == "p4999"
    assert bv.detect_dominant_pattern(names[:-1], 10**6) == "p0"


@pytest.mark.parametrize(
    "patterns, message",
    [
        ([1, "a"], "Expected str, got int"),
        (["a", b"a"], "Expected str, got bytes"),
    ],
)
def test_dominant_entry_types(patterns, message):
    with pytest.raises(TypeError) as info:
        bv.detect_dominant_pattern(patterns)
    assert str(info.value) == message


def test_dominant_only_window_entries_are_checked():
    assert bv.detect_dominant_pattern([1, 2, "a"], 1) == "a"


def test_dominant_none_patterns():
    with pytest.raises(TypeError) as info:
        bv.detect_dominant_pattern(None)
    assert str(info.value) == "object of type 'NoneType' has no len()"


@given(st.lists(st.sampled_from(["a", "b", "c", "d", None]), max_size=30), st.integers(-3, 40))
def test_dominant_matches_reference(patterns, window):
    assert bv.detect_dominant_pattern(patterns, window) == ref.detect_dominant_pattern(patterns, window)


# --------------------------------------------------------------------------------------------------
# is_adaptation_beneficial and the small gates
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (("a", "b", 0.55, 0.7, 0.0, 0), True),
        (("a", "b", 0.5, 0.7, 0.0, 0), False),
        (("a", "b", 0.55, 0.7, 0.5, 1), False),
        (("a", "b", 0.56, 0.7, 0.5, 1), True),
        (("a", "b", 0.65, 0.7, 0.0, 2), True),
        (("a", "b", 0.6, 0.7, 0.0, 2), False),
        (("a", "b", 0.99, 0.59, 0.0, 0), False),
        (("a", "b", 0.99, 0.6, 0.0, 0), True),  # confidence equal to the minimum passes
        (("a", "a", 0.99, 0.99, 0.0, 0), False),
        (("pool", "".join(["po", "ol"]), 0.99, 0.99, 0.0, 0), False),
        ((None, None, 0.99, 0.99, 0.0, 0), False),
        ((None, "a", 0.99, 0.99, 0.0, 0), True),
        (("a", None, 0.99, 0.99, 0.0, 0), True),
        (("a", "b", 0.99, NAN, 0.0, 0), True),  # NaN confidence is not below the minimum
        (("a", "b", NAN, 0.99, 0.0, 0), False),
        (("a", "b", 2.0, 0.99, 2.0, -1, 1.0), False),
        (("a", "b", 2.01, 0.99, 2.0, -1, 1.0), True),
        (("a", "b", 0.7, 0.5, 0.0, 0, 1.1, 0.5), True),
        (("a", "b", 0.7, 0.5, 0.0, 0.9, 1.1, 0.5), True),  # trigger 0.9 truncates to 0
    ],
)
def test_is_adaptation_beneficial(args, expected):
    assert bv.is_adaptation_beneficial(*args) is expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((100.0, 105.0, 10.0), True),
        ((100.0, 110.0, 10.0), False),
        ((100.0, 90.0, -5.0), True),  # the clock went backwards
        ((100.0, 90.0, -10.0), False),
        ((100.0, 110.0, NAN), False),
    ],
)
def test_should_skip_adaptation(args, expected):
    assert bv.should_skip_adaptation(*args) is expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((85.0, 100.0), True),
        ((80.0, 100.0), False),
        ((80.0, 0.0), False),
        ((80.0, -1.0, -5.0), False),
        ((-1.0, 100.0, -5.0), False),
        ((0.0, 100.0, -0.1), True),
        ((90.0, 100.0, NAN), False),
    ],
)
def test_detect_memory_pressure(args, expected):
    assert bv.detect_memory_pressure(*args) is expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.3,), False),
        ((0.31,), True),
        ((-0.1, -1.0), False),
        ((0.0, -1.0), True),
        ((NAN,), False),
    ],
)
def test_detect_fragmentation_threshold(args, expected):
    assert bv.detect_fragmentation_threshold(*args) is expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 0.5, 0.5, True), 0.575),
        ((2.0, 2.0, 2.0, True), 1.0),
        ((-1.0, 0.2, 0.0, False), 0.06),
        ((NAN, 0.0, 0.0, False), 0.4),  # NaN clamps to 1.0
        ((0.0, 0.0, 0.0, []), 0.0),
        ((0.0, 0.0, 0.0, [0]), 0.15),
        ((-INF, INF, 0.0, None), 0.3),
    ],
)
def test_calculate_adaptation_urgency(args, expected):
    result = bv.calculate_adaptation_urgency(*args)
    assert type(result) is float
    assert result == pytest.approx(expected)
    assert result == ref.calculate_adaptation_urgency(*args)


def test_urgency_truth_test_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError):
        bv.calculate_adaptation_urgency(0.0, 0.0, 0.0, Bad())


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.8, 0.5, 0.5, 0.9), 0.665),
        ((-1.0, 2.0, 0.0, 0.0), 0.3),
        ((1.0, 1.0, 1.0, 1.0), 1.0),
        ((NAN, NAN, NAN, NAN), 1.0),
    ],
)
def test_score_pool_recommendation(args, expected):
    result = bv.score_pool_recommendation(*args)
    assert type(result) is float
    assert result == pytest.approx(expected)
    assert result == ref.score_pool_recommendation(*args)


any_float = st.floats(allow_nan=True, allow_infinity=True)


@given(any_float, any_float, any_float, st.booleans())
def test_urgency_matches_reference_and_stays_in_range(d, p, f, changed):
    result = bv.calculate_adaptation_urgency(d, p, f, changed)
    assert 0.0 <= result <= 1.0
    assert result == ref.calculate_adaptation_urgency(d, p, f, changed)


@given(any_float, any_float, any_float, any_float)
def test_pool_score_matches_reference_and_stays_in_range(w, m, t, h):
    result = bv.score_pool_recommendation(w, m, t, h)
    assert 0.0 <= result <= 1.0
    assert result == ref.score_pool_recommendation(w, m, t, h)


# --------------------------------------------------------------------------------------------------
# predict_resource_requirements
# --------------------------------------------------------------------------------------------------


def test_prediction_examples():
    history = [(i * 0.5, 1024) for i in range(10)]
    result = bv.predict_resource_requirements(history, 10.0)
    assert result == (22, 22528, min(10 / 100.0, 1.0) * 0.8)
    assert [type(x) for x in result] == [int, int, float]
    history = [(float(i), 4096.0) for i in range(200)]
    assert bv.predict_resource_requirements(history, 60.0) == (60, 245760, 0.8)


def test_empty_prediction_is_one_constant():
    empty = bv.predict_resource_requirements([(0.0, 1.0)] * 9, 10.0)
    assert empty == (0, 0, 0.0)
    assert bv.predict_resource_requirements([(float(i), 1.0) for i in range(9)], 10.0) is empty
    # Last timestamp not later than the first.
    assert bv.predict_resource_requirements([(5.0, 1.0)] + [(0.0, 1.0)] * 9, 10.0) is empty
    assert bv.predict_resource_requirements([(0.0, 1.0)] * 10, 10.0) is empty


def test_prediction_none_history():
    with pytest.raises(TypeError) as info:
        bv.predict_resource_requirements(None, 1.0)
    assert str(info.value) == "object of type 'NoneType' has no len()"


def test_prediction_reads_item_zero_of_first_and_last():
    # Entries in between are unsorted; only list order of the ends counts.
    history = [(0.0, 10.0)] + [(100.0, 10.0)] * 8 + [(1.0, 10.0)]
    assert bv.predict_resource_requirements(history, 1.0) == (10, 100, 0.08000000000000002)
    with pytest.raises(IndexError) as info:
        bv.predict_resource_requirements([()] + [(0.0, 1.0)] * 9, 1.0)
    assert str(info.value) == "tuple index out of range"
    with pytest.raises(TypeError):
        bv.predict_resource_requirements([("a", 1.0)] + [(1.0, 1.0)] * 9, 1.0)


def test_prediction_span_guard_comes_before_the_walk():
    history = [(0.0, 1.0)] + [(1, 2, 3)] * 8 + [(0.0, 1.0)]
    assert bv.predict_resource_requirements(history, 1.0) == (0, 0, 0.0)


@pytest.mark.parametrize(
    "history, horizon, expected",
    [
        # Figures beyond the 32-bit range are returned exactly (truncated toward zero).
        ([(float(i), 1e6) for i in range(10)], 1e10, (11111111111, 11111111111000000, 0.08000000000000002)),
        ([(float(i), 1.0) for i in range(10)], -1e10, (-11111111111, -11111111111, 0.08000000000000002)),
        # ... and saturate at the signed 64-bit range.
        ([(float(i), 1.0) for i in range(10)], 1e300, (2**63 - 1, 2**63 - 1, 0.08000000000000002)),
        ([(float(i), 1.0) for i in range(10)], -INF, (-(2**63), -(2**63), 0.08000000000000002)),
        ([(float(i), -1e300) for i in range(10)], 1e3, (1111, -(2**63), 0.08000000000000002)),
        # A figure that is not a number has no count: it becomes 0.
        ([(float(i), 1.0) for i in range(10)], NAN, (0, 0, 0.08000000000000002)),
        ([(float(i), NAN) for i in range(10)], 9.0, (10, 0, 0.08000000000000002)),
        ([(0.0, 1.0)] + [(1.0, 1.0)] * 8 + [(NAN, 1.0)], 9.0, (0, 0, 0.08000000000000002)),
        # Results inside the 32-bit range are the plain truncated values.
        ([(float(i), 3.0) for i in range(10)], 2.5, (2, 6, 0.08000000000000002)),
        ([(float(i), 3.0) for i in range(10)], -2.5, (-2, -6, 0.08000000000000002)),
    ],
)
def test_prediction_range_choices(history, horizon, expected):
    result = bv.predict_resource_requirements(history, horizon)
    assert result == expected
    assert [type(x) for x in result] == [int, int, float]


def test_prediction_confidence_ceiling():
    history = [(float(i), 1.0) for i in range(1000)]
    assert bv.predict_resource_requirements(history, 1.0)[2] == 0.8


# --------------------------------------------------------------------------------------------------
# Threads
# --------------------------------------------------------------------------------------------------


def test_concurrent_calls_agree():
    history = [(float(i), float(i % 7) + 1.0) for i in range(50)]
    patterns = ["a", "b", "b", "c", "a", "b"] * 3
    expected = (
        bv.calculate_performance_trend(history, 10.0),
        bv.detect_dominant_pattern(patterns, 7),
        bv.predict_resource_requirements(history, 30.0),
    )
    failures = []

    def worker():
        for _ in range(2000):
            got = (
                bv.calculate_performance_trend(history, 10.0),
                bv.detect_dominant_pattern(patterns, 7),
                bv.predict_resource_requirements(history, 30.0),
            )
            if got != expected:
                failures.append(got)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_results_do_not_leak_references():
    name = "".join(["lea", "k"])
    patterns = [name] * 5
    d = scores(0.5)
    before = sys.getrefcount(name), sys.getrefcount(d)
    for _ in range(1000):
        bv.detect_dominant_pattern(patterns)
        bv.detect_workload_characteristics_change([d] * 6)
    assert (sys.getrefcount(name), sys.getrefcount(d)) == before
    assert math.isfinite(bv.calculate_performance_trend([(0, 1), (1, 2), (2, 3)], 0))
