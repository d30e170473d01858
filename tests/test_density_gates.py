"""Gates on density matrices against the NumPy model G rho G^dagger.

Every state is a general complex matrix and every stored matrix a general
(non-unitary) complex matrix, so that a wrong layout or a wrong target order
cannot cancel out.
"""

import numpy as np
import pytest

import plexar
from density_reference import ALIASES, GATES, apply_kraus, apply_unitary, gate_matrix
from density_support import (DTYPES, Gate, Kraus, assert_close, density_no_leaks, device_state,  # noqa: F401
                             random_matrix, random_rho, run)

PARAMS = {0: [], 1: [0.7], 2: [0.4, -1.3], 3: [0.9, -0.4, 2.1]}
ALL_NAMES = sorted(GATES) + sorted(ALIASES)
CONTROLS = [((), ()), ((0, 3), (1, 0)), ((3, 0), (0, 1))]


# An uncontrolled global phase is skipped altogether: see its own test.
NAMED_CASES = [pytest.param(name, controls, id=f"{name}-{tag}")
               for name in ALL_NAMES for controls, tag in zip(CONTROLS, ["none", "c0=1,c3=0", "c3=0,c0=1"])
               if controls[0] or ALIASES.get(name, name) != "gp"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, controls", NAMED_CASES)
def test_named_gate(name, controls, dtype):
    params = PARAMS[GATES[ALIASES.get(name, name)][0]]
    rho = random_rho(4, dtype, seed=len(name))
    op = Gate(name, [2], controls[0], controls[1], params)
    expected = apply_unitary(rho, gate_matrix(name, params), [2], *controls)
    assert_close(run(rho, [op]), expected, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("controls", CONTROLS[:2], ids=["none", "controlled"])
def test_swap(controls, dtype):
    rho = random_rho(4, dtype, seed=3)
    swap = np.eye(4)[[0, 2, 1, 3]]
    assert_close(run(rho, [Gate("swap", [2, 1], *controls)]), apply_unitary(rho, swap, [2, 1], *controls), dtype)


@pytest.mark.parametrize("parameter", [None, [], [1.0, 2.0], [float("nan")]])
def test_uncontrolled_global_phase_is_skipped(parameter):
    rho = random_rho(2, np.complex128, seed=1)
    for name in ("gp", "gphase", "global_phase"):
        np.testing.assert_array_equal(run(rho, [Gate(name, [0], parameter=parameter)]), rho)


def test_diagonal_gates_ignore_extra_parameters():
    # s, t and z take the diagonal form, which does not examine parameters.
    rho = random_rho(2, np.complex128, seed=2)
    for name in ("s", "s_dag", "t", "t_dag", "z", "-z"):
        op = Gate(name, [1], parameter=[1.0])
        assert_close(run(rho, [op]), apply_unitary(rho, gate_matrix(name, []), [1]), np.complex128)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("k, n, targets, controls", [
    (1, 3, [1], ([2], [1])),
    (2, 3, [2, 0], ([], [])),
    (2, 4, [0, 3], ([1], [0])),
    (3, 4, [3, 0, 2], ([], [])),
    (3, 5, [1, 4, 2], ([0], [1])),
    (4, 5, [4, 1, 0, 3], ([], [])),
    (5, 6, [2, 5, 0, 4, 1], ([3], [0])),
    (6, 7, [6, 1, 3, 0, 5, 2], ([], [])),
    (6, 7, [0, 2, 4, 6, 1, 3], ([5], [1])),
])
def test_stored_matrix_in_target_order(k, n, targets, controls, dtype):
    rng = np.random.default_rng(k * 10 + n)
    matrix = random_matrix(rng, 2**k)
    rho = random_rho(n, dtype, seed=k)
    op = Gate("unitary", targets, *controls, matrix=matrix)
    assert_close(run(rho, [op]), apply_unitary(rho, matrix, targets, *controls), dtype)


@pytest.mark.parametrize("n, targets, controls", [
    (2, [1, 0], ([], [])),      # one 4 x 4 block, four work items
    (5, [3, 1], ([4], [1])),     # rows and columns of only some blocks active
    # The first block of threads covers only inactive blocks: every quad of
    # threads must still meet at the barrier.
    (9, [0, 1], ([8], [1])),
])
def test_two_targets_every_row_written_from_the_block_as_read(n, targets, controls):
    # Each of four threads rewrites one row of a 4 x 4 block that all four read:
    # without the ordering between the reads and the writes, the later rows are
    # computed from rows already overwritten.
    rng = np.random.default_rng(n)
    matrix = random_matrix(rng, 4)
    rho = random_rho(n, np.complex128, seed=n)
    op = Gate("unitary", targets, *controls, matrix=matrix)
    assert_close(run(rho, [op]), apply_unitary(rho, matrix, targets, *controls), np.complex128)


@pytest.mark.parametrize("n", [1, 2, 3, 6, 9])
@pytest.mark.parametrize("dtype", DTYPES)
def test_sizes_around_block_and_grid_edges(n, dtype):
    # One target on 1 qubit is a single work item; 9 qubits need many blocks.
    rng = np.random.default_rng(n)
    m1 = random_matrix(rng, 2)
    rho = random_rho(n, dtype, seed=n)
    ops = [Gate("unitary", [n - 1], matrix=m1), Gate("h", [0]), Gate("rz", [n // 2], parameter=[0.3]),
           Gate("x", [n - 1]), Kraus([0], [m1, m1.T])]
    expected = apply_unitary(rho, m1, [n - 1])
    expected = apply_unitary(expected, gate_matrix("h", []), [0])
    expected = apply_unitary(expected, gate_matrix("rz", [0.3]), [n // 2])
    expected = apply_unitary(expected, gate_matrix("x", []), [n - 1])
    expected = apply_kraus(expected, [m1, m1.T], [0])
    assert_close(run(rho, ops), expected, dtype)


# ---- the diagonal and permutation forms, exactly -------------------------------


def differ_in(bit, n):
    index = np.arange(2**n)
    return ((index[:, None] >> bit) & 1) != ((index[None, :] >> bit) & 1)


@pytest.mark.parametrize("dtype", DTYPES)
def test_uncontrolled_diagonal_touches_only_mixed_elements(dtype):
    rho = random_rho(3, dtype, seed=4)
    out = run(rho, [Gate("z", [1])])
    mixed = differ_in(1, 3)
    np.testing.assert_array_equal(out[~mixed], rho[~mixed])
    np.testing.assert_array_equal(out[mixed], -rho[mixed])


@pytest.mark.parametrize("dtype", DTYPES)
def test_controlled_diagonal_leaves_inactive_elements(dtype):
    rho = random_rho(3, dtype, seed=5)
    out = run(rho, [Gate("cz", [0], [1], [1])])
    index = np.arange(8)
    inactive = ((index >> 1) & 1) == 0
    both = np.outer(inactive, inactive)
    np.testing.assert_array_equal(out[both], rho[both])


@pytest.mark.parametrize("dtype", DTYPES)
def test_permutations_move_elements_exactly(dtype):
    rho = random_rho(3, dtype, seed=6)
    np.testing.assert_array_equal(run(rho, [Gate("x", [2]), Gate("x", [2])]), rho)
    index = np.arange(8)
    order = index ^ (((index >> 0) & 1) != ((index >> 2) & 1)) * 0b101  # swap of qubits 0 and 2
    np.testing.assert_array_equal(run(rho, [Gate("swap", [0, 2])]), rho[np.ix_(order, order)])
    flip = np.where(((index >> 1) & 1) == 1, index ^ 0b100, index)     # cx, control 1, target 2
    np.testing.assert_array_equal(run(rho, [Gate("cx", [2], [1], [1])]), rho[np.ix_(flip, flip)])


def test_named_identities():
    rho = random_rho(1, np.complex128, seed=7)
    cases = [(Gate("rx", [0], parameter=[np.pi]), -1j * gate_matrix("x", [])),
             (Gate("u", [0], parameter=[np.pi / 2, 0, np.pi]), gate_matrix("h", [])),
             (Gate("rxy", [0], parameter=[0, 0.8]), gate_matrix("rx", [0.8])),
             (Gate("rxy", [0], parameter=[np.pi / 2, 0.8]), gate_matrix("ry", [0.8]))]
    for op, matrix in cases:
        assert_close(run(rho, [op]), apply_unitary(rho, matrix, [0]), np.complex128)


@pytest.mark.parametrize("value", [None, "", "0", "0x", "1", "yes", "off"])
def test_fusion_switch_changes_no_result(monkeypatch, value):
    rng = np.random.default_rng(8)
    rho = random_rho(5, np.complex128, seed=8)
    ops = [Gate("h", [0]), Kraus([0], [np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])],
                                   "bit_flip"),
           Gate("cx", [3], [0], [1]), Gate("unitary", [4], matrix=random_matrix(rng, 2))]
    monkeypatch.delenv("ZORVANE_DENSITY_FUSION", raising=False)
    reference = run(rho, ops)
    if value is not None:
        monkeypatch.setenv("ZORVANE_DENSITY_FUSION", value)
    np.testing.assert_array_equal(run(rho, ops), reference)


def test_any_iterable_of_operations():
    rho = random_rho(2, np.complex128, seed=9)
    expected = apply_unitary(rho, gate_matrix("h", []), [1])
    assert_close(run(rho, (op for op in [Gate("h", [1])])), expected, np.complex128)
    assert_close(run(rho, (Gate("h", [1]),)), expected, np.complex128)


# ---- messages, in order, with the state unchanged ------------------------------


GOOD = [Gate("h", [0]), Gate("cx", [1], [0], [1])]


@pytest.mark.parametrize("op, message", [
    (Gate("h", []), "density operation requires at least one target"),
    (Gate("h", [], [0], []), "density operation requires at least one target"),
    (Gate("h", [0], [1], []), "controls and control_state sizes must match"),
    (Gate("h", [0, 3], [1], []), "controls and control_state sizes must match"),
    (Gate("h", [3]), "invalid or duplicate target qubit"),
    (Gate("h", [-1]), "invalid or duplicate target qubit"),
    (Gate("swap", [1, 1]), "invalid or duplicate target qubit"),
    (Gate("h", [0], [0], [1]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [1, 1], [1, 2]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [1, 2], [2, 1]), "control_state must contain only 0 or 1"),
    (Gate("h", [0], [1, 5], [1, 2]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [1], [2]), "control_state must contain only 0 or 1"),
    (Gate("unitary", [0, 1], matrix=np.eye(2)), "unitary matrix size does not match targets"),
    (Gate("unitary", [0], matrix=np.array([[1, np.nan], [0, 1]])), "unitary matrix must contain only finite values"),
    (Gate("unitary", [0, 1], matrix=np.full((2, 2), np.inf)), "unitary matrix must contain only finite values"),
    (Gate("cgp", [0], parameter=[0.1]), "unsupported named density operation 'cgp'"),
    (Gate("H", [0]), "unsupported named density operation 'H'"),
    (Gate("h", [0], parameter=[1.0]), "invalid parameter count for density operation 'h'"),
    (Gate("crx", [0], parameter=[]), "invalid parameter count for density operation 'crx'"),
    (Gate("rx", [0], parameter=[np.nan]), "density operation parameters must be finite"),
    (Gate("p", [0], parameter=[np.inf]), "density operation parameters must be finite"),
    (Gate("gp", [0], [1], [1], parameter=[np.nan]), "density operation parameters must be finite"),
    (Gate("x", [0], parameter=[0.5]), "density operation 'x' requires no parameters"),
    (Gate("cnot", [0], parameter=[0.5]), "density operation 'cnot' requires no parameters"),
    (Gate("x", [0, 1]), "named density operation requires one target"),
    (Gate("h", [0, 1], parameter=[1.0]), "named density operation requires one target"),
    (Gate("gp", [0, 1], [2], [1], parameter=[0.1]), "named density operation requires one target"),
    (Gate("swap", [0]), "swap requires exactly two targets"),
    (Gate("swap", [0], parameter=[1.0]), "invalid parameter count for density operation 'swap'"),
    (Gate("swap", [0, 1], parameter=[1.0]), "density operation 'swap' requires no parameters"),
    (Gate("h\0x", [0]), "unsupported named density operation 'h\0x'"),
])
@pytest.mark.parametrize("dtype", DTYPES)
def test_invalid_operation_leaves_state_unchanged(op, message, dtype, density_no_leaks):
    rho = random_rho(3, dtype, seed=10)
    state = device_state(rho)
    with pytest.raises(RuntimeError) as info:
        plexar.run_density_operations_device(state, 3, GOOD + [op] + GOOD)
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_target_limit():
    state = plexar.DeviceDensityState.zero_state(8)
    with pytest.raises(RuntimeError, match="^GPU density unitary supports at most 6 targets$"):
        plexar.run_density_operations_device(state, 8, [Gate("unitary", range(7), matrix=np.eye(128))])
    with pytest.raises(RuntimeError, match="^GPU density unitary supports at most 6 targets$"):
        plexar.run_density_operations_device(state, 8, [Gate("gp", range(7), parameter=[])])


class Attributes:
    def __init__(self, **values):
        self.__dict__.update(values)


def gate_attributes(**changes):
    values = dict(id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False,
                  stored_matrix=None)
    values.update(changes)
    return Attributes(**{k: v for k, v in values.items() if v is not KeyError})


@pytest.mark.parametrize("element, error, message", [
    (gate_attributes(id=KeyError), AttributeError, "id"),
    (gate_attributes(control_state=KeyError), AttributeError, "control_state"),
    (gate_attributes(has_stored_matrix=True, stored_matrix=KeyError), AttributeError, "stored_matrix"),
    (gate_attributes(target="0"), RuntimeError, "Unable to cast"),
    (gate_attributes(target=0), RuntimeError, "Unable to cast"),
    (gate_attributes(id=5), RuntimeError, "Unable to cast"),
    (gate_attributes(parameter=["a"]), RuntimeError, "Unable to cast"),
    (gate_attributes(has_stored_matrix=True, stored_matrix=np.eye(3)[:2]), RuntimeError,
     "^operation matrix must be square$"),
    (gate_attributes(has_stored_matrix=True, stored_matrix=np.eye(2)[0]), RuntimeError,
     "^operation matrix must be square$"),
    (gate_attributes(has_stored_matrix=True, stored_matrix=[[1, 2], [3]]), ValueError, "inhomogeneous|sequence"),
    (Attributes(operation_kind="unitary"), RuntimeError, "^unsupported density operation kind 'unitary'$"),
    (Attributes(operation_kind="kr\0aus"), RuntimeError, "^unsupported density operation kind 'kr\0aus'$"),
    (Attributes(operation_kind=None), RuntimeError, "Unable to cast"),
    (Attributes(operation_kind="kraus", target=[0]), AttributeError, "kraus_matrices"),
    (Attributes(operation_kind="kraus", target=[0], kraus_matrices=np.eye(2)), RuntimeError,
     r"^Kraus matrices must have shape \(count, dimension, dimension\)$"),
    (Attributes(operation_kind="kraus", target=[0], kraus_matrices=np.zeros((0, 2, 2))), RuntimeError,
     r"^Kraus matrices must have shape \(count, dimension, dimension\)$"),
    (Attributes(operation_kind="kraus", target=[0], kraus_matrices=np.zeros((1, 2, 3))), RuntimeError,
     r"^Kraus matrices must have shape \(count, dimension, dimension\)$"),
])
def test_malformed_element_prevents_all_work(element, error, message, density_no_leaks):
    rho = random_rho(2, np.complex128, seed=11)
    state = device_state(rho)
    with pytest.raises(error, match=message):
        plexar.run_density_operations_device(state, 2, GOOD + [element])
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_gate_attribute_values_as_read():
    rho = random_rho(2, np.complex128, seed=12)
    expected = apply_unitary(rho, gate_matrix("h", []), [1])
    # parameter None is no parameters; has_stored_matrix None is false and the
    # stored_matrix attribute is then not read at all.
    op = gate_attributes(target=(1,), parameter=None, has_stored_matrix=None, stored_matrix=KeyError)
    assert_close(run(rho, [op]), expected, np.complex128)
    # nested lists are accepted as a stored matrix and cast to complex double
    op = Gate("unitary", [1], matrix=[[1, 1], [1, -1]])
    assert_close(run(rho, [op]), apply_unitary(rho, np.array([[1, 1], [1, -1]]), [1]), np.complex128)


def test_callbacks_that_change_what_is_being_read():
    # A property that empties the operation list while it is read, and a
    # target whose integer conversion empties the target list: reading goes on
    # from what was there when each container was first read.
    rho = random_rho(2, np.complex128, seed=13)
    ops = []

    class Emptying(Gate):
        @property
        def control_state(self):
            ops.clear()
            return []

        @control_state.setter
        def control_state(self, value):
            pass

    targets = []

    class Index:
        def __index__(self):
            targets.clear()
            return 1

    targets.extend([Index()])
    first = Emptying("h", [0])
    ops.extend([first, Gate("x", [0])])
    first.target = targets
    out = run(rho, ops)
    assert_close(out, apply_unitary(rho, gate_matrix("h", []), [1]), np.complex128)
