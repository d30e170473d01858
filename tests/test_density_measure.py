"""Measurement of density matrices against the NumPy model: outcome
probabilities from the diagonal, one MT19937-64 draw per measurement (the
engine reproduced in Python), and the collapse P rho P / p."""

import numpy as np
import pytest

import plexar
from density_reference import collapse, draw_outcome, outcome_probabilities, outcome_text
from density_support import DTYPES, density_no_leaks, random_rho  # noqa: F401
from mt19937_64 import MT19937_64

SEEDS = [0, 1, 7, 12345, 2**63 + 5, 2**64 - 1]
# Device sums add in any order, so p, and the scale 1/p, may differ from the
# model's in the last bits of a double.
COLLAPSE_RTOL = {np.complex64: 1e-6, np.complex128: 1e-13}


def basis(n, index, dtype=np.complex128):
    rho = np.zeros((2**n, 2**n), dtype)
    rho[index, index] = 1
    return rho


@pytest.mark.parametrize("targets, endian, expected", [
    ([1, 0], "little", "10"), ([0, 1], "little", "01"), ([0], "little", "0"), ([1], "little", "1"),
    ([0], "big", "1"), ([1], "big", "0"), ([1, 0], "big", "01"),
])
@pytest.mark.parametrize("dtype", DTYPES)
def test_basis_state_outcomes(targets, endian, expected, dtype):
    rho = basis(2, 0b10, dtype)  # qubit 1 set
    state = plexar.DeviceDensityState.from_numpy(2, rho)
    assert plexar.measure_device(state, targets, endian, seed=3) == expected
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets, endian", [
    (1, [0], "little"), (3, [2, 0], "little"), (3, [2, 0], "big"), (4, [1, 3, 0], "big"),
    (4, [3, 0, 2, 1], "little"), (5, [4], "big"), (5, [0, 4, 2], "little"),
])
@pytest.mark.parametrize("seed", SEEDS)
def test_seeded_outcome_and_collapse(n, targets, endian, seed, dtype):
    rho = random_rho(n, dtype, seed=n + seed % 97, hermitian=True)
    state = plexar.DeviceDensityState.from_numpy(n, rho)
    probs = outcome_probabilities(rho, targets, endian)
    outcome = draw_outcome(probs, seed)
    assert plexar.measure_device(state, targets, endian, seed) == outcome_text(outcome, len(targets))
    expected = collapse(rho, targets, endian, outcome, probs[outcome])
    np.testing.assert_allclose(state.to_numpy(), expected, rtol=COLLAPSE_RTOL[dtype], atol=0)
    assert np.isclose(np.trace(state.to_numpy()).real, 1.0, atol=1e-5)


def test_draws_scale_with_an_unnormalised_trace():
    # Probabilities 1, 2, 3, 4 (trace 10): the draw compares against running
    # sums of the unnormalised values.
    rho = np.diag([1.0, 2.0, 3.0, 4.0]).astype(np.complex128)
    outcomes = set()
    for seed in range(100):
        expected = draw_outcome(np.array([1.0, 2.0, 3.0, 4.0]), seed)
        state = plexar.DeviceDensityState.from_numpy(2, rho)
        assert plexar.measure_device(state, [1, 0], seed=seed) == outcome_text(expected, 2)
        np.testing.assert_array_equal(state.to_numpy(), basis(2, expected))
        outcomes.add(expected)
    assert outcomes == {0, 1, 2, 3}


def test_maximally_mixed_qubit_collapses_to_the_drawn_value():
    seed = next(s for s in range(100) if (MT19937_64(s).next() >> 11) * 2.0**-53 > 0.5)
    state = plexar.DeviceDensityState.from_numpy(1, np.eye(2, dtype=np.complex64) / 2)
    assert plexar.measure_device(state, [0], seed=seed) == "1"
    np.testing.assert_array_equal(state.to_numpy(), basis(1, 1, np.complex64))


def test_same_seed_same_outcome():
    rho = random_rho(4, np.complex128, seed=3, hermitian=True)
    first = plexar.DeviceDensityState.from_numpy(4, rho)
    results = {plexar.measure_device(first.copy(), [0, 1, 2, 3], seed=99) for _ in range(5)}
    assert len(results) == 1
    unseeded = {plexar.measure_device(first.copy(), [0, 1, 2, 3]) for _ in range(40)}
    assert len(unseeded) > 1


@pytest.mark.parametrize("diagonal", [[0, 0], [np.nan, 1], [np.inf, 0], [-1, 1], [-2, 1]])
def test_zero_or_invalid_trace(diagonal, density_no_leaks):
    rho = np.diag(diagonal).astype(np.complex128)
    rho[0, 1] = 0.5j
    state = plexar.DeviceDensityState.from_numpy(1, rho)
    with pytest.raises(RuntimeError, match=r"^density matrix has zero or invalid trace\.$"):
        plexar.measure_device(state, [0], seed=1)
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("n, targets, endian, message", [
    (3, [], "little", "^measure targets must not be empty$"),
    (3, [0, 0], "little", "^duplicate measure target index$"),
    (3, [0, 5], "little", "^measure target index out of range$"),
    (3, [5, 0, 0], "little", "^measure target index out of range$"),
    (3, [1, 1, 7], "big", "^duplicate measure target index$"),
    (3, [-1], "big", "^measure target index out of range$"),
    (3, [0], "middle", "^endian must be 'little' or 'big'$"),
    (3, [], "Little", "^endian must be 'little' or 'big'$"),
    (0, [], "little", r"^num_qubits must be in \[1, 15\]$"),
    (0, [0], "big\0", "^endian must be 'little' or 'big'$"),
])
def test_invalid_requests_leave_state_unchanged(n, targets, endian, message, density_no_leaks):
    rho = random_rho(n, np.complex128, seed=4, hermitian=True)
    state = plexar.DeviceDensityState.from_numpy(n, rho)
    with pytest.raises(ValueError, match=message):
        plexar.measure_device(state, targets, endian, seed=1)
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("seed", [-1, 1.5, 2**64, "5", [1], np.float64(2.0)])
def test_seed_must_be_an_unsigned_64_bit_integer(seed, density_no_leaks):
    state = plexar.DeviceDensityState.zero_state(1)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        plexar.measure_device(state, [0], seed=seed)


@pytest.mark.parametrize("seed", [2**64 - 1, np.uint64(2**64 - 1), np.int8(3), True])
def test_integer_seeds(seed):
    rho = np.eye(4, dtype=np.complex128) / 4
    state = plexar.DeviceDensityState.from_numpy(2, rho)
    expected = draw_outcome(np.full(4, 0.25), int(seed))
    assert plexar.measure_device(state, (0, 1), seed=seed) == outcome_text(expected, 2)


def test_targets_are_a_sequence_of_integers():
    state = plexar.DeviceDensityState.zero_state(2)
    assert plexar.measure_device(state, (t for t in [1, 0]), seed=0) == "00"
    assert plexar.measure_device(state, np.array([1], np.int16), seed=0) == "0"
    # anything else matches no signature, before the endian is looked at
    for targets in ("01", 1, [0.5], iter([]), iter([0]), None):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            plexar.measure_device(state, targets, endian="middle", seed=0)
