"""Gate lists as the distributed state reads them: checks, the facts the swap
planner needs, and the gate a given rank runs on its own amplitudes.

Pure host logic (no MPI, no device). A list is read once on every rank before
any communication, with stavex's rules and messages, so a bad gate raises the
same ValueError on every rank. Gates are stavex's gate_ir dicts (keys `id`,
`target`, `control`, `control_state`, `parameter`, optional `matrix`).

Physical positions: a state of n qubits over 2**g ranks keeps positions
0 .. L-1 (L = n - g) in each rank's amplitude index and position L + j in bit j
of the rank number. A gate whose controls sit on global positions is decided
by the rank (it runs without them, or not at all); a diagonal gate whose
targets sit there becomes a factor that depends on the rank. Any other gate
needs its targets in local positions, which is the planner's business.
"""
from __future__ import annotations

import hashlib
import math
import operator
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from ..program import Gate

# Gate families by name, as stavex reads them (t and t_dag become phase).
FAMILIES: dict[str, str] = {}
for _family, _names in {
    "x": "x cx mcx", "y": "y cy mcy", "z": "z cz mcz", "h": "h ch mch", "s": "s cs mcs", "s_dag": "s_dag",
    "sqrtx": "sqrtx sx", "sqrtx_dag": "sqrtx_dag sxdg", "sqrty": "sqrty", "sqrty_dag": "sqrty_dag",
    "swap": "swap", "rx": "rx crx mcrx", "ry": "ry cry mcry", "rz": "rz crz mcrz", "phase": "phase p cp mcp",
    "gp": "gp global_phase gphase", "u": "u u1 u2 u3", "unitary": "unitary",
}.items():
    FAMILIES.update(dict.fromkeys(_names.split(), _family))

QUARTER_PI = 0.7853981633974483
# t gates are phase gates with the angle appended to the parameters given.
T_ANGLES = {"t": QUARTER_PI, "ct": QUARTER_PI, "mct": QUARTER_PI, "t_dag": -QUARTER_PI}

PARAMETER_COUNTS = {"rx": 1, "ry": 1, "rz": 1, "phase": 1, "gp": 1, "u": 3}
PARAMETER_MESSAGES = {
    "rx": "RX gate requires exactly one parameter.", "ry": "RY gate requires exactly one parameter.",
    "rz": "RZ gate requires exactly one parameter.", "phase": "PHASE gate requires exactly one parameter.",
    "gp": "GLOBAL_PHASE gate requires exactly one parameter.", "u": "U gate requires exactly three parameters.",
}
# Families diagonal in the computational basis: (angle for target bit 0, for bit 1) from the parameters.
DIAGONAL_ANGLES = {
    "z": lambda p: (0.0, math.pi),
    "s": lambda p: (0.0, math.pi / 2),
    "s_dag": lambda p: (0.0, -math.pi / 2),
    "phase": lambda p: (0.0, p[0]),
    "rz": lambda p: (-0.5 * p[0], 0.5 * p[0]),
}


@dataclass(frozen=True, eq=False)
class GateRecord:
    """One checked gate in logical qubits. `targets` holds the qubits the gate
    acts on: the first target only for one-target families (stavex ignores the
    rest), both for swap, all for unitary, none for the global phase."""

    family: str
    targets: tuple[int, ...]
    controls: tuple[int, ...] = ()
    control_state: tuple[int, ...] = ()
    parameters: tuple[float, ...] = ()
    matrix: np.ndarray | None = None

    @property
    def diagonal(self) -> bool:
        if self.family == "unitary":
            m = self.matrix
            return m is not None and not np.count_nonzero(m - np.diag(np.diagonal(m)))
        return self.family in DIAGONAL_ANGLES or self.family == "gp"

    @property
    def relabels(self) -> bool:
        """An uncontrolled swap: done by exchanging two entries of the qubit map."""
        return self.family == "swap" and not self.controls

    @property
    def needs_local(self) -> tuple[int, ...]:
        """The qubits that must sit in local positions when the gate runs."""
        return () if self.diagonal or self.relabels else self.targets

    def on_positions(self, targets: Sequence[int], controls: Sequence[int]) -> "GateRecord":
        return GateRecord(self.family, tuple(targets), tuple(controls), self.control_state, self.parameters, self.matrix)


