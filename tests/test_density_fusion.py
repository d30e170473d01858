"""Density fusion (ZORVANE_DENSITY_FUSION): fused runs against the NumPy model
and the per-operation path, the groups the plan forms, the launches they take,
and failures inside a fused run.

Which kernels ran is seen, on the CPU execution layer, from its launch count
and from the message of an injected launch failure, which names the kernel
family. plexar._density_fusion_groups lists the plan of a list as
(kind, operation indices, active qubits).
"""

import functools
import gc

import numpy as np
import pytest

import plexar
from density_reference import CHANNELS, apply_kraus, apply_unitary, gate_matrix
from density_support import (DTYPES, Gate, Kraus, assert_close, cpu_layer_only, density_no_leaks,  # noqa: F401
                             device_state, failures, live_bytes, random_matrix, random_rho, run)
from gate_reference import SWAP

SINGLE, SINGLE_QUBIT, SHARED, SEQUENTIAL = range(4)
ONE_QUBIT_GATES = {"h": 0, "x": 0, "y": 0, "z": 0, "s": 0, "t_dag": 0, "sqrtx": 0, "y2m": 0, "rx": 1, "ry": 1,
                   "rz": 1, "p": 1, "u": 3, "rxy": 2, "gp": 1}


@pytest.fixture
def fusion(monkeypatch):
    """Sets ZORVANE_DENSITY_FUSION for the runs that follow: fused(True) or not."""
    def fused(on):
        monkeypatch.setenv("ZORVANE_DENSITY_FUSION", "1" if on else "0")
    return fused


def model(rho, ops):
    out = np.asarray(rho, np.complex128)
    for op in ops:
        if isinstance(op, Kraus):
            out = apply_kraus(out, list(op.kraus_matrices), op.target)
        else:
            matrix = (op.stored_matrix if op.has_stored_matrix else SWAP if op.id == "swap"
                      else gate_matrix(op.id, op.parameter))
            out = apply_unitary(out, matrix, op.target, op.control, op.control_state)
    return out


def launches(call):
    before = plexar._cpu_layer_launch_count()
    call()
    return plexar._cpu_layer_launch_count() - before


def contraction(rng, dim):
    """A general (non-unitary) matrix of norm 1, so that long lists stay in scale."""
    m = random_matrix(rng, dim)
    return m / np.linalg.norm(m, 2)


def channel(rng, target):
    name = str(rng.choice(sorted(CHANNELS)))
    return Kraus([target], CHANNELS[name](rng.uniform(0, 1)), name)


def one_qubit_gate(rng, target, controls=(), states=()):
    if rng.integers(4) == 0:
        return Gate("unitary", [target], controls, states, matrix=contraction(rng, 2))
    name = str(rng.choice(sorted(ONE_QUBIT_GATES)))
    return Gate(name, [target], controls, states, list(rng.uniform(-np.pi, np.pi, ONE_QUBIT_GATES[name])))


def random_operations(n, count, rng):
    """One-target gates with up to two controls of either state (named, diagonal,
    permutations, stored matrices), built-in channels, unitaries directly followed
    by a channel on their qubit, and what ends a group: two-qubit gates and
    general Kraus operations."""
    ops = []
    while len(ops) < count:
        roll = rng.integers(100)
        qubits = [int(q) for q in rng.permutation(n)[:3]]
        if roll < 3:
            ops.append(Gate("swap", qubits[:2]))
        elif roll < 5:
            ops.append(Gate("unitary", qubits[:2], matrix=contraction(rng, 4)))
        elif roll < 8:
            k = 1 + int(rng.integers(2))
            ops.append(Kraus(qubits[:k], [contraction(rng, 2**k) * 0.7 for _ in range(2)]))
        elif roll < 25:
            ops.append(channel(rng, qubits[0]))
        elif roll < 40:
            ops += [one_qubit_gate(rng, qubits[0]), channel(rng, qubits[0])]
        else:
            controls = qubits[1:1 + int(rng.integers(3)) if roll % 3 == 0 else 1]
            ops.append(one_qubit_gate(rng, qubits[0], controls, [int(s) for s in rng.integers(2, size=len(controls))]))
    return ops


