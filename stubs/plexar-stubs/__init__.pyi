"""Types of the plexar extension module (the density-matrix backend)."""

from collections.abc import Iterable, Sequence
from typing import Any, type_check_only, Literal, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

backend: str
"""The backend the module was built for: "cuda" or "cpu"."""

_DensityArray: TypeAlias = npt.NDArray[np.complex64] | npt.NDArray[np.complex128]

@type_check_only
class _BoundClassType(type):
    """The binding library's metaclass of the module's classes."""

class DeviceDensityState(metaclass=_BoundClassType):
    """A density matrix of 0 to 15 qubits held in the memory of one device."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """There is no constructor: raises TypeError; use the static methods."""
    @staticmethod
    def from_numpy(n: SupportsIndex, state: _DensityArray, device: str = "cuda:0") -> DeviceDensityState: ...
    @staticmethod
    def zero_state(n: SupportsIndex, dtype: Literal["complex64", "complex128"] | str = "complex128",
                   device: str = "cuda:0") -> DeviceDensityState: ...
    def to_numpy(self) -> _DensityArray: ...
    def copy(self) -> DeviceDensityState: ...
    @property
    def num_qubits(self) -> int: ...
    @property
    def dimension(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    @property
    def device_id(self) -> int: ...

def run_density_operations_device(state: DeviceDensityState, num_qubits: SupportsIndex,
                                  operations: Iterable[Any]) -> None: ...
def measure_device(state: DeviceDensityState, targets: Sequence[SupportsIndex], endian: str = "little",
                   seed: SupportsIndex | None = None) -> str: ...
def device_count() -> int: ...
def device_memory_info(device: str = "cuda:0") -> tuple[int, int]: ...
def _density_fusion_groups(num_qubits: SupportsIndex, operations: Iterable[Any]) -> list[tuple[int, list[int], list[int]]]: ...
