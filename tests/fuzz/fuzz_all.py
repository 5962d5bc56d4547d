"""Coverage-guided fuzzing of every public callable of the nine native modules (atheris).

Each input drives one session: a few module-level function calls; or one object of a native class (made with
generated constructor arguments, sometimes while the module hands out misbehaving locks or counters, sometimes
from a subclass that overrides the operations the class calls on itself) followed by a series of method calls and
attribute writes on it; or the platform probes with their host modules replaced; or the function and class objects
themselves (wrong receivers, binding, constructors asked for other classes, attribute writes). Arguments are generated per parameter kind: integers at and beyond each native width,
floats with NaN, infinities and subnormals, str and bytes with any content, lists and tuples shaped like what the
callable expects, and objects whose conversions, comparisons, truth tests or destructors raise, return odd types or
call back into the object being worked on; calls also come with too many or too few arguments, unknown and
duplicate keywords.

A crash (any signal) fails the run, and so does an exception type that the callable does not raise on purpose
(surface.py lists them per callable); a SystemError, for instance, means a native function returned NULL without an
exception or a result with one set.

    python fuzz_all.py [libFuzzer options]      e.g. -max_total_time=120 -timeout=20 CORPUS_DIR
    KORVANE_FUZZ_TRACE=1 python fuzz_all.py crash-...   replays one input, printing every call and callback
"""
import contextlib
import gc
import inspect
import logging
import math
import os
import sys
import time
import warnings

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports():
    import surface

from korvane.jit import melquor  # noqa: E402
from korvane.memory import draskel, orvelle, tessin  # noqa: E402
from korvane.monitoring import hoskett  # noqa: E402
from korvane.native import vandris  # noqa: E402

FUNCTIONS = [c for c in surface.CALLABLES if "." not in c.name and not c.name[:1].isupper()]
CLASSES = [c for c in surface.CALLABLES if "." not in c.name and c.name[:1].isupper()]
METHODS = {cls.path: [c for c in surface.CALLABLES if c.path.startswith(cls.path + ".")] for cls in CLASSES}
ATTRIBUTES = {}
for _path, _name, _kind in surface.ATTRIBUTES:
    ATTRIBUTES.setdefault(_path, []).append((_name, _kind))


class Unexpected(Exception):
    """An exception that the callable does not raise on purpose."""


# ---------------------------------------------------------------------------------------------------------------
# Values.

INT_WIDTHS = {"i64": (-(2**63), 2**63 - 1), "i32": (-(2**31), 2**31 - 1), "u64": (0, 2**64 - 1),
              "u32": (0, 2**32 - 1), "u8": (0, 255)}
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 0.8, 1e-10, 5e-324, 1.7976931348623157e308, -1.7976931348623157e308,
          math.inf, -math.inf, math.nan, 2.0**63, 2.0**64, -(2.0**63), 1e20]
WORDS = ["numpy", "np.", "pandas", "pd.", "sklearn", "fit", "transform", "matmul", "sum", "out of memory", "cuda",
         "memory", "gpu", "allocat", "failed", "insufficient", "OutOfMemoryError", "zeros", "random.randn", "8.6",
         "7", "-3", " 9 ", "abc", ".5", "1e9", "99999999999", "set", "clear", "is_set", "find_first", "a", "b",
         "mixed", "İ", "ß", "\u0130\u0131", "\x00", "\udcff", "ǅ", "ﬃ", "Σ", "\U0001f600"]
BIG_INTS = [0, 1, -1, 2, 7, 8, 16, 63, 64, 65, 100, 255, 256, 1000, 4096, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1,
            2**32 - 1, 2**32, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 2**100, -(2**100)]


MAX_DEPTH = 3  # callback objects made while making one


