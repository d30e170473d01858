import decimal
import types

import numpy as np
import pytest

import stavex
from conftest import DTYPES, cpu_layer_only, gate, random_state

SQ2 = 1 / np.sqrt(2)


def as_object(g):
    return types.SimpleNamespace(matrix=None, **{k: v for k, v in g.items()})


def run(n, gates, dtype=np.complex128, state=None, **kw):
    state = random_state(n, dtype) if state is None else state
    return stavex.run_circuit(n, state.copy(), gates, **kw)


def test_ghz_through_every_entry_point():
    circuit = [gate("h", [0]), gate("cx", [1], [0], [1]), gate("mcx", [2], [1], [1])]
    expected = np.zeros(8, complex)
    expected[[0, 7]] = SQ2
    for mode in (stavex.AllState, stavex.Pair, stavex.PairAuto):
        zero = np.zeros(8, np.complex128)
        zero[0] = 1
        out = stavex.run_circuit(3, zero, circuit, mode=mode)
        assert out is zero
        np.testing.assert_allclose(out, expected, atol=1e-15)
        s = stavex.DeviceState.zero_state(3)
        stavex.run_circuit_device(s, circuit, mode=mode)
        np.testing.assert_allclose(s.to_numpy(), expected, atol=1e-15)
        s = stavex.DeviceState.zero_state(3)
        stavex.run_circuit_device_gates(s, (as_object(g) for g in circuit), mode=mode)
        np.testing.assert_allclose(s.to_numpy(), expected, atol=1e-15)


def test_name_aliases_and_rewrites():
    v = random_state(3, np.complex128)
    pairs = [
        ([gate("cx", [1], [0], [1])], [gate("x", [1], [0], [1])]),
        ([gate("t", [2])], [gate("phase", [2], parameter=[np.pi / 4])]),
        ([gate("ct", [2], [0], [0])], [gate("p", [2], [0], [0], parameter=[0.7853981633974483])]),
        ([gate("t_dag", [1])], [gate("mcp", [1], parameter=[-np.pi / 4])]),
        ([gate("u1", [0], parameter=[0.3, 0.2, 0.1])], [gate("u3", [0], parameter=[0.3, 0.2, 0.1])]),
        ([gate("sx", [1])], [gate("sqrtx", [1])]),
        ([gate("sxdg", [1])], [gate("sqrtx_dag", [1])]),
        ([gate("gphase", [], [1], [1], [0.4])], [gate("global_phase", [], [1], [1], [0.4])]),
    ]
    for a, b in pairs:
        np.testing.assert_array_equal(run(3, a, state=v), run(3, b, state=v))


def test_gate_object_form_accepts_iterables_and_none_parameters():
    g = types.SimpleNamespace(id="h", target=iter([0]), control=(), control_state=range(0), parameter=None)
    s = stavex.DeviceState.zero_state(1)
    stavex.run_circuit_device_gates(s, iter([g]))
    np.testing.assert_allclose(s.to_numpy(), [SQ2, SQ2])
    # matrix is read only for UNITARY gates
    u = types.SimpleNamespace(id="unitary", target=[0], control=[], control_state=[], parameter=[],
                              matrix=[[0, 1], [1, 0]])
    stavex.run_circuit_device_gates(s, [u, types.SimpleNamespace(id="x", target=[0], control=[],
                                                                 control_state=[], parameter=[])])
    np.testing.assert_allclose(s.to_numpy(), [SQ2, SQ2])


def test_gate_ir_elements_may_be_dict_convertible_and_matrix_none():
    items = [[("id", "x"), ("target", [0]), ("control", []), ("control_state", []), ("parameter", [])],
             gate("h", [1], matrix=None)]
    s = stavex.DeviceState.zero_state(2)
    stavex.run_circuit_device(s, items)
    np.testing.assert_allclose(s.to_numpy(), [0, SQ2, 0, SQ2])


def test_empty_chunks_apply_nothing():
    v = random_state(2, np.complex64)
    s = stavex.DeviceState.from_numpy(2, v)
    stavex.run_circuit_device(s, [])
    stavex.run_circuit_device_gates(s, [])
    np.testing.assert_array_equal(s.to_numpy(), v)


