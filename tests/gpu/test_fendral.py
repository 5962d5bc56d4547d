"""Tests for korvane.gpu.fendral: allocation sizes, safe limits, strategies, chunking, OOM recognition."""

import importlib.util
import pathlib
import subprocess
import sys
import threading

import pytest
from hypothesis import given, strategies as st

from korvane.gpu import fendral as fd

NAN = float("nan")
INF = float("inf")
I64_MAX = 2**63 - 1
U64_MAX = 2**64 - 1

CHUNKABLE = [
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace",
]
NOT_CHUNKABLE = [
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
]


def _load_reference():
    # The benchmark's pure-Python versions double as the reference the native functions must agree with.
    path = pathlib.Path(__file__).resolve().parents[2] / "bench" / "bench_fendral.py"
    spec = importlib.util.spec_from_file_location("bench_fendral", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ref = _load_reference()


# --------------------------------------------------------------------------------------------------
# Module surface
# --------------------------------------------------------------------------------------------------


def test_module_binds_functions_in_order_then_logging():
    names = [n for n in vars(fd) if not n.startswith("__")]
    assert names == [
        "estimate_allocation_bytes",
        "calculate_safe_limit",
        "decide_allocation_strategy",
        "compute_chunk_shapes",
        "calculate_optimal_chunks",
        "is_oom_error",
        "is_chunkable_operation",
        "score_gpu_suitability",
        "calculate_memory_pressure",
        "recommend_headroom",
        "logging",
        "logger",
    ]
    assert fd.logger.name == "korvane.gpu.fendral"
    assert fd.__test__ == {}


@pytest.mark.parametrize(
    "name, defaults",
    [
        ("estimate_allocation_bytes", (1.0,)),
        ("calculate_safe_limit", None),
        ("decide_allocation_strategy", None),
        ("compute_chunk_shapes", None),
        ("calculate_optimal_chunks", (1, 1000)),
        ("is_oom_error", None),
        ("is_chunkable_operation", None),
        ("score_gpu_suitability", None),
        ("calculate_memory_pressure", None),
        ("recommend_headroom", (0.5,)),
    ],
)
def test_function_identity_and_defaults(name, defaults):
    fn = getattr(fd, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "korvane.gpu.fendral"
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
        "from korvane.gpu import fendral as a\n"
        "del sys.modules['korvane.gpu.fendral']\n"
        "import korvane.gpu.fendral as b\n"
        "assert a is b\n"
        "print(records)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr(
        [("korvane.gpu.fendral", "INFO", "Korvane Fendral Vexel module loaded - IP protected")]
    )


# --------------------------------------------------------------------------------------------------
# Argument kinds
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: fd.calculate_safe_limit(-1, 0.2), OverflowError, "can't convert negative value to uint64_t"),
        (lambda: fd.calculate_safe_limit(2**64, 0.2), OverflowError, None),
        (lambda: fd.calculate_safe_limit("1000", 0.2), TypeError, "an integer is required"),
        (lambda: fd.calculate_memory_pressure(1, -1), OverflowError, "can't convert negative value to uint64_t"),
        (
            lambda: fd.estimate_allocation_bytes([10, 10], 8),
            TypeError,
            "Argument 'shape' has incorrect type (expected tuple, got list)",
        ),
        (
            lambda: fd.compute_chunk_shapes([10], 8, 100),
            TypeError,
            "Argument 'shape' has incorrect type (expected tuple, got list)",
        ),
        (lambda: fd.estimate_allocation_bytes((10,), 2**31), OverflowError, None),
        (
            lambda: fd.score_gpu_suitability(1, b"zeros", 1, 0.2),
            TypeError,
            "Argument 'operation_type' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: fd.is_chunkable_operation(1),
            TypeError,
            "Argument 'operation' has incorrect type (expected str, got int)",
        ),
        (
            lambda: fd.is_oom_error("x"),
            TypeError,
            "is_oom_error() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: fd.calculate_optimal_chunks(1, 2, 0.2, 1, 2, 3),
            TypeError,
            "calculate_optimal_chunks() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda: fd.recommend_headroom(base_headroom=0.5),
            TypeError,
            "recommend_headroom() takes at least 1 positional argument (0 given)",
        ),
        (
            lambda: fd.calculate_optimal_chunks(1, 2, 0.2, max_chunk=3),
            TypeError,
            "calculate_optimal_chunks() got an unexpected keyword argument 'max_chunk'",
        ),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_byte_counts_accept_the_full_unsigned_range_and_int_like_values():
    assert fd.calculate_memory_pressure(U64_MAX, U64_MAX) == 1.0
    assert fd.calculate_safe_limit(1000.9, 0.2) == 800
    assert fd.calculate_safe_limit(True, 0.0) == 1


