"""Fusion figures (a plain script, not a test).

(a) Planning cost per gate: a 100,000-gate layered random circuit on 30 qubits
    through prepare_fusion_chunk_gates with the default options, against the
    same call with max_gates_per_group=0 (parsing the gate objects and a
    trivial one-gate-per-group plan). The difference is the cost of the group
    searches, records and cost model beyond that trivial plan; the C++
    planner_bench (tests/cpp, built on request) times the planner alone.
(b) Gates per pass over the state for depth-20 layered random circuits on 24
    to 30 qubits, from the default plan (an AutoPair or SparseShareMem group is
    one pass, a DenseMM group three).
(c) PairAutoFusion against PairAuto on one state: a 22-qubit, depth-20 random
    circuit in complex128 (on the CPU execution layer in a CPU build), one run
    each, and the ratio.

Usage: python benchmarks/bench_fusion.py [--qubits 22] [--depth 20] [--plan-gates 100000]
"""

import argparse
import platform
import time

import stavex
from random_circuits import as_objects, layered_random_circuit, passes


def planning(gate_count, n=30):
    layers = -(-gate_count // (n + n // 2))
    gates = as_objects(layered_random_circuit(n, layers, seed=1)[:gate_count])
    best = {}
    for label, options in (("parse", {"max_gates_per_group": 0}), ("plan", {})):
        times = []
        for _ in range(7):  # the best of several: a shared machine's neighbours add only delay
            t = time.perf_counter()
            stavex.prepare_fusion_chunk_gates(n, gates, **options)
            times.append(time.perf_counter() - t)
        best[label] = min(times)
    per_gate = (best["plan"] - best["parse"]) / gate_count * 1e6
    print(f"RESULT planning {gate_count} gates on {n} qubits: prepare {best['plan'] * 1e6 / gate_count:.2f} us/gate, "
          f"of which parsing and a trivial plan {best['parse'] * 1e6 / gate_count:.2f}: grouping beyond that "
          f"{per_gate:.2f} us/gate")


def gates_per_pass(depth):
    for n in range(24, 31, 2):
        gates = layered_random_circuit(n, depth, seed=n)
        groups = stavex._fusion_chunk_groups(stavex.prepare_fusion_chunk_gates(n, as_objects(gates)))
        kinds = [kind for kind, _, _ in groups]
        print(f"RESULT gates per pass n={n} depth={depth}: {len(gates) / passes(groups):.1f} "
              f"({len(gates)} gates; groups: {kinds.count(0)} AutoPair, {kinds.count(1)} SparseShareMem, "
              f"{kinds.count(2)} DenseMM)")


def fusion_ratio(n, depth, dtype):
    gates = layered_random_circuit(n, depth, seed=7)
    seconds = {}
    for mode in (stavex.PairAuto, stavex.PairAutoFusion):
        s = stavex.DeviceState.zero_state(n, dtype=dtype)
        stavex.run_circuit_device(s, gates[:1], mode=mode)  # first-use costs outside the timing
        t = time.perf_counter()
        stavex.run_circuit_device(s, gates, mode=mode)
        s.to_numpy()[:1]  # waits for the device
        seconds[mode.name] = time.perf_counter() - t
        del s
    ratio = seconds["PairAuto"] / seconds["PairAutoFusion"]
    print(f"RESULT {stavex.backend} n={n} depth={depth} {dtype} ({len(gates)} gates): "
          f"PairAuto {seconds['PairAuto']:.2f} s, PairAutoFusion {seconds['PairAutoFusion']:.2f} s, "
          f"speedup {ratio:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=22)
    parser.add_argument("--depth", type=int, default=20)
    parser.add_argument("--plan-gates", type=int, default=100_000)
    parser.add_argument("--dtype", default="complex128")
    args = parser.parse_args()
    print(f"stavex backend {stavex.backend} on {platform.machine()}, {platform.python_version()}")
    planning(args.plan_gates)
    gates_per_pass(args.depth)
    fusion_ratio(args.qubits, args.depth, args.dtype)


if __name__ == "__main__":
    main()
