"""Every gate family against the NumPy model in gate_reference.py, in every
kernel mode and both precisions, plus the qubit checks each launcher makes."""

import numpy as np
import pytest

import stavex
from conftest import DTYPES, cpu_layer_only, gate, random_state
from gate_reference import SQRTX, SQRTY, X, Y, apply_gate, apply_matrix, controls_hold, dagger, phase, ry, u

MODES = [stavex.AllState, stavex.Pair, stavex.PairAuto]
TOL = {np.complex64: 1e-5, np.complex128: 1e-12}
# Same arithmetic, different trig call sites (host for PairAuto, device for the
# grid-stride kernels): a few units in the last place.
TRIG_TOL = {np.complex64: 1e-6, np.complex128: 1e-14}

FIXED = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag"]
# "t" and "t_dag" are PHASE with the angle filled in.
PARAMETERISED = {"rx": [1.234], "ry": [-2.2], "rz": [0.77], "phase": [2.9], "u": [0.9, -1.3, 2.1], "t": [],
                 "t_dag": []}

# (n, target, controls, control_state): qubit 0 and higher targets, no, one
# and several controls, control state 0, and the smallest states.
SINGLE_TARGET_LAYOUTS = [
    (5, 0, [], []),
    (5, 3, [], []),
    (5, 4, [], []),
    (5, 0, [2], [1]),
    (5, 2, [0], [0]),
    (5, 4, [1, 3], [1, 0]),
    (6, 1, [5, 0, 3], [0, 1, 1]),
    (1, 0, [], []),
    (2, 1, [0], [1]),
    (2, 0, [1], [0]),
]


def run_modes(n, state, gates):
    return {mode: stavex.run_circuit(n, state.copy(), gates, mode=mode) for mode in MODES}


def check_against_reference(outs, state, g, dtype):
    expected = apply_gate(state, g)
    for mode, out in outs.items():
        assert out.dtype == dtype
        np.testing.assert_allclose(out, expected, rtol=TOL[dtype], atol=TOL[dtype], err_msg=f"mode {mode}")


def check_exact_in_every_mode(outs, state, g, n, controls, control_state, dtype):
    """Gates without trigonometry run the same arithmetic in every mode, so the
    modes agree bit for bit, besides matching the reference."""
    check_against_reference(outs, state, g, dtype)
    check_uncontrolled_untouched(outs, state, n, controls, control_state)
    np.testing.assert_array_equal(outs[stavex.Pair], outs[stavex.AllState])
    np.testing.assert_array_equal(outs[stavex.PairAuto], outs[stavex.AllState])


def check_uncontrolled_untouched(outs, state, n, controls, control_state):
    skipped = ~controls_hold(n, controls, control_state)
    for out in outs.values():
        np.testing.assert_array_equal(out[skipped], state[skipped])


def test_reference_model_identities():
    np.testing.assert_allclose(SQRTX @ SQRTX, X, atol=1e-15)
    np.testing.assert_allclose(SQRTY @ SQRTY, Y, atol=1e-15)
    for m in (SQRTX, SQRTY, u(0.3, 1.1, -0.4)):
        np.testing.assert_allclose(m @ dagger(m), np.eye(2), atol=1e-15)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, target, controls, control_state", SINGLE_TARGET_LAYOUTS)