# --------------------------------------------------------------------------------------------------
# estimate_allocation_bytes
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (((1000, 1000), 8), 8000000),
        (((1000, 1000), 8, 1.5), 12000000),
        (((1000, 1000), 8, 0.5), 8000000),
        (((1000, 1000), 8, NAN), 8000000),
        (((), 8), 8),
        (((), 8, 2.0), 16),
        (((10, 0, 10), 8), 0),
        (((10, -1), 8), 0),
        (((0, 2**31), 8), 0),  # returns before the dimension that does not fit is converted
        (((2**30, 2**30, 2**30), 8), I64_MAX),
        (((2**30, 2**30, 2**30, 0), 8), I64_MAX),  # saturation returns at once
        (((2**30, 2**30), 2**31 - 1), I64_MAX),
        (((2**30, 2**30), 8), I64_MAX),  # 2**63 bytes do not fit the signed count
        (((2**30, 2**30), 7), 7 * 2**60),
        (((10,), 0), 0),
        (((10,), 0, 5.0), 0),
        (((10.9, 2.5), 4), 80),  # dimensions are converted like 32-bit ints
        (((2**31 - 1,), 8), (2**31 - 1) * 8),
        (((1000,), 8, 3.0), 24000),
        # A product with the overhead factor at or above 2**63 saturates.
        (((2**30, 2**30), 7, 2.0), I64_MAX),
        (((10,), 8, INF), I64_MAX),
        (((10,), 8, 1e300), I64_MAX),
    ],
)
def test_estimate_allocation_bytes(args, expected):
    result = fd.estimate_allocation_bytes(*args)
    assert type(result) is int
    assert result == expected


def test_estimate_negative_element_size():
    with pytest.raises(ValueError) as info:
        fd.estimate_allocation_bytes((10,), -1)
    assert str(info.value) == "element_size must not be negative"
    with pytest.raises(ValueError):
        fd.estimate_allocation_bytes((0,), -8)


@pytest.mark.parametrize(
    "shape, exc, message",
    [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        ((10, 2**31), OverflowError, None),
        ((10, "3"), TypeError, "an integer is required"),
    ],
)
def test_estimate_shape_errors(shape, exc, message):
    with pytest.raises(exc) as info:
        fd.estimate_allocation_bytes(shape, 8)
    if message is not None:
        assert str(info.value) == message


@given(st.lists(st.integers(1, 2**31 - 1), max_size=5), st.integers(0, 2**31 - 1))
def test_estimate_matches_exact_arithmetic(dims, element_size):
    # The element count saturates first (even for an element size of 0), then the byte count.
    count = 1
    for d in dims:
        count *= d
    exact = count * element_size
    expected = I64_MAX if count > I64_MAX or exact > I64_MAX else exact
    assert fd.estimate_allocation_bytes(tuple(dims), element_size) == expected


# --------------------------------------------------------------------------------------------------
# Safe limit and strategy
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "available, headroom, expected",
    [
        (1000, 0.2, 800),
        (1000, -1.0, 1000),
        (1000, 1.5, 10),
        (1000, 0.99, 10),
        (1000, INF, 10),
        (1000, -INF, 1000),
        (1000, NAN, 10),  # an undefined headroom keeps the most cautious limit
        (0, 0.2, 0),
        (99, 0.99, 0),
        (U64_MAX, 0.0, U64_MAX),  # the double product rounds up to 2**64 and saturates
        (U64_MAX, 0.5, 2**63),
    ],
)
def test_calculate_safe_limit(available, headroom, expected):
    result = fd.calculate_safe_limit(available, headroom)
    assert type(result) is int
    assert result == expected


@given(st.integers(0, U64_MAX), st.floats(allow_nan=True, allow_infinity=True))
def test_safe_limit_matches_reference(available, headroom):
    assert fd.calculate_safe_limit(available, headroom) == ref.calculate_safe_limit(available, headroom)


