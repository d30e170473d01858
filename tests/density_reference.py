"""NumPy model of the density-matrix operations, written from their definitions.

Qubit q is bit q of both the row and the column index of rho. A k-target matrix
M acts through the full operator G whose column j is M applied to the basis
state |j> by the state-vector model (gate_reference.apply_matrix: bit i of a
local index stands for targets[i], in the order given; indices whose controls
fail are left alone). A gate maps rho to G rho G^dagger, a Kraus set {K} to
sum_K K_full rho K_full^dagger; G acts on the columns of rho through the
state-vector model, without being formed as a matrix. All arithmetic is
complex128 whatever the state's dtype.
"""

import numpy as np

from gate_reference import SQRTX, SQRTY, H, S, X, Y, Z, apply_matrix, dagger, phase, rx, ry, rz, u  # noqa: F401
from mt19937_64 import MT19937_64

I2 = np.eye(2, dtype=complex)


def rxy(theta, phi):
    return rz(theta) @ rx(phi) @ rz(-theta)


# name -> (number of parameters, matrix from the parameters); aliases included.
GATES = {
    "x": (0, lambda: X), "y": (0, lambda: Y), "z": (0, lambda: Z), "-z": (0, lambda: -Z), "h": (0, lambda: H),
    "s": (0, lambda: S), "s_dag": (0, lambda: dagger(S)),
    "t": (0, lambda: phase(np.pi / 4)), "t_dag": (0, lambda: phase(-np.pi / 4)),
    "sqrtx": (0, lambda: SQRTX), "sqrtx_dag": (0, lambda: dagger(SQRTX)),
    "sqrty": (0, lambda: SQRTY), "sqrty_dag": (0, lambda: dagger(SQRTY)),
    "x2p": (0, lambda: rx(np.pi / 2)), "x2m": (0, lambda: rx(-np.pi / 2)),
    "y2p": (0, lambda: ry(np.pi / 2)), "y2m": (0, lambda: ry(-np.pi / 2)),
    "rx": (1, rx), "ry": (1, ry), "rz": (1, rz), "p": (1, phase),
    "gp": (1, lambda theta: np.exp(1j * theta) * I2),
    "u": (3, u), "rxy": (2, rxy),
}
ALIASES = {
    "cx": "x", "cnot": "x", "mcx": "x", "cy": "y", "mcy": "y", "cz": "z", "mcz": "z", "ch": "h", "mch": "h",
    "cs": "s", "mcs": "s", "cp": "p", "mcp": "p", "crx": "rx", "mcrx": "rx", "cry": "ry", "mcry": "ry",
    "crz": "rz", "mcrz": "rz", "gphase": "gp", "global_phase": "gp", "xyarb": "rxy",
}


def gate_matrix(name, params):
    count, make = GATES[ALIASES.get(name, name)]
    assert len(params) == count, (name, params)
    return make(*params)


def full_operator(n, matrix, targets, controls=(), control_state=()):
    """G on all n qubits: column j is the gate applied to basis state j."""
    return apply_matrix(np.eye(2**n, dtype=np.complex128), matrix, targets, controls, control_state)


def sandwich(rho, matrix, targets, controls=(), control_state=()):
    """G rho G^dagger without forming G: G applied to every column of rho, then
    to every column of the adjoint of that, (G (G rho)^dagger)^dagger."""
    left = apply_matrix(rho, matrix, targets, controls, control_state)
    return dagger(apply_matrix(dagger(left), matrix, targets, controls, control_state))


def apply_unitary(rho, matrix, targets, controls=(), control_state=()):
    return sandwich(np.asarray(rho, np.complex128), matrix, targets, controls, control_state)


def apply_kraus(rho, operators, targets):
    rho = np.asarray(rho, np.complex128)
    return sum(sandwich(rho, k, targets) for k in operators)


# The five channels in their standard Kraus forms.
def bit_flip(p):
    return [np.sqrt(1 - p) * I2, np.sqrt(p) * X]


def phase_flip(p):
    return [np.sqrt(1 - p) * I2, np.sqrt(p) * Z]


def depolarizing(p):
    return [np.sqrt(1 - 3 * p / 4) * I2] + [np.sqrt(p / 4) * m for m in (X, Y, Z)]


def amplitude_damping(gamma):
    return [np.array([[1, 0], [0, np.sqrt(1 - gamma)]], complex), np.sqrt(gamma) * np.array([[0, 1], [0, 0]], complex)]


def phase_damping(lam):
    return [np.sqrt(1 - lam) * I2, np.sqrt(lam) * np.diag([1, 0]).astype(complex),
            np.sqrt(lam) * np.diag([0, 1]).astype(complex)]


CHANNELS = {"bit_flip": bit_flip, "phase_flip": phase_flip, "depolarizing": depolarizing,
            "amplitude_damping": amplitude_damping, "phase_damping": phase_damping}


# ---- measurement ---------------------------------------------------------------


def outcome_of(index, n, targets, endian):
    o = 0
    for t in targets:
        bit = t if endian == "little" else n - 1 - t
        o = (o << 1) | ((index >> bit) & 1)
    return o


def outcome_probabilities(rho, targets, endian):
    """Double-precision sums of the real diagonal per outcome."""
    n = rho.shape[0].bit_length() - 1
    probs = np.zeros(2 ** len(targets))
    diagonal = np.real(np.diag(rho)).astype(np.float64)
    for i in range(2**n):
        probs[outcome_of(i, n, targets, endian)] += diagonal[i]
    return probs


def draw_outcome(probs, seed):
    """One draw of MT19937-64 scaled to just above the total; the first outcome
    whose running sum reaches it, else the last one."""
    total = float(np.sum(probs))
    u = (MT19937_64(seed).next() >> 11) * 2.0**-53 * np.nextafter(total, np.inf)
    running = 0.0
    for i, p in enumerate(probs):
        running += p
        if u <= running:
            return i
    return len(probs) - 1


def collapse(rho, targets, endian, outcome, p):
    """P rho P / p, the scale applied in double and rounded to the state's type."""
    n = rho.shape[0].bit_length() - 1
    keep = np.array([outcome_of(i, n, targets, endian) == outcome for i in range(2**n)])
    mask = np.outer(keep, keep)
    out = np.zeros_like(rho)
    scale = 1.0 / p
    out.real[mask] = (rho.real[mask].astype(np.float64) * scale).astype(rho.real.dtype)
    out.imag[mask] = (rho.imag[mask].astype(np.float64) * scale).astype(rho.real.dtype)
    return out


def outcome_text(outcome, k):
    return format(outcome, f"0{k}b")