@pytest.mark.parametrize(
    "gates, error, message",
    [
        ([gate("X", [0])], ValueError, "Unsupported CUDA gate id: X"),
        ([gate("SWAP", [0, 1])], ValueError, "Unsupported CUDA gate id: SWAP"),
        ([gate("ct_dag", [0])], ValueError, "Unsupported CUDA gate id: ct_dag"),
        ([gate("t", [0], parameter=[0.5])], ValueError, "PHASE gate requires exactly one parameter."),
        ([gate("u1", [0], parameter=[0.5])], ValueError, "U gate requires exactly three parameters."),
        ([gate("rx", [0])], ValueError, "RX gate requires exactly one parameter."),
        ([gate("ry", [0], parameter=[1, 2])], ValueError, "RY gate requires exactly one parameter."),
        ([gate("rz", [0])], ValueError, "RZ gate requires exactly one parameter."),
        ([gate("gp", [])], ValueError, "GLOBAL_PHASE gate requires exactly one parameter."),
        ([gate("swap", [0])], ValueError, "SWAP gate requires exactly two parameters."),
        ([gate("swap", [0, 1, 2])], ValueError, "SWAP gate requires exactly two parameters."),
        ([gate("unitary", [0, 1], matrix=np.eye(2))], ValueError,
         "UNITARY matrix dimension must be 2**num_targets."),
        ([gate("unitary", [0, 1], matrix=np.ones((4, 2)))], ValueError,
         "unitary matrix must be a non-empty square 2-D array."),
        ([gate("unitary", [0], matrix=np.ones((0, 0)))], ValueError,
         "unitary matrix must be a non-empty square 2-D array."),
        ([gate("unitary", [0], matrix=np.ones(2))], ValueError,
         "unitary matrix must be a non-empty square 2-D array."),
        ([gate("unitary", [0], matrix=object())], ValueError, "unitary matrix must be array-like."),
        ([gate("unitary", [0])], ValueError, "UNITARY gate requires a matrix."),
        ([gate("unitary", [], matrix=np.eye(1))], ValueError, "UNITARY gate requires at least one target."),
        ([gate("x", [0], [3], [])], ValueError, "controls.size() != control_state.size()"),
        ([gate("x", [0], [63], [1])], ValueError, "control qubit index must be in [0, 62]"),
        ([gate("x", [0], [-1], [1])], ValueError, "control qubit index must be in [0, 62]"),
        ([gate("x", [0], [1], [2])], ValueError, "control_state must contain only 0/1"),
        ([gate("x", [0], [1, 70], [2, 1])], ValueError, "control_state must contain only 0/1"),
        ([gate("x", [0], [70, 1], [2, 1])], ValueError, "control qubit index must be in [0, 62]"),
        ([gate("unitary", [70], matrix=np.eye(2))], ValueError, "target qubit index must be in [0, 62]"),
        ([{"id": "x", "target": [0], "control": [], "control_state": []}], KeyError, "parameter"),
        ([gate("x", [0.0])], RuntimeError, None),
        # numbers that would only truncate to an integer are no qubit labels
        ([gate("x", [np.float32(1.7)])], RuntimeError, None),
        ([gate("x", [0], [np.array(1.0)], [1])], RuntimeError, None),
        ([gate("x", [0], [1], [decimal.Decimal(1)])], RuntimeError, None),
        ([gate(3, [0])], RuntimeError, None),
    ],
)
def test_gate_list_errors(gates, error, message):
    s = stavex.DeviceState.zero_state(3)
    with pytest.raises(error) as info:
        stavex.run_circuit_device(s, gates)
    if message is not None:
        assert info.value.args[0] == message
    assert s.to_numpy()[0] == 1  # the state stays usable and untouched


@pytest.mark.parametrize(
    "g",
    [gate("h", [3]), gate("h", [-1]), gate("h", []), gate("x", [1], [1], [1]), gate("x", [0], [1, 1], [1, 0]),
     gate("x", [0], [5], [1]), gate("swap", [1, 1]), gate("swap", [0, 3]), gate("rz", [2], [2], [0], [0.1]),
     gate("gp", [], [4], [1], [0.1]), gate("unitary", [0, 0], matrix=np.eye(4)),
     gate("unitary", [0, 1], [1], [1], matrix=np.eye(4)), gate("unitary", [3], matrix=np.eye(2)),
     gate("x", [2**32]), gate("h", [2**32 + 1]), gate("swap", [0, 2**32 + 2]), gate("rx", [-2**32], parameter=[1])],
)
def test_gates_outside_the_state_or_with_repeated_qubits_are_rejected(g):
    v = random_state(3, np.complex128)
    s = stavex.DeviceState.from_numpy(3, v)
    with pytest.raises(ValueError, match="qubit"):
        stavex.run_circuit_device(s, [g])
    np.testing.assert_array_equal(s.to_numpy(), v)


def test_missing_attribute_and_non_list_gate_ir():
    s = stavex.DeviceState.zero_state(1)
    with pytest.raises(AttributeError):
        stavex.run_circuit_device_gates(s, [types.SimpleNamespace(id="x", target=[0])])
    with pytest.raises(TypeError):
        stavex.run_circuit_device(s, (gate("x", [0]),))


