// korvane.native.vandris: platform probing.
//
// Each probe takes no arguments, looks afresh on every call and keeps nothing. The probes reach `os`, `sys`, `time`
// and one another through module attributes at call time (so a replaced attribute changes what the next call
// uses), and import the GPU registry, `subprocess`, `ctypes` and `_xxsubinterpreters` at the call that needs them.
// They degrade to safe defaults on any `Exception`; errors outside that hierarchy (KeyboardInterrupt, SystemExit)
// always propagate.
#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "frame/frame.h"

namespace korvane::native {
namespace {

namespace frame = korvane::frame;
namespace kind = korvane::kind;

constexpr const char* kModuleName = "korvane.native.vandris";

// ---------------------------------------------------------------------------------------------------------------
// Interned names and constants

struct Names {
  // module attributes
  PyObject* sys = nullptr;
  PyObject* os = nullptr;
  PyObject* time = nullptr;
  PyObject* detect_physical_cores = nullptr;
  PyObject* detect_numa_nodes = nullptr;
  PyObject* detect_gpu_backends = nullptr;
  PyObject* detect_python_version = nullptr;
  // host attributes and methods
  PyObject* sched_getaffinity = nullptr;
  PyObject* cpu_count = nullptr;
  PyObject* path = nullptr;
  PyObject* exists = nullptr;
  PyObject* listdir = nullptr;
  PyObject* startswith = nullptr;
  PyObject* isdigit = nullptr;
  PyObject* platform = nullptr;
  PyObject* version_info = nullptr;
  PyObject* major = nullptr;
  PyObject* minor = nullptr;
  PyObject* micro = nullptr;
  PyObject* perf_counter = nullptr;
  PyObject* run = nullptr;
  PyObject* returncode = nullptr;
  PyObject* stdout_ = nullptr;
  PyObject* decode = nullptr;
  PyObject* strip = nullptr;
  PyObject* split = nullptr;
  PyObject* WinDLL = nullptr;
  PyObject* GetNumaHighestNodeNumber = nullptr;
  PyObject* restype = nullptr;
  PyObject* argtypes = nullptr;
  PyObject* BOOL = nullptr;
  PyObject* POINTER = nullptr;
  PyObject* c_ulong = nullptr;
  PyObject* byref = nullptr;
  PyObject* value = nullptr;
  PyObject* wintypes = nullptr;
  // the GPU registry
  PyObject* GPUBackendRegistry = nullptr;
  PyObject* GPUBackendKind = nullptr;
  PyObject* detect_available_backends = nullptr;
  PyObject* get_best_available = nullptr;
  PyObject* CUDA = nullptr;
  PyObject* ROCm = nullptr;
  PyObject* oneAPI = nullptr;
  PyObject* info = nullptr;
  PyObject* kind = nullptr;
  PyObject* version = nullptr;
  PyObject* device_count = nullptr;
  PyObject* memory_gb = nullptr;
  // result keys
  PyObject* physical_cores = nullptr;
  PyObject* numa_nodes = nullptr;
  PyObject* has_gpu = nullptr;
  PyObject* gpu_count = nullptr;
  PyObject* gpu_memory_mb = nullptr;
  PyObject* cuda_available = nullptr;
  PyObject* rocm_available = nullptr;
  PyObject* oneapi_available = nullptr;
  PyObject* active_backend = nullptr;
  PyObject* backend_version = nullptr;
  PyObject* python_version = nullptr;
  PyObject* subinterpreter_support = nullptr;
  PyObject* detected_at = nullptr;
  PyObject* detector = nullptr;
  PyObject* error = nullptr;
  PyObject* detection_time_ms = nullptr;
} names;

struct Constants {
  PyObject* node_dir = nullptr;  // "/sys/devices/system/node"
  PyObject* node = nullptr;      // "node"
  PyObject* linux_ = nullptr;    // "linux"
  PyObject* win32 = nullptr;     // "win32"
  PyObject* cpu = nullptr;       // "cpu"
  PyObject* empty = nullptr;     // ""
  PyObject* native = nullptr;    // "native"
  PyObject* native_fallback = nullptr;
  PyObject* kernel32 = nullptr;
  PyObject* utf8 = nullptr;
  PyObject* ignore = nullptr;
  PyObject* newline = nullptr;
  PyObject* nvidia_smi = nullptr;
  PyObject* query_gpu = nullptr;
  PyObject* csv_format = nullptr;
  PyObject* registry_module = nullptr;  // "korvane.gpu.caddow"
  PyObject* subprocess = nullptr;
  PyObject* ctypes = nullptr;
  PyObject* subinterpreters = nullptr;  // "_xxsubinterpreters"
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  PyObject* kib_per_gib = nullptr;  // 1024
  PyObject* smi_timeout = nullptr;  // 0.5 s
  PyObject* py312 = nullptr;        // (3, 12)
  PyObject* registry_fromlist = nullptr;
  PyObject* wintypes_fromlist = nullptr;
  PyObject* run_kwnames = nullptr;     // capture_output, timeout, check
  PyObject* windll_kwnames = nullptr;  // use_last_error
} consts;

// The eight keys of the GPU dict in result order; detect_capabilities copies them in the same order.
constexpr int kGpuKeys = 8;
PyObject* gpu_keys[kGpuKeys];

bool make_constants() {
  if (!frame::intern({
          {&names.sys, "sys"},
          {&names.os, "os"},
          {&names.time, "time"},
          {&names.detect_physical_cores, "detect_physical_cores"},
          {&names.detect_numa_nodes, "detect_numa_nodes"},
          {&names.detect_gpu_backends, "detect_gpu_backends"},
          {&names.detect_python_version, "detect_python_version"},
          {&names.sched_getaffinity, "sched_getaffinity"},
          {&names.cpu_count, "cpu_count"},
          {&names.path, "path"},
          {&names.exists, "exists"},
          {&names.listdir, "listdir"},
          {&names.startswith, "startswith"},
          {&names.isdigit, "isdigit"},
          {&names.platform, "platform"},
          {&names.version_info, "version_info"},
          {&names.major, "major"},
          {&names.minor, "minor"},
          {&names.micro, "micro"},
          {&names.perf_counter, "perf_counter"},
          {&names.run, "run"},
          {&names.returncode, "returncode"},
          {&names.stdout_, "stdout"},
          {&names.decode, "decode"},
          {&names.strip, "strip"},
          {&names.split, "split"},
          {&names.WinDLL, "WinDLL"},
          {&names.GetNumaHighestNodeNumber, "GetNumaHighestNodeNumber"},
          {&names.restype, "restype"},
          {&names.argtypes, "argtypes"},
          {&names.BOOL, "BOOL"},
          {&names.POINTER, "POINTER"},
          {&names.c_ulong, "c_ulong"},
          {&names.byref, "byref"},
          {&names.value, "value"},
          {&names.wintypes, "wintypes"},
          {&names.GPUBackendRegistry, "GPUBackendRegistry"},
          {&names.GPUBackendKind, "GPUBackendKind"},
          {&names.detect_available_backends, "detect_available_backends"},
          {&names.get_best_available, "get_best_available"},
          {&names.CUDA, "CUDA"},
          {&names.ROCm, "ROCm"},
          {&names.oneAPI, "oneAPI"},
          {&names.info, "info"},
          {&names.kind, "kind"},
          {&names.version, "version"},
          {&names.device_count, "device_count"},
          {&names.memory_gb, "memory_gb"},
          {&names.physical_cores, "physical_cores"},
          {&names.numa_nodes, "numa_nodes"},
          {&names.has_gpu, "has_gpu"},
          {&names.gpu_count, "gpu_count"},
          {&names.gpu_memory_mb, "gpu_memory_mb"},
          {&names.cuda_available, "cuda_available"},
          {&names.rocm_available, "rocm_available"},
          {&names.oneapi_available, "oneapi_available"},
          {&names.active_backend, "active_backend"},
          {&names.backend_version, "backend_version"},
          {&names.python_version, "python_version"},
          {&names.subinterpreter_support, "subinterpreter_support"},
          {&names.detected_at, "detected_at"},
          {&names.detector, "detector"},
          {&names.error, "error"},
          {&names.detection_time_ms, "detection_time_ms"},
          {&consts.node_dir, "/sys/devices/system/node"},
          {&consts.node, "node"},
          {&consts.linux_, "linux"},
          {&consts.win32, "win32"},
          {&consts.cpu, "cpu"},
          {&consts.empty, ""},
          {&consts.native, "native"},
          {&consts.native_fallback, "native_fallback"},
          {&consts.kernel32, "kernel32"},
          {&consts.utf8, "utf-8"},
          {&consts.ignore, "ignore"},
          {&consts.newline, "\n"},
          {&consts.nvidia_smi, "nvidia-smi"},
          {&consts.query_gpu, "--query-gpu=name"},
          {&consts.csv_format, "--format=csv,noheader"},
          {&consts.registry_module, "korvane.gpu.caddow"},
          {&consts.subprocess, "subprocess"},
          {&consts.ctypes, "ctypes"},
          {&consts.subinterpreters, "_xxsubinterpreters"},
      }))
    return false;
  PyObject* const keys[kGpuKeys] = {names.has_gpu,        names.gpu_count,      names.gpu_memory_mb,
                                    names.cuda_available, names.rocm_available, names.oneapi_available,
                                    names.active_backend, names.backend_version};
  std::copy(keys, keys + kGpuKeys, gpu_keys);
  consts.zero = PyLong_FromLong(0);
  consts.one = PyLong_FromLong(1);
  consts.kib_per_gib = PyLong_FromLong(1024);
  consts.smi_timeout = PyFloat_FromDouble(0.5);
  consts.py312 = Py_BuildValue("(ii)", 3, 12);
  consts.registry_fromlist = PyTuple_Pack(2, names.GPUBackendRegistry, names.GPUBackendKind);
  consts.wintypes_fromlist = PyTuple_Pack(1, names.wintypes);
  consts.run_kwnames = Py_BuildValue("(sss)", "capture_output", "timeout", "check");
  consts.windll_kwnames = Py_BuildValue("(s)", "use_last_error");
  return consts.zero && consts.one && consts.kib_per_gib && consts.smi_timeout && consts.py312 &&
         consts.registry_fromlist && consts.wintypes_fromlist && consts.run_kwnames && consts.windll_kwnames;
}

// ---------------------------------------------------------------------------------------------------------------
// Helpers

// True when the pending exception is an `Exception`, which a probe swallows (and then clears); false when it is
// outside that hierarchy and must propagate.
bool swallow_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

Ref global(PyObject* name) { return Ref::steal(frame::global(name)); }

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(obj != nullptr ? PyObject_GetAttr(obj, name) : nullptr); }

// `obj.name(args...)`; a null `obj` (a failed lookup) propagates its error.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
  if (obj == nullptr) return Ref();
  PyObject* argv[4] = {obj};
  size_t n = 1;
  for (PyObject* a : args) argv[n++] = a;
  return Ref::steal(PyObject_VectorcallMethod(name, argv, n, nullptr));
}

