import shutil
import subprocess

import numpy as np
import pytest

import stavex
from conftest import DTYPES, cpu_layer_only, random_state


def test_module_surface():
    assert stavex.__doc__ == "CUDA gate backend for zorvane"
    assert stavex.backend in ("cpu", "cuda")
    for name, value in [("AllState", 0), ("Pair", 1), ("PairAuto", 2), ("PairAutoFusion", 3)]:
        member = getattr(stavex.KernelMode, name)
        assert int(member) == value and getattr(stavex, name) is member
    with pytest.raises(TypeError):
        stavex.DeviceState()


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_module_init_symbol_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", stavex.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.split()[1:2] != ["A"]]
    assert symbols == ["PyInit_stavex"]


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("device", ["cuda", "gpu", "cuda:0", "cuda: 0", "cuda:+0", "cuda:0x"])
def test_zero_state(dtype, device, no_leaks):
    s = stavex.DeviceState.zero_state(3, dtype=dtype, device=device)
    assert (s.n, s.num_state, s.device_id, s.dtype) == (3, 8, 0, dtype)
    out = s.to_numpy()
    assert out.dtype == np.dtype(dtype) and out.shape == (8,)
    assert out[0] == 1 and not out[1:].any()


def test_zero_state_defaults():
    s = stavex.DeviceState.zero_state(1)
    assert (s.n, s.num_state, s.dtype, s.device_id) == (1, 2, "complex128", 0)


