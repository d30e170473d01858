"""Figures of the distributed state vector (zorvane_gpu.distributed).

1. `plan`: swaps, exchanges and bytes exchanged by the look-ahead planner
   against the naive strategy (swap in before each gate on a global qubit,
   swap back after it), planned on the host without running anything: 30-qubit
   QFT, layered random circuits and circuits read from OpenQASM 2 (Qiskit's
   library circuits written out and read back by Qiskit's qasm2 loader), on 8
   ranks, from |0..0> (qubits known to be |0> move by relabelling) and from a
   state with nothing known. Aim: at least 3x fewer bytes for QFT and layered.
2. `weak`: weak scaling on the CPU layer, 2**18 amplitudes per rank on 1, 2
   and 4 ranks (mpirun): time per gate and the share of it spent exchanging.
3. `model`: a MODEL (nothing measured on a GPU) of the same circuits on H100s,
   one rank per GPU, 8 per node: local passes at a gate bandwidth (by default
   an assumed 90% of 3.35 TB/s HBM3; pass the figure scripts/gpu-check.sh
   prints with --gate-bandwidth), exchanges over NVLink (450 GB/s per
   direction per GPU) between ranks of a node and InfiniBand NDR (50 GB/s per
   GPU) between nodes, transfers not overlapped with gates.

Usage: python benchmarks/bench_distributed.py [plan] [weak] [model]
       [--depth 20] [--gate-bandwidth GBps]  (all three by default)
"""
import argparse
import math
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path


sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # zorvane_gpu from the source tree if not installed

from random_circuits import gate, layered_random_circuit  # noqa: E402
from zorvane_gpu.distributed.gates import local_gate, read_gate_list  # noqa: E402
from zorvane_gpu.distributed.planner import Exchange, Layout, plan_gates  # noqa: E402

