import queue
import re
import threading
import types
from collections import Counter

import numpy as np
import pytest

import stavex
from conftest import DTYPES, cpu_layer_only, gate, live_bytes, random_state
from fuzz_support import on_thread
from gate_reference import apply_gate

AUTOPAIR, SPARSESHAREMEM, DENSEMM = 0, 1, 2
TOLERANCE = {np.complex64: 2e-5, np.complex128: 1e-12}

ONE_QUBIT = ["x", "y", "z", "h", "s", "s_dag", "sx", "sxdg", "sqrty", "sqrty_dag", "t", "t_dag"]
ONE_ANGLE = ["rx", "ry", "rz", "p"]


def as_objects(gates):
    return [types.SimpleNamespace(**{"matrix": None, **g}) for g in gates]


def random_unitary(dim, rng):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_chunk(n, count, rng, unfusable=True):
    """Gates of every fusable kind (controlled on 0 or 1 or not at all), and,
    unless turned off, some the planner must leave to the per-gate path."""
    gates = []
    for _ in range(count):
        qubits = [int(q) for q in rng.permutation(n)]
        t, others = qubits[0], qubits[1:]
        nc = min(len(others), int(rng.choice([0, 0, 0, 1, 1, 2])))
        controls, states = others[:nc], [int(s) for s in rng.integers(0, 2, nc)]
        kind = rng.integers(8 if unfusable else 6)
        if kind == 0:
            g = gate(str(rng.choice(ONE_QUBIT)), [t], controls, states)
        elif kind == 1:
            g = gate(str(rng.choice(ONE_ANGLE)), [t], controls, states, [float(rng.uniform(-4, 4))])
        elif kind == 2:
            g = gate("u", [t], controls, states, [float(a) for a in rng.uniform(-4, 4, 3)])
        elif kind == 3:
            g = gate("unitary", [t], controls, states, matrix=random_unitary(2, rng))
        elif kind == 4 and n >= 2:
            g = gate("swap", [t, others[-1]], controls[: n - 2], states[: n - 2])
        elif kind == 5:
            g = gate("h", [t])
        elif kind == 6:
            g = gate("gp", [], controls, states, [float(rng.uniform(-3, 3))])
        elif n >= 2:
            g = gate("unitary", [t, others[-1]], matrix=random_unitary(4, rng))
        else:
            g = gate("x", [t])
        gates.append(g)
    return gates


def model(n, gates, v):
    out = np.asarray(v, np.complex128)
    for g in gates:
        out = apply_gate(out, g)
    return out


def chunk_groups(chunk):
    return stavex._fusion_chunk_groups(chunk)


def check(state, expected, dtype):
    np.testing.assert_allclose(state, expected, atol=TOLERANCE[dtype], rtol=0)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n", [1, 2, 5, 9, 12])
def test_pair_auto_fusion_runs_random_chunks_like_the_model(n, dtype):
    rng = np.random.default_rng(n)
    gates = random_chunk(n, 30 * n, rng)
    v = random_state(n, dtype, seed=n)
    out = stavex.run_circuit(n, v.copy(), gates, mode=stavex.PairAutoFusion)
    check(out, model(n, gates, v), dtype)
    s = stavex.DeviceState.from_numpy(n, v)
    stavex.run_circuit_device_gates(s, as_objects(gates), mode=stavex.PairAutoFusion)
    check(s.to_numpy(), out, dtype)


# Option sets, each with the group kinds its plans must show (checked on the
# chunk itself, so that a set that stopped exercising its executor fails).
OPTION_SETS = {
    "defaults": ({}, {SPARSESHAREMEM}),
    "densemm_forced": ({"densemm_gate_threshold_scale": 0.0, "sparsesharemem_qubits": 7}, {DENSEMM}),
    "densemm_narrow": ({"densemm_gate_threshold_scale": 0.0, "densemm_min_qubits": 2, "densemm_max_qubits": 3,
                        "sparsesharemem_qubits": 4}, {DENSEMM, SPARSESHAREMEM}),
    "no_padding": ({"pad_sparsesharemem": False, "sparsesharemem_qubits": 5}, {SPARSESHAREMEM}),
    "one_qubit_groups": ({"sparsesharemem_qubits": 1}, {SPARSESHAREMEM}),
    "two_qubit_groups": ({"sparsesharemem_qubits": 2, "densemm_max_qubits": 0}, {SPARSESHAREMEM}),
    "three_qubit_groups": ({"sparsesharemem_qubits": 3, "densemm_gate_threshold_scale": 100.0}, {SPARSESHAREMEM}),
    "no_search": ({"max_gates_per_group": 0}, {AUTOPAIR}),
    "one_gate_search": ({"max_gates_per_group": 1}, {AUTOPAIR}),
    "no_swap": ({"fuse_swap": False}, {SPARSESHAREMEM}),
    "long_search": ({"max_gates_per_group": 100000, "sparsesharemem_qubits": 6}, {SPARSESHAREMEM}),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", OPTION_SETS)
def test_prepared_chunks_under_every_option_set_match_the_model(name, dtype):
    options, required = OPTION_SETS[name]
    n = 11
    rng = np.random.default_rng(sum(map(ord, name)))
    gates = random_chunk(n, 250, rng)
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates), **options)
    kinds = {kind for kind, _, _ in chunk_groups(chunk)}
    assert required <= kinds, kinds
    if name.startswith("no_search") or name.startswith("one_gate"):
        assert kinds == {AUTOPAIR}
    if name == "no_swap":
        swaps = {i for i, g in enumerate(gates) if g["id"] == "swap"}
        assert all(kind == AUTOPAIR for kind, members, _ in chunk_groups(chunk) if set(members) & swaps)
    v = random_state(n, dtype, seed=3)
    s = stavex.DeviceState.from_numpy(n, v)
    stavex.execute_prepared_fusion_chunk(s, chunk)
    check(s.to_numpy(), model(n, gates, v), dtype)


