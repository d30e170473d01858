"""Density-matrix throughput figures (a plain script, not a test).

A one-qubit unitary (H, through the dense one-target kernel) and a one-qubit
channel (bit flip, through the built-in channel kernel) on an n-qubit
complex128 density matrix held in a DeviceDensityState, against NumPy applying
the same maps in the same run, each the fastest of these formulations:
  - unitary U rho U^dagger: two broadcast matrix products over the target axis
    of reshaped views; or the 2 x 2 products written out on the two halves of
    the target axis, rows then columns;
  - channel sum_K K rho K^dagger: the unitary formulations for every K, summed;
    or one einsum of the 4 x 4 superoperator over the target's 2 x 2 blocks.
Each figure is also given as a fraction of the speed of a plain copy of rho
(NumPy copyto into a preallocated array): one pass that reads and writes every
element once, as each of these kernels does.

Usage: python benchmarks/bench_density.py [--qubits 12] [--repeats 5]
"""

import argparse
import platform

import numpy as np

import plexar
from density_ops import Gate, Kraus
from timing import median_seconds


def split(rho, target):
    """rho as (A, 2, B·dim) for products on the row bit, and (dim·A, 2, B)
    for products on the column bit of qubit `target`."""
    dim = rho.shape[0]
    b = 2**target
    return rho.reshape(dim // (2 * b), 2, b * dim), rho.reshape(dim * dim // (2 * b), 2, b)


def numpy_unitary(rho, u, target):
    rows, _ = split(rho, target)
    left = np.matmul(u, rows).reshape(rho.shape)
    _, cols = split(left, target)
    return np.matmul(cols.transpose(0, 2, 1), u.conj().T).transpose(0, 2, 1).reshape(rho.shape)


def numpy_unitary_halves(rho, u, target):
    dim = rho.shape[0]
    b = 2**target
    a = dim // (2 * b)
    v = rho.reshape(a, 2, b, a, 2, b)
    left = np.empty_like(v)
    for i in range(2):
        left[:, i] = u[i, 0] * v[:, 0] + u[i, 1] * v[:, 1]
    out = np.empty_like(v)
    w = u.conj()
    for j in range(2):
        out[:, :, :, :, j] = left[:, :, :, :, 0] * w[j, 0] + left[:, :, :, :, 1] * w[j, 1]
    return out.reshape(rho.shape)


def numpy_kraus(rho, operators, target, unitary):
    return sum(unitary(rho, k, target) for k in operators)


def numpy_superoperator(rho, operators, target):
    dim = rho.shape[0]
    b = 2**target
    a = dim // (2 * b)
    s = sum(np.einsum("ik,jl->ijkl", k, k.conj()) for k in operators)
    blocks = rho.reshape(a, 2, b, a, 2, b)
    return np.einsum("ijkl,akbcld->aibcjd", s, blocks, optimize=True).reshape(rho.shape)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    n, repeats = args.qubits, args.repeats
    print(f"plexar backend: {plexar.backend}; host: {platform.processor() or platform.machine()}, numpy {np.__version__}")
    rng = np.random.default_rng(0)
    rho = rng.normal(size=(2**n, 2**n)) + 1j * rng.normal(size=(2**n, 2**n))
    scratch = np.empty_like(rho)
    copy = median_seconds(lambda: np.copyto(scratch, rho), repeats)
    print(f"n={n}, complex128 ({rho.nbytes / 2**20:.0f} MiB), median of {repeats} runs; plain copy of rho: "
          f"{copy * 1e3:.1f} ms")

    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    p = 0.1
    flip = [np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.array([[0, 1], [1, 0]])]
    state = plexar.DeviceDensityState.from_numpy(n, rho)
    print(f"    {'operation':<18} {'target':>6} {'plexar ms':>10} {'numpy ms':>9} {'numpy/plexar':>13} "
          f"{'copy/plexar':>12} {'max |diff|':>11}")
    for target in (0, n // 2, n - 1):
        fastest = lambda *fns: min(fns, key=lambda fn: median_seconds(fn, 1))  # noqa: E731
        cases = [
            ("unitary h", Gate("h", target),
             fastest(lambda: numpy_unitary(rho, h, target), lambda: numpy_unitary_halves(rho, h, target))),
            ("channel bit_flip", Kraus(target, np.array(flip), "bit_flip"),
             fastest(lambda: numpy_kraus(rho, flip, target, numpy_unitary),
                     lambda: numpy_kraus(rho, flip, target, numpy_unitary_halves),
                     lambda: numpy_superoperator(rho, flip, target))),
        ]
        for label, op, reference in cases:
            ours = median_seconds(lambda: plexar.run_density_operations_device(state, n, [op]), repeats)
            ref = median_seconds(reference, repeats)
            check = plexar.DeviceDensityState.from_numpy(n, rho)
            plexar.run_density_operations_device(check, n, [op])
            diff = np.max(np.abs(check.to_numpy() - reference()))
            del check
            print(f"    {label:<18} {target:>6} {ours * 1e3:>10.1f} {ref * 1e3:>9.1f} {ref / ours:>13.2f} "
                  f"{copy / ours:>12.2f} {diff:>11.1e}")


if __name__ == "__main__":
    main()
