"""Workload scoring: framework and indicator scores of a function's source and name, and the workload pattern,
parallelisation potential and GPU fit derived from them."""

import logging as logging
import re as re
from typing import Optional, SupportsFloat, SupportsInt, Tuple

logger: logging.Logger

# Text scorers. A `str` argument must be exactly str (subclasses are rejected) or None; the lower-casing scorers
# raise TypeError for a None code.
def quick_framework_score(code: Optional[str], framework: Optional[str]) -> float: ...
def score_framework_patterns(code: str) -> Tuple[float, float, float]: ...
def score_indicators(code: str, function_name: Optional[str]) -> Tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: SupportsInt,
    memory_score: SupportsInt,
    parallel_score: SupportsInt,
    gpu_op_score: SupportsInt,
    large_data_score: SupportsInt,
) -> Tuple[float, float, float, float, float]: ...

# Decisions. Integer arguments are 32-bit signed; `gpu_available` is taken by its truth value.
def calculate_parallelization_potential(
    base_parallel_score: SupportsFloat,
    embarrassing_bonus: SupportsFloat,
    sequential_penalty: SupportsFloat,
    loop_chunking_potential: SupportsFloat,
) -> float: ...
def calculate_gpu_suitability(
    gpu_operation_score: SupportsFloat,
    gpu_data_size_score: SupportsFloat,
    cpu_intensity: SupportsFloat,
    gpu_available: object,
    compute_capability: Optional[str],
) -> float: ...
def estimate_gpu_speedup(
    gpu_operation_score: SupportsFloat, gpu_data_size_score: SupportsFloat, gpu_available: object
) -> float: ...
def determine_workload_pattern(
    cpu_intensity: SupportsFloat,
    memory_intensity: SupportsFloat,
    parallelization_potential: SupportsFloat,
    gpu_suitability: SupportsFloat,
    gpu_operation_score: SupportsFloat,
    numpy_score: SupportsFloat,
    pandas_score: SupportsFloat,
    sklearn_score: SupportsFloat,
    sequential_count: SupportsInt,
    embarrassing_count: SupportsInt,
    cpu_threshold: SupportsFloat,
    memory_threshold: SupportsFloat,
    gpu_threshold: SupportsFloat,
    numpy_threshold: SupportsFloat,
    pandas_threshold: SupportsFloat,
    sklearn_threshold: SupportsFloat,
    gpu_available: object,
) -> int:
    """Workload pattern codes: 0 MIXED, 1 CPU_INTENSIVE, 2 MEMORY_INTENSIVE, 3 PARALLEL_FRIENDLY, 4 SEQUENTIAL,
    5 GPU_SUITABLE, 6 GPU_COMPUTE_INTENSIVE, 7 GPU_MEMORY_BOUND, 8 NUMPY_VECTORIZED, 9 NUMPY_LINALG,
    10 PANDAS_DATAFRAME, 11 PANDAS_GROUPBY, 12 SKLEARN_TRAINING, 13 SKLEARN_INFERENCE (9, 11 and 13 are never
    returned)."""
def update_adaptive_threshold(
    current_threshold: SupportsFloat,
    success_rate: SupportsFloat,
    learning_rate: SupportsFloat,
    min_threshold: SupportsFloat,
    max_threshold: SupportsFloat,
) -> float: ...
