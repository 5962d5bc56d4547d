import ast
import importlib.util
import logging
import math
import pathlib
import re
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.plugins.analyzer import solvane as sv

MODULE = "korvane.plugins.analyzer.solvane"
FUNCTIONS = [
    "quick_framework_score",
    "calculate_gpu_suitability",
    "estimate_gpu_speedup",
    "calculate_parallelization_potential",
    "score_indicators",
    "normalize_scores",
    "score_framework_patterns",
    "determine_workload_pattern",
    "update_adaptive_threshold",
]
PATTERN_NAMES = [
    "MIXED",
    "CPU_INTENSIVE",
    "MEMORY_INTENSIVE",
    "PARALLEL_FRIENDLY",
    "SEQUENTIAL",
    "GPU_SUITABLE",
    "GPU_COMPUTE_INTENSIVE",
    "GPU_MEMORY_BOUND",
    "NUMPY_VECTORIZED",
    "NUMPY_LINALG",
    "PANDAS_DATAFRAME",
    "PANDAS_GROUPBY",
    "SKLEARN_TRAINING",
    "SKLEARN_INFERENCE",
]
SUBCLASS_NOTE = ". Note that subclasses of built-in types are rejected: pass an object of exactly that type."


def _load_reference():
    # The benchmark's pure-Python versions double as the reference the native functions must agree with.
    path = pathlib.Path(__file__).resolve().parents[3] / "bench" / "bench_solvane.py"
    spec = importlib.util.spec_from_file_location("bench_solvane", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ref = _load_reference()


def same_float(a, b):
    """Equal including the sign of zero, or both NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


# ---------------------------------------------------------------------------------------------------------------
# Module
# ---------------------------------------------------------------------------------------------------------------


def test_public_attributes_in_binding_order():
    public = [name for name in vars(sv) if not name.startswith("_")]
    assert public == ["re", *FUNCTIONS, "logging", "logger"]
    assert sv.re is re
    assert sv.logging is logging
    assert sv.logger is logging.getLogger(MODULE)
    assert sv.__test__ == {}
    assert not hasattr(sv, "_FRAMEWORK_PATTERNS")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(name):
    func = getattr(sv, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == MODULE
    assert func.__defaults__ is None
    assert func.__annotations__ == {}


def test_pattern_codes_documented():
    doc = sv.determine_workload_pattern.__doc__
    for code, name in enumerate(PATTERN_NAMES):
        assert f"{code}: {name}\n" in doc


def test_stub_matches_the_module():
    stub = ast.parse(pathlib.Path(sv.__file__).with_name("solvane.pyi").read_text())
    functions = [node for node in stub.body if isinstance(node, ast.FunctionDef)]
    assert sorted(f.name for f in functions) == sorted(FUNCTIONS)
    sample = {"str": "x", "Optional[str]": None, "SupportsFloat": 0.5, "SupportsInt": 1, "object": True}
    for f in functions:
        # Every stub parameter name is accepted as a keyword by the native function.
        kwargs = {a.arg: sample[ast.unparse(a.annotation)] for a in f.args.args}
        getattr(sv, f.name)(**kwargs)


def test_import_logs_once_and_reimport_returns_same_module():
    script = f"""
import logging, sys
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.name, record.levelname, record.getMessage()))
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.DEBUG)
import {MODULE} as first
del sys.modules["{MODULE}"]
import {MODULE} as second
print(first is second)
print([r for r in records if r[0].startswith("korvane")])
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "True",
        repr([(MODULE, "INFO", "Korvane Solvane Vexel module loaded - IP protected")]),
    ]


def test_patterns_are_compiled_at_import(monkeypatch):
    monkeypatch.setattr(sv, "re", None)
    assert sv.quick_framework_score("np.x", "numpy") == 0.1


# ---------------------------------------------------------------------------------------------------------------
# Argument binding and conversion
# ---------------------------------------------------------------------------------------------------------------


