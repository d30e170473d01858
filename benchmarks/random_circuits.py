"""Layered random circuits for the benchmarks.

Each layer puts one random single-qubit gate on every qubit (a fixed gate, a
rotation or U, with random angles), then a CX or CZ on each pair of a random
pairing of the qubits. A layer holds about 1.5 n gates.
"""
import types

import numpy as np

FIXED = ["h", "x", "y", "z", "s", "s_dag", "sx", "sxdg", "sqrty", "t"]
ROTATIONS = ["rx", "ry", "rz", "p"]


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": [float(p) for p in parameter]}


def layered_random_circuit(n, depth, seed=0):
    """A gate_ir list of `depth` layers on n qubits."""
    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(depth):
        for q in range(n):
            kind = rng.integers(3)
            if kind == 0:
                gates.append(gate(FIXED[rng.integers(len(FIXED))], [q]))
            elif kind == 1:
                gates.append(gate(ROTATIONS[rng.integers(len(ROTATIONS))], [q], parameter=rng.uniform(-np.pi, np.pi, 1)))
            else:
                gates.append(gate("u", [q], parameter=rng.uniform(-np.pi, np.pi, 3)))
        order = rng.permutation(n)
        for a, b in zip(order[0::2], order[1::2]):
            gates.append(gate("cx" if rng.integers(2) else "cz", [int(b)], [int(a)], [1]))
    return gates


def as_objects(gates):
    """The gate_ir list as gate objects (the form prepared chunks take)."""
    return [types.SimpleNamespace(matrix=None, **g) for g in gates]


def passes(groups):
    """Passes over the state of a plan: one per AutoPair or SparseShareMem
    group, three per DenseMM group (gather, product, scatter)."""
    return sum(3 if kind == 2 else 1 for kind, _, _ in groups)
