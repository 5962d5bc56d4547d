import copy
import gc
import logging
import math
import pickle
import subprocess
import sys
import textwrap
import threading
import types
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvane.jit import melquor, wenslow
from korvane.jit.melquor import (
    AdaptivePolicy,
    FunctionMetrics,
    PolicyConfig,
    create_function_metrics,
    create_policy_config,
    get_melquor,
    reset_melquor,
)

LOGGER_NAME = "korvane.jit.melquor"
NAN = math.nan


# ---------------------------------------------------------------------------
# helpers
# ---------------------------------------------------------------------------


class Store:
    """A telemetry store serving fixed records and remembering what it was asked."""

    def __init__(self, **records):
        self.records = records
        self.asked = []

    def get_metrics(self, func_id):
        self.asked.append(func_id)
        return self.records[func_id]


def record(call_count=0, compile_count=0, avg_speedup=1.0, **extra):
    return types.SimpleNamespace(
        call_count=call_count, compile_count=compile_count, avg_speedup=avg_speedup, **extra
    )


class FakeTime:
    """Stands in for the module's `time` attribute."""

    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


def run_briefly(fn, timeout=5.0):
    """Run fn in a thread; fail instead of hanging when it blocks (a lock left held)."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # handed back to the test
            outcome["error"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), "call blocked: the policy lock was left held"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


def learned(current, compile_count, speedup, config=None):
    """Threshold after one update of a function whose threshold is `current`."""
    config = config if config is not None else PolicyConfig(initial_threshold=current)
    policy = AdaptivePolicy(config)
    policy.update("f", Store(f=record(compile_count=compile_count, avg_speedup=speedup)))
    return policy.get_threshold("f")


@pytest.fixture
def debug_records(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)
    caplog.clear()

    def records():
        return [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER_NAME]

    return records


# ---------------------------------------------------------------------------
# module
# ---------------------------------------------------------------------------


def test_module_attributes_are_bound_in_import_order():
    names = list(vars(melquor))
    expected = [
        "time", "logging", "threading", "Dict", "Optional", "logger",
        "PolicyConfig", "FunctionMetrics", "AdaptivePolicy", "_policy_lock",
        "get_melquor", "reset_melquor", "create_function_metrics", "create_policy_config",
        "__test__",
    ]
    assert [n for n in names if n in expected] == expected
    import time as time_module
    import typing

    assert melquor.time is time_module and melquor.logging is logging and melquor.threading is threading
    assert melquor.Dict is typing.Dict and melquor.Optional is typing.Optional
    assert melquor.logger is logging.getLogger(LOGGER_NAME)
    assert type(melquor._policy_lock) is type(threading.Lock())
    assert melquor.__test__ == {}
    assert not hasattr(melquor, "_global_policy")


def test_import_logs_one_info_line_and_second_import_returns_same_module(tmp_path):
    script = textwrap.dedent(
        """
        import logging, sys
        seen = []
        class Keep(logging.Handler):
            def emit(self, r):
                seen.append((r.name, r.levelname, r.getMessage()))
        root = logging.getLogger()
        root.addHandler(Keep())
        root.setLevel(logging.DEBUG)
        import korvane.jit.melquor as first
        del sys.modules["korvane.jit.melquor"]
        import korvane.jit.melquor as second
        print(first is second)
        print(seen)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, check=True
    ).stdout.splitlines()
    assert out == [
        "True",
        str([(LOGGER_NAME, "INFO", "Korvane Melquor Vexel module loaded - IP protected")]),
    ]


@pytest.mark.parametrize("cls", [PolicyConfig, FunctionMetrics, AdaptivePolicy])
def test_class_identity(cls):
    assert cls.__module__ == LOGGER_NAME
    assert cls.__qualname__ == cls.__name__


# ---------------------------------------------------------------------------
# PolicyConfig
# ---------------------------------------------------------------------------


def config_fields(config):
    return (
        config.initial_threshold,
        config.min_threshold,
        config.max_threshold,
        config.learning_rate,
        config.target_speedup,
    )


def test_policy_config_defaults_and_types():
    config = PolicyConfig()
    assert config_fields(config) == (100, 10, 10000, 0.1, 2.0)
    assert [type(v) for v in config_fields(config)] == [int, int, int, float, float]
    assert PolicyConfig.__doc__ and "\n" not in PolicyConfig.__doc__.strip()


