"""korvane.plugins.analyzer.solvane: every scorer and decision function against the pure-Python version a user would
otherwise write (below), on a 2 KB function source for the text scorers.

The pure-Python versions are also the reference that tests/plugins/analyzer/test_solvane.py checks the native
functions against.
"""
import re
import types

FRAMEWORK_EXPRESSIONS = {
    "numpy": r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b",
    "pandas": r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b",
    "sklearn": r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
}
_PATTERNS = {name: re.compile(expr, re.IGNORECASE) for name, expr in FRAMEWORK_EXPRESSIONS.items()}

INDICATOR_WORDS = (
    ("for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod",
     "dot", "matmul", "fft", "linalg"),
    ("array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"),
    ("multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
     "processpoolexecutor", "threadpoolexecutor"),
    ("matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean", "std",
     "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply", "divide", "/", "*",
     "+", "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"),
    ("reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024",
     "megabyte", "mb"),
    ("workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"),
    ("global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"),
)
NAME_LISTS = (3, 5)

FRAMEWORK_WORDS = (
    ("numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul", "linalg",
     "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape", "transpose", "concatenate",
     "stack", "split"),
    ("pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat",
     "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"),
    ("sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv",
     "pipeline", "featureunion", "train_test_split", "classification", "regression", "clustering",
     "preprocessing", "model_selection", "metrics", "ensemble"),
)


def _clamp(x, lo, hi):
    if lo > x:
        return lo
    if x > hi:
        return hi
    return x


def quick_framework_score(code, framework):
    pattern = _PATTERNS.get(framework)
    if pattern is None:
        return 0.0
    return min(len(pattern.findall(code)) / 10.0, 1.0)


def score_framework_patterns(code):
    text = code.lower()
    return tuple(_clamp(sum(w in text for w in words) / float(len(words)), 0.0, 1.0) for words in FRAMEWORK_WORDS)


def score_indicators(code, function_name):
    text = code.lower()
    name = function_name.lower() if function_name else ""
    return tuple(
        sum(w in text or (i in NAME_LISTS and w in name) for w in words) for i, words in enumerate(INDICATOR_WORDS)
    )


def normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score):
    scores = (cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score)
    return tuple(_clamp(s / float(len(words)), 0.0, 1.0) for s, words in zip(scores, INDICATOR_WORDS))


def calculate_parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                        loop_chunking_potential):
    bonus = _clamp(embarrassing_bonus * 0.3, 0.0, 0.7)
    penalty = _clamp(sequential_penalty * 0.2, 0.0, 0.5)
    return _clamp(((base_parallel_score + bonus) - penalty) + loop_chunking_potential * 0.4, 0.0, 1.0)


def calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available,
                              compute_capability):
    if not gpu_available:
        return 0.0
    weighted = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4
    cpu_term = _clamp(cpu_intensity * 0.3, 0.0, 0.3)
    multiplier = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            if not -2**31 <= major < 2**31:
                raise OverflowError("value too large to convert to int32_t")
            multiplier = 1.2 if major >= 8 else 1.1 if major >= 7 else 1.0 if major >= 6 else 0.8
    return _clamp((cpu_term + weighted) * multiplier, 0.0, 1.0)


def estimate_gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available):
    if not gpu_available or gpu_operation_score == 0.0:
        return 1.0
    if gpu_operation_score > 0.8:
        base = 15.0
    elif gpu_operation_score > 0.6:
        base = 8.0
    elif gpu_operation_score > 0.3:
        base = 4.0
    else:
        base = 2.0
    return base * (1.0 + gpu_data_size_score * 0.5)


def determine_workload_pattern(cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
                               gpu_operation_score, numpy_score, pandas_score, sklearn_score, sequential_count,
                               embarrassing_count, cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold,
                               pandas_threshold, sklearn_threshold, gpu_available):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count > 2:
        return 4
    return 0


def update_adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold):
    if success_rate > 0.8:
        new = current_threshold + learning_rate
    elif success_rate < 0.4:
        new = current_threshold - learning_rate
    else:
        new = current_threshold
    return _clamp(new, min_threshold, max_threshold)