@pytest.mark.parametrize("name", FIXED)
def test_fixed_gates(name, n, target, controls, control_state, dtype):
    state = random_state(n, dtype, seed=n * 100 + target)
    g = gate(name, [target], controls, control_state)
    outs = run_modes(n, state, [g])
    check_exact_in_every_mode(outs, state, g, n, controls, control_state, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, target, controls, control_state", SINGLE_TARGET_LAYOUTS)
@pytest.mark.parametrize("name", PARAMETERISED)
def test_parameterised_gates(name, n, target, controls, control_state, dtype):
    state = random_state(n, dtype, seed=n * 100 + target + 1)
    g = gate(name, [target], controls, control_state, PARAMETERISED[name])
    outs = run_modes(n, state, [g])
    check_against_reference(outs, state, g, dtype)
    check_uncontrolled_untouched(outs, state, n, controls, control_state)
    np.testing.assert_array_equal(outs[stavex.Pair], outs[stavex.AllState])
    np.testing.assert_allclose(outs[stavex.PairAuto], outs[stavex.AllState], rtol=TRIG_TOL[dtype],
                               atol=TRIG_TOL[dtype])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("g", [gate("z", [2]), gate("s", [0]), gate("s_dag", [4], [1], [0]),
                               gate("phase", [3], parameter=[0.4]), gate("cp", [0], [3], [1], [-1.7])],
                         ids=lambda g: g["id"])
def test_diagonal_gates_leave_target_zero_amplitudes_exactly(g, mode, dtype):
    state = random_state(5, dtype, seed=7)
    out = stavex.run_circuit(5, state.copy(), [g], mode=mode)
    zero = ((np.arange(32) >> g["target"][0]) & 1) == 0
    np.testing.assert_array_equal(out[zero], state[zero])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("theta", [0.0, 0.83, -2.6, 7.1])
def test_u_without_phases_is_ry(theta, mode, dtype):
    state = random_state(4, dtype, seed=3)
    a = stavex.run_circuit(4, state.copy(), [gate("u", [2], [0], [1], [theta, 0.0, 0.0])], mode=mode)
    b = stavex.run_circuit(4, state.copy(), [gate("ry", [2], [0], [1], [theta])], mode=mode)
    np.testing.assert_allclose(a, b, rtol=TOL[dtype], atol=TOL[dtype])
    np.testing.assert_allclose(a, apply_matrix(state, ry(theta), [2], [0], [1]), rtol=TOL[dtype], atol=TOL[dtype])


# (n, q1, q2, controls, control_state): a qubit 0 in either position, both
# above 0, with and without controls.
SWAP_LAYOUTS = [
    (5, 0, 3, [], []),
    (5, 3, 0, [], []),
    (5, 2, 4, [], []),
    (5, 4, 1, [], []),
    (5, 0, 2, [4], [1]),
    (5, 3, 0, [1, 4], [0, 1]),
    (5, 1, 3, [0], [1]),
    (6, 4, 2, [0, 3, 5], [1, 0, 1]),
    (2, 0, 1, [], []),
    (2, 1, 0, [], []),
    (3, 2, 1, [0], [0]),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, q1, q2, controls, control_state", SWAP_LAYOUTS)
def test_swap(n, q1, q2, controls, control_state, dtype):
    state = random_state(n, dtype, seed=q1 * 10 + q2)
    g = gate("swap", [q1, q2], controls, control_state)
    outs = run_modes(n, state, [g])
    for out in outs.values():
        # a pure permutation: exact
        np.testing.assert_array_equal(out, apply_gate(state, g).astype(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("controls, control_state", [([], []), ([2], [1]), ([0], [0]), ([4, 1, 0], [1, 0, 1])])
def test_global_phase(controls, control_state, dtype):
    state = random_state(5, dtype, seed=11)
    g = gate("gp", [], controls, control_state, [1.9])
    outs = run_modes(5, state, [g])
    check_against_reference(outs, state, g, dtype)
    check_uncontrolled_untouched(outs, state, 5, controls, control_state)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("c", [0, 3])
def test_controlled_global_phase_is_phase_on_the_control(c, dtype):
    state = random_state(4, dtype, seed=5)
    a = stavex.run_circuit(4, state.copy(), [gate("global_phase", [], [c], [1], [0.61])], mode=stavex.AllState)
    b = stavex.run_circuit(4, state.copy(), [gate("phase", [c], parameter=[0.61])], mode=stavex.AllState)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(a, apply_matrix(state, phase(0.61), [c]), rtol=TOL[dtype], atol=TOL[dtype])


# Unsorted targets of every size class: one and two targets (qubit 0 first,
# second, or absent), three to five, and the out-of-place six and seven.
UNITARY_TARGETS = [[0], [5], [0, 3], [3, 0], [4, 2], [1, 6], [5, 0, 2], [3, 1, 6, 0], [2, 6, 0, 4, 1],
                   [5, 1, 3, 0, 6, 2], [6, 0, 5, 2, 7, 3, 1]]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("controlled", [False, True])
@pytest.mark.parametrize("targets", UNITARY_TARGETS, ids=lambda t: "-".join(map(str, t)))
def test_unitary(targets, controlled, dtype):
    n = max(7, len(targets) + 1)
    free = [q for q in range(n) if q not in targets]
    controls = (free[-1:] + free[:1]) if controlled else []
    controls = list(dict.fromkeys(controls))
    control_state = [1, 0][: len(controls)]
    rng = np.random.default_rng(len(targets) * 2 + controlled)
    dim = 2 ** len(targets)
    # not unitary: layout mistakes cannot cancel out
    matrix = (rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))) / np.sqrt(dim)
    state = random_state(n, dtype, seed=dim)
    g = gate("unitary", targets, controls, control_state, matrix=matrix)
    outs = run_modes(n, state, [g])
    check_exact_in_every_mode(outs, state, g, n, controls, control_state, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets", [(1, [0]), (2, [1, 0]), (2, [0, 1]), (3, [2, 0, 1])])
def test_unitary_on_the_whole_state(n, targets, dtype):
    rng = np.random.default_rng(n)
    dim = 2 ** len(targets)
    matrix = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    state = random_state(n, dtype, seed=n)
    g = gate("unitary", targets, matrix=matrix)
    check_against_reference(run_modes(n, state, [g]), state, g, dtype)


def test_unitary_matrix_of_a_float_state_is_rounded_to_float_first():
    # 1 + 2**-30 is 1 in float: the float state must come back unchanged.
    matrix = np.diag([1 + 2.0**-30, 1 + 2.0**-30])
    state = random_state(3, np.complex64, seed=2)
    for mode in MODES:
        out = stavex.run_circuit(3, state.copy(), [gate("unitary", [1], matrix=matrix)], mode=mode)
        np.testing.assert_array_equal(out, state)


def bad_gates():
    """Gates with a qubit outside a 4-qubit state or used twice, for every family."""
    layouts = {
        "target = n": ([4], [], []),
        "negative target": ([-1], [], []),
        "control on the target": ([2], [2], [1]),
        "repeated control": ([0], [1, 1], [1, 1]),
        "control = n": ([0], [4], [0]),
    }
    for name in FIXED + list(PARAMETERISED) + ["unitary", "swap"]:
        for what, (targets, controls, states) in layouts.items():
            if name == "unitary":
                g = gate(name, targets, controls, states, matrix=np.eye(2))
            elif name == "swap":
                g = gate(name, [3] + targets, controls, states)
            else:
                g = gate(name, targets, controls, states, PARAMETERISED.get(name, []))
            yield pytest.param(g, id=f"{name}-{what}")
    for what, (controls, states) in {"control = n": ([4], [1]), "negative control": ([-1], [1]),
                                     "repeated control": ([3, 3], [1, 1])}.items():
        yield pytest.param(gate("gp", [], controls, states, [0.3]), id=f"gp-{what}")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("g", list(bad_gates()))
def test_bad_qubits_are_rejected_and_the_state_stays_usable(g, mode):
    state = random_state(4, np.complex128, seed=9)
    s = stavex.DeviceState.from_numpy(4, state)
    with pytest.raises(ValueError, match="qubit"):
        stavex.run_circuit_device(s, [g], mode=mode)
    np.testing.assert_array_equal(s.to_numpy(), state)
    follow = gate("h", [1], [0], [1])
    stavex.run_circuit_device(s, [follow], mode=mode)
    np.testing.assert_allclose(s.to_numpy(), apply_gate(state, follow), atol=1e-12)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("q", [0, 2])
def test_swap_of_a_qubit_with_itself_is_rejected(q, mode):
    state = random_state(3, np.complex64, seed=1)
    s = stavex.DeviceState.from_numpy(3, state)
    with pytest.raises(ValueError, match="distinct"):
        stavex.run_circuit_device(s, [gate("swap", [q, q])], mode=mode)
    np.testing.assert_array_equal(s.to_numpy(), state)


@pytest.mark.parametrize(
    "targets, controls, message",
    [([-1], [], r"^target qubit index must be in \[0, 62\]$"),
     ([63], [], r"^target qubit index must be in \[0, 62\]$"),
     ([0], [-2], r"^control qubit index must be in \[0, 62\]$"),
     ([1, 0, 1], [], "^gate qubits must be distinct$"),
     ([0, 1, 2, 3, 4, 5], [], r"^target qubit index must be in \[0, n\)")],
)
def test_unitary_target_checks(targets, controls, message):
    dim = 2 ** len(targets)
    g = gate("unitary", targets, controls, [1] * len(controls), matrix=np.eye(dim))
    s = stavex.DeviceState.zero_state(5)
    with pytest.raises(ValueError, match=message):
        stavex.run_circuit_device(s, [g])
    assert s.to_numpy()[0] == 1


def random_circuit(n, length, rng):
    """Random gates of every family, with random qubits, controls and angles."""
    names = FIXED + list(PARAMETERISED) + ["swap", "gp", "unitary"]
    gates = []
    for _ in range(length):
        name = names[rng.integers(len(names))]
        k = {"swap": 2, "gp": 0}.get(name, 1)
        if name == "unitary":
            k = int(rng.integers(1, 4))
        qubits = [int(q) for q in rng.permutation(n)]
        targets, rest = qubits[:k], qubits[k:]
        controls = rest[: rng.integers(0, 3)]
        states = [int(b) for b in rng.integers(0, 2, len(controls))]
        count = 1 if name == "gp" else len(PARAMETERISED.get(name, []))
        params = [float(a) for a in rng.uniform(-np.pi, np.pi, count)]
        extra = {}
        if name == "unitary":
            d = 2**k
            extra["matrix"] = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))[0]
        gates.append(gate(name, targets, controls, states, params, **extra))
    return gates


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", range(3))
def test_random_circuits(seed, dtype):
    rng = np.random.default_rng(seed)
    n = 6
    gates = random_circuit(n, 60, rng)
    state = random_state(n, dtype, seed=seed)
    expected = state
    for g in gates:
        expected = apply_gate(expected, g)
    for mode in MODES:
        s = stavex.DeviceState.from_numpy(n, state)
        stavex.run_circuit_device(s, gates, mode=mode)
        np.testing.assert_allclose(s.to_numpy(), expected, rtol=10 * TOL[dtype], atol=10 * TOL[dtype])


LAUNCH_FAILURES = [
    (gate("x", [0]), stavex.PairAuto, "cu_x"),
    (gate("cx", [2], [0], [1]), stavex.PairAuto, "cu_x"),
    (gate("sqrty_dag", [1], [2], [0]), stavex.AllState, "cu_sqrtydag"),
    (gate("rz", [1], parameter=[0.2]), stavex.Pair, "cu_rz"),
    (gate("u", [0], [1], [1], [0.1, 0.2, 0.3]), stavex.PairAuto, "cu_u"),
    (gate("swap", [0, 2]), stavex.PairAuto, "cu_swap"),
    (gate("swap", [1, 2], [0], [1]), stavex.PairAuto, "cu_swap"),
    (gate("gp", [], [1], [0], [0.3]), stavex.PairAuto, "cu_global_phase"),
]


@cpu_layer_only
@pytest.mark.parametrize("g, mode, family", LAUNCH_FAILURES, ids=lambda x: x["id"] if isinstance(x, dict) else None)
def test_launch_failures_name_the_family(g, mode, family, no_leaks):
    state = random_state(3, np.complex64, seed=4)
    s = stavex.DeviceState.from_numpy(3, state)
    stavex._cpu_layer_inject_fault("launch", 1)
    with pytest.raises(RuntimeError, match=f"^{family} kernel launch failed: "):
        stavex.run_circuit_device(s, [g], mode=mode)
    np.testing.assert_array_equal(s.to_numpy(), state)
    stavex.run_circuit_device(s, [g], mode=mode)
    np.testing.assert_allclose(s.to_numpy(), apply_gate(state, g), atol=1e-6)


# Device operations of a UNITARY gate by number of targets: one and two
# targets pass the matrix by value; three to five upload matrix, targets and
# sorted targets; six and more upload matrix and targets, then copy the state
# to a scratch buffer and back.
UNITARY_DEVICE_OPS = {1: {"allocation": 0, "copy": 0}, 2: {"allocation": 0, "copy": 0},
                      3: {"allocation": 3, "copy": 3}, 6: {"allocation": 3, "copy": 4}}


@cpu_layer_only
@pytest.mark.parametrize("kind, nth", [("launch", 1), ("allocation", 1), ("allocation", 2), ("allocation", 3),
                                       ("copy", 1), ("copy", 2), ("copy", 3), ("copy", 4)])
@pytest.mark.parametrize("targets", [[1], [0, 2], [2, 0, 5], [4, 0, 5, 2, 1, 3]], ids=len)
def test_unitary_device_failures_raise_and_free_everything(targets, kind, nth, no_leaks):
    n = 6
    state = random_state(n, np.complex128, seed=6)
    s = stavex.DeviceState.from_numpy(n, state)
    g = gate("unitary", targets, matrix=np.eye(2 ** len(targets))[::-1])
    stavex._cpu_layer_inject_fault(kind, nth)
    if nth <= UNITARY_DEVICE_OPS[len(targets)].get(kind, 1):
        with pytest.raises(RuntimeError, match="^CUDA error: "):
            stavex.run_circuit_device(s, [g])
        np.testing.assert_array_equal(s.to_numpy(), state)
    # else the gate makes fewer operations of this kind and runs with the fault pending
    stavex.run_circuit_device(s, [g])
    stavex._cpu_layer_clear_faults()
    np.testing.assert_allclose(s.to_numpy(), apply_gate(state, g), atol=1e-15)
