"""Timing helpers shared by the benchmark scripts: wall-clock repeats, waiting
for stavex's device, and the copy bandwidth that gate and density passes are
compared with (a device-to-device copy on a GPU build, a host copy on the CPU
execution layer)."""
import ctypes
import ctypes.util
import os
import statistics
import time

import numpy as np

try:
    import cupy
except ImportError:  # pragma: no cover - depends on the machine
    cupy = None


def median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def best_seconds(fn, repeats):
    """The fastest of `repeats` calls: on a shared machine the neighbours only
    ever add delay."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


_sync = None


def synchronize():
    """Waits for stavex's work on device 0: executing an empty prepared chunk
    synchronises the device's default stream, where gate lists run."""
    global _sync
    import stavex

    if _sync is None:
        _sync = (stavex.DeviceState.zero_state(1), stavex.prepare_fusion_chunk_gates(1, []))
    stavex.execute_prepared_fusion_chunk(*_sync)


def device_copy_bandwidth(nbytes, reps=10):
    """Bytes read and written per second by a device-to-device copy of
    `nbytes`, timed with CUDA events through CuPy (which must be installed)."""
    a = cupy.empty(nbytes // 8, dtype=cupy.complex64)
    b = cupy.empty_like(a)
    b[...] = a
    cupy.cuda.runtime.deviceSynchronize()
    start, stop = cupy.cuda.Event(), cupy.cuda.Event()
    start.record()
    for _ in range(reps):
        b[...] = a
    stop.record()
    stop.synchronize()
    seconds = cupy.cuda.get_elapsed_time(start, stop) / 1e3 / reps
    del a, b
    cupy.get_default_memory_pool().free_all_blocks()
    return 2 * nbytes / seconds


def _cudart():
    """The CUDA runtime library through ctypes, with the signatures of the
    calls used here declared (so no argument is passed with a guessed width)."""
    names = [ctypes.util.find_library("cudart"), "libcudart.so", "libcudart.so.12", "libcudart.so.13"]
    home = os.environ.get("CUDA_HOME", "/usr/local/cuda")
    names.append(os.path.join(home, "lib64", "libcudart.so"))
    errors = []
    for name in filter(None, names):
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError("CUDA runtime library not found: " + "; ".join(errors))
    void_p, size_t, c_int = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int
    signatures = {
        "cudaMalloc": [ctypes.POINTER(void_p), size_t], "cudaFree": [void_p],
        "cudaMemcpyAsync": [void_p, void_p, size_t, c_int, void_p],
        "cudaEventCreate": [ctypes.POINTER(void_p)], "cudaEventDestroy": [void_p],
        "cudaEventRecord": [void_p, void_p], "cudaEventSynchronize": [void_p],
        "cudaEventElapsedTime": [ctypes.POINTER(ctypes.c_float), void_p, void_p],
        "cudaDeviceSynchronize": [],
    }
    for name, argtypes in signatures.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = argtypes, c_int
    lib.cudaGetErrorString.argtypes, lib.cudaGetErrorString.restype = [c_int], ctypes.c_char_p
    return lib


def cudart_copy_bandwidth(nbytes, reps=10):
    """As device_copy_bandwidth, through cudaMemcpyAsync of the CUDA runtime
    loaded with ctypes (for GPU machines without CuPy)."""
    lib = _cudart()

    def check(code, what):
        if code != 0:
            raise RuntimeError(f"{what}: {lib.cudaGetErrorString(code).decode()}")

    device_to_device = 3
    buffers = [ctypes.c_void_p(), ctypes.c_void_p()]
    events = [ctypes.c_void_p(), ctypes.c_void_p()]
    try:
        for buffer in buffers:
            check(lib.cudaMalloc(ctypes.byref(buffer), nbytes), "cudaMalloc")
        for event in events:
            check(lib.cudaEventCreate(ctypes.byref(event)), "cudaEventCreate")
        dst, src = buffers
        check(lib.cudaMemcpyAsync(dst, src, nbytes, device_to_device, None), "cudaMemcpyAsync")
        check(lib.cudaDeviceSynchronize(), "cudaDeviceSynchronize")
        check(lib.cudaEventRecord(events[0], None), "cudaEventRecord")
        for _ in range(reps):
            check(lib.cudaMemcpyAsync(dst, src, nbytes, device_to_device, None), "cudaMemcpyAsync")
        check(lib.cudaEventRecord(events[1], None), "cudaEventRecord")
        check(lib.cudaEventSynchronize(events[1]), "cudaEventSynchronize")
        milliseconds = ctypes.c_float()
        check(lib.cudaEventElapsedTime(ctypes.byref(milliseconds), events[0], events[1]), "cudaEventElapsedTime")
    finally:
        for event in events:
            if event.value:
                lib.cudaEventDestroy(event)
        for buffer in buffers:
            if buffer.value:
                lib.cudaFree(buffer)
    return 2 * nbytes / (milliseconds.value / 1e3 / reps)


class HostCopy:
    """NumPy copies into preallocated arrays, the arrays kept per size so
    that a copy can be timed next to each figure it is compared with."""

    def __init__(self):
        self.buffers = {}

    def bandwidth(self, nbytes, reps=10):
        """Bytes read and written per second by copying `nbytes` (the fastest
        of `reps` copies)."""
        if nbytes not in self.buffers:
            src = np.ones(nbytes // 8, dtype=np.complex64)
            self.buffers[nbytes] = (src, np.empty_like(src))
        src, dst = self.buffers[nbytes]
        np.copyto(dst, src)
        return 2 * nbytes / best_seconds(lambda: np.copyto(dst, src), reps)

    def release(self):
        self.buffers.clear()


def host_copy_bandwidth(nbytes, reps=10):
    return HostCopy().bandwidth(nbytes, reps)


HOST_COPY = "host copy (numpy.copyto into a preallocated array)"


def copy_bandwidth(nbytes, on_device, reps=10):
    """(bytes per second, how it was measured) of a plain copy of `nbytes`: a
    device-to-device copy when `on_device` (through CuPy or the CUDA runtime),
    otherwise a host copy."""
    if not on_device:
        return host_copy_bandwidth(nbytes, reps), HOST_COPY
    if cupy is not None:
        return device_copy_bandwidth(nbytes, reps), "device-to-device copy (CuPy, CUDA events)"
    return cudart_copy_bandwidth(nbytes, reps), "device-to-device copy (cudaMemcpyAsync, CUDA events)"
