"""Adaptation decisions: performance degradation and trend, workload change, the dominant pattern, adaptation
benefit, cooldown, memory pressure, fragmentation, urgency, pool scoring and resource prediction.

Histories are exact lists (or None). Performance and allocation histories hold (timestamp, value) pairs unpacked like
`a, b = entry` (a wrong item count raises the interpreter's ValueError) with both items converted to float. Pattern
histories hold exact dicts with the keys "parallelization_potential", "cpu_intensity" and "memory_intensity".
"""

import logging as logging
from typing import Any, Dict, Iterable, List, Optional, Tuple

logger: logging.Logger

_Pair = Iterable[Any]

def detect_performance_degradation(
    performance_history: Optional[List[_Pair]],
    baseline_performance: float,
    threshold: float,
    window_start_time: float,
) -> bool:
    """True when the mean metric of the pairs at or after window_start_time (at least five of them) lies more than
    threshold (a fraction) below baseline_performance. False for None, fewer than five entries or a baseline not
    above 0. Every entry is unpacked, also those outside the window."""

def calculate_performance_trend(performance_history: Optional[List[_Pair]], window_start_time: float) -> float:
    """Least-squares slope of metric over time for the pairs at or after window_start_time (x measured from the
    first kept timestamp in list order), divided by the mean metric and clamped to [-1.0, 1.0] (NaN gives 1.0).
    0.0 with fewer than three kept pairs, a flat time axis or a mean metric of 0."""

def detect_workload_characteristics_change(
    pattern_history: List[Optional[Dict[str, Any]]], change_threshold: float = 0.3
) -> Tuple[bool, float, float, float]:
    """(changed, parallel_change, cpu_change, memory_change): absolute differences between the mean scores of the
    last three analyses and the three before. With fewer than six analyses, or a key missing from one of the last
    six, the constant (False, 0.0, 0.0, 0.0) is returned (always the same object). None raises TypeError; an entry
    that is not exactly a dict raises TypeError "Expected dict, got <type>"."""

def detect_dominant_pattern(patterns: List[Optional[str]], window_size: int = 5) -> Optional[str]:
    """The most frequent name among the last window_size names (ties go to the name seen first in the window), or
    'mixed' for an empty window. window_size must fit a signed 32-bit integer; names must be exactly str or None."""

def is_adaptation_beneficial(
    current_pool: Optional[str],
    recommended_pool: Optional[str],
    recommendation_score: float,
    recommendation_confidence: float,
    current_performance_estimate: float,
    trigger_code: int,
    min_improvement_ratio: float = 1.1,
    min_confidence: float = 0.6,
) -> bool:
    """False for equal pools or a confidence below min_confidence; then, for trigger_code 0, score > 0.5; with a
    positive current estimate, score > min_improvement_ratio * estimate; otherwise score > 0.6."""

def should_skip_adaptation(last_adaptation_time: float, current_time: float, min_interval: float) -> bool:
    """True while less than min_interval has passed since the last adaptation."""

def detect_memory_pressure(current_usage: float, peak_usage: float, pressure_threshold: float = 0.8) -> bool:
    """current_usage / peak_usage > pressure_threshold; False for a peak not above 0 or a negative usage."""

def detect_fragmentation_threshold(fragmentation_ratio: float, threshold: float = 0.3) -> bool:
    """fragmentation_ratio > threshold; False for a negative ratio."""

def calculate_adaptation_urgency(
    performance_degradation: float, memory_pressure: float, fragmentation_ratio: float, workload_changed: object
) -> float:
    """0.4 * degradation + 0.3 * pressure + 0.15 * fragmentation (each clamped to [0, 1], NaN as 1), plus 0.15 when
    workload_changed is true; in [0.0, 1.0]."""

def score_pool_recommendation(
    workload_fit: float, memory_fit: float, thread_count_fit: float, historical_success_rate: float
) -> float:
    """0.35 * workload + 0.3 * memory + 0.2 * thread count + 0.15 * history (each clamped to [0, 1], NaN as 1); in
    [0.0, 1.0]."""

def predict_resource_requirements(
    allocation_history: List[_Pair], prediction_horizon_seconds: float
) -> Tuple[int, int, float]:
    """(predicted_allocations, predicted_total_bytes, confidence) from (timestamp, size) entries: the allocation rate
    between the first and the last entry (list order) times the horizon, the mean size times that count (both
    truncated toward zero; beyond the signed 64-bit range they saturate, and a figure that is not a number gives 0),
    and min(n / 100, 1) * 0.8. Fewer than ten entries or a span not above 0 give the constant (0, 0, 0.0)."""
