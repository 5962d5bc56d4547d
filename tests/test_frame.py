"""What every extension module shares: import steps, module attributes, class traits, function objects, binding."""
import builtins
import copy
import gc
import importlib
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

MODULES = [
    "korvane.memory.tessin",
    "korvane.memory.orvelle",
    "korvane.memory.draskel",
    "korvane.jit.melquor",
    "korvane.native.vandris",
    "korvane.plugins.analyzer.solvane",
    "korvane.monitoring.hoskett",
    "korvane.plugins.analyzer.brevanti",
    "korvane.gpu.fendral",
]


def available_modules():
    found = []
    for name in MODULES:
        try:
            found.append(importlib.import_module(name))
        except ImportError:
            pass
    return found


def native_classes():
    for module in available_modules():
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == module.__name__ and "__reduce__" in vars(value):
                yield value


@pytest.fixture(params=MODULES)
def module(request):
    return pytest.importorskip(request.param)


def test_module_attributes(module):
    assert module.__builtins__ is builtins
    assert module.__test__ == {}
    assert module.__package__ == module.__name__.rpartition(".")[0]
    assert module.__file__.endswith(".so")
    # A second import hands importlib the same module object and a new spec; the loader stays the first one.
    assert type(module.__loader__) is type(module.__spec__.loader)
    assert module.__loader__.name == module.__name__
    assert not hasattr(module, "__path__")
    assert sys.modules[module.__name__] is module
    assert module.__doc__


def test_second_import_returns_the_same_object(module):
    name = module.__name__
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = module
    assert again is module
    # Executing the module once more on the same object is a no-op.
    module.__spec__.loader.exec_module(module)


def test_native_classes_refuse_pickling_and_weakrefs():
    classes = list(native_classes())
    assert classes, "no native class found"
    for cls in classes:
        reduce_hook = vars(cls)["__reduce__"]
        setstate_hook = vars(cls)["__setstate__"]
        assert reduce_hook.__qualname__ == cls.__name__ + ".__reduce__"
        assert cls.__qualname__ == cls.__name__
        try:
            instance = cls()
        except TypeError:
            continue  # needs constructor arguments; its own tests cover it
        with pytest.raises(TypeError, match=r"^__reduce__\(\) takes exactly 0 positional arguments \(1 given\)$"):
            reduce_hook(instance, 1)
        with pytest.raises(TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument \(0 given\)$"):
            setstate_hook(instance)
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(instance)
        with pytest.raises(TypeError):
            weakref.ref(instance)
        with pytest.raises(AttributeError):
            instance.attribute_that_is_not_declared = 1


@pytest.mark.parametrize(
    "operation",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__(None)],
)
def test_pickling_and_copying_are_refused(operation):
    from korvane.memory.tessin import AtomicCounter

    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        operation(AtomicCounter(1))


def test_instances_have_no_dict_and_no_weakrefs():
    from korvane.memory.tessin import AtomicCounter

    c = AtomicCounter(1)
    with pytest.raises(AttributeError):
        c.foo = 1
    with pytest.raises(AttributeError):
        c.__dict__
    with pytest.raises(TypeError):
        weakref.ref(c)
    with pytest.raises(TypeError):
        AtomicCounter.load = None


def test_default_identity_equality_hash_and_repr():
    from korvane.memory.tessin import AtomicCounter

    a, b = AtomicCounter(1), AtomicCounter(1)
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)
    assert repr(a) == f"<korvane.memory.tessin.AtomicCounter object at {hex(id(a))}>"
    assert AtomicCounter.__module__ == "korvane.memory.tessin"
    assert AtomicCounter.__qualname__ == "AtomicCounter"


def test_subclasses_get_a_dict_and_run_the_native_initialiser():
    from korvane.memory.tessin import AtomicCounter

    class Named(AtomicCounter):
        def __init__(self, initial_value=0, name="x"):
            self.name = name

    n = Named(4)
    assert n.load() == 4 and n.name == "x"
    assert n.increment() == 5
    weakref.ref(n)
    # The native initialiser binds the constructor arguments under its own name.
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'name'$"):
        Named(4, name="y")


