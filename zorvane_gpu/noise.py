"""Noise for the density-matrix path: a channel after every gate, or the
errors of a Qiskit Aer `NoiseModel`, both turned into Kraus channels at
translation time.

A per-gate channel acts on each qubit of every gate, right after it. The
channels and their parameter p:

- depolarizing: ρ → (1 − p) ρ + p I/2 (Kraus √(1 − 3p/4) I, √(p/4) X, Y, Z);
- amplitude_damping: |1⟩ decays to |0⟩ with probability p;
- phase_damping: the coherences shrink by the factor 1 − p;
- bit_flip, phase_flip: X or Z with probability p.

Their Kraus sets are the ones plexar recognises, so they run its dedicated
kernels. An Aer noise model is read as Aer applies it: the error of a gate's
name on its qubits (the one given for those very qubits, else the one for all
qubits) right after the gate, an error on `measure` right before the
measurement, and single-qubit readout errors on the recorded bits.
"""
from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias, Union

import numpy as np

from .program import Channel

if TYPE_CHECKING:
    from qiskit_aer.noise import NoiseModel

_I = np.eye(2, dtype=complex)
_X = np.array([[0, 1], [1, 0]], dtype=complex)
_Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
_Z = np.diag([1, -1]).astype(complex)


def _depolarizing(p: float) -> list[np.ndarray]:
    return [np.sqrt(1 - 3 * p / 4) * _I] + [np.sqrt(p / 4) * m for m in (_X, _Y, _Z)]


def _amplitude_damping(p: float) -> list[np.ndarray]:
    return [np.array([[1, 0], [0, np.sqrt(1 - p)]], dtype=complex), np.sqrt(p) * np.array([[0, 1], [0, 0]], dtype=complex)]


def _phase_damping(p: float) -> list[np.ndarray]:
    return [np.sqrt(1 - p) * _I, np.sqrt(p) * np.diag([1, 0]).astype(complex),
            np.sqrt(p) * np.diag([0, 1]).astype(complex)]


def _bit_flip(p: float) -> list[np.ndarray]:
    return [np.sqrt(1 - p) * _I, np.sqrt(p) * _X]


def _phase_flip(p: float) -> list[np.ndarray]:
    return [np.sqrt(1 - p) * _I, np.sqrt(p) * _Z]


CHANNELS: dict[str, Callable[[float], list[np.ndarray]]] = {
    "depolarizing": _depolarizing,
    "amplitude_damping": _amplitude_damping,
    "phase_damping": _phase_damping,
    "bit_flip": _bit_flip,
    "phase_flip": _phase_flip,
}


@dataclass(frozen=True)
class GateNoise:
    """A one-qubit channel applied to every qubit of every gate, after it."""

    channel: str
    probability: float

    def __post_init__(self) -> None:
        if self.channel not in CHANNELS:
            raise ValueError(f"unknown noise channel {self.channel!r}; choose one of {', '.join(CHANNELS)}")
        p = self.probability
        if not (isinstance(p, (int, float)) and 0.0 <= float(p) <= 1.0):
            raise ValueError(f"noise probability must be a number in [0, 1], got {p!r}")

    def kraus(self) -> np.ndarray:
        return np.array(CHANNELS[self.channel](float(self.probability)))


def parse_noise(text: str) -> GateNoise:
    """'depolarizing:0.01' (channel name, a colon, the probability)."""
    name, sep, value = text.partition(":")
    if not sep:
        raise ValueError(f"noise must read CHANNEL:PROBABILITY (e.g. depolarizing:0.01), got {text!r}")
    try:
        probability = float(value)
    except ValueError:
        raise ValueError(f"noise probability must be a number, got {value!r}") from None
    return GateNoise(name.strip(), probability)


class NoiseSource:
    """What translation asks about noise: the channels after a gate and before
    a measurement, and the readout errors of measured qubits."""

    def after_gate(self, name: str, qubits: Sequence[int]) -> list[Channel]:
        return []

    def before_measure(self, qubit: int) -> list[Channel]:
        return []

    def readout(self, qubit: int) -> np.ndarray | None:
        return None


