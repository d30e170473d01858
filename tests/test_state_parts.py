"""The private helpers for a caller that holds one part of a larger state
(one rank of a distributed state): outcome probabilities without collapse, the
host draw from a table, the collapse onto a given outcome, range copies between
device states, host arrays and foreign device buffers, pinned host arrays and
the state's __cuda_array_interface__. Checked against NumPy models and against
the single-process measurement they must reproduce."""

import numpy as np
import pytest

import stavex
from conftest import DTYPES
from mt19937_64 import MT19937_64
from test_measure import RTOL, assert_collapsed, outcome_of_indices, random_state, reference_collapse

ENDIANS = ["little", "big"]


def reference_probabilities(state, n, targets, endian):
    amps = state.astype(np.complex128)
    probs = np.zeros(2 ** len(targets))
    np.add.at(probs, outcome_of_indices(n, targets, endian), amps.real**2 + amps.imag**2)
    return probs


def reference_draw(table, shots, seed):
    """Counts by outcome index and the last index, drawn from a table."""
    cum = np.cumsum(table)
    raw = np.array(MT19937_64(seed).take(shots), dtype=np.uint64)
    x = (raw >> np.uint64(11)).astype(np.float64) * 2.0**-53 * cum[-1]
    drawn = np.minimum(np.searchsorted(cum, x, side="right"), len(cum) - 1)
    values, counts = np.unique(drawn, return_counts=True)
    return dict(zip(values.tolist(), counts.tolist())), int(drawn[-1])


# ---- measurement in parts ------------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("n, targets", [(5, [3, 0]), (5, [4, 1, 2, 0, 3]), (10, [9, 0, 5])])
def test_outcome_probabilities_match_the_model_and_leave_the_state(dtype, endian, n, targets):
    state = random_state(n, dtype, seed=n + len(targets), sparse=True)
    device = stavex.DeviceState.from_numpy(n, state)
    table = stavex._outcome_probabilities(device, targets, endian=endian)
    assert table.dtype == np.float64 and table.shape == (2 ** len(targets),)
    np.testing.assert_allclose(table, reference_probabilities(state, n, targets, endian), rtol=RTOL[dtype], atol=0)
    assert device.to_numpy().tobytes() == state.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
@pytest.mark.parametrize("targets, shots, seed", [
    ([3, 0], 1000, 1),  # fewer outcomes than shots: dense counters
    ([4, 1, 2], 5, 2**64 - 1),  # hash-map counting
    ([0, 1, 2, 3, 4, 5], 64, 7),  # shots == 2^k: still the hash map
])
def test_draw_from_the_table_is_the_draw_of_sample_measure(dtype, endian, targets, shots, seed):
    n, k = 6, len(targets)
    state = random_state(n, dtype, seed=4, sparse=True)
    table = stavex._outcome_probabilities(stavex.DeviceState.from_numpy(n, state), targets, endian=endian)
    counts, last = stavex._draw_outcomes(table, shots, seed)

    expected, expected_last = stavex.sample_measure_device(stavex.DeviceState.from_numpy(n, state), targets, shots,
                                                            endian=endian, seed=seed)
    assert {format(o, f"0{k}b"): c for o, c in counts.items()} == expected
    assert format(last, f"0{k}b") == expected_last
    assert (counts, last) == reference_draw(table, shots, seed)
    if 2**k < shots:
        assert list(counts) == sorted(counts)


def test_draw_from_a_summed_table():
    # What a distributed caller draws from: tables of two parts added up.
    rng = np.random.default_rng(3)
    table = rng.random(16) * (rng.random(16) < 0.6) + stavex._outcome_probabilities(
        stavex.DeviceState.from_numpy(4, random_state(4, np.complex128, seed=2)), [1, 3, 0, 2])
    assert stavex._draw_outcomes(table, 300, 12) == reference_draw(table, 300, 12)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ENDIANS)
def test_collapse_outcome_is_the_collapse_of_measurement(dtype, endian):
    n, targets = 6, [5, 2, 3]
    state = random_state(n, dtype, seed=9)
    cum = np.cumsum(reference_probabilities(state, n, targets, endian))
    for outcome in (0, 5, 7):
        device = stavex.DeviceState.from_numpy(n, state)
        p = cum[outcome] - (cum[outcome - 1] if outcome else 0.0)
        stavex._collapse_outcome(device, targets, outcome, p, endian=endian)
        assert_collapsed(device.to_numpy(), reference_collapse(state, n, targets, endian, outcome, cum))