def test_chunks_are_reused_across_states_and_precisions():
    n = 8
    gates = random_chunk(n, 120, np.random.default_rng(4))
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates), densemm_gate_threshold_scale=0.3)
    assert chunk.n == n and chunk.gate_count == len(gates)
    for dtype in (np.complex64, np.complex128, np.complex64):
        v = random_state(n, dtype, seed=int(np.dtype(dtype).itemsize))
        s = stavex.DeviceState.from_numpy(n, v)
        stavex.execute_prepared_fusion_chunk(s, chunk)
        once = model(n, gates, v)
        check(s.to_numpy(), once, dtype)
        stavex.execute_prepared_fusion_chunk(s, chunk)  # applies the gates again
        check(s.to_numpy(), model(n, gates, once), dtype)


def test_sparsesharemem_tiles_with_many_gates_on_every_local_qubit():
    # k = 10 tiles, 16 of them, gates on every target (0 and 1 included) in
    # one group: a missing barrier in the kernel mixes the threads' updates
    n = 14
    rng = np.random.default_rng(2)
    active = [0, 1, 2, 4, 5, 7, 8, 10, 11, 13]
    gates = []
    for _ in range(6):
        for t in rng.permutation(active):
            gates.append(gate("u", [int(t)], parameter=[float(a) for a in rng.uniform(-3, 3, 3)]))
        gates.append(gate("cx", [active[0]], [active[9]], [1]))
        gates.append(gate("swap", [active[1], active[5]]))
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates), densemm_gate_threshold_scale=1e9)
    groups = chunk_groups(chunk)
    assert [(kind, members) for kind, members, _ in groups] == [(SPARSESHAREMEM, list(range(len(gates))))]
    for dtype in DTYPES:
        v = random_state(n, dtype, seed=5)
        s = stavex.DeviceState.from_numpy(n, v)
        stavex.execute_prepared_fusion_chunk(s, chunk)
        check(s.to_numpy(), model(n, gates, v), dtype)


# Gates the per-gate path rejects; fusion must fail on them at the same point
# of the chunk, with the same error, leaving the same state.
INVALID = {
    "target_out_of_range": gate("h", [6]),
    "negative_target": gate("x", [-1]),
    "control_out_of_range": gate("x", [0], [70], [1]),
    "control_is_target": gate("x", [2], [2], [1]),
    "repeated_control": gate("rz", [0], [1, 1], [1, 1], [0.2]),
    "control_state_two": gate("cx", [0], [1], [2]),
    "control_lists_differ": gate("cx", [0], [1], []),
    "swap_onto_itself": gate("swap", [3, 3]),
    "swap_out_of_range": gate("swap", [0, 9]),
    "parameter_count": gate("t", [1], parameter=[0.5]),
}


def mode_outcome(n, gates, v, run):
    s = stavex.DeviceState.from_numpy(n, v)
    try:
        run(s)
        error = None
    except (ValueError, RuntimeError) as e:
        error = (type(e), str(e))
    return error, s.to_numpy()


