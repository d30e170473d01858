"""NumPy model of the state-vector gates, written from their definitions.

Qubit q is bit q of an amplitude index. A gate with matrix M on targets
t_0..t_{k-1} maps, for every index i whose controls hold,
    out[i] = sum_c M[local(i), c] * in[(i with the target bits cleared) | bits(c)]
where bit j of a local index stands for t_j (in the order given) and bits(c)
places bit j of c at t_j. Indices whose controls fail are left alone. Work is
done in complex128 whatever the input dtype.
"""

import numpy as np

SQRT_HALF = 1 / np.sqrt(2)

X = np.array([[0, 1], [1, 0]], complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1, -1]).astype(complex)
H = SQRT_HALF * np.array([[1, 1], [1, -1]], complex)
S = np.diag([1, 1j])
SQRTX = 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])
SQRTY = 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]])
SWAP = np.eye(4, dtype=complex)[[0, 2, 1, 3]]


def dagger(m):
    return m.conj().T


def rx(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -s], [s, c]], complex)


def rz(theta):
    return np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)])


def phase(phi):
    return np.diag([1, np.exp(1j * phi)])


def u(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


# name -> (number of targets, matrix from the parameters)
GATES = {
    "x": (1, lambda: X), "cx": (1, lambda: X), "mcx": (1, lambda: X),
    "y": (1, lambda: Y), "cy": (1, lambda: Y), "mcy": (1, lambda: Y),
    "z": (1, lambda: Z), "cz": (1, lambda: Z), "mcz": (1, lambda: Z),
    "h": (1, lambda: H), "ch": (1, lambda: H), "mch": (1, lambda: H),
    "s": (1, lambda: S), "cs": (1, lambda: S), "mcs": (1, lambda: S),
    "s_dag": (1, lambda: dagger(S)),
    "sqrtx": (1, lambda: SQRTX), "sx": (1, lambda: SQRTX),
    "sqrtx_dag": (1, lambda: dagger(SQRTX)), "sxdg": (1, lambda: dagger(SQRTX)),
    "sqrty": (1, lambda: SQRTY), "sqrty_dag": (1, lambda: dagger(SQRTY)),
    "t": (1, lambda: phase(np.pi / 4)), "ct": (1, lambda: phase(np.pi / 4)), "mct": (1, lambda: phase(np.pi / 4)),
    "t_dag": (1, lambda: phase(-np.pi / 4)),
    "rx": (1, rx), "crx": (1, rx), "mcrx": (1, rx),
    "ry": (1, ry), "cry": (1, ry), "mcry": (1, ry),
    "rz": (1, rz), "crz": (1, rz), "mcrz": (1, rz),
    "phase": (1, phase), "p": (1, phase), "cp": (1, phase), "mcp": (1, phase),
    "u": (1, u), "u1": (1, u), "u2": (1, u), "u3": (1, u),
    "swap": (2, lambda: SWAP),
    "gp": (0, lambda phi: np.array([[np.exp(1j * phi)]])),
    "global_phase": (0, lambda phi: np.array([[np.exp(1j * phi)]])),
    "gphase": (0, lambda phi: np.array([[np.exp(1j * phi)]])),
}


def controls_hold(n, controls, control_state):
    index = np.arange(2**n)
    ok = np.ones(2**n, bool)
    for c, v in zip(controls, control_state):
        ok &= ((index >> c) & 1) == v
    return ok


def apply_matrix(state, matrix, targets, controls=(), control_state=()):
    """The gate applied to `state`; an array of more dimensions is taken as a
    stack of states along its first axis (the columns of a matrix)."""
    state = np.asarray(state, np.complex128)
    matrix = np.asarray(matrix, np.complex128)
    n = state.shape[0].bit_length() - 1
    k = len(targets)
    assert matrix.shape == (2**k, 2**k)
    along = (slice(None),) + (None,) * (state.ndim - 1)  # a per-index factor broadcast over the other axes
    index = np.arange(2**n)
    local = np.zeros(2**n, np.int64)
    cleared = index.copy()
    for j, t in enumerate(targets):
        local |= ((index >> t) & 1) << j
        cleared &= ~(1 << t)
    out = np.zeros(state.shape, np.complex128)
    for c in range(2**k):
        source = cleared.copy()
        for j, t in enumerate(targets):
            source |= ((c >> j) & 1) << t
        out += matrix[local, c][along] * state[source]
    return np.where(controls_hold(n, controls, control_state)[along], out, state)


def apply_gate(state, g):
    """Applies one gate_ir dictionary."""
    if g["id"] == "unitary":
        matrix = np.asarray(g["matrix"])
    else:
        k, make = GATES[g["id"]]
        assert len(g["target"]) == k, g
        matrix = make(*g["parameter"])
    return apply_matrix(state, matrix, g["target"], g["control"], g["control_state"])
