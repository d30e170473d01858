"""Gate throughput figures (a plain script, not a test).

(a) One-qubit H and RX on a 22-qubit complex128 state held in a DeviceState,
    PairAuto mode, against a vectorised NumPy application of the same matrix,
    for a low and a high target.
(b) Per-gate cost of a long gate list on a 2-qubit state: dominated by parsing
    the dictionaries, but every gate also makes one (tiny) launch.

Usage: python benchmarks/bench_gates.py [--qubits 22] [--repeats 5]
"""

import argparse
import platform

import numpy as np

import stavex
from timing import best_seconds, median_seconds


def numpy_one_qubit(v, m, target):
    """The 2x2 matrix m on qubit `target` of v, vectorised: pairs lie 2**target apart."""
    r = v.reshape(-1, 2, 2**target)
    out = np.empty_like(r)
    out[:, 0, :] = m[0, 0] * r[:, 0, :] + m[0, 1] * r[:, 1, :]
    out[:, 1, :] = m[1, 0] * r[:, 0, :] + m[1, 1] * r[:, 1, :]
    return out.reshape(-1)


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": list(parameter)}


def bench_one_qubit(n, repeats):
    rng = np.random.default_rng(0)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    v /= np.linalg.norm(v)
    theta = 0.7
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    matrices = {"h": np.array([[1, 1], [1, -1]]) / np.sqrt(2),
                "rx": np.array([[c, -1j * s], [-1j * s, c]])}
    params = {"h": [], "rx": [theta]}
    print(f"(a) one-qubit gates, n={n}, complex128, PairAuto, median of {repeats} runs")
    print(f"    {'gate':<4} {'target':>6} {'stavex ms':>10} {'numpy ms':>10} {'numpy/stavex':>13} {'max |diff|':>11}")
    state = stavex.DeviceState.from_numpy(n, v)
    for name in ("h", "rx"):
        for target in (0, n - 1):
            g = [gate(name, [target], parameter=params[name])]
            ours = median_seconds(lambda: stavex.run_circuit_device(state, g, mode=stavex.PairAuto), repeats)
            ref = median_seconds(lambda: numpy_one_qubit(v, matrices[name], target), repeats)
            # one more application each, from the same input, to show they agree
            check = stavex.DeviceState.from_numpy(n, v)
            stavex.run_circuit_device(check, g, mode=stavex.PairAuto)
            diff = np.max(np.abs(check.to_numpy() - numpy_one_qubit(v, matrices[name], target)))
            print(f"    {name:<4} {target:>6} {ours * 1e3:>10.2f} {ref * 1e3:>10.2f} {ref / ours:>13.2f} {diff:>11.1e}")


def parsing_seconds(count, repeats):
    """(parsing, parsing and running) seconds per gate of a list of `count` cx
    gates on a 2-qubit state, the fastest of `repeats` runs each."""
    gates = [gate("cx", [1], [0], [1]) for _ in range(count)]
    state = stavex.DeviceState.zero_state(2)

    # The whole list is parsed before anything runs, so a list whose first gate
    # fails its dispatch check costs the parsing of every gate and one check.
    failing_first = [gate("rx", [0])] + gates

    def parse_only():
        try:
            stavex.run_circuit_device(state, failing_first)
        except ValueError:
            pass

    parsing = best_seconds(parse_only, repeats)
    running = best_seconds(lambda: stavex.run_circuit_device(state, gates, mode=stavex.PairAuto), repeats)
    return parsing / count, running / count


def bench_parsing(count, repeats):
    parsing, running = parsing_seconds(count, repeats)
    print(f"(b) {count} cx gates (one target, one control), fastest of {repeats} runs:")
    print(f"    parsing only:            {parsing * 1e6:.2f} us per gate")
    print(f"    parsing and running on a 2-qubit state: {running * 1e6:.2f} us per gate")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, default=22)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--gates", type=int, default=100_000)
    args = parser.parse_args()
    print(f"stavex backend: {stavex.backend}; host: {platform.processor() or platform.machine()}, "
          f"numpy {np.__version__}")
    bench_one_qubit(args.qubits, args.repeats)
    bench_parsing(args.gates, max(3, args.repeats // 2))


if __name__ == "__main__":
    main()