def swap_record(a: int, b: int) -> GateRecord:
    return GateRecord("swap", (a, b))


def _qubit_list(value: Any) -> tuple[int, ...]:
    return tuple(operator.index(v) for v in value)


def _check_qubits(n: int, record: GateRecord) -> None:
    """stavex's order: control list shape and values, then targets, then controls."""
    if len(record.controls) != len(record.control_state):
        raise ValueError("controls.size() != control_state.size()")
    for c, v in zip(record.controls, record.control_state):
        if c < 0 or c > 62:
            raise ValueError("control qubit index must be in [0, 62]")
        if v not in (0, 1):
            raise ValueError("control_state must contain only 0/1")
    seen: set[int] = set()
    for t in record.targets:
        if t < 0 or t >= n:
            raise ValueError("target qubit index must be in [0, n) for the state's n")
        if t in seen:
            raise ValueError("gate qubits must be distinct")
        seen.add(t)
    for c in record.controls:
        if c >= n:
            raise ValueError("control qubit index must be in [0, n) for the state's n")
        if c in seen:
            raise ValueError("gate qubits must be distinct")
        seen.add(c)


def _read_matrix(value: Any, target_count: int) -> np.ndarray:
    if value is None:
        raise ValueError("UNITARY gate requires a matrix.")
    try:
        matrix = np.array(value, dtype=np.complex128)
    except (TypeError, ValueError):
        raise ValueError("unitary matrix must be array-like.") from None
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1] or matrix.shape[0] == 0:
        raise ValueError("unitary matrix must be a non-empty square 2-D array.")
    if target_count >= 63 or matrix.shape[0] != 1 << target_count:
        raise ValueError("UNITARY matrix dimension must be 2**num_targets.")
    matrix.setflags(write=False)
    return matrix


def parse_gate(gate: dict[str, Any]) -> GateRecord:
    """A gate_ir dict as a record: its fields, name and matrix (what stavex reads
    for the whole list before anything runs)."""
    if not isinstance(gate, dict):
        raise TypeError(f"a gate must be a dict, got {type(gate).__name__}")
    name = gate["id"]
    if not isinstance(name, str):
        raise TypeError("gate id must be a str")
    targets = _qubit_list(gate["target"])
    controls = _qubit_list(gate["control"])
    control_state = _qubit_list(gate["control_state"])
    parameters = tuple(float(p) for p in gate["parameter"])
    if name in T_ANGLES:
        name, parameters = "phase", parameters + (T_ANGLES[name],)
    family = FAMILIES.get(name)
    if family is None:
        raise ValueError(f"Unsupported CUDA gate id: {name}")
    matrix = _read_matrix(gate.get("matrix"), len(targets)) if family == "unitary" else None
    return GateRecord(family, targets, controls, control_state, parameters, matrix)


def check_gate(n: int, record: GateRecord) -> GateRecord:
    """The checks stavex makes as a gate is dispatched; returns the record with
    the targets the gate acts on and only the parameters it reads."""
    family, targets, parameters = record.family, record.targets, record.parameters
    if family == "swap":
        if len(targets) != 2:
            raise ValueError("SWAP gate requires exactly two parameters.")
    elif family == "gp":
        targets = ()
    elif family != "unitary":
        # A one-target family reads the first target; none at all is an invalid qubit.
        targets = targets[:1] or (-1,)
    count = PARAMETER_COUNTS.get(family)
    if count is None:
        parameters = ()
    elif len(parameters) != count:
        raise ValueError(PARAMETER_MESSAGES[family])
    checked = GateRecord(family, targets, record.controls, record.control_state, parameters, record.matrix)
    _check_qubits(n, checked)
    return checked


