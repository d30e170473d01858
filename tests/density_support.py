"""Operation objects, states and fixtures shared by the density tests."""

import numpy as np
import pytest

import plexar
from conftest import DTYPES, cpu_layer_only, watch_allocations  # noqa: F401
# Agreement with the complex128 model, relative to the largest element of the
# expected result: complex64 rounds every product and sum.
RELATIVE_TOLERANCE = {np.complex64: 4e-6, np.complex128: 1e-13}


class Gate:
    """A gate operation as the Python layer hands it over."""

    def __init__(self, id, target, control=(), control_state=(), parameter=(), matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = list(control_state)
        self.parameter = None if parameter is None else list(parameter)
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix


class Kraus:
    """A Kraus operation; channel_name is left out when None."""

    def __init__(self, target, matrices, channel_name=None):
        self.operation_kind = "kraus"
        self.target = list(target)
        self.kraus_matrices = np.asarray(matrices)
        if channel_name is not None:
            self.channel_name = channel_name


def random_matrix(rng, dim):
    return rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))


def random_rho(n, dtype, seed=0, hermitian=False):
    """A general complex matrix (so that layout mistakes cannot cancel), or a
    density matrix (positive, trace 1)."""
    rng = np.random.default_rng(seed)
    a = random_matrix(rng, 2**n)
    if hermitian:
        a = a @ a.conj().T
        a /= np.trace(a).real
    return a.astype(dtype)


def device_state(rho):
    n = rho.shape[0].bit_length() - 1
    return plexar.DeviceDensityState.from_numpy(n, rho.copy())


def run(rho, operations):
    """Runs the operations on a device copy of rho; returns the result."""
    state = device_state(rho)
    plexar.run_density_operations_device(state, state.num_qubits, operations)
    return state.to_numpy()


def assert_close(actual, expected, dtype):
    scale = max(1.0, float(np.max(np.abs(expected))))
    np.testing.assert_allclose(actual, expected, rtol=0, atol=RELATIVE_TOLERANCE[dtype] * scale)


def live_bytes():
    return sorted(plexar._cpu_layer_live_allocations())


@pytest.fixture
def density_no_leaks():
    yield from watch_allocations(plexar)


def failures(kind, call):
    """Fails the 1st, 2nd, ... operation of `kind` in `call` until the call
    succeeds; yields each error (None once the call has gone through)."""
    for nth in range(1, 50):
        plexar._cpu_layer_inject_fault(kind, nth)
        try:
            call()
            error = None
        except RuntimeError as failure:
            error = str(failure)
        finally:
            plexar._cpu_layer_clear_faults()
        yield nth, error
        if error is None:
            return
    raise AssertionError("the call kept failing")