def test_policy_config_positional_and_keyword_arguments():
    assert config_fields(PolicyConfig(50, 5, 500, 0.5, 3)) == (50, 5, 500, 0.5, 3.0)
    assert config_fields(PolicyConfig(max_threshold=20, initial_threshold=20)) == (20, 10, 20, 0.1, 2.0)
    assert config_fields(PolicyConfig(50.9, 5.2)) == (50, 5, 10000, 0.1, 2.0)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"min_threshold": 0}, "min_threshold must be positive"),
        ({"min_threshold": -3}, "min_threshold must be positive"),
        ({"initial_threshold": 0, "min_threshold": 0}, "min_threshold must be positive"),
        ({"min_threshold": 0, "learning_rate": 5.0}, "min_threshold must be positive"),
        ({"min_threshold": 10, "max_threshold": 10}, "max_threshold must be greater than min_threshold"),
        ({"max_threshold": 5, "learning_rate": 0.0}, "max_threshold must be greater than min_threshold"),
        ({"learning_rate": 0.0}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": 1.5}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": -0.1}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": NAN}, "learning_rate must be in (0, 1]"),
        ({"learning_rate": NAN, "target_speedup": 0.0}, "learning_rate must be in (0, 1]"),
        ({"target_speedup": 0.0}, "target_speedup must be positive"),
        ({"target_speedup": -2.0}, "target_speedup must be positive"),
        ({"target_speedup": 0.0, "initial_threshold": 1}, "target_speedup must be positive"),
        ({"initial_threshold": 5}, "initial_threshold must be within bounds"),
        ({"initial_threshold": 10001}, "initial_threshold must be within bounds"),
    ],
)
def test_policy_config_validation_order_and_messages(kwargs, message):
    with pytest.raises(ValueError) as info:
        PolicyConfig(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        {"learning_rate": 1.0},
        {"target_speedup": NAN},
        {"initial_threshold": 10},
        {"initial_threshold": 10000},
        {"min_threshold": 1, "max_threshold": 2, "initial_threshold": 2},
    ],
)
def test_policy_config_accepts_boundary_values(kwargs):
    config = PolicyConfig(**kwargs)
    for name, value in kwargs.items():
        got = getattr(config, name)
        assert got == value or (math.isnan(value) and math.isnan(got))


def test_init_after_construction_changes_nothing():
    config = PolicyConfig(50, 5, 500, 0.5, 3.0)
    config.__init__(initial_threshold=1)
    assert config_fields(config) == (50, 5, 500, 0.5, 3.0)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"initial_threshold": "100"}, TypeError, "an integer is required"),
        ({"min_threshold": None}, TypeError, "an integer is required"),
        ({"max_threshold": 2**31}, OverflowError, None),
        ({"initial_threshold": -(2**31) - 1}, OverflowError, None),
        ({"learning_rate": "0.1"}, TypeError, None),
        ({"target_speedup": None}, TypeError, None),
        ({"bogus": 1}, TypeError, "got an unexpected keyword argument 'bogus'"),
    ],
)
def test_policy_config_conversion_errors(kwargs, error, message):
    with pytest.raises(error) as info:
        PolicyConfig(**kwargs)
    if message is not None:
        assert message in str(info.value)


def test_policy_config_too_many_arguments():
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 5 positional arguments \(6 given\)$"):
        PolicyConfig(1, 2, 3, 4, 5, 6)


def test_policy_config_setters_do_not_validate():
    config = PolicyConfig()
    config.min_threshold = -5
    config.max_threshold = 3
    config.initial_threshold = 7.9
    config.learning_rate = 40
    config.target_speedup = NAN
    assert config.min_threshold == -5 and config.max_threshold == 3 and config.initial_threshold == 7
    assert type(config.learning_rate) is float and config.learning_rate == 40.0
    assert math.isnan(config.target_speedup)


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("min_threshold", "5", TypeError),
        ("max_threshold", 2**31, OverflowError),
        ("learning_rate", "x", TypeError),
        ("target_speedup", None, TypeError),
    ],
)
def test_policy_config_failed_set_leaves_field(name, value, error):
    config = PolicyConfig()
    before = config_fields(config)
    with pytest.raises(error):
        setattr(config, name, value)
    assert config_fields(config) == before


@pytest.mark.parametrize(
    "cls, names",
    [
        (PolicyConfig, ["initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"]),
        (
            FunctionMetrics,
            ["call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled",
             "last_compile_time"],
        ),
    ],
)
def test_record_properties_cannot_be_deleted_and_are_listed_in_order(cls, names):
    assert [n for n in vars(cls) if not n.startswith("_")] == names
    obj = cls()
    for name in names:
        with pytest.raises(NotImplementedError) as info:
            delattr(obj, name)
        assert info.value.args == ("__del__",)


# ---------------------------------------------------------------------------
# FunctionMetrics
# ---------------------------------------------------------------------------


def metrics_fields(metrics):
    return (
        metrics.call_count,
        metrics.compile_count,
        metrics.avg_speedup,
        metrics.total_execution_time_ms,
        metrics.last_compiled,
        metrics.last_compile_time,
    )


def test_function_metrics_defaults_and_types():
    metrics = FunctionMetrics()
    assert metrics_fields(metrics) == (0, 0, 1.0, 0.0, 0.0, 0.0)
    assert [type(v) for v in metrics_fields(metrics)] == [int, int, float, float, float, float]


@pytest.mark.parametrize(
    "kwargs, last",
    [
        ({}, 0.0),
        ({"last_compile_time": 5.0}, 5.0),
        ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
        ({"last_compile_time": 5.0, "last_compiled": 0.0}, 0.0),
        ({"last_compile_time": 5.0, "last_compiled": -0.5}, 5.0),
        ({"last_compile_time": 5.0, "last_compiled": NAN}, 5.0),
        ({"last_compiled": 9}, 9.0),
    ],
)
def test_function_metrics_last_compilation_rule(kwargs, last):
    metrics = FunctionMetrics(**kwargs)
    assert metrics.last_compiled == last and metrics.last_compile_time == last


