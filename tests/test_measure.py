"""Measurement and sampling against an independent NumPy model.

The model follows the documented rules directly: an outcome is the text of the
measured qubits' values in target order, its probability the double-precision
sum of |amplitude|² over the indices that show it, and a shot draws
u = (r >> 11)·2⁻⁵³ from MT19937-64, then takes the first outcome whose running
sum exceeds u·total. With the engine reproduced in Python, counts and the last
outcome are predicted exactly.
"""

from collections import Counter

import numpy as np
import pytest

import stavex
from conftest import DTYPES, cpu_layer_only, live_bytes
from mt19937_64 import MT19937_64

REAL = {np.complex64: np.float32, np.complex128: np.float64}
# Device sums may add in any order, so probabilities (and the collapse scale
# taken from their running sums) may differ from the model's in the last bits.
RTOL = {np.complex64: 1e-6, np.complex128: 1e-12}


# ---- reference model ---------------------------------------------------------


def qubit_value(index, n, label, endian):
    bit = label if endian == "little" else n - 1 - label
    return (index >> bit) & 1


def outcome_text_of(index, n, targets, endian):
    return "".join(str(qubit_value(index, n, t, endian)) for t in targets)


def outcome_of_indices(n, targets, endian):
    return np.array([int(outcome_text_of(i, n, targets, endian), 2) for i in range(2**n)])


def reference_cumulative(state, n, targets, endian):
    amps = state.astype(np.complex128)
    weights = amps.real * amps.real + amps.imag * amps.imag
    probs = np.zeros(2 ** len(targets))
    np.add.at(probs, outcome_of_indices(n, targets, endian), weights)
    return np.cumsum(probs)


def reference_sample(state, n, targets, endian, shots, seed):
    """Returns (counts by text, last outcome index, cumulative sums)."""
    cum = reference_cumulative(state, n, targets, endian)
    total = cum[-1]
    raw = np.array(MT19937_64(seed).take(shots), dtype=np.uint64)
    x = (raw >> np.uint64(11)).astype(np.float64) * 2.0**-53 * total
    drawn = np.minimum(np.searchsorted(cum, x, side="right"), len(cum) - 1)
    k = len(targets)
    counts = Counter(format(int(o), f"0{k}b") for o in drawn)
    return dict(counts), int(drawn[-1]), cum


def reference_collapse(state, n, targets, endian, outcome, cum):
    p = cum[outcome] - (cum[outcome - 1] if outcome else 0.0)
    real = REAL[state.dtype.type]
    scale = real(1.0 / np.sqrt(p))
    keep = outcome_of_indices(n, targets, endian) == outcome
    out = np.zeros_like(state)
    out.real[keep] = state.real[keep] * scale
    out.imag[keep] = state.imag[keep] * scale
    return out


def random_state(n, dtype, seed, sparse=False):
    rng = np.random.default_rng(seed)
    amps = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    if sparse:
        # Leaves outcomes of probability zero, which must never be drawn.
        amps[rng.random(2**n) < 0.5] = 0
    amps /= np.linalg.norm(amps)
    return amps.astype(dtype)


def basis_state(n, index, dtype):
    state = np.zeros(2**n, dtype=dtype)
    state[index] = 1
    return state


def assert_collapsed(actual, expected):
    np.testing.assert_allclose(actual, expected, rtol=RTOL[expected.dtype.type], atol=0)




# ---- the reference engine ----------------------------------------------------


def test_mt19937_64_matches_published_outputs():
    # First output for the default seed, and the 10000th output of a
    # default-constructed engine as the C++ standard lists it.
    assert MT19937_64(5489).next() == 14514284786278117030
    assert MT19937_64(5489).take(10000)[-1] == 9981545732273789042


