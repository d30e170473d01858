"""Calls from several Python threads: each on its own state gives exactly what
the same work gives run serially, and device work runs without the
interpreter lock."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import types

import numpy as np

import plexar
import stavex
from conftest import gate, random_state
from density_reference import bit_flip, depolarizing
from density_support import Gate, Kraus, random_rho

THREADS = 8
NAMES_1Q = ["h", "x", "sqrtx", "s", "t"]


def random_circuit(n, depth, rng):
    gates = []
    for _ in range(depth):
        for q in range(n):
            kind = rng.integers(4)
            if kind == 0:
                gates.append(gate(NAMES_1Q[rng.integers(len(NAMES_1Q))], [q]))
            elif kind == 1:
                gates.append(gate("rx", [q], parameter=[float(rng.uniform(-3, 3))]))
            elif kind == 2:
                c = int(rng.integers(n - 1))
                gates.append(gate("cx", [q], [c if c < q else c + 1], [int(rng.integers(2))]))
            else:
                gates.append(gate("u", [q], parameter=[float(v) for v in rng.uniform(-3, 3, 3)]))
    return gates


def state_vector_work(index):
    """One thread's work: circuits in every mode, a measurement and sampling,
    all from seeds, so that a serial run can repeat it exactly."""
    rng = np.random.default_rng(1000 + index)
    n = 9 + index % 3
    dtype = [np.complex64, np.complex128][index % 2]
    state = stavex.DeviceState.from_numpy(n, random_state(n, dtype, seed=index))
    for mode in (stavex.AllState, stavex.Pair, stavex.PairAuto):
        stavex.run_circuit_device(state, random_circuit(n, 3, rng), mode=mode)
    counts, last = stavex.sample_measure_device(state, [0, n - 1], 200, seed=index, collapse_last=False)
    outcome = stavex.measure_device(state, [1, 2], seed=index + 1)
    array = stavex.run_circuit(n, state.to_numpy(), random_circuit(n, 2, rng))
    stavex.run_circuit_device(state, random_circuit(n, 3, rng), mode=stavex.PairAutoFusion)
    objects = [types.SimpleNamespace(matrix=None, **g) for g in random_circuit(n, 4, rng)]
    chunk = stavex.prepare_fusion_chunk_gates(n, objects, densemm_gate_threshold_scale=float(index % 2))
    for _ in range(2):
        stavex.execute_prepared_fusion_chunk(state, chunk)
    return array.tobytes(), sorted(counts.items()), last, outcome, state.to_numpy().tobytes()


def density_work(index):
    """One thread's density work, seeded like the state-vector work."""
    rng = np.random.default_rng(2000 + index)
    n = 5 + index % 2
    dtype = [np.complex64, np.complex128][index % 2]
    state = plexar.DeviceDensityState.from_numpy(n, random_rho(n, dtype, seed=index, hermitian=True))
    operations = []
    for _ in range(12):
        q = int(rng.integers(n))
        operations += [Gate("h", [q]), Gate("rx", [q], parameter=[float(rng.uniform(-3, 3))]),
                       Gate("cx", [(q + 1) % n], [q], [int(rng.integers(2))]),
                       Kraus([q], bit_flip(0.1), "bit_flip"), Kraus([(q + 2) % n], depolarizing(0.2))]
    plexar.run_density_operations_device(state, n, operations)
    outcome = plexar.measure_device(state, [0, n - 1], seed=index)
    return state.to_numpy().tobytes(), outcome, state.copy().to_numpy().tobytes()


def mixed_work(index):
    return state_vector_work(index), density_work(index)


def test_threads_give_the_results_of_serial_runs_bit_for_bit():
    serial = [mixed_work(i) for i in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(i):
        start.wait()
        return mixed_work(i)

    with ThreadPoolExecutor(THREADS) as pool:
        threaded = list(pool.map(work, range(THREADS)))
    for i in range(THREADS):
        assert threaded[i] == serial[i], f"thread {i} differs from its serial run"


def test_device_work_runs_without_the_interpreter_lock():
    # A state-vector run and a density run, started together on two threads.
    # While both are inside their calls, a pure-Python thread must keep
    # running: if either call held the interpreter lock, it could not.
    n = 18
    circuit = random_circuit(n, 6, np.random.default_rng(5))
    state = stavex.DeviceState.zero_state(n)
    rho = plexar.DeviceDensityState.zero_state(9)
    noisy = [op for q in range(9) for op in (Gate("h", [q]), Kraus([q], depolarizing(0.1)))] * 6
    calls = [lambda: stavex.run_circuit_device(state, circuit, mode=stavex.AllState),
             lambda: plexar.run_density_operations_device(rho, 9, noisy)]
    intervals = [None, None]
    ticks = []
    stop = threading.Event()
    start = threading.Barrier(3)

    def counter():
        start.wait()
        while not stop.is_set():
            ticks.append(time.perf_counter())

    def run(i):
        start.wait()
        begin = time.perf_counter()
        calls[i]()
        intervals[i] = (begin, time.perf_counter())

    threads = [threading.Thread(target=counter)] + [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()

    (a0, a1), (b0, b1) = intervals
    both_running = [t for t in ticks if max(a0, b0) < t < min(a1, b1)]
    assert min(a1, b1) - max(a0, b0) > 0.05, f"the two calls hardly overlapped: {intervals}"
    assert len(both_running) > 10, "a pure-Python thread made no progress while both calls were running"