def test_function_metrics_positional_arguments():
    metrics = FunctionMetrics(7, 2, 3.5, 12.25, 100.0, 200.0)
    assert metrics_fields(metrics) == (7, 2, 3.5, 12.25, 200.0, 200.0)


def test_function_metrics_last_compiled_aliases_share_one_field():
    metrics = FunctionMetrics()
    metrics.last_compiled = 3.0
    assert metrics.last_compile_time == 3.0
    metrics.last_compile_time = 4.5
    assert metrics.last_compiled == 4.5
    assert FunctionMetrics.last_compiled.__doc__ == (
        "Timestamp of last compilation (matches TelemetryStore interface)."
    )
    assert FunctionMetrics.last_compile_time.__doc__ == "Alias for last_compiled for backward compatibility."


def test_function_metrics_unsigned_widths():
    metrics = FunctionMetrics(call_count=2**64 - 1, compile_count=2**32 - 1)
    assert (metrics.call_count, metrics.compile_count) == (2**64 - 1, 2**32 - 1)
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        FunctionMetrics(call_count=-1)
    with pytest.raises(OverflowError):
        FunctionMetrics(call_count=2**64)
    with pytest.raises(OverflowError, match="can't convert negative value to uint32_t"):
        FunctionMetrics(compile_count=-1)
    with pytest.raises(OverflowError):
        FunctionMetrics(compile_count=2**32)
    with pytest.raises(OverflowError):
        metrics.compile_count = -1
    assert metrics.compile_count == 2**32 - 1
    metrics.call_count = 3.9
    assert metrics.call_count == 3


def test_function_metrics_too_many_arguments():
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 6 positional arguments \(7 given\)$"):
        FunctionMetrics(1, 2, 3, 4, 5, 6, 7)


@pytest.mark.parametrize("cls", [PolicyConfig, FunctionMetrics, AdaptivePolicy])
def test_native_class_traits(cls):
    obj = cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    for dump in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            dump(obj)

    class Sub(cls):
        pass

    assert isinstance(Sub(), cls)


def test_record_classes_are_not_gc_tracked_but_policy_is():
    assert not gc.is_tracked(PolicyConfig())
    assert not gc.is_tracked(FunctionMetrics())
    assert gc.is_tracked(AdaptivePolicy())


# ---------------------------------------------------------------------------
# factory functions
# ---------------------------------------------------------------------------


def test_create_policy_config_signature():
    assert create_policy_config.__defaults__ == (100, 10, 10000, 0.1, 2.0)
    assert create_policy_config.__annotations__ == {
        "initial_threshold": "int",
        "min_threshold": "int",
        "max_threshold": "int",
        "learning_rate": "float",
        "target_speedup": "float",
        "return": "PolicyConfig",
    }
    assert list(create_policy_config.__annotations__) == [
        "initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup", "return",
    ]


def test_create_function_metrics_signature():
    assert create_function_metrics.__defaults__ == (0, 0, 1.0, 0.0, 0.0)
    assert list(create_function_metrics.__annotations__.items()) == [
        ("call_count", "int"),
        ("compile_count", "int"),
        ("avg_speedup", "float"),
        ("total_execution_time_ms", "float"),
        ("last_compile_time", "float"),
        ("return", "FunctionMetrics"),
    ]


def test_create_policy_config_builds_validated_config():
    config = create_policy_config(50, 20, 60.7, 1, 3)
    assert type(config) is PolicyConfig
    assert config_fields(config) == (50, 20, 60, 1.0, 3.0)
    assert config_fields(create_policy_config()) == (100, 10, 10000, 0.1, 2.0)
    with pytest.raises(ValueError) as info:
        create_policy_config(min_threshold=0)
    assert str(info.value) == "min_threshold must be positive"


@pytest.mark.parametrize(
    "factory, name, value, message",
    [
        (create_policy_config, "min_threshold", None,
         "Argument 'min_threshold' has incorrect type (expected int, got NoneType)"),
        (create_policy_config, "initial_threshold", "100",
         "Argument 'initial_threshold' has incorrect type (expected int, got str)"),
        (create_function_metrics, "call_count", None,
         "Argument 'call_count' has incorrect type (expected int, got NoneType)"),
        (create_function_metrics, "compile_count", b"1",
         "Argument 'compile_count' has incorrect type (expected int, got bytes)"),
    ],
)
def test_factories_reject_non_numbers_for_int_parameters(factory, name, value, message):
    with pytest.raises(TypeError) as info:
        factory(**{name: value})
    assert str(info.value) == message


def test_factories_reject_non_numbers_for_float_parameters():
    with pytest.raises(TypeError):
        create_policy_config(learning_rate="0.1")
    with pytest.raises(TypeError):
        create_function_metrics(avg_speedup=None)


def test_create_function_metrics_builds_record():
    metrics = create_function_metrics(call_count=3.9)
    assert type(metrics) is FunctionMetrics and metrics.call_count == 3
    metrics = create_function_metrics(5, True, 2, 1.5, 42)
    assert metrics_fields(metrics) == (5, 1, 2.0, 1.5, 42.0, 42.0)
    assert metrics_fields(create_function_metrics()) == (0, 0, 1.0, 0.0, 0.0, 0.0)
    with pytest.raises(OverflowError):
        create_function_metrics(call_count=-1)


