"""The MPI side of the distributed state: one object owns the communicator and
every rule that keeps a failure from hanging the other ranks.

- Arguments are checked on every rank, then `settle` compares a fingerprint of
  them and the outcome of the checks across all ranks in one collective: all
  raise the same error, or all go on.
- Device work between communications runs under `settle` too: a failure on
  one rank is raised there as it was and on the others as a RuntimeError
  naming the rank.
- An error of MPI itself (or anything raised while ranks are mid-way through a
  collective or a point-to-point exchange) cannot be settled, since a partner
  may already wait: the communicator is aborted with a message naming the rank,
  which ends every rank of the job.
"""
from __future__ import annotations

import hashlib
import os
import sys
from typing import Any, Callable, TypeVar

from mpi4py import MPI

T = TypeVar("T")


class RankFailure(RuntimeError):
    """Raised on the ranks that did not fail when another rank did."""


ARGUMENT_ERRORS = {e.__name__: e for e in (ValueError, TypeError, IndexError, MemoryError, OverflowError, KeyError)}


def fingerprint(*values: Any) -> bytes:
    return hashlib.blake2b(repr(values).encode(), digest_size=16).digest()


class RankGroup:
    """The ranks of one distributed state, on a duplicate of the caller's
    communicator, so its messages never meet the caller's own."""

    def __init__(self, comm: MPI.Comm | None) -> None:
        given = MPI.COMM_WORLD if comm is None else comm
        if not isinstance(given, MPI.Intracomm):
            raise TypeError(f"comm must be an mpi4py intracommunicator, got {type(comm).__name__}")
        self.comm = self.guarded_on(given, given.Dup, "duplicating the communicator")
        self.rank = self.comm.Get_rank()
        self.size = self.comm.Get_size()
        self._local_rank: int | None = None

    @property
    def local_rank(self) -> int:
        """The rank among the ranks of this node (shared memory)."""
        if self._local_rank is None:
            node = self.guarded(lambda: self.comm.Split_type(MPI.COMM_TYPE_SHARED), "finding the ranks of this node")
            self._local_rank = node.Get_rank()
            node.Free()
        return self._local_rank

    def guarded(self, communicate: Callable[[], T], what: str) -> T:
        """Runs a communication step; any exception in it aborts the job."""
        return self.guarded_on(self.comm, communicate, what)

    @staticmethod
    def guarded_on(comm: MPI.Comm, communicate: Callable[[], T], what: str) -> T:
        try:
            return communicate()
        except BaseException as error:  # noqa: BLE001 - any failure here leaves partners waiting
            sys.stderr.write(f"zorvane_gpu.distributed: rank {comm.Get_rank()} of {comm.Get_size()} failed while "
                             f"{what}: {type(error).__name__}: {error}; aborting the communicator so that no rank "
                             "waits\n")
            sys.stderr.flush()
            comm.Abort(1)
            os._exit(1)  # Abort does not return; this is only in case it does

    def settle(self, error: BaseException | None, what: str, agree_on: bytes = b"",
               same_error: bool = False) -> None:
        """One collective at a fixed point: every rank learns whether any rank
        failed and whether all ranks were asked the same (`agree_on`). A rank
        that failed raises its own error; the others raise RankFailure naming
        the first rank that failed, or with `same_error` (argument checks, some
        of which only the root can make) an error of that rank's type and text."""
        report = None if error is None else (type(error).__name__, str(error))
        reports = self.guarded(lambda: self.comm.allgather((agree_on, report)), what)
        if error is not None:
            raise error
        failed = [(r, rep) for r, (_, rep) in enumerate(reports) if rep is not None]
        if failed:
            r, (name, message) = failed[0]
            if same_error and name in ARGUMENT_ERRORS:
                raise ARGUMENT_ERRORS[name](message)
            raise RankFailure(f"{what} failed on rank {r}: {name}: {message}")
        if any(digest != agree_on for digest, _ in reports):
            raise ValueError(f"{what}: the ranks were not given the same arguments")

    def run(self, work: Callable[[], T], what: str, agree_on: bytes = b"") -> T:
        """Runs rank-local work, then settles."""
        try:
            result = work()
        except Exception as error:  # noqa: BLE001 - reported to every rank, then raised
            self.settle(error, what, agree_on)  # raises it
            raise
        self.settle(None, what, agree_on)
        return result