RANDOM_CASES = [(n, seed) for n in range(5, 10) for seed in range(2)]


@functools.lru_cache(maxsize=None)
def random_case(n, seed, dtype):
    rng = np.random.default_rng(100 * n + seed)
    ops = random_operations(n, 4 * n, rng)
    rho = random_rho(n, dtype, seed=seed)
    return ops, rho, model(rho, ops)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, seed", RANDOM_CASES)
def test_random_lists_fused_and_not(n, seed, dtype, fusion):
    ops, rho, expected = random_case(n, seed, dtype)
    for on in (True, False):
        fusion(on)
        assert_close(run(rho, ops), expected, dtype)


def test_groups_of_the_random_lists():
    """Every operation in one group; 6 qubits allow at most 2 active qubits (no
    shared-memory group), 8 exactly 4 in a shared-memory group, 9 four or five.
    Together the lists form groups of every kind."""
    kinds = set()
    for n, seed in RANDOM_CASES:
        ops = random_case(n, seed, np.complex128)[0]
        groups = plexar._density_fusion_groups(n, ops)
        assert sorted(i for _, members, _ in groups for i in members) == list(range(len(ops)))
        for kind, members, active in groups:
            kinds.add(kind)
            if len(members) > 1:
                assert len(active) <= min(n - 4, 5)
        shared = {len(active) for kind, _, active in groups if kind == SHARED}
        assert shared == {5: set(), 6: set(), 7: set(), 8: {4}, 9: {4, 5}}[n], (n, seed)
    assert kinds == {SINGLE, SINGLE_QUBIT, SHARED, SEQUENTIAL}


H0_FLIP0 = [Gate("h", [0]), Kraus([0], CHANNELS["bit_flip"](0.2), "bit_flip")]


@cpu_layer_only
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [5, 8])
def test_unitary_then_channel_is_one_launch(n, dtype, fusion, density_no_leaks):
    rho = random_rho(n, dtype, seed=n)
    assert plexar._density_fusion_groups(n, H0_FLIP0) == [(SINGLE_QUBIT, [0, 1], [0])]
    fusion(True)
    state = device_state(rho)
    assert launches(lambda: plexar.run_density_operations_device(state, n, H0_FLIP0)) == 1
    assert_close(state.to_numpy(), model(rho, H0_FLIP0), dtype)
    plexar._cpu_layer_inject_fault("launch", 1)
    with pytest.raises(RuntimeError, match="^unitary_channel kernel launch failed: "):
        plexar.run_density_operations_device(state, n, H0_FLIP0)
    fusion(False)
    assert launches(lambda: plexar.run_density_operations_device(state, n, H0_FLIP0)) == 2


@cpu_layer_only
def test_switch_is_read_at_every_run(monkeypatch, density_no_leaks):
    state = plexar.DeviceDensityState.zero_state(5)
    for value, fused in [(None, False), ("1", True), ("", False), ("yes", True), ("0", False), ("off", True),
                         ("0x", False), ("01", False), (" 0", True)]:
        if value is None:
            monkeypatch.delenv("ZORVANE_DENSITY_FUSION", raising=False)
        else:
            monkeypatch.setenv("ZORVANE_DENSITY_FUSION", value)
        count = launches(lambda: plexar.run_density_operations_device(state, 5, H0_FLIP0))
        assert count == (1 if fused else 2), value
    # Below five qubits a run that asks for fusion runs operation by operation.
    small = plexar.DeviceDensityState.zero_state(4)
    assert launches(lambda: plexar.run_density_operations_device(small, 4, H0_FLIP0)) == 2
    assert plexar._density_fusion_groups(4, H0_FLIP0) == []


