"""Failures injected into every allocation, copy and launch of a run and of a
measurement, on the CPU execution layer: each gives its error, leaks nothing,
and leaves a state that holds exactly the work done before the failure and
stays usable."""

import gc

import numpy as np
import pytest

import plexar
from density_reference import CHANNELS, apply_kraus, apply_unitary, full_operator, gate_matrix
from density_support import (Gate, Kraus, assert_close, cpu_layer_only, density_no_leaks,  # noqa: F401
                             device_state, failures, live_bytes, random_matrix, random_rho)

pytestmark = cpu_layer_only

FAILED_LAUNCH = " launch failed: unspecified launch failure"
OUT_OF_MEMORY = "CUDA error: out of memory"
FAILED_COPY = "CUDA error: unspecified launch failure"

rng = np.random.default_rng(1)
M1 = random_matrix(rng, 2)
M3 = random_matrix(rng, 8)
K2 = [random_matrix(rng, 4), random_matrix(rng, 4)]
RUN = [Gate("unitary", [0], matrix=M1), Gate("z", [1]), Gate("unitary", [2, 0, 1], matrix=M3),
       Kraus([1], CHANNELS["bit_flip"](0.25), "bit_flip"), Kraus([2, 0], K2), Gate("swap", [0, 2])]
SWAP = np.eye(4)[[0, 2, 1, 3]]


def launched_states(rho):
    """The model state after each launch of RUN, with what the failing launch
    is reported as. A three-target unitary is two launches (left, then right);
    when the left one fails, the right one is not launched."""
    g3 = full_operator(3, M3, [2, 0, 1])
    a = apply_unitary(rho, M1, [0])
    b = apply_unitary(a, gate_matrix("z", []), [1])
    c = apply_unitary(b, M3, [2, 0, 1])
    d = apply_kraus(c, CHANNELS["bit_flip"](0.25), [1])
    e = apply_kraus(d, K2, [2, 0])
    return [("unitary kernel", rho), ("diagonal kernel", a), ("unitary kernel", b),
            ("unitary kernel", g3 @ b), ("channel kernel", c), ("kraus_kernel", d), ("permutation kernel", e),
            (None, apply_unitary(e, SWAP, [0, 2]))]


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("kind", ["allocation", "copy", "launch"])
def test_run(kind, dtype, density_no_leaks):
    rho = random_rho(3, dtype, seed=2)
    expected = launched_states(rho)
    before = live_bytes()
    state = device_state(rho)
    seen = []
    for nth, error in failures(kind, lambda: plexar.run_density_operations_device(state, 3, RUN)):
        out = state.to_numpy()
        if error is None:
            assert_close(out, expected[-1][1], dtype)
            break
        seen.append(error)
        if kind == "launch":
            family, at_failure = expected[nth - 1]
            assert error == family + FAILED_LAUNCH
            assert_close(out, at_failure, dtype)
        else:
            assert error == (OUT_OF_MEMORY if kind == "allocation" else FAILED_COPY)
            np.testing.assert_array_equal(out, rho)
        gc.collect()
        assert live_bytes() == sorted(before + [(0, rho.nbytes)])
        state = device_state(rho)
    # One allocation and one copy (the matrix pool); seven launches.
    assert len(seen) == {"allocation": 1, "copy": 1, "launch": 7}[kind]


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("kind, messages", [
    ("allocation", [OUT_OF_MEMORY] * 2),  # the labels, the probabilities
    ("copy", [FAILED_COPY] * 2),  # labels up, probabilities down
    ("launch", [FAILED_COPY] * 2),  # probabilities, collapse
])
def test_measurement(kind, messages, dtype, density_no_leaks):
    rho = random_rho(3, dtype, seed=3, hermitian=True)
    state = device_state(rho)
    before = live_bytes()
    seen = []
    for _, error in failures(kind, lambda: plexar.measure_device(state, [2, 0], seed=5)):
        if error is None:
            assert not np.array_equal(state.to_numpy(), rho)
            break
        seen.append(error)
        np.testing.assert_array_equal(state.to_numpy(), rho)
        gc.collect()
        assert live_bytes() == before
    assert seen == messages


@pytest.mark.parametrize("kind, call, message", [
    ("allocation", lambda: plexar.DeviceDensityState.zero_state(2), OUT_OF_MEMORY),
    ("copy", lambda: plexar.DeviceDensityState.zero_state(2), FAILED_COPY),
    ("allocation", lambda: plexar.DeviceDensityState.from_numpy(2, np.eye(4, dtype=np.complex64)), OUT_OF_MEMORY),
    ("copy", lambda: plexar.DeviceDensityState.from_numpy(2, np.eye(4, dtype=np.complex64)), FAILED_COPY),
])
def test_creation(kind, call, message, density_no_leaks):
    plexar._cpu_layer_inject_fault(kind, 1)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        call()


@pytest.mark.parametrize("kind, message", [("allocation", OUT_OF_MEMORY), ("copy", FAILED_COPY)])
def test_copy_and_download(kind, message, density_no_leaks):
    rho = random_rho(2, np.complex128, seed=4)
    state = device_state(rho)
    plexar._cpu_layer_inject_fault(kind, 1)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        state.copy()
    if kind == "copy":
        plexar._cpu_layer_inject_fault(kind, 1)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            state.to_numpy()
    np.testing.assert_array_equal(state.copy().to_numpy(), rho)


def test_state_on_a_device_that_is_gone(density_no_leaks):
    count = plexar._cpu_layer_device_count()
    plexar._cpu_layer_set_device_count(2)
    try:
        state = plexar.DeviceDensityState.zero_state(1, device="cuda:1")
        assert state.device_id == 1
        plexar._cpu_layer_set_device_count(1)
        assert plexar.run_density_operations_device(state, 1, []) is None
        for call in ("run", "measure", "to_numpy", "copy"):
            with pytest.raises(RuntimeError, match="^CUDA error: invalid device ordinal$"):
                if call == "run":
                    plexar.run_density_operations_device(state, 1, [Gate("x", [0])])
                elif call == "measure":
                    plexar.measure_device(state, [0])
                else:
                    getattr(state, call)()
        del state
        gc.collect()  # tracebacks hold the state; freed while its device is gone, it must not leak
    finally:
        plexar._cpu_layer_set_device_count(count)
