"""Sampling throughput: 1,000,000 shots over 20 measured qubits of a 24-qubit
complex128 state, without collapse. Prints the wall time of the call (the
device reduction and the host draws together) and shots per second."""

import time

import numpy as np

import stavex

N = 24
TARGETS = list(range(20))
SHOTS = 1_000_000
SEED = 2024


def main():
    rng = np.random.default_rng(1)
    amps = rng.normal(size=2**N) + 1j * rng.normal(size=2**N)
    amps /= np.linalg.norm(amps)
    state = stavex.DeviceState.from_numpy(N, amps.astype(np.complex128))

    start = time.perf_counter()
    counts, last = stavex.sample_measure_device(state, TARGETS, SHOTS, seed=SEED, collapse_last=False)
    elapsed = time.perf_counter() - start

    assert sum(counts.values()) == SHOTS
    print(f"backend: {getattr(stavex, 'backend', 'unknown')}")
    print(f"n={N} measured={len(TARGETS)} shots={SHOTS} distinct outcomes={len(counts)}")
    print(f"total: {elapsed:.3f} s")
    print(f"shots per second: {SHOTS / elapsed:,.0f}")


if __name__ == "__main__":
    main()