class MyStr(str):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("truth test failed")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sv.quick_framework_score("x"), TypeError,
         "quick_framework_score() takes exactly 2 positional arguments (1 given)"),
        (lambda: sv.score_framework_patterns(), TypeError,
         "score_framework_patterns() takes exactly 1 positional argument (0 given)"),
        (lambda: sv.score_indicators("a", "b", "c"), TypeError,
         "score_indicators() takes exactly 2 positional arguments (3 given)"),
        (lambda: sv.score_indicators(function_name="f"), TypeError,
         "score_indicators() takes exactly 2 positional arguments (0 given)"),
        (lambda: sv.normalize_scores(1, 2, 3, 4), TypeError,
         "normalize_scores() takes exactly 5 positional arguments (4 given)"),
        (lambda: sv.determine_workload_pattern(*[0.0] * 16), TypeError,
         "determine_workload_pattern() takes exactly 17 positional arguments (16 given)"),
        (lambda: sv.score_indicators("x", code="y"), TypeError,
         "score_indicators() got multiple values for keyword argument 'code'"),
        (lambda: sv.quick_framework_score(code="x", fw="numpy"), TypeError,
         "quick_framework_score() got an unexpected keyword argument 'fw'"),
        (lambda: sv.score_framework_patterns(b"np."), TypeError,
         "Argument 'code' has incorrect type (expected str, got bytes)"),
        (lambda: sv.score_indicators("x", 3), TypeError,
         "Argument 'function_name' has incorrect type (expected str, got int)"),
        (lambda: sv.quick_framework_score("x", MyStr("numpy")), TypeError,
         "Argument 'framework' has incorrect type (expected str, got MyStr)" + SUBCLASS_NOTE),
        (lambda: sv.calculate_gpu_suitability(0.5, 0.5, 0.5, True, 8.6), TypeError,
         "Argument 'compute_capability' has incorrect type (expected str, got float)"),
        (lambda: sv.normalize_scores("1", 0, 0, 0, 0), TypeError, "an integer is required"),
        (lambda: sv.normalize_scores(0, None, 0, 0, 0), TypeError, "an integer is required"),
        (lambda: sv.normalize_scores(0, 0, 2**31, 0, 0), OverflowError, None),
        (lambda: sv.normalize_scores(0, 0, 0, -(2**31) - 1, 0), OverflowError, None),
        (lambda: sv.update_adaptive_threshold(0.5, "0.9", 0.1, 0.1, 0.9), TypeError, None),
        (lambda: sv.estimate_gpu_speedup(0.5, 10**400, True), OverflowError, None),
        (lambda: sv.estimate_gpu_speedup(0.5, 0.5, BadBool()), ZeroDivisionError, "truth test failed"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_arguments_by_keyword():
    assert sv.score_indicators(function_name=None, code="for") == (1, 0, 0, 0, 0, 0, 0)
    assert sv.update_adaptive_threshold(
        max_threshold=0.9, min_threshold=0.1, learning_rate=0.1, success_rate=0.9, current_threshold=0.5
    ) == 0.5 + 0.1


def test_arguments_convert_left_to_right():
    # The first argument that fails decides the error, even when a later one is also bad.
    with pytest.raises(ZeroDivisionError):
        sv.calculate_gpu_suitability(0.5, 0.5, 0.5, BadBool(), 86)
    with pytest.raises(TypeError, match="Argument 'compute_capability'"):
        sv.calculate_gpu_suitability(0.5, 0.5, 0.5, False, 86)
    with pytest.raises(TypeError, match="an integer is required"):
        sv.determine_workload_pattern(*[0.0] * 8, "2", 0, *[0.0] * 6, BadBool())


def test_numeric_argument_conversions():
    class Half:
        def __float__(self):
            return 0.5

    assert sv.normalize_scores(2.9, -2.9, True, 0, 0) == (2 / 15.0, 0.0, 1 / 11.0, 0.0, 0.0)
    assert sv.estimate_gpu_speedup(Half(), 1, 1) == 4.0 * 1.5
    assert sv.update_adaptive_threshold(1, 1, 1, 0, 10) == 2.0


# ---------------------------------------------------------------------------------------------------------------
# Text scorers
# ---------------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "code, framework, expected",
    [
        ("np.array(x) @ np.linalg.inv(y)", "numpy", 0.4),
        ("np.array(x) @ np.linalg.inv(y)", "NUMPY", 0.0),
        ("np.array(x) @ np.linalg.inv(y)", "tensorflow", 0.0),
        ("np.array(x) @ np.linalg.inv(y)", None, 0.0),
        (None, "jax", 0.0),
        ("", "numpy", 0.0),
        ("import Pandas as pd; pd.DataFrame(d).GroupBy('k')", "pandas", 0.4),
        ("model.fit(X, y); model.predict(X); FITTED", "sklearn", 0.2),
        ("x = arrays + subarray", "numpy", 0.0),
        (" ".join(["numpy"] * 9), "numpy", 0.9),
        (" ".join(["numpy"] * 10), "numpy", 1.0),
        (" ".join(["numpy"] * 11), "numpy", 1.0),
        # "np." needs a word character after it to end on a word boundary.
        (" ".join(["np."] * 100), "numpy", 0.0),
        (" ".join(["np.dot"] * 100), "numpy", 1.0),
    ],
)
def test_quick_framework_score(code, framework, expected):
    result = sv.quick_framework_score(code, framework)
    assert type(result) is float
    assert result == expected
    assert result == ref.quick_framework_score(code, framework)