@pytest.mark.parametrize("name", INVALID)
def test_invalid_gates_fail_as_without_fusion(name):
    n = 6
    rng = np.random.default_rng(8)
    # the gates after the bad one include some on other qubits, which a
    # planner that rejected-and-blocked it could have run ahead of it
    before = random_chunk(n, 25, rng, unfusable=False)
    after = random_chunk(n, 25, rng, unfusable=False) + [gate("h", [q]) for q in range(n)]
    gates = before + [INVALID[name]] + after
    v = random_state(n, np.complex128, seed=1)
    plain = mode_outcome(n, gates, v, lambda s: stavex.run_circuit_device(s, gates, mode=stavex.PairAuto))
    fused = mode_outcome(n, gates, v, lambda s: stavex.run_circuit_device(s, gates, mode=stavex.PairAutoFusion))
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates))  # accepted: checked at execution
    prepared = mode_outcome(n, gates, v, lambda s: stavex.execute_prepared_fusion_chunk(s, chunk))
    assert plain[0] is not None and plain[0][0] is ValueError
    assert fused[0] == plain[0] and prepared[0] == plain[0]
    np.testing.assert_allclose(plain[1], model(n, before, v), atol=1e-12)
    np.testing.assert_allclose(fused[1], plain[1], atol=1e-12)
    np.testing.assert_allclose(prepared[1], plain[1], atol=1e-12)


def test_prepare_checks_n_first_and_execute_checks_the_qubit_count():
    for n in (0, 63, -1):
        with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
            stavex.prepare_fusion_chunk_gates(n, 42)  # not iterable: never parsed
    empty = stavex.prepare_fusion_chunk_gates(3, iter([]))
    assert (empty.n, empty.gate_count) == (3, 0)
    assert chunk_groups(empty) == []
    v = random_state(3, np.complex64)
    s = stavex.DeviceState.from_numpy(3, v)
    stavex.execute_prepared_fusion_chunk(s, empty)
    np.testing.assert_array_equal(s.to_numpy(), v)
    chunk = stavex.prepare_fusion_chunk_gates(n=10, gates=as_objects([gate("h", [0])]), fuse_swap=False,
                                              sparsesharemem_qubits=4, densemm_min_qubits=2, densemm_max_qubits=3,
                                              densemm_gate_threshold_scale=2.5, max_gates_per_group=7,
                                              pad_sparsesharemem=False)
    with pytest.raises(ValueError, match="^DeviceState qubit count does not match prepared fusion chunk$"):
        stavex.execute_prepared_fusion_chunk(stavex.DeviceState.zero_state(12), chunk)


def test_prepared_chunk_binding_surface():
    chunk = stavex.prepare_fusion_chunk_gates(2, as_objects([gate("h", [0])]))
    with pytest.raises(AttributeError):
        chunk.n = 3
    with pytest.raises(AttributeError):
        chunk.gate_count = 3
    with pytest.raises(TypeError):
        stavex.PreparedFusionChunk()
    s = stavex.DeviceState.zero_state(2)
    with pytest.raises(TypeError):
        stavex.execute_prepared_fusion_chunk(None, chunk)
    with pytest.raises(TypeError):
        stavex.execute_prepared_fusion_chunk(s, None)
    with pytest.raises(TypeError):
        stavex.prepare_fusion_chunk_gates(2, [], sparsesharemem_qubits=2**31)
    # parse errors surface from prepare unchanged
    with pytest.raises(ValueError, match="^Unsupported CUDA gate id: X$"):
        stavex.prepare_fusion_chunk_gates(2, as_objects([gate("X", [0])]))
    assert stavex.prepare_fusion_chunk_gates.__doc__.strip().endswith(
        "Parse and plan one streamed chunk on the CPU without launching CUDA.")
    assert stavex.execute_prepared_fusion_chunk.__doc__.strip().endswith(
        "Execute one CPU-prepared fusion chunk and wait for its CUDA work.")


def test_one_thread_prepares_while_another_executes():
    n, chunks = 9, 12
    rng = np.random.default_rng(12)
    parts = [random_chunk(n, 60, rng) for _ in range(chunks)]
    v = random_state(n, np.complex128, seed=12)
    ready, errors = queue.Queue(maxsize=2), []

    def prepare():
        try:
            for gates in parts:
                ready.put(stavex.prepare_fusion_chunk_gates(n, as_objects(gates), densemm_gate_threshold_scale=0.5))
        except Exception as e:  # surfaced below
            errors.append(e)
            ready.put(None)

    producer = threading.Thread(target=prepare)
    producer.start()
    s = stavex.DeviceState.from_numpy(n, v)
    for _ in range(chunks):
        chunk = ready.get(timeout=60)
        assert chunk is not None, errors
        stavex.execute_prepared_fusion_chunk(s, chunk)
    producer.join()
    assert not errors
    check(s.to_numpy(), model(n, [g for part in parts for g in part], v), np.complex128)


def densemm_chunk(n):
    gates = [gate("u", [q % 3], parameter=[0.1 * q, 0.2, 0.3]) for q in range(12)]
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates), densemm_gate_threshold_scale=0.0)
    assert [kind for kind, _, _ in chunk_groups(chunk)] == [DENSEMM]
    return gates, chunk


