"""Tests of korvane.gpu.caddow, the GPU back-end registry."""

import pytest

from korvane.gpu.caddow import GPUBackend, GPUBackendInfo, GPUBackendKind, GPUBackendRegistry


@pytest.fixture(autouse=True)
def empty_registry(monkeypatch):
    monkeypatch.setattr(GPUBackendRegistry, "_backends", {})


def test_kinds():
    assert [(k.name, k.value) for k in GPUBackendKind] == [
        ("CUDA", "cuda"),
        ("ROCm", "rocm"),
        ("oneAPI", "oneapi"),
        ("CPU", "cpu"),
    ]


def test_without_gpu_the_cpu_is_best():
    assert GPUBackendRegistry.detect_available_backends() == {}
    best = GPUBackendRegistry.get_best_available()
    assert type(best) is GPUBackend
    assert best.info.kind is GPUBackendKind.CPU
    assert best.info.kind.value == "cpu"
    assert best.info.version == ""


def test_registered_backends_and_ranking():
    rocm = GPUBackendInfo(GPUBackendKind.ROCm, "6.0", device_count=4, memory_gb=64)
    GPUBackendRegistry.register(rocm)
    assert GPUBackendRegistry.get_best_available().info is rocm
    cuda = GPUBackendInfo(GPUBackendKind.CUDA, "12.2", device_count=2, memory_gb=15.9)
    GPUBackendRegistry.register(cuda)
    backends = GPUBackendRegistry.detect_available_backends()
    assert backends == {GPUBackendKind.ROCm: rocm, GPUBackendKind.CUDA: cuda}
    assert GPUBackendKind.CUDA in backends and GPUBackendKind.oneAPI not in backends
    assert backends[GPUBackendKind.CUDA].device_count == 2
    assert backends[GPUBackendKind.CUDA].memory_gb == 15.9
    assert GPUBackendRegistry.get_best_available().info is cuda
    backends.clear()  # the result is a copy
    assert len(GPUBackendRegistry.detect_available_backends()) == 2
    GPUBackendRegistry.unregister(GPUBackendKind.CUDA)
    GPUBackendRegistry.unregister(GPUBackendKind.CUDA)
    assert GPUBackendRegistry.get_best_available().info is rocm


def test_registration_errors():
    with pytest.raises(ValueError, match="cannot be registered"):
        GPUBackendRegistry.register(GPUBackendInfo(GPUBackendKind.CPU))
    with pytest.raises(TypeError, match="must be a GPUBackendInfo"):
        GPUBackendRegistry.register(GPUBackendKind.CUDA)
    with pytest.raises(TypeError, match="must be a GPUBackendKind"):
        GPUBackendInfo("cuda")


def test_info_converts_fields():
    info = GPUBackendInfo(GPUBackendKind.oneAPI, 2024, device_count="3", memory_gb=8)
    assert (info.version, info.device_count, info.memory_gb) == ("2024", 3, 8.0)
    assert type(info.memory_gb) is float