# ---- outcome labelling -------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("api", ["measure_device", "measure"])
@pytest.mark.parametrize(
    "n, index, targets, endian, expected",
    [
        (3, 1, [0], "little", "1"),
        (3, 1, [0], "big", "0"),
        (3, 1, [2], "big", "1"),
        (3, 4, [2, 0], "little", "10"),
        (3, 4, [0, 2], "little", "01"),
        (3, 4, [0, 2], "big", "10"),
        (3, 4, [2, 0], "big", "01"),
        (4, 0b1011, [3, 2, 1, 0], "little", "1011"),
        (4, 0b1011, [3, 2, 1, 0], "big", "1101"),
        (4, 0b0110, [1, 3], "little", "10"),
    ],
)
def test_basis_state_outcome_text(api, dtype, n, index, targets, endian, expected):
    state = basis_state(n, index, dtype)
    if api == "measure":
        result = stavex.measure(n, state, targets, endian=endian)
        after = state
    else:
        device = stavex.DeviceState.from_numpy(n, state)
        result = stavex.measure_device(device, targets, endian=endian, seed=7)
        after = device.to_numpy()
    assert isinstance(result, str)
    assert result == expected
    # Probability one: the collapse scales by exactly 1 and keeps the state.
    np.testing.assert_array_equal(after, basis_state(n, index, dtype))


# ---- exact counts, last outcome and collapse ---------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize(
    "n, targets, shots, seed, sparse",
    [
        (5, [3, 0], 1000, 1, False),  # 4 outcomes < shots: dense counters
        (5, [0, 3], 3, 2, False),  # shots ≤ outcomes: hash map
        (5, [4, 1, 2, 0, 3], 32, 3, False),  # shots == 2^k: still the hash map
        (5, [4, 1, 2, 0, 3], 33, 4, False),  # one more: dense
        (5, [2, 4, 0], 5000, 2**64 - 1, True),  # zero-probability outcomes
        (10, [9, 0, 5], 2000, 5489, False),  # several blocks of the grid
        (10, [1, 8, 3, 6, 2, 7, 0, 9], 100, 11, False),
    ],
)
def test_sample_matches_reference(dtype, endian, n, targets, shots, seed, sparse):
    state = random_state(n, dtype, seed=n * 100 + len(targets), sparse=sparse)
    expected_counts, expected_last, cum = reference_sample(state, n, targets, endian, shots, seed)

    device = stavex.DeviceState.from_numpy(n, state)
    counts, last = stavex.sample_measure_device(device, targets, shots, endian=endian, seed=seed)

    k = len(targets)
    assert counts == expected_counts
    assert last == format(expected_last, f"0{k}b")
    if 2**k < shots:
        # Dense counting reports outcomes in increasing index order.
        assert list(counts) == sorted(counts, key=lambda text: int(text, 2))
    assert_collapsed(device.to_numpy(), reference_collapse(state, n, targets, endian, expected_last, cum))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_measure_device_is_one_collapsing_shot(dtype, endian):
    n, targets, seed = 6, [5, 2, 3], 99
    state = random_state(n, dtype, seed=3)
    _, expected_last, cum = reference_sample(state, n, targets, endian, 1, seed)

    device = stavex.DeviceState.from_numpy(n, state)
    assert stavex.measure_device(device, targets, endian=endian, seed=seed) == format(expected_last, "03b")
    assert_collapsed(device.to_numpy(), reference_collapse(state, n, targets, endian, expected_last, cum))


