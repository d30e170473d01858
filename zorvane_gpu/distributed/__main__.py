"""Runs one circuit on a DistributedState over all ranks of COMM_WORLD, one
rank per GPU; started by scripts/run-distributed.sh, or directly with
`mpirun -n <ranks> python -m mpi4py -m zorvane_gpu.distributed CIRCUIT ...`.

CIRCUIT is an OpenQASM file (read by the front-end, zorvane_gpu.load_qasm and
to_gate_ir, which need Qiskit; measurements and classical parts are left out:
the state is sampled at the end instead) or a JSON file {"n": qubits, "gates":
gate_ir list}, a matrix given as nested [real, imaginary] pairs. Rank 0 prints
one JSON object: counts (with --shots), swaps, exchanges, bytes exchanged and
the seconds spent in gates and exchanges.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from typing import Any, Sequence

import numpy as np
import stavex
from mpi4py import MPI

from .state import DistributedState


def read_circuit(path: str) -> tuple[int, list[dict[str, Any]]]:
    if path.endswith(".json"):
        with open(path) as file:
            data = json.load(file)
        gates = data["gates"]
        for g in gates:
            if "matrix" in g:
                g["matrix"] = np.array(g["matrix"], dtype=float).view(complex)[..., 0]
        return int(data["n"]), gates
    try:
        from zorvane_gpu import load_qasm, to_gate_ir
    except ImportError:
        raise SystemExit("reading OpenQASM needs the zorvane_gpu front-end (zorvane_gpu.load_qasm, to_gate_ir) "
                         "and Qiskit; give the circuit as JSON gate_ir instead") from None
    circuit = load_qasm(path).remove_final_measurements(inplace=False)
    return circuit.num_qubits, to_gate_ir(circuit)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zorvane_gpu.distributed", description=__doc__.split("\n\n")[0])
    parser.add_argument("circuit", help="an OpenQASM file, or JSON {'n': qubits, 'gates': gate_ir}")
    parser.add_argument("--shots", type=int, default=0, help="draws on the measured qubits after the run")
    parser.add_argument("--measure", type=lambda text: [int(q) for q in text.split(",")], default=None,
                        help="comma-separated qubits to sample (default: all)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--dtype", choices=["complex64", "complex128"], default="complex64")
    parser.add_argument("--mode", choices=list(stavex.KernelMode.__members__), default="PairAutoFusion")
    parser.add_argument("--exchange-buffer-mib", type=int, default=64, help="staging memory per rank for exchanges")
    args = parser.parse_args(argv)

    comm = MPI.COMM_WORLD
    n, gates = read_circuit(args.circuit)
    start = time.perf_counter()
    state = DistributedState.zero_state(n, comm, dtype=args.dtype, exchange_buffer_bytes=args.exchange_buffer_mib << 20)
    state.run(gates, mode=stavex.KernelMode.__members__[args.mode])
    report: dict[str, Any] = {
        "qubits": n, "ranks": comm.Get_size(), "gates": len(gates), "swaps": state.swap_count,
        "exchanges": state.exchange_count, "bytes_exchanged": state.bytes_exchanged, "cuda_aware": state.cuda_aware,
    }
    if args.shots:
        targets = args.measure if args.measure is not None else list(range(n))
        counts, _ = state.sample(targets, args.shots, seed=args.seed, collapse_last=False)
        report["counts"] = dict(sorted(counts.items(), key=lambda item: -item[1]))
    comm.Barrier()
    seconds = comm.gather(state.seconds, root=0)  # None except on rank 0
    if seconds is not None:
        report["seconds"] = {"wall": time.perf_counter() - start,
                             **{k: max(s[k] for s in seconds) for k in seconds[0]}}
        json.dump(report, sys.stdout, indent=1)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
