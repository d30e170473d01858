"""Density fusion figures on noisy layered circuits (a plain script, not a test).

Each layer applies a one-qubit gate to every qubit, each followed by a noise
channel on its qubit, then two-qubit gates (cx, cz) on neighbouring pairs,
each followed by a channel on both of its qubits. The circuit runs on an
n-qubit complex128 density matrix (default n = 10 .. 14) once with
ZORVANE_DENSITY_FUSION unset and once with it set, in the same process:

- operations per pass over rho: the operations of the circuit divided by the
  kernel launches the run took (every launch reads and writes rho once), on
  the CPU execution layer from its launch count;
- the time of each run (the fastest of --repeats, unfused and fused runs
  alternating) and their ratio (unfused / fused: above 1 means fusion is
  faster);
- the largest difference between the two results (up to n = --check-qubits;
  larger sizes are not downloaded twice).

Usage: python benchmarks/bench_density_fusion.py [--qubits 10 11 12 13 14] [--layers 2] [--repeats 2]
"""

import argparse
import os
import platform
import time

import numpy as np

import plexar
from density_ops import Gate, Kraus

PAULIS = [np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])]
CHANNELS = {
    "depolarizing": lambda p: [np.sqrt(1 - 3 * p / 4) * np.eye(2)] + [np.sqrt(p / 4) * m for m in PAULIS],
    "amplitude_damping": lambda p: [np.diag([1, np.sqrt(1 - p)]), np.sqrt(p) * np.array([[0, 1], [0, 0]])],
    "phase_damping": lambda p: [np.sqrt(1 - p) * np.eye(2)] + [np.sqrt(p) * np.diag(d) for d in ([1, 0], [0, 1])],
}


def noisy_layers(n, layers, seed=0):
    """Per layer: a random one-qubit gate on every qubit, then cx or cz on
    neighbouring pairs (offset by one every other layer); every gate is
    followed by a channel with p = 0.01 on each of its qubits."""
    rng = np.random.default_rng(seed)
    names = sorted(CHANNELS)

    def noise(q):
        name = names[rng.integers(len(names))]
        return Kraus(q, np.array(CHANNELS[name](0.01), dtype=complex), name)

    ops = []
    for layer in range(layers):
        for q in range(n):
            gate = ["h", "rx", "ry", "rz", "u"][rng.integers(5)]
            count = {"h": 0, "u": 3}.get(gate, 1)
            ops += [Gate(gate, q, parameter=rng.uniform(-np.pi, np.pi, count)), noise(q)]
        for a in range(layer % 2, n - 1, 2):
            ops += [Gate(["cx", "cz"][rng.integers(2)], a + 1, [a]), noise(a), noise(a + 1)]
    return ops


def timed_run(n, ops, fused, dtype):
    if fused:
        os.environ["ZORVANE_DENSITY_FUSION"] = "1"
    else:
        os.environ.pop("ZORVANE_DENSITY_FUSION", None)
    state = plexar.DeviceDensityState.zero_state(n, dtype)
    counted = hasattr(plexar, "_cpu_layer_launch_count")
    before = plexar._cpu_layer_launch_count() if counted else 0
    start = time.perf_counter()
    plexar.run_density_operations_device(state, n, ops)
    seconds = time.perf_counter() - start
    passes = plexar._cpu_layer_launch_count() - before if counted else None
    return state, seconds, passes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=[10, 11, 12, 13, 14])
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=2, help="runs of each kind; the fastest is reported")
    parser.add_argument("--check-qubits", type=int, default=13)
    parser.add_argument("--dtype", default="complex128", choices=["complex64", "complex128"])
    args = parser.parse_args()
    print(f"plexar backend: {plexar.backend}; host: {platform.processor() or platform.machine()}, "
          f"{os.cpu_count()} CPUs; {args.dtype}; {args.layers} noisy layers")
    print(f"{'n':>3} {'ops':>5} {'groups':>6} {'passes off':>10} {'passes on':>9} {'ops/pass off':>12} "
          f"{'ops/pass on':>11} {'s off':>8} {'s on':>8} {'off/on':>7} {'max |diff|':>10}")
    worst = float("inf")
    for n in args.qubits:
        ops = noisy_layers(n, args.layers)
        groups = len(plexar._density_fusion_groups(n, ops))
        runs = {False: None, True: None}
        # Unfused and fused runs alternate (off, on, then on, off, ...) and the
        # fastest of each counts, so that a change of the machine's load
        # during the measurement does not fall on one side only.
        for r in range(args.repeats):
            for fused in ((False, True) if r % 2 == 0 else (True, False)):
                state, seconds, passes = timed_run(n, ops, fused, args.dtype)
                if runs[fused] is None or seconds < runs[fused][1]:
                    runs[fused] = (state if n <= args.check_qubits else None, seconds, passes)
                del state
        off, on = runs[False], runs[True]
        diff = (f"{np.max(np.abs(off[0].to_numpy() - on[0].to_numpy())):10.1e}" if off[0] is not None else
                f"{'-':>10}")
        ratio = off[1] / on[1]
        worst = min(worst, ratio)
        per = lambda passes: f"{len(ops) / passes:.2f}" if passes else "-"  # noqa: E731
        print(f"{n:>3} {len(ops):>5} {groups:>6} {off[2] or '-':>10} {on[2] or '-':>9} {per(off[2]):>12} "
              f"{per(on[2]):>11} {off[1]:>8.2f} {on[1]:>8.2f} {ratio:>7.2f} {diff}")
        del runs, off, on
    print(f"RESULT density fusion time ratio (unfused / fused), lowest over n = {args.qubits}: {worst:.2f}"
          f" ({'fusion not slower' if worst >= 1 else 'FUSION SLOWER'})")


if __name__ == "__main__":
    main()
