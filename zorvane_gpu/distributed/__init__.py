"""A state vector over the ranks of an MPI communicator (through mpi4py), one
stavex.DeviceState per rank, for states larger than one device holds.

- `state`: DistributedState, the collective object users call.
- `planner`: where qubits live and when they move (host logic only).
- `gates`: gate lists read, checked and turned into each rank's gates.
- `exchange`: bounded, chunked transfers between ranks.
- `communicator`: the fixed points at which ranks agree or fail together.

`planner` and `gates` import without MPI; DistributedState needs mpi4py and an
MPI library, and is imported on first use.
"""
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .communicator import RankFailure
    from .state import DistributedState

__all__ = ["DistributedState", "RankFailure"]


def __getattr__(name: str) -> Any:
    if name == "DistributedState":
        from .state import DistributedState

        return DistributedState
    if name == "RankFailure":  # what the other ranks raise when one rank fails
        from .communicator import RankFailure

        return RankFailure
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