class Gen:
    """Argument values drawn from the fuzzer's input."""

    def __init__(self, fdp, session):
        self.fdp = fdp
        self.session = session  # objects that destructors and comparisons may call back into
        self.restore = []  # patches to undo when the session ends
        self.depth = 0  # nesting of callback objects being made
        self.callbacks_left = 64
        self.in_callback = 0  # comparison, conversion and truth-test callbacks running

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def integer(self, kind=None):
        lo, hi = INT_WIDTHS.get(kind, (-(2**63), 2**63))
        choice = self.fdp.ConsumeIntInRange(0, 5)
        if choice == 0:
            return self.pick([lo, hi, lo - 1, hi + 1, 0, -1, 1])
        if choice == 1:
            return self.pick(BIG_INTS)
        if choice == 2:
            return self.fdp.ConsumeIntInRange(-300, 5000)
        if choice == 3:
            return self.fdp.ConsumeInt(9)
        if choice == 4:
            return self.pick([True, False])
        return self.fdp.ConsumeIntInRange(lo, hi)

    def floating(self):
        choice = self.fdp.ConsumeIntInRange(0, 3)
        if choice == 0:
            return self.pick(FLOATS)
        if choice == 1:
            return self.fdp.ConsumeFloat()
        if choice == 2:
            return self.fdp.ConsumeFloatInRange(-2.0, 2.0)
        return self.integer()

    def text(self):
        choice = self.fdp.ConsumeIntInRange(0, 3)
        if choice == 0:
            return self.pick(WORDS)
        if choice == 1:
            return " ".join(self.pick(WORDS) for _ in range(self.fdp.ConsumeIntInRange(0, 12)))
        if choice == 2:
            return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 64))
        return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 64)).upper()

    def pair(self):
        if self.chance(85):
            return (self.floating(), self.floating()) if self.chance(70) else [self.floating(), self.floating()]
        return self.hostile()

    def pattern(self):
        if not self.chance(85):
            return self.hostile()
        entry = {}
        for key in ("parallelization_potential", "cpu_intensity", "memory_intensity"):
            if self.chance(90):
                entry[key] = self.floating() if self.chance(85) else self.hostile()
        return entry

    def items(self, flavour):
        count = self.fdp.ConsumeIntInRange(0, 14)
        if flavour == "dims":
            return tuple(self.fdp.ConsumeIntInRange(-2, 12) if self.chance(60) else self.integer("i32")
                         if self.chance(70) else self.value("any") for _ in range(min(count, 5)))
        out = []
        make = {"pairs": self.pair, "patterns": self.pattern}.get(flavour, self.name)
        for _ in range(count):
            out.append(make() if self.chance(95) else self.mutator(out, flavour))
        return out

    def name(self):
        return self.pick(["a", "b", "c", None]) if self.chance(90) else self.value("any")

    def mutator(self, container, flavour):
        """An item that changes `container` (the list being read) when the callable converts, unpacks, hashes or
        compares it: as a whole entry, inside a pair, or as a dict key colliding with one the callable looks up."""
        change = Mutator(container, self.pick(["clear", "pop", "append", "extend", "shrink"]), self.value("any"))
        if flavour == "pairs":
            return self.pick([change, (change, 1.0), (1.0, change), [change, change]])
        if flavour == "patterns":
            key = self.pick(["parallelization_potential", "cpu_intensity", "memory_intensity"])
            change.hash = hash(key)
            entry = {change: 1.0}
            more = self.pattern()
            if isinstance(more, dict):
                entry.update(more)
            return self.pick([entry, {key: change, "cpu_intensity": 0.5, "memory_intensity": 0.5,
                                      "parallelization_potential": 0.5}])
        return change

    def record(self, names, kinds):
        """An object with some of the attributes `names`, each a value of its kind or anything."""
        attrs = {n: self.value(k) if self.chance(80) else self.value("any") for n, k in zip(names, kinds)
                 if self.chance(90)}
        return surface.Record(**attrs)

    def store(self):
        choice = self.fdp.ConsumeIntInRange(0, 9)
        if choice == 0:
            return self.value("any")
        if choice == 1:
            return surface.Store(self.pick([None, surface.HostileError, surface.RaisingRecord()]))
        if choice == 2:
            return surface.Store(self.record(["call_count", "compile_count"], ["u64", "u32"]))
        return surface.Store(self.record(["call_count", "compile_count", "avg_speedup", "last_compiled"],
                                         ["u64", "u32", "f64", "f64"]))

    def config(self):
        choice = self.fdp.ConsumeIntInRange(0, 4)
        if choice == 0:
            return None
        if choice == 1:
            return melquor.PolicyConfig()
        if choice == 2:
            return self.value("any")
        return self.record(["initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"],
                           ["i32", "i32", "i32", "f64", "f64"])

    def hostile(self):
        choice = self.fdp.ConsumeIntInRange(0, 3)
        if choice == 0 and self.session and self.depth < MAX_DEPTH:
            self.depth += 1
            try:
                return Reentrant(self, self.pick(self.session))
            finally:
                self.depth -= 1
        return self.pick(surface.HOSTILE_FACTORIES)()

    def value(self, kind, items=None):
        """A value for a parameter of `kind`: mostly one the conversion accepts, sometimes anything."""
        if kind != "any" and self.chance(80):
            if kind in INT_WIDTHS or kind == "pyint":
                return self.integer(kind) if self.chance(90) else self.floating()
            if kind == "f64":
                return self.floating()
            if kind == "truth":
                return self.pick([True, False, None, 0, 1, "", "x", [], [0]])
            if kind == "str":
                return self.text() if self.chance(95) else None
            if kind == "bytes":
                size = 16 if self.chance(70) else self.fdp.ConsumeIntInRange(0, 40)
                return self.fdp.ConsumeBytes(size).ljust(size, b"\0")
            if kind == "list":
                return self.items(items) if self.chance(95) else None
            if kind == "tuple":
                return self.items(items) if self.chance(95) else None
            if items == "store":
                return self.store()
            if items == "config":
                return self.config()
        choice = self.fdp.ConsumeIntInRange(0, 6)
        if choice <= 2:
            return self.hostile()
        if choice == 3:
            return self.integer()
        if choice == 4:
            return self.floating()
        if choice == 5:
            return self.text()
        return self.pick([None, b"", (), [], {}, object(), surface.StrSubclass("x"), 1j])


