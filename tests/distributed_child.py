"""Run under mpirun by test_distributed.py: `python -m mpi4py
distributed_child.py SCENARIO`. Rank 0 checks every result against the NumPy
model (gate_reference, the measurement model of test_measure) and prints
"OK <scenario>"; any mismatch raises, which `-m mpi4py` turns into an abort of
all ranks. The failure scenarios print one line per rank saying what it raised.
"""
import copy
import sys
import time

import numpy as np
import stavex
from mpi4py import MPI

from distributed_support import model_run, random_circuit, random_state
from test_measure import reference_collapse, reference_sample
from zorvane_gpu.distributed import DistributedState

comm = MPI.COMM_WORLD
rank, size = comm.Get_rank(), comm.Get_size()
g = size.bit_length() - 1


def check_state(state, expected, what):
    got = state.to_numpy()
    if rank == 0:
        assert got.dtype == state.dtype, what
        error = np.max(np.abs(got - expected))
        assert error < (1e-12 if state.dtype == "complex128" else 2e-5), f"{what}: max error {error:.3g}"


# Modes of running local stretches: stavex kernel modes and prepared fusion chunks.
RUNS = [
    dict(mode=stavex.PairAuto),
    dict(mode=stavex.AllState),
    dict(mode=stavex.PairAutoFusion),
    dict(fusion_options={}),
    dict(fusion_options={"sparsesharemem_qubits": 3, "densemm_gate_threshold_scale": 0.0}),
    dict(mode=stavex.PairAuto),  # on a complex64 state
]


def circuits():
    n = g + 4
    for case, run in enumerate(RUNS):
        seed = 100 * size + case
        # Small buffers cut every exchange into chunks of two amplitudes; the
        # device-memory path of CUDA-aware MPI runs too (CPU-layer device
        # memory is host memory, so any MPI can read it).
        options = dict(exchange_buffer_bytes=64, cuda_aware=case in (1, 2, 5))
        if case in (1, 3):
            state = DistributedState.zero_state(n, **options)
            expected = np.zeros(2**n, complex)
            expected[0] = 1
        else:
            expected = random_state(n, seed).astype(np.complex64 if case == len(RUNS) - 1 else np.complex128)
            state = DistributedState.from_numpy(n, expected if rank == 0 else None, **options)
        for part in range(2):  # the second run starts from the map the first one left
            gates = random_circuit(n, 40, seed * 7 + part, max_unitary_targets=min(3, n - g))
            state.run(gates, **run)
            expected = model_run(expected, gates)
            check_state(state, expected, f"run {run} part {part}")
        if size > 1 and rank == 0:
            assert state.swap_count > 0 and state.bytes_exchanged > 0
    print("OK circuits", flush=True)


def measurement():
    n = g + 4
    for case, (endian, collapse) in enumerate([("little", True), ("big", True), ("little", False)]):
        seed = 1000 + 10 * size + case
        initial = random_state(n, seed)
        gates = random_circuit(n, 30, seed, max_unitary_targets=min(3, n - g))
        state = DistributedState.from_numpy(n, initial if rank == 0 else None, exchange_buffer_bytes=256)
        state.run(gates)  # leaves the map permuted
        expected = model_run(initial, gates)
        rng = np.random.default_rng(seed)
        targets = [int(t) for t in rng.choice(n, int(rng.integers(1, n + 1)), replace=False)]
        shots = int(rng.choice([1, 7, 3000]))
        counts, last = state.sample(targets, shots, seed=seed, collapse_last=collapse, endian=endian)
        ref_counts, ref_last, cum = reference_sample(expected, n, targets, endian, shots, seed)
        single = stavex.DeviceState.from_numpy(n, expected)
        assert (counts, last) == stavex.sample_measure_device(single, targets, shots, endian, seed, collapse), case
        assert counts == ref_counts and last == format(ref_last, f"0{len(targets)}b"), case
        if collapse:
            expected = reference_collapse(expected, n, targets, endian, ref_last, cum)
        check_state(state, expected, f"sample case {case}")
        # One collapsing shot on the collapsed (or untouched) state, then gates that read the new map.
        targets = targets[:2]
        bits = state.measure(targets, seed=seed + 1, endian=endian)
        _, ref_last, cum = reference_sample(expected, n, targets, endian, 1, seed + 1)
        assert bits == format(ref_last, f"0{len(targets)}b"), case
        expected = reference_collapse(expected, n, targets, endian, ref_last, cum)
        more = random_circuit(n, 20, seed + 2, max_unitary_targets=min(3, n - g))
        state.run(more)
        check_state(state, model_run(expected, more), f"after measure case {case}")
    print("OK measurement", flush=True)


