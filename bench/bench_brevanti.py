"""korvane.plugins.analyzer.brevanti: every decision function against the pure-Python version a user would otherwise
write (below), on histories of the sizes the orchestrator keeps (tens of entries)."""
import types

# --------------------------------------------------------------------------------------------------
# Pure-Python versions
# --------------------------------------------------------------------------------------------------


def _clamp_input(v):
    if not v < 1.0:
        v = 1.0
    if not v > 0.0:
        v = 0.0
    return v


def _clamp_result(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def detect_performance_degradation(performance_history, baseline_performance, threshold, window_start_time):
    if not performance_history or baseline_performance <= 0.0 or len(performance_history) < 5:
        return False
    total = 0.0
    count = 0
    for entry in performance_history:
        timestamp, metric = entry
        timestamp, metric = float(timestamp), float(metric)
        if timestamp >= window_start_time:
            total += metric
            count += 1
    if count < 5:
        return False
    average = total / count
    return (baseline_performance - average) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    if performance_history is None or len(performance_history) < 3:
        return 0.0
    window = []
    for entry in performance_history:
        timestamp, metric = entry
        timestamp, metric = float(timestamp), float(metric)
        if timestamp >= window_start_time:
            window.append((timestamp, metric))
    n = len(window)
    if n < 3:
        return 0.0
    t0 = window[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for timestamp, metric in window:
        x = timestamp - t0
        sum_x += x
        sum_y += metric
        sum_xy += x * metric
        sum_xx += x * x
    mean_x = sum_x / n
    denominator = sum_xx - (mean_x * n) * mean_x
    if abs(denominator) < 1e-10:
        return 0.0
    mean_y = sum_y / n
    if abs(mean_y) < 1e-10:
        return 0.0
    trend = (sum_xy - (mean_x * n) * mean_y) / denominator / mean_y
    if not trend < 1.0:
        trend = 1.0
    if not trend > -1.0:
        trend = -1.0
    return trend


_NO_CHANGE = (False, 0.0, 0.0, 0.0)
_KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    n = len(pattern_history)
    if n < 6:
        return _NO_CHANGE
    last = pattern_history[n - 6:]
    for entry in last:
        for key in _KEYS:
            if key not in entry:
                return _NO_CHANGE
    recent = [0.0, 0.0, 0.0]
    older = [0.0, 0.0, 0.0]
    for sums, entries in ((recent, last[3:]), (older, last[:3])):
        for entry in entries:
            for k, key in enumerate(_KEYS):
                sums[k] = float(sums[k] + entry[key])
    changes = [abs(recent[k] / 3.0 - older[k] / 3.0) for k in range(3)]
    changed = any(c > change_threshold for c in changes)
    return (changed, changes[0], changes[1], changes[2])


def detect_dominant_pattern(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for name in patterns[max(n - window_size, 0):]:
        counts[name] = counts.get(name, 0) + 1
    best, best_count = "mixed", 0
    for name, count in counts.items():
        if count > best_count:
            best, best_count = name, count
    return best


def is_adaptation_beneficial(current_pool, recommended_pool, recommendation_score, recommendation_confidence,
                             current_performance_estimate, trigger_code, min_improvement_ratio=1.1,
                             min_confidence=0.6):
    if current_pool == recommended_pool:
        return False
    if min_confidence > recommendation_confidence:
        return False
    if trigger_code == 0:
        return recommendation_score > 0.5
    if current_performance_estimate > 0.0:
        return recommendation_score > min_improvement_ratio * current_performance_estimate
    return recommendation_score > 0.6


def should_skip_adaptation(last_adaptation_time, current_time, min_interval):
    return min_interval > current_time - last_adaptation_time


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    if peak_usage <= 0.0 or current_usage < 0.0:
        return False
    return current_usage / peak_usage > pressure_threshold


def detect_fragmentation_threshold(fragmentation_ratio, threshold=0.3):
    if fragmentation_ratio < 0.0:
        return False
    return fragmentation_ratio > threshold


def calculate_adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed):
    urgency = ((0.0 + _clamp_input(performance_degradation) * 0.4) + _clamp_input(memory_pressure) * 0.3) \
        + _clamp_input(fragmentation_ratio) * 0.15
    if workload_changed:
        urgency += 0.15
    return _clamp_result(urgency)


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit, historical_success_rate):
    score = ((_clamp_input(memory_fit) * 0.3 + _clamp_input(workload_fit) * 0.35) + _clamp_input(thread_count_fit)
             * 0.2) + _clamp_input(historical_success_rate) * 0.15
    return _clamp_result(score)


_EMPTY_PREDICTION = (0, 0, 0.0)


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    n = len(allocation_history)
    if n < 10:
        return _EMPTY_PREDICTION
    span = float(allocation_history[-1][0]) - float(allocation_history[0][0])
    if span <= 0.0:
        return _EMPTY_PREDICTION
    rate = n / span
    total = 0.0
    for entry in allocation_history:
        timestamp, size = entry
        float(timestamp)
        total += float(size)
    allocations = int(rate * prediction_horizon_seconds)
    return (allocations, int(total / n * allocations), min(n / 100.0, 1.0) * 0.8)


# --------------------------------------------------------------------------------------------------
# Rows
# --------------------------------------------------------------------------------------------------

PERFORMANCE = [(float(t), 100.0 - (t % 7) * 2.5) for t in range(50)]
ALLOCATIONS = [(t * 0.25, 4096 + (t % 5) * 512) for t in range(50)]
SCORES = [{"parallelization_potential": 0.1 * (i % 6), "cpu_intensity": 0.5, "memory_intensity": 0.3 + 0.05 * i}
          for i in range(10)]
PATTERNS = ["cpu_bound", "memory_bound", "cpu_bound", "io_bound", "memory_bound", "cpu_bound", "mixed"] * 3


def rows():
    # Imported here so that the pure-Python versions can be loaded without the benchmark harness.
    from _timing import Candidate, Row

    from korvane.plugins.analyzer import brevanti

    # Both sides are reached through one attribute lookup, so the rows compare the functions alone.
    pure = types.SimpleNamespace(**{name: globals()[name] for name in dir(brevanti) if callable(globals().get(name))})
    ns = {"k": brevanti, "py": pure, "perf": PERFORMANCE, "alloc": ALLOCATIONS, "scores": SCORES,
          "patterns": PATTERNS}

    def row(operation, call, note=""):
        return Row("brevanti", operation, [
            Candidate("korvane", "k." + call, ns),
            Candidate("pure Python", "py." + call, ns),
        ], note)

    return [
        row("detect_performance_degradation(50 pairs)", "detect_performance_degradation(perf, 100.0, 0.05, 10.0)"),
        row("calculate_performance_trend(50 pairs)", "calculate_performance_trend(perf, 10.0)"),
        row("detect_workload_characteristics_change(10)", "detect_workload_characteristics_change(scores)"),
        row("detect_dominant_pattern(21 names, window 5)", "detect_dominant_pattern(patterns)"),
        row("detect_dominant_pattern(21 names, window 21)", "detect_dominant_pattern(patterns, 21)"),
        row("is_adaptation_beneficial", "is_adaptation_beneficial('slab', 'bucket', 0.8, 0.7, 0.6, 1)"),
        row("should_skip_adaptation", "should_skip_adaptation(100.0, 105.0, 10.0)"),
        row("detect_memory_pressure", "detect_memory_pressure(85.0, 100.0)"),
        row("detect_fragmentation_threshold", "detect_fragmentation_threshold(0.31)"),
        row("calculate_adaptation_urgency", "calculate_adaptation_urgency(0.5, 0.5, 0.5, True)"),
        row("score_pool_recommendation", "score_pool_recommendation(0.8, 0.5, 0.5, 0.9)"),
        row("predict_resource_requirements(50 pairs)", "predict_resource_requirements(alloc, 10.0)"),
    ]
