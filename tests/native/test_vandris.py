"""Tests of korvane.native.vandris, the platform probes.

The probes read os, sys, time, subprocess, ctypes and the GPU registry at every
call, so most tests replace those (module attributes or sys.modules entries)
with small fakes; a few run the real probes on this machine.
"""

import collections
import importlib.abc
import os
import subprocess
import sys
import textwrap
import time
import types

import pytest

from korvane.gpu import caddow
from korvane.native import vandris

NODE_DIR = "/sys/devices/system/node"
GPU_KEYS = [
    "has_gpu",
    "gpu_count",
    "gpu_memory_mb",
    "cuda_available",
    "rocm_available",
    "oneapi_available",
    "active_backend",
    "backend_version",
]
GPU_DEFAULTS = {
    "has_gpu": False,
    "gpu_count": 0,
    "gpu_memory_mb": 0,
    "cuda_available": False,
    "rocm_available": False,
    "oneapi_available": False,
    "active_backend": "cpu",
    "backend_version": "",
}
SUCCESS_KEYS = (
    ["physical_cores", "numa_nodes"]
    + GPU_KEYS
    + ["python_version", "subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms"]
)
FALLBACK_KEYS = SUCCESS_KEYS[:-1] + ["error", "detection_time_ms"]
NVIDIA_ARGS = ["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"]

VersionInfo = collections.namedtuple("VersionInfo", "major minor micro releaselevel serial")


def fake_sys(platform="linux", version=(3, 9, 7)):
    return types.SimpleNamespace(platform=platform, version_info=VersionInfo(*version, "final", 0))


def fake_os(affinity=None, cpu_count=8, exists=None, listdir=None):
    """An os stand-in; affinity/cpu_count may be values or callables."""
    ns = types.SimpleNamespace()
    if affinity is not None:
        ns.sched_getaffinity = affinity if callable(affinity) else (lambda pid: set(affinity))
    ns.cpu_count = cpu_count if callable(cpu_count) else (lambda: cpu_count)
    ns.path = types.SimpleNamespace(exists=exists or (lambda p: False))
    ns.listdir = listdir or (lambda p: [])
    return ns


def raiser(exc):
    def f(*args, **kwargs):
        raise exc

    return f


class BlockImports(importlib.abc.MetaPathFinder):
    """A meta-path finder that makes importing the given names raise."""

    def __init__(self, names, exc):
        self.names = names
        self.exc = exc

    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            raise self.exc
        return None


@pytest.fixture
def block_imports(monkeypatch):
    def install(names, exc):
        for name in names:
            monkeypatch.delitem(sys.modules, name, raising=False)
        monkeypatch.setattr(sys, "meta_path", [BlockImports(names, exc)] + sys.meta_path)

    return install


# ---------------------------------------------------------------------------
# Module surface
# ---------------------------------------------------------------------------

FUNCTIONS = [
    "detect_physical_cores",
    "detect_numa_nodes",
    "detect_gpu_backends",
    "detect_python_version",
    "detect_capabilities",
]


