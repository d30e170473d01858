"""zorvane_gpu.Sampler as Qiskit code uses a BaseSamplerV2: the same calls
and result shapes as StatevectorSampler, counts against exact probabilities,
reproducible seeds."""
import numpy as np
import pytest

pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.primitives import BaseSamplerV2, StatevectorSampler  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402
from scipy.stats import chi2  # noqa: E402

from zorvane_gpu import Sampler  # noqa: E402


def _parametric():
    theta, phi = Parameter("theta"), Parameter("phi")
    circuit = QuantumCircuit(3)
    circuit.ry(theta, 0)
    circuit.cx(0, 1)
    circuit.rx(phi, 2)
    circuit.cz(1, 2)
    circuit.h(2)
    circuit.measure_all()
    return circuit


def test_existing_sampler_code_runs_unchanged():
    circuit = QuantumCircuit(2)
    circuit.h(0)
    circuit.cx(0, 1)
    circuit.measure_all()
    counts = Sampler().run([circuit], shots=1000).result()[0].data.meas.get_counts()
    assert isinstance(Sampler(), BaseSamplerV2)
    assert set(counts) == {"00", "11"} and sum(counts.values()) == 1000


def test_parameter_sweep_matches_exact_probabilities():
    circuit = _parametric()
    values = np.array([[[0.3, 1.9], [2.2, -0.7]], [[1.0, 0.0], [np.pi, 0.4]]])  # pub shape (2, 2)
    shots = 8000
    result = Sampler(seed=7).run([(circuit, values)], shots=shots).result()
    reference = StatevectorSampler(seed=7).run([(circuit, values)], shots=shots).result()
    meas = result[0].data.meas
    assert meas.shape == reference[0].data.meas.shape == (2, 2) and meas.num_shots == shots
    assert result[0].metadata["shots"] == shots
    for index in np.ndindex(2, 2):
        bound = circuit.remove_final_measurements(inplace=False).assign_parameters(values[index])
        exact = Statevector(bound).probabilities_dict()
        counts = meas.get_counts(index)
        assert set(counts) <= {k for k, p in exact.items() if p > 1e-12}
        keys = [k for k, p in exact.items() if p > 1e-12]
        expected = np.array([exact[k] * shots for k in keys])
        observed = np.array([counts.get(k, 0) for k in keys])
        assert ((observed - expected) ** 2 / expected).sum() < chi2.ppf(1 - 1e-4, len(keys) - 1)


def test_registers_default_shots_and_seeds():
    q, a, b = QuantumRegister(2), ClassicalRegister(1, "alpha"), ClassicalRegister(2, "beta")
    circuit = QuantumCircuit(q, a, b)
    circuit.x(1)
    circuit.h(0)
    circuit.measure(0, a[0])
    circuit.measure(1, b[1])
    result = Sampler(default_shots=64, seed=3).run([circuit]).result()[0]
    assert result.data.beta.get_counts() == {"10": 64} and result.data.alpha.num_shots == 64
    again = Sampler(default_shots=64, seed=3).run([circuit]).result()[0]
    assert result.data.alpha.get_bitstrings() == again.data.alpha.get_bitstrings()
    generator = Sampler(default_shots=64, seed=np.random.default_rng(3))
    first, second = (generator.run([circuit]).result()[0].data.alpha.get_bitstrings() for _ in range(2))
    assert first != second  # a Generator carries on drawing