class GateNoiseSource(NoiseSource):
    def __init__(self, noises: Sequence[GateNoise]) -> None:
        self._channels = [(n.channel, n.kraus()) for n in noises if n.probability > 0]

    def after_gate(self, name: str, qubits: Sequence[int]) -> list[Channel]:
        return [Channel((q,), kraus, channel) for q in qubits for channel, kraus in self._channels]


class AerNoiseSource(NoiseSource):
    """Reads a `qiskit_aer.noise.NoiseModel` (its errors by instruction name
    and qubits, as Aer keeps them)."""

    def __init__(self, model: NoiseModel) -> None:
        try:
            local = model._local_quantum_errors
            default = model._default_quantum_errors
            local_readout = model._local_readout_errors
            default_readout = model._default_readout_error
        except AttributeError:
            raise TypeError("this NoiseModel keeps its errors in a form this version does not read "
                            "(tested with qiskit-aer 0.18)") from None
        if getattr(model, "_custom_noise_passes", None):
            raise ValueError("NoiseModel custom noise passes (e.g. delay relaxation) are not supported")
        self._local = local
        self._default = default
        self._kraus_cache: dict[int, np.ndarray] = {}
        self._readout: dict[int, np.ndarray] = {}
        for qubits, error in local_readout.items():
            self._readout[int(qubits[0])] = self._readout_matrix(error)
        self._default_readout = None if default_readout is None else self._readout_matrix(default_readout)

    @staticmethod
    def _readout_matrix(error: Any) -> np.ndarray:
        if error.number_of_qubits != 1:
            raise ValueError("only single-qubit readout errors are supported")
        return np.asarray(error.probabilities, dtype=float)

    def _error(self, name: str, qubits: tuple[int, ...]) -> Any:
        local = self._local.get(name)
        if local is not None and qubits in local:
            return local[qubits]
        return self._default.get(name)

    def _channel(self, error: Any, qubits: Sequence[int], name: str) -> list[Channel]:
        if error is None or error.ideal():
            return []
        if error.num_qubits != len(qubits):
            raise ValueError(f"noise on {name!r} acts on {error.num_qubits} qubits, the instruction on {len(qubits)}")
        if error.num_qubits > 3:
            raise ValueError(f"noise on {name!r} acts on {error.num_qubits} qubits; at most 3 are supported")
        kraus = self._kraus_cache.get(id(error))
        if kraus is None:
            from qiskit.quantum_info import Kraus

            kraus = np.array(Kraus(error.to_quantumchannel()).data, dtype=complex)
            self._kraus_cache[id(error)] = kraus
        return [Channel(tuple(qubits), kraus)]

    def after_gate(self, name: str, qubits: Sequence[int]) -> list[Channel]:
        return self._channel(self._error(name, tuple(qubits)), qubits, name)

    def before_measure(self, qubit: int) -> list[Channel]:
        return self._channel(self._error("measure", (qubit,)), [qubit], "measure")

    def readout(self, qubit: int) -> np.ndarray | None:
        return self._readout.get(qubit, self._default_readout)


NoiseLike: TypeAlias = Union[None, str, GateNoise, Iterable[Union[str, GateNoise]], "NoiseModel"]
"""What `run(noise=...)` takes: None, 'channel:p', a GateNoise, several of
those, or a qiskit_aer NoiseModel."""


def noise_source(noise: NoiseLike) -> NoiseSource | None:
    """The translation-time view of what `run(noise=...)` accepts."""
    if noise is None:
        return None
    if isinstance(noise, (str, GateNoise)):
        noise = [noise]
    if isinstance(noise, Iterable) and not hasattr(noise, "_local_quantum_errors"):
        noises = [parse_noise(n) if isinstance(n, str) else n for n in noise]
        if not all(isinstance(n, GateNoise) for n in noises):
            raise TypeError("noise must be 'channel:p', a GateNoise, a list of them or a qiskit_aer NoiseModel")
        return GateNoiseSource(noises)
    if type(noise).__name__ == "NoiseModel":
        return AerNoiseSource(noise)
    raise TypeError("noise must be 'channel:p', a GateNoise, a list of them or a qiskit_aer NoiseModel")