def test_strategy_constants_are_shared():
    no_gpu = fd.decide_allocation_strategy(0, 0, 0.2, True)
    fits = fd.decide_allocation_strategy(100, 1000, 0.2, True)
    not_chunkable = fd.decide_allocation_strategy(900, 1000, 0.2, False)
    assert no_gpu == (2, 0, 1, "No GPU memory available")
    assert fits == (0, 0, 1, "Allocation fits in GPU memory")
    assert not_chunkable == (2, 0, 1, "Operation not chunkable, falling back to CPU")
    assert fd.decide_allocation_strategy(10**12, 0, 0.0, False) is no_gpu
    assert fd.decide_allocation_strategy(800, 1000, 0.2, False) is fits
    assert fd.decide_allocation_strategy(801, 1000, 0.2, []) is not_chunkable


@pytest.mark.parametrize(
    "args, expected",
    [
        ((900, 1000, 0.2, True), (1, 800, 2, "Chunking into 2 GPU passes")),
        ((2500, 1000, 0.2, True), (1, 800, 4, "Chunking into 4 GPU passes")),
        ((2400, 1000, 0.2, 1), (1, 800, 3, "Chunking into 3 GPU passes")),
        ((U64_MAX, 1, 0.0, True), (1, 1, U64_MAX, f"Chunking into {U64_MAX} GPU passes")),
        ((50, 99, 0.99, True), (2, 0, 1, "No GPU memory available")),
    ],
)
def test_decide_allocation_strategy(args, expected):
    result = fd.decide_allocation_strategy(*args)
    assert result == expected
    assert [type(x) for x in result] == [int, int, int, str]


def test_strategy_truth_test_errors_propagate():
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError):
        fd.decide_allocation_strategy(900, 1000, 0.2, Bad())


# --------------------------------------------------------------------------------------------------
# Pressure, headroom, suitability
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [((50, 100), 0.5), ((150, 100), 1.0), ((5, 0), 1.0), ((0, 0), 1.0), ((0, 100), 0.0), ((U64_MAX, 1), 1.0)],
)
def test_calculate_memory_pressure(args, expected):
    result = fd.calculate_memory_pressure(*args)
    assert type(result) is float
    assert result == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.9,), 0.8),
        ((0.7,), 0.6),
        ((0.5,), 0.5),
        ((0.2,), 0.4),
        ((0.2, 0.35), 0.3),
        ((0.7, 0.75), 0.8),
        ((0.0, 0.1), 0.3),
        ((0.5, 0.1), 0.3),
        ((0.5, 0.9), 0.8),
        ((NAN,), 0.4),  # NaN pressure takes the low-pressure branch
        ((0.5, NAN), 0.8),  # an undefined headroom becomes the most cautious one
        ((0.7, NAN), 0.8),
        ((0.1, NAN), 0.3),
        ((0.5, -INF), 0.3),
    ],
)
def test_recommend_headroom(args, expected):
    result = fd.recommend_headroom(*args)
    assert type(result) is float
    assert result == pytest.approx(expected)
    assert 0.3 <= result <= 0.8


@given(st.floats(allow_nan=True, allow_infinity=True), st.floats(allow_nan=True, allow_infinity=True))
def test_headroom_stays_in_range(pressure, base):
    assert 0.3 <= fd.recommend_headroom(pressure, base) <= 0.8


@pytest.mark.parametrize(
    "args, expected",
    [
        ((400, "zeros", 1000, 0.2), 0.9 * (400 / 640)),
        ((640, "matmul", 1000, 0.2), 0.7),
        ((800, "matmul", 1000, 0.2), 0.7),
        ((1600, "custom", 1000, 0.2), 0.25),
        ((1600, None, 1000, 0.2), 0.25),
        ((400, "zeros", 0, 0.2), 0.0),
        ((400, "Zeros", 1000, 0.2), 0.5 * (400 / 640)),
        ((0, "zeros", 1000, 0.2), 0.0),
        ((400, "numpy.zeros", 1000, 0.2), 0.5 * (400 / 640)),
    ],
)
def test_score_gpu_suitability(args, expected):
    result = fd.score_gpu_suitability(*args)
    assert type(result) is float
    assert result == pytest.approx(expected)


@pytest.mark.parametrize("name", CHUNKABLE)
def test_suitability_chunkable_factor(name):
    assert fd.score_gpu_suitability(640, name, 1000, 0.2) == pytest.approx(0.9)


@pytest.mark.parametrize("name", NOT_CHUNKABLE)
def test_suitability_unchunkable_factor(name):
    assert fd.score_gpu_suitability(640, name, 1000, 0.2) == pytest.approx(0.7)