def test_quick_framework_score_none_code_fails_in_findall():
    with pytest.raises(TypeError, match="expected string or bytes-like object"):
        sv.quick_framework_score(None, "numpy")


@pytest.mark.parametrize(
    "code, name, expected",
    [
        ("", None, (0, 0, 0, 0, 0, 0, 0)),
        ("", "", (0, 0, 0, 0, 0, 0, 0)),
        ("def f(x):\n    return x", "matmul_worker", (0, 0, 0, 1, 0, 0, 0)),
        ("total = sum(a) + sum(b)", "", (1, 0, 0, 2, 0, 0, 0)),
        ("total = sum(a) + sum(b)", None, (1, 0, 0, 2, 0, 0, 0)),
        # Short words match inside longer ones: format -> for, bitmap -> map, lambda -> mb, rgb -> gb.
        ("format", "", (1, 0, 0, 0, 0, 0, 0)),
        ("bitmap", "", (0, 0, 0, 0, 0, 1, 0)),
        ("lambda", "", (0, 0, 0, 0, 1, 0, 0)),
        ("rgb", "", (0, 0, 0, 0, 1, 0, 0)),
        # The name counts for GPU operations and embarrassingly parallel work only; a word in both counts once.
        ("", "map_workload", (0, 0, 0, 0, 0, 2, 0)),
        ("sum", "SUM_LOCK_thread_pool", (1, 0, 0, 1, 0, 0, 0)),
        ("@", "@", (0, 0, 0, 1, 0, 0, 0)),
        ("WITH LOCK: GLOBAL X", None, (0, 0, 0, 0, 0, 0, 2)),
        ("a ** b", "", (0, 0, 0, 2, 0, 0, 0)),
        ("ProcessPoolExecutor", "", (0, 0, 2, 0, 0, 0, 0)),
    ],
)
def test_score_indicators(code, name, expected):
    result = sv.score_indicators(code, name)
    assert type(result) is tuple
    assert all(type(count) is int for count in result)
    assert result == expected
    assert result == ref.score_indicators(code, name)


def test_score_indicators_every_word_once():
    everything = " ".join(w for words in ref.INDICATOR_WORDS for w in words)
    assert sv.score_indicators(everything * 3, "") == (15, 10, 11, 36, 13, 8, 8)
    assert sv.normalize_scores(*sv.score_indicators(everything, None)[:5]) == (1.0,) * 5


