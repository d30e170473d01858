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
from timing import best_seconds


def planning_seconds(gate_count, n=30):
    """Seconds per gate of prepare_fusion_chunk_gates on a `gate_count`-gate
    layered random circuit: with the default options ("plan") and with
    max_gates_per_group=0 ("parse": parsing and a trivial plan)."""
    layers = -(-gate_count // (n + n // 2))
    gates = as_objects(layered_random_circuit(n, layers, seed=1)[:gate_count])
    best = {}
    for label, options in (("parse", {"max_gates_per_group": 0}), ("plan", {})):
        # the best of several: a shared machine's neighbours add only delay
        best[label] = best_seconds(lambda: stavex.prepare_fusion_chunk_gates(n, gates, **options), 7) / gate_count
    return best


def planning(gate_count, n=30):
    best = planning_seconds(gate_count, n)
    print(f"RESULT planning {gate_count} gates on {n} qubits: prepare {best['plan'] * 1e6:.2f} us/gate, "
          f"of which parsing and a trivial plan {best['parse'] * 1e6:.2f}: grouping beyond that "
          f"{(best['plan'] - best['parse']) * 1e6:.2f} us/gate")


def plan_summary(gates, n):
    """The default plan of a gate_ir list: its groups by kind, passes over
    the state and gates per pass."""
    groups = stavex._fusion_chunk_groups(stavex.prepare_fusion_chunk_gates(n, as_objects(gates)))
    kinds = [kind for kind, _, _ in groups]
    count = passes(groups)
    return {"gates": len(gates), "groups": len(groups), "auto_pair_groups": kinds.count(0),
            "sparsesharemem_groups": kinds.count(1), "densemm_groups": kinds.count(2), "passes": count,
            "gates_per_pass": len(gates) / count if count else None}


def gates_per_pass(depth):
    for n in range(24, 31, 2):
        plan = plan_summary(layered_random_circuit(n, depth, seed=n), n)
        print(f"RESULT gates per pass n={n} depth={depth}: {plan['gates_per_pass']:.1f} "
              f"({plan['gates']} gates; groups: {plan['auto_pair_groups']} AutoPair, "
              f"{plan['sparsesharemem_groups']} SparseShareMem, {plan['densemm_groups']} DenseMM)")


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
