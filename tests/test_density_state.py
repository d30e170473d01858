"""DeviceDensityState: creation, checks in their order, copies, sizes from 0 to
15 qubits, and the argument handling of the module functions."""

import numpy as np
import pytest

import plexar
from density_support import (DTYPES, Gate, cpu_layer_only, density_no_leaks, live_bytes,  # noqa: F401
                             random_rho)

QUBIT_MESSAGE = "^num_qubits must be in \\[0, 15\\] for the GPU density backend$"


def zero_matrix(n, dtype):
    rho = np.zeros((2**n, 2**n), dtype)
    rho[0, 0] = 1
    return rho


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 2, 5])
def test_zero_state(n, dtype):
    name = np.dtype(dtype).name
    state = plexar.DeviceDensityState.zero_state(n, dtype=name)
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 2**n, name, 0)
    out = state.to_numpy()
    assert out.dtype == dtype and out.flags.c_contiguous
    np.testing.assert_array_equal(out, zero_matrix(n, dtype))


def test_zero_state_defaults_and_texts():
    state = plexar.DeviceDensityState.zero_state(2)
    assert (state.dtype, state.device_id, state.dimension) == ("complex128", 0, 4)
    for device in ("gpu", "cuda", "cuda:0", "cuda: 0"):
        state = plexar.DeviceDensityState.zero_state(n=1, dtype="complex64", device=device)
        assert (state.dtype, state.device_id) == ("complex64", 0)


@pytest.mark.parametrize("args, error, message", [
    ((2, "float32", "cpu"), ValueError, "^device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu$"),
    ((2, "float32", "cuda"), ValueError, "^dtype must be 'complex64' or 'complex128', got: float32$"),
    ((16, "complex64", "gpu"), ValueError, QUBIT_MESSAGE),
    ((-1, "complex64", "gpu"), ValueError, QUBIT_MESSAGE),
    ((2, "complex64", "cuda:"), ValueError, "^invalid stoi argument$"),
    ((2, "complex64", "cuda:99999999999"), IndexError, "^stoi argument out of range$"),
    ((2, "complex64", "cuda:1"), RuntimeError, "^CUDA error: invalid device ordinal$"),
    ((2, "complex64", "cuda:-1"), RuntimeError, "^CUDA error: invalid device ordinal$"),
    ((2, "complex64", "gpu\0:0"), ValueError, "^device must be 'cuda', 'gpu', or 'cuda:<id>', got: gpu\0:0$"),
])
def test_zero_state_rejects(args, error, message, density_no_leaks):
    with pytest.raises(error, match=message):
        plexar.DeviceDensityState.zero_state(*args)


def readonly(a):
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("n, make, message", [
    (16, lambda: np.zeros((4, 4), np.float64), QUBIT_MESSAGE),
    (-1, lambda: np.zeros((4, 4), np.complex64), QUBIT_MESSAGE),
    (1, lambda: np.zeros((4, 4), np.complex64), r"^state shape must be \(2\*\*n, 2\*\*n\)$"),
    (1, lambda: np.zeros(4, np.complex64), r"^state shape must be \(2\*\*n, 2\*\*n\)$"),
    (1, lambda: np.zeros((2, 2, 1), np.complex64), r"^state shape must be \(2\*\*n, 2\*\*n\)$"),
    (1, lambda: np.zeros((2, 4), np.float32)[:, ::2], "^state must be C-contiguous$"),
    (2, lambda: np.zeros((4, 4), np.complex128).T.copy(order="F"), "^state must be C-contiguous$"),
    (2, lambda: readonly(np.zeros((4, 4), np.complex128).T), "^state must be C-contiguous$"),
    (2, lambda: readonly(np.zeros((4, 4), np.float64)), "^state must be writable$"),
    (2, lambda: np.zeros((4, 4), np.float64), "^dtype must be 'complex64' or 'complex128', got: float64$"),
    (0, lambda: np.zeros((1, 1), np.complex256), "^dtype must be 'complex64' or 'complex128', got: complex256$"),
])
def test_from_numpy_checks_in_order(n, make, message, density_no_leaks):
    with pytest.raises(ValueError, match=message):
        plexar.DeviceDensityState.from_numpy(n, make(), device="nowhere")


def test_from_numpy_checks_the_device_last(density_no_leaks):
    with pytest.raises(ValueError, match="^device must be 'cuda', 'gpu', or 'cuda:<id>', got: nowhere$"):
        plexar.DeviceDensityState.from_numpy(1, np.zeros((2, 2), np.complex64), device="nowhere")


def test_from_numpy_takes_arrays_only():
    with pytest.raises(TypeError):
        plexar.DeviceDensityState.from_numpy(1, [[1, 0], [0, 0]])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [0, 1, 3])