@pytest.mark.parametrize(
    "code, expected",
    [
        ("", (0.0, 0.0, 0.0)),
        ("df.transform(x)", (0.0, 1 / 18.0, 1 / 18.0)),
        ("import numpy as np\nnp.dot(a, b).sum()", (4 / 25.0, 0.0, 0.0)),
        ("PD.GroupBy", (0.0, 2 / 18.0, 0.0)),
        (" ".join(w for words in ref.FRAMEWORK_WORDS for w in words), (1.0, 1.0, 1.0)),
    ],
)
def test_score_framework_patterns(code, expected):
    result = sv.score_framework_patterns(code)
    assert type(result) is tuple
    assert all(type(score) is float for score in result)
    assert result == expected
    assert result == ref.score_framework_patterns(code)


def test_text_scorers_need_a_str_code():
    for call in (lambda: sv.score_framework_patterns(None), lambda: sv.score_indicators(None, "f")):
        with pytest.raises(TypeError, match="lower"):
            call()


@pytest.mark.parametrize(
    "code, name",
    [
        # Kelvin sign: lower-cases to the ASCII k, so "LOC\u212a" holds "lock" only after lower-casing.
        ("LOC\u212a", None),
        ("with LOC\u212a:", "\u212aERNEL"),
        # Dotted capital I grows into two code points; the words after it must still be found.
        ("\u0130" * 5 + " SUM(ARRAY)", "\u0130\u0130MAP"),
        # Two- and four-byte texts.
        ("ARRAY \u20ac RESHAPE", "MATMUL \u20ac"),
        ("ARRAY \U0001f600 RESHAPE", "\U0001f600 MAP"),
        # Code points whose low byte is an ASCII letter must not stand in for it: \u0173 ends in 's', \u016d in 'm'.
        ("\u0173um \u016dap for\u0100", "\u0173qrt"),
        ("\U00010073um \U00010166ft", "\U0001006dap"),
        # A Latin-1 text (one byte per code point, not ASCII).
        ("\xc4RRAY array \xdf SUM", "\xe9map"),
    ],
)
def test_text_scorers_non_ascii(code, name):
    assert sv.score_indicators(code, name) == ref.score_indicators(code, name)
    assert sv.score_framework_patterns(code) == ref.score_framework_patterns(code)


def test_kelvin_sign_matches_after_lower_casing():
    assert sv.score_indicators("LOC\u212a", None) == (0, 0, 0, 0, 0, 0, 1)
    assert sv.score_indicators("sum\u0100", "\u212a") == (1, 0, 0, 1, 0, 0, 0)


_FRAGMENTS = sorted({w for words in ref.INDICATOR_WORDS + ref.FRAMEWORK_WORDS for w in words}) + [
    " ", "\n", "_", ".", "A", "Z", "\u0130", "\u212a", "\u0173", "\xc4", "\u20ac", "\U0001f600", "\U00010073",
]
_texts = st.lists(
    st.one_of(
        st.sampled_from(_FRAGMENTS),
        st.sampled_from(_FRAGMENTS).map(str.upper),
        st.text(max_size=3),
    ),
    max_size=30,
).map("".join)


@settings(max_examples=300, deadline=None)
@given(code=_texts, name=st.one_of(st.none(), _texts))
def test_text_scorers_match_reference(code, name):
    assert sv.score_indicators(code, name) == ref.score_indicators(code, name)
    assert sv.score_framework_patterns(code) == ref.score_framework_patterns(code)
    for framework in ("numpy", "pandas", "sklearn"):
        assert sv.quick_framework_score(code, framework) == ref.quick_framework_score(code, framework)