class Mutator:
    """Changes the list it sits in whenever it is converted, unpacked, hashed or compared."""

    def __init__(self, container, how, junk):
        self.container = container
        self.how = how
        self.junk = junk
        self.hash = object.__hash__(self)

    def mutate(self):
        c = self.container
        if self.how == "clear":
            c.clear()
        elif self.how == "pop" and c:
            c.pop()
        elif self.how == "append" and len(c) < 64:
            c.append(self.junk)
        elif self.how == "extend" and len(c) < 64:
            c.extend([self.junk] * 8)
        elif self.how == "shrink":
            del c[len(c) // 2:]

    def __float__(self):
        self.mutate()
        return 1.0

    def __index__(self):
        self.mutate()
        return 1

    __int__ = __index__

    def __iter__(self):
        self.mutate()
        return iter((1.0, 2.0))

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        self.mutate()
        return False

    def __radd__(self, other):
        self.mutate()
        return 1.0


class Reentrant:
    """An object that, when compared, tested for truth or converted, calls a method of an object of the same
    session (maybe the one it is stored in) with generated arguments, and when destroyed, another; it swallows what
    those raise."""

    def __init__(self, gen, target):
        self.gen = gen
        self.target = target
        self.calls = [None, None]
        self.calls = [gen.session_call(target, CALLBACK_METHODS), gen.session_call(target, DESTRUCTOR_METHODS)]

    def fire(self, which=0):
        # A callback may make further callback objects (a subclass's override returns one): the session's budget
        # ends such chains.
        gen = self.gen
        if self.calls[which] is None or gen.callbacks_left <= 0:
            return
        method, args = self.calls[which]
        self.calls[which] = None
        # A destructor that runs inside a comparison callback (its object was an argument of the callback's call)
        # may be inside the object's locked section too: it keeps to what a comparison callback may call.
        if which == 1 and gen.in_callback and not _may_call(CALLBACK_METHODS, self.target, method):
            return
        gen.callbacks_left -= 1
        if TRACE:
            print(f"callback {type(self.target).__name__}.{method}{args!r:.200}", file=sys.stderr, flush=True)
        gen.in_callback += which == 0
        try:
            with contextlib.suppress(Exception):
                getattr(self.target, method)(*args)
            del args  # their destructors run here, still as part of this callback
        finally:
            gen.in_callback -= which == 0

    def __eq__(self, other):
        self.fire()
        return True

    __hash__ = object.__hash__

    def __bool__(self):
        self.fire()
        return False

    def __int__(self):
        self.fire()
        return 3

    def __float__(self):
        self.fire()
        return 0.25

    def __del__(self):
        self.fire(1)


def _may_call(table, target, name):
    allowed = table.get(type(target).__mro__[-2].__name__, ALL)
    return allowed is ALL or name in allowed


def _session_call(self, target, table):
    """A method of `target` from `table` (by class name) with generated arguments, or None."""
    methods = [m for m in METHODS.get(_class_path(target), []) if _may_call(table, target, m.name.rpartition(".")[2])]
    if not methods:
        return None
    method = self.pick(methods)
    return method.name.rpartition(".")[2], tuple(self.value(p.kind, p.items) for p in method.params)


def _class_path(obj):
    for cls in type(obj).__mro__:
        path = f"{cls.__module__.removeprefix('korvane.')}:{cls.__name__}"
        if path in METHODS:
            return path
    return None


Gen.session_call = _session_call
ALL = object()
TRACE = os.environ.get("KORVANE_FUZZ_TRACE") == "1"  # print callbacks and calls, to read a failing input

# What a callback may call on an object of its session. A callback from a comparison, conversion or truth test may
# run while the object runs Python code under its own lock (a non-reentrant threading.Lock): it may then call only
# what takes no lock, or a call that waits for its own caller would hang by design. The tree compares blocks under
# its writer lock; the policy reads telemetry under its lock. Every other class runs no Python code while it holds
# its lock, so a callback may call anything on it; a hang there is a fault.
CALLBACK_METHODS = {
    "FastRedBlackTree": {"find_best_fit", "find_all_exact", "size", "__len__", "__bool__", "__repr__",
                         "get_statistics", "_sanitize_size", "__reduce__"},
    "AdaptivePolicy": {"__reduce__"},
}
# A destructor runs only when the last reference goes: the tree releases blocks after its write section, so a
# block's destructor may use the tree. The policy still holds telemetry records under its lock.
DESTRUCTOR_METHODS = {"AdaptivePolicy": {"__reduce__"}}

# ---------------------------------------------------------------------------------------------------------------
# Calls.


def call_shape(gen, callable_, args_by_param):
    """Positional and keyword arguments for one call: the usual shape most of the time, a wrong one sometimes."""
    params = callable_.params
    values = [args_by_param[p.name] for p in params]
    shape = gen.fdp.ConsumeIntInRange(0, 19)
    if shape <= 11:  # positional, trailing optional ones sometimes left out
        keep = len(values)
        while keep and params[keep - 1].optional and gen.chance(30):
            keep -= 1
        return values[:keep], {}
    if shape <= 14:  # by keyword
        return [], {p.name: v for p, v in zip(params, values) if not p.optional or gen.chance(70)}
    if shape == 15:  # one too many
        return values + [gen.value("any")], {}
    if shape == 16:  # too few
        return values[:gen.fdp.ConsumeIntInRange(0, max(len(values) - 1, 0))], {}
    if shape == 17 and params:  # a keyword for a parameter already given
        p = gen.pick(params)
        return values, {p.name: args_by_param[p.name]}
    if shape == 18:  # an unknown keyword
        return values, {gen.pick(["step", "self", "size_", "Size", "x"]): gen.value("any")}
    split = gen.fdp.ConsumeIntInRange(0, len(values))
    return values[:split], {p.name: v for p, v in zip(params[split:], values[split:])}


def invoke(gen, callable_, function, selves=()):
    """Calls `function` with generated arguments for `callable_`; returns the result, or None when the call
    raised what the callable raises on purpose."""
    args_by_param = {p.name: gen.value(p.kind, p.items) for p in callable_.params}
    if callable_.bounded is not None and not callable_.bounded(args_by_param):
        return None
    if callable_.varargs:
        args, kwargs = [gen.value("any") for _ in range(gen.fdp.ConsumeIntInRange(0, 3))], {}
        if gen.chance(30):
            kwargs["key"] = gen.value("any")
    else:
        args, kwargs = call_shape(gen, callable_, args_by_param)
    if TRACE:
        print(f"call {callable_.path}{tuple(args)!r:.300} {kwargs!r:.200}", file=sys.stderr, flush=True)
    try:
        return function(*selves, *args, **kwargs)
    except surface.documented(callable_):
        return None
    except Exception as error:
        raise Unexpected(f"{callable_.path}{tuple(args)!r:.300} {kwargs!r:.300} raised "
                         f"{type(error).__name__}: {error}") from error


# ---------------------------------------------------------------------------------------------------------------
# Sessions.


def function_session(gen):
    for _ in range(gen.fdp.ConsumeIntInRange(1, 4)):
        callable_ = gen.pick(FUNCTIONS)
        _, function = surface.lookup(callable_)
        invoke(gen, callable_, function)


def _subclasses():
    """Subclasses that override what a class calls on itself, returning odd values or raising."""

    def odd(gen):
        return gen.value("any")

    class Tree(orvelle.FastRedBlackTree):
        gen = None

        @staticmethod
        def _sanitize_size(size):
            return odd(Tree.gen) if Tree.gen.chance(50) else size

        def size(self):
            return odd(Tree.gen)

    class Aggregator(hoskett.CounterAggregator):
        gen = None

        def get_stats(self, counter_id):
            return odd(Aggregator.gen) if Aggregator.gen.chance(50) else super().get_stats(counter_id)

    class Allocator(draskel.FastBucketAllocator):
        gen = None

        def _init_buckets(self):
            if Allocator.gen.chance(50):
                raise surface.HostileError("_init_buckets")

    class Statistics(tessin.LockFreeStatistics):
        gen = None

        def _update_peaks(self, current_allocs, current_bytes):
            return odd(Statistics.gen)

    class Timer(tessin.PerformanceTimer):
        gen = None

        def elapsed_ns(self):
            return odd(Timer.gen)

    return {c.__mro__[1]: c for c in (Tree, Aggregator, Allocator, Statistics, Timer)}


SUBCLASSES = _subclasses()
LOCKING_MODULES = {tessin, orvelle, draskel, melquor, hoskett}  # they make their locks with threading.Lock()


def construct(gen, ctor):
    """An instance of the class of `ctor`, or None when construction raised what it raises on purpose."""
    module, cls = surface.lookup(ctor)
    if cls in SUBCLASSES and gen.chance(25):
        cls = SUBCLASSES[cls]
        cls.gen = gen
    with contextlib.ExitStack() as stack:
        choice = gen.fdp.ConsumeIntInRange(0, 9)
        if choice == 0 and module in LOCKING_MODULES:
            mode = gen.pick(["enter", "exit", "swallow", "plain"])
            stack.enter_context(surface.patched(module, "threading", surface.HostileThreading(mode)))
        elif choice == 1 and module is orvelle:
            counter = gen.pick([surface.RaisingCounter, surface.OddCounter, None])
            stack.enter_context(surface.patched(orvelle, "AtomicCounter", counter))
            if counter is None:
                stack.enter_context(surface.patched(orvelle, "ATOMIC_AVAILABLE", gen.value("truth")))
        obj = invoke(gen, ctor, cls)
    if module is orvelle and gen.chance(10):
        # The tree reads time.perf_counter_ns (records) and time.sleep (readers) at each call: the stand-in stays
        # for the session.
        gen.restore.append(surface.patched(orvelle, "time", OddModule(gen, callbacks=False)))
        gen.restore[-1].__enter__()
    return obj


def object_session(gen):
    ctor = gen.pick(CLASSES)
    obj = construct(gen, ctor)
    if obj is None:
        return
    gen.session.append(obj)
    methods = METHODS[ctor.path]
    attributes = ATTRIBUTES.get(ctor.path, [])
    for _ in range(gen.fdp.ConsumeIntInRange(1, 12)):
        if attributes and gen.chance(15):
            name, kind = gen.pick(attributes)
            write_attribute(gen, obj, name, kind)
        elif methods:
            method = gen.pick(methods)
            name = method.name.rpartition(".")[2]
            static = isinstance(inspect.getattr_static(type(obj), name), staticmethod)
            invoke(gen, method, getattr(type(obj), name), () if static else (obj,))


def write_attribute(gen, obj, name, kind):
    try:
        if gen.chance(85):
            setattr(obj, name, gen.value(kind if kind != "ro" else "any"))
        else:
            delattr(obj, name)
        getattr(obj, name)
    except surface.CONVERSION_RAISES + surface.ATTRIBUTE_RAISES + (ValueError, surface.HostileError):
        pass


class OddModule:
    """A stand-in for a host module: each attribute raises, or is a function returning a generated value, or
    is a generated value. With `callbacks` false its values never call back into the session: the tree calls
    time.perf_counter_ns under its writer lock (as it must), and a value whose destructor waited for that lock
    would hang by design."""

    def __init__(self, gen, callbacks=True):
        self.gen = gen
        self.callbacks = callbacks

    def __getattr__(self, name):
        gen = self.gen
        if gen.chance(40):
            raise surface.HostileError(name)
        depth, gen.depth = gen.depth, (gen.depth if self.callbacks else MAX_DEPTH)
        try:
            value = gen.value("any") if gen.chance(60) else gen.integer()
        finally:
            gen.depth = depth
        return (lambda *a, **k: value) if gen.chance(80) else value


def descriptor_session(gen):
    """The function and class objects themselves: methods called unbound on objects of any type, bound through
    __get__ with odd arguments, constructors asked for instances of other classes, and function attributes
    written and deleted."""
    callable_ = gen.pick(surface.CALLABLES)
    _, target = surface.lookup(callable_)
    objects = [gen.value("any"), None]
    other = gen.pick(CLASSES)
    instance = construct(gen, other)
    if instance is not None:
        objects.append(instance)
        gen.session.append(instance)
    for _ in range(gen.fdp.ConsumeIntInRange(1, 6)):
        action = gen.fdp.ConsumeIntInRange(0, 4)
        try:
            if action == 0:
                target(gen.pick(objects), *(gen.value(p.kind, p.items) for p in callable_.params))
            elif action == 1 and hasattr(target, "__get__"):
                bound = target.__get__(gen.pick(objects), gen.pick([None, type(gen.pick(objects)), int, object]))
                if callable(bound):
                    bound()
            elif action == 2 and isinstance(target, type):
                target.__new__(surface.lookup(gen.pick(CLASSES))[1])
            elif action == 3:
                name = gen.pick(["__doc__", "__module__", "__name__", "__qualname__", "__defaults__",
                                 "__annotations__", "__dict__", "__text_signature__"])
                if name in vars(target) if isinstance(target, type) else hasattr(target, name):
                    # Put back when the input ends, so that every input starts from the same modules.
                    gen.restore.append(surface.patched(target, name, getattr(target, name)))
                    gen.restore[-1].__enter__()
                if gen.chance(70):
                    setattr(target, name, gen.value("any"))
                else:
                    delattr(target, name)
            else:
                repr(target), str(target), getattr(target, "__defaults__", None), getattr(target, "__doc__", None)
        except SystemError as error:
            raise Unexpected(f"{callable_.path}: SystemError: {error}") from error
        except Exception:
            # Wrong receivers, read-only attributes and unbindable objects raise whatever the interpreter's own
            # descriptors raise there; only a crash or a SystemError is a fault.
            pass


def platform_session(gen):
    """The probes, with their module attributes replaced by objects that raise or answer oddly."""
    names = ["os", "sys", "time", "detect_gpu_backends", "detect_physical_cores", "detect_python_version"]
    with contextlib.ExitStack() as stack:
        for name in names:
            if gen.chance(30):
                stack.enter_context(surface.patched(vandris, name, OddModule(gen)))
        for _ in range(gen.fdp.ConsumeIntInRange(1, 3)):
            callable_ = gen.pick([c for c in FUNCTIONS if c.module == vandris.__name__])
            _, function = surface.lookup(callable_)
            try:
                function()
            except SystemError as error:
                raise Unexpected(f"{callable_.path} raised SystemError: {error}") from error
            except Exception:
                # Probes degrade on errors of the platform; what they let through (time.perf_counter before the
                # guard, the fallback dict, detect_python_version) comes from the stand-ins, of any type.
                pass


def release(gen):
    """Ends the session. What its stacks and pointers hold is dropped first and separately: the collector does not
    look through them (by design), so a cycle through their items would outlive the input and slow every later
    collection. Destructors that run meanwhile may store new items; after a first round callbacks stop, as they
    would otherwise fire whenever a later collection finds this session's leftovers."""
    holders = [o for o in gen.session if isinstance(o, (tessin.LockFreeStack, tessin.AtomicPointer))]
    gen.session.clear()
    for last in (False, True):
        if last:
            gen.callbacks_left = 0
        for _ in range(100):
            gc.collect(0)
            busy = False
            for obj in holders:
                with contextlib.suppress(Exception):
                    if isinstance(obj, tessin.LockFreeStack):
                        while not obj.is_empty():
                            busy = True
                            obj.pop()
                    elif obj.load() is not None:
                        busy = True
                        obj.store(None)
            if not busy:
                break


INPUTS = [0]


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    gen = Gen(fdp, [])
    kind = fdp.ConsumeIntInRange(0, 10)
    try:
        if kind <= 3:
            function_session(gen)
        elif kind <= 8:
            object_session(gen)
        elif kind == 9:
            platform_session(gen)
        else:
            descriptor_session(gen)
        release(gen)
        # Destructors of the session's cycles run now, inside this input; a full collection now and then.
        INPUTS[0] += 1
        gc.collect(0 if INPUTS[0] % 256 else 2)
    finally:
        for patch in reversed(gen.restore):
            with contextlib.suppress(Exception):
                patch.__exit__(None, None, None)
        melquor.reset_melquor()


def instrument_harness():
    """The native code carries no coverage instrumentation (it is built with g++): coverage of this harness's own
    choices guides the search. Instrumenting the whole interpreter's Python code as well would only slow it down."""
    module = sys.modules[__name__]
    for name, value in list(vars(module).items()):
        if inspect.isfunction(value) and value.__module__ == __name__:
            setattr(module, name, atheris.instrument_func(value))
        elif inspect.isclass(value) and value.__module__ == __name__:
            for attr, member in list(vars(value).items()):
                if inspect.isfunction(member):
                    setattr(value, attr, atheris.instrument_func(member))


class QuickTime:
    """The tree's `time` for the campaign: a reader that finds a write in progress (a callback from inside a write
    section) backs off 100 times; without the 0.1 ms sleeps the input runs at full speed."""

    perf_counter_ns = staticmethod(time.perf_counter_ns)

    @staticmethod
    def sleep(seconds):
        pass


def main():
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)
    orvelle.time = QuickTime
    instrument_harness()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
