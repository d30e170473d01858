"""GPU figures (run by scripts/gpu-check.sh on a CUDA build).

1. A one-qubit gate in PairAuto on a 30-qubit complex64 state, as bandwidth
   (bytes read and written per second), against a device-to-device copy of the
   same size measured in the same run (through CuPy, when it is installed).
2. A 32-qubit complex64 state (32 GiB): gates whose results are known exactly,
   read back through measurement, so amplitude indices above 2**31 are used in
   every kernel mode.
"""
import time

import stavex
from timing import cupy, device_copy_bandwidth

assert stavex.backend == "cuda", "needs a CUDA build"


def synchronize():
    if cupy is not None:
        cupy.cuda.runtime.deviceSynchronize()


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": list(parameter)}


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


if __name__ == "__main__":
    n = 30
    copy = device_copy_bandwidth(8 << n) if cupy is not None else None
    for target in (0, 5, 29):
        bw = gate_bandwidth(n, target)
        if copy:
            print(f"RESULT h PairAuto n=30 complex64 target {target}: {bw / 1e9:.0f} GB/s, "
                  f"{100 * bw / copy:.1f}% of device copy {copy / 1e9:.0f} GB/s")
        else:
            print(f"RESULT h PairAuto n=30 complex64 target {target}: {bw / 1e9:.0f} GB/s (no CuPy: no copy figure)")
    ok, detail = check_32_qubits()
    print(f"RESULT 32-qubit complex64 exact checks: {'pass' if ok else 'FAIL'} {detail}")
    raise SystemExit(0 if ok else 1)