def test_module_attributes_in_import_order():
    names = list(vars(vandris))
    bound = ["sys", "os", "time"] + FUNCTIONS + ["__test__"]
    positions = [names.index(n) for n in bound]
    assert positions == sorted(positions)
    assert vandris.sys is sys and vandris.os is os and vandris.time is time
    assert vandris.__test__ == {}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_take_no_arguments(name):
    func = getattr(vandris, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "korvane.native.vandris"
    assert func.__defaults__ is None
    with pytest.raises(TypeError) as info:
        func(1)
    assert str(info.value) == f"{name}() takes exactly 0 positional arguments (1 given)"
    with pytest.raises(TypeError) as info:
        func(flag=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'flag'"


def test_import_logs_nothing_and_loads_no_registry():
    code = textwrap.dedent(
        """
        import logging, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="LOG %(name)s %(message)s")
        import korvane.native.vandris as v
        print("caddow" if "korvane.gpu.caddow" in sys.modules else "no-caddow")
        v.detect_capabilities()
        print("done")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/", check=True)
    assert out.stdout.split() == ["no-caddow", "done"]


# ---------------------------------------------------------------------------
# detect_physical_cores
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "os_kwargs, expected",
    [
        ({"affinity": {0, 5}, "cpu_count": 8}, 2),  # the affinity mask wins over the CPU count
        ({"affinity": set(), "cpu_count": 8}, 1),  # an empty mask still reports one CPU
        ({"cpu_count": 6}, 6),
        ({"cpu_count": None}, 1),
        ({"cpu_count": 0}, 1),
        ({"cpu_count": -3}, 1),
        ({"cpu_count": 3.7}, 3),  # converted as a 32-bit integer, truncated
        ({"affinity": raiser(OSError("no affinity")), "cpu_count": 4}, 4),
        ({"affinity": raiser(OSError("no affinity")), "cpu_count": None}, 1),
        ({"cpu_count": "many"}, None),  # conversion fails, the retry fails the same way
    ],
)
def test_physical_cores(monkeypatch, os_kwargs, expected):
    monkeypatch.setattr(vandris, "os", fake_os(**os_kwargs))
    if expected is None:
        with pytest.raises(TypeError):
            vandris.detect_physical_cores()
    else:
        result = vandris.detect_physical_cores()
        assert type(result) is int and result == expected


def test_physical_cores_fallback_error_propagates(monkeypatch):
    monkeypatch.setattr(
        vandris, "os", fake_os(affinity=raiser(OSError("no affinity")), cpu_count=raiser(RuntimeError("boom")))
    )
    with pytest.raises(RuntimeError, match="boom"):
        vandris.detect_physical_cores()


def test_physical_cores_passes_pid_zero(monkeypatch):
    seen = []
    monkeypatch.setattr(vandris, "os", fake_os(affinity=lambda pid: seen.append(pid) or {1, 2, 3}))
    assert vandris.detect_physical_cores() == 3
    assert seen == [0]


def test_physical_cores_base_exception_escapes(monkeypatch):
    monkeypatch.setattr(vandris, "os", fake_os(affinity=raiser(KeyboardInterrupt())))
    with pytest.raises(KeyboardInterrupt):
        vandris.detect_physical_cores()


def test_physical_cores_real():
    expected = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    assert vandris.detect_physical_cores() == expected


# ---------------------------------------------------------------------------
# detect_numa_nodes
# ---------------------------------------------------------------------------


def listing_os(monkeypatch, directory):
    """Point vandris at a fake os whose NUMA directory is `directory` (or missing when None)."""
    asked = []

    def exists(path):
        asked.append(("exists", path))
        return directory is not None and os.path.exists(directory)

    def listdir(path):
        asked.append(("listdir", path))
        return os.listdir(directory)

    monkeypatch.setattr(vandris, "os", fake_os(exists=exists, listdir=listdir))
    monkeypatch.setattr(vandris, "sys", fake_sys("linux"))
    return asked


@pytest.mark.parametrize(
    "entries, expected",
    [
        (["node0", "node1", "possible", "online", "has_cpu"], 2),
        (["node0", "node1", "node2", "node3"], 4),
        (["possible", "online", "has_cpu"], 1),
        (["node", "nodeX", "node1a", "xnode1", "NODE1"], 1),  # none of these is a node directory
        (["node12", "node"], 1),
        ([], 1),
    ],
)
def test_numa_nodes_linux_listing(monkeypatch, tmp_path, entries, expected):
    for name in entries:
        (tmp_path / name).mkdir()
    asked = listing_os(monkeypatch, str(tmp_path))
    result = vandris.detect_numa_nodes()
    assert type(result) is int and result == expected
    assert asked == [("exists", NODE_DIR), ("listdir", NODE_DIR)]


def test_numa_nodes_linux_missing_directory(monkeypatch):
    asked = listing_os(monkeypatch, None)
    assert vandris.detect_numa_nodes() == 1
    assert asked == [("exists", NODE_DIR)]


@pytest.mark.parametrize(
    "listdir",
    [raiser(PermissionError("denied")), lambda p: [b"node0", b"node1"], lambda p: 42],
)
def test_numa_nodes_linux_listing_failure(monkeypatch, listdir):
    monkeypatch.setattr(vandris, "os", fake_os(exists=lambda p: True, listdir=listdir))
    monkeypatch.setattr(vandris, "sys", fake_sys("linux"))
    assert vandris.detect_numa_nodes() == 1


@pytest.mark.parametrize("platform", ["darwin", "freebsd13", "cygwin", "linux2"])
def test_numa_nodes_other_platforms(monkeypatch, platform, block_imports):
    asked = []
    monkeypatch.setattr(vandris, "os", fake_os(exists=asked.append, listdir=asked.append))
    monkeypatch.setattr(vandris, "sys", fake_sys(platform))
    block_imports({"ctypes"}, AssertionError("ctypes is for win32 only"))
    assert vandris.detect_numa_nodes() == 1
    assert asked == []


def test_numa_nodes_real():
    if sys.platform == "linux" and os.path.exists(NODE_DIR):
        expected = sum(1 for n in os.listdir(NODE_DIR) if n.startswith("node") and n[4:].isdigit()) or 1
    else:
        expected = 1
    assert vandris.detect_numa_nodes() == expected


class FakeCtypes:
    """The slice of ctypes (and ctypes.wintypes) that the Windows probe uses."""

    def __init__(self, ok=1, highest=0, windll_error=None):
        calls = self.calls = []

        class Function:
            restype = None
            argtypes = None

            def __call__(self, ref):
                calls.append(("call", type(ref.obj).__name__))
                ref.obj.value = highest
                return ok

        class c_ulong:
            def __init__(self):
                self.value = 0

        def WinDLL(name, **kwargs):
            calls.append(("WinDLL", name, kwargs))
            if windll_error is not None:
                raise windll_error
            return types.SimpleNamespace(GetNumaHighestNodeNumber=self.function)

        self.function = Function()
        self.wintypes = types.ModuleType("ctypes.wintypes")
        self.wintypes.BOOL = "BOOL"
        self.module = types.ModuleType("ctypes")
        self.module.wintypes = self.wintypes
        self.module.WinDLL = WinDLL
        self.module.c_ulong = c_ulong
        self.module.POINTER = lambda t: ("POINTER", t)
        self.module.byref = lambda obj: types.SimpleNamespace(obj=obj)

    def install(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "ctypes", self.module)
        monkeypatch.setitem(sys.modules, "ctypes.wintypes", self.wintypes)
        monkeypatch.setattr(vandris, "sys", fake_sys("win32"))
        monkeypatch.setattr(vandris, "os", fake_os(exists=raiser(AssertionError("not asked"))))


@pytest.mark.parametrize("ok, highest, expected", [(1, 0, 1), (True, 3, 4), (0, 3, 1), (False, 7, 1)])
def test_numa_nodes_windows(monkeypatch, ok, highest, expected):
    fake = FakeCtypes(ok=ok, highest=highest)
    fake.install(monkeypatch)
    result = vandris.detect_numa_nodes()
    assert type(result) is int and result == expected
    assert fake.calls == [("WinDLL", "kernel32", {"use_last_error": True}), ("call", "c_ulong")]
    assert fake.function.restype == "BOOL"
    assert fake.function.argtypes == [("POINTER", fake.module.c_ulong)]


def test_numa_nodes_windows_library_failure(monkeypatch):
    fake = FakeCtypes(windll_error=OSError("no kernel32"))
    fake.install(monkeypatch)
    assert vandris.detect_numa_nodes() == 1


def test_numa_nodes_windows_without_ctypes(monkeypatch):
    monkeypatch.setitem(sys.modules, "ctypes", None)
    monkeypatch.setattr(vandris, "sys", fake_sys("win32"))
    assert vandris.detect_numa_nodes() == 1


def test_numa_nodes_platform_read_error(monkeypatch):
    class BrokenSys:
        @property
        def platform(self):
            raise RuntimeError("no platform")

    monkeypatch.setattr(vandris, "sys", BrokenSys())
    assert vandris.detect_numa_nodes() == 1


# ---------------------------------------------------------------------------
# detect_python_version
# ---------------------------------------------------------------------------


def test_python_version_real():
    v = sys.version_info
    expected_text = f"{v.major}.{v.minor}.{v.micro}"
    text, support = vandris.detect_python_version()
    assert type(text) is str and text == expected_text
    if v < (3, 12):
        assert support is False
    else:
        try:
            import _xxsubinterpreters  # noqa: F401

            assert support is True
        except ImportError:
            assert support is False


def test_python_version_before_312_does_not_import(monkeypatch, block_imports):
    block_imports({"_xxsubinterpreters"}, RuntimeError("must not be imported"))
    monkeypatch.setattr(vandris, "sys", fake_sys(version=(3, 11, 4)))
    result = vandris.detect_python_version()
    assert type(result) is tuple and result == ("3.11.4", False)


def test_python_version_312_with_subinterpreters(monkeypatch):
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", types.ModuleType("_xxsubinterpreters"))
    monkeypatch.setattr(vandris, "sys", fake_sys(version=(3, 12, 1)))
    assert vandris.detect_python_version() == ("3.12.1", True)


def test_python_version_312_without_subinterpreters(monkeypatch):
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", None)
    monkeypatch.setattr(vandris, "sys", fake_sys(version=(3, 13, 0)))
    assert vandris.detect_python_version() == ("3.13.0", False)


def test_python_version_other_import_error_propagates(monkeypatch, block_imports):
    block_imports({"_xxsubinterpreters"}, RuntimeError("broken finder"))
    monkeypatch.setattr(vandris, "sys", fake_sys(version=(3, 12, 0)))
    with pytest.raises(RuntimeError, match="broken finder"):
        vandris.detect_python_version()


# ---------------------------------------------------------------------------
# detect_gpu_backends
# ---------------------------------------------------------------------------


class Kind:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Kind({self.value!r})"


def fake_registry(monkeypatch, backends, best_kind, version="", best_error=None, detect_error=None):
    """Install a fake korvane.gpu.caddow whose registry reports `backends` and ranks `best_kind` best."""
    module = types.ModuleType("korvane.gpu.caddow")
    module.GPUBackendKind = types.SimpleNamespace(CUDA=KINDS["cuda"], ROCm=KINDS["rocm"], oneAPI=KINDS["oneapi"])
    calls = []

    class GPUBackendRegistry:
        @classmethod
        def detect_available_backends(cls):
            calls.append("detect_available_backends")
            if detect_error is not None:
                raise detect_error
            return backends

        @classmethod
        def get_best_available(cls):
            calls.append("get_best_available")
            if best_error is not None:
                raise best_error
            info = types.SimpleNamespace(kind=best_kind, version=version)
            return types.SimpleNamespace(info=info)

    module.GPUBackendRegistry = GPUBackendRegistry
    monkeypatch.setitem(sys.modules, "korvane.gpu.caddow", module)
    return calls


KINDS = {name: Kind(name) for name in ("cuda", "rocm", "oneapi", "cpu")}


def devices(count, memory_gb):
    return types.SimpleNamespace(device_count=count, memory_gb=memory_gb)


class FakeSubprocess:
    def __init__(self, returncode=0, stdout=b"", error=None):
        self.calls = []
        self.module = types.ModuleType("subprocess")
        fake = self

        def run(*args, **kwargs):
            fake.calls.append((args, list(kwargs.items())))
            if error is not None:
                raise error
            return types.SimpleNamespace(returncode=returncode, stdout=stdout)

        self.module.run = run

    def install(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "subprocess", self.module)
        return self

    def assert_ran_once(self):
        assert self.calls == [((NVIDIA_ARGS,), [("capture_output", True), ("timeout", 0.5), ("check", False)])]


def no_registry(monkeypatch):
    monkeypatch.setitem(sys.modules, "korvane.gpu.caddow", None)


def test_gpu_registry_cuda_best(monkeypatch):
    calls = fake_registry(monkeypatch, {KINDS["cuda"]: devices(2, 15.9)}, KINDS["cuda"], "12.2")
    smi = FakeSubprocess(error=AssertionError("no fallback expected")).install(monkeypatch)
    result = vandris.detect_gpu_backends()
    assert list(result) == GPU_KEYS
    assert result == {
        "has_gpu": True,
        "gpu_count": 2,
        "gpu_memory_mb": 16281,
        "cuda_available": True,
        "rocm_available": False,
        "oneapi_available": False,
        "active_backend": "cuda",
        "backend_version": "12.2",
    }
    assert calls == ["detect_available_backends", "get_best_available"]
    assert smi.calls == []


def test_gpu_registry_cpu_best_ignores_gpu_devices(monkeypatch):
    backends = {KINDS["rocm"]: devices(4, 64.0), KINDS["oneapi"]: devices(1, 8.0)}
    fake_registry(monkeypatch, backends, KINDS["cpu"], "n/a")
    result = vandris.detect_gpu_backends()
    assert result == dict(
        GPU_DEFAULTS, rocm_available=True, oneapi_available=True, active_backend="cpu", backend_version="n/a"
    )
    assert list(result) == GPU_KEYS


def test_gpu_best_missing_from_backends_leaves_counts(monkeypatch):
    fake_registry(monkeypatch, {}, KINDS["rocm"], "6.0")
    result = vandris.detect_gpu_backends()
    assert result == dict(GPU_DEFAULTS, has_gpu=True, active_backend="rocm", backend_version="6.0")


def test_gpu_values_are_stored_as_reported(monkeypatch):
    count = object()  # device_count is stored unchanged
    fake_registry(monkeypatch, {KINDS["oneapi"]: devices(count, -0.0015)}, KINDS["oneapi"], "2024.1")
    result = vandris.detect_gpu_backends()
    assert result["gpu_count"] is count
    assert type(result["gpu_memory_mb"]) is int and result["gpu_memory_mb"] == -1  # truncated toward zero
    assert result["oneapi_available"] is True


def test_gpu_best_failure_keeps_flags_and_runs_fallback(monkeypatch):
    fake_registry(monkeypatch, {KINDS["cuda"]: devices(1, 8.0)}, KINDS["cuda"], best_error=RuntimeError("x"))
    smi = FakeSubprocess(returncode=9).install(monkeypatch)
    result = vandris.detect_gpu_backends()
    assert result == dict(GPU_DEFAULTS, cuda_available=True)
    smi.assert_ran_once()


class RaisingMembership(dict):
    """A backends mapping whose membership test fails for one kind."""

    def __init__(self, items, failing):
        super().__init__(items)
        self.failing = failing

    def __contains__(self, kind):
        if kind is self.failing:
            raise RuntimeError("membership")
        return super().__contains__(kind)


class VersionFails:
    kind = KINDS["cuda"]

    @property
    def version(self):
        raise RuntimeError("version")


@pytest.mark.parametrize(
    "backends, info, expected",
    [
        # The CUDA flag is stored before the ROCm test fails; nothing later is stored.
        (
            RaisingMembership({KINDS["cuda"]: devices(1, 8.0)}, KINDS["rocm"]),
            types.SimpleNamespace(kind=KINDS["cuda"], version="12.2"),
            dict(GPU_DEFAULTS, cuda_available=True),
        ),
        # The active back-end is stored before its version fails; has_gpu is not yet computed.
        (
            {KINDS["cuda"]: devices(1, 8.0)},
            VersionFails(),
            dict(GPU_DEFAULTS, cuda_available=True, active_backend="cuda"),
        ),
        # Everything up to the device count is stored before the memory figure fails.
        (
            {KINDS["cuda"]: devices(3, float("nan"))},
            types.SimpleNamespace(kind=KINDS["cuda"], version="12.2"),
            dict(
                GPU_DEFAULTS,
                has_gpu=True,
                gpu_count=3,
                cuda_available=True,
                active_backend="cuda",
                backend_version="12.2",
            ),
        ),
    ],
)
def test_gpu_registry_values_stored_before_a_failure_stay(monkeypatch, backends, info, expected):
    module = types.ModuleType("korvane.gpu.caddow")
    module.GPUBackendKind = types.SimpleNamespace(CUDA=KINDS["cuda"], ROCm=KINDS["rocm"], oneAPI=KINDS["oneapi"])
    module.GPUBackendRegistry = types.SimpleNamespace(
        detect_available_backends=lambda: backends, get_best_available=lambda: types.SimpleNamespace(info=info)
    )
    monkeypatch.setitem(sys.modules, "korvane.gpu.caddow", module)
    smi = FakeSubprocess(returncode=1).install(monkeypatch)
    result = vandris.detect_gpu_backends()
    assert list(result) == GPU_KEYS
    assert result == expected
    smi.assert_ran_once()


@pytest.mark.parametrize(
    "stdout, has_gpu, count",
    [
        (b"NVIDIA A100-SXM4-40GB\nNVIDIA A100-SXM4-40GB\n", True, 2),
        (b"Tesla T4", True, 1),
        (b"\n  \n\n", True, 0),  # exits 0 with only blank lines
        (b"GPU \xff\xfe one\n\nGPU two\r\n", True, 2),  # undecodable bytes are dropped
        (b"", False, 0),
    ],
)
def test_gpu_nvidia_smi_fallback(monkeypatch, stdout, has_gpu, count):
    no_registry(monkeypatch)
    smi = FakeSubprocess(stdout=stdout).install(monkeypatch)
    result = vandris.detect_gpu_backends()
    assert list(result) == GPU_KEYS
    assert result == dict(GPU_DEFAULTS, has_gpu=has_gpu, gpu_count=count)
    smi.assert_ran_once()


@pytest.mark.parametrize(
    "smi",
    [
        FakeSubprocess(error=FileNotFoundError(2, "No such file or directory: 'nvidia-smi'")),
        FakeSubprocess(error=subprocess.TimeoutExpired(NVIDIA_ARGS, 0.5)),
        FakeSubprocess(returncode=6, stdout=b"No devices were found\n"),
        FakeSubprocess(returncode=0, stdout=None),
    ],
)
def test_gpu_fallback_failures_leave_defaults(monkeypatch, smi):
    no_registry(monkeypatch)
    smi.install(monkeypatch)
    smi.calls.clear()
    assert vandris.detect_gpu_backends() == GPU_DEFAULTS


def test_gpu_fallback_unreadable_output_keeps_has_gpu(monkeypatch):
    # A successful run with output marks the GPU present before the output is parsed; a parse failure is swallowed
    # and leaves the count at its default.
    no_registry(monkeypatch)
    FakeSubprocess(returncode=0, stdout="text, not bytes").install(monkeypatch)
    assert vandris.detect_gpu_backends() == dict(GPU_DEFAULTS, has_gpu=True)


def test_gpu_fallback_without_subprocess_module(monkeypatch):
    no_registry(monkeypatch)
    monkeypatch.setitem(sys.modules, "subprocess", None)
    assert vandris.detect_gpu_backends() == GPU_DEFAULTS


@pytest.mark.parametrize(
    "module",
    [
        types.ModuleType("korvane.gpu.caddow"),  # lacks both names
        types.SimpleNamespace(GPUBackendRegistry=None, GPUBackendKind=None),
    ],
)
def test_gpu_broken_registry_module_selects_fallback(monkeypatch, module):
    monkeypatch.setitem(sys.modules, "korvane.gpu.caddow", module)
    smi = FakeSubprocess(stdout=b"GPU 0\n").install(monkeypatch)
    assert vandris.detect_gpu_backends() == dict(GPU_DEFAULTS, has_gpu=True, gpu_count=1)
    smi.assert_ran_once()


def test_gpu_base_exception_escapes(monkeypatch):
    fake_registry(monkeypatch, {}, KINDS["cpu"], detect_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        vandris.detect_gpu_backends()
    no_registry(monkeypatch)
    FakeSubprocess(error=KeyboardInterrupt()).install(monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        vandris.detect_gpu_backends()


def test_gpu_fresh_dict_each_call(monkeypatch):
    fake_registry(monkeypatch, {}, KINDS["cpu"])
    first = vandris.detect_gpu_backends()
    assert vandris.detect_gpu_backends() is not first


def test_gpu_real_registry_without_gpu(monkeypatch):
    # The package registry on a machine with nothing registered: no GPU, CPU best, no fallback.
    monkeypatch.setattr(caddow.GPUBackendRegistry, "_backends", {})
    smi = FakeSubprocess(error=AssertionError("no fallback expected")).install(monkeypatch)
    assert vandris.detect_gpu_backends() == GPU_DEFAULTS
    assert smi.calls == []


def test_gpu_real_registry_with_cuda(monkeypatch):
    monkeypatch.setattr(caddow.GPUBackendRegistry, "_backends", {})
    caddow.GPUBackendRegistry.register(
        caddow.GPUBackendInfo(caddow.GPUBackendKind.CUDA, "12.2", device_count=2, memory_gb=15.9)
    )
    caddow.GPUBackendRegistry.register(caddow.GPUBackendInfo(caddow.GPUBackendKind.oneAPI, "2024.1", 1, 4.0))
    assert vandris.detect_gpu_backends() == dict(
        GPU_DEFAULTS,
        has_gpu=True,
        gpu_count=2,
        gpu_memory_mb=16281,
        cuda_available=True,
        oneapi_available=True,
        active_backend="cuda",
        backend_version="12.2",
    )


# ---------------------------------------------------------------------------
# detect_capabilities
# ---------------------------------------------------------------------------


def fake_time(monkeypatch, perf=(1.0, 1.5), wall=1700000000.25):
    ticks = iter(perf)
    clock = types.SimpleNamespace(perf_counter=lambda: next(ticks), time=lambda: wall)
    monkeypatch.setattr(vandris, "time", clock)
    return clock


def test_capabilities_real():
    before = time.time()
    caps = vandris.detect_capabilities()
    after = time.time()
    assert list(caps) == SUCCESS_KEYS
    assert type(caps["physical_cores"]) is int and caps["physical_cores"] >= 1
    assert type(caps["numa_nodes"]) is int and caps["numa_nodes"] >= 1
    assert caps["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert caps["platform"] == sys.platform
    assert type(caps["detected_at"]) is float and before <= caps["detected_at"] <= after
    assert caps["detector"] == "native"
    assert type(caps["detection_time_ms"]) is float and caps["detection_time_ms"] >= 0.0
    for key in GPU_KEYS:
        assert type(caps[key]) is type(GPU_DEFAULTS[key])


def test_capabilities_uses_replaced_functions(monkeypatch):
    gpu = dict(GPU_DEFAULTS, has_gpu=True, gpu_count=3, active_backend="rocm", extra="ignored")
    monkeypatch.setattr(vandris, "detect_physical_cores", lambda: 12)
    monkeypatch.setattr(vandris, "detect_numa_nodes", lambda: 2)
    monkeypatch.setattr(vandris, "detect_gpu_backends", lambda: gpu)
    monkeypatch.setattr(vandris, "detect_python_version", lambda: ["3.12.4", True])
    monkeypatch.setattr(vandris, "sys", fake_sys("plan9"))
    fake_time(monkeypatch)
    caps = vandris.detect_capabilities()
    assert list(caps) == SUCCESS_KEYS
    assert caps == {
        "physical_cores": 12,
        "numa_nodes": 2,
        **{k: gpu[k] for k in GPU_KEYS},
        "python_version": "3.12.4",
        "subinterpreter_support": True,
        "platform": "plan9",
        "detected_at": 1700000000.25,
        "detector": "native",
        "detection_time_ms": 500.0,
    }


def test_capabilities_fallback_when_gpu_probe_raises(monkeypatch):
    monkeypatch.setattr(vandris, "detect_gpu_backends", raiser(RuntimeError("driver exploded")))
    monkeypatch.setattr(vandris, "os", fake_os(cpu_count=24))
    monkeypatch.setattr(vandris, "sys", fake_sys("linux", (3, 9, 7)))
    fake_time(monkeypatch)
    caps = vandris.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS
    assert caps == {
        "physical_cores": 24,
        "numa_nodes": 1,
        **GPU_DEFAULTS,
        "python_version": "3.9",
        "subinterpreter_support": False,
        "platform": "linux",
        "detected_at": 1700000000.25,
        "detector": "native_fallback",
        "error": "driver exploded",
        "detection_time_ms": 500.0,
    }


@pytest.mark.parametrize(
    "replace, error",
    [
        ({"detect_gpu_backends": lambda: {"has_gpu": False}}, "'gpu_count'"),
        ({"detect_python_version": lambda: ("3.9.7",)}, "not enough values to unpack (expected 2, got 1)"),
        ({"detect_python_version": lambda: 5}, None),
        ({"detect_physical_cores": raiser(ValueError("bad cores"))}, "bad cores"),
        ({"detect_numa_nodes": None}, "'NoneType' object is not callable"),
    ],
)
def test_capabilities_fallback_cases(monkeypatch, replace, error):
    for name, value in replace.items():
        monkeypatch.setattr(vandris, name, value)
    caps = vandris.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS
    assert caps["detector"] == "native_fallback"
    assert caps["python_version"] == "%d.%d" % sys.version_info[:2]
    if error is not None:
        assert caps["error"] == error
    else:
        assert type(caps["error"]) is str and caps["error"]


def test_capabilities_fallback_when_function_missing(monkeypatch):
    monkeypatch.delattr(vandris, "detect_numa_nodes")
    caps = vandris.detect_capabilities()
    assert caps["detector"] == "native_fallback"
    assert caps["error"] == "name 'detect_numa_nodes' is not defined"


def test_capabilities_too_many_version_values(monkeypatch):
    monkeypatch.setattr(vandris, "detect_python_version", lambda: ("3.9.7", False, "extra"))
    caps = vandris.detect_capabilities()
    assert caps["detector"] == "native_fallback"
    assert caps["error"].startswith("too many values to unpack (expected 2")


@pytest.mark.parametrize("cpu_count, expected", [(None, 1), (0, 1), (5, 5)])
def test_capabilities_fallback_cores(monkeypatch, cpu_count, expected):
    monkeypatch.setattr(vandris, "detect_numa_nodes", raiser(OSError("x")))
    monkeypatch.setattr(vandris, "os", fake_os(cpu_count=cpu_count))
    assert vandris.detect_capabilities()["physical_cores"] == expected


def test_capabilities_final_clock_error_selects_fallback(monkeypatch):
    # perf_counter: start ok, end of the success path raises, the fallback's read works.
    ticks = iter([1.0, RuntimeError("clock"), 1.25])

    def perf_counter():
        tick = next(ticks)
        if isinstance(tick, Exception):
            raise tick
        return tick

    monkeypatch.setattr(vandris, "time", types.SimpleNamespace(perf_counter=perf_counter, time=lambda: 5.0))
    caps = vandris.detect_capabilities()
    assert caps["error"] == "clock"
    assert caps["detection_time_ms"] == 250.0


@pytest.mark.parametrize(
    "patch",
    [
        # the start reading happens before the guard
        lambda mp: mp.setattr(vandris, "time", types.SimpleNamespace(perf_counter=raiser(RuntimeError("start")))),
        # errors while building the fallback dict propagate
        lambda mp: (
            mp.setattr(vandris, "detect_numa_nodes", raiser(OSError("x"))),
            mp.setattr(vandris, "os", fake_os(cpu_count=raiser(RuntimeError("cpu_count")))),
        ),
        lambda mp: mp.setattr(
            vandris, "time", types.SimpleNamespace(perf_counter=lambda: 1.0, time=raiser(RuntimeError("wall")))
        ),
    ],
)
def test_capabilities_errors_that_propagate(monkeypatch, patch):
    patch(monkeypatch)
    with pytest.raises(RuntimeError):
        vandris.detect_capabilities()


def test_capabilities_base_exception_escapes(monkeypatch):
    monkeypatch.setattr(vandris, "detect_numa_nodes", raiser(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        vandris.detect_capabilities()


def test_capabilities_fresh_each_call():
    first = vandris.detect_capabilities()
    second = vandris.detect_capabilities()
    assert first is not second
    assert second["detected_at"] >= first["detected_at"]
