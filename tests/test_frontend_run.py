"""zorvane_gpu.run against Qiskit's references: random library circuits in
both precisions and streamed in chunks, counts against exact probabilities,
mid-circuit measurement, reset and conditionals, noise against a NumPy
density model, and the size limits."""
import numpy as np
import pytest

pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import library as lib  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402
from scipy.stats import chi2  # noqa: E402

import plexar  # noqa: E402
import stavex  # noqa: E402
import zorvane_gpu  # noqa: E402
from zorvane_gpu.execute import CircuitTooLargeError  # noqa: E402
from zorvane_gpu.loading import loads_qasm  # noqa: E402

from conftest import cpu_layer_only  # noqa: E402

TOLERANCE = {"complex64": 2e-5, "complex128": 1e-11}


def _library_circuits():
    efficient = lib.efficient_su2(5, reps=2)
    efficient = efficient.assign_parameters(np.linspace(-2, 2, efficient.num_parameters))
    qft = QuantumCircuit(5)
    qft.x([0, 3])
    qft.append(lib.QFTGate(5), range(5))
    return {
        "random": random_circuit(6, depth=8, max_operands=3, seed=11),
        "quantum volume": lib.quantum_volume(5, seed=3),
        "efficient su2": efficient,
        "qft": qft,
    }


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("name,circuit", _library_circuits().items(), ids=list(_library_circuits()))
def test_library_circuits_match_statevector(name, circuit, dtype):
    result = zorvane_gpu.run(circuit, dtype=dtype)
    assert result.statevector.dtype == np.dtype(dtype) and result.backend.startswith("stavex")
    np.testing.assert_allclose(result.statevector, Statevector(circuit).data, atol=TOLERANCE[dtype])