RANKS = 8
HBM_BANDWIDTH = 0.9 * 3.35e12
NVLINK = 450e9
INFINIBAND = 50e9
GPUS_PER_NODE = 8


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(gate("h", [j]))
        gates += [gate("cp", [k], [j], [1], [math.pi / 2 ** (j - k)]) for k in reversed(range(j))]
    return gates + [gate("swap", [a, n - 1 - a]) for a in range(n // 2)]


# ---- circuits read from OpenQASM 2 --------------------------------------------

QASM_NAMES = {"h": "h", "x": "x", "y": "y", "z": "z", "s": "s", "sdg": "s_dag", "t": "t", "tdg": "t_dag",
              "sx": "sx", "sxdg": "sxdg", "rx": "rx", "ry": "ry", "rz": "rz", "p": "p", "u1": "p",
              "u": "u", "u3": "u", "cx": "cx", "cz": "cz", "cp": "cp", "cu1": "cp", "swap": "swap", "ccx": "mcx"}


def qasm_circuits(n):
    """Qiskit library circuits written as OpenQASM 2 and read back by qiskit.qasm2;
    None without Qiskit. (zorvane_gpu's own translation lives in the front-end;
    this small table of names is enough for these circuits.)"""
    try:
        from qiskit import QuantumCircuit, qasm2, transpile
        from qiskit.circuit.library import QFTGate, quantum_volume
        from qiskit.circuit.random import random_circuit
    except ImportError:
        return None
    basis = ["h", "x", "s", "sdg", "t", "tdg", "sx", "rz", "ry", "p", "u", "cx", "cz", "cp", "swap"]
    qft_circuit = QuantumCircuit(n)
    qft_circuit.append(QFTGate(n), range(n))
    library = {
        "qasm qft": qft_circuit,
        "qasm quantum volume d8": quantum_volume(n, 8, seed=3),
        "qasm random d12": random_circuit(n, 12, max_operands=2, seed=4),
    }
    out = {}
    for name, circuit in library.items():
        text = qasm2.dumps(transpile(circuit, basis_gates=basis, optimization_level=0, seed_transpiler=1))
        loaded = qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
        gates = []
        for instruction in loaded.data:
            op = instruction.operation
            qubits = [loaded.find_bit(q).index for q in instruction.qubits]
            params = [float(p) for p in op.params]
            if op.name in ("barrier", "measure"):
                continue
            if op.name == "u1":
                params = params[:1]
            name_ir = QASM_NAMES[op.name]
            if name_ir in ("cx", "cz", "cp", "mcx"):
                gates.append(gate(name_ir, qubits[-1:], qubits[:-1], [1] * (len(qubits) - 1), params))
            else:
                gates.append(gate(name_ir, qubits, parameter=params))
        out[name] = gates
    return out


def circuits(n, depth):
    found = {"qft": qft(n), f"layered d{depth}": layered_random_circuit(n, depth, seed=7)}
    found.update(qasm_circuits(n) or {})
    return found


# ---- 1. planning figures -------------------------------------------------------


def plan_figures(n, depth, itemsize=8):
    g = RANKS.bit_length() - 1
    print(f"== swap planning, {n} qubits on {RANKS} ranks, complex64 (host only, nothing runs) ==")
    print(f"{'circuit':31} {'start':7} {'gates':>6} | {'naive swaps':>11} {'exch':>5} {'GiB':>8} | "
          f"{'look-ahead swaps':>16} {'exch':>5} {'GiB':>8} {'local swaps':>11} | {'fewer bytes':>11} {'plan s':>6}")
    for name, gates in circuits(n, depth).items():
        records = read_gate_list(n, n - g, gates)
        for start, layout in (("zero", Layout.zero_state(n, g)), ("unknown", Layout(n, g))):
            naive = plan_gates(records, layout, "naive")
            t = time.perf_counter()
            look = plan_gates(records, layout)
            seconds = time.perf_counter() - t
            nb, lb = naive.bytes_exchanged(itemsize), look.bytes_exchanged(itemsize)
            ratio = f"{nb / lb:10.1f}x" if lb else "  no bytes"
            print(f"RESULT {name:24} {start:7} {len(gates):6} | {naive.swap_count:11} {len(naive.exchanges):5} "
                  f"{nb / 2**30:8.1f} | {look.swap_count:16} {len(look.exchanges):5} {lb / 2**30:8.1f} "
                  f"{look.local_swaps:11} | {ratio:>11} {seconds:6.2f}")


# ---- 2. weak scaling on the CPU layer ------------------------------------------

LOCAL_QUBITS = 18


def weak_rank(depth):
    """One mpirun's work: a layered circuit on 18 + g qubits, timed on every rank."""
    import stavex
    from mpi4py import MPI

    from zorvane_gpu.distributed import DistributedState

    comm = MPI.COMM_WORLD
    g = comm.Get_size().bit_length() - 1
    n = LOCAL_QUBITS + g
    gates = layered_random_circuit(n, depth, seed=11)
    state = DistributedState.zero_state(n, dtype="complex128")
    state.run(gates[:n])  # first-use costs; leaves qubits of unknown value, as any later run finds them
    before = state.seconds
    swaps, exchanged = state.swap_count, state.bytes_exchanged
    comm.Barrier()
    t = time.perf_counter()
    state.run(gates, mode=stavex.PairAuto)
    comm.Barrier()
    wall = time.perf_counter() - t
    spent = {k: v - before[k] for k, v in state.seconds.items()}
    exchange = comm.allreduce(spent["exchange"], op=MPI.MAX)
    local = comm.allreduce(spent["local"], op=MPI.MAX)
    if comm.Get_rank() == 0:
        print(f"RESULT weak ranks={comm.Get_size()} n={n} gates={len(gates)} swaps={state.swap_count - swaps} "
              f"exchanged={(state.bytes_exchanged - exchanged) / 2**20:.0f} MiB: {wall / len(gates) * 1e6:.0f} us per "
              f"gate, {100 * exchange / wall:.0f}% exchanging, {100 * local / wall:.0f}% in gates", flush=True)


def weak_figures(depth):
    mpirun = shutil.which("mpirun")
    if mpirun is None:
        print("weak scaling: no mpirun, skipped")
        return
    print(f"== weak scaling, CPU layer, 2**{LOCAL_QUBITS} complex128 amplitudes per rank, one thread per rank, "
          f"layered depth {depth}; {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f} ==")
    env = dict(os.environ, ZORVANE_CPU_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_btl_vader_single_copy_mechanism="none")
    for ranks in (1, 2, 4):
        subprocess.run([mpirun, "-n", str(ranks), "--oversubscribe", sys.executable, "-m", "mpi4py", __file__,
                        "weak-rank", "--depth", str(depth)], env=env, check=True, timeout=1800)


# ---- 3. the H100 model ---------------------------------------------------------


def exchange_seconds(step, local_count, itemsize, rank=0):
    """Pairwise exchange of one rank: 2**k - 1 blocks, each over NVLink when the
    partner shares the node, else over InfiniBand."""
    block = itemsize << (local_count - step.qubits)
    node_bits = GPUS_PER_NODE.bit_length() - 1
    seconds = 0.0
    for distance in range(1, 1 << step.qubits):
        partner_bits = [step.global_positions[i] - local_count for i in range(step.qubits) if distance >> i & 1]
        seconds += block / (INFINIBAND if max(partner_bits) >= node_bits else NVLINK)
    return seconds


def model_figures(depth, gate_bandwidth):
    import stavex

    itemsize = 8
    print(f"== MODEL, not measured: H100s, {GPUS_PER_NODE} per node, complex64, local passes at "
          f"{gate_bandwidth / 1e9:.0f} GB/s, NVLink {NVLINK / 1e9:.0f} GB/s, InfiniBand {INFINIBAND / 1e9:.0f} GB/s "
          f"per GPU ==")
    for ranks, n in ((8, 34), (16, 35), (32, 36)):
        g = ranks.bit_length() - 1
        local = n - g
        local_bytes = itemsize << local
        for name, gates in circuits(n, depth).items():
            if name.startswith("qasm"):
                continue
            records = read_gate_list(n, local, gates)
            for strategy in ("naive", "lookahead"):
                plan = plan_gates(records, Layout.zero_state(n, g), strategy)
                gate_passes, fused_passes, comm = 0, 0, 0.0
                for step in plan.steps:
                    if isinstance(step, Exchange):
                        comm += exchange_seconds(step, local, itemsize)
                        continue
                    mine = [lg for lg in (local_gate(r, local, 0) for r in step.gates) if lg is not None]
                    gate_passes += len(mine)
                    chunk = stavex.prepare_fusion_chunk_gates(local, mine)
                    fused_passes += sum(3 if kind == 2 else 1 for kind, _, _ in stavex._fusion_chunk_groups(chunk))
                pass_seconds = 2 * local_bytes / gate_bandwidth
                for label, passes in (("PairAuto", gate_passes), ("fused", fused_passes)):
                    compute = passes * pass_seconds
                    print(f"MODEL {ranks:2} H100 n={n} {name:12} {strategy:9} {label:8}: {passes:5} passes "
                          f"{compute:6.2f} s + exchanges {comm:6.2f} s = {compute + comm:6.2f} s "
                          f"({100 * comm / (compute + comm):3.0f}% exchanging)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("parts", nargs="*", default=["plan", "weak", "model"])
    parser.add_argument("--depth", type=int, default=20)
    parser.add_argument("--gate-bandwidth", type=float, default=HBM_BANDWIDTH / 1e9,
                        help="GB/s read and written by one local gate pass on an H100 (default: an assumption)")
    args = parser.parse_args()
    for part in args.parts:
        if part == "plan":
            plan_figures(30, args.depth)
        elif part == "weak":
            weak_figures(args.depth)
        elif part == "weak-rank":
            weak_rank(args.depth)
        elif part == "model":
            model_figures(args.depth, args.gate_bandwidth * 1e9)
        else:
            parser.error(f"unknown part {part}")


if __name__ == "__main__":
    main()