def beyond_one_device():
    """Each emulated device holds half the whole state: one process cannot
    make it, the ranks run, sample and measure it."""
    n = g + 8
    whole, capacity = 16 << n, stavex._cpu_layer_memory_capacity()
    stavex._cpu_layer_set_memory_capacity(whole // 2)
    try:
        try:
            stavex.DeviceState.zero_state(n)
        except RuntimeError as error:
            assert "out of memory" in str(error), error
        else:
            raise AssertionError("one device held the whole state")
        state = DistributedState.zero_state(n, exchange_buffer_bytes=1024)
        gates = random_circuit(n, 60, 77, max_unitary_targets=3)
        state.run(gates)
        expected = model_run(np.eye(1, 2**n, dtype=complex)[0], gates)
        counts, last = state.sample([0, n - 1, 2], 500, seed=5, collapse_last=False)
        ref_counts, ref_last, cum = reference_sample(expected, n, [0, n - 1, 2], "little", 500, 5)
        assert counts == ref_counts and last == format(ref_last, "03b")
        bits = state.measure([n - 2, 1], seed=6)
        _, ref_last, cum = reference_sample(expected, n, [n - 2, 1], "little", 1, 6)
        assert bits == format(ref_last, "02b")
        expected = reference_collapse(expected, n, [n - 2, 1], "little", ref_last, cum)
    finally:
        stavex._cpu_layer_set_memory_capacity(capacity)
    check_state(state, expected, "beyond one device")
    print("OK beyond one device", flush=True)


REPORTS = []


def report(what, call):
    """Records what this rank raised (every rank must raise); rank 0 prints all at the end."""
    start = time.perf_counter()
    try:
        call()
    except Exception as error:  # noqa: BLE001
        REPORTS.append(f"rank {rank} {what}: {type(error).__name__}: {error} ({time.perf_counter() - start:.1f} s)")
        return
    REPORTS.append(f"rank {rank} {what}: nothing raised")


def failures():
    n = g + 3
    gates = random_circuit(n, 30, 5, max_unitary_targets=2)
    bad = gates[:5] + [dict(gates[0], target=[n])]
    state = DistributedState.zero_state(n)
    report("bad gate", lambda: state.run(bad))
    state.run(gates)  # still usable: nothing ran
    report("ranks disagree", lambda: state.measure([rank % n]))
    import zorvane_gpu.distributed.state as state_module
    state_module._available_host_bytes = lambda: 1000  # the root cannot hold the gathered state
    report("too large to gather", state.to_numpy)
    three = comm.Split(int(rank < 3))  # ranks 0-2 together, the last one alone
    report("three ranks", lambda: DistributedState.zero_state(n, comm=three))
    for kind in ("launch", "copy"):
        state = DistributedState.zero_state(n, exchange_buffer_bytes=64)
        if rank == size - 1:
            stavex._cpu_layer_inject_fault(kind, 3)
        report(f"{kind} fault", lambda: state.run(gates + gates))
        stavex._cpu_layer_clear_faults()
        report(f"after {kind} fault", lambda: state.to_numpy())
    REPORTS.append(f"rank {rank} done")
    for lines in comm.gather(REPORTS, root=0) or []:
        print("\n".join(lines), flush=True)


def mpi_failure():
    """MPI itself fails on the last rank in the middle of an exchange."""
    n = g + 3
    state = DistributedState.zero_state(n)
    if rank == size - 1:
        class Broken:
            def __init__(self, real):
                self.real = real

            def __getattr__(self, name):
                return getattr(self.real, name)

            def Sendrecv(self, *args):
                raise MPI.Exception(MPI.ERR_OTHER)

        exchange_group = copy.copy(state._group)
        exchange_group.comm = Broken(state._group.comm)
        state._exchanger.group = exchange_group
    state.run([{"id": "h", "target": [q], "control": [], "control_state": [], "parameter": []} for q in range(n)])
    print(f"rank {rank} was not stopped", flush=True)


if __name__ == "__main__":
    for scenario in sys.argv[1:]:
        globals()[scenario.replace("-", "_")]()