# ---------------------------------------------------------------------------
# AdaptivePolicy: construction and configuration
# ---------------------------------------------------------------------------


def test_fresh_policy():
    policy = AdaptivePolicy()
    assert type(policy.config) is PolicyConfig
    assert config_fields(policy.config) == (100, 10, 10000, 0.1, 2.0)
    assert policy.get_threshold("anything") == 100
    assert policy.get_threshold(None) == 100
    stats = policy.get_statistics()
    assert list(stats.items()) == [
        ("tracked_functions", 0), ("avg_threshold", 100), ("min_threshold", 10), ("max_threshold", 10000),
    ]
    assert type(stats["avg_threshold"]) is int


def test_config_instance_is_used_itself_and_later_changes_apply():
    config = PolicyConfig(learning_rate=0.5)
    policy = AdaptivePolicy(config=config)
    assert policy.config is config
    store = Store(f=record(compile_count=1, avg_speedup=3.0), g=record(compile_count=1, avg_speedup=3.0))
    policy.update("f", store)
    assert policy.get_threshold("f") == 55
    config.learning_rate = 0.1
    policy.update("g", store)
    assert policy.get_threshold("g") == 91


def test_config_from_subclass_instance_is_used_itself():
    class MyConfig(PolicyConfig):
        pass

    config = MyConfig()
    assert AdaptivePolicy(config).config is config


def test_config_from_any_object_reads_attributes_with_fallbacks():
    policy = AdaptivePolicy(types.SimpleNamespace(initial_threshold=50, min_threshold=20))
    assert type(policy.config) is PolicyConfig
    assert config_fields(policy.config) == (50, 20, 10000, 0.1, 2.0)
    full = types.SimpleNamespace(
        initial_threshold=7, min_threshold=5, max_threshold=9, learning_rate=1, target_speedup=4
    )
    assert config_fields(AdaptivePolicy(full).config) == (7, 5, 9, 1.0, 4.0)


def test_config_mapping_keys_are_not_read():
    policy = AdaptivePolicy({"initial_threshold": 50, "min_threshold": 20})
    assert config_fields(policy.config) == (100, 10, 10000, 0.1, 2.0)


def test_config_object_breaking_rules_creates_no_policy():
    with pytest.raises(ValueError) as info:
        AdaptivePolicy(types.SimpleNamespace(min_threshold=0))
    assert str(info.value) == "min_threshold must be positive"


def test_config_attribute_error_other_than_missing_propagates():
    class Broken:
        @property
        def max_threshold(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        AdaptivePolicy(Broken())


def test_config_property_is_read_only():
    policy = AdaptivePolicy()
    with pytest.raises(AttributeError):
        policy.config = PolicyConfig()
    assert AdaptivePolicy.config.__doc__ == "Get policy configuration."


def test_policy_constructor_arguments():
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
        AdaptivePolicy(None, None)
    with pytest.raises(TypeError, match="^__cinit__\\(\\) got an unexpected keyword argument 'cfg'$"):
        AdaptivePolicy(cfg=None)
    assert config_fields(AdaptivePolicy(config=None).config) == (100, 10, 10000, 0.1, 2.0)


def test_policy_signatures():
    assert AdaptivePolicy.get_threshold.__annotations__ == {"return": "int"}
    assert AdaptivePolicy.should_compile.__annotations__ == {"return": "bool"}
    assert AdaptivePolicy.get_statistics.__annotations__ == {"return": "Dict"}
    assert get_melquor.__annotations__ == {"return": "AdaptivePolicy"}
    assert AdaptivePolicy.should_compile.__qualname__ == "AdaptivePolicy.should_compile"
    assert not hasattr(AdaptivePolicy, "_get_threshold_fast")
    assert not hasattr(AdaptivePolicy(), "thresholds")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.get_threshold(), "get_threshold() takes exactly 1 positional argument (0 given)"),
        (lambda p: p.get_threshold("f", "g"), "get_threshold() takes exactly 1 positional argument (2 given)"),
        (lambda p: p.should_compile("f"), "should_compile() takes exactly 2 positional arguments (1 given)"),
        (lambda p: p.update(wenslow=Store()), "update() takes exactly 2 positional arguments (0 given)"),
        (lambda p: p.update("f", store=Store()), "update() got an unexpected keyword argument 'store'"),
        (lambda p: p.get_statistics(1), "get_statistics() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p.get_threshold(7), "Argument 'func_id' has incorrect type (expected str, got int)"),
        (lambda p: p.should_compile(b"f", Store()), "Argument 'func_id' has incorrect type (expected str, got bytes)"),
        (lambda p: p.update(func_id=1.0, wenslow=Store()),
         "Argument 'func_id' has incorrect type (expected str, got float)"),
    ],
)
def test_policy_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(AdaptivePolicy())
    assert str(info.value) == message