def qubit_zero_walk():
    """Operations on qubit 0 only, and the launches a fused run takes for each:
    a dense unitary without controls directly followed by a built-in channel
    shares one launch with it; a diagonal or a permutation does not, and the
    uncontrolled global phase takes none."""
    rng = np.random.default_rng(5)
    m = contraction(rng, 2)
    flip, depolarize = CHANNELS["bit_flip"](0.3), CHANNELS["depolarizing"](0.4)
    return [
        (Kraus([0], flip, "bit_flip"), 1),
        (Gate("h", [0]), 1), (Kraus([0], depolarize, "depolarizing"), 0),
        (Gate("z", [0]), 1), (Kraus([0], CHANNELS["phase_damping"](0.5), "phase_damping"), 1),
        (Gate("unitary", [0], matrix=m), 1), (Kraus([0], CHANNELS["amplitude_damping"](0.6), "amplitude_damping"), 0),
        (Gate("x", [0]), 1), (Kraus([0], CHANNELS["phase_flip"](0.1), "phase_flip"), 1),
        (Gate("gp", [0], parameter=[0.4]), 0), (Kraus([0], flip, "bit_flip"), 1),
        (Gate("u", [0], parameter=[0.3, 0.2, 0.1]), 1),
    ]


@cpu_layer_only
@pytest.mark.parametrize("dtype", DTYPES)
def test_single_qubit_group_walk(dtype, fusion, density_no_leaks):
    ops, counts = zip(*qubit_zero_walk())
    ops = list(ops)
    n = 6
    assert plexar._density_fusion_groups(n, ops) == [(SINGLE_QUBIT, list(range(len(ops))), [0])]
    rho = random_rho(n, dtype, seed=4)
    fusion(True)
    state = device_state(rho)
    assert launches(lambda: plexar.run_density_operations_device(state, n, ops)) == sum(counts)
    assert_close(state.to_numpy(), model(rho, ops), dtype)