@pytest.mark.parametrize(
    "scores, expected",
    [
        ((15, 10, 11, 36, 13), (1.0, 1.0, 1.0, 1.0, 1.0)),
        ((-3, 0, 5, 72, 26), (0.0, 0.0, 5 / 11.0, 1.0, 1.0)),
        ((3, 5, 1, 9, 2), (3 / 15.0, 5 / 10.0, 1 / 11.0, 9 / 36.0, 2 / 13.0)),
        ((2**31 - 1, -(2**31), 0, 0, 0), (1.0, 0.0, 0.0, 0.0, 0.0)),
    ],
)
def test_normalize_scores(scores, expected):
    result = sv.normalize_scores(*scores)
    assert all(type(x) is float for x in result)
    assert result == expected


# ---------------------------------------------------------------------------------------------------------------
# Arithmetic decisions
# ---------------------------------------------------------------------------------------------------------------

NAN = float("nan")
INF = float("inf")


def check_float(name, args, expected):
    """The native result is a float near `expected` (NaN for NaN) and exactly what the pure-Python version gives."""
    result = getattr(sv, name)(*args)
    assert type(result) is float
    if math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == pytest.approx(expected)
    assert same_float(result, getattr(ref, name)(*args))



@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 1.0, 1.0, 0.5), 0.8),
        ((0.2, 5.0, 0.0, 0.0), 0.9),
        ((0.5, 0.0, 10.0, 0.0), 0.0),
        ((0.5, -4.0, -4.0, 0.0), 0.5),
        ((0.9, 1.0, 0.0, 1.0), 1.0),
        ((NAN, 0.0, 0.0, 0.0), NAN),
        ((0.5, NAN, 0.0, 0.0), NAN),
        ((0.5, 0.0, 0.0, -INF), 0.0),
    ],
)
def test_parallelization_potential(args, expected):
    check_float("calculate_parallelization_potential", args, expected)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 0.5, 1.0, True, "8.6"), 0.96),
        ((0.5, 0.5, 1.0, True, "7.5"), 0.88),
        ((0.5, 0.5, 1.0, True, "6.1"), 0.8),
        ((0.5, 0.5, 1.0, True, "5.2"), 0.64),
        ((0.5, 0.5, 1.0, True, "abc"), 0.8),
        ((0.5, 0.5, 1.0, True, ".5"), 0.8),
        ((0.5, 0.5, 1.0, True, ""), 0.8),
        ((0.5, 0.5, 1.0, True, None), 0.8),
        ((0.5, 0.5, 1.0, False, "8.6"), 0.0),
        ((0.5, 0.5, 1.0, 0, "99999999999.0"), 0.0),
        ((1.0, 1.0, 1.0, True, "9.0"), 1.0),
        # int() rules of the interpreter: blanks, signs, underscores and non-ASCII digits.
        ((0.5, 0.5, 1.0, True, " 8 .6"), 0.96),
        ((0.5, 0.5, 1.0, True, "+7"), 0.88),
        ((0.5, 0.5, 1.0, True, "1_0.0"), 0.96),
        ((0.5, 0.5, 1.0, True, "\uff18.0"), 0.96),
        ((0.5, 0.5, 1.0, True, "-9.0"), 0.64),
        ((0.5, 0.5, 1.0, True, "8..6"), 0.96),
        ((0.5, 0.5, 1.0, True, "2147483647.0"), 0.96),
        ((0.5, 0.5, 1.0, True, "-2147483648"), 0.64),
        ((0.5, 0.5, 1.0, True, "0x8.0"), 0.8),
        ((0.5, 0.5, -1.0, "yes", None), 0.5),
        ((0.5, 0.5, 5.0, [1], None), 0.8),
        ((NAN, 0.5, 1.0, True, "8.6"), NAN),
    ],
)
def test_gpu_suitability(args, expected):
    check_float("calculate_gpu_suitability", args, expected)