def test_func_id_str_subclass_is_refused_before_the_store_is_asked():
    class Name(str):
        pass

    store = Store()
    with pytest.raises(TypeError) as info:
        AdaptivePolicy().should_compile(Name("f"), store)
    assert str(info.value).startswith("Argument 'func_id' has incorrect type (expected str, got Name). ")
    assert store.asked == []


def test_methods_accept_keywords():
    policy = AdaptivePolicy()
    store = Store(f=record(call_count=100))
    assert policy.should_compile(wenslow=store, func_id="f") is True
    assert policy.get_threshold(func_id="f") == 100


# ---------------------------------------------------------------------------
# should_compile
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "metrics, expected",
    [
        (record(call_count=99), False),
        (record(call_count=100), True),
        (record(call_count=100, compile_count=1), True),  # no last_compiled attribute: counts as 0.0
        (record(call_count=100, compile_count=1, last_compiled=10_000.0 - 599), False),
        (record(call_count=100, compile_count=1, last_compiled=10_000.0 - 600), True),
        (record(call_count=100, compile_count=1, last_compiled=10_000.0 - 601), True),
        (record(call_count=100, compile_count=1, last_compiled=NAN), True),
        (record(call_count=99, compile_count=1, last_compiled=0.0), False),
        (FunctionMetrics(call_count=2**64 - 1, compile_count=3, last_compiled=9_999.0), False),
        (FunctionMetrics(call_count=5000, compile_count=3, last_compiled=1.0), True),
    ],
)
def test_should_compile_decisions(monkeypatch, metrics, expected):
    monkeypatch.setattr(melquor, "time", FakeTime(10_000.0))
    result = AdaptivePolicy().should_compile("f", Store(f=metrics))
    assert result is expected


def test_should_compile_reads_clock_through_module_attribute(monkeypatch):
    metrics = record(call_count=100, compile_count=1, last_compiled=1_000.0)
    policy = AdaptivePolicy()
    monkeypatch.setattr(melquor, "time", FakeTime(1_599.0))
    assert policy.should_compile("f", Store(f=metrics)) is False
    monkeypatch.setattr(melquor, "time", FakeTime(1_601))
    assert policy.should_compile("f", Store(f=metrics)) is True


def test_should_compile_uses_learned_threshold():
    policy = AdaptivePolicy()
    policy.update("f", Store(f=record(compile_count=1, avg_speedup=3.0)))
    assert policy.should_compile("f", Store(f=record(call_count=90))) is False
    assert policy.should_compile("f", Store(f=record(call_count=91))) is True
    assert policy.should_compile("g", Store(g=record(call_count=91))) is False


def test_negative_threshold_is_never_reached():
    config = PolicyConfig()
    policy = AdaptivePolicy(config)
    config.initial_threshold = -1  # compared as 2**64 - 1
    assert policy.should_compile("f", Store(f=record(call_count=2**64 - 2))) is False
    assert policy.should_compile("f", Store(f=record(call_count=2**64 - 1))) is True
    config.initial_threshold = 0
    assert policy.should_compile("f", Store(f=record(call_count=0))) is True


def test_decision_path_reads_native_config_fields():
    class Shadowed(PolicyConfig):
        @property
        def initial_threshold(self):
            return 7

    policy = AdaptivePolicy(Shadowed())
    assert policy.should_compile("f", Store(f=record(call_count=50))) is False
    assert policy.get_threshold("f") == 7
    assert policy.get_statistics()["avg_threshold"] == 7


def test_get_threshold_converts_python_level_result():
    class Odd(PolicyConfig):
        value = 7.9

        @property
        def initial_threshold(self):
            return self.value

    config = Odd.__new__(Odd)
    config.__init__()
    policy = AdaptivePolicy(config)
    assert policy.get_threshold("f") == 7 and type(policy.get_threshold("f")) is int
    Odd.value = "x"
    with pytest.raises(TypeError, match="Expected int, got str"):
        policy.get_threshold("f")


def test_should_compile_order_of_reads(monkeypatch):
    order = []

    class Clock:
        def time(self):
            order.append("clock")
            return 0.0

    class Traced:
        def __getattribute__(self, name):
            order.append(name)
            return {"call_count": 500, "compile_count": 2, "avg_speedup": 1.0, "last_compiled": 0.0}[name]

    class TracedStore:
        def get_metrics(self, *args, **kwargs):
            order.append(("get_metrics", args, kwargs))
            return Traced()

    monkeypatch.setattr(melquor, "time", Clock())
    fid = "func"
    assert AdaptivePolicy().should_compile(fid, TracedStore()) is False
    assert order == [
        "clock", ("get_metrics", (fid,), {}), "call_count", "compile_count", "avg_speedup", "last_compiled",
    ]


def test_clock_is_read_before_the_lock_is_taken(monkeypatch):
    policy = AdaptivePolicy()

    class ReentrantClock:
        def time(self):
            # Would deadlock if the policy lock were already held.
            policy.get_threshold("f")
            return 0.0

    monkeypatch.setattr(melquor, "time", ReentrantClock())
    assert run_briefly(lambda: policy.should_compile("f", Store(f=record(call_count=100)))) is True