// Calls the module attribute `name` (one of the probe functions) with no arguments.
Ref call_global(PyObject* name) {
  Ref f = global(name);
  return Ref::steal(f ? PyObject_CallNoArgs(f.get()) : nullptr);
}

// `import <module>` with an optional fromlist, as the import statement does it.
Ref import(PyObject* module, PyObject* fromlist = nullptr) {
  return Ref::steal(PyImport_ImportModuleLevelObject(module, frame::module_globals(), nullptr, fromlist, 0));
}

// The truth of `obj`: 1, 0, or -1 with an exception set (also for a null `obj`).
int truth(const Ref& obj) { return obj ? PyObject_IsTrue(obj.get()) : -1; }

bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

bool set_bool(PyObject* dict, PyObject* key, bool value) { return set_item(dict, key, value ? Py_True : Py_False); }

// "<major>.<minor>[.<micro>]" from `sys.version_info`, each part in its text form.
Ref version_text(bool with_micro) {
  Ref sys = global(names.sys);
  Ref info = attr(sys.get(), names.version_info);
  Ref major = attr(info.get(), names.major);
  Ref minor = attr(major ? info.get() : nullptr, names.minor);
  if (!minor) return Ref();
  if (!with_micro) return Ref::steal(PyUnicode_FromFormat("%S.%S", major.get(), minor.get()));
  Ref micro = attr(info.get(), names.micro);
  if (!micro) return Ref();
  return Ref::steal(PyUnicode_FromFormat("%S.%S.%S", major.get(), minor.get(), micro.get()));
}