def test_function_objects_bind_like_methods():
    from korvane.memory.tessin import AtomicCounter

    c = AtomicCounter(3)
    f = AtomicCounter.__dict__["increment"]
    assert AtomicCounter.increment is f
    assert f.__get__(None, AtomicCounter) is f
    bound = c.increment
    assert bound.__self__ is c and bound.__func__ is f
    assert bound() == 4
    assert f(c, 2) == 6
    assert f(c, delta=2) == 8
    with pytest.raises(TypeError, match=r"^descriptor 'increment' of 'korvane.memory.tessin.AtomicCounter' object needs an argument$"):
        f()
    with pytest.raises(TypeError, match=r"^descriptor 'increment' for 'korvane.memory.tessin.AtomicCounter' objects doesn't apply to a 'int' object$"):
        f(5)
    assert repr(f).startswith("<function AtomicCounter.increment at 0x")


@pytest.mark.parametrize("make", ["T()", "T.__new__(T)", "object.__new__(T)"])
def test_the_function_type_cannot_be_instantiated(make):
    # An instance made from Python would have none of its fields: its repr or a call of it crashed the process.
    result = run_python(
        f"""
        import importlib
        for name in {MODULES!r}:
            module = importlib.import_module(name)
            functions = [v for v in vars(module).values() if type(v).__name__ == "korvane_function"]
            functions += [m for c in vars(module).values() if isinstance(c, type) and c.__module__ == name
                          for m in vars(c).values() if type(m).__name__ == "korvane_function"]
            T = type(functions[0])
            try:
                f = {make}
            except TypeError:
                continue
            print("made", name, repr(f), f())
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"


def test_calls_through_call_protocol_and_keyword_dicts():
    from korvane.memory.tessin import AtomicCounter

    c = AtomicCounter(0)
    assert c.increment(*(), **{"delta": 5}) == 5
    assert AtomicCounter.compare_and_swap(*(c, 5), **{"new_value": 1}) is True
    with pytest.raises(TypeError, match="keywords must be strings"):
        c.increment(**{1: 2})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda C: C(**{1: 2}), "__cinit__() keywords must be strings"),
        (lambda C: C(0, initial_value=1), "__cinit__() got multiple values for keyword argument 'initial_value'"),
        (lambda C: C(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
        (lambda C: C(value=1), "__cinit__() got an unexpected keyword argument 'value'"),
    ],
)
def test_native_initialiser_binds_like_a_method(call, message):
    from korvane.memory.tessin import AtomicCounter

    with pytest.raises(TypeError) as info:
        call(AtomicCounter)
    assert str(info.value) == message


def test_int_conversion_rules():
    from korvane.memory.tessin import AtomicCounter

    class IndexOnly:
        def __index__(self):
            return 3

    class IntReturnsFloat:
        def __int__(self):
            return 1.5

    class IntSubclass(int):
        pass

    class IntReturnsSubclass:
        def __int__(self):
            return IntSubclass(7)

    c = AtomicCounter(0)
    with pytest.raises(TypeError, match="^an integer is required$"):
        c.store(IndexOnly())
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
        c.store(IntReturnsFloat())
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSubclass\)\.  The ability"):
        c.store(IntReturnsSubclass())
    assert c.load() == 7
    c.store(IntSubclass(9))
    assert c.load() == 9


def test_gc_collects_cycles_through_subclass_instances():
    from korvane.memory.tessin import AtomicCounter

    class Holder(AtomicCounter):
        pass

    h = Holder(0)
    h.me = h
    ref = weakref.ref(h)
    del h
    gc.collect()
    assert ref() is None


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_failed_import_drops_the_module_and_a_later_import_starts_afresh():
    r = run_python(
        """
        import sys
        sys.modules["typing"] = None
        try:
            import korvane.memory.tessin
        except ImportError as e:
            print("first:", type(e).__name__)
        assert "korvane.memory.tessin" not in sys.modules
        del sys.modules["typing"]
        import korvane.memory.tessin as t
        print("second:", t.AtomicCounter(2).increment(), t.VEXEL_ATOMICS_AVAILABLE)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:2] == ["first: ModuleNotFoundError", "second: 3 True"]