@pytest.mark.parametrize(
    "metrics, error",
    [
        (None, AttributeError),
        (types.SimpleNamespace(call_count=1, compile_count=0), AttributeError),
        (record(call_count=-1), OverflowError),
        (record(call_count="7"), TypeError),
        (record(compile_count=2**32), OverflowError),
        (record(avg_speedup="fast"), TypeError),
    ],
)
def test_should_compile_failures_release_lock(metrics, error):
    policy = AdaptivePolicy()
    with pytest.raises(error):
        policy.should_compile("f", Store(f=metrics))
    assert run_briefly(lambda: policy.should_compile("f", Store(f=record(call_count=100)))) is True


def test_last_compiled_errors_other_than_missing_propagate():
    class Record:
        call_count, compile_count, avg_speedup = 100, 1, 1.0

        @property
        def last_compiled(self):
            raise ValueError("clock broken")

    policy = AdaptivePolicy()
    with pytest.raises(ValueError, match="clock broken"):
        policy.should_compile("f", Store(f=Record()))
    assert run_briefly(lambda: policy.get_threshold("f")) == 100


def test_store_raising_releases_lock_and_propagates():
    class Failing:
        def get_metrics(self, func_id):
            raise LookupError(func_id)

    policy = AdaptivePolicy()
    for call in (policy.should_compile, policy.update):
        with pytest.raises(LookupError):
            call("f", Failing())
    assert run_briefly(lambda: policy.get_statistics())["tracked_functions"] == 0


def test_store_without_get_metrics():
    with pytest.raises(AttributeError):
        AdaptivePolicy().should_compile("f", object())


# ---------------------------------------------------------------------------
# update
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "current, compile_count, speedup, expected",
    [
        (100, 1, 3.0, 91),
        (100, 1, 2.0, 109),  # exactly on target raises the threshold
        (100, 5, 1.0, 105),
        (100, 10, 3.0, 100),
        (100, 12, 3.0, 100),
        (10, 1, 3.0, 10),  # raw 9.1 clamped up
        (9990, 1, 0.5, 10000),  # raw 10889.1 clamped down
        (100, 1, NAN, 109),
        (100, 2**32 - 1, 0.1, 100),
    ],
)
def test_update_learning_step(current, compile_count, speedup, expected):
    result = learned(current, compile_count, speedup)
    assert result == expected and type(result) is int


def test_update_builds_on_previous_threshold():
    policy = AdaptivePolicy()
    store = Store(f=record(compile_count=1, avg_speedup=3.0))
    policy.update("f", store)
    policy.update("f", store)
    assert policy.get_threshold("f") == int(0.9 * -9.1 + 91)  # 82


@pytest.mark.parametrize("compile_count", [0, 0.0, False])
def test_update_without_compilation_changes_and_logs_nothing(debug_records, compile_count):
    policy = AdaptivePolicy()
    assert policy.update("f", Store(f=record(compile_count=compile_count, avg_speedup=9.0))) is None
    assert policy.get_statistics()["tracked_functions"] == 0
    assert debug_records() == []


@pytest.mark.parametrize(
    "func_id, speedup, text",
    [
        ("hot_loop", 3.0, "Updated threshold for hot_loop: 100 -> 91 (speedup: 3.00x)"),
        (None, 2.0, "Updated threshold for None: 100 -> 109 (speedup: 2.00x)"),
        ("50%_done %s", 1.005, "Updated threshold for 50%_done %s: 100 -> 109 (speedup: 1.00x)"),
        ("f", 1234.5678, "Updated threshold for f: 100 -> 91 (speedup: 1234.57x)"),
        ("f", NAN, "Updated threshold for f: 100 -> 109 (speedup: nanx)"),
        ("f", math.inf, "Updated threshold for f: 100 -> 91 (speedup: infx)"),
        ("\u00e9\U0001f600", 3.0, "Updated threshold for \u00e9\U0001f600: 100 -> 91 (speedup: 3.00x)"),
    ],
)
def test_update_debug_record(debug_records, func_id, speedup, text):
    policy = AdaptivePolicy()
    assert policy.update(func_id, _single(func_id, speedup)) is None
    assert debug_records() == [(LOGGER_NAME, logging.DEBUG, text)]


def _single(func_id, speedup):
    class One:
        def get_metrics(self, asked):
            assert asked is func_id
            return record(compile_count=1, avg_speedup=speedup)

    return One()


def test_update_logs_stay_silent_when_debug_disabled(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER_NAME)
    policy = AdaptivePolicy()
    policy.update("f", Store(f=record(compile_count=1, avg_speedup=3.0)))
    assert policy.get_threshold("f") == 91
    assert [r for r in caplog.records if r.name == LOGGER_NAME] == []


def test_update_uses_module_logger_at_call_time_after_releasing_lock(monkeypatch):
    policy = AdaptivePolicy()
    seen = []

    class Spy:
        def isEnabledFor(self, level):
            seen.append(("isEnabledFor", level))
            return object()  # truthy, like a mock

        def debug(self, message):
            # Would deadlock if the policy lock were still held.
            seen.append(("debug", message, policy.get_threshold("f")))

    monkeypatch.setattr(melquor, "logger", Spy())
    run_briefly(lambda: policy.update("f", Store(f=record(compile_count=1, avg_speedup=3.0))))
    assert seen == [
        ("isEnabledFor", logging.DEBUG),
        ("debug", "Updated threshold for f: 100 -> 91 (speedup: 3.00x)", 91),
    ]


