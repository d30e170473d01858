"""The neutral instruction list between a circuit and the two modules.

Translation turns a circuit into a `Program`: gates in one small vocabulary,
measurements, resets, classically conditioned blocks and noise channels, with
qubits and classical bits as integers. The gate records carry the attribute
names `stavex` reads from gate objects, and the vocabulary is a subset of
`stavex`'s names, so a list of them is handed to `stavex` as it is;
`plexar_operations` renames the few gates `plexar` spells differently and
builds its operation objects. Nothing here needs Qiskit.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

import numpy as np

# Every gate name a translation may produce. t/t_dag are phase ±π/4;
# gp is a global phase (a phase on the controls when it has some).
VOCABULARY = frozenset({
    "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sx", "sxdg",
    "rx", "ry", "rz", "p", "u", "swap", "gp", "unitary",
})

# plexar spells these differently; a unitary travels as a stored matrix.
_PLEXAR_NAMES = {"sx": "sqrtx", "sxdg": "sqrtx_dag"}


class Gate:
    """One gate: `target` (a matrix's row bit j is target[j]), `control` with
    `control_state` (0 or 1 each), `parameter` angles, `matrix` for a unitary."""

    __slots__ = ("id", "target", "control", "control_state", "parameter", "matrix")

    def __init__(self, id: str, target: list[int], control: list[int] | None = None,
                 control_state: list[int] | None = None, parameter: list[float] | None = None,
                 matrix: np.ndarray | None = None) -> None:
        self.id = id
        self.target = target
        self.control = control if control is not None else []
        self.control_state = control_state if control_state is not None else [1] * len(self.control)
        self.parameter = parameter if parameter is not None else []
        self.matrix = matrix

    def qubits(self) -> list[int]:
        return self.control + self.target

    def with_controls(self, control: Sequence[int], control_state: Sequence[int]) -> Gate:
        return Gate(self.id, self.target, list(control) + self.control, list(control_state) + self.control_state,
                    self.parameter, self.matrix)

    def as_dict(self) -> dict[str, Any]:
        entry: dict[str, Any] = {"id": self.id, "target": list(self.target), "control": list(self.control),
                                 "control_state": list(self.control_state), "parameter": list(self.parameter)}
        if self.matrix is not None:
            entry["matrix"] = self.matrix
        return entry

    def __repr__(self) -> str:
        controls = f", control={self.control}, control_state={self.control_state}" if self.control else ""
        params = f", parameter={self.parameter}" if self.parameter else ""
        return f"Gate({self.id!r}, target={self.target}{controls}{params})"


@dataclass(frozen=True)
class Measure:
    qubit: int
    clbit: int


@dataclass(frozen=True)
class Reset:
    qubit: int


@dataclass(frozen=True)
class Channel:
    """A noise channel: Kraus matrices of shape (count, 2**k, 2**k) on k targets,
    row bit j for targets[j]; `name` lets plexar pick a built-in kernel."""

    targets: tuple[int, ...]
    kraus: np.ndarray
    name: str | None = None


@dataclass(frozen=True)
class Conditional:
    """Runs `true_body` when `condition` holds for the classical bits, else
    `false_body`; `text` describes the condition."""

    condition: Callable[[Sequence[int]], bool]
    true_body: list[Instruction]
    false_body: list[Instruction] = field(default_factory=list)
    text: str = ""


Instruction = Union[Gate, Measure, Reset, Channel, Conditional]


@dataclass
class ClassicalRegister:
    name: str
    clbits: list[int]


@dataclass
class ReadoutError:
    """Per classical read of `qubit`: row t of `probabilities` gives the chances
    of recording 0 and 1 when the outcome was t."""

    qubit: int
    probabilities: np.ndarray


@dataclass
class Program:
    num_qubits: int
    num_clbits: int
    instructions: list[Instruction]
    registers: list[ClassicalRegister] = field(default_factory=list)
    readout_errors: dict[int, np.ndarray] = field(default_factory=dict)
    name: str = ""

    def gate_count(self) -> int:
        return sum(1 for _ in iter_gates(self.instructions))

    def is_noisy(self) -> bool:
        return bool(self.readout_errors) or any(isinstance(i, Channel) for i in _walk(self.instructions))


def _walk(instructions: Iterable[Instruction]) -> Iterable[Instruction]:
    for instruction in instructions:
        yield instruction
        if isinstance(instruction, Conditional):
            yield from _walk(instruction.true_body)
            yield from _walk(instruction.false_body)


def iter_gates(instructions: Iterable[Instruction]) -> Iterable[Gate]:
    return (i for i in _walk(instructions) if isinstance(i, Gate))


def touched_qubits(instruction: Instruction) -> Iterable[int]:
    if isinstance(instruction, Gate):
        return instruction.control + instruction.target
    if isinstance(instruction, (Measure, Reset)):
        return (instruction.qubit,)
    if isinstance(instruction, Channel):
        return instruction.targets
    qubits: set[int] = set()
    for inner in _walk(instruction.true_body + instruction.false_body):
        if not isinstance(inner, Conditional):
            qubits.update(touched_qubits(inner))
    return qubits


# ---- the modules' forms ------------------------------------------------------

def gate_ir(gates: Iterable[Gate]) -> list[dict[str, Any]]:
    """stavex's gate_ir dictionaries."""
    return [g.as_dict() for g in gates]


class PlexarGate:
    __slots__ = ("id", "target", "control", "control_state", "parameter", "has_stored_matrix", "stored_matrix")

    def __init__(self, gate: Gate) -> None:
        self.id = _PLEXAR_NAMES.get(gate.id, gate.id)
        self.target = gate.target
        self.control = gate.control
        self.control_state = gate.control_state
        self.parameter = gate.parameter or None
        self.has_stored_matrix = gate.matrix is not None
        self.stored_matrix = gate.matrix


class PlexarKraus:
    __slots__ = ("operation_kind", "target", "kraus_matrices", "channel_name")

    def __init__(self, channel: Channel) -> None:
        self.operation_kind = "kraus"
        self.target = list(channel.targets)
        self.kraus_matrices = np.ascontiguousarray(channel.kraus, dtype=np.complex128)
        if channel.name is not None:  # absent, not None, when the channel has no name
            self.channel_name = channel.name


def plexar_operations(instructions: Iterable[Gate | Channel]) -> list[PlexarGate | PlexarKraus]:
    """plexar's operation objects; a global phase without controls is dropped
    (it does not change a density matrix)."""
    operations: list[PlexarGate | PlexarKraus] = []
    for instruction in instructions:
        if isinstance(instruction, Channel):
            operations.append(PlexarKraus(instruction))
        elif instruction.id != "gp" or instruction.control:
            operations.append(PlexarGate(instruction))
    return operations
