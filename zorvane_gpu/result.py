"""What a run returns: counts in Qiskit's key format, the final state when
asked for, the backend and the timings."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .program import ClassicalRegister


def register_value(outcome: int, clbits: Sequence[int]) -> int:
    """The value of a register (its bit j is clbits[j]) in an outcome word
    (bit c is classical bit c)."""
    return sum(((outcome >> c) & 1) << j for j, c in enumerate(clbits))


def count_key(outcome: int, registers: Sequence[ClassicalRegister], num_clbits: int) -> str:
    """Qiskit's counts key: each register's bits highest first, the last
    register first, registers separated by a space."""
    if not registers:
        return "".join("1" if (outcome >> c) & 1 else "0" for c in reversed(range(num_clbits)))
    return " ".join("".join("1" if (outcome >> c) & 1 else "0" for c in reversed(r.clbits))
                    for r in reversed(registers))


@dataclass
class RunResult:
    """`counts` maps Qiskit-style keys to shot counts (empty for shots=0);
    `outcome_counts` the same draws by outcome word (bit c is classical bit
    c). `statevector` is the pure state before the final measurements (for
    circuits measured mid-circuit: where the last shot ended), `density_matrix`
    the mixed state of a noisy run."""

    counts: dict[str, int]
    outcome_counts: dict[int, int]
    shots: int
    num_qubits: int
    num_clbits: int
    registers: list[ClassicalRegister]
    backend: str
    device: str
    dtype: str
    mode: str
    seed: int | None
    timings: dict[str, float] = field(default_factory=dict)
    statevector: np.ndarray | None = None
    density_matrix: np.ndarray | None = None
    shot_by_shot: bool = False
    gate_count: int = 0

    def most_frequent(self, limit: int = 10) -> list[tuple[str, int]]:
        return sorted(self.counts.items(), key=lambda item: (-item[1], item[0]))[:limit]

    def probabilities(self) -> dict[str, float]:
        return {key: count / self.shots for key, count in self.counts.items()} if self.shots else {}

    def to_dict(self, include_state: bool = True) -> dict[str, Any]:
        """Everything, as JSON-ready values (complex numbers as [re, im])."""
        data: dict[str, Any] = {
            "backend": self.backend, "device": self.device, "dtype": self.dtype, "mode": self.mode,
            "shots": self.shots, "seed": self.seed, "num_qubits": self.num_qubits, "num_clbits": self.num_clbits,
            "gate_count": self.gate_count, "shot_by_shot": self.shot_by_shot,
            "registers": [{"name": r.name, "clbits": r.clbits} for r in self.registers],
            "counts": dict(self.most_frequent(len(self.counts))), "timings": self.timings,
        }
        if include_state and self.statevector is not None:
            data["statevector"] = np.stack([self.statevector.real, self.statevector.imag], axis=-1).tolist()
        if include_state and self.density_matrix is not None:
            data["density_matrix"] = np.stack([self.density_matrix.real, self.density_matrix.imag], axis=-1).tolist()
        return data