def test_update_order_of_reads():
    order = []

    class Traced:
        def __getattribute__(self, name):
            order.append(name)
            return {"compile_count": 1, "avg_speedup": 3.0}[name]

    class TracedStore:
        def get_metrics(self, func_id):
            order.append("get_metrics")
            return Traced()

    AdaptivePolicy().update("f", TracedStore())
    assert order == ["get_metrics", "compile_count", "compile_count", "avg_speedup"]


@pytest.mark.parametrize(
    "metrics, error",
    [
        (None, AttributeError),
        (types.SimpleNamespace(compile_count=1), AttributeError),
        (record(compile_count=-1), OverflowError),
        (record(compile_count=1, avg_speedup=None), TypeError),
    ],
)
def test_update_failures_release_lock_and_change_nothing(debug_records, metrics, error):
    policy = AdaptivePolicy()
    with pytest.raises(error):
        policy.update("f", Store(f=metrics))
    assert run_briefly(lambda: policy.get_statistics())["tracked_functions"] == 0
    assert debug_records() == []


@pytest.mark.parametrize(
    "changes, current, speedup, expected",
    [
        ({"target_speedup": 0.0}, 100, 1.5, 91),  # divisor falls back to 1.0
        ({"target_speedup": -3.0}, 100, 0.9, 109),
        ({"target_speedup": NAN}, 100, 50.0, 109),
        ({"learning_rate": NAN}, 100, 3.0, 100),  # NaN raw keeps the current threshold
        ({"learning_rate": math.inf}, 100, 3.0, 10),
        ({"learning_rate": math.inf}, 100, 1.0, 10000),
        ({"min_threshold": 500, "max_threshold": 50}, 100, 3.0, 500),  # lower bound wins
        ({"min_threshold": 500, "max_threshold": 50}, 1000, 1.0, 50),
    ],
)
def test_update_with_config_changed_through_setters(changes, current, speedup, expected):
    config = PolicyConfig(initial_threshold=current)
    for name, value in changes.items():
        setattr(config, name, value)
    assert learned(current, 1, speedup, config) == expected


def reference_step(current, compile_count, speedup, learning_rate, target_speedup, lo, hi):
    """The learning step in Python's own double arithmetic."""
    ratio = speedup / (target_speedup if target_speedup > 0.0 else 1.0)
    step = -learning_rate if ratio > 1.0 else learning_rate
    confidence = min(compile_count / 10.0, 1.0)
    raw = (1.0 - confidence) * (step * current) + current
    if lo > raw:
        return lo
    if raw > hi:
        return hi
    return int(raw)


@settings(max_examples=300, deadline=None)
@given(
    current=st.integers(1, 50_000),
    compile_count=st.integers(1, 12),
    speedup=st.floats(0.01, 100.0),
    learning_rate=st.floats(0.001, 1.0),
    target_speedup=st.floats(0.1, 10.0),
)
def test_learning_step_matches_double_arithmetic(current, compile_count, speedup, learning_rate, target_speedup):
    config = PolicyConfig(current, 1, 50_000, learning_rate, target_speedup)
    result = learned(current, compile_count, speedup, config)
    assert result == reference_step(current, compile_count, speedup, learning_rate, target_speedup, 1, 50_000)
    if speedup / target_speedup > 1.0:
        assert 1 <= result <= current
    else:
        assert current <= result <= 50_000


# ---------------------------------------------------------------------------
# get_statistics
# ---------------------------------------------------------------------------


def test_statistics_after_learning():
    policy = AdaptivePolicy()
    policy.update("up", Store(up=record(compile_count=1, avg_speedup=3.0)))
    policy.update("down", Store(down=record(compile_count=1, avg_speedup=2.0)))
    stats = policy.get_statistics()
    assert list(stats.items()) == [
        ("tracked_functions", 2), ("avg_threshold", 100.0), ("min_threshold", 91), ("max_threshold", 109),
    ]
    assert type(stats["avg_threshold"]) is float
    assert policy.get_statistics() is not stats


def test_statistics_empty_reads_config_python_attributes():
    class Shifted(PolicyConfig):
        @property
        def max_threshold(self):
            return 123

    stats = AdaptivePolicy(Shifted()).get_statistics()
    assert stats == {"tracked_functions": 0, "avg_threshold": 100, "min_threshold": 10, "max_threshold": 123}


# ---------------------------------------------------------------------------
# shared policy
# ---------------------------------------------------------------------------


def test_shared_policy_identity_and_reset():
    reset_melquor()
    first = get_melquor()
    assert type(first) is AdaptivePolicy and first is get_melquor()
    assert reset_melquor() is None
    second = get_melquor()
    assert second is not first
    first.update("f", Store(f=record(compile_count=1, avg_speedup=3.0)))
    assert first.get_threshold("f") == 91  # still usable after the reset
    assert second.get_threshold("f") == 100


