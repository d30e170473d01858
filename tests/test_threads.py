"""Calls from several Python threads: each on its own state gives exactly what
the same work gives run serially, and device work runs without the
interpreter lock."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import stavex
from conftest import gate, random_state

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
    return array.tobytes(), sorted(counts.items()), last, outcome


def test_threads_give_the_results_of_serial_runs_bit_for_bit():
    serial = [state_vector_work(i) for i in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(i):
        start.wait()
        return state_vector_work(i)

    with ThreadPoolExecutor(THREADS) as pool:
        threaded = list(pool.map(work, range(THREADS)))
    for i in range(THREADS):
        assert threaded[i] == serial[i], f"thread {i} differs from its serial run"


def test_device_work_runs_without_the_interpreter_lock():
    n = 18
    circuit = random_circuit(n, 6, np.random.default_rng(5))
    states = [stavex.DeviceState.zero_state(n) for _ in range(2)]
    intervals = [None, None]
    ticks = []
    stop = threading.Event()
    start = threading.Barrier(3)

    def counter():
        # Pure Python: it advances only while no thread holds the lock.
        start.wait()
        while not stop.is_set():
            ticks.append(time.perf_counter())

    def run(i):
        start.wait()
        begin = time.perf_counter()
        stavex.run_circuit_device(states[i], circuit, mode=stavex.AllState)
        intervals[i] = (begin, time.perf_counter())

    threads = [threading.Thread(target=counter)] + [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()

    (a0, a1), (b0, b1) = intervals
    assert min(a1, b1) > max(a0, b0), f"the two runs did not overlap: {intervals}"
    inside = [t for t in ticks if max(a0, b0) < t < min(a1, b1)]
    assert len(inside) > 10, "a pure-Python thread made no progress while both runs were on the device"
    assert np.array_equal(states[0].to_numpy(), states[1].to_numpy())
