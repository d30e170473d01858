"""Translation of Qiskit circuits: every mapped gate, plain and controlled
(closed and open controls), against Qiskit's Statevector on both modules;
unitary qubit order; global phase; what translation refuses; the package
without Qiskit."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter, library as lib  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import DensityMatrix, Operator, Statevector, random_unitary  # noqa: E402

import plexar  # noqa: E402
import stavex  # noqa: E402
import zorvane_gpu  # noqa: E402
from zorvane_gpu.program import plexar_operations  # noqa: E402
from zorvane_gpu.translate import translate  # noqa: E402

from conftest import random_state  # noqa: E402

a, b, c, d = 0.37, -1.21, 2.05, 0.64
GATES = [
    lib.XGate(), lib.YGate(), lib.ZGate(), lib.HGate(), lib.SGate(), lib.SdgGate(), lib.TGate(), lib.TdgGate(),
    lib.SXGate(), lib.SXdgGate(), lib.RXGate(a), lib.RYGate(b), lib.RZGate(c), lib.PhaseGate(a),
    lib.UGate(a, b, c), lib.U1Gate(b), lib.U2Gate(a, c), lib.U3Gate(c, a, b), lib.RGate(a, b), lib.SwapGate(),
    lib.CUGate(a, b, c, d), lib.iSwapGate(), lib.RZZGate(a), lib.ECRGate(),  # no direct name: a unitary
]
# Plain; one closed control (the standard names cx, cp, cswap ... where Qiskit
# has them); two controls, one open; the same as an annotated operation.
CONTROLS = [(0, None, False), (1, None, False), (2, 0b01, False), (2, 0b10, True)]


def _case(gate, controls, ctrl_state, annotated=False, n=4):
    op = gate if controls == 0 else gate.control(controls, ctrl_state=ctrl_state, annotated=annotated)
    qubits = [3, 0, 2, 1][:op.num_qubits]  # out of order: catches endianness mistakes
    circuit = QuantumCircuit(n)
    circuit.append(op, qubits)
    return circuit


def _stavex_state(circuit, dtype=np.complex128):
    n = circuit.num_qubits
    state = random_state(n, dtype, seed=n)
    stavex.run_circuit(n, state, zorvane_gpu.to_gate_ir(circuit))
    return state, random_state(n, np.complex128, seed=n)


@pytest.mark.parametrize("controls,ctrl_state,annotated", CONTROLS,
                         ids=["plain", "controlled", "open-control", "annotated"])
@pytest.mark.parametrize("gate", GATES, ids=lambda g: g.name)
def test_gate_matches_qiskit_on_both_modules(gate, controls, ctrl_state, annotated):
    circuit = _case(gate, controls, ctrl_state, annotated)
    state, initial = _stavex_state(circuit)
    np.testing.assert_allclose(state, Statevector(initial).evolve(circuit).data, atol=1e-12)

    n = circuit.num_qubits
    rho = np.outer(initial, initial.conj())
    device = plexar.DeviceDensityState.from_numpy(n, rho.copy())
    plexar.run_density_operations_device(device, n, plexar_operations(translate(circuit).instructions))
    np.testing.assert_allclose(device.to_numpy(), DensityMatrix(rho).evolve(circuit).data, atol=1e-12)


def test_standard_gates_map_to_names_not_matrices():
    circuit = QuantumCircuit(4)
    circuit.cx(0, 1)
    circuit.ccx(0, 1, 2)
    circuit.mcx([0, 1, 2], 3)
    circuit.cswap(0, 1, 2)
    circuit.mcp(a, [0, 1], 3)
    circuit.append(lib.XGate().control(2, ctrl_state=0b10), [0, 1, 2])
    circuit.crz(b, 2, 3)
    ir = zorvane_gpu.to_gate_ir(circuit)
    assert [(g["id"], g["control"], g["control_state"], g["target"]) for g in ir] == [
        ("x", [0], [1], [1]), ("x", [0, 1], [1, 1], [2]), ("x", [0, 1, 2], [1, 1, 1], [3]),
        ("swap", [0], [1], [1, 2]), ("p", [0, 1], [1, 1], [3]), ("x", [0, 1], [0, 1], [2]),
        ("rz", [2], [1], [3]),
    ]


@pytest.mark.parametrize("qubits", [[0, 2], [2, 0], [1, 2, 0]])
def test_unitary_is_little_endian_in_its_qubit_list(qubits):
    # A random (non-symmetric) unitary: the qubit order matters, both ways.
    matrix = random_unitary(2 ** len(qubits), seed=len(qubits)).data
    circuit = QuantumCircuit(3)
    circuit.unitary(matrix, qubits)
    (entry,) = zorvane_gpu.to_gate_ir(circuit)
    assert entry["id"] == "unitary" and entry["target"] == qubits
    np.testing.assert_array_equal(entry["matrix"], matrix)
    state, initial = _stavex_state(circuit)
    np.testing.assert_allclose(state, Statevector(initial).evolve(circuit).data, atol=1e-12)
    reversed_circuit = QuantumCircuit(3)
    reversed_circuit.unitary(matrix, qubits[::-1])
    assert not np.allclose(state, Statevector(initial).evolve(reversed_circuit).data, atol=1e-6)


def test_wide_gates_decompose_unless_their_matrix_is_smaller():
    circuit = QuantumCircuit(5)
    circuit.append(lib.QFTGate(5), range(5))  # 5 qubits, 15 gates ≤ 32: Qiskit's definition
    circuit.append(lib.UnitaryGate(random_unitary(16, seed=3)), [4, 1, 0, 3])  # always a matrix
    long = random_circuit(3, depth=12, max_operands=2, seed=5).to_gate()  # more than 8 gates: a matrix
    circuit.append(long, [2, 4, 0])
    ir = zorvane_gpu.to_gate_ir(circuit)
    ids = [g["id"] for g in ir]
    assert "unitary" not in ids[:-2] and [g["target"] for g in ir[-2:]] == [[4, 1, 0, 3], [2, 4, 0]]
    state, initial = _stavex_state(circuit)
    np.testing.assert_allclose(state, Statevector(initial).evolve(circuit).data, atol=1e-11)


def test_global_phases_are_kept():
    inner = QuantumCircuit(3, global_phase=0.4)  # a definition with a phase of its own
    inner.h(0)
    inner.ccx(0, 1, 2)
    circuit = QuantumCircuit(4, global_phase=0.3)
    circuit.h(0)
    circuit.append(lib.GlobalPhaseGate(0.2), [])
    circuit.append(inner.to_gate(), [1, 2, 3])  # decomposed: its phase joins the circuit's
    circuit.append(inner.to_gate().control(1), [0, 3, 2, 1])  # its phase becomes a controlled gp
    ir = zorvane_gpu.to_gate_ir(circuit)
    assert ir[0]["id"] == "gp" and ir[0]["parameter"] == [pytest.approx(0.9)]
    assert any(g["id"] == "gp" and g["control"] == [0] for g in ir)
    state, initial = _stavex_state(circuit)
    np.testing.assert_allclose(state, Statevector(initial).evolve(circuit).data, atol=1e-12)


def test_refusals_name_the_problem():
    theta = Parameter("theta")
    circuit = QuantumCircuit(1)
    circuit.rx(theta, 0)
    with pytest.raises(ValueError, match="theta"):
        zorvane_gpu.to_gate_ir(circuit)
    measured = QuantumCircuit(1, 1)
    measured.measure(0, 0)
    with pytest.raises(ValueError, match="not a gate"):
        zorvane_gpu.to_gate_ir(measured)
    with pytest.raises(TypeError, match="QuantumCircuit"):
        zorvane_gpu.to_gate_ir([{"id": "h"}])


def test_package_without_qiskit_says_what_to_install(tmp_path):
    # A finder that refuses qiskit, as if it were not installed.
    script = textwrap.dedent("""
        import sys
        class NoQiskit:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("qiskit", "qiskit_aer", "qiskit_qasm3_import"):
                    raise ImportError("No module named " + repr(name))
        sys.meta_path.insert(0, NoQiskit())
        import zorvane_gpu
        for use in (lambda: zorvane_gpu.to_gate_ir(None), lambda: zorvane_gpu.Sampler,
                    lambda: zorvane_gpu.load_qasm("x.qasm")):
            try:
                use()
            except ImportError as error:
                print(error)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path,
                         env={**os.environ, "PYTHONWARNINGS": "ignore"})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 3 and all("pip install 'zorvane-gpu[circuits]'" in line for line in lines), out.stdout


def test_package_translate_stays_the_function_once_its_module_is_imported():
    # Importing the submodule zorvane_gpu.translate (this file does, and so does
    # run()) binds the package attribute of that name to the module.
    circuit = QuantumCircuit(1)
    circuit.h(0)
    zorvane_gpu.run(circuit)
    assert zorvane_gpu.translate is translate
    assert zorvane_gpu.to_gate_ir(circuit)[0]["id"] == "h"