def test_shared_policy_lock_is_looked_up_at_call_time(monkeypatch):
    entered = []
    real = melquor._policy_lock

    class Recording:
        def __enter__(self):
            entered.append("enter")
            return real.__enter__()

        def __exit__(self, *exc):
            entered.append("exit")
            return real.__exit__(*exc)

    monkeypatch.setattr(melquor, "_policy_lock", Recording())
    get_melquor()
    reset_melquor()
    assert entered == ["enter", "exit", "enter", "exit"]


def test_failed_creation_leaves_no_shared_policy_and_frees_the_lock(monkeypatch):
    reset_melquor()
    monkeypatch.setattr(melquor, "threading", types.SimpleNamespace())  # no Lock: the policy cannot be built
    with pytest.raises(AttributeError):
        get_melquor()
    monkeypatch.undo()
    policy = run_briefly(get_melquor)
    assert type(policy) is AdaptivePolicy and policy is get_melquor()


def test_concurrent_first_calls_create_exactly_one_policy():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for _ in range(20):
            reset_melquor()
            count = 8
            barrier = threading.Barrier(count)
            results = []

            def first_call():
                barrier.wait()
                results.append(get_melquor())

            threads = [threading.Thread(target=first_call) for _ in range(count)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert len(results) == count and len({id(p) for p in results}) == 1
            assert results[0] is get_melquor()
    finally:
        sys.setswitchinterval(old)


# ---------------------------------------------------------------------------
# references, garbage collection, threads
# ---------------------------------------------------------------------------


def test_reference_counts_are_balanced():
    func_id = "".join(["ref", "count"])
    metrics = FunctionMetrics(call_count=500, compile_count=1, avg_speedup=3.0)
    store = Store(refcount=metrics)
    policy = AdaptivePolicy()
    policy.update(func_id, store)  # stores func_id as a key once
    store.asked.clear()
    before = [sys.getrefcount(x) for x in (func_id, metrics, store, policy)]
    for _ in range(100):
        policy.should_compile(func_id, store)
        policy.update(func_id, store)
        policy.get_threshold(func_id)
        policy.get_statistics()
    store.asked.clear()
    assert [sys.getrefcount(x) for x in (func_id, metrics, store, policy)] == before


def test_debug_logging_keeps_reference_counts_balanced(debug_records):
    func_id = "".join(["logged", "_fn"])
    store = Store(logged_fn=FunctionMetrics(compile_count=1, avg_speedup=3.0))
    policy = AdaptivePolicy()
    policy.update(func_id, store)
    store.asked.clear()
    before = sys.getrefcount(func_id)
    for _ in range(50):
        policy.update(func_id, store)
    store.asked.clear()
    assert sys.getrefcount(func_id) == before
    assert len(debug_records()) == 51


def test_policy_holds_one_reference_to_its_config():
    config = PolicyConfig()
    before = sys.getrefcount(config)
    policy = AdaptivePolicy(config)
    assert sys.getrefcount(config) == before + 1
    del policy
    assert sys.getrefcount(config) == before


def test_policy_in_a_reference_cycle_is_collected():
    class Cyclic(AdaptivePolicy):
        pass

    class CyclicConfig(PolicyConfig):
        pass

    config = CyclicConfig()
    policy = Cyclic(config)
    policy.me = policy
    config.owner = policy
    probe = weakref.ref(policy)
    del policy, config
    gc.collect()
    assert probe() is None


def test_threads_hammering_one_policy_lose_nothing():
    policy = AdaptivePolicy()
    store = wenslow.TelemetryStore()
    threads_count, rounds = 6, 300
    barrier = threading.Barrier(threads_count)
    errors = []

    def work(index):
        try:
            barrier.wait()
            for i in range(rounds):
                func_id = f"t{index}-{i % 10}"
                store.record_call(func_id)
                policy.should_compile(func_id, store)
                if i < 10:
                    store.record_compilation(func_id)
                    store.record_speedup(func_id, 3.0)
                    policy.update(func_id, store)
                policy.get_threshold(func_id)
                policy.get_statistics()
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    stats = policy.get_statistics()
    assert stats["tracked_functions"] == threads_count * 10
    assert stats["min_threshold"] == stats["max_threshold"] == 91


# ---------------------------------------------------------------------------
# the full cycle against the package's telemetry store
# ---------------------------------------------------------------------------


def test_full_cycle_with_telemetry_store(monkeypatch):
    clock = FakeTime(50_000.0)
    monkeypatch.setattr(melquor, "time", clock)
    store = wenslow.TelemetryStore()
    policy = AdaptivePolicy()
    func_id = "kernel"

    calls_until_compile = 0
    while not policy.should_compile(func_id, store):
        store.record_call(func_id)
        calls_until_compile += 1
    assert calls_until_compile == 100

    store.record_compilation(func_id, timestamp=clock.now)
    store.record_speedup(func_id, 4.0)
    policy.update(func_id, store)
    assert policy.get_threshold(func_id) == 91
    # Compiled just now: no recompilation before the interval has passed.
    assert policy.should_compile(func_id, store) is False
    clock.now += 601
    assert policy.should_compile(func_id, store) is True
    assert policy.get_statistics()["tracked_functions"] == 1