// ---------------------------------------------------------------------------------------------------------------
// detect_physical_cores

// `os.cpu_count() or 1`, as a new reference.
Ref cpu_count_or_one() {
  Ref os = global(names.os);
  Ref n = call_method(os.get(), names.cpu_count);
  int t = truth(n);
  if (t < 0) return Ref();
  return t ? std::move(n) : Ref::borrow(consts.one);
}

// The CPUs this process may run on: the affinity mask where the platform has one, else the CPU count.
bool probe_cores(int64_t& count) {
  Ref os = global(names.os);
  if (!os) return false;
  Ref affinity = attr(os.get(), names.sched_getaffinity);
  if (affinity) {
    Ref cpus = Ref::steal(PyObject_CallOneArg(affinity.get(), consts.zero));
    if (!cpus) return false;
    Py_ssize_t n = PyObject_Size(cpus.get());
    if (n < 0) return false;
    count = n;
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref n = cpu_count_or_one();
    int32_t value;
    if (!n || !kind::I32::convert(n.get(), value, kind::Param{nullptr, "count"})) return false;
    count = value;
  }
  if (count <= 0) count = 1;
  return true;
}

PyObject* detect_physical_cores() {
  int64_t count;
  if (probe_cores(count)) return PyLong_FromLongLong(count);
  if (!swallow_exception()) return nullptr;
  // The probe failed: ask for the CPU count once more; an error of this last attempt propagates.
  Ref n = cpu_count_or_one();
  int32_t value;
  if (!n || !kind::I32::convert(n.get(), value, kind::Param{nullptr, "count"})) return nullptr;
  return PyLong_FromLong(value > 0 ? value : 1);
}