@pytest.mark.parametrize("mode,overlap", [("PairAutoFusion", True), ("PairAutoFusion", False), ("Pair", True)])
def test_chunks_streamed_or_planned_first_give_the_same_state(mode, overlap):
    circuit = random_circuit(5, depth=40, max_operands=2, seed=4)
    seen = []
    result = zorvane_gpu.run(circuit, mode=mode, chunk_gates=7, overlap_planning=overlap,
                             progress=lambda done, total, unit: seen.append((done, total)))
    np.testing.assert_allclose(result.statevector, Statevector(circuit).data, atol=1e-11)
    gates = result.gate_count
    assert len(seen) == -(-gates // 7) and seen[-1] == (gates, gates)


def _chi_square_ok(counts, probabilities, shots):
    """Pearson's test over the outcomes with positive probability; counts on
    impossible outcomes fail outright."""
    assert set(counts) <= {k for k, p in probabilities.items() if p > 1e-12}
    keys = [k for k, p in probabilities.items() if p > 1e-12]
    expected = np.array([probabilities[k] * shots for k in keys])
    observed = np.array([counts.get(k, 0) for k in keys])
    statistic = ((observed - expected) ** 2 / expected).sum()
    return statistic < chi2.ppf(1 - 1e-4, len(keys) - 1)


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_counts_follow_exact_probabilities(dtype):
    circuit = random_circuit(4, depth=6, max_operands=2, seed=21)
    probabilities = Statevector(circuit).probabilities_dict()
    circuit.measure_all()
    shots = 20000
    result = zorvane_gpu.run(circuit, shots, seed=5, dtype=dtype)
    assert sum(result.counts.values()) == shots and result.statevector is None
    assert _chi_square_ok(result.counts, probabilities, shots)
    assert zorvane_gpu.run(circuit, shots, seed=5, dtype=dtype).counts == result.counts


def test_keys_follow_qiskit_registers_and_bit_order():
    q, low, high = QuantumRegister(3), ClassicalRegister(2, "low"), ClassicalRegister(1, "high")
    circuit = QuantumCircuit(q, low, high)
    circuit.x([0, 2])
    circuit.measure(0, low[1])  # qubit 0 -> second bit of `low`
    circuit.measure(1, low[0])
    circuit.measure(2, high[0])
    assert zorvane_gpu.run(circuit, 10, seed=1).counts == {"1 10": 10}


def _teleport(theta):
    """Teleports RY(theta)|0> from qubit 0 to qubit 2 with mid-circuit
    measurements and corrections conditioned on them."""
    q, m, out = QuantumRegister(3), ClassicalRegister(2, "m"), ClassicalRegister(1, "out")
    circuit = QuantumCircuit(q, m, out)
    circuit.ry(theta, 0)
    circuit.h(1)
    circuit.cx(1, 2)
    circuit.cx(0, 1)
    circuit.h(0)
    circuit.measure(0, m[0])
    circuit.measure(1, m[1])
    with circuit.if_test((m[1], 1)):
        circuit.x(2)
    with circuit.if_test((m[0], 1)):
        circuit.z(2)
    circuit.measure(2, out[0])
    return circuit


@pytest.mark.parametrize("noise", [None, "depolarizing:0"], ids=["stavex", "plexar"])
def test_mid_circuit_measurement_and_conditionals(noise):
    theta, shots = 1.1, 1500
    result = zorvane_gpu.run(_teleport(theta), shots, seed=9, noise=noise)
    assert result.shot_by_shot
    ones = sum(c for key, c in result.counts.items() if key.startswith("1"))
    p1 = np.sin(theta / 2) ** 2
    assert abs(ones - p1 * shots) < 4.5 * np.sqrt(shots * p1 * (1 - p1))
    # The corrections make the last bit independent of the measured pair.
    pairs = {key[2:] for key in result.counts}
    assert pairs == {"00", "01", "10", "11"}


@pytest.mark.skipif(stavex.backend != "cpu", reason="needs the CPU layer's memory capacity")
def test_shots_start_from_a_host_copy_when_the_device_has_room_for_one_state():
    # Every shot starts from the state after the first gates: kept as a second
    # device state, or on the host when only one state fits; same draws.
    on_device = zorvane_gpu.run(_teleport(0.7), 200, seed=4, mode=stavex.PairAuto)  # no fused records
    capacity = stavex._cpu_layer_memory_capacity()
    used = sum(size for _, size in stavex._cpu_layer_live_allocations())
    try:
        stavex._cpu_layer_set_memory_capacity(used + 8 * 16 + 64)  # one 3-qubit state and its measurements
        on_host = zorvane_gpu.run(_teleport(0.7), 200, seed=4, mode=stavex.PairAuto)
    finally:
        stavex._cpu_layer_set_memory_capacity(capacity)
    assert on_host.counts == on_device.counts and on_device.shot_by_shot


@pytest.mark.parametrize("noise", [None, "depolarizing:0"], ids=["stavex", "plexar"])
def test_reset_and_register_conditions(noise):
    circuit = QuantumCircuit(2, 3)
    circuit.h(0)
    circuit.measure(0, 0)
    circuit.reset(0)  # back to |0>, whatever was read
    circuit.measure(0, 1)
    with circuit.if_test((circuit.cregs[0], 0b001)):  # the whole register: only c == 1 holds
        circuit.x(1)
    circuit.measure(1, 2)
    counts = zorvane_gpu.run(circuit, 400, seed=2, noise=noise).counts
    assert set(counts) == {"000", "101"} and min(counts.values()) > 120


def test_conditions_from_qasm3_and_classical_expressions():
    circuit = loads_qasm("""
        OPENQASM 3.0;
        include "stdgates.inc";
        qubit[2] q;
        bit[2] c;
        x q[0];
        c[0] = measure q[0];
        if (c == 1) { x q[1]; } else { h q[1]; }
        if (!c[1]) { x q[0]; }
        c[1] = measure q[1];
    """)
    assert zorvane_gpu.run(circuit, 50, seed=1).counts == {"11": 50}
    bits = ClassicalRegister(3, "c")
    circuit = QuantumCircuit(QuantumRegister(2), bits)
    circuit.x(0)
    circuit.measure(0, 0)
    circuit.measure(1, 1)
    with circuit.if_test(expr.logic_and(expr.lift(bits[0]), expr.logic_not(bits[1]))):
        circuit.x(1)
    with circuit.if_test(expr.equal(expr.bit_and(bits, 3), 1)):  # the register value, masked
        circuit.x(1)
    circuit.measure(1, 2)
    assert zorvane_gpu.run(circuit, 50, seed=1).counts == {"001": 50}


# ---- noise -------------------------------------------------------------------------

I2 = np.eye(2)
X, Y, Z = np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
KRAUS = {
    "depolarizing": lambda p: [np.sqrt(1 - 3 * p / 4) * I2] + [np.sqrt(p / 4) * m for m in (X, Y, Z)],
    "amplitude_damping": lambda p: [np.diag([1, np.sqrt(1 - p)]), np.sqrt(p) * np.array([[0, 1], [0, 0]])],
    # Coherences shrink by 1 - p.
    "phase_damping": lambda p: [np.sqrt(1 - p) * I2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])],
}


def _on(matrix, qubit):
    """A one-qubit matrix on qubit 0 or 1 of two (qubit q is bit q)."""
    return np.kron(I2, matrix) if qubit == 0 else np.kron(matrix, I2)


def _channel(rho, kraus, qubit):
    return sum(_on(k, qubit) @ rho @ _on(k, qubit).conj().T for k in kraus)


def _noisy_bell(kraus):
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    cx = np.array([[1, 0, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0]])  # control 0, target 1
    rho = np.zeros((4, 4), complex)
    rho[0, 0] = 1
    rho = _on(h, 0) @ rho @ _on(h, 0).T
    rho = _channel(rho, kraus, 0)
    rho = cx @ rho @ cx.T
    return _channel(_channel(rho, kraus, 0), kraus, 1)


