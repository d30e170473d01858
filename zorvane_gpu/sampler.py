"""A Qiskit `BaseSamplerV2` on the modules.

`Sampler(default_shots=1024, seed=None)` takes the arguments of Qiskit's
`StatevectorSampler` (and, as keywords, those of `zorvane_gpu.run`), so code
written for it runs unchanged:
`Sampler().run([circuit], shots=1000).result()[0].data.meas.get_counts()`.
Each pub's parameter values are bound one set at a time and every bound
circuit runs through `zorvane_gpu.run`; each classical register comes back
as a `BitArray` named after it. An integer seed gives the same samples on
every `run` call, a NumPy Generator carries on drawing from where it is.
"""
from __future__ import annotations

from abc import ABCMeta
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt
import stavex

from ._optional import require

require("qiskit", "zorvane_gpu.Sampler")

from qiskit.primitives import BaseSamplerV2, BitArray, DataBin, PrimitiveJob, PrimitiveResult  # noqa: E402
from qiskit.primitives import SamplerPubResult  # noqa: E402
from qiskit.primitives.containers.sampler_pub import SamplerPub, SamplerPubLike  # noqa: E402

from .execute import PairAutoFusion, run  # noqa: E402
from .noise import NoiseLike  # noqa: E402
from .result import register_value  # noqa: E402


# The metaclass is BaseSamplerV2's own, stated because Qiskit carries no type information.
class Sampler(BaseSamplerV2, metaclass=ABCMeta):
    def __init__(self, *, default_shots: int = 1024, seed: np.random.Generator | int | None = None,
                 dtype: npt.DTypeLike = "complex128", mode: stavex.KernelMode | str | int = PairAutoFusion,
                 noise: NoiseLike = None, device: str = "cuda:0") -> None:
        self._default_shots = default_shots
        self._seed = seed
        self._options: dict[str, Any] = {"dtype": dtype, "mode": mode, "noise": noise, "device": device}

    @property
    def default_shots(self) -> int:
        return self._default_shots

    @property
    def seed(self) -> np.random.Generator | int | None:
        return self._seed

    def run(self, pubs: Iterable[SamplerPubLike], *, shots: int | None = None) -> PrimitiveJob[PrimitiveResult[SamplerPubResult]]:
        if shots is None:
            shots = self._default_shots
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        job = PrimitiveJob(self._run, coerced)
        job._submit()
        return job

    def _run(self, pubs: list[SamplerPub]) -> PrimitiveResult[SamplerPubResult]:
        rng = self._seed if isinstance(self._seed, np.random.Generator) else np.random.default_rng(self._seed)
        return PrimitiveResult([self._run_pub(pub, rng) for pub in pubs], metadata={"version": 2})

    def _run_pub(self, pub: SamplerPub, rng: np.random.Generator) -> SamplerPubResult:
        circuit = pub.circuit
        bound = pub.parameter_values.bind_all(circuit)
        registers = [(r.name, [circuit.find_bit(b).index for b in r]) for r in circuit.cregs]
        arrays = {name: np.zeros(bound.shape + (pub.shots, _byte_count(len(bits))), dtype=np.uint8)
                  for name, bits in registers}
        for index, bound_circuit in np.ndenumerate(bound):
            result = run(bound_circuit, pub.shots, seed=int(rng.integers(0, 2**63)), **self._options)
            outcomes = list(result.outcome_counts)
            repeats = [result.outcome_counts[o] for o in outcomes]
            # The draws come as counts; a random order gives them back as shots.
            order = rng.permutation(pub.shots)
            for name, bits in registers:
                rows = np.array([_big_endian_bytes(register_value(o, bits), len(bits)) for o in outcomes],
                                dtype=np.uint8).reshape(len(outcomes), -1)
                arrays[name][index] = np.repeat(rows, repeats, axis=0)[order]
        data = DataBin(**{name: BitArray(arrays[name], len(bits)) for name, bits in registers}, shape=pub.shape)
        return SamplerPubResult(data, metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata})


def _byte_count(bits: int) -> int:
    return (bits + 7) // 8


def _big_endian_bytes(value: int, bits: int) -> list[int]:
    return list(value.to_bytes(_byte_count(bits), "big"))
