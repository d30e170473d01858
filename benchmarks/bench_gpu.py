"""GPU figures (run by scripts/gpu-check.sh on a CUDA build).

1. A one-qubit gate in PairAuto on a 30-qubit complex64 state, as bandwidth
   (bytes read and written per second), against a device-to-device copy of the
   same size measured in the same run (through CuPy, when it is installed).
2. Fusion: a 30-qubit, depth-20 layered random circuit in complex64 with
   PairAutoFusion against PairAuto, and the same circuit as a prepared chunk
   (planning and execution timed apart).
3. A 32-qubit complex64 state (32 GiB): gates whose results are known exactly,
   read back through measurement, so amplitude indices above 2**31 are used in
   every kernel mode.

`--qubits N` runs 1 and 2 at N qubits and skips 3 below 30 qubits; a CPU
build runs it too (with small N), so the script is known to work before it
meets a GPU.

Usage: python benchmarks/bench_gpu.py [--qubits 30] [--depth 20]
"""
import argparse
import time

import stavex
from random_circuits import as_objects, layered_random_circuit, passes
from timing import cupy, device_copy_bandwidth, synchronize


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": list(parameter)}


def fusion_figures(n, depth):
    gates = layered_random_circuit(n, depth, seed=30)
    seconds = {}
    for mode in (stavex.PairAuto, stavex.PairAutoFusion):
        s = stavex.DeviceState.zero_state(n, dtype="complex64")
        stavex.run_circuit_device(s, gates[:4], mode=mode)  # first-use costs (DenseMM cache, ...)
        synchronize()
        t = time.perf_counter()
        stavex.run_circuit_device(s, gates, mode=mode)
        synchronize()
        seconds[mode.name] = time.perf_counter() - t
        del s
    t = time.perf_counter()
    chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(gates))
    planning = time.perf_counter() - t
    groups = stavex._fusion_chunk_groups(chunk)
    s = stavex.DeviceState.zero_state(n, dtype="complex64")
    t = time.perf_counter()
    stavex.execute_prepared_fusion_chunk(s, chunk)
    executing = time.perf_counter() - t
    del s
    kinds = [kind for kind, _, _ in groups]
    print(f"RESULT fusion n={n} depth={depth} complex64 ({len(gates)} gates, {len(groups)} groups: "
          f"{kinds.count(0)} AutoPair, {kinds.count(1)} SparseShareMem, {kinds.count(2)} DenseMM; "
          f"{len(gates) / passes(groups):.1f} gates per pass)")
    print(f"RESULT fusion n={n}: PairAuto {seconds['PairAuto']:.3f} s, PairAutoFusion "
          f"{seconds['PairAutoFusion']:.3f} s, speedup {seconds['PairAuto'] / seconds['PairAutoFusion']:.2f}x "
          f"(aim: 0.25 s on an H100 at n=30; best published comparable figure 1.56 s on an A100)")
    print(f"RESULT fusion n={n} prepared chunk: planning {planning:.3f} s, execution {executing:.3f} s")


def gate_bandwidth(n, target, reps=20):
    s = stavex.DeviceState.zero_state(n, dtype="complex64")
    circuit = [gate("h", [target])] * reps
    stavex.run_circuit_device(s, circuit[:2])
    synchronize()
    t = time.perf_counter()
    stavex.run_circuit_device(s, circuit)
    synchronize()
    seconds = (time.perf_counter() - t) / reps
    del s
    return 2 * (8 << n) / seconds


def check_32_qubits():
    n = 32
    s = stavex.DeviceState.zero_state(n, dtype="complex64")
    results = []
    for mode in (stavex.AllState, stavex.Pair, stavex.PairAuto):
        stavex.run_circuit_device(s, [gate("x", [31])], mode=mode)
        results.append(stavex.measure_device(s, [31, 0], seed=1) == "10")
        stavex.run_circuit_device(s, [gate("x", [0], [31], [1]), gate("swap", [0, 30]),
                                      gate("x", [1], [31, 30], [1, 1])], mode=mode)
        results.append(stavex.measure_device(s, [31, 30, 1, 0], seed=1) == "1110")
        stavex.run_circuit_device(s, [gate("x", [1], [31, 30], [1, 1]), gate("swap", [30, 0]),
                                      gate("x", [0], [31], [1]), gate("x", [31])], mode=mode)
        results.append(stavex.measure_device(s, [31, 30, 1, 0], seed=1) == "0000")
    stavex.run_circuit_device(s, [gate("h", [31])])
    counts, _ = stavex.sample_measure_device(s, [31], 1000, seed=7, collapse_last=False)
    results.append(set(counts) == {"0", "1"} and sum(counts.values()) == 1000)
    return all(results), results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=30)
    parser.add_argument("--depth", type=int, default=20)
    args = parser.parse_args()
    n = args.qubits
    if stavex.backend != "cuda":
        print(f"NOTE stavex backend is {stavex.backend}: these are not GPU figures")
    copy = device_copy_bandwidth(8 << n) if cupy is not None else None
    for target in (0, 5, n - 1):
        bw = gate_bandwidth(n, target)
        if copy:
            print(f"RESULT h PairAuto n={n} complex64 target {target}: {bw / 1e9:.0f} GB/s, "
                  f"{100 * bw / copy:.1f}% of device copy {copy / 1e9:.0f} GB/s")
        else:
            print(f"RESULT h PairAuto n={n} complex64 target {target}: {bw / 1e9:.0f} GB/s (no CuPy: no copy figure)")
    fusion_figures(n, args.depth)
    if n < 30:
        print("RESULT 32-qubit complex64 exact checks: skipped below 30 qubits")
        return 0
    ok, detail = check_32_qubits()
    print(f"RESULT 32-qubit complex64 exact checks: {'pass' if ok else 'FAIL'} {detail}")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