def _bell():
    circuit = QuantumCircuit(2, 2)
    circuit.h(0)
    circuit.cx(0, 1)
    return circuit


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
@pytest.mark.parametrize("channel", list(KRAUS))
def test_noisy_bell_pair_matches_numpy_density_model(channel, dtype):
    p = 0.15
    result = zorvane_gpu.run(_bell(), noise=f"{channel}:{p}", dtype=dtype)
    assert result.backend.startswith("plexar") and result.statevector is None
    np.testing.assert_allclose(result.density_matrix, _noisy_bell(KRAUS[channel](p)), atol=TOLERANCE[dtype])


def test_noisy_counts_follow_the_density_diagonal():
    p, shots = 0.2, 20000
    circuit = _bell()
    circuit.measure([0, 1], [0, 1])
    result = zorvane_gpu.run(circuit, shots, seed=3, noise=zorvane_gpu.GateNoise("depolarizing", p))
    diagonal = np.real(np.diag(_noisy_bell(KRAUS["depolarizing"](p))))
    assert _chi_square_ok(result.counts, {f"{i:02b}": diagonal[i] for i in range(4)}, shots)


def test_aer_noise_model_kraus_and_unitary_mixtures():
    noise = pytest.importorskip("qiskit_aer.noise")
    p = 0.1
    model = noise.NoiseModel()
    model.add_all_qubit_quantum_error(noise.amplitude_damping_error(p), ["h"])  # a Kraus error
    model.add_all_qubit_quantum_error(noise.pauli_error([("XX", p), ("II", 1 - p)]), ["cx"])  # a unitary mixture
    model.add_readout_error(noise.ReadoutError([[0.9, 0.1], [0.2, 0.8]]), [1])
    expected = np.zeros((4, 4), complex)
    expected[0, 0] = 1
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    cx = np.array([[1, 0, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0]])
    expected = _channel(_on(h, 0) @ expected @ _on(h, 0).T, KRAUS["amplitude_damping"](p), 0)
    expected = cx @ expected @ cx.T
    xx = np.kron(X, X)
    expected = (1 - p) * expected + p * xx @ expected @ xx
    result = zorvane_gpu.run(_bell(), noise=model)
    np.testing.assert_allclose(result.density_matrix, expected, atol=1e-12)

    circuit = _bell()
    circuit.measure([0, 1], [0, 1])
    shots = 20000
    counts = zorvane_gpu.run(circuit, shots, seed=8, noise=model).counts
    confusion = np.array([[0.9, 0.1], [0.2, 0.8]])
    diagonal = np.real(np.diag(expected))
    recorded = {}
    for i, pr in enumerate(diagonal):  # i = bit1 bit0; qubit 1 is read through `confusion`
        q0, q1 = i & 1, i >> 1
        for r1 in (0, 1):
            key = f"{r1}{q0}"
            recorded[key] = recorded.get(key, 0) + pr * confusion[q1, r1]
    assert _chi_square_ok(counts, recorded, shots)


# ---- limits -------------------------------------------------------------------------

def test_noisy_circuit_beyond_plexar_is_refused():
    circuit = QuantumCircuit(16)
    circuit.h(0)
    with pytest.raises(CircuitTooLargeError, match="at most 15") as caught:
        zorvane_gpu.run(circuit, noise="depolarizing:0.01", dtype="complex64")
    assert caught.value.needed_bytes == 4**16 * 8


@cpu_layer_only
@pytest.mark.parametrize("module,noise,needed", [(stavex, None, 2**18 * 16), (plexar, "bit_flip:0.1", 4**9 * 16)])
def test_circuit_too_large_for_the_device_states_bytes(module, noise, needed):
    circuit = QuantumCircuit(18 if module is stavex else 9)
    circuit.h(0)
    capacity = module._cpu_layer_memory_capacity()
    module._cpu_layer_set_memory_capacity(needed // 2)
    try:
        with pytest.raises(CircuitTooLargeError) as caught:
            zorvane_gpu.run(circuit, noise=noise)
    finally:
        module._cpu_layer_set_memory_capacity(capacity)
    assert caught.value.needed_bytes == needed and f"{needed} bytes" in str(caught.value)
    assert caught.value.available_bytes is None or f"{caught.value.available_bytes} bytes" in str(caught.value)


@pytest.mark.parametrize("arguments,match", [
    ({"shots": -1}, "shots"), ({"dtype": "float32"}, "dtype"), ({"mode": "Fast"}, "mode"),
    ({"noise": "depolarizing"}, "CHANNEL:PROBABILITY"), ({"noise": "depolarizing:1.5"}, r"\[0, 1\]"),
    ({"noise": "melting:0.1"}, "unknown noise channel"),
])
def test_bad_arguments(arguments, match):
    with pytest.raises(ValueError, match=match):
        zorvane_gpu.run(_bell(), **arguments)
