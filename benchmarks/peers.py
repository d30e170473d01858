"""Peer simulators run in the same process as the benchmarks: Qiskit Aer
(statevector and density_matrix methods) and qsim (through qsimcirq), on the
CPU or, where their GPU builds are installed, on the GPU.

Circuits are written once as stavex gate_ir lists (and density operation
objects); this module rebuilds them as Qiskit and Cirq circuits. Every timing
is the wall time from the peer's circuit object to the final state as a NumPy
array, the fastest of a few runs, like ours.
"""
import os
import time

import numpy as np

# gate_ir names of the benchmark circuits -> Qiskit QuantumCircuit methods.
_QISKIT_NAMES = {"s_dag": "sdg", "sqrtx": "sx", "sqrtx_dag": "sxdg", "phase": "p", "t_dag": "tdg"}


def describe_error(error):
    return f"{type(error).__name__}: {error}"


def aer_devices():
    """(devices Aer can use, note): ('CPU',) or ('CPU', 'GPU'); () with a note
    when qiskit-aer is not installed."""
    try:
        from qiskit_aer import AerSimulator
    except ImportError as error:
        return (), "qiskit-aer not installed (" + describe_error(error) + ")"
    return tuple(AerSimulator().available_devices()), None


def qsim_devices():
    try:
        import qsimcirq
    except ImportError as error:
        return (), "qsimcirq not installed (" + describe_error(error) + ")"
    return ("CPU", "GPU") if getattr(qsimcirq, "qsim_gpu", None) is not None else ("CPU",), None


def versions():
    """Versions of the peers, and which of qsim's instruction-set builds
    qsimcirq loaded (it picks one at import from what the CPU offers)."""
    import sys

    found = {}
    for name in ("qiskit", "qiskit_aer", "qsimcirq", "cirq"):
        try:
            found[name] = __import__(name).__version__
        except ImportError:
            found[name] = None
    builds = sorted(m.split(".")[-1] for m in sys.modules
                    if m.startswith("qsimcirq.qsim_") and m.split(".")[-1] in ("qsim_avx512", "qsim_avx2",
                                                                                  "qsim_sse", "qsim_basic"))
    found["qsim_build"] = builds[0] if builds else None
    return found


def _add_qiskit_gate(qc, name, targets, controls, parameters):
    if name == "sqrty":  # sqrt(Y) = e^{i pi/4} RY(pi/2)
        qc.ry(np.pi / 2, targets[0])
        qc.global_phase += np.pi / 4
        return
    name = _QISKIT_NAMES.get(name, name)
    getattr(qc, name)(*parameters, *controls, *targets)


def qiskit_circuit(n, gates):
    """A gate_ir list (the benchmark circuits' gates) as a QuantumCircuit on
    qubits 0..n-1, qubit q being bit q of an amplitude index as in stavex."""
    from qiskit import QuantumCircuit

    qc = QuantumCircuit(n)
    for g in gates:
        _add_qiskit_gate(qc, g["id"], g["target"], g["control"], g["parameter"])
    return qc


def qiskit_noisy_circuit(n, operations):
    """Density operation objects (density_ops) as a QuantumCircuit with Kraus
    instructions, which Aer's density_matrix method applies."""
    from qiskit import QuantumCircuit
    from qiskit.quantum_info import Kraus

    qc = QuantumCircuit(n)
    for op in operations:
        if getattr(op, "operation_kind", None) == "kraus":
            qc.append(Kraus(list(np.asarray(op.kraus_matrices))), list(op.target))
        else:
            _add_qiskit_gate(qc, op.id, op.target, op.control, op.parameter or [])
    return qc


def cirq_circuit(qc):
    """The QuantumCircuit as a Cirq circuit of matrix gates (CX and CZ as
    Cirq's own), with qubit q of the QuantumCircuit at LineQubit(n - 1 - q), so
    that Cirq's big-endian state vector has stavex's amplitude order."""
    import cirq

    n = qc.num_qubits
    qubits = [cirq.LineQubit(n - 1 - q) for q in range(n)]
    two_qubit = {"cx": cirq.CNOT, "cz": cirq.CZ}
    ops = []
    for instruction in qc.data:
        wires = [qubits[qc.find_bit(q).index] for q in instruction.qubits]
        name = instruction.operation.name
        if name in two_qubit:
            ops.append(two_qubit[name](*wires))
        else:
            ops.append(cirq.MatrixGate(instruction.operation.to_matrix()).on(*wires))
    if qc.global_phase:
        ops.append(cirq.global_phase_operation(np.exp(1j * float(qc.global_phase))))
    return cirq.Circuit(ops)


def best_of(run, repeats):
    """(fastest seconds, last result) of `repeats` calls (at least two, so
    that first-use costs fall on one only)."""
    best, result = float("inf"), None
    repeats = max(2, repeats)
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def aer_statevector(qc, precision, device="CPU", repeats=2):
    """(seconds, final state) of Aer's statevector method, default options
    (its own gate fusion on)."""
    from qiskit_aer import AerSimulator

    sim = AerSimulator(method="statevector", precision=precision, device=device)
    qc = qc.copy()
    qc.save_statevector()
    return best_of(lambda: np.asarray(sim.run(qc).result().get_statevector()), repeats)


def aer_density_matrix(qc, precision, device="CPU", repeats=2):
    from qiskit_aer import AerSimulator

    sim = AerSimulator(method="density_matrix", precision=precision, device=device)
    qc = qc.copy()
    qc.save_density_matrix()
    return best_of(lambda: np.asarray(sim.run(qc).result().data()["density_matrix"]), repeats)


def qsim_options(max_fused_gate_size, device="CPU"):
    """qsim's options: all CPUs (its default is one thread) or the GPU."""
    return {"max_fused_gate_size": max_fused_gate_size, "cpu_threads": os.cpu_count() or 1,
            "use_gpu": device == "GPU"}


def qsim_statevector(circuit, max_fused_gate_size, device="CPU", repeats=2):
    """(seconds, final state) of qsim, which computes in single precision."""
    import qsimcirq

    sim = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(**qsim_options(max_fused_gate_size, device)))
    return best_of(lambda: np.asarray(sim.simulate(circuit).final_state_vector), repeats)


def fidelity(a, b):
    """|<a|b>|^2 of two state vectors, or the fidelity-like overlap
    Re tr(a b) / sqrt(tr(a^2) tr(b^2)) of two density matrices."""
    a, b = np.asarray(a, np.complex128), np.asarray(b, np.complex128)
    if a.ndim == 1:
        return float(abs(np.vdot(a, b)) ** 2 / (np.vdot(a, a).real * np.vdot(b, b).real))
    return float(np.trace(a @ b).real / np.sqrt(np.trace(a @ a).real * np.trace(b @ b).real))