# --------------------------------------------------------------------------------------------------
# compute_chunk_shapes
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (((10, 4), 8, 100), [(3, 4), (3, 4), (3, 4), (1, 4)]),
        (((5,), 4, 8), [(2,), (2,), (1,)]),
        (((0, 3), 8, 100), []),
        (((-5, 3), 8, 100), []),
        (((3, 100), 8, 10), [(1, 100)] * 3),
        (((10,), 1, 2**33), [(10,)]),
        (((2**31 - 1,), 1, U64_MAX), [(2**31 - 1,)]),
        (((4, 2, 3), 2, 24), [(2, 2, 3), (2, 2, 3)]),
        (((4, 2, 3), 2, 12), [(1, 2, 3)] * 4),
        # A zero trailing dimension: every row is empty, so one chunk holds all of them.
        (((7, 0), 8, 100), [(7, 0)]),
        (((7, 5, 0, 3), 8, 1), [(7, 5, 0, 3)]),
        (((7, 2**63, 4, 0), 8, 1), [(7, 2**63, 4, 0)]),
        # A row size beyond 64 bits counts as larger than any limit.
        (((3, 2**63, 4), 8, U64_MAX), [(1, 2**63, 4)] * 3),
        (((3, 2**32, 2**32), 1, U64_MAX), [(1, 2**32, 2**32)] * 3),
        (((3, U64_MAX), 1, U64_MAX), [(1, U64_MAX)] * 3),
    ],
)
def test_compute_chunk_shapes(args, expected):
    result = fd.compute_chunk_shapes(*args)
    assert type(result) is list
    assert result == expected
    assert all(type(chunk) is tuple for chunk in result)


def test_chunk_shapes_share_the_trailing_objects():
    shape = (10, 4.0, 2**70 // 2**10)
    chunks = fd.compute_chunk_shapes(shape, 1, 2**70 // 2**10 * 4 * 3)
    assert [c[0] for c in chunks] == [3, 3, 3, 1]
    assert all(c[1] is shape[1] and c[2] is shape[2] for c in chunks)
    empty = ()
    assert fd.compute_chunk_shapes(empty, 8, 100)[0] is empty


def test_chunk_shapes_release_what_they_take():
    shape = (10, 4.5, 2**70 // 2**10)
    before = sys.getrefcount(shape[1]), sys.getrefcount(shape[2])
    for _ in range(100):
        fd.compute_chunk_shapes(shape, 1, 100)
        with pytest.raises(OverflowError):
            fd.compute_chunk_shapes(shape + (-1,), 1, 100)
    assert (sys.getrefcount(shape[1]), sys.getrefcount(shape[2])) == before


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((None, 0, 100), ValueError, "element_size must be positive"),
        (((10,), -1, 100), ValueError, "element_size must be positive"),
        ((None, 8, 0), ValueError, "max_chunk_bytes must be positive"),
        ((None, 8, 100), TypeError, "object of type 'NoneType' has no len()"),
        (((10, -4), 8, 100), OverflowError, "can't convert negative value to uint64_t"),
        (((2**31, 4), 8, 100), OverflowError, None),
        (((10, 2**64), 8, 100), OverflowError, None),
        (((10, "4"), 8, 100), TypeError, "an integer is required"),
        (((10, 4), 8, -1), OverflowError, "can't convert negative value to uint64_t"),
    ],
)
def test_compute_chunk_shapes_errors(args, exc, message):
    with pytest.raises(exc) as info:
        fd.compute_chunk_shapes(*args)
    if message is not None:
        assert str(info.value) == message


@given(
    st.integers(-2, 200),
    st.lists(st.integers(1, 50), max_size=3),
    st.integers(1, 16),
    st.integers(1, 5000),
)
def test_chunk_shapes_cover_all_rows(rows, rest, element_size, limit):
    chunks = fd.compute_chunk_shapes((rows, *rest), element_size, limit)
    assert chunks == ref.compute_chunk_shapes((rows, *rest), element_size, limit)
    assert sum(c[0] for c in chunks) == max(rows, 0)
    row_bytes = element_size
    for d in rest:
        row_bytes *= d
    per_chunk = 1 if row_bytes > limit else limit // row_bytes
    assert all(c[0] == per_chunk for c in chunks[:-1])
    assert all(c[1:] == tuple(rest) for c in chunks)


# --------------------------------------------------------------------------------------------------
# calculate_optimal_chunks
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((2500, 1000, 0.2), 4),
        ((0, 1000, 0.2), 1),
        ((2500, 0, 0.2), 1000),
        ((10**9, 1000, 0.2), 1000),
        ((2500, 1000, 0.2, 5, 10), 5),
        ((2500, 1000, 0.2, 1, 3), 3),
        ((2500, 1000, 0.2, 20, 10), 20),  # below the minimum: the minimum
        ((10**6, 1000, 0.2, 20, 10), 10),  # otherwise the maximum
        ((0, 1000, 0.2, -5, 10), 0),
        ((U64_MAX, 1, 0.0, 1, 2**31 - 1), 2**31 - 1),
        ((2500, 0, 0.2, 1, -7), -7),
    ],
)
def test_calculate_optimal_chunks(args, expected):
    result = fd.calculate_optimal_chunks(*args)
    assert type(result) is int
    assert result == expected