@pytest.mark.parametrize("capability", ["2147483648.0", "-2147483649", "9" * 40])
def test_gpu_suitability_major_out_of_range_propagates(capability):
    with pytest.raises(OverflowError):
        sv.calculate_gpu_suitability(0.5, 0.5, 1.0, True, capability)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.9, 1.0, True), 22.5),
        ((0.8, 0.0, True), 8.0),
        ((0.61, 0.0, True), 8.0),
        ((0.6, 1.0, True), 6.0),
        ((0.3, 0.0, True), 2.0),
        ((0.0, 1.0, True), 1.0),
        ((-0.0, 1.0, True), 1.0),
        ((-0.5, 0.0, True), 2.0),
        ((0.9, -4.0, True), -15.0),
        ((0.9, 1.0, False), 1.0),
        ((0.9, 1.0, None), 1.0),
        ((NAN, 0.0, True), 2.0),
        ((0.9, NAN, True), NAN),
    ],
)
def test_estimate_gpu_speedup(args, expected):
    check_float("estimate_gpu_speedup", args, expected)


# Everything below its limit: the pattern is MIXED until a test raises one score.
QUIET = dict(
    cpu_intensity=0.1, memory_intensity=0.1, parallelization_potential=0.1, gpu_suitability=0.1,
    gpu_operation_score=0.1, numpy_score=0.1, pandas_score=0.1, sklearn_score=0.1, sequential_count=0,
    embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5, gpu_threshold=0.5, numpy_threshold=0.5,
    pandas_threshold=0.5, sklearn_threshold=0.5, gpu_available=True,
)
GPU = dict(gpu_suitability=0.9)


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, 0),
        (dict(sklearn_score=0.6, pandas_score=0.9, numpy_score=0.9, cpu_intensity=0.9, embarrassing_count=3, **GPU),
         12),
        (dict(pandas_score=0.6, numpy_score=0.9, **GPU), 10),
        (dict(numpy_score=0.6, **GPU), 8),
        (dict(gpu_operation_score=0.8, cpu_intensity=0.7, memory_intensity=0.9, **GPU), 6),
        (dict(gpu_operation_score=0.7, cpu_intensity=0.7, memory_intensity=0.6, **GPU), 7),
        (dict(gpu_operation_score=0.8, cpu_intensity=0.6, memory_intensity=0.5, **GPU), 5),
        (dict(gpu_available=False, cpu_intensity=0.9, **GPU), 1),
        (dict(gpu_available=0, embarrassing_count=1, **GPU), 3),
        (dict(embarrassing_count=1, cpu_intensity=0.9, memory_intensity=0.9), 3),
        (dict(parallelization_potential=0.61, cpu_intensity=0.9), 3),
        (dict(parallelization_potential=0.6, cpu_intensity=0.9), 1),
        (dict(cpu_intensity=0.9, memory_intensity=0.9, sequential_count=5), 1),
        (dict(memory_intensity=0.9, sequential_count=5), 2),
        (dict(sequential_count=3), 4),
        (dict(sequential_count=2), 0),
        (dict(embarrassing_count=-1, sequential_count=3), 4),
        # A score equal to its limit does not satisfy the rule.
        (dict(sklearn_score=0.5, pandas_score=0.5, numpy_score=0.5, cpu_intensity=0.5, memory_intensity=0.5), 0),
        (dict(gpu_suitability=0.5), 0),
        # NaN fails every comparison.
        (dict(sklearn_score=NAN, gpu_suitability=NAN, cpu_intensity=NAN, sequential_count=3), 4),
        (dict(sklearn_threshold=NAN, sklearn_score=1.0), 0),
    ],
)
def test_determine_workload_pattern(changes, expected):
    kwargs = {**QUIET, **changes}
    result = sv.determine_workload_pattern(**kwargs)
    assert type(result) is int
    assert result == expected
    assert result == ref.determine_workload_pattern(**kwargs)
    assert sv.determine_workload_pattern(*kwargs.values()) == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 0.9, 0.1, 0.1, 0.55), 0.55),
        ((0.5, 0.8, 0.1, 0.1, 0.9), 0.5),
        ((0.5, 0.4, 0.1, 0.1, 0.9), 0.5),
        ((0.5, 0.3, 0.1, 0.45, 0.9), 0.45),
        ((0.5, 0.5, 0.1, 0.9, 0.2), 0.9),
        ((0.5, 0.9, 0.1, 0.0, 1.0), 0.5 + 0.1),
        ((0.5, 0.1, 0.1, 0.0, 1.0), 0.5 - 0.1),
        ((0.5, NAN, 0.1, 0.0, 1.0), 0.5),
        ((NAN, 0.9, 0.1, 0.0, 1.0), NAN),
        ((0.5, 0.5, 0.1, NAN, NAN), 0.5),
    ],
)
def test_update_adaptive_threshold(args, expected):
    check_float("update_adaptive_threshold", args, expected)