def every_record_kind(active):
    """One-qubit operations of every record kind on the qubits `active` only,
    controlled by one another in both states, targets changing from one to the
    next so that consecutive records spread their blocks over the threads
    differently."""
    rng = np.random.default_rng(len(active))
    ops = []
    k = len(active)
    for i in range(3 * k):
        t, c = active[i % k], active[(i + 1 + (i // k) % (k - 1)) % k]
        controls = ([c], [i % 2]) if i % 3 else ([], [])
        ops += [Gate("unitary", [t], *controls, matrix=contraction(rng, 2)),
                Gate("rz" if i % 2 else "p", [t], *controls, parameter=[0.3 + i]),
                Gate("x", [t], *controls),
                Kraus([t], CHANNELS[sorted(CHANNELS)[i % 5]](0.35), sorted(CHANNELS)[i % 5])]
    return ops


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, active", [(8, [0, 3, 5, 7]), (9, [1, 2, 4, 6, 8])])
def test_shared_memory_group_of_every_record_kind(n, active, dtype, fusion):
    ops = every_record_kind(active)
    assert plexar._density_fusion_groups(n, ops) == [(SHARED, list(range(len(ops))), active)]
    rho = random_rho(n, dtype, seed=n)
    fusion(True)
    assert_close(run(rho, ops), model(rho, ops), dtype)


# ---- failures inside a fused run -----------------------------------------------


def fault_list():
    """Nine qubits; the groups and what each launch applies."""
    rng = np.random.default_rng(9)
    first = [Gate("h", [0]), Kraus([0], CHANNELS["bit_flip"](0.2), "bit_flip"), Gate("rx", [1], parameter=[0.3]),
             Gate("cx", [2], [1], [1]), Gate("unitary", [3], [4], [0], matrix=contraction(rng, 2)),
             Kraus([3], CHANNELS["depolarizing"](0.1), "depolarizing"), Gate("rz", [4], parameter=[0.7])]
    second = [Gate("cx", [5], [8], [0]), Gate("y", [8]), Kraus([7], CHANNELS["amplitude_damping"](0.3),
                                                                  "amplitude_damping"),
              Gate("u", [6], parameter=[0.1, 0.2, 0.3]), Gate("cz", [7], [6], [1])]
    groups = [(first, [(SHARED, "density_sparsesharemem kernel")]),
              ([Gate("swap", [0, 5])], [(SINGLE, "permutation kernel")]),
              ([Gate("h", [6]), Kraus([6], CHANNELS["phase_flip"](0.4), "phase_flip")],
               [(SINGLE_QUBIT, "unitary_channel kernel")]),
              ([Kraus([6, 7], [contraction(rng, 4) * 0.7, contraction(rng, 4) * 0.7])], [(SINGLE, "kraus_kernel")]),
              (second, [(SHARED, "density_sparsesharemem kernel")]),
              ([Gate("swap", [1, 2])], [(SINGLE, "permutation kernel")]),
              ([Gate("cz", [3], [4], [1]), Gate("ry", [3], parameter=[0.5])],
               [(SEQUENTIAL, "diagonal kernel"), (SEQUENTIAL, "unitary kernel")])]
    return groups


@functools.lru_cache(maxsize=None)
def fault_case(dtype):
    """The list, the kernel family of each launch, and the model state after
    each launch (Sequential members launch one at a time)."""
    rho = random_rho(9, dtype, seed=11)
    ops, launched, states, done = [], [], [], rho
    for members, kernels in fault_list():
        for (kind, family), step in zip(kernels, [members] if len(kernels) == 1 else [[m] for m in members]):
            done = model(done, step)
            launched.append(family)
            states.append(done)
        ops += members
    return ops, rho, launched, states


def test_fault_list_forms_the_groups_it_describes():
    ops = fault_case(np.complex128)[0]
    start, expected = 0, []
    for members, kernels in fault_list():
        expected.append((kernels[0][0], list(range(start, start + len(members)))))
        start += len(members)
    assert [(kind, members) for kind, members, _ in plexar._density_fusion_groups(9, ops)] == expected


@cpu_layer_only
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", ["allocation", "copy", "launch"])
def test_faults_in_a_fused_run(kind, dtype, fusion, density_no_leaks):
    ops, rho, launched, states = fault_case(dtype)
    fusion(True)
    before = live_bytes()
    state = device_state(rho)
    seen = []
    for nth, error in failures(kind, lambda: plexar.run_density_operations_device(state, 9, ops)):
        out = state.to_numpy()
        if error is None:
            assert_close(out, states[-1], dtype)
            break
        seen.append(error)
        if kind == "launch":
            assert error == launched[nth - 1] + " launch failed: unspecified launch failure"
            if nth > 1:
                assert_close(out, states[nth - 2], dtype)
            else:
                np.testing.assert_array_equal(out, rho)
        else:
            assert error == ("CUDA error: out of memory" if kind == "allocation"
                             else "CUDA error: unspecified launch failure")
            np.testing.assert_array_equal(out, rho)
        gc.collect()
        assert live_bytes() == sorted(before + [(0, rho.nbytes)])
        # The state stays usable.
        plexar.run_density_operations_device(state, 9, H0_FLIP0)
        assert_close(state.to_numpy(), model(out, H0_FLIP0), dtype)
        state = device_state(rho)
    # The matrix pool and the records: one allocation and one copy each.
    assert len(seen) == {"allocation": 2, "copy": 2, "launch": len(launched)}[kind]


@pytest.mark.parametrize("op, message", [
    (Gate("h", [0], [1], []), "controls and control_state sizes must match"),
    (Gate("rx", [2], parameter=[np.nan]), "density operation parameters must be finite"),
    (Gate("unitary", [3], matrix=np.eye(4)), "unitary matrix size does not match targets"),
    (Kraus([1], [np.eye(2), [[np.inf, 0], [0, 1]]], "bit_flip"), "Kraus matrices must contain only finite values"),
])
def test_invalid_operation_stops_a_fused_run_before_any_work(op, message, fusion, density_no_leaks):
    rho = random_rho(6, np.complex64, seed=12)
    state = device_state(rho)
    fusion(True)
    with pytest.raises(RuntimeError) as info:
        plexar.run_density_operations_device(state, 6, H0_FLIP0 + [op] + H0_FLIP0)
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), rho)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        plexar._density_fusion_groups(6, H0_FLIP0 + [op])