@pytest.mark.parametrize("dtype", DTYPES)
def test_collapse_without_targets_scales_and_without_keep_zeroes(dtype):
    state = (random_state(4, dtype, seed=1) * 3).astype(dtype)
    device = stavex.DeviceState.from_numpy(4, state)
    stavex._collapse_outcome(device, [], 0, 9.0)
    assert_collapsed(device.to_numpy(), state * np.asarray(1 / 3, state.real.dtype))
    stavex._collapse_outcome(device, [2, 0], 3, 0.25, keep=False)
    assert device.to_numpy().tobytes() == np.zeros_like(state).tobytes()


# ---- argument errors -------------------------------------------------------------------------

TABLE = np.full(4, 0.25)


@pytest.mark.parametrize("call, error, message", [
    (lambda s: stavex._outcome_probabilities(s, []), ValueError, "measure targets size must be in [1, 62]"),
    (lambda s: stavex._outcome_probabilities(s, [0, 3]), ValueError, "measure target index out of range"),
    (lambda s: stavex._outcome_probabilities(s, [5], endian="middle"), ValueError,
     "endian must be 'little' or 'big'"),
    (lambda s: stavex._draw_outcomes([0.5, 0.5], 1, 1), ValueError, "probabilities must be a 1-D float64 numpy array"),
    (lambda s: stavex._draw_outcomes(TABLE.astype(np.float32), 1, 1), ValueError,
     "probabilities must be a 1-D float64 numpy array"),
    (lambda s: stavex._draw_outcomes(TABLE.reshape(2, 2), 1, 1), ValueError,
     "probabilities must be a 1-D float64 numpy array"),
    (lambda s: stavex._draw_outcomes(TABLE[:3], 1, 1), ValueError, "probabilities size must be a power of two"),
    (lambda s: stavex._draw_outcomes(TABLE[:0], 1, 1), ValueError, "probabilities size must be a power of two"),
    (lambda s: stavex._draw_outcomes(TABLE - [0, 0.5, 0, 0], 1, 1), ValueError, "probabilities must be non-negative"),
    (lambda s: stavex._draw_outcomes(TABLE, 0, 1), ValueError, "shots must be positive"),
    (lambda s: stavex._draw_outcomes(TABLE * 0, 1, 1), RuntimeError, "Quantum state has zero or invalid norm."),
    (lambda s: stavex._draw_outcomes(TABLE + [0, np.nan, 0, 0], 1, 1), RuntimeError,
     "Quantum state has zero or invalid norm."),
    (lambda s: stavex._collapse_outcome(s, [0] * 63, 0, 1.0), ValueError, "measure targets size must be in [0, 62]"),
    (lambda s: stavex._collapse_outcome(s, [1, 1], 0, 1.0), ValueError, "duplicate measure target index"),
    (lambda s: stavex._collapse_outcome(s, [1], 0, 1.0, endian="middle"), ValueError,
     "endian must be 'little' or 'big'"),
    (lambda s: stavex._collapse_outcome(s, [1, 2], 4, 1.0), ValueError, "outcome must be in [0, 2**k)"),
    (lambda s: stavex._collapse_outcome(s, [], 1, 1.0), ValueError, "outcome must be in [0, 2**k)"),
    (lambda s: stavex._collapse_outcome(s, [1], 1, 0.0, keep=False), RuntimeError,
     "Selected measurement probability is zero."),
    (lambda s: stavex._collapse_outcome(s, [1], 1, np.nan), RuntimeError, "Selected measurement probability is zero."),
    (lambda s: stavex._collapse_outcome(s, [1], 1, np.inf), ValueError, "probability must be finite"),
])
def test_argument_errors_leave_the_state(call, error, message):
    state = random_state(3, np.complex128, seed=5)
    device = stavex.DeviceState.from_numpy(3, state)
    with pytest.raises(error) as info:
        call(device)
    assert str(info.value) == message
    assert device.to_numpy().tobytes() == state.tobytes()