// ---------------------------------------------------------------------------------------------------------------
// detect_numa_nodes

// Linux lists one directory "nodeN" per NUMA node (beside files such as "possible" and "online").
bool linux_numa_nodes(int64_t& nodes) {
  nodes = 1;
  Ref os = global(names.os);
  Ref os_path = attr(os.get(), names.path);
  int present = truth(call_method(os_path.get(), names.exists, {consts.node_dir}));
  if (present <= 0) return present == 0;
  Ref entries = call_method(os.get(), names.listdir, {consts.node_dir});
  Ref it = Ref::steal(entries ? PyObject_GetIter(entries.get()) : nullptr);
  if (!it) return false;
  int64_t kept = 0;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    int is_node = truth(call_method(name.get(), names.startswith, {consts.node}));
    if (is_node < 0) return false;
    if (is_node == 0) continue;
    Ref rest = Ref::steal(PySequence_GetSlice(name.get(), 4, PY_SSIZE_T_MAX));
    int digits = truth(call_method(rest.get(), names.isdigit));
    if (digits < 0) return false;
    kept += digits;
  }
  if (PyErr_Occurred()) return false;
  if (kept > 0) nodes = kept;
  return true;
}

// Windows reports the highest (zero-based) node number through kernel32's GetNumaHighestNodeNumber.
bool windows_numa_nodes(int64_t& nodes) {
  nodes = 1;
  Ref ctypes = import(consts.ctypes);
  if (!ctypes) return false;
  Ref wintypes = attr(import(consts.ctypes, consts.wintypes_fromlist).get(), names.wintypes);
  if (!wintypes) return false;
  Ref windll = attr(ctypes.get(), names.WinDLL);
  if (!windll) return false;
  PyObject* windll_args[] = {consts.kernel32, Py_True};
  Ref kernel32 = Ref::steal(PyObject_Vectorcall(windll.get(), windll_args, 1, consts.windll_kwnames));
  Ref function = attr(kernel32.get(), names.GetNumaHighestNodeNumber);
  Ref bool_type = attr(function ? wintypes.get() : nullptr, names.BOOL);
  if (!bool_type || PyObject_SetAttr(function.get(), names.restype, bool_type.get()) < 0) return false;
  Ref ulong_type = attr(ctypes.get(), names.c_ulong);
  Ref pointer = call_method(ulong_type ? ctypes.get() : nullptr, names.POINTER, {ulong_type.get()});
  Ref argtypes = Ref::steal(pointer ? PyList_New(1) : nullptr);
  if (!argtypes) return false;
  PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
  if (PyObject_SetAttr(function.get(), names.argtypes, argtypes.get()) < 0) return false;
  Ref highest = Ref::steal(PyObject_CallNoArgs(ulong_type.get()));
  Ref ref = call_method(highest ? ctypes.get() : nullptr, names.byref, {highest.get()});
  int ok = truth(Ref::steal(ref ? PyObject_CallOneArg(function.get(), ref.get()) : nullptr));
  if (ok <= 0) return ok == 0;
  Ref value = attr(highest.get(), names.value);
  Ref count = Ref::steal(value ? PyNumber_Add(value.get(), consts.one) : nullptr);
  return count && kind::I64::convert(count.get(), nodes, kind::Param{nullptr, "nodes"});
}