# ---------------------------------------------------------------------------------------------------------------
# Benchmark rows

# A typical analysed function: 2048 characters of numeric Python source.
SOURCE = '''def process_batch(records, weights, threshold=0.5):
    """Score a batch of records against the weight matrix and keep the good ones."""
    import numpy as np
    results = []
    total = 0.0
    for index, record in enumerate(records):
        vector = np.asarray(record.features, dtype=np.float64)
        if vector.shape[0] != weights.shape[1]:
            raise ValueError("feature count mismatch at %d" % index)
        score = float(np.dot(weights, vector).sum()) / len(vector)
        total += score
        if score > threshold:
            results.append((record.key, score))
    while len(results) > 100:
        results.pop()
    summary = {"count": len(results), "total": total, "mean": total / max(1, len(records))}
    for key, score in sorted(results, key=lambda item: item[1], reverse=True):
        summary.setdefault("top", []).append(key)
    cache = dict()
    for key, score in results:
        bucket = int(score * 10)
        cache.setdefault(bucket, []).append(key)
    normalised = [s / total for _, s in results] if total else []
    variance = sum((s - summary["mean"]) ** 2 for s in normalised) / max(1, len(normalised))
    summary["variance"] = variance
    summary["buckets"] = {k: len(v) for k, v in cache.items()}
    matrix = np.zeros((len(results), 4))
    for row, (key, score) in enumerate(results):
        matrix[row, 0] = score
        matrix[row, 1] = score ** 2
        matrix[row, 2] = np.sqrt(abs(score))
        matrix[row, 3] = np.exp(-score)
    summary["matrix_norm"] = float(np.linalg.norm(matrix))
    summary["elapsed"] = 0
    history = []
    for step in range(3):
        history.append(summary["total"] * step)
        if step and history[step] < history[step - 1]:
            break
    summary["history"] = history
    return summary
'''
SOURCE = (SOURCE * 2)[:2048]
# The same source with a two-byte character in a comment, so that str.lower() returns a two-byte string.
SOURCE_UCS2 = SOURCE[:-40] + "# \u20ac" + SOURCE[-37:]


def rows():
    # Imported here so that the tests can load the pure-Python versions without the benchmark harness.
    from _timing import Candidate, Row

    from korvane.plugins.analyzer import solvane

    # Both sides are reached through one attribute lookup, so the rows compare the functions alone.
    pure = types.SimpleNamespace(**{name: globals()[name] for name in dir(solvane) if callable(globals().get(name))})
    ns = {"k": solvane, "py": pure, "src": SOURCE, "src2": SOURCE_UCS2}

    def row(operation, call, note=""):
        return Row("solvane", operation, [
            Candidate("korvane", "k." + call, ns),
            Candidate("pure Python", "py." + call, ns),
        ], note)

    return [
        row("quick_framework_score(2 KB, 'numpy')", "quick_framework_score(src, 'numpy')",
            "both run the same compiled expression's findall"),
        row("score_framework_patterns(2 KB)", "score_framework_patterns(src)"),
        row("score_indicators(2 KB, name)", "score_indicators(src, 'process_batch_workload')"),
        row("score_indicators(2 KB two-byte text, name)", "score_indicators(src2, 'process_batch_workload')"),
        row("normalize_scores(5 counts)", "normalize_scores(7, 4, 2, 20, 3)"),
        row("calculate_parallelization_potential", "calculate_parallelization_potential(0.5, 1.0, 1.0, 0.5)"),
        row("calculate_gpu_suitability(..., '8.6')", "calculate_gpu_suitability(0.5, 0.5, 1.0, True, '8.6')"),
        row("estimate_gpu_speedup", "estimate_gpu_speedup(0.9, 1.0, True)"),
        row("determine_workload_pattern(17 args)",
            "determine_workload_pattern(0.7, 0.2, 0.3, 0.4, 0.5, 0.1, 0.1, 0.1, 1, 0, 0.5, 0.5, 0.5, 0.5, 0.5, "
            "0.5, True)"),
        row("update_adaptive_threshold", "update_adaptive_threshold(0.5, 0.9, 0.1, 0.1, 0.9)"),
    ]
