"""korvane.gpu.fendral: every planning function against the pure-Python version a user would otherwise write
(below)."""
import math
import types

# --------------------------------------------------------------------------------------------------
# Pure-Python versions
# --------------------------------------------------------------------------------------------------

_I64_MAX = 2**63 - 1
_U64_MAX = 2**64 - 1
_CHUNKABLE = frozenset({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                        "random.standard_normal", "random.uniform", "arange", "linspace"})
_UNCHUNKABLE = frozenset({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv",
                          "sort", "argsort"})
_NO_GPU_MEMORY = (2, 0, 1, "No GPU memory available")
_FITS = (0, 0, 1, "Allocation fits in GPU memory")
_NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def calculate_safe_limit(available_bytes, headroom_ratio):
    h = 0.0 if headroom_ratio < 0.0 else headroom_ratio if headroom_ratio <= 0.99 else 0.99
    return min(int((1.0 - h) * available_bytes), _U64_MAX)


def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    count = 1
    for dim in shape:
        dim = int(dim)
        if dim <= 0:
            return 0
        if count > _I64_MAX // dim:
            return _I64_MAX
        count *= dim
    if element_size > 0 and count > _I64_MAX // element_size:
        return _I64_MAX
    size = count * element_size
    if overhead_factor > 1.0:
        size = min(int(size * overhead_factor), _I64_MAX)
    return size


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio, is_chunkable):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return _NO_GPU_MEMORY
    if requested_bytes <= safe:
        return _FITS
    if not is_chunkable:
        return _NOT_CHUNKABLE
    passes = math.ceil(requested_bytes / safe)
    return (1, safe, passes, f"Chunking into {passes} GPU passes")


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    row_bytes = element_size
    for dim in shape[1:]:
        row_bytes *= dim
    rows = shape[0]
    rest = shape[1:]
    if row_bytes == 0:
        per_chunk = max(rows, 1)
    else:
        per_chunk = 1 if row_bytes > max_chunk_bytes else max_chunk_bytes // row_bytes
    chunks = []
    remaining = rows
    while remaining > 0:
        n = min(remaining, per_chunk)
        chunks.append((n,) + rest)
        remaining -= n
    return chunks


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000):
    safe = calculate_safe_limit(available_bytes, headroom_ratio)
    if safe == 0:
        return max_chunks
    chunks = math.ceil(total_bytes / safe)
    if chunks < min_chunks:
        return min_chunks
    if chunks > max_chunks:
        return max_chunks
    return chunks


def is_oom_error(error_message, error_type):
    message = error_message.lower()
    kind = error_type.lower()
    return ("out of memory" in message
            or "outofmemoryerror" in kind
            or ("cuda" in message and "memory" in message)
            or ("allocat" in message and "failed" in message)
            or ("memory" in message and "insufficient" in message)
            or ("gpu" in message and "memory" in message))


def is_chunkable_operation(operation):
    return operation in _CHUNKABLE


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio):
    safe = calculate_safe_limit(available_gpu_memory, headroom_ratio)
    if safe == 0:
        size_score = 0.0
    elif data_size_bytes > safe:
        size_score = safe / data_size_bytes
    else:
        size_score = min(data_size_bytes / (safe * 0.8), 1.0)
    if operation_type in _CHUNKABLE:
        factor = 0.9
    elif operation_type in _UNCHUNKABLE:
        factor = 0.7
    else:
        factor = 0.5
    return factor * size_score


def calculate_memory_pressure(used_bytes, total_bytes):
    if total_bytes == 0:
        return 1.0
    return min(used_bytes / total_bytes, 1.0)


def recommend_headroom(current_pressure, base_headroom=0.5):
    if current_pressure > 0.8:
        h = 0.8
    elif current_pressure > 0.6:
        h = (current_pressure - 0.5) * 0.5 + base_headroom
    elif current_pressure > 0.3:
        h = base_headroom
    else:
        h = base_headroom - 0.1
        if not h > 0.3:
            h = 0.3
    return 0.3 if h < 0.3 else 0.8 if h > 0.8 else h


# --------------------------------------------------------------------------------------------------
# Rows
# --------------------------------------------------------------------------------------------------

GIB = 1 << 30
MESSAGE = "expected scalar type Float but found Half in kernel 'reduce_sum_f32' (memory layout: strided)"


def rows():
    # Imported here so that the pure-Python versions can be loaded without the benchmark harness.
    from _timing import Candidate, Row

    from korvane.gpu import fendral

    # Both sides are reached through one attribute lookup, so the rows compare the functions alone.
    pure = types.SimpleNamespace(**{name: globals()[name] for name in dir(fendral) if callable(globals().get(name))})
    ns = {"k": fendral, "py": pure, "GIB": GIB, "msg": MESSAGE}

    def row(operation, call, note=""):
        return Row("fendral", operation, [
            Candidate("korvane", "k." + call, ns),
            Candidate("pure Python", "py." + call, ns),
        ], note)

    return [
        row("estimate_allocation_bytes((4096, 4096, 3), 4)", "estimate_allocation_bytes((4096, 4096, 3), 4, 1.25)"),
        row("calculate_safe_limit", "calculate_safe_limit(8 * GIB, 0.2)"),
        row("decide_allocation_strategy (fits)", "decide_allocation_strategy(GIB, 8 * GIB, 0.2, True)"),
        row("decide_allocation_strategy (chunked)", "decide_allocation_strategy(20 * GIB, 8 * GIB, 0.2, True)"),
        row("compute_chunk_shapes((10000, 512), 8, 1 MiB): 20 chunks",
            "compute_chunk_shapes((10000, 512), 8, 1 << 20)"),
        row("calculate_optimal_chunks", "calculate_optimal_chunks(20 * GIB, 8 * GIB, 0.2)"),
        row("is_chunkable_operation('random.standard_normal')",
            "is_chunkable_operation('random.standard_normal')"),
        row(f"is_oom_error({len(MESSAGE)}-char message, no match)", "is_oom_error(msg, 'RuntimeError')",
            "the message mentions memory but none of the rules' partners"),
        row("is_oom_error('CUDA out of memory...')",
            "is_oom_error('CUDA out of memory. Tried to allocate 2.00 GiB', 'RuntimeError')"),
        row("score_gpu_suitability", "score_gpu_suitability(GIB, 'matmul', 8 * GIB, 0.2)"),
        row("calculate_memory_pressure", "calculate_memory_pressure(3 * GIB, 8 * GIB)"),
        row("recommend_headroom", "recommend_headroom(0.7)"),
    ]