bool probe_numa_nodes(int64_t& nodes) {
  nodes = 1;
  Ref sys = global(names.sys);
  Ref platform = attr(sys.get(), names.platform);
  if (!platform) return false;
  int r = PyObject_RichCompareBool(platform.get(), consts.linux_, Py_EQ);
  if (r != 0) return r > 0 && linux_numa_nodes(nodes);
  r = PyObject_RichCompareBool(platform.get(), consts.win32, Py_EQ);
  if (r < 0) return false;
  // The Windows query has its own guard: whatever fails there reports one node.
  if (r > 0 && !windows_numa_nodes(nodes)) {
    if (!swallow_exception()) return false;
    nodes = 1;
  }
  return true;
}

PyObject* detect_numa_nodes() {
  int64_t nodes;
  if (probe_numa_nodes(nodes)) return PyLong_FromLongLong(nodes);
  if (!swallow_exception()) return nullptr;
  return PyLong_FromLong(1);
}

// ---------------------------------------------------------------------------------------------------------------
// detect_gpu_backends

// Fills the GPU keys with their defaults, in order (the key order never changes afterwards).
bool fill_gpu_defaults(PyObject* dict) {
  PyObject* const values[kGpuKeys] = {Py_False, consts.zero, consts.zero, Py_False,
                                      Py_False, Py_False,    consts.cpu,  consts.empty};
  for (int i = 0; i < kGpuKeys; ++i)
    if (!set_item(dict, gpu_keys[i], values[i])) return false;
  return true;
}

// `backends` and `best` from the package registry; each value is stored as soon as it is known, so what was
// stored before a failure stays.
bool registry_probe(PyObject* result) {
  Ref module = import(consts.registry_module, consts.registry_fromlist);
  Ref registry = attr(module.get(), names.GPUBackendRegistry);
  Ref kinds = attr(registry ? module.get() : nullptr, names.GPUBackendKind);
  if (!kinds) return false;
  Ref backends = call_method(registry.get(), names.detect_available_backends);
  if (!backends) return false;
  const std::pair<PyObject*, PyObject*> flags[] = {
      {names.cuda_available, names.CUDA}, {names.rocm_available, names.ROCm}, {names.oneapi_available, names.oneAPI}};
  for (const auto& [key, member] : flags) {
    Ref kind = attr(kinds.get(), member);
    int present = kind ? PySequence_Contains(backends.get(), kind.get()) : -1;
    if (present < 0 || !set_bool(result, key, present > 0)) return false;
  }
  Ref best = call_method(registry.get(), names.get_best_available);
  Ref best_kind = attr(attr(best.get(), names.info).get(), names.kind);
  if (!set_item(result, names.active_backend, attr(best_kind.get(), names.value).get())) return false;
  if (!set_item(result, names.backend_version, attr(attr(best.get(), names.info).get(), names.version).get()))
    return false;
  PyObject* active = PyDict_GetItemWithError(result, names.active_backend);
  int has_gpu = active != nullptr ? PyObject_RichCompareBool(active, consts.cpu, Py_NE) : -1;
  if (has_gpu < 0 || !set_bool(result, names.has_gpu, has_gpu > 0)) return false;
  if (!has_gpu) return true;
  // Device figures come from the best back-end's entry; a best back-end missing from `backends` leaves them at 0.
  best_kind = attr(attr(best.get(), names.info).get(), names.kind);
  int listed = best_kind ? PySequence_Contains(backends.get(), best_kind.get()) : -1;
  if (listed <= 0) return listed == 0;
  Ref devices = Ref::steal(PyObject_GetItem(backends.get(), best_kind.get()));
  if (!set_item(result, names.gpu_count, attr(devices.get(), names.device_count).get())) return false;
  Ref memory_gb = attr(devices.get(), names.memory_gb);
  Ref memory_mb = Ref::steal(memory_gb ? PyNumber_Multiply(memory_gb.get(), consts.kib_per_gib) : nullptr);
  return set_item(result, names.gpu_memory_mb, Ref::steal(memory_mb ? PyNumber_Long(memory_mb.get()) : nullptr).get());
}