@cpu_layer_only
def test_densemm_cache_moves_between_devices_and_ends_with_its_thread(no_leaks):
    stavex._cpu_layer_set_device_count(2)
    try:
        n = 10
        gates, chunk = densemm_chunk(n)
        before = live_bytes()
        state_bytes = 16 << n

        def work():
            for device in (0, 1):
                v = random_state(n, np.complex128, seed=device)
                s = stavex.DeviceState.from_numpy(n, v, device=f"cuda:{device}")
                stavex.execute_prepared_fusion_chunk(s, chunk)
                check(s.to_numpy(), model(n, gates, v), np.complex128)
                held = Counter(live_bytes())
                held.subtract(before)
                # the state and the cache's two buffers, all on this device
                assert +held == Counter({(device, state_bytes): 3}), held
                del s

        on_thread(work)
        assert live_bytes() == before
    finally:
        stavex._cpu_layer_set_device_count(1)


def fault_chunk(n):
    """A chunk with SparseShareMem, DenseMM and AutoPair groups (a
    three-target unitary, whose launcher allocates and copies)."""
    rng = np.random.default_rng(21)
    gates = [gate("h", [q]) for q in range(n)]
    gates += [gate("u", [q % 2], parameter=[0.3 * q, 0.1, 0.2]) for q in range(10)]
    gates += [gate("unitary", [1, 3, 4], matrix=random_unitary(8, rng))]
    gates += [gate("rx", [5], parameter=[0.4]), gate("cx", [4], [5], [1]), gate("swap", [2, 5])]
    options = {"sparsesharemem_qubits": 2, "pad_sparsesharemem": False, "densemm_max_qubits": 2}
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates), **options)
    assert {kind for kind, _, _ in chunk_groups(chunk)} == {AUTOPAIR, SPARSESHAREMEM, DENSEMM}
    return gates, chunk


FAULT_MESSAGES = {
    "allocation": r"(cudaMalloc (SparseShareMem gates|DenseMM matrices|cached DenseMM (transpose|GEMM) buffer)|"
                  r"CUDA error): out of memory",
    "copy": r"(cudaMemcpy (SparseShareMem gates|DenseMM matrices)|CUDA error): unspecified launch failure",
    "launch": r"(CUDA error|cu_\w+ kernel launch failed): unspecified launch failure",
    "cublas_create": r"cublasCreate DenseMM cache failed",
    "cublas_set_stream": r"cublasSetStream DenseMM failed",
    "cublas_gemm": r"cublas[CZ]gemm DenseMM failed",
}


def prefix_states(n, gates, groups, v):
    """The state after each prefix of a plan's groups."""
    states = [np.asarray(v, np.complex128)]
    for _, members, _ in groups:
        states.append(model(n, [gates[i] for i in members], states[-1]))
    return states


@cpu_layer_only
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", FAULT_MESSAGES)
def test_faults_in_fused_runs_raise_leak_nothing_and_leave_state_and_cache_usable(kind, dtype, no_leaks):
    n = 6
    gates, chunk = fault_chunk(n)
    v = random_state(n, dtype, seed=2)
    default_plan = chunk_groups(stavex.prepare_fusion_chunk_gates(n, as_objects(gates)))
    paths = [
        (lambda s: stavex.execute_prepared_fusion_chunk(s, chunk), prefix_states(n, gates, chunk_groups(chunk), v)),
        (lambda s: stavex.run_circuit_device_gates(s, as_objects(gates), mode=stavex.PairAutoFusion),
         prefix_states(n, gates, default_plan, v)),
    ]
    failures = []

    def attempt(run, prefixes, nth):
        s = stavex.DeviceState.from_numpy(n, v)
        stavex._cpu_layer_inject_fault(kind, nth)
        try:
            run(s)
        except RuntimeError as e:
            stavex._cpu_layer_clear_faults()
            failures.append(str(e))
            assert re.fullmatch(FAULT_MESSAGES[kind], str(e)), str(e)
            # the groups before the failing one stay applied, nothing else
            got = s.to_numpy()
            assert any(np.allclose(got, p, atol=TOLERANCE[dtype], rtol=0) for p in prefixes)
            # the state and this thread's cache work on
            run(s)
            check(s.to_numpy(), model(n, gates, got), dtype)
            return False
        stavex._cpu_layer_clear_faults()
        check(s.to_numpy(), prefixes[-1], dtype)
        return True

    for run, prefixes in paths:
        done = [False]
        for nth in range(1, 40):
            # a fresh thread each time: its DenseMM cache starts empty, so
            # the cache's own operations are among those that fail
            on_thread(lambda: done.__setitem__(0, attempt(run, prefixes, nth)))
            if done[0]:
                break
        assert done[0], "the run never succeeded"
    assert failures, "no operation of this kind in a fused run"
