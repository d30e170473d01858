"""Soak of both modules on the CPU execution layer: a long, seeded mix of calls
(creation, transfers, runs in every mode, fused and prepared, density runs with
and without fusion, measurement, sampling) and of calls that must fail (bad
arguments, bad gate and operation lists, injected faults), on a bounded pool
of states that are replaced as it goes. At each checkpoint the pool is dropped,
and the live device allocations of each module and the process's resident
memory are printed; at the end the growth. A call that fails with an
unexpected exception type, or a rejected call that changed its state, is
counted and fails the run.

    PYTHONPATH=<modules> python3 scripts/soak.py [--calls 10000] [--seed 1] [--every 1000]

Runs on a worker thread, so that the thread's DenseMM caches are released when
it ends and the final allocation figures are exact.
"""

import argparse
import gc
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import plexar  # noqa: E402
import stavex  # noqa: E402
from density_reference import CHANNELS  # noqa: E402
from density_support import Gate, Kraus  # noqa: E402
from test_fusion import as_objects, random_chunk, random_unitary  # noqa: E402

KINDS = ["allocation", "copy", "launch", "host_register", "cublas_create", "cublas_set_stream", "cublas_gemm"]
KIND_WEIGHTS = [0.3, 0.3, 0.25, 0.05, 0.03, 0.03, 0.04]  # the cuBLAS kinds occur only in DenseMM groups
# What a rejected call may raise: the binding's translations of invalid_argument,
# runtime_error and out_of_range, its conversion errors, and the lookups of
# gate dictionaries and objects.
EXPECTED = (ValueError, RuntimeError, IndexError, TypeError, KeyError, AttributeError)
DTYPES = ["complex64", "complex128"]
MODES = [stavex.AllState, stavex.Pair, stavex.PairAuto, stavex.PairAutoFusion]


def rss_kib():
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def live():
    total = [0, 0]
    for module in (stavex, plexar):
        allocations = module._cpu_layer_live_allocations()
        total[0] += len(allocations)
        total[1] += sum(size for _, size in allocations)
    return tuple(total)