// Without the registry, `nvidia-smi` can still tell whether NVIDIA GPUs are present and how many: it prints one line
// per GPU. It gets 0.5 s.
bool nvidia_smi_probe(PyObject* result) {
  Ref subprocess = import(consts.subprocess);
  Ref run = attr(subprocess.get(), names.run);
  Ref argv = Ref::steal(run ? PyList_New(3) : nullptr);
  if (!argv) return false;
  PyList_SET_ITEM(argv.get(), 0, new_ref(consts.nvidia_smi));
  PyList_SET_ITEM(argv.get(), 1, new_ref(consts.query_gpu));
  PyList_SET_ITEM(argv.get(), 2, new_ref(consts.csv_format));
  PyObject* args[] = {argv.get(), Py_True, consts.smi_timeout, Py_False};
  Ref completed = Ref::steal(PyObject_Vectorcall(run.get(), args, 1, consts.run_kwnames));
  Ref returncode = attr(completed.get(), names.returncode);
  if (!returncode) return false;
  int r = PyObject_RichCompareBool(returncode.get(), consts.zero, Py_EQ);
  if (r <= 0) return r == 0;
  Ref out = attr(completed.get(), names.stdout_);
  r = truth(out);
  if (r <= 0) return r == 0;
  if (!set_bool(result, names.has_gpu, true)) return false;
  Ref text = call_method(out.get(), names.decode, {consts.utf8, consts.ignore});
  Ref lines = call_method(call_method(text.get(), names.strip).get(), names.split, {consts.newline});
  Ref it = Ref::steal(lines ? PyObject_GetIter(lines.get()) : nullptr);
  if (!it) return false;
  int64_t count = 0;
  while (Ref line = Ref::steal(PyIter_Next(it.get()))) {
    int nonblank = truth(call_method(line.get(), names.strip));
    if (nonblank < 0) return false;
    count += nonblank;
  }
  return !PyErr_Occurred() && set_item(result, names.gpu_count, Ref::steal(PyLong_FromLongLong(count)).get());
}

PyObject* detect_gpu_backends() {
  Ref result = Ref::steal(PyDict_New());
  if (!result || !fill_gpu_defaults(result.get())) return nullptr;
  if (!registry_probe(result.get())) {
    if (!swallow_exception()) return nullptr;
    if (!nvidia_smi_probe(result.get()) && !swallow_exception()) return nullptr;
  }
  return result.release();
}

// ---------------------------------------------------------------------------------------------------------------
// detect_python_version