# --------------------------------------------------------------------------------------------------
# is_chunkable_operation and is_oom_error
# --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [(n, True) for n in CHUNKABLE]
    + [(n, False) for n in NOT_CHUNKABLE]
    + [(None, False), ("Zeros", False), ("numpy.zeros", False), ("zeros ", False), ("", False), ("zéros", False)],
)
def test_is_chunkable_operation(name, expected):
    assert fd.is_chunkable_operation(name) is expected


def test_operation_sets_are_private():
    assert not any(isinstance(v, (set, frozenset)) for v in vars(fd).values())


@pytest.mark.parametrize(
    "message, kind, expected",
    [
        ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError", True),
        ("", "OutOfMemoryError", True),
        ("", "torch.cuda.OutOfMemoryError", True),
        ("Allocation failed", "RuntimeError", True),
        ("Insufficient memory", "RuntimeError", True),
        ("GPU memory exhausted", "RuntimeError", True),
        ("cuda: MEMORY error", "X", True),
        ("CUDA error: invalid device", "RuntimeError", False),
        ("memory leak detected", "RuntimeError", False),
        ("out of memory", "", True),
        ("out  of memory", "", False),
        ("", "MemoryError", False),
        ("", "", False),
        ("allocation ok; failed later", "", True),
        ("ALLOCAT", "FAILED", False),  # the type counts only through its own rule
        # Non-ASCII text is lowered the way str.lower() does it.
        ("GPU \u212aB MEMORY", "", True),
        ("\u0130nsufficient memory", "", False),  # İ lowers to i + combining dot
        ("Ünzureichend: CUDA memory", "", True),
        ("\u212a", "OUTOFMEMORYERROR\u00e9", True),
        ("\U0001f4a5 CUDA Memory", "", True),  # four-byte characters
        ("\U0001f4a5 out of mem", "\U0001f4a5", False),
        ("\u2603 GPU memory", "", True),  # two-byte characters
        ("x" * 300 + " OUT OF MEMORY", "", True),  # longer than the inline buffer
        ("x" * 300, "y" * 300, False),
    ],
)
def test_is_oom_error(message, kind, expected):
    assert fd.is_oom_error(message, kind) is expected
    assert ref.is_oom_error(message, kind) is expected


@pytest.mark.parametrize("args", [(None, "x"), ("x", None), (None, None)])
def test_is_oom_error_needs_strings(args):
    with pytest.raises(TypeError):
        fd.is_oom_error(*args)


words = st.sampled_from(
    ["out", "of", "memory", "cuda", "gpu", "allocat", "failed", "insufficient", "OUT", "Memory", " ", "x"]
)


@given(st.lists(words, max_size=8).map("".join), st.lists(words, max_size=4).map("".join))
def test_oom_matches_reference(message, kind):
    assert fd.is_oom_error(message, kind) is ref.is_oom_error(message, kind)


# --------------------------------------------------------------------------------------------------
# Threads
# --------------------------------------------------------------------------------------------------


def test_concurrent_calls_agree():
    expected = (
        fd.compute_chunk_shapes((1000, 16), 8, 1000),
        fd.decide_allocation_strategy(2500, 1000, 0.2, True),
        fd.is_oom_error("CUDA out of memory", "RuntimeError"),
    )
    failures = []

    def worker():
        for _ in range(1000):
            got = (
                fd.compute_chunk_shapes((1000, 16), 8, 1000),
                fd.decide_allocation_strategy(2500, 1000, 0.2, True),
                fd.is_oom_error("CUDA out of memory", "RuntimeError"),
            )
            if got != expected:
                failures.append(got)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
