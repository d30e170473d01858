"""Circuits for the distributed-state tests (the planner tests and the MPI
child script): random gate lists over every gate kind and the QFT, and the
NumPy model run of a list."""
import math

import numpy as np

from gate_reference import GATES, apply_gate

ONE_TARGET = sorted(name for name, (k, _) in GATES.items() if k == 1)
PARAMETERS = {name: count for name, count in
              [("rx", 1), ("crx", 1), ("mcrx", 1), ("ry", 1), ("cry", 1), ("mcry", 1), ("rz", 1), ("crz", 1),
               ("mcrz", 1), ("phase", 1), ("p", 1), ("cp", 1), ("mcp", 1), ("u", 3), ("u1", 3), ("u2", 3), ("u3", 3)]}


def gate(name, target=(), control=(), control_state=(), parameter=(), **extra):
    return {"id": name, "target": [int(t) for t in target], "control": [int(c) for c in control],
            "control_state": [int(v) for v in control_state], "parameter": [float(p) for p in parameter], **extra}


def random_unitary(rng, dim):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diagonal(r) / np.abs(np.diagonal(r)))


def random_circuit(n, count, seed, max_unitary_targets=3):
    """`count` gates of every kind on n qubits: named one-target gates,
    controlled swaps and plain ones, global phases with controls, dense and
    diagonal matrices, each with up to two controls of either state."""
    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(count):
        kind = rng.integers(10)
        if kind == 0:
            targets = rng.choice(n, 2, replace=False)
            name, params = "swap", ()
        elif kind == 1:
            targets, name, params = [], "gp", rng.uniform(-np.pi, np.pi, 1)
        elif kind in (2, 3):
            width = int(rng.integers(1, max_unitary_targets + 1))
            targets = rng.choice(n, width, replace=False)
            matrix = random_unitary(rng, 2**width)
            if kind == 3:
                matrix = np.diag(np.exp(1j * rng.uniform(-np.pi, np.pi, 2**width)))
            name, params = "unitary", ()
        else:
            name = ONE_TARGET[rng.integers(len(ONE_TARGET))]
            targets, params = rng.choice(n, 1), rng.uniform(-np.pi, np.pi, PARAMETERS.get(name, 0))
        free = [q for q in range(n) if q not in set(targets)]
        controls = rng.choice(free, int(rng.integers(0, min(2, len(free)) + 1)), replace=False)
        g = gate(name, targets, controls, rng.integers(0, 2, len(controls)), params)
        if name == "unitary":
            g["matrix"] = matrix
        gates.append(g)
    return gates


def qft(n):
    """The quantum Fourier transform: H and controlled phases from the top
    qubit down, then the swaps that reverse the qubit order."""
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        for k in reversed(range(j)):
            gates.append(gate("cp", [k], [j], [1], [math.pi / 2 ** (j - k)]))
    gates += [gate("swap", [a, n - 1 - a]) for a in range(n // 2)]
    return gates


def model_run(state, gates):
    for g in gates:
        state = apply_gate(state, g)
    return state


def random_state(n, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return v / np.linalg.norm(v)