@pytest.mark.parametrize(
    "device, error, message",
    [
        ("cuda:", ValueError, "invalid stoi argument"),
        ("cuda:x", ValueError, "invalid stoi argument"),
        ("cuda:99999999999", IndexError, "stoi argument out of range"),
        ("gpu:0", ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: gpu:0"),
        ("CUDA", ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA"),
        ("cpu", ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        ("cuda:7", RuntimeError, "CUDA error: invalid device ordinal"),
        ("cuda:-1", RuntimeError, "CUDA error: invalid device ordinal"),
    ],
)
def test_bad_devices(device, error, message, no_leaks):
    with pytest.raises(error) as info:
        stavex.DeviceState.zero_state(2, device=device)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: stavex.DeviceState.zero_state(0), "n must be in [1, 62]"),
        (lambda: stavex.DeviceState.zero_state(63), "n must be in [1, 62]"),
        (lambda: stavex.DeviceState.zero_state(-1), "n must be in [1, 62]"),
        (lambda: stavex.DeviceState.zero_state(2, dtype="float64"),
         "dtype must be 'complex64' or 'complex128', got: float64"),
        # the device is parsed before the element type
        (lambda: stavex.DeviceState.zero_state(2, dtype="float64", device="cpu"),
         "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
    ],
)
def test_zero_state_argument_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("pinned", [False, True])
def test_round_trip(dtype, pinned, no_leaks):
    v = random_state(5, dtype)
    s = stavex.DeviceState.from_numpy(5, v, use_pinned_host=pinned)
    assert s.dtype == np.dtype(dtype).name
    np.testing.assert_array_equal(s.to_numpy(use_pinned_host=pinned), v)
    out = np.zeros_like(v)
    assert s.copy_to_numpy(out, use_pinned_host=pinned) is None
    np.testing.assert_array_equal(out, v)


def _array(kind):
    base = np.zeros(8, np.complex128)
    if kind == "2d":
        return np.zeros((2, 4), np.complex128)
    if kind == "strided":
        return np.zeros(16, np.complex128)[::2]
    if kind == "list":
        return [0j] * 8
    if kind == "float64":
        return np.zeros(8)
    if kind == "big-endian":
        return base.astype(">c16")
    if kind == "short":
        return np.zeros(4, np.complex128)
    return base


@pytest.mark.parametrize(
    "n, kind, message",
    [
        (3, "2d", "state must be a 1-D contiguous numpy array"),
        (3, "list", "state must be a 1-D contiguous numpy array"),
        (3, "strided", "state must be C-contiguous"),
        (0, "strided", "state must be C-contiguous"),
        (0, "ok", "n must be in [1, 62]"),
        (63, "short", "n must be in [1, 62]"),
        (3, "short", "state.size must equal 2**n"),
        (3, "float64", "dtype must be 'complex64' or 'complex128', got: float64"),
        (3, "big-endian", "dtype must be 'complex64' or 'complex128', got: >c16"),
    ],
)
def test_from_numpy_checks_in_order(n, kind, message, no_leaks):
    with pytest.raises(ValueError) as info:
        stavex.DeviceState.from_numpy(n, _array(kind))
    assert str(info.value) == message


def test_from_numpy_parses_device_after_every_array_check():
    with pytest.raises(ValueError, match="state.size must equal 2"):
        stavex.DeviceState.from_numpy(3, np.zeros(4, np.complex128), device="cpu")
    with pytest.raises(ValueError, match="float64"):
        stavex.DeviceState.from_numpy(3, np.zeros(8, np.float64), device="cpu")
    with pytest.raises(ValueError, match="device must be"):
        stavex.DeviceState.from_numpy(3, np.zeros(8, np.complex64), device="cpu")
    # run_circuit parses the device before the element type
    with pytest.raises(ValueError, match="device must be"):
        stavex.run_circuit(3, np.zeros(8, np.float64), [], device="cpu")


def test_copy_to_numpy_checks():
    s = stavex.DeviceState.zero_state(3, dtype="complex64")
    readonly = np.zeros(8, np.complex64)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        s.copy_to_numpy(readonly)
    with pytest.raises(ValueError, match="^numpy state dtype does not match DeviceState$"):
        s.copy_to_numpy(np.zeros(8, np.complex128))
    with pytest.raises(ValueError, match="^state.size must equal 2\\*\\*n$"):
        s.copy_to_numpy(np.zeros(16, np.complex64))
    with pytest.raises(ValueError, match="float64"):
        s.copy_to_numpy(np.zeros(8, np.float64))


@cpu_layer_only
def test_states_that_cannot_be_allocated_fail_cleanly(no_leaks):
    # Byte sizes beyond 64 bits and beyond the device's memory alike.
    for n, dtype in [(62, "complex128"), (62, "complex64"), (61, "complex128"), (45, "complex64")]:
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            stavex.DeviceState.zero_state(n, dtype=dtype)
    assert stavex.DeviceState.zero_state(4).to_numpy()[0] == 1


@cpu_layer_only
def test_capacity_limit_and_states_on_a_second_device(no_leaks):
    capacity = stavex._cpu_layer_memory_capacity()
    stavex._cpu_layer_set_memory_capacity(1 << 20)
    try:
        with pytest.raises(RuntimeError, match="out of memory"):
            stavex.DeviceState.zero_state(17)  # 2 MiB
        assert stavex.DeviceState.zero_state(15).num_state == 1 << 15
    finally:
        stavex._cpu_layer_set_memory_capacity(capacity)

    stavex._cpu_layer_set_device_count(2)
    try:
        s = stavex.DeviceState.zero_state(2, device="cuda:1")
        assert s.device_id == 1 and s.to_numpy()[0] == 1
        assert (1, 64) in stavex._cpu_layer_live_allocations()
        del s
    finally:
        stavex._cpu_layer_set_device_count(1)


@cpu_layer_only
def test_a_state_whose_device_is_gone_still_frees_its_buffer(no_leaks):
    stavex._cpu_layer_set_device_count(2)
    try:
        s = stavex.DeviceState.zero_state(2, device="cuda:1")
    finally:
        stavex._cpu_layer_set_device_count(1)
    del s  # selecting device 1 now fails; the buffer must be freed all the same
    assert stavex.DeviceState.zero_state(1).to_numpy()[0] == 1  # the failed selection does not linger


@cpu_layer_only
@pytest.mark.parametrize("dtype", DTYPES)
def test_pinning_failure_is_silent(dtype, no_leaks):
    v = random_state(4, dtype)
    stavex._cpu_layer_inject_fault("host_register", 1)
    s = stavex.DeviceState.from_numpy(4, v, use_pinned_host=True)
    stavex._cpu_layer_inject_fault("host_register", 1)
    np.testing.assert_array_equal(s.to_numpy(use_pinned_host=True), v)


@cpu_layer_only
@pytest.mark.parametrize("kind, nth", [("allocation", 1), ("copy", 1)])
def test_failed_upload_leaks_nothing(kind, nth, no_leaks):
    stavex._cpu_layer_inject_fault(kind, nth)
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        stavex.DeviceState.from_numpy(3, random_state(3, np.complex128), use_pinned_host=True)
    # a failed copy must not leave the host array registered
    s = stavex.DeviceState.from_numpy(3, random_state(3, np.complex128), use_pinned_host=True)
    assert s.n == 3


@cpu_layer_only
def test_failed_download_leaves_state_usable(no_leaks):
    v = random_state(3, np.complex64)
    s = stavex.DeviceState.from_numpy(3, v)
    out = np.zeros_like(v)
    stavex._cpu_layer_inject_fault("copy", 1)
    with pytest.raises(RuntimeError, match="^CUDA error: unspecified launch failure$"):
        s.copy_to_numpy(out, use_pinned_host=True)
    s.copy_to_numpy(out, use_pinned_host=True)
    np.testing.assert_array_equal(out, v)


@cpu_layer_only
@pytest.mark.parametrize("module_name", ["stavex", "plexar"])
def test_device_queries_see_the_layer(module_name):
    module = __import__(module_name)
    capacity, devices = module._cpu_layer_memory_capacity(), module._cpu_layer_device_count()
    try:
        module._cpu_layer_set_device_count(3)
        assert module.device_count() == 3
        module._cpu_layer_set_memory_capacity(1 << 30)
        free, total = module.device_memory_info("cuda:0")
        assert total == 1 << 30 and free <= total
        n = 10
        state = (stavex.DeviceState.zero_state(2 * n) if module is stavex
                 else module.DeviceDensityState.zero_state(n))
        assert module.device_memory_info() == (free - 16 * 4**n, total)
        del state
        assert module.device_memory_info()[0] == free
    finally:
        module._cpu_layer_set_memory_capacity(capacity)
        module._cpu_layer_set_device_count(devices)
    with pytest.raises(ValueError, match="^device must be 'cuda', 'gpu', or 'cuda:<id>', got: tpu$"):
        module.device_memory_info("tpu")
    with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
        module.device_memory_info("cuda:7")
