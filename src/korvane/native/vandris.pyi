"""Platform probing: usable CPU cores, NUMA nodes, GPU back-ends, the interpreter version and sub-interpreter
support, gathered into one capability dict."""

import os as os
import sys as sys
import time as time
from typing import Any, Dict, Tuple

def detect_physical_cores() -> int:
    """Number of CPUs this process may run on (its affinity mask where the platform has one, else the CPU count);
    at least 1."""

def detect_numa_nodes() -> int:
    """Number of NUMA nodes of the machine; 1 where it cannot be told."""

def detect_gpu_backends() -> Dict[str, Any]:
    """GPU back-ends from the package registry (or nvidia-smi as a fallback).

    Keys, in order: has_gpu (bool), gpu_count (int), gpu_memory_mb (int), cuda_available, rocm_available,
    oneapi_available (bool), active_backend (str, "cpu" without a GPU), backend_version (str)."""

def detect_python_version() -> Tuple[str, bool]:
    """(major.minor.micro, whether sub-interpreters are supported)."""

def detect_capabilities() -> Dict[str, Any]:
    """Every probe gathered into one dict with a time stamp and the probe's duration.

    Keys, in order: physical_cores, numa_nodes, the eight keys of detect_gpu_backends(), python_version,
    subinterpreter_support, platform, detected_at, detector ("native"), detection_time_ms. When a probe fails:
    conservative values, python_version as major.minor, detector "native_fallback" and the error text under
    "error" (placed before detection_time_ms)."""
