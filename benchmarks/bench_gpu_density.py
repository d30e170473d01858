"""GPU figures of the density module (run by scripts/gpu-check.sh on a CUDA build).

A one-qubit unitary (H, dense one-target kernel) and a one-qubit channel (bit
flip, built-in channel kernel) on a 14-qubit complex128 density matrix (4 GiB),
as bandwidth: each pass reads and writes every element once, so 2 x 4 GiB per
operation. Compared with a device-to-device copy of the same size measured in
the same run, through CuPy when it is installed; otherwise through
DeviceDensityState.copy(), whose time includes the allocation of the copy, so
that figure understates the copy bandwidth. The goal is at least 85% of the
copy bandwidth.

Then density fusion: a noisy layered circuit (benchmarks/bench_density_fusion.py:
one- and two-qubit gates, each followed by a channel) on the same matrix, with
ZORVANE_DENSITY_FUSION unset and set, in the same run; the figure is the
speedup of the fused run (median wall time of --repeats runs each, a run
ending with a device-wide synchronisation).

On the CPU execution layer the script runs at a small size (--qubits) only to
show that it works; its figures mean nothing there.

Usage: python benchmarks/bench_gpu_density.py [--qubits 14] [--repeats 20]
"""
import argparse
import os
import statistics
import time

import numpy as np

import plexar

from bench_density_fusion import noisy_layers
from density_ops import Gate, Kraus
from timing import cupy, device_copy_bandwidth

GOAL = 0.85


def state_copy_seconds(state, repeats):
    state.copy()  # warm-up
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        state.copy()  # the copy is dropped at once; its memory returns before the next
        best = min(best, time.perf_counter() - start)
    return best


def seconds_per_operation(state, n, op, repeats):
    """Wall time of one run of `repeats` operations (it ends with a device-wide
    synchronisation), per operation."""
    plexar.run_density_operations_device(state, n, [op])
    start = time.perf_counter()
    plexar.run_density_operations_device(state, n, [op] * repeats)
    return (time.perf_counter() - start) / repeats


def fusion_seconds(state, n, ops, fused, repeats):
    """Median wall time of a run of `ops`, fused or not, after one warm-up run."""
    if fused:
        os.environ["ZORVANE_DENSITY_FUSION"] = "1"
    else:
        os.environ.pop("ZORVANE_DENSITY_FUSION", None)
    plexar.run_density_operations_device(state, n, ops)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        plexar.run_density_operations_device(state, n, ops)
        times.append(time.perf_counter() - start)
    os.environ.pop("ZORVANE_DENSITY_FUSION", None)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, default=14)
    parser.add_argument("--repeats", type=int, default=20)
    args = parser.parse_args()
    n, repeats = args.qubits, args.repeats
    if plexar.backend != "cuda":
        print(f"plexar backend: {plexar.backend}: a trial run of the script, not a GPU figure")
    state = plexar.DeviceDensityState.zero_state(n, "complex128")
    nbytes = 16 * 4**n
    if cupy is not None and plexar.backend == "cuda":
        copy_bandwidth, how = device_copy_bandwidth(nbytes, repeats), "CuPy device copy"
    else:
        copy_bandwidth = 2 * nbytes / state_copy_seconds(state, max(3, repeats // 4))
        how = "DeviceDensityState.copy(), allocation included"
    print(f"RESULT copy n={n} complex128 ({nbytes / 2**30:.2f} GiB): {copy_bandwidth / 1e9:.0f} GB/s ({how})")
    flip = np.array([np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])])
    worst = float("inf")
    for target in (0, n // 2, n - 1):
        for label, op in (("unitary h", Gate("h", target)), ("channel bit_flip", Kraus(target, flip, "bit_flip"))):
            bandwidth = 2 * nbytes / seconds_per_operation(state, n, op, repeats)
            fraction = bandwidth / copy_bandwidth
            worst = min(worst, fraction)
            print(f"RESULT {label} n={n} complex128 target {target}: {bandwidth / 1e9:.0f} GB/s, "
                  f"{100 * fraction:.1f}% of the copy")
    verdict = "pass" if worst >= GOAL else "BELOW GOAL"
    print(f"RESULT density bandwidth: lowest {100 * worst:.1f}% of the copy, goal {100 * GOAL:.0f}%: {verdict}")

    ops = noisy_layers(n, 2)
    groups = len(plexar._density_fusion_groups(n, ops))
    unfused = fusion_seconds(state, n, ops, False, max(3, repeats // 4))
    fused = fusion_seconds(state, n, ops, True, max(3, repeats // 4))
    print(f"RESULT density fusion n={n} complex128, {len(ops)} operations in {groups} groups: unfused "
          f"{unfused * 1e3:.1f} ms, fused {fused * 1e3:.1f} ms, speedup {unfused / fused:.2f}"
          f"{'' if fused <= unfused else ' (FUSION SLOWER)'}")
    return 0 if worst >= GOAL or plexar.backend != "cuda" else 1


if __name__ == "__main__":
    raise SystemExit(main())