class Soak:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.vectors, self.densities = [], []  # pools of (n, state)
        self.calls = self.failed = self.injected = 0
        self.problems = []

    # ---- inputs ----------------------------------------------------------------------------

    def pick(self, items):
        return items[int(self.rng.integers(len(items)))]

    def from_pool(self, pool, size, qubits, make):
        """A state of the pool, or (until it has `size`, and now and then) a new
        one, made by make(n, dtype), that may push an old one out."""
        if len(pool) >= size and self.rng.random() >= 0.1:
            return self.pick(pool)
        n = int(self.rng.integers(*qubits))
        pool.append((n, make(n, self.pick(DTYPES))))
        entry = pool[-1]
        if len(pool) > size + 2:
            pool.pop(int(self.rng.integers(len(pool))))
        return entry

    def vector(self):
        def make(n, dtype):
            if self.rng.random() < 0.5:
                return stavex.DeviceState.zero_state(n, dtype)
            v = self.rng.normal(size=2**n) + 1j * self.rng.normal(size=2**n)
            return stavex.DeviceState.from_numpy(n, (v / np.linalg.norm(v)).astype(dtype),
                                                 use_pinned_host=bool(self.rng.random() < 0.5))
        return self.from_pool(self.vectors, 6, (2, 11), make)

    def density(self):
        def make(n, dtype):
            if self.rng.random() < 0.5:
                return plexar.DeviceDensityState.zero_state(n, dtype)
            a = self.rng.normal(size=(2**n, 2**n)) + 1j * self.rng.normal(size=(2**n, 2**n))
            a = a @ a.conj().T
            return plexar.DeviceDensityState.from_numpy(n, (a / np.trace(a).real).astype(dtype))
        return self.from_pool(self.densities, 4, (1, 9), make)

    def gates(self, n):
        chunk = random_chunk(n, int(self.rng.integers(1, 40)), self.rng)
        if n >= 3 and self.rng.random() < 0.3:
            k = int(self.rng.integers(3, min(n, 7) + 1))
            chunk.append({"id": "unitary", "target": [int(q) for q in self.rng.permutation(n)[:k]], "control": [],
                          "control_state": [], "parameter": [], "matrix": random_unitary(2**k, self.rng)})
        return chunk

    def operations(self, n):
        ops = []
        for _ in range(int(self.rng.integers(1, 12))):
            q = [int(x) for x in self.rng.permutation(n)]
            kind = int(self.rng.integers(6))
            if kind == 0:
                ops.append(Gate(self.pick(["h", "x", "z", "s", "sqrtx", "y2p"]), [q[0]]))
            elif kind == 1:
                ops.append(Gate(self.pick(["rx", "rz", "p"]), [q[0]], parameter=[float(self.rng.uniform(-3, 3))]))
            elif kind == 2 and n >= 2:
                ops.append(Gate(self.pick(["cx", "cz", "ch"]), [q[0]], [q[1]], [int(self.rng.integers(2))]))
            elif kind == 3:
                name = self.pick(sorted(CHANNELS))
                ops.append(Kraus([q[0]], CHANNELS[name](float(self.rng.uniform(0, 1))), name))
            elif kind == 4:
                k = int(self.rng.integers(1, min(n, 3) + 1))
                v = random_unitary(2**k * 2, self.rng)[:, : 2**k]
                ops.append(Kraus(q[:k], [v[: 2**k], v[2**k:]]))
            else:
                k = int(self.rng.integers(1, min(n, 6) + 1))
                ops.append(Gate("unitary", q[:k], matrix=random_unitary(2**k, self.rng)))
        return ops

    # ---- calls -----------------------------------------------------------------------------

    def valid_call(self):
        """One valid call, as a function, so that it can also be made with a fault armed."""
        r = self.rng.random()
        if r < 0.5:
            n, s = self.vector()
            choice = int(self.rng.integers(8))
            if choice == 0:
                return lambda: stavex.run_circuit_device(s, self.gates(n), mode=self.pick(MODES))
            if choice == 1:
                return lambda: stavex.run_circuit_device_gates(s, as_objects(self.gates(n)), mode=self.pick(MODES))
            if choice == 2:
                chunk = stavex.prepare_fusion_chunk_gates(n, as_objects(self.gates(n)),
                                                          sparsesharemem_qubits=int(self.rng.integers(1, 11)),
                                                          densemm_gate_threshold_scale=float(self.rng.uniform(0, 2)))
                return lambda: stavex.execute_prepared_fusion_chunk(s, chunk)
            if choice == 3:
                targets = [int(q) for q in self.rng.permutation(n)[: int(self.rng.integers(1, n + 1))]]
                return lambda: stavex.measure_device(s, targets, self.pick(["little", "big"]),
                                                     seed=int(self.rng.integers(2**32)))
            if choice == 4:
                targets = [int(q) for q in self.rng.permutation(n)[: int(self.rng.integers(1, n + 1))]]
                return lambda: stavex.sample_measure_device(s, targets, int(self.rng.integers(1, 300)),
                                                            seed=int(self.rng.integers(2**32)),
                                                            collapse_last=bool(self.rng.random() < 0.5))
            if choice == 5:
                pinned = bool(self.rng.random() < 0.5)
                return lambda: s.to_numpy(use_pinned_host=pinned)
            a = s.to_numpy()
            if choice == 6:
                return lambda: stavex.run_circuit(n, a, self.gates(n), mode=self.pick(MODES),
                                                  use_pinned_host=bool(self.rng.random() < 0.5))
            return lambda: stavex.measure(n, a, [int(self.rng.integers(n))])
        n, s = self.density()
        choice = int(self.rng.integers(4))
        if choice == 0:
            fusion = self.pick(["0", "1"])
            ops = self.operations(n)

            def run():
                os.environ["ZORVANE_DENSITY_FUSION"] = fusion
                plexar.run_density_operations_device(s, n, ops)
            return run
        if choice == 1:
            targets = [int(q) for q in self.rng.permutation(n)[: int(self.rng.integers(1, n + 1))]]
            return lambda: plexar.measure_device(s, targets, seed=int(self.rng.integers(2**32)))
        if choice == 2:
            return s.copy
        return s.to_numpy

    def rejected_call(self):
        """A call that must fail before any device work: (call, state it must leave as it is)."""
        n, s = self.vector()
        d_n, d = self.density()
        bad_gates = [
            [{"id": "H", "target": [0], "control": [], "control_state": [], "parameter": []}],
            [{"id": "x", "target": [n], "control": [], "control_state": [], "parameter": []}],
            [{"id": "x", "target": [0], "control": [0], "control_state": [1], "parameter": []}],
            [{"id": "rx", "target": [0], "control": [], "control_state": [], "parameter": []}],
            [{"id": "cx", "target": [0], "control": [1], "control_state": [2], "parameter": []}],
            [{"id": "unitary", "target": [0], "control": [], "control_state": [], "parameter": [],
              "matrix": np.eye(4)}],
            [{"id": "h", "target": [0]}],
        ]
        bad_ops = [[Gate("h", [d_n])], [Gate("h", [0], [0], [1])], [Kraus([0], np.eye(2))],
                   [Gate("unitary", [0], matrix=np.full((2, 2), np.nan))], [Gate("rx", [0], parameter=[])]]
        calls = [
            (lambda: stavex.run_circuit_device(s, self.pick(bad_gates), mode=self.pick(MODES)), s),
            (lambda: stavex.run_circuit_device(s, [], endian="middle"), s),
            (lambda: stavex.measure_device(s, [n]), s),
            (lambda: stavex.measure_device(s, [0, 0]), s),
            (lambda: stavex.sample_measure_device(s, [0], 0), s),
            (lambda: stavex.execute_prepared_fusion_chunk(s, stavex.prepare_fusion_chunk_gates(n + 1, [])), s),
            (lambda: stavex.DeviceState.zero_state(self.pick([0, 63]), "complex64"), None),
            (lambda: stavex.DeviceState.zero_state(2, "float64"), None),
            (lambda: stavex.DeviceState.zero_state(2, device=self.pick(["cpu", "cuda:", "cuda:7"])), None),
            (lambda: s.copy_to_numpy(np.zeros(2**n, np.complex64 if s.dtype == "complex128" else np.complex128)), s),
            (lambda: plexar.run_density_operations_device(d, d_n, self.pick(bad_ops)), d),
            (lambda: plexar.run_density_operations_device(d, d_n + 1, [Gate("h", [0])]), d),
            (lambda: plexar.measure_device(d, [0, 0]), d),
            (lambda: plexar.DeviceDensityState.zero_state(16), None),
            (lambda: plexar.DeviceDensityState.from_numpy(1, np.eye(4, dtype=np.complex64)), None),
        ]
        return calls[int(self.rng.integers(len(calls)))]

    def step(self):
        r = self.rng.random()
        armed, rejected = False, r < 0.15
        if rejected:
            call, state = self.rejected_call()
        else:
            call, state = self.valid_call(), None
            armed = r < 0.3
            if armed:  # in both modules: the call uses one of them
                kind = KINDS[int(self.rng.choice(len(KINDS), p=KIND_WEIGHTS))]
                nth = int(self.rng.integers(1, 4))
                for m in (stavex, plexar):
                    m._cpu_layer_inject_fault(kind, nth)
        before = state.to_numpy() if state is not None else None
        self.calls += 1
        try:
            call()
        except EXPECTED as e:
            self.failed += 1
            self.injected += armed
            if before is not None and not np.array_equal(state.to_numpy(), before, equal_nan=True):
                self.problems.append(f"call {self.calls}: a rejected call changed its state ({e})")
        except BaseException as e:  # noqa: BLE001 - reported below
            self.failed += 1
            self.problems.append(f"call {self.calls}: unexpected {type(e).__name__}: {e}")
        else:
            if rejected:
                self.problems.append(f"call {self.calls}: a call that must fail succeeded")
        finally:
            for m in (stavex, plexar):
                m._cpu_layer_clear_faults()

    def checkpoint(self):
        """Drops the pools; the allocations left are the thread's DenseMM caches."""
        self.vectors.clear()
        self.densities.clear()
        gc.collect()
        return live()


