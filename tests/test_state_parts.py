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


# ---- range copies, the array interface, pinned host arrays ------------------------------------


class Exported:
    """A foreign owner of device memory: exposes another object's buffer only
    through __cuda_array_interface__, with entries overridden."""

    def __init__(self, owner, **changes):
        self.owner = owner
        self.__cuda_array_interface__ = {**owner.__cuda_array_interface__, **changes}


def host_pointer_interface(array):
    return {"shape": array.shape, "typestr": array.dtype.str, "data": (array.ctypes.data, False), "version": 3}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("pinned", [False, True])
@pytest.mark.parametrize("route", ["state_to_host", "host_to_state", "state_to_state", "within_state",
                                   "state_to_foreign", "foreign_to_state"])
def test_copy_range_moves_exactly_the_range(dtype, pinned, route):
    n, (src_at, dst_at, count) = 6, (5, 37, 20)
    source, target = random_state(n, dtype, seed=1), random_state(n, dtype, seed=2)
    if route == "within_state":
        target = source
    expected = target.copy()
    expected[dst_at:dst_at + count] = source[src_at:src_at + count]

    a, b = stavex.DeviceState.from_numpy(n, source), stavex.DeviceState.from_numpy(n, target)
    host = target.copy() if route == "state_to_host" else source.copy()
    sides = {"state_to_host": (a, host), "host_to_state": (host, b), "state_to_state": (a, b), "within_state": (a, a),
             "state_to_foreign": (a, Exported(b)), "foreign_to_state": (Exported(a), b)}[route]
    stavex._copy_range(sides[0], src_at, sides[1], dst_at, count, use_pinned_host=pinned)

    result = host if route == "state_to_host" else a.to_numpy() if route == "within_state" else b.to_numpy()
    assert result.tobytes() == expected.tobytes()
    if route not in ("within_state", "host_to_state", "foreign_to_state"):
        assert a.to_numpy().tobytes() == source.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
def test_cuda_array_interface_describes_the_buffer(dtype):
    state = stavex.DeviceState.zero_state(5, np.dtype(dtype).name)
    interface = state.__cuda_array_interface__
    pointer = interface.pop("data")
    assert interface == {"shape": (32,), "typestr": np.dtype(dtype).str, "strides": None, "version": 3, "stream": 1}
    assert isinstance(pointer[0], int) and pointer[0] != 0 and pointer[1] is False
    assert state.__cuda_array_interface__["data"] == pointer
    with pytest.raises(AttributeError):
        state.__cuda_array_interface__ = {}


@pytest.mark.parametrize("dtype", DTYPES)
def test_pinned_host_array_is_page_locked_for_its_whole_life(dtype):
    array = stavex._pinned_host_array(100, np.dtype(dtype).name)
    assert array.dtype == dtype and array.shape == (100,) and array.flags.writeable and array.flags.c_contiguous
    array[:] = np.arange(100)
    state = stavex.DeviceState.from_numpy(7, random_state(7, dtype, seed=3))
    stavex._copy_range(state, 28, array, 0, 100, use_pinned_host=True)  # already locked: no second lock
    assert array.tobytes() == state.to_numpy()[28:].tobytes()
    if stavex.backend == "cpu":
        assert array.nbytes in stavex._cpu_layer_live_host_allocations()
        assert stavex._cpu_layer_host_registrations() == 0
        view = array[10:]
        del array
        assert view.nbytes + 10 * view.itemsize in stavex._cpu_layer_live_host_allocations()
        del view
        assert stavex._cpu_layer_live_host_allocations() == []


STATE = random_state(3, np.complex128, seed=5)


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("call, message", [
    (lambda s: stavex._copy_range(s, 0, s, 2, 3), "source and target ranges overlap"),
    (lambda s: stavex._copy_range(s, 0, Exported(s), 1, 2), "source and target ranges overlap"),
    (lambda s: stavex._copy_range(s, 6, np.zeros(8, np.complex128), 0, 3),
     "source_offset + count exceeds the source size"),
    (lambda s: stavex._copy_range(s, 2**64 - 1, np.zeros(8, np.complex128), 0, 2),
     "source_offset + count exceeds the source size"),
    (lambda s: stavex._copy_range(np.zeros(4, np.complex128), 0, s, 5, 4),
     "target_offset + count exceeds the target size"),
    (lambda s: stavex._copy_range(np.zeros(4, np.complex128), 0, np.zeros(4, np.complex128), 0, 1),
     "source or target must be a DeviceState"),
    (lambda s: stavex._copy_range(s, 0, np.zeros(8, np.complex64), 0, 1), "source and target dtypes differ"),
    (lambda s: stavex._copy_range(s, 0, Exported(s, typestr="<c8"), 0, 1), "source and target dtypes differ"),
    (lambda s: stavex._copy_range(s, 0, np.zeros(8), 0, 1), "dtype must be 'complex64' or 'complex128', got: float64"),
    (lambda s: stavex._copy_range(s, 0, np.zeros(16, np.complex128)[::2], 0, 1),
     "target must be a 1-D C-contiguous numpy array"),
    (lambda s: stavex._copy_range(s, 0, read_only(np.zeros(8, np.complex128)), 0, 1), "target array must be writable"),
    (lambda s: stavex._copy_range([0j] * 8, 0, s, 0, 1),
     "source must be a DeviceState, a numpy array or an object exposing __cuda_array_interface__"),
    (lambda s: stavex._copy_range(s, 0, Exported(s, data=(s.__cuda_array_interface__["data"][0], True)), 0, 1),
     "target __cuda_array_interface__ is read-only"),
    (lambda s: stavex._copy_range(Exported(s, shape=(2, 4)), 0, s, 0, 1),
     "source __cuda_array_interface__ must describe a 1-D array"),
    (lambda s: stavex._copy_range(Exported(s, typestr=">c16"), 0, s, 0, 1),
     "source __cuda_array_interface__ typestr must be '<c8' or '<c16', got: >c16"),
    (lambda s: stavex._copy_range(Exported(s, strides=(32,)), 0, s, 0, 1),
     "source __cuda_array_interface__ must describe a contiguous array"),
    (lambda s: stavex._copy_range(Exported(s, mask=np.ones(8, bool)), 0, s, 0, 1),
     "source __cuda_array_interface__ mask must be None"),
    (lambda s: stavex._copy_range(Exported(s, stream=0), 0, s, 0, 1),
     "source __cuda_array_interface__ stream must be None or a positive int"),
    (lambda s: stavex._copy_range(Exported(s, data=None), 0, s, 0, 1),
     "source __cuda_array_interface__ data must be a (pointer, read-only flag) tuple"),
    (lambda s: stavex._copy_range(type("Listed", (), {"__cuda_array_interface__": [8]})(), 0, s, 0, 1),
     "source __cuda_array_interface__ must be a dict"),
    (lambda s: stavex._copy_range(Exported(s, **host_pointer_interface(STATE)), 0, s, 0, 1),
     "source __cuda_array_interface__ data is not device memory"),
    (lambda s: stavex._pinned_host_array(0), "count must be positive"),
])
def test_copy_and_pinned_argument_errors(call, message):
    device = stavex.DeviceState.from_numpy(3, STATE)
    with pytest.raises(ValueError) as info:
        call(device)
    assert str(info.value) == message
    assert device.to_numpy().tobytes() == STATE.tobytes()
