"""GPU memory planning: allocation sizes, the safe limit, the direct, chunked or CPU strategy, chunk shapes and
counts, memory pressure, headroom advice, GPU suitability and out-of-memory recognition.

Byte counts are unsigned 64-bit integers (a negative value raises OverflowError). The headroom ratio, the fraction of
available memory kept free, is clamped to [0.0, 0.99] (NaN counts as 0.99); the safe limit is
(1 - headroom) * available, truncated. Strategy codes: 0 GPU_DIRECT, 1 GPU_CHUNKED, 2 CPU_FALLBACK.
"""

import logging as logging
from typing import Any, List, Optional, Tuple

logger: logging.Logger

def estimate_allocation_bytes(
    shape: Optional[Tuple[Any, ...]], element_size: int, overhead_factor: float = 1.0
) -> int:
    """Product of the dimensions (each a signed 32-bit integer) times element_size, times overhead_factor only when
    it is above 1.0. Any dimension not above 0 gives 0; a size of 2**63 or more gives 9223372036854775807. A negative
    element_size raises ValueError; None raises TypeError."""

def calculate_safe_limit(available_bytes: int, headroom_ratio: float) -> int:
    """The bytes that may be used out of available_bytes."""

def decide_allocation_strategy(
    requested_bytes: int, available_bytes: int, headroom_ratio: float, is_chunkable: object
) -> Tuple[int, int, int, str]:
    """(2, 0, 1, "No GPU memory available") when the safe limit is 0; (0, 0, 1, "Allocation fits in GPU memory")
    when the request fits it; (2, 0, 1, "Operation not chunkable, falling back to CPU") when is_chunkable is false;
    otherwise (1, safe limit, passes, "Chunking into <passes> GPU passes"). The three constant results are always
    the same objects."""

def compute_chunk_shapes(
    shape: Optional[Tuple[Any, ...]], element_size: int, max_chunk_bytes: int
) -> List[Tuple[Any, ...]]:
    """Splits shape along its first axis (a signed 32-bit integer) into chunks of max_chunk_bytes // row bytes rows
    (at least one); the trailing dimensions (unsigned 64-bit) are carried over as the same objects. A zero trailing
    dimension gives one chunk with all rows; a row size beyond 64 bits gives one row per chunk. () gives [()];
    a first dimension not above 0 gives []. ValueError for element_size not above 0 or max_chunk_bytes 0."""

def calculate_optimal_chunks(
    total_bytes: int, available_bytes: int, headroom_ratio: float, min_chunks: int = 1, max_chunks: int = 1000
) -> int:
    """ceil(total_bytes / safe limit), raised to min_chunks (tested first) or lowered to max_chunks; max_chunks when
    the safe limit is 0."""

def is_oom_error(error_message: str, error_type: str) -> bool:
    """True when the lower-cased message says "out of memory", mentions memory together with cuda, gpu or
    insufficient, or "allocat" together with "failed", or when the lower-cased type contains "outofmemoryerror".
    None for either raises TypeError."""

def is_chunkable_operation(operation: Optional[str]) -> bool:
    """True for zeros, ones, empty, full, random.randn, random.rand, random.random, random.standard_normal,
    random.uniform, arange and linspace (exact, case-sensitive)."""

def score_gpu_suitability(
    data_size_bytes: int, operation_type: Optional[str], available_gpu_memory: int, headroom_ratio: float
) -> float:
    """Size score (safe / data when the data exceeds the safe limit, else data / (0.8 * safe) capped at 1; 0 with no
    safe memory) times 0.9 for a chunkable operation, 0.7 for matmul, dot, fft, ifft, fft2, ifft2, svd, eig,
    eigvals, solve, inv, sort or argsort, and 0.5 otherwise."""

def calculate_memory_pressure(used_bytes: int, total_bytes: int) -> float:
    """used_bytes / total_bytes clamped to [0.0, 1.0]; 1.0 when total_bytes is 0."""

def recommend_headroom(current_pressure: float, base_headroom: float = 0.5) -> float:
    """0.8 above pressure 0.8; (pressure - 0.5) * 0.5 + base above 0.6; base above 0.3; otherwise base - 0.1 (at
    least 0.3). The result is clamped to [0.3, 0.8] (NaN gives 0.8)."""