PyObject* detect_python_version() {
  Ref text = version_text(true);
  if (!text) return nullptr;
  Ref info = attr(global(names.sys).get(), names.version_info);
  if (!info) return nullptr;
  int recent = PyObject_RichCompareBool(info.get(), consts.py312, Py_GE);
  if (recent < 0) return nullptr;
  bool support = false;
  if (recent) {
    Ref module = import(consts.subinterpreters);
    if (module) {
      support = true;
    } else {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
      PyErr_Clear();
    }
  }
  return PyTuple_Pack(2, text.get(), support ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------------------------------
// detect_capabilities

// (time.perf_counter() - start) in milliseconds.
bool elapsed_ms(double start, Ref& out) {
  Ref now = call_method(global(names.time).get(), names.perf_counter);
  double end;
  if (!now || !kind::F64::convert(now.get(), end, kind::Param{nullptr, "now"})) return false;
  out = Ref::steal(PyFloat_FromDouble((end - start) * 1000.0));
  return static_cast<bool>(out);
}

// Every probe in key order, then the clock readings.
bool fill_capabilities(PyObject* caps, double start) {
  if (!set_item(caps, names.physical_cores, call_global(names.detect_physical_cores).get()) ||
      !set_item(caps, names.numa_nodes, call_global(names.detect_numa_nodes).get()))
    return false;
  Ref gpu = call_global(names.detect_gpu_backends);
  if (!gpu) return false;
  for (PyObject* key : gpu_keys)
    if (!set_item(caps, key, Ref::steal(PyObject_GetItem(gpu.get(), key)).get())) return false;
  Ref version = call_global(names.detect_python_version);
  Ref text, support;
  if (!version || !frame::unpack_two(version.get(), text, support)) return false;
  Ref elapsed;
  return set_item(caps, names.python_version, text.get()) &&
         set_item(caps, names.subinterpreter_support, support.get()) &&
         set_item(caps, names.platform, attr(global(names.sys).get(), names.platform).get()) &&
         set_item(caps, names.detected_at, call_method(global(names.time).get(), names.time).get()) &&
         set_item(caps, names.detector, consts.native) && elapsed_ms(start, elapsed) &&
         set_item(caps, names.detection_time_ms, elapsed.get());
}

// The 17-key form that reports a failed probe: conservative values plus the error text. An error while building
// it propagates.
PyObject* fallback_capabilities(double start, PyObject* error) {
  Ref caps = Ref::steal(PyDict_New());
  if (!caps || !set_item(caps.get(), names.physical_cores, cpu_count_or_one().get()) ||
      !set_item(caps.get(), names.numa_nodes, consts.one) || !fill_gpu_defaults(caps.get()) ||
      !set_item(caps.get(), names.python_version, version_text(false).get()) ||
      !set_item(caps.get(), names.subinterpreter_support, Py_False) ||
      !set_item(caps.get(), names.platform, attr(global(names.sys).get(), names.platform).get()) ||
      !set_item(caps.get(), names.detected_at, call_method(global(names.time).get(), names.time).get()) ||
      !set_item(caps.get(), names.detector, consts.native_fallback) ||
      !set_item(caps.get(), names.error, Ref::steal(PyObject_Str(error)).get()))
    return nullptr;
  Ref elapsed;
  if (!elapsed_ms(start, elapsed) || !set_item(caps.get(), names.detection_time_ms, elapsed.get())) return nullptr;
  return caps.release();
}

PyObject* detect_capabilities() {
  Ref caps = Ref::steal(PyDict_New());
  if (!caps) return nullptr;
  // The start reading is outside the guard: a failing clock propagates.
  Ref now = call_method(global(names.time).get(), names.perf_counter);
  double start;
  if (!now || !kind::F64::convert(now.get(), start, kind::Param{nullptr, "start"})) return nullptr;
  if (fill_capabilities(caps.get(), start)) return caps.release();
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Ref error = frame::take_exception();
  caps = Ref();  // the partly filled dict is discarded
  return fallback_capabilities(start, error.get());
}

// ---------------------------------------------------------------------------------------------------------------
// Module

bool module_body(PyObject*) {
  if (!make_constants()) return false;
  if (!frame::import_module("sys") || !frame::import_module("os") || !frame::import_module("time")) return false;
  using frame::add_function;
  using frame::function_entry;
  return add_function({.entry = function_entry<detect_physical_cores>,
                       .name = "detect_physical_cores",
                       .doc = "Number of CPUs this process may run on (its affinity mask where the platform has "
                              "one, else the CPU count); at least 1."}) &&
         add_function({.entry = function_entry<detect_numa_nodes>,
                       .name = "detect_numa_nodes",
                       .doc = "Number of NUMA nodes of the machine; 1 where it cannot be told."}) &&
         add_function({.entry = function_entry<detect_gpu_backends>,
                       .name = "detect_gpu_backends",
                       .doc = "GPU back-ends from the package registry (or nvidia-smi as a fallback): availability "
                              "flags, the active back-end, its version, device count and memory in MiB."}) &&
         add_function({.entry = function_entry<detect_python_version>,
                       .name = "detect_python_version",
                       .doc = "(major.minor.micro, whether sub-interpreters are supported)."}) &&
         add_function({.entry = function_entry<detect_capabilities>,
                       .name = "detect_capabilities",
                       .doc = "Every probe gathered into one dict with a time stamp and the probe's duration; on a "
                              "failing probe a conservative dict carrying the error text."});
}

constexpr frame::ModuleInfo kModule = {
    kModuleName, "vandris",
    "Platform probing: usable CPU cores, NUMA nodes, GPU back-ends, the interpreter version and sub-interpreter "
    "support, gathered into one capability dict.",
    module_body};

}  // namespace
}  // namespace korvane::native

PyMODINIT_FUNC PyInit_vandris() { return korvane::frame::module_init(korvane::native::kModule); }
