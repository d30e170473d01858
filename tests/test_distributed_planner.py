"""The distributed layer's host logic without MPI: plans played out on a NumPy
model of all ranks equal the model run of the circuit, the look-ahead planner
never trades more qubits or bytes than the naive strategy, and gate lists are
refused as stavex refuses them."""
import numpy as np
import pytest

import stavex
from distributed_support import gate, model_run, qft, random_circuit, random_state
from gate_reference import apply_gate
from zorvane_gpu.distributed.gates import local_gate, read_gate_list
from zorvane_gpu.distributed.planner import Exchange, Layout, plan_gates


def play(plan, layout, physical):
    """Runs a plan on the whole state held in physical order, rank by rank,
    with the model's gates and exchanges as the bit permutations they are."""
    n, local = layout.n, layout.local_count
    state = physical.copy()
    for step in plan.steps:
        if isinstance(step, Exchange):
            axes = list(range(n))  # axis a of the n-axis view is bit n-1-a
            for i, g in enumerate(step.global_positions):
                a, b = n - 1 - (local - step.qubits + i), n - 1 - g
                axes[a], axes[b] = axes[b], axes[a]
            state = np.ascontiguousarray(state.reshape((2,) * n).transpose(axes)).reshape(-1)
            continue
        for rank in range(1 << layout.global_count):
            part = state[rank << local:(rank + 1) << local]
            for record in step.gates:
                g = local_gate(record, local, rank)
                if g is not None:
                    assert max(g.target + g.control, default=0) < local
                    part[:] = apply_gate(part, g._asdict())
    return plan.layout.logical_order(state)


def physical_from_logical(layout, logical):
    """The inverse of Layout.logical_order."""
    out = np.empty_like(logical)
    index = np.arange(logical.size)
    physical_index = np.zeros_like(index)
    for q, p in enumerate(layout.position):
        physical_index |= ((index >> q) & 1) << p
    out[physical_index] = logical
    return out


@pytest.mark.parametrize("strategy", ["lookahead", "naive"])
@pytest.mark.parametrize("n, global_count, seed", [(4, 1, 0), (6, 2, 1), (7, 3, 2), (5, 3, 3)])
@pytest.mark.parametrize("start", ["zero", "random"])
def test_plan_played_on_the_model_equals_the_circuit(strategy, n, global_count, seed, start):
    local = n - global_count
    gates = random_circuit(n, 60, seed, max_unitary_targets=min(3, local))
    records = read_gate_list(n, local, gates)
    if start == "zero":
        layout = Layout.zero_state(n, global_count)
        logical = np.zeros(2**n, complex)
        logical[0] = 1
    else:
        # A permuted map with nothing known, as a second run of a state finds it.
        layout = Layout(n, global_count, np.random.default_rng(seed).permutation(n))
        logical = random_state(n, seed)
    plan = plan_gates(records, layout, strategy)
    got = play(plan, layout, physical_from_logical(layout, logical))
    np.testing.assert_allclose(got, model_run(logical, gates), atol=1e-12)
    assert layout == Layout(layout.n, layout.global_count, layout.position, layout.known)  # left as it was


@pytest.mark.parametrize("n, global_count", [(12, 1), (12, 3), (16, 4), (30, 3)])
@pytest.mark.parametrize("circuit", ["qft", "random", "layered"])
def test_lookahead_never_trades_more_than_naive(n, global_count, circuit):
    gates = {"qft": lambda: qft(n), "random": lambda: random_circuit(n, 400, n + global_count),
             "layered": lambda: layered(n, 8, seed=n)}[circuit]()
    records = read_gate_list(n, n - global_count, gates)
    for layout in (Layout.zero_state(n, global_count), Layout(n, global_count)):
        look, naive = plan_gates(records, layout), plan_gates(records, layout, "naive")
        assert look.swap_count <= naive.swap_count
        assert look.bytes_exchanged(16) <= naive.bytes_exchanged(16)
        assert len(look.exchanges) <= len(naive.exchanges)


def layered(n, depth, seed):
    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(depth):
        gates += [gate("u", [q], parameter=rng.uniform(-np.pi, np.pi, 3)) for q in range(n)]
        order = rng.permutation(n)
        gates += [gate("cx", [b], [a], [1]) for a, b in zip(order[0::2], order[1::2])]
    return gates


def test_qft_from_zero_state_needs_one_exchange():
    # Qubits in |0> come in by relabelling; the three brought in last travel together.
    n, g = 30, 3
    plan = plan_gates(read_gate_list(n, n - g, qft(n)), Layout.zero_state(n, g))
    assert [e.qubits for e in plan.exchanges] == [3]
    assert plan.bytes_exchanged(8) == 8 * 8 * (7 << (n - g - 3))  # 8 ranks, 7 blocks of 2**24 each


def test_diagonal_gates_and_controls_on_global_qubits_need_no_exchange():
    n, g = 5, 2
    gates = [gate("h", [q]) for q in range(3)] + [
        gate("cz", [4], [3], [1]), gate("rz", [3], parameter=[0.3]), gate("x", [0], [4], [0]),
        gate("unitary", [4, 1], matrix=np.diag(np.exp(1j * np.arange(4)))), gate("gp", [], [3], [1], [0.2])]
    plan = plan_gates(read_gate_list(n, n - g, gates), Layout(n, g))
    assert plan.exchanges == []


@pytest.mark.parametrize("bad", [
    gate("nope", [0]),
    gate("h", [7]),
    gate("x", [0], [0], [1]),
    gate("x", [0], [1], [2]),
    gate("x", [0], [1], []),
    gate("rx", [0]),
    gate("u", [0], parameter=[1, 2]),
    gate("swap", [0]),
    gate("unitary", [0, 1], matrix=np.eye(2)),
    gate("unitary", [0]),
    gate("t", [0], parameter=[0.1]),
])
def test_bad_gates_are_refused_with_stavex_messages(bad):
    state = stavex.DeviceState.zero_state(3)
    with pytest.raises(ValueError) as expected:
        stavex.run_circuit_device(state, [bad])
    with pytest.raises(ValueError) as got:
        read_gate_list(3, 2, [gate("h", [0]), bad])
    assert str(got.value) == str(expected.value)


def test_gate_wider_than_a_rank_is_refused():
    with pytest.raises(ValueError, match="more local qubits"):
        read_gate_list(4, 2, [gate("unitary", [0, 1, 2], matrix=np.eye(8)[::-1])])
    # A diagonal one needs no local qubit at all.
    read_gate_list(4, 2, [gate("unitary", [0, 1, 2], matrix=np.diag(np.exp(1j * np.arange(8))))])


def test_local_gate_is_decided_by_the_rank_bits():
    # rz on position 3 (rank bit 1), controls on position 2 (rank bit 0) wanting 0 and on local position 0.
    [record] = read_gate_list(4, 2, [gate("rz", [3], [2, 0], [0, 1], [0.5])])
    assert local_gate(record, 2, rank=0b01) is None
    for rank, factor in [(0b00, np.exp(-0.25j)), (0b10, np.exp(0.25j))]:
        g = local_gate(record, 2, rank)
        assert (g.id, g.target, g.control) == ("unitary", [0], [])
        np.testing.assert_allclose(np.diagonal(g.matrix), [1, factor])
