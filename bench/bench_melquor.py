"""korvane.jit.melquor: AdaptivePolicy against the same policy written the obvious way in pure Python, both reading a
korvane.jit.wenslow.TelemetryStore, beside the cost of an empty native call."""
import logging
import threading
import time

from _timing import Candidate, Row

from korvane._frameprobe import Probe
from korvane.jit.melquor import AdaptivePolicy, PolicyConfig
from korvane.jit.wenslow import TelemetryStore

logger = logging.getLogger("bench.melquor.python")


class PyAdaptivePolicy:
    """What a user would otherwise write: the same decisions and learning step in plain Python."""

    def __init__(self, config=None):
        self.config = config if config is not None else PolicyConfig()
        self.thresholds = {}
        self._lock = threading.Lock()
        self.min_recompile_interval = 600.0

    def get_threshold(self, func_id):
        with self._lock:
            return self.thresholds.get(func_id, self.config.initial_threshold)

    def should_compile(self, func_id, wenslow):
        current_time = time.time()
        with self._lock:
            threshold = self.thresholds.get(func_id, self.config.initial_threshold)
            metrics = wenslow.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return not current_time - last_compiled < self.min_recompile_interval

    def update(self, func_id, wenslow):
        with self._lock:
            metrics = wenslow.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self.thresholds.get(func_id, self.config.initial_threshold)
            config = self.config
            speedup = metrics.avg_speedup
            ratio = speedup / (config.target_speedup if config.target_speedup > 0 else 1.0)
            step = -config.learning_rate if ratio > 1.0 else config.learning_rate
            confidence = min(metrics.compile_count / 10.0, 1.0)
            raw = (1.0 - confidence) * (step * current) + current
            new = max(config.min_threshold, min(config.max_threshold, int(raw)))
            self.thresholds[func_id] = new
        logger.debug(f"Updated threshold for {func_id}: {current} -> {new} (speedup: {speedup:.2f}x)")


def cycle(policy, store, func_id):
    """One record-ask-compile-update round of the compiler's loop."""
    store.record_call(func_id)
    if policy.should_compile(func_id, store):
        store.record_compilation(func_id, 0.0)
        store.record_speedup(func_id, 3.0)
        policy.update(func_id, store)


def rows():
    store = TelemetryStore()
    for _ in range(150):
        store.record_call("hot")
    store.record_compilation("hot", timestamp=time.time())  # compiled just now: no recompilation
    store.record_speedup("hot", 3.0)
    native, python = AdaptivePolicy(), PyAdaptivePolicy()
    native.update("hot", store)
    python.update("hot", store)
    # The cycle stamps its compilations at 0 s, long before now, so that every round compiles again.
    cycle_store = TelemetryStore()
    ns = {
        "n": native, "py": python, "s": store, "p": Probe(), "cycle": cycle, "cs": cycle_store,
        "cn": AdaptivePolicy(PolicyConfig(initial_threshold=10)),
        "cpy": PyAdaptivePolicy(PolicyConfig(initial_threshold=10)),
    }
    return [
        Row("melquor", "AdaptivePolicy.get_threshold(id)", [
            Candidate("korvane AdaptivePolicy", "n.get_threshold('hot')", ns),
            Candidate("pure-Python AdaptivePolicy", "py.get_threshold('hot')", ns),
            Candidate("frame do-nothing method, 1 arg", "p.nothing1(1)", ns),
        ]),
        Row("melquor", "AdaptivePolicy.should_compile(id, store)", [
            Candidate("korvane AdaptivePolicy", "n.should_compile('hot', s)", ns),
            Candidate("pure-Python AdaptivePolicy", "py.should_compile('hot', s)", ns),
            Candidate("TelemetryStore.get_metrics alone", "s.get_metrics('hot')", ns),
        ]),
        Row("melquor", "AdaptivePolicy.update(id, store)", [
            Candidate("korvane AdaptivePolicy", "n.update('hot', s)", ns),
            Candidate("pure-Python AdaptivePolicy", "py.update('hot', s)", ns),
        ], note="DEBUG disabled, as in production"),
        Row("melquor", "record-ask-compile-update cycle", [
            Candidate("korvane AdaptivePolicy", "cycle(cn, cs, 'f')", ns),
            Candidate("pure-Python AdaptivePolicy", "cycle(cpy, cs, 'f')", ns),
        ], note="every round compiles; the store's own recording is in both"),
    ]
