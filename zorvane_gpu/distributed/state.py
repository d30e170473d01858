"""DistributedState: a state vector of n qubits over the 2**g ranks of an MPI
communicator, each rank holding 2**(n-g) amplitudes in a stavex.DeviceState on
its own device.

Every method is collective: all ranks call it with the same arguments. The
arguments are checked on every rank and compared across ranks before any
amplitude moves (all ranks raise the same error); a failure during the work
raises on every rank (see communicator.py) and leaves the state lost, since
ranks may have stopped at different gates: later calls raise at once.

Logical qubit q sits at physical position `position[q]` of the layout
(planner.Layout); runs leave the map permuted and every method reads through
it, so a user only ever sees logical qubits.
"""
from __future__ import annotations

import os
from time import perf_counter
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
import stavex
from mpi4py import MPI

from . import gates as gate_lists
from .communicator import RankGroup, fingerprint
from .exchange import DEFAULT_BUFFER_BYTES, ITEMSIZE, Exchanger, mpi_is_cuda_aware
from .planner import Exchange, Layout, Plan, plan_gates

TAG_TABLE = 0x5a18
FUSION_OPTIONS = {"fuse_swap", "sparsesharemem_qubits", "densemm_min_qubits", "densemm_max_qubits",
                  "densemm_gate_threshold_scale", "max_gates_per_group", "pad_sparsesharemem"}

T = TypeVar("T")


def _check_n(n: Any, ranks: int) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n must be an integer, got {type(n).__name__}")
    n = int(n)
    if n < 1 or n > 62:
        raise ValueError("n must be in [1, 62]")
    g = ranks.bit_length() - 1
    if n <= g:
        raise ValueError(f"n must be at least {g + 1} on {ranks} ranks (each rank holds at least one qubit)")
    return n


def _check_dtype(dtype: Any) -> str:
    if dtype not in ("complex64", "complex128"):
        raise ValueError(f"dtype must be 'complex64' or 'complex128', got: {dtype}")
    return dtype


def _check_endian(endian: Any) -> None:
    if endian not in ("little", "big"):
        raise ValueError("endian must be 'little' or 'big'")


def _check_root(root: Any, ranks: int) -> int:
    if isinstance(root, bool) or not isinstance(root, (int, np.integer)) or not 0 <= root < ranks:
        raise ValueError(f"root must be a rank in [0, {ranks}), got {root!r}")
    return int(root)


def _check_seed(seed: Any) -> int | None:
    if seed is None:
        return None
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or not 0 <= seed < 1 << 64:
        raise ValueError("seed must be None or an integer in [0, 2**64)")
    return int(seed)


def _available_host_bytes() -> int:
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


