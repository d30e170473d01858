"""Timing helpers shared by the benchmark scripts."""
import statistics
import time

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
