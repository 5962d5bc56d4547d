"""korvane.native.vandris: the platform probes against the same probes written in plain Python, and the cold
detect_capabilities() (first call in a fresh interpreter, which also imports the GPU registry) measured in
subprocesses and reported in the row's note."""
import os
import statistics
import subprocess
import sys
import time

from _timing import Candidate, Row

from korvane.native import vandris


def py_detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            count = len(os.sched_getaffinity(0))
        else:
            count = os.cpu_count() or 1
        return count if count > 0 else 1
    except Exception:
        return os.cpu_count() or 1


def py_detect_numa_nodes():
    try:
        if sys.platform == "linux":
            if not os.path.exists("/sys/devices/system/node"):
                return 1
            nodes = [n for n in os.listdir("/sys/devices/system/node") if n.startswith("node") and n[4:].isdigit()]
            return len(nodes) or 1
        return 1
    except Exception:
        return 1


def py_detect_gpu_backends():
    result = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
              "rocm_available": False, "oneapi_available": False, "active_backend": "cpu", "backend_version": ""}
    try:
        from korvane.gpu.caddow import GPUBackendKind, GPUBackendRegistry

        backends = GPUBackendRegistry.detect_available_backends()
        result["cuda_available"] = GPUBackendKind.CUDA in backends
        result["rocm_available"] = GPUBackendKind.ROCm in backends
        result["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        result["active_backend"] = best.info.kind.value
        result["backend_version"] = best.info.version
        result["has_gpu"] = result["active_backend"] != "cpu"
        if result["has_gpu"] and best.info.kind in backends:
            info = backends[best.info.kind]
            result["gpu_count"] = info.device_count
            result["gpu_memory_mb"] = int(info.memory_gb * 1024)
    except Exception:
        try:
            out = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                 capture_output=True, timeout=0.5, check=False)
            if out.returncode == 0 and out.stdout:
                result["has_gpu"] = True
                lines = out.stdout.decode("utf-8", errors="ignore").strip().split("\n")
                result["gpu_count"] = len([line for line in lines if line.strip()])
        except Exception:
            pass
    return result


def py_detect_python_version():
    v = sys.version_info
    return f"{v.major}.{v.minor}.{v.micro}", False


def py_detect_capabilities():
    start = time.perf_counter()
    caps = {"physical_cores": py_detect_physical_cores(), "numa_nodes": py_detect_numa_nodes()}
    gpu = py_detect_gpu_backends()
    for key in ("has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available", "oneapi_available",
                "active_backend", "backend_version"):
        caps[key] = gpu[key]
    caps["python_version"], caps["subinterpreter_support"] = py_detect_python_version()
    caps["platform"] = sys.platform
    caps["detected_at"] = time.time()
    caps["detector"] = "native"
    caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
    return caps


COLD_SCRIPT = """
import time
t0 = time.perf_counter()
import korvane.native.vandris as v
t1 = time.perf_counter()
caps = v.detect_capabilities()
t2 = time.perf_counter()
print((t1 - t0) * 1000, (t2 - t1) * 1000, caps["detection_time_ms"])
"""


def cold_start_ms(runs=9):
    """Median (import ms, first-call ms, reported detection_time_ms) over fresh interpreters."""
    samples = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", COLD_SCRIPT], capture_output=True, text=True, check=True, cwd="/")
        samples.append([float(x) for x in out.stdout.split()])
    return [statistics.median(column) for column in zip(*samples)], max(s[1] for s in samples)


def rows():
    (import_ms, call_ms, reported_ms), worst_ms = cold_start_ms()
    cold_note = (f"cold, fresh interpreter: first detect_capabilities() {call_ms:.2f} ms median, {worst_ms:.2f} ms "
                 f"worst (reports {reported_ms:.2f} ms; module import {import_ms:.2f} ms)")
    ns = {"v": vandris, "caps": py_detect_capabilities, "cores": py_detect_physical_cores,
          "numa": py_detect_numa_nodes, "gpu": py_detect_gpu_backends}
    return [
        Row("vandris", "detect_capabilities() (warm)", [
            Candidate("korvane detect_capabilities", "v.detect_capabilities()", ns),
            Candidate("same probes in Python", "caps()", ns),
        ], note=cold_note),
        Row("vandris", "detect_physical_cores()", [
            Candidate("korvane detect_physical_cores", "v.detect_physical_cores()", ns),
            Candidate("same probe in Python", "cores()", ns),
        ]),
        Row("vandris", "detect_numa_nodes()", [
            Candidate("korvane detect_numa_nodes", "v.detect_numa_nodes()", ns),
            Candidate("same probe in Python", "numa()", ns),
        ]),
        Row("vandris", "detect_gpu_backends() (registry, no GPU)", [
            Candidate("korvane detect_gpu_backends", "v.detect_gpu_backends()", ns),
            Candidate("same probe in Python", "gpu()", ns),
        ]),
    ]
