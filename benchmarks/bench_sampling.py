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


def random_device_state(n, dtype="complex128", seed=1):
    rng = np.random.default_rng(seed)
    amps = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    amps /= np.linalg.norm(amps)
    return stavex.DeviceState.from_numpy(n, amps.astype(dtype))


def sample_seconds(state, targets, shots, seed=SEED):
    """(wall seconds, distinct outcomes) of one sample_measure_device call
    without collapse."""
    start = time.perf_counter()
    counts, _ = stavex.sample_measure_device(state, targets, shots, seed=seed, collapse_last=False)
    elapsed = time.perf_counter() - start
    if sum(counts.values()) != shots:
        raise RuntimeError(f"sampling returned {sum(counts.values())} shots, not {shots}")
    return elapsed, len(counts)


def main():
    state = random_device_state(N)
    elapsed, distinct = sample_seconds(state, TARGETS, SHOTS)
    print(f"backend: {getattr(stavex, 'backend', 'unknown')}")
    print(f"n={N} measured={len(TARGETS)} shots={SHOTS} distinct outcomes={distinct}")
    print(f"total: {elapsed:.3f} s")
    print(f"shots per second: {SHOTS / elapsed:,.0f}")


if __name__ == "__main__":
    main()