@pytest.mark.parametrize("dtype", DTYPES)
def test_unnormalised_state_samples_as_normalised(dtype):
    n, targets, shots, seed = 6, [1, 4], 500, 21
    unit = random_state(n, dtype, seed=8)
    doubled = (unit * 2).astype(dtype)  # norm² 4, scaled exactly

    a = stavex.DeviceState.from_numpy(n, unit)
    b = stavex.DeviceState.from_numpy(n, doubled)
    result_unit = stavex.sample_measure_device(a, targets, shots, seed=seed)
    result_doubled = stavex.sample_measure_device(b, targets, shots, seed=seed)

    assert result_doubled == result_unit
    collapsed = b.to_numpy()
    assert_collapsed(collapsed, a.to_numpy())
    assert np.linalg.norm(collapsed.astype(np.complex128)) == pytest.approx(1.0, rel=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("magnitude", [1e-30, 1e20])
def test_probabilities_are_summed_in_double(dtype, magnitude):
    # Squares of these amplitudes underflow or overflow in float; widened to
    # double first they sample like any state.
    n, targets, shots, seed = 5, [3, 1], 400, 13
    state = (random_state(n, np.complex128, seed=9) * magnitude).astype(dtype)
    expected_counts, expected_last, cum = reference_sample(state, n, targets, "little", shots, seed)

    device = stavex.DeviceState.from_numpy(n, state)
    counts, last = stavex.sample_measure_device(device, targets, shots, seed=seed)
    assert counts == expected_counts and last == format(expected_last, "02b")
    collapsed = device.to_numpy()
    assert_collapsed(collapsed, reference_collapse(state, n, targets, "little", expected_last, cum))
    assert np.linalg.norm(collapsed.astype(np.complex128)) == pytest.approx(1.0, rel=1e-6)


@pytest.mark.parametrize("dtype", DTYPES)
def test_collapsed_state_repeats_its_outcome(dtype):
    n, targets = 5, [0, 4, 2]
    device = stavex.DeviceState.from_numpy(n, random_state(n, dtype, seed=4))
    _, last = stavex.sample_measure_device(device, targets, 50, seed=6)
    counts, again = stavex.sample_measure_device(device, targets, 200, seed=7)
    assert counts == {last: 200} and again == last


@pytest.mark.parametrize("dtype", DTYPES)
def test_same_seed_same_result(dtype):
    n, targets = 7, [6, 0, 3, 1]
    state = random_state(n, dtype, seed=5)
    a = stavex.DeviceState.from_numpy(n, state)
    b = stavex.DeviceState.from_numpy(n, state)
    assert stavex.sample_measure_device(a, targets, 777, seed=42) == stavex.sample_measure_device(
        b, targets, 777, seed=42
    )
    assert_collapsed(a.to_numpy(), b.to_numpy())


@pytest.mark.parametrize("dtype", DTYPES)
def test_no_collapse_leaves_state_untouched(dtype):
    n, targets = 6, [2, 5]
    state = random_state(n, dtype, seed=6)
    device = stavex.DeviceState.from_numpy(n, state)
    expected_counts, expected_last, _ = reference_sample(state, n, targets, "little", 300, 8)
    counts, last = stavex.sample_measure_device(device, targets, 300, seed=8, collapse_last=False)
    assert counts == expected_counts and last == format(expected_last, "02b")
    assert device.to_numpy().tobytes() == state.tobytes()


def test_unseeded_draw_only_yields_possible_outcomes():
    # |00> + |11> on qubits 0 and 2 of three: the two measured bits always agree.
    state = np.zeros(8, dtype=np.complex128)
    state[0b000] = state[0b101] = np.sqrt(0.5)
    device = stavex.DeviceState.from_numpy(3, state)
    counts, last = stavex.sample_measure_device(device, [0, 2], 64, collapse_last=False)
    assert set(counts) <= {"00", "11"} and sum(counts.values()) == 64 and last in counts


# ---- numpy path --------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("endian", ["little", "big"])
def test_numpy_measure_collapses_callers_array(dtype, endian):
    n, targets = 5, [4, 1]
    original = random_state(n, dtype, seed=12)
    state = original.copy()
    result = stavex.measure(n, state, targets, endian=endian)

    assert isinstance(result, str) and len(result) == 2
    outcome = int(result, 2)
    cum = reference_cumulative(original, n, targets, endian)
    assert cum[outcome] - (cum[outcome - 1] if outcome else 0.0) > 0
    assert_collapsed(state, reference_collapse(original, n, targets, endian, outcome, cum))


# ---- invalid states and arguments --------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("fill", [0.0, np.nan, np.inf])
@pytest.mark.parametrize("collapse_last", [True, False])
def test_invalid_norm_is_rejected(dtype, fill, collapse_last):
    state = np.full(8, fill, dtype=dtype)
    device = stavex.DeviceState.from_numpy(3, state)
    with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
        stavex.sample_measure_device(device, [0, 2], 10, seed=1, collapse_last=collapse_last)
    assert device.to_numpy().tobytes() == state.tobytes()


@pytest.mark.parametrize(
    "targets, message",
    [
        ([], "measure targets size must be in [1, 62]"),
        # The size is checked before the labels themselves.
        ([0] * 63, "measure targets size must be in [1, 62]"),
        ([3], "measure target index out of range"),
        ([-1], "measure target index out of range"),
        ([1, 0, 1], "duplicate measure target index"),
        # Labels are checked one by one, in the order given.
        ([0, 0, 5], "duplicate measure target index"),
        ([5, 0, 0], "measure target index out of range"),
    ],
)
@pytest.mark.parametrize("api", ["measure_device", "sample_measure_device"])
def test_invalid_targets(api, targets, message):
    state = random_state(3, np.complex128, seed=1)
    device = stavex.DeviceState.from_numpy(3, state)
    with pytest.raises(ValueError) as info:
        if api == "measure_device":
            stavex.measure_device(device, targets, seed=1)
        else:
            stavex.sample_measure_device(device, targets, 5, seed=1)
    assert str(info.value) == message
    assert device.to_numpy().tobytes() == state.tobytes()


@pytest.mark.parametrize("api", ["measure_device", "sample_measure_device"])
def test_invalid_endian(api):
    device = stavex.DeviceState.from_numpy(2, basis_state(2, 1, np.complex128))
    with pytest.raises(ValueError, match=r"^endian must be 'little' or 'big'$"):
        if api == "measure_device":
            stavex.measure_device(device, [0], endian="middle", seed=1)
        else:
            stavex.sample_measure_device(device, [0], 5, endian="middle", seed=1)


def test_shots_must_be_positive():
    device = stavex.DeviceState.from_numpy(2, basis_state(2, 1, np.complex128))
    with pytest.raises(ValueError, match=r"^shots must be positive$"):
        stavex.sample_measure_device(device, [0], 0, seed=1)
    with pytest.raises(TypeError):
        stavex.sample_measure_device(device, [0], -1, seed=1)


# ---- failures of the runtime -------------------------------------------------


@pytest.fixture
def clean_faults():
    stavex._cpu_layer_clear_faults()
    yield
    stavex._cpu_layer_clear_faults()


@cpu_layer_only
@pytest.mark.usefixtures("clean_faults")
@pytest.mark.parametrize(
    "kind, nth",
    [
        ("allocation", 1),  # target labels
        ("allocation", 2),  # probability table
        ("copy", 1),  # labels to the device
        ("copy", 2),  # table back to the host
        ("launch", 1),  # probability kernel
        ("launch", 2),  # collapse kernel
    ],
)
def test_runtime_failure_leaks_nothing(kind, nth):
    n, targets, seed = 5, [1, 3, 4], 17
    state = random_state(n, np.complex128, seed=2)
    device = stavex.DeviceState.from_numpy(n, state)
    before = live_bytes()

    stavex._cpu_layer_inject_fault(kind, nth)
    with pytest.raises(RuntimeError, match=r"^CUDA error: "):
        stavex.sample_measure_device(device, targets, 40, seed=seed)
    stavex._cpu_layer_clear_faults()

    assert live_bytes() == before
    assert device.to_numpy().tobytes() == state.tobytes()
    expected_counts, expected_last, _ = reference_sample(state, n, targets, "little", 40, seed)
    assert stavex.sample_measure_device(device, targets, 40, seed=seed) == (
        expected_counts,
        format(expected_last, "03b"),
    )


@cpu_layer_only
@pytest.mark.skipif(not hasattr(stavex, "_cpu_layer_set_memory_capacity"), reason="no capacity control")
def test_table_too_large_for_device_memory():
    n, index = 20, 0b1011_0011_1000_1111_0101
    device = stavex.DeviceState.from_numpy(n, basis_state(n, index, np.complex64))
    before = live_bytes()
    saved = stavex._cpu_layer_memory_capacity()
    # Room for what is alive plus 1 MiB: a 2^16 table fits, a 2^20 one does not.
    in_use = sum(-(-size // 16) * 16 for dev, size in before if dev == 0)
    stavex._cpu_layer_set_memory_capacity(in_use + (1 << 20))
    try:
        with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
            stavex.sample_measure_device(device, list(range(20)), 3, seed=1)
        assert live_bytes() == before

        targets = list(range(19, 3, -1))
        counts, last = stavex.sample_measure_device(device, targets, 3, seed=1)
    finally:
        stavex._cpu_layer_set_memory_capacity(saved)
    expected = outcome_text_of(index, n, targets, "little")
    assert counts == {expected: 3} and last == expected