def test_endian_is_checked_first_and_has_no_effect_on_gates():
    v = random_state(3, np.complex64)
    circuit = [gate("h", [0]), gate("cx", [2], [0], [1])]
    np.testing.assert_array_equal(run(3, circuit, state=v, endian="big"), run(3, circuit, state=v))
    s = stavex.DeviceState.zero_state(1)
    for call in (lambda: stavex.run_circuit_device(s, [gate("NOPE")], endian="middle"),
                 lambda: stavex.run_circuit_device_gates(s, [object()], endian="Little"),
                 lambda: stavex.run_circuit(1, np.zeros(2, np.complex64), [gate("NOPE")], endian="")):
        with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
            call()


@pytest.mark.parametrize("dtype", DTYPES)
def test_failing_gate_keeps_earlier_gates_applied(dtype):
    s = stavex.DeviceState.zero_state(2, dtype=np.dtype(dtype).name)
    with pytest.raises(ValueError, match="RX gate requires exactly one parameter."):
        stavex.run_circuit_device(s, [gate("x", [0]), gate("x", [1]), gate("rx", [0]), gate("x", [0])])
    np.testing.assert_array_equal(s.to_numpy(), [0, 0, 0, 1])


def test_run_circuit_leaves_the_array_unchanged_on_failure():
    v = random_state(3, np.complex128)
    w = v.copy()
    with pytest.raises(ValueError):
        stavex.run_circuit(3, w, [gate("x", [0]), gate("swap", [0])])
    np.testing.assert_array_equal(w, v)


@pytest.mark.parametrize(
    "n, state, message",
    [
        (3, np.zeros(8, np.complex64)[::-1], "state must be C-contiguous"),
        (2, np.zeros(8, np.complex64), "state.size must equal 2**n"),
        (3, np.zeros(8, np.int32), "dtype must be 'complex64' or 'complex128', got: int32"),
    ],
)
def test_run_circuit_array_checks(n, state, message):
    with pytest.raises(ValueError) as info:
        stavex.run_circuit(n, state, [])
    assert str(info.value) == message
    readonly = np.zeros(8, np.complex64)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        stavex.run_circuit(3, readonly, [])


@cpu_layer_only
@pytest.mark.parametrize(
    "g, message",
    [
        (gate("h", [1]), "cu_h kernel launch failed: unspecified launch failure"),
        (gate("swap", [0, 2]), "cu_swap kernel launch failed: unspecified launch failure"),
        (gate("u", [0], parameter=[1, 2, 3]), "cu_u kernel launch failed: unspecified launch failure"),
        (gate("gp", parameter=[1]), "cu_global_phase kernel launch failed: unspecified launch failure"),
        (gate("unitary", [0, 1, 2], matrix=np.eye(8)), "CUDA error: unspecified launch failure"),
        (gate("unitary", [0, 1, 2, 3, 4, 5], matrix=np.eye(64)), "CUDA error: unspecified launch failure"),
    ],
)
def test_launch_failures_name_the_family_and_leak_nothing(g, message, no_leaks):
    v = random_state(6, np.complex64)
    s = stavex.DeviceState.from_numpy(6, v)
    stavex._cpu_layer_inject_fault("launch", 2)
    with pytest.raises(RuntimeError) as info:
        stavex.run_circuit_device(s, [gate("x", [0]), g])
    assert str(info.value) == message
    # the first gate stays applied, the state stays usable
    np.testing.assert_array_equal(s.to_numpy(), v.reshape(-1, 2)[:, ::-1].reshape(-1))


@cpu_layer_only
@pytest.mark.parametrize("kind, nth", [("allocation", 1), ("allocation", 2), ("allocation", 3), ("copy", 1),
                                       ("copy", 2), ("copy", 3)])
def test_unitary_device_buffers_are_freed_on_failure(kind, nth, no_leaks):
    s = stavex.DeviceState.zero_state(7)
    stavex._cpu_layer_inject_fault(kind, nth)
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        stavex.run_circuit_device(s, [gate("unitary", list(range(6)), matrix=np.eye(64))])
    assert s.to_numpy()[0] == 1


def test_threads_run_chunks_on_their_own_states_at_once():
    import threading

    circuit = [gate("h", [q]) for q in range(10)] + [gate("cx", [q + 1], [q], [1]) for q in range(9)]
    expected = run(10, circuit * 3, state=random_state(10, np.complex128, seed=5))
    results, errors = [None] * 4, []

    def work(slot):
        try:
            s = stavex.DeviceState.from_numpy(10, random_state(10, np.complex128, seed=5))
            for _ in range(3):
                stavex.run_circuit_device(s, circuit)
            results[slot] = s.to_numpy()
        except Exception as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for r in results:
        np.testing.assert_array_equal(r, expected)