class DistributedState:
    """Made by `zero_state` or `from_numpy`; there is no constructor."""

    # Set by _make on an instance made without __init__.
    _group: RankGroup
    _lost: str | None  # what failed, once the state is lost
    _n: int
    _layout: Layout
    _swap_count: int
    _bytes: int
    _exchange_count: int
    _seconds: dict[str, float]
    _cuda_aware: bool
    _state: stavex.DeviceState
    _exchanger: Exchanger
    _wait_chunk: stavex.PreparedFusionChunk

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("DistributedState has no constructor: use DistributedState.zero_state or from_numpy")

    # ---- construction ---------------------------------------------------------

    @classmethod
    def _make(cls, n: Any, comm: MPI.Comm | None, device: str | None, buffer_bytes: Any, cuda_aware: bool | None,
              layout_of: Callable[[int, int], Layout], dtype_check: Callable[[int], str | None],
              agree_on: tuple[int, str | None]) -> DistributedState:
        """Checks on every rank, settles, then makes each rank's DeviceState and
        staging buffers. `agree_on` is (root, dtype): every rank is given the
        dtype, or, where it is None, only the root knows it (`dtype_check(n)`
        returns it there and None elsewhere) and broadcasts it."""
        group = RankGroup(comm)
        error: Exception | None = None
        checked: str | None = None
        try:
            if group.size & (group.size - 1):
                raise ValueError(f"the number of ranks must be a power of two, got {group.size}")
            n = _check_n(n, group.size)
            if isinstance(buffer_bytes, bool) or not isinstance(buffer_bytes, int) or buffer_bytes < 1:
                raise ValueError("exchange_buffer_bytes must be a positive integer")
            if device is not None and not isinstance(device, str):
                raise TypeError("device must be None or a device text such as 'cuda:0'")
            if cuda_aware not in (None, True, False):
                raise TypeError("cuda_aware must be None, True or False")
            checked = dtype_check(n)
        except Exception as caught:  # noqa: BLE001 - settled across ranks below
            error = caught
        group.settle(error, "creating the distributed state", fingerprint(n, buffer_bytes, cuda_aware, *agree_on),
                     same_error=True)
        root, given = agree_on
        dtype: str = given if given is not None else group.guarded(
            lambda: group.comm.bcast(checked, root=root), "creating the distributed state")

        self = object.__new__(cls)
        self._group = group
        self._lost = None
        self._n = n
        self._layout = layout_of(n, group.size.bit_length() - 1)
        self._swap_count = self._bytes = self._exchange_count = 0
        self._seconds = {"local": 0.0, "exchange": 0.0}
        self._cuda_aware = (stavex.backend == "cuda" and mpi_is_cuda_aware()) if cuda_aware is None else cuda_aware

        local_rank = group.local_rank  # collective: every rank asks, whatever device it was given

        def create() -> None:
            chosen = device
            if chosen is None:
                chosen = f"cuda:{local_rank % max(1, stavex.device_count())}"
            self._state = stavex.DeviceState.zero_state(self._layout.local_count, dtype=dtype, device=chosen)
            self._exchanger = Exchanger(group, self._state, buffer_bytes, self._cuda_aware)
            # Executing an empty prepared chunk only waits for the state's device.
            self._wait_chunk = stavex.prepare_fusion_chunk_gates(self._layout.local_count, [])

        group.run(create, "creating the distributed state")
        return self

    @classmethod
    def zero_state(cls, n: int, comm: MPI.Comm | None = None, dtype: str = "complex128", device: str | None = None,
                   *, exchange_buffer_bytes: int = DEFAULT_BUFFER_BYTES,
                   cuda_aware: bool | None = None) -> "DistributedState":
        """|0...0> over all ranks of `comm` (default COMM_WORLD). `device=None`
        picks cuda:<rank on this node mod device count>. `exchange_buffer_bytes`
        bounds each rank's staging memory for exchanges; `cuda_aware` overrides
        what the MPI library reports (device memory straight to MPI)."""
        self = cls._make(n, comm, device, exchange_buffer_bytes, cuda_aware, Layout.zero_state,
                         lambda n: _check_dtype(dtype), (0, dtype))

        def clear_other_ranks() -> None:
            # Each rank's DeviceState starts as its own |0..0>; only rank 0 holds amplitude 0.
            if self._group.rank != 0:
                stavex._collapse_outcome(self._state, [], 0, 1.0, keep=False)

        self._group.run(clear_other_ranks, "creating the distributed state")
        return self

    @classmethod
    def from_numpy(cls, n: int, array: np.ndarray | None, comm: MPI.Comm | None = None, root: int = 0,
                   device: str | None = None, *, exchange_buffer_bytes: int = DEFAULT_BUFFER_BYTES,
                   cuda_aware: bool | None = None) -> "DistributedState":
        """The amplitudes of `array` spread over the ranks of `comm`. Only the
        root's `array` is read (others may pass None): a 1-D C-contiguous
        complex64 or complex128 array of 2**n entries, whose dtype is kept."""
        world = MPI.COMM_WORLD if comm is None else comm
        is_root = isinstance(world, MPI.Comm) and not isinstance(root, bool) and root == world.Get_rank()

        def dtype_check(n: int) -> str | None:
            _check_root(root, world.Get_size())
            if not is_root:
                return None
            if not isinstance(array, np.ndarray) or array.ndim != 1:
                raise ValueError("state must be a 1-D contiguous numpy array")
            if not array.flags.c_contiguous:
                raise ValueError("state must be C-contiguous")
            if array.size != 1 << n:
                raise ValueError("state.size must equal 2**n")
            return _check_dtype(str(array.dtype))

        self = cls._make(n, comm, device, exchange_buffer_bytes, cuda_aware, Layout, dtype_check,
                         (root, None))
        start = perf_counter()
        failure = self._exchanger.scatter(int(root), array if is_root else None)
        self._seconds["exchange"] += perf_counter() - start
        self._group.settle(failure, "scattering the state")
        return self

    # ---- properties -----------------------------------------------------------

    @property
    def n(self) -> int:
        return self._n

    @property
    def global_qubits(self) -> tuple[int, ...]:
        """The logical qubits on global positions: entry j is bit j of the rank number."""
        return self._layout.global_qubits()

    @property
    def qubit_positions(self) -> tuple[int, ...]:
        """Physical position of each logical qubit (below n - len(global_qubits): local)."""
        return tuple(self._layout.position)

    @property
    def swap_count(self) -> int:
        """Qubits traded between local and global positions so far."""
        return self._swap_count

    @property
    def exchange_count(self) -> int:
        return self._exchange_count

    @property
    def bytes_exchanged(self) -> int:
        """Bytes sent between ranks by exchanges so far, all ranks together."""
        return self._bytes

    @property
    def dtype(self) -> str:
        return self._state.dtype

    @property
    def comm(self) -> MPI.Intracomm:
        return self._group.comm

    @property
    def local_state(self) -> stavex.DeviceState:
        """This rank's amplitudes (physical order)."""
        return self._state

    @property
    def cuda_aware(self) -> bool:
        return self._cuda_aware

    @property
    def staging_bytes(self) -> int:
        """Host or device memory this rank holds for exchanges."""
        return self._exchanger.staging_bytes

    @property
    def seconds(self) -> dict[str, float]:
        """Wall time this rank spent running gates and exchanging, so far."""
        return dict(self._seconds)

    # ---- internals ------------------------------------------------------------

    def _usable(self) -> None:
        if self._lost is not None:
            raise RuntimeError(f"the distributed state was lost when {self._lost}; make a new one")

    def _settle(self, failure: BaseException | None, what: str) -> None:
        try:
            self._group.settle(failure, what)
        except BaseException as error:
            self._lost = f"{what} failed ({type(error).__name__}: {error})"
            raise

    def _checked(self, what: str, check: Callable[[], T], agree_on: Callable[[T], tuple[Any, ...]]) -> T:
        """Runs the argument checks on every rank and settles them, comparing
        `agree_on(checked)` across ranks."""
        self._usable()
        try:
            result = check()
            digest = fingerprint(*agree_on(result))
        except Exception as error:  # noqa: BLE001 - settled across ranks
            self._group.settle(error, what, b"", same_error=True)  # raises it
            raise
        self._group.settle(None, what, digest, same_error=True)
        return result

    # ---- gathering ------------------------------------------------------------

    def to_numpy(self, root: int = 0) -> npt.NDArray[np.complex64] | npt.NDArray[np.complex128] | None:
        """The whole state in logical qubit order on `root` (None on the other
        ranks); MemoryError on every rank when it would not fit the root's
        available host memory."""
        root = self._checked("gathering the state", lambda: _check_root(root, self._group.size), lambda r: (r,))
        itemsize = ITEMSIZE[self.dtype]
        permuted = self._layout.position != list(range(self._n))
        needed = (2 if permuted else 1) * (itemsize << self._n)
        out: npt.NDArray[Any] | None = None
        error: MemoryError | None = None
        if self._group.rank == root:
            available = _available_host_bytes()
            if needed > available:
                error = MemoryError(f"the whole state needs {needed} bytes of host memory on rank {root} "
                                    f"({'twice ' if permuted else ''}2**{self._n} amplitudes of {self.dtype}), "
                                    f"only {available} are available")
            else:
                try:
                    out = np.empty(1 << self._n, dtype=self.dtype)
                except MemoryError as refused:
                    error = refused
        self._group.settle(error, "gathering the state", same_error=True)
        start = perf_counter()
        failure = self._exchanger.gather(root, out)
        self._seconds["exchange"] += perf_counter() - start
        self._group.settle(failure, "gathering the state")
        return None if out is None else self._layout.logical_order(out)

    # ---- gates ----------------------------------------------------------------

    def plan(self, gate_ir: Sequence[dict[str, Any]], strategy: str = "lookahead") -> Plan:
        """The plan a run of `gate_ir` would follow from the current map (no
        communication, nothing runs)."""
        self._usable()
        records = gate_lists.read_gate_list(self._n, self._layout.local_count, gate_ir)
        return plan_gates(records, self._layout, strategy)

    def run(self, gate_ir: Sequence[dict[str, Any]], mode: stavex.KernelMode = stavex.PairAuto,
            endian: str = "little", *, fusion_options: dict[str, Any] | None = None) -> None:
        """Applies a gate_ir list. Gates on local positions run through stavex
        in `mode`; with `fusion_options` (the keyword arguments of
        stavex.prepare_fusion_chunk_gates, {} for its defaults) each stretch
        between exchanges is planned as a prepared fusion chunk on a worker
        thread, ahead of the stretch the device runs. The whole list is checked
        first; nothing runs if a gate is bad."""
        local_count = self._layout.local_count

        def check() -> list[gate_lists.GateRecord]:
            _check_endian(endian)
            if not isinstance(mode, stavex.KernelMode):
                raise TypeError(f"mode must be a stavex.KernelMode, got {type(mode).__name__}")
            if fusion_options is not None:
                if not isinstance(fusion_options, dict) or not set(fusion_options) <= FUSION_OPTIONS:
                    raise ValueError(f"fusion_options must be a dict with keys among {sorted(FUSION_OPTIONS)}")
                # Option values are checked where stavex reads them: on an empty chunk.
                stavex.prepare_fusion_chunk_gates(local_count, [], **fusion_options)
            return gate_lists.read_gate_list(self._n, local_count, gate_ir)

        records = self._checked("running gates", check, lambda records: (
            endian, int(mode), None if fusion_options is None else sorted(fusion_options.items()),
            gate_lists.digest(records)))
        plan = plan_gates(records, self._layout)
        rank = self._group.rank
        segments = [[g for g in (gate_lists.local_gate(r, local_count, rank) for r in step.gates) if g is not None]
                    for step in plan.steps if not isinstance(step, Exchange)]
        failure: BaseException | None = None
        preparing = ThreadPoolExecutor(max_workers=1) if fusion_options is not None else None
        try:
            # Chunks are planned in order on the worker while the device runs earlier ones.
            chunks: Iterator[Future[stavex.PreparedFusionChunk]] | None = None
            if preparing is not None and fusion_options is not None:
                chunks = iter([preparing.submit(stavex.prepare_fusion_chunk_gates, local_count, gates,
                                                **fusion_options) for gates in segments])
            segment_gates = iter(segments)
            for step in plan.steps:
                start = perf_counter()
                if isinstance(step, Exchange):
                    failure = self._exchanger.exchange(step, local_count, failure)
                    self._seconds["exchange"] += perf_counter() - start
                    # A fixed point: a failure anywhere so far stops every rank here.
                    self._settle(failure, "running gates")
                    continue
                gates = next(segment_gates)
                chunk = next(chunks) if chunks is not None else None
                if failure is None:
                    try:
                        if chunk is not None:
                            stavex.execute_prepared_fusion_chunk(self._state, chunk.result())
                        elif gates:
                            stavex.run_circuit_device_gates(self._state, gates, mode=mode)
                            # Waits for the device, so the time and any late error belong to these gates.
                            stavex.execute_prepared_fusion_chunk(self._state, self._wait_chunk)
                    except Exception as error:  # noqa: BLE001 - settled at the next fixed point
                        failure = error
                self._seconds["local"] += perf_counter() - start
        finally:
            if preparing:
                preparing.shutdown(wait=True, cancel_futures=True)
        self._settle(failure, "running gates")
        self._layout = plan.layout
        self._swap_count += plan.swap_count
        self._exchange_count += len(plan.exchanges)
        self._bytes += plan.bytes_exchanged(ITEMSIZE[self.dtype])

    # ---- measurement ----------------------------------------------------------

    def measure(self, targets: Sequence[int], seed: int | None = None, endian: str = "little") -> str:
        """One shot on `targets` that collapses the state, as
        stavex.measure_device: the outcome's text, first target first."""
        return self._draw("measuring", targets, 1, seed, True, endian)[1]

    def sample(self, targets: Sequence[int], shots: int, seed: int | None = None, collapse_last: bool = True,
               endian: str = "little") -> tuple[dict[str, int], str]:
        """`shots` draws on `targets` as stavex.sample_measure_device:
        (counts by outcome text, last outcome), collapsing onto the last one
        when `collapse_last`."""
        return self._draw("sampling", targets, shots, seed, collapse_last, endian)

    def _draw(self, what: str, targets: Sequence[int], shots: Any, seed: Any, collapse: bool,
              endian: str) -> tuple[dict[str, int], str]:
        n, local_count, group = self._n, self._layout.local_count, self._group

        def check() -> tuple[list[int], int | None]:
            labels = [int(t) for t in targets]
            if not labels or len(labels) > 62:
                raise ValueError("measure targets size must be in [1, 62]")
            _check_endian(endian)
            if any(t < 0 or t >= n for t in labels):
                raise ValueError("measure target index out of range")
            if len(set(labels)) != len(labels):
                raise ValueError("duplicate measure target index")
            if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)):
                raise TypeError("shots must be an integer")
            if shots < 1:
                raise ValueError("shots must be positive")
            return labels, _check_seed(seed)

        labels, seed = self._checked(what, check, lambda checked: (*checked, shots, bool(collapse), endian))
        qubits = [t if endian == "little" else n - 1 - t for t in labels]
        k = len(qubits)
        positions = [self._layout.position[q] for q in qubits]
        local = [(j, p) for j, p in enumerate(positions) if p < local_count]
        # Where entry i of a rank's table of its local targets lands in the whole table.
        index = np.arange(1 << len(local), dtype=np.int64)
        spread = np.zeros_like(index)
        for m, (j, _) in enumerate(local):
            spread |= ((index >> (len(local) - 1 - m)) & 1) << (k - 1 - j)

        def rank_bits(rank: int) -> int:
            return sum(((rank >> (p - local_count)) & 1) << (k - 1 - j)
                       for j, p in enumerate(positions) if p >= local_count)

        failure: BaseException | None = None
        whole: npt.NDArray[np.float64] | None = None  # the root's whole table
        try:
            if local:
                table = stavex._outcome_probabilities(self._state, [p for _, p in local])
            else:
                table = np.array([stavex._outcome_probabilities(self._state, [0]).sum()])
            if group.rank == 0:
                whole, received = np.zeros(1 << k), np.empty_like(table)
        except Exception as error:  # noqa: BLE001 - a table or the sum that does not fit fails every rank
            failure = error
        self._group.settle(failure, what)  # nothing has changed yet: the state stays usable
        if whole is not None:
            # The root adds the tables in rank order, so the sums do not depend on timing.
            whole[rank_bits(0) | spread] += table
            for r in range(1, group.size):
                group.guarded(lambda: group.comm.Recv(received, r, TAG_TABLE), what)
                whole[rank_bits(r) | spread] += received
        else:
            group.guarded(lambda: group.comm.Send(table, 0, TAG_TABLE), what)

        result: Any = None
        if whole is not None:
            try:
                chosen = seed if seed is not None else int.from_bytes(os.urandom(8), "little")
                counts, last = stavex._draw_outcomes(whole, shots, chosen)
                cumulative = np.cumsum(whole)
                probability = cumulative[last] - (cumulative[last - 1] if last else 0.0)
                if collapse and not probability > 0:
                    raise RuntimeError("Selected measurement probability is zero.")
                result = (counts, last, float(probability))
            except Exception as error:  # noqa: BLE001 - sent to every rank
                result = error
        result = group.guarded(lambda: group.comm.bcast(result, root=0), what)
        if isinstance(result, BaseException):
            raise result  # the state is as it was: nothing collapsed
        counts, last, probability = result

        if collapse:
            failure = None
            try:
                keep = rank_bits(group.rank) == last & rank_bits(group.size - 1)
                outcome = sum(((last >> (k - 1 - j)) & 1) << (len(local) - 1 - m) for m, (j, _) in enumerate(local))
                stavex._collapse_outcome(self._state, [p for _, p in local], outcome, probability, keep=keep)
            except Exception as error:  # noqa: BLE001
                failure = error
            self._settle(failure, what)
            for j, q in enumerate(qubits):
                self._layout.known[q] = (last >> (k - 1 - j)) & 1
        text = lambda o: format(o, f"0{k}b")  # noqa: E731
        return {text(o): c for o, c in counts.items()}, text(last)