_doubles = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1.5, max_value=1.5),
    st.sampled_from([0.0, -0.0, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 1.0]),
)
_counts = st.integers(min_value=-(2**31), max_value=2**31 - 1)


@settings(max_examples=300, deadline=None)
@given(st.tuples(*[_doubles] * 8, _counts, _counts, *[_doubles] * 6, st.booleans()))
def test_workload_pattern_matches_reference(args):
    result = sv.determine_workload_pattern(*args)
    assert result == ref.determine_workload_pattern(*args)
    assert result not in (9, 11, 13)


_capabilities = st.one_of(st.none(), st.sampled_from(["8.6", "7.0", "6", "3.5", "x"]))


@settings(max_examples=300, deadline=None)
@given(st.tuples(*[_doubles] * 5), st.booleans(), _capabilities)
def test_arithmetic_matches_reference(d, available, capability):
    assert same_float(sv.calculate_parallelization_potential(*d[:4]), ref.calculate_parallelization_potential(*d[:4]))
    assert same_float(
        sv.calculate_gpu_suitability(d[0], d[1], d[2], available, capability),
        ref.calculate_gpu_suitability(d[0], d[1], d[2], available, capability),
    )
    assert same_float(sv.estimate_gpu_speedup(d[0], d[1], available), ref.estimate_gpu_speedup(d[0], d[1], available))
    assert same_float(sv.update_adaptive_threshold(*d), ref.update_adaptive_threshold(*d))


# ---------------------------------------------------------------------------------------------------------------
# References and threads
# ---------------------------------------------------------------------------------------------------------------


def test_reference_counts_unchanged():
    code = "".join(["np.array(x) + sum(y) \u20ac "] * 10)
    name = "matmul_workload_" + str(id(code))
    capability = "8." + str(id(code))
    before = [sys.getrefcount(obj) for obj in (code, name, capability)]
    for _ in range(100):
        sv.quick_framework_score(code, "numpy")
        sv.score_framework_patterns(code)
        sv.score_indicators(code, name)
        sv.calculate_gpu_suitability(0.5, 0.5, 0.5, True, capability)
        with pytest.raises(TypeError):
            sv.score_indicators(None, name)
        with pytest.raises(TypeError):
            sv.quick_framework_score(None, "numpy")
    assert [sys.getrefcount(obj) for obj in (code, name, capability)] == before
    assert sys.getrefcount(sv.score_indicators(code, name)) == sys.getrefcount(object())


def test_threads_share_the_scorers():
    texts = [
        ("import numpy as np\nfor i in range(10): total += np.dot(a, b)", "matmul_worker"),
        ("with lock:\n    df.groupby('k').apply(f) \u20ac", None),
        ("results = pool.map(work, chunks) \U0001f600", "benchmark_map"),
    ]
    expected = [
        (sv.score_indicators(c, n), sv.score_framework_patterns(c), sv.quick_framework_score(c, "numpy"))
        for c, n in texts
    ]
    failures = []

    def work(seed):
        for i in range(300):
            c, n = texts[(seed + i) % len(texts)]
            got = (sv.score_indicators(c, n), sv.score_framework_patterns(c), sv.quick_framework_score(c, "numpy"))
            if got != expected[(seed + i) % len(texts)]:
                failures.append(got)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
