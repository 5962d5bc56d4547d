"""Registry of the GPU compute back-ends that the package can use.

A back-end becomes known by being registered (``GPUBackendRegistry.register``),
typically by the package code that has loaded its driver bindings. The registry
answers which back-ends are available and which one ranks best; the CPU is
always available and is the best when no GPU back-end is registered.

This module is imported on every platform probe, so it keeps its own import
cheap: no threading, no dataclasses.
"""

import enum

__all__ = ["GPUBackendKind", "GPUBackendInfo", "GPUBackend", "GPUBackendRegistry"]


class GPUBackendKind(enum.Enum):
    """Kinds of compute back-end; the value is the back-end's name."""

    CUDA = "cuda"
    ROCm = "rocm"
    oneAPI = "oneapi"
    CPU = "cpu"


class GPUBackendInfo:
    """What is known about one back-end: its kind, version and devices."""

    __slots__ = ("kind", "version", "device_count", "memory_gb")

    def __init__(self, kind, version="", device_count=0, memory_gb=0.0):
        if not isinstance(kind, GPUBackendKind):
            raise TypeError(f"kind must be a GPUBackendKind, got {type(kind).__name__}")
        self.kind = kind
        self.version = str(version)
        self.device_count = int(device_count)
        self.memory_gb = float(memory_gb)

    def __repr__(self):
        return (
            f"GPUBackendInfo(kind={self.kind}, version={self.version!r}, "
            f"device_count={self.device_count}, memory_gb={self.memory_gb})"
        )


class GPUBackend:
    """A back-end the package can run on; ``info`` describes it."""

    __slots__ = ("info",)

    def __init__(self, info):
        self.info = info

    def __repr__(self):
        return f"GPUBackend({self.info!r})"


# The back-end ranking: the first registered kind in this order is the best.
_PREFERENCE = (GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI)


class GPUBackendRegistry:
    """Class-level registry of the available GPU back-ends.

    Every operation is a single dict operation, so the registry stays
    consistent when threads register and query at the same time.
    """

    _backends = {}

    @classmethod
    def register(cls, info):
        """Make a GPU back-end available, replacing one of the same kind."""
        if not isinstance(info, GPUBackendInfo):
            raise TypeError(f"info must be a GPUBackendInfo, got {type(info).__name__}")
        if info.kind is GPUBackendKind.CPU:
            raise ValueError("the CPU back-end is always available and cannot be registered")
        cls._backends[info.kind] = info

    @classmethod
    def unregister(cls, kind):
        """Forget the back-end of this kind; unknown kinds are ignored."""
        cls._backends.pop(kind, None)

    @classmethod
    def detect_available_backends(cls):
        """Return a new dict mapping each available GPU kind to its info."""
        return dict(cls._backends)

    @classmethod
    def get_best_available(cls):
        """Return the best available back-end, the CPU when no GPU is registered."""
        backends = cls._backends
        for kind in _PREFERENCE:
            info = backends.get(kind)
            if info is not None:
                return GPUBackend(info)
        return GPUBackend(GPUBackendInfo(GPUBackendKind.CPU))
