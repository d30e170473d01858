"""Figures of the zorvane_gpu front-end.

translate: a Qiskit circuit of 100,000 gates (layers of random one-qubit
gates and CX/CZ pairs) translated to the neutral gate list and planned into
fused chunks as `run` plans them; microseconds per gate, best of --repeats.
Target: at most 2 us per gate for translation plus planning.

stream: a 24-qubit, 10,000-gate circuit run twice through `zorvane_gpu.run`
in one process, once with the next chunk planned on a worker thread while the
current one executes and once with every chunk planned first. Target: the
overlapped run is not slower. On the CPU layer the planning thread shares the
host's cores with the kernels, so overlapping can at best break even there;
on a GPU it hides the planning behind the device's work.

    python benchmarks/bench_frontend.py translate
    python benchmarks/bench_frontend.py stream [--qubits 24 --gates 10000 --dtype complex64]
"""
import argparse
import time

import numpy as np
from qiskit import QuantumCircuit

import stavex
import zorvane_gpu
from zorvane_gpu.execute import DEFAULT_CHUNK_GATES
from zorvane_gpu.translate import translate


def layered_circuit(n, gates, seed=0):
    """Layers of one random gate per qubit (fixed, rotation or U), then CX or CZ
    on a random pairing of the qubits, until `gates` gates."""
    rng = np.random.default_rng(seed)
    circuit = QuantumCircuit(n)
    fixed = [circuit.h, circuit.x, circuit.s, circuit.sdg, circuit.sx, circuit.t]
    rotations = [circuit.rx, circuit.ry, circuit.rz, circuit.p]
    while len(circuit.data) < gates:
        for q in range(n):
            kind = rng.integers(3)
            if kind == 0:
                fixed[rng.integers(len(fixed))](q)
            elif kind == 1:
                rotations[rng.integers(len(rotations))](float(rng.uniform(-np.pi, np.pi)), q)
            else:
                circuit.u(*map(float, rng.uniform(-np.pi, np.pi, 3)), q)
        order = rng.permutation(n)
        for a, b in zip(order[0::2], order[1::2]):
            (circuit.cx if rng.integers(2) else circuit.cz)(int(a), int(b))
    return circuit


def bench_translate(args):
    circuit = layered_circuit(args.qubits, args.gates, seed=1)
    count = circuit.size()
    best_translate = best_plan = float("inf")
    for _ in range(args.repeats):
        start = time.perf_counter()
        gates = translate(circuit).instructions
        translated = time.perf_counter()
        for i in range(0, len(gates), DEFAULT_CHUNK_GATES):
            stavex.prepare_fusion_chunk_gates(args.qubits, gates[i:i + DEFAULT_CHUNK_GATES])
        planned = time.perf_counter()
        best_translate = min(best_translate, translated - start)
        best_plan = min(best_plan, planned - translated)
    start = time.perf_counter()
    zorvane_gpu.to_gate_ir(circuit)
    dictionaries = time.perf_counter() - start
    per_gate = 1e6 / count
    print(f"translate + plan, {count} gates on {args.qubits} qubits (best of {args.repeats}):")
    print(f"  translate {best_translate * per_gate:.2f} us/gate, plan {best_plan * per_gate:.2f} us/gate, "
          f"together {(best_translate + best_plan) * per_gate:.2f} us/gate (target <= 2)")
    print(f"  to_gate_ir (dictionaries, once) {dictionaries * per_gate:.2f} us/gate")


def bench_stream(args):
    circuit = layered_circuit(args.qubits, args.gates, seed=2)
    print(f"stream: {circuit.size()} gates on {args.qubits} qubits, {args.dtype}, chunks of {args.chunk} gates, "
          f"backend {stavex.backend}")
    totals = {True: [], False: []}
    for round_ in range(args.repeats):
        # Alternate the order so that a drift in machine load affects both.
        for overlap in ((True, False) if round_ % 2 == 0 else (False, True)):
            result = zorvane_gpu.run(circuit, dtype=args.dtype, statevector=False, chunk_gates=args.chunk,
                                     overlap_planning=overlap)
            t = result.timings
            totals[overlap].append(t["total_s"])
            label = "overlapped   " if overlap else "planned first"
            print(f"  {label} total {t['total_s']:.3f} s (plan {t['plan_s']:.3f} s, execute {t['execute_s']:.3f} s)",
                  flush=True)
    best = {k: min(v) for k, v in totals.items()}
    print(f"  best: overlapped {best[True]:.3f} s, planned first {best[False]:.3f} s, "
          f"overlapped/first = {best[True] / best[False]:.3f} (target <= 1)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("which", choices=["translate", "stream"])
    parser.add_argument("--qubits", type=int)
    parser.add_argument("--gates", type=int)
    parser.add_argument("--repeats", type=int)
    parser.add_argument("--dtype", default="complex64")
    parser.add_argument("--chunk", type=int, default=DEFAULT_CHUNK_GATES)
    args = parser.parse_args()
    if args.which == "translate":
        args.qubits, args.gates, args.repeats = args.qubits or 24, args.gates or 100_000, args.repeats or 5
        bench_translate(args)
    else:
        args.qubits, args.gates, args.repeats = args.qubits or 24, args.gates or 10_000, args.repeats or 1
        bench_stream(args)


if __name__ == "__main__":
    main()