def run(calls=10000, seed=1, every=1000, report=print):
    """The soak; returns its figures. `report` receives each printed line."""
    assert stavex.backend == "cpu" and plexar.backend == "cpu", "the soak needs the CPU execution layer"
    saved_switch = os.environ.get("ZORVANE_DENSITY_FUSION")
    gc.collect()
    start_live, (start_rss, _) = live(), rss_kib()
    began = time.monotonic()
    soak = Soak(seed)
    rows = []

    def work():
        while soak.calls < calls:
            soak.step()
            if soak.calls % every == 0:
                count, size = soak.checkpoint()
                rss, peak = rss_kib()
                rows.append((soak.calls, rss))
                report(f"calls {soak.calls:6d}  failing {soak.failed:5d}  live allocations {count} ({size} B, the "
                       f"thread's DenseMM caches)  RSS {rss} KiB  peak {peak} KiB  {time.monotonic() - began:6.1f} s")

    report(f"start: live allocations {start_live[0]} ({start_live[1]} B), RSS {start_rss} KiB")
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    deadline = time.monotonic() + 30  # the thread's caches go once it has ended at the system level
    while live() != start_live and time.monotonic() < deadline:
        time.sleep(0.01)
    gc.collect()
    if saved_switch is None:
        os.environ.pop("ZORVANE_DENSITY_FUSION", None)
    else:
        os.environ["ZORVANE_DENSITY_FUSION"] = saved_switch
    end_live, (end_rss, peak_rss) = live(), rss_kib()
    figures = dict(calls=soak.calls, failing=soak.failed, injected=soak.injected, problems=soak.problems,
                   start_live=start_live, end_live=end_live, start_rss=start_rss, peak_rss=peak_rss,
                   end_rss=end_rss, first_checkpoint_rss=rows[0][1] if rows else start_rss,
                   wall=time.monotonic() - began)
    report(f"end: calls {soak.calls}, failing calls {soak.failed} ({soak.failed - soak.injected} rejected arguments "
           f"or lists, {soak.injected} injected faults), unexpected outcomes {len(soak.problems)}")
    report(f"live device allocations: start {start_live[0]} ({start_live[1]} B), "
           f"end {end_live[0]} ({end_live[1]} B)")
    report(f"RSS: start {start_rss} KiB, at the first checkpoint {figures['first_checkpoint_rss']} KiB, "
           f"peak {peak_rss} KiB, end {end_rss} KiB; growth {end_rss - start_rss} KiB from the start, "
           f"{end_rss - figures['first_checkpoint_rss']} KiB from the first checkpoint")
    report(f"wall time {figures['wall']:.1f} s")
    for line in soak.problems[:20]:
        report(f"problem: {line}")
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=1000)
    args = parser.parse_args()
    figures = run(args.calls, args.seed, args.every, report=lambda line: print(line, flush=True))
    errors = []
    if figures["calls"] < args.calls:
        errors.append("the soak thread stopped early")
    if figures["end_live"] != figures["start_live"]:
        errors.append("device allocations leaked")
    if figures["problems"]:
        errors.append("unexpected outcomes")
    if errors:
        sys.exit("soak failed: " + "; ".join(errors))


if __name__ == "__main__":
    main()