def test_round_trip_keeps_type_and_values(n, dtype):
    rho = random_rho(n, dtype, seed=n)
    state = plexar.DeviceDensityState.from_numpy(n, rho)
    assert state.dtype == np.dtype(dtype).name
    first, second = state.to_numpy(), state.to_numpy()
    np.testing.assert_array_equal(first, rho)
    assert first is not second and not np.shares_memory(first, rho)
    first[:] = 0
    rho[:] = 0
    np.testing.assert_array_equal(state.to_numpy(), second)


def test_copy_is_independent():
    rho = random_rho(2, np.complex128, seed=1)
    original = plexar.DeviceDensityState.from_numpy(2, rho)
    copy = original.copy()
    assert (copy.num_qubits, copy.dtype, copy.device_id) == (2, "complex128", 0)
    plexar.run_density_operations_device(copy, 2, [Gate("x", [0])])
    np.testing.assert_array_equal(original.to_numpy(), rho)
    plexar.run_density_operations_device(original, 2, [Gate("h", [1])])
    np.testing.assert_array_equal(copy.to_numpy(), rho[np.ix_([1, 0, 3, 2], [1, 0, 3, 2])])


def test_no_python_constructor():
    with pytest.raises(TypeError, match="No constructor defined"):
        plexar.DeviceDensityState()


def test_module_surface():
    assert plexar.__doc__ == "CUDA dense density-matrix backend for zorvane"
    assert plexar.backend in ("cpu", "cuda")
    state = plexar.DeviceDensityState.zero_state(n=1)
    plexar.run_density_operations_device(state=state, num_qubits=1, operations=[])
    assert plexar.measure_device(state=state, targets=[0], endian="big", seed=0) == "0"
    for call in (lambda: plexar.run_density_operations_device(None, 1, []),
                 lambda: plexar.measure_device(None, [0]),
                 lambda: plexar.run_density_operations_device(state, 1, 5)):
        with pytest.raises(TypeError):
            call()


def test_empty_list_is_no_run():
    state = plexar.DeviceDensityState.zero_state(2)
    assert plexar.run_density_operations_device(state, 3, []) is None
    assert plexar.run_density_operations_device(state, -7, iter(())) is None
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        plexar.run_density_operations_device(state, 3, [Gate("h", [0])])
    with pytest.raises(ValueError, match="^num_qubits does not match DeviceDensityState$"):
        plexar.run_density_operations_device(state, -2, [Gate("h", [0])])


def test_zero_qubits():
    state = plexar.DeviceDensityState.from_numpy(0, np.array([[0.25 + 0.5j]]))
    np.testing.assert_array_equal(state.copy().to_numpy(), [[0.25 + 0.5j]])
    with pytest.raises(RuntimeError, match="^invalid or duplicate target qubit$"):
        plexar.run_density_operations_device(state, 0, [Gate("h", [0])])
    with pytest.raises(ValueError, match=r"^num_qubits must be in \[1, 15\]$"):
        plexar.measure_device(state, [0])


# ---- the largest state that fits -----------------------------------------------


def used_bytes():
    # Allocations are charged in whole 16-byte units.
    return sum((size + 15) // 16 * 16 for _, size in live_bytes())


@cpu_layer_only
@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_capacity_decides_what_fits(dtype, density_no_leaks):
    capacity = plexar._cpu_layer_memory_capacity()
    n = 6
    size = 4**n * (8 if dtype == "complex64" else 16)
    try:
        plexar._cpu_layer_set_memory_capacity(used_bytes() + size - 1)
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            plexar.DeviceDensityState.zero_state(n, dtype)
        plexar._cpu_layer_set_memory_capacity(used_bytes() + size)
        state = plexar.DeviceDensityState.zero_state(n, dtype)
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            state.copy()
        np.testing.assert_array_equal(state.to_numpy(), zero_matrix(n, np.dtype(dtype).type))
        del state
    finally:
        plexar._cpu_layer_set_memory_capacity(capacity)


@cpu_layer_only
@pytest.mark.parametrize("n, dtype", [(15, "complex64"), (15, "complex128"), (14, "complex128")])
def test_largest_sizes_are_allocated_whole(n, dtype, density_no_leaks):
    # 15 qubits are 8 or 16 GiB: a capacity one byte short of them is refused,
    # so the size asked for is the whole matrix.
    capacity = plexar._cpu_layer_memory_capacity()
    try:
        plexar._cpu_layer_set_memory_capacity(used_bytes() + 4**n * (8 if dtype == "complex64" else 16) - 1)
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            plexar.DeviceDensityState.zero_state(n, dtype)
    finally:
        plexar._cpu_layer_set_memory_capacity(capacity)
    with pytest.raises(ValueError, match=QUBIT_MESSAGE):
        plexar.DeviceDensityState.zero_state(16, dtype)
