"""Moving amplitudes between ranks in bounded pieces.

Every transfer is cut into chunks of at most `chunk` amplitudes, so the
staging memory is fixed when the state is made, whatever the state's size:
- with CUDA-aware MPI (the library says so, see `mpi_is_cuda_aware`), MPI reads
  and writes device memory itself, through `__cuda_array_interface__` views of
  the state; one device buffer of a chunk holds what a rank sends while the
  same range is received in place;
- otherwise a chunk goes device -> pinned host buffer -> MPI -> pinned host
  buffer -> device, through stavex's range copies.

A device copy that fails does not stop a rank's part in the communication
(its partners are waiting for it): the rank goes on sending what it has, and
returns the first failure, which the caller settles across all ranks at the
next fixed point. A failure of MPI itself aborts the communicator.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any

import numpy.typing as npt
import stavex
from mpi4py import MPI

from .communicator import RankGroup
from .planner import Exchange

DEFAULT_BUFFER_BYTES = 64 << 20
MPI_TYPES = {"complex64": MPI.C_FLOAT_COMPLEX, "complex128": MPI.C_DOUBLE_COMPLEX}
ITEMSIZE = {"complex64": 8, "complex128": 16}
TAG = 0x5a17


def _loaded_mpi_library() -> ctypes.CDLL | None:
    """The MPI library mpi4py loaded into this process."""
    try:
        with open("/proc/self/maps") as maps:
            paths = sorted({line.split()[-1] for line in maps
                            if os.path.basename(line.split()[-1]).startswith("libmpi.so")})
    except (OSError, IndexError):
        return None
    for path in paths:
        try:
            return ctypes.CDLL(path)
        except OSError:
            continue
    return None


def mpi_is_cuda_aware() -> bool:
    """Whether MPI can read and write CUDA device memory: ZORVANE_MPI_CUDA_AWARE
    (0 or 1) when set, else what the library reports at run time (Open MPI's
    MPIX_Query_cuda_support, MPICH's MPIX_GPU_query_support)."""
    setting = os.environ.get("ZORVANE_MPI_CUDA_AWARE", "").strip()
    if setting:
        return setting not in ("0", "no", "false")
    library = _loaded_mpi_library()
    if library is None:
        return False
    if hasattr(library, "MPIX_Query_cuda_support"):
        return bool(library.MPIX_Query_cuda_support())
    if hasattr(library, "MPIX_GPU_query_support"):
        supported = ctypes.c_int(0)
        cuda = 0  # MPIX_GPU_SUPPORT_CUDA
        return library.MPIX_GPU_query_support(cuda, ctypes.byref(supported)) == 0 and bool(supported.value)
    return False


class DeviceRange:
    """`count` amplitudes of a DeviceState from `offset`, as a CUDA array."""

    def __init__(self, state: stavex.DeviceState, offset: int, count: int, itemsize: int) -> None:
        interface = state.__cuda_array_interface__
        self.state = state  # keeps the memory alive while MPI holds the view
        self.__cuda_array_interface__ = {
            "shape": (count,), "typestr": interface["typestr"], "strides": None, "version": 3,
            "data": (interface["data"][0] + offset * itemsize, False), "stream": interface.get("stream"),
        }


def chunk_amplitudes(buffer_bytes: int, itemsize: int, local_size: int) -> int:
    """The largest power of two of amplitudes such that two chunks fit the
    buffer, at least 2 and at most a rank's share."""
    fit = max(buffer_bytes // (2 * itemsize), 2)
    return min(1 << (fit.bit_length() - 1), local_size)


class Exchanger:
    """The staging buffers of one rank and the transfers that use them."""

    def __init__(self, group: RankGroup, state: stavex.DeviceState, buffer_bytes: int, cuda_aware: bool) -> None:
        self.group = group
        self.state = state
        self.cuda_aware = cuda_aware
        self.itemsize = ITEMSIZE[state.dtype]
        self.mpi_type = MPI_TYPES[state.dtype]
        self.chunk = chunk_amplitudes(buffer_bytes, self.itemsize, state.num_state)
        if cuda_aware:
            self._device_send = stavex.DeviceState.zero_state(self.chunk.bit_length() - 1, dtype=state.dtype,
                                                              device=f"cuda:{state.device_id}")
        else:
            device = f"cuda:{state.device_id}"  # pinned in the rank's own device context
            self._host_send = stavex._pinned_host_array(self.chunk, dtype=state.dtype, device=device)
            self._host_recv = stavex._pinned_host_array(self.chunk, dtype=state.dtype, device=device)

    @property
    def staging_bytes(self) -> int:
        return (1 if self.cuda_aware else 2) * self.chunk * self.itemsize

    def _device(self, offset: int, count: int) -> list[Any]:
        return [DeviceRange(self.state, offset, count, self.itemsize), count, self.mpi_type]

    @staticmethod
    def _copy(failure: BaseException | None, *args: Any) -> BaseException | None:
        """A range copy unless this rank already failed; returns the first failure."""
        if failure is None:
            try:
                stavex._copy_range(*args)
            except Exception as error:  # noqa: BLE001 - settled by the caller once partners are done
                return error
        return failure

    def _trade(self, offset: int, count: int, partner: int, failure: BaseException | None) -> BaseException | None:
        """Sends `count` amplitudes from `offset` to `partner` and puts what it
        sends back in the same place."""
        comm = self.group.comm
        if self.cuda_aware:
            failure = self._copy(failure, self.state, offset, self._device_send, 0, count)
            send = [DeviceRange(self._device_send, 0, count, self.itemsize), count, self.mpi_type]
            self.group.guarded(lambda: comm.Sendrecv(send, partner, TAG, self._device(offset, count), partner, TAG),
                               "exchanging amplitudes")
            return failure
        failure = self._copy(failure, self.state, offset, self._host_send, 0, count)
        self.group.guarded(lambda: comm.Sendrecv([self._host_send, count, self.mpi_type], partner, TAG,
                                                 [self._host_recv, count, self.mpi_type], partner, TAG),
                           "exchanging amplitudes")
        return self._copy(failure, self._host_recv, 0, self.state, offset, count)

    def exchange(self, step: Exchange, local_count: int,
                 failure: BaseException | None = None) -> BaseException | None:
        """This rank's part of one exchange (see planner.Exchange): a pairwise
        all-to-all over its group, block by block, chunk by chunk. A rank that
        has already failed (`failure`) only takes part in the communication."""
        k = step.qubits
        block = 1 << (local_count - k)
        bits = [p - local_count for p in step.global_positions]
        rank = self.group.rank
        member = sum(((rank >> b) & 1) << i for i, b in enumerate(bits))
        base = rank & ~sum(1 << b for b in bits)
        for distance in range(1, 1 << k):
            other = member ^ distance
            partner = base | sum(((other >> i) & 1) << b for i, b in enumerate(bits))
            for offset in range(other * block, (other + 1) * block, self.chunk):
                failure = self._trade(offset, min(self.chunk, (other + 1) * block - offset), partner, failure)
        return failure

    def gather(self, root: int, out: npt.NDArray[Any] | None) -> BaseException | None:
        """Every rank's amplitudes into `out` on the root (None on the other
        ranks), rank r's at r * local; the root receives in rank order."""
        comm, rank, local = self.group.comm, self.group.rank, self.state.num_state
        failure: BaseException | None = None
        if rank != root:
            for offset in range(0, local, self.chunk):
                count = min(self.chunk, local - offset)
                if self.cuda_aware:
                    self.group.guarded(lambda: comm.Send(self._device(offset, count), root, TAG), "gathering")
                else:
                    failure = self._copy(failure, self.state, offset, self._host_send, 0, count)
                    self.group.guarded(lambda: comm.Send([self._host_send, count, self.mpi_type], root, TAG),
                                       "gathering")
            return failure
        if out is None:
            raise ValueError("the root needs an array to gather the state into")
        failure = self._copy(failure, self.state, 0, out, root * local, local)
        for source in range(self.group.size):
            if source == root:
                continue
            for offset in range(0, local, self.chunk):
                count = min(self.chunk, local - offset)
                view = out[source * local + offset: source * local + offset + count]
                self.group.guarded(lambda: comm.Recv([view, count, self.mpi_type], source, TAG), "gathering")
        return failure

    def scatter(self, root: int, array: npt.NDArray[Any] | None) -> BaseException | None:
        """Rank r's amplitudes, array[r * local: (r + 1) * local] of the root's
        `array` (None on the other ranks), into its state; the root sends in
        rank order."""
        comm, rank, local = self.group.comm, self.group.rank, self.state.num_state
        failure: BaseException | None = None
        if rank != root:
            for offset in range(0, local, self.chunk):
                count = min(self.chunk, local - offset)
                if self.cuda_aware:
                    self.group.guarded(lambda: comm.Recv(self._device(offset, count), root, TAG), "scattering")
                else:
                    self.group.guarded(lambda: comm.Recv([self._host_recv, count, self.mpi_type], root, TAG),
                                       "scattering")
                    failure = self._copy(failure, self._host_recv, 0, self.state, offset, count)
            return failure
        if array is None:
            raise ValueError("the root needs the array of the state to scatter")
        failure = self._copy(failure, array, root * local, self.state, 0, local)
        for target in range(self.group.size):
            if target == root:
                continue
            for offset in range(0, local, self.chunk):
                count = min(self.chunk, local - offset)
                view = array[target * local + offset: target * local + offset + count]
                self.group.guarded(lambda: comm.Send([view, count, self.mpi_type], target, TAG), "scattering")
        return failure