def read_gate_list(n: int, local_count: int, gate_ir: Sequence[dict[str, Any]]) -> list[GateRecord]:
    """The whole list checked before anything runs: first every gate's fields,
    then each gate's dispatch checks in order. A gate that needs more local
    qubits than a rank has is refused too."""
    if not isinstance(gate_ir, (list, tuple)):
        raise TypeError(f"gate_ir must be a list of gate dicts, got {type(gate_ir).__name__}")
    records = []
    for record in [parse_gate(gate) for gate in gate_ir]:
        record = check_gate(n, record)
        if len(record.needs_local) > local_count:
            raise ValueError(
                f"a {record.family} gate on {len(record.needs_local)} targets needs more local qubits than "
                f"a rank holds ({local_count})")
        records.append(record)
    return records


def digest(records: Sequence[GateRecord]) -> bytes:
    """A short fingerprint of a checked list, compared across ranks so that
    ranks handed different lists fail instead of planning different exchanges."""
    h = hashlib.blake2b(digest_size=16)
    for r in records:
        h.update(repr((r.family, r.targets, r.controls, r.control_state, r.parameters)).encode())
        if r.matrix is not None:
            h.update(r.matrix.tobytes())
    return h.digest()


# ---- the gate one rank runs ---------------------------------------------------


# A rank's gate is an ordinary gate record, on the rank's local positions.
LocalGate = Gate


def _factor_gate(factor: complex, controls: list[int], control_state: list[int]) -> LocalGate | None:
    """Multiplies the amplitudes whose local controls hold by `factor`, as a
    one-target diagonal matrix: on the first control (the factor where it
    holds), or on position 0 with both entries the factor."""
    if factor == 1:
        return None
    if controls:
        entries = [1, factor] if control_state[0] == 1 else [factor, 1]
        return LocalGate("unitary", [controls[0]], controls[1:], control_state[1:], [], np.diag(entries))
    return LocalGate("unitary", [0], [], [], [], np.diag([factor, factor]))


def local_gate(gate: GateRecord, local_count: int, rank: int) -> LocalGate | None:
    """The gate on physical positions `gate` as this rank runs it, or None when
    it leaves the rank's amplitudes as they are. Targets on global positions
    must belong to a diagonal gate (the planner sees to that)."""
    bit = lambda position: (rank >> (position - local_count)) & 1  # noqa: E731
    controls, control_state = [], []
    for c, v in zip(gate.controls, gate.control_state):
        if c < local_count:
            controls.append(c)
            control_state.append(v)
        elif bit(c) != v:
            return None
    global_targets = [j for j, t in enumerate(gate.targets) if t >= local_count]
    if not global_targets:
        return LocalGate(gate.family, list(gate.targets), controls, control_state, list(gate.parameters), gate.matrix)
    if gate.family in DIAGONAL_ANGLES:
        angle = DIAGONAL_ANGLES[gate.family](gate.parameters)[bit(gate.targets[0])]
        return _factor_gate(complex(math.cos(angle), math.sin(angle)) if angle else 1, controls, control_state)
    if gate.family != "unitary" or gate.matrix is None or not gate.diagonal:
        raise AssertionError(f"{gate.family} gate on a global position reached a rank")
    # A diagonal matrix with the rank's bits fixed: what is left acts on the local targets.
    diagonal = np.diagonal(gate.matrix)
    index = np.arange(diagonal.size)
    keep = np.ones(diagonal.size, bool)
    for j in global_targets:
        keep &= ((index >> j) & 1) == bit(gate.targets[j])
    remaining = diagonal[keep]
    local_targets = [t for t in gate.targets if t < local_count]
    if local_targets:
        return LocalGate("unitary", local_targets, controls, control_state, [], np.diag(remaining))
    return _factor_gate(complex(remaining[0]), controls, control_state)
