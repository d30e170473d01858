"""Every performance figure of both modules in one run: a JSON file of the
figures and PNG plots, each labelled with the machine, backend, dtype and date.

    python benchmarks/run.py [--out DIR] [--gpu] [--tiny] [--sections NAME ...]

Sections (figures["<name>"] in DIR/figures.json, DIR/<name>.png):

- gate_bandwidth: one pass of each gate family in each kernel mode (AllState,
  Pair, PairAuto) for a low target, a high target and a high target with one
  control, as bytes read and written per second, 2 * 2^(n-c) * itemsize for c
  controls, against a plain copy of the same bytes measured in the same run
  (device-to-device on a GPU build, a host NumPy copy on the CPU layer);
- circuits: layered random circuits, PairAuto against PairAutoFusion, with
  passes and gates per pass from the default plan (also planned, not run, at
  the sizes of the goals) and the prepared chunk's planning and execution;
- qasm: the QASM circuits of examples/ (loaded by zorvane_gpu.load_qasm
  through Qiskit's loaders, translated by zorvane_gpu.to_gate_ir), the same
  comparison;
- sampling: shots per second of sample_measure_device;
- density_kernels: one- and two-qubit unitaries, built-in channels and general
  Kraus sets on a density matrix against copy bandwidth;
- density_fusion: noisy layered circuits with ZORVANE_DENSITY_FUSION unset
  and set;
- host_costs: parsing and planning per gate (stavex), checking and grouping
  per operation (plexar);
- peers: Qiskit Aer (statevector, density_matrix) and qsim on the same
  circuits in the same process, as time ratios; their GPU builds with --gpu.

Default sizes suit the CPU execution layer of a small machine; --gpu takes
the sizes of the goals (30 qubits for the state vector, 14 for the density
matrix) and the peers' GPU builds. --tiny keeps the path chosen but shrinks
every size, so that either path can be tried anywhere in seconds.
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

import plexar
import stavex

import peers
import summary
from bench_density_fusion import CHANNELS, noisy_layers, timed_run
from bench_fusion import plan_summary, planning_seconds
from bench_gates import parsing_seconds
from bench_sampling import random_device_state, sample_seconds
from density_ops import Gate, Kraus, MatrixGate
from random_circuits import as_objects, layered_random_circuit
from timing import HOST_COPY, HostCopy, best_seconds, copy_bandwidth, synchronize

ROOT = Path(__file__).resolve().parent.parent

PROFILES = {
    "cpu": {
        "gate_qubits": 22, "gate_dtypes": ["complex64", "complex128"], "gate_reps": 3,
        "circuit_qubits": [16, 18, 20, 22], "circuit_dtypes": ["complex64", "complex128"], "depth": 20,
        "plan_qubits": [24, 26, 28, 30],
        "sample_qubits": 24, "sample_measured": 20, "sample_shots": [1, 10_000, 100_000, 1_000_000],
        "density_qubits": 11, "density_dtypes": ["complex64", "complex128"], "density_reps": 2,
        "density_fusion_qubits": [8, 10, 12], "density_layers": 2,
        "parse_gates": 100_000, "plan_gates": 100_000, "density_parse_ops": 20_000,
        "peer_qubits": [18, 20, 22], "peer_density_qubits": [8, 10, 11],
        "repeats": 2,
    },
    "gpu": {
        "gate_qubits": 30, "gate_dtypes": ["complex64", "complex128"], "gate_reps": 6,
        "circuit_qubits": [26, 28, 30], "circuit_dtypes": ["complex64", "complex128"], "depth": 20,
        "plan_qubits": [24, 26, 28, 30],
        "sample_qubits": 24, "sample_measured": 20, "sample_shots": [1, 10_000, 100_000, 1_000_000],
        "density_qubits": 14, "density_dtypes": ["complex64", "complex128"], "density_reps": 6,
        "density_fusion_qubits": [10, 12, 14], "density_layers": 2,
        "parse_gates": 100_000, "plan_gates": 100_000, "density_parse_ops": 20_000,
        "peer_qubits": [24, 26, 28], "peer_density_qubits": [10, 12, 13],
        "repeats": 2,
    },
}
TINY = {
    "gate_qubits": 8, "gate_reps": 2, "circuit_qubits": [6, 8], "depth": 3, "plan_qubits": [30],
    "sample_qubits": 8, "sample_measured": 6, "sample_shots": [1, 100, 1000],
    "density_qubits": 5, "density_reps": 2, "density_fusion_qubits": [5, 6], "density_layers": 1,
    "parse_gates": 500, "plan_gates": 500, "density_parse_ops": 200,
    "peer_qubits": [6], "peer_density_qubits": [5], "repeats": 1,
}
SECTIONS = ["gate_bandwidth", "circuits", "qasm", "sampling", "density_kernels", "density_fusion", "host_costs",
            "peers"]
ITEMSIZE = {"complex64": 8, "complex128": 16}
MODES = [stavex.AllState, stavex.Pair, stavex.PairAuto]


def gate(name, target, control=(), parameter=(), **extra):
    return {"id": name, "target": list(target), "control": list(control), "control_state": [1] * len(control),
            "parameter": [float(p) for p in parameter], **extra}


def random_unitary(dim, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_kraus(dim, count, seed):
    """`count` Kraus operators of a random channel: the blocks of a random
    isometry, so that their K^dagger K sum to the identity."""
    rng = np.random.default_rng(seed)
    v, _ = np.linalg.qr(rng.normal(size=(dim * count, dim)) + 1j * rng.normal(size=(dim * count, dim)))
    return np.ascontiguousarray(v.reshape(count, dim, dim))


# Gate families, one per kernel family of stavex: name -> (targets, parameters).
FAMILIES = {
    "x": (1, ()), "y": (1, ()), "z": (1, ()), "h": (1, ()), "s": (1, ()), "s_dag": (1, ()),
    "sqrtx": (1, ()), "sqrtx_dag": (1, ()), "sqrty": (1, ()), "sqrty_dag": (1, ()),
    "rx": (1, (0.7,)), "ry": (1, (0.7,)), "rz": (1, (0.7,)), "phase": (1, (0.7,)), "u": (1, (0.3, 0.5, 0.7)),
    "unitary": (1, ()), "swap": (2, ()), "global_phase": (0, (0.7,)),
}
CASES = ["low", "high", "high, 1 control"]


def family_gate(name, case, n):
    """The gate of a family for one case: targets on the lowest or highest
    qubits, and for the controlled case qubit 0 as control."""
    width, parameters = FAMILIES[name]
    targets = list(range(width)) if case == "low" else list(range(n - width, n))
    controls = [0] if case.endswith("control") else []
    extra = {"matrix": random_unitary(2, 1)} if name == "unitary" else {}
    return gate(name, targets, controls, parameters, **extra)


class CopyBaseline:
    """The plain copy each pass is compared with. On a GPU build, a
    device-to-device copy of each size, measured before the section's state is
    allocated and again after it is freed (the best of all counts: a GPU's copy
    rate is steady, and the state and two copy buffers need not fit at once).
    On the CPU layer, a host copy timed right after each figure, so that the
    load of a shared machine falls on both alike."""

    def __init__(self, on_device):
        self.on_device = on_device
        self.best = {}
        self.host = HostCopy()
        self.how = None if on_device else HOST_COPY

    def around(self, sizes, reps):
        """Measures the device copies of `sizes` (nothing on the CPU layer)."""
        if self.on_device:
            for nbytes in sizes:
                try:
                    bandwidth, self.how = copy_bandwidth(nbytes, True, reps)
                except (OSError, RuntimeError, ImportError) as error:  # the other figures still count
                    self.how = f"no device copy figure: {peers.describe_error(error)}"
                    continue
                self.best[nbytes] = max(bandwidth, self.best.get(nbytes, 0.0))

    def next_to(self, nbytes, reps):
        """The copy bandwidth a figure of `nbytes` read and written once is
        compared with; None on a GPU build until `fill` is called."""
        return None if self.on_device else self.host.bandwidth(nbytes, reps)

    def fill(self, records):
        """Sets copy_bandwidth (where not yet set) and fraction_of_copy."""
        for record in records:
            if record.get("copy_bandwidth") is None:
                record["copy_bandwidth"] = self.best.get(record["bytes"] // 2)
            copy = record["copy_bandwidth"]
            record["fraction_of_copy"] = record["bandwidth"] / copy if copy else None
        self.host.release()


class Run:
    """Sizes, labels and the copy baseline of one run."""

    def __init__(self, args):
        self.profile = dict(PROFILES["gpu" if args.gpu else "cpu"])
        if args.tiny:
            self.profile.update(TINY)
        self.profile_name = ("gpu" if args.gpu else "cpu") + ("-tiny" if args.tiny else "")
        self.peer_device = "GPU" if args.gpu else "CPU"
        self.on_device = stavex.backend == "cuda"
        self.date = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        self.machine = describe_machine(self.on_device)
        self.backend = f"stavex {stavex.backend}, plexar {plexar.backend}"
        self.copies = CopyBaseline(self.on_device)

    def label(self, dtype):
        return {"machine": self.machine["summary"], "backend": self.backend, "dtype": dtype, "date": self.date}


def describe_machine(on_device):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = None
    try:
        with open("/proc/meminfo") as f:
            memory = int(next(line.split()[1] for line in f if line.startswith("MemTotal"))) * 1024
    except (OSError, StopIteration, ValueError):
        pass
    gpu = None
    if on_device:
        try:
            gpu = subprocess.run(["nvidia-smi", "--query-gpu=name,memory.total", "--format=csv,noheader"],
                                 capture_output=True, text=True, timeout=30).stdout.strip() or None
        except (OSError, subprocess.SubprocessError):
            gpu = None
    summary = f"{cpu}, {os.cpu_count()} CPUs" + (f", {memory / 2**30:.0f} GiB" if memory else "")
    if gpu:
        summary = f"{gpu} on {summary}"
    return {"summary": summary, "cpu": cpu, "cpus": os.cpu_count(), "memory_bytes": memory, "gpu": gpu,
            "platform": platform.platform(), "python": platform.python_version(), "numpy": np.__version__,
            "cpu_layer_threads": os.environ.get("ZORVANE_CPU_THREADS") or f"default ({os.cpu_count()})"}


def in_thread(fn, *args):
    """Runs fn on a fresh thread and returns its result: the DenseMM scratch
    buffers and cuBLAS handle a thread keeps are released when it ends, so one
    section's do not stay on the device during the next."""
    box = {}

    def body():
        try:
            box["result"] = fn(*args)
        except BaseException as error:  # re-raised on the caller's thread
            box["error"] = error

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


# --- state vector -----------------------------------------------------------


def seconds_per_gate(state, g, reps, mode, repeats):
    """Wall time per gate of a list of `reps` copies of g, run and waited for,
    the fastest of `repeats` lists (after one warm-up gate)."""
    stavex.run_circuit_device(state, [g], mode=mode)
    synchronize()
    circuit = [g] * reps

    def run():
        stavex.run_circuit_device(state, circuit, mode=mode)
        synchronize()

    return best_seconds(run, repeats) / reps


def gate_bandwidth(run):
    p = run.profile
    n, reps, repeats = p["gate_qubits"], p["gate_reps"], p["repeats"]
    figures = {"qubits": n, "records": [], "labels": {}}
    for dtype in p["gate_dtypes"]:
        itemsize = ITEMSIZE[dtype]
        sizes = sorted({itemsize << (n - c) for c in (0, 1)})
        run.copies.around(sizes, reps)
        state = stavex.DeviceState.zero_state(n, dtype=dtype)
        for name in FAMILIES:
            for case in CASES:
                if name == "global_phase" and case == "low":
                    continue  # no targets: low and high are the same gate
                g = family_gate(name, case, n)
                controls = len(g["control"])
                nbytes = 2 * (itemsize << (n - controls))
                for mode in MODES:
                    seconds = seconds_per_gate(state, g, reps, mode, repeats)
                    figures["records"].append({"dtype": dtype, "family": name, "case": case, "mode": mode.name,
                                               "controls": controls, "targets": g["target"], "seconds": seconds,
                                               "bytes": nbytes, "bandwidth": nbytes / seconds,
                                               "copy_bandwidth": run.copies.next_to(nbytes // 2, reps)})
        del state
        synchronize()
        run.copies.around(sizes, reps)
        figures["labels"][dtype] = run.label(dtype)
    run.copies.fill(figures["records"])
    figures["copy"] = run.copies.how
    return figures


def time_circuit(n, gates, dtype, mode, repeats):
    state = stavex.DeviceState.zero_state(n, dtype=dtype)
    stavex.run_circuit_device(state, gates[:4], mode=mode)  # first-use costs (DenseMM cache, ...)
    synchronize()

    def body():
        stavex.run_circuit_device(state, gates, mode=mode)
        synchronize()

    return best_seconds(body, repeats)


def time_prepared(n, gates, dtype, repeats):
    objects = as_objects(gates)
    planning = best_seconds(lambda: stavex.prepare_fusion_chunk_gates(n, objects), repeats)
    chunk = stavex.prepare_fusion_chunk_gates(n, objects)
    state = stavex.DeviceState.zero_state(n, dtype=dtype)
    stavex.execute_prepared_fusion_chunk(state, chunk)
    execution = best_seconds(lambda: stavex.execute_prepared_fusion_chunk(state, chunk), repeats)
    return planning, execution


def compare_modes(n, gates, dtype, repeats):
    auto = time_circuit(n, gates, dtype, stavex.PairAuto, repeats)
    fused = time_circuit(n, gates, dtype, stavex.PairAutoFusion, repeats)
    planning, execution = time_prepared(n, gates, dtype, repeats)
    return {"pair_auto_s": auto, "pair_auto_fusion_s": fused, "speedup": auto / fused,
            "prepared_planning_s": planning, "prepared_execution_s": execution}


def circuits(run):
    p = run.profile
    figures = {"depth": p["depth"], "records": [], "plans": [], "labels": {}}
    for dtype in p["circuit_dtypes"]:
        for n in p["circuit_qubits"]:
            gates = layered_random_circuit(n, p["depth"], seed=n)
            record = {"dtype": dtype, "qubits": n, **plan_summary(gates, n)}
            record.update(in_thread(compare_modes, n, gates, dtype, p["repeats"]))
            figures["records"].append(record)
        figures["labels"][dtype] = run.label(dtype)
    for n in p["plan_qubits"]:  # the planner runs on the host: these hold for any build
        figures["plans"].append({"qubits": n, "depth": 20, **plan_summary(layered_random_circuit(n, 20, seed=n), n)})
    return figures


def qasm(run):
    """The gate part of each QASM example (final measurements removed): a
    noise model given on the command line (bell_noisy.qasm) is not part of
    the file and not applied here."""
    dtype = "complex128"
    figures = {"records": [], "label": run.label(dtype)}
    try:
        from zorvane_gpu import load_qasm, to_gate_ir
    except ImportError as error:
        figures["skipped"] = f"QASM circuits need zorvane_gpu ({peers.describe_error(error)})"
        return figures
    files = sorted((ROOT / "examples").glob("*.qasm"))
    if not files:
        figures["skipped"] = "no .qasm files in examples/"
        return figures
    for path in files:
        record = {"file": path.name}
        try:
            circuit = load_qasm(path).remove_final_measurements(inplace=False)
            gates = to_gate_ir(circuit)
        except Exception as error:  # a missing loader or a circuit the gate path cannot take is a note
            record["skipped"] = peers.describe_error(error)
            figures["records"].append(record)
            continue
        n = circuit.num_qubits
        record.update({"qubits": n, **plan_summary(gates, n)})
        record.update(in_thread(compare_modes, n, gates, dtype, run.profile["repeats"]))
        figures["records"].append(record)
    return figures


def sampling(run):
    p = run.profile
    dtype = "complex128"
    n, measured = p["sample_qubits"], p["sample_measured"]
    state = random_device_state(n, dtype)
    targets = list(range(measured))
    records = []
    for shots in p["sample_shots"]:
        seconds = min(sample_seconds(state, targets, shots, seed=7 + r)[0] for r in range(max(2, p["repeats"])))
        records.append({"shots": shots, "seconds": seconds, "shots_per_second": shots / seconds})
    return {"qubits": n, "measured": measured, "records": records, "label": run.label(dtype)}


# --- density matrix ---------------------------------------------------------


def density_cases(n, target):
    """(kind, operation) pairs on `target` (and a neighbour for two qubits)."""
    pair = [target, target + 1] if target + 1 < n else [target - 1, target]
    flip = np.array(CHANNELS["depolarizing"](0.1), dtype=complex)
    bit_flip = np.array([np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])], dtype=complex)
    return [
        ("unitary 1q (h)", Gate("h", target)),
        ("unitary 2q (matrix)", MatrixGate(pair, random_unitary(4, 2))),
        ("channel bit_flip", Kraus(target, bit_flip, "bit_flip")),
        ("channel depolarizing", Kraus(target, flip, "depolarizing")),
        ("kraus 1q (2 operators)", Kraus(target, random_kraus(2, 2, 3), "general")),
        ("kraus 2q (2 operators)", Kraus(pair, random_kraus(4, 2, 4), "general")),
    ]


def launches():
    return plexar._cpu_layer_launch_count() if hasattr(plexar, "_cpu_layer_launch_count") else None


def density_kernels(run):
    p = run.profile
    n, reps, repeats = p["density_qubits"], p["density_reps"], p["repeats"]
    os.environ.pop("ZORVANE_DENSITY_FUSION", None)
    figures = {"qubits": n, "records": [], "labels": {}}
    for dtype in p["density_dtypes"]:
        nbytes = ITEMSIZE[dtype] * 4**n
        run.copies.around([nbytes], reps)
        state = plexar.DeviceDensityState.zero_state(n, dtype)
        for target in sorted({0, n // 2, n - 1}):
            for kind, op in density_cases(n, target):
                plexar.run_density_operations_device(state, n, [op])
                before = launches()
                plexar.run_density_operations_device(state, n, [op])
                passes = launches() - before if before is not None else None
                seconds = best_seconds(lambda: plexar.run_density_operations_device(state, n, [op] * reps),
                                       repeats) / reps
                figures["records"].append({"dtype": dtype, "kind": kind, "targets": list(op.target),
                                           "seconds": seconds, "bytes": 2 * nbytes, "launches": passes,
                                           "bandwidth": 2 * nbytes / seconds,
                                           "copy_bandwidth": run.copies.next_to(nbytes, reps)})
        del state
        run.copies.around([nbytes], reps)
        figures["labels"][dtype] = run.label(dtype)
    run.copies.fill(figures["records"])
    figures["copy"] = run.copies.how
    return figures


def density_fusion(run):
    p = run.profile
    dtype = "complex128"
    records = []
    for n in p["density_fusion_qubits"]:
        ops = noisy_layers(n, p["density_layers"])
        best = {}
        # unfused and fused runs alternate, so a change of load falls on both
        for r in range(max(2, p["repeats"])):
            for fused in ((False, True) if r % 2 == 0 else (True, False)):
                state, seconds, passes = timed_run(n, ops, fused, dtype)
                if fused not in best or seconds < best[fused][1]:
                    best[fused] = (state.to_numpy(), seconds, passes)
                del state
        os.environ.pop("ZORVANE_DENSITY_FUSION", None)
        (off, off_s, off_passes), (on, on_s, on_passes) = best[False], best[True]
        records.append({"qubits": n, "operations": len(ops), "groups": len(plexar._density_fusion_groups(n, ops)),
                        "unfused_s": off_s, "fused_s": on_s, "speedup": off_s / on_s,
                        "unfused_launches": off_passes, "fused_launches": on_passes,
                        "operations_per_pass_unfused": len(ops) / off_passes if off_passes else None,
                        "operations_per_pass_fused": len(ops) / on_passes if on_passes else None,
                        "max_abs_difference": float(np.max(np.abs(off - on)))})
    return {"layers": p["density_layers"], "records": records, "label": run.label(dtype)}


# --- host costs and peers ---------------------------------------------------


def density_checking_seconds(count, repeats):
    """Seconds per operation to read and check a list of `count` operations:
    a list whose last operation has an unknown name is checked whole and
    rejected before anything runs."""
    n = 4
    ops = noisy_layers(n, -(-count // (4 * n)))[:count] + [Gate("no_such_gate", 0)]
    state = plexar.DeviceDensityState.zero_state(n)

    def check_only():
        try:
            plexar.run_density_operations_device(state, n, ops)
        except RuntimeError:
            pass

    checking = best_seconds(check_only, repeats) / count
    wide = noisy_layers(12, -(-count // 48))[:count]
    grouping = best_seconds(lambda: plexar._density_fusion_groups(12, wide), repeats) / count
    return checking, grouping


def host_costs(run):
    p = run.profile
    parse, parse_and_run = parsing_seconds(p["parse_gates"], p["repeats"])
    plan = planning_seconds(p["plan_gates"])
    checking, grouping = density_checking_seconds(p["density_parse_ops"], p["repeats"])
    records = [
        {"what": "stavex: parse a cx gate dict", "seconds_per_item": parse, "items": p["parse_gates"]},
        {"what": "stavex: parse and run a cx on 2 qubits", "seconds_per_item": parse_and_run,
         "items": p["parse_gates"]},
        {"what": "stavex: prepare (parse + trivial plan), 30 qubits", "seconds_per_item": plan["parse"],
         "items": p["plan_gates"]},
        {"what": "stavex: prepare (parse + default plan), 30 qubits", "seconds_per_item": plan["plan"],
         "items": p["plan_gates"]},
        {"what": "plexar: read and check an operation", "seconds_per_item": checking,
         "items": p["density_parse_ops"]},
        {"what": "plexar: check and group (fusion plan), 12 qubits", "seconds_per_item": grouping,
         "items": p["density_parse_ops"]},
    ]
    return {"records": records, "label": run.label("complex128")}


def our_final_state(n, gates, dtype, repeats):
    def body():
        state = stavex.DeviceState.zero_state(n, dtype=dtype)
        stavex.run_circuit_device(state, gates, mode=stavex.PairAutoFusion)
        return state.to_numpy()

    return peers.best_of(body, repeats)


def our_final_density(n, ops, dtype, fused, repeats):
    def body():
        state, _, _ = timed_run(n, ops, fused, dtype)
        return state.to_numpy()

    try:
        return peers.best_of(body, repeats)
    finally:
        os.environ.pop("ZORVANE_DENSITY_FUSION", None)


def peer_statevector(run):
    p = run.profile
    device = run.peer_device
    aer, aer_note = peers.aer_devices()
    qsim, qsim_note = peers.qsim_devices()
    notes = [note for note in (aer_note, qsim_note) if note]
    if aer and device not in aer:
        notes.append(f"Qiskit Aer has no {device} build here (devices: {', '.join(aer)})")
    if qsim and device not in qsim:
        notes.append(f"qsimcirq has no {device} build here")
    use_aer, use_qsim = device in aer, device in qsim
    records = []
    for n in p["peer_qubits"]:
        gates = layered_random_circuit(n, p["depth"], seed=n)
        qc = peers.qiskit_circuit(n, gates)
        cirq_circuit = peers.cirq_circuit(qc) if use_qsim else None
        for dtype in p["circuit_dtypes"]:
            ours_s, ours = in_thread(our_final_state, n, gates, dtype, p["repeats"])
            entries = []
            if use_aer:
                precision = "single" if dtype == "complex64" else "double"
                entries.append((f"Aer statevector ({precision})", *peers.aer_statevector(qc, precision, device,
                                                                                          p["repeats"])))
            if use_qsim and dtype == "complex64":  # qsim computes in single precision only
                for fused in (2, 4):
                    entries.append((f"qsim (max_fused_gate_size={fused})",
                                    *peers.qsim_statevector(cirq_circuit, fused, device, p["repeats"])))
            for peer, seconds, state in entries:
                records.append({"dtype": dtype, "qubits": n, "peer": peer, "ours_s": ours_s, "peer_s": seconds,
                                "peer_over_ours": seconds / ours_s, "fidelity": peers.fidelity(ours, state)})
    return records, notes


def peer_density(run):
    p = run.profile
    device = run.peer_device
    aer, note = peers.aer_devices()
    notes = [note] if note else []
    if aer and device not in aer:
        notes.append(f"Qiskit Aer has no {device} build here (devices: {', '.join(aer)})")
        return [], notes
    if not aer:
        return [], notes
    records = []
    for n in p["peer_density_qubits"]:
        ops = noisy_layers(n, p["density_layers"])
        qc = peers.qiskit_noisy_circuit(n, ops)
        for dtype in p["density_dtypes"]:
            precision = "single" if dtype == "complex64" else "double"
            seconds, rho = peers.aer_density_matrix(qc, precision, device, p["repeats"])
            for fused in (False, True):
                ours_s, ours = our_final_density(n, ops, dtype, fused, p["repeats"])
                records.append({"dtype": dtype, "qubits": n, "peer": f"Aer density_matrix ({precision})",
                                "ours": "fused" if fused else "unfused", "ours_s": ours_s, "peer_s": seconds,
                                "peer_over_ours": seconds / ours_s, "fidelity": peers.fidelity(ours, rho)})
    return records, notes


def peer_figures(run):
    statevector, notes = peer_statevector(run)
    density, density_notes = peer_density(run)
    return {"device": run.peer_device, "versions": peers.versions(), "statevector": statevector,
            "density": density, "notes": sorted(set(notes + density_notes)),
            "options": {"aer": "default options (its own fusion on)",
                        "qsim": peers.qsim_options(2, run.peer_device) | {"max_fused_gate_size": [2, 4]},
                        "timing": "wall time from the simulator's circuit object to the final state as a NumPy "
                                  "array, fastest of the repeats; ours: PairAutoFusion from gate_ir dicts"},
            "labels": {d: run.label(d) for d in run.profile["circuit_dtypes"]}}


# --- goals ------------------------------------------------------------------

H100_NOMINAL_BANDWIDTH = {"H100 PCIe (2.0 TB/s)": 2.0e12, "H100 SXM (3.35 TB/s)": 3.35e12}


def goals(run, figures):
    found = {}
    gb = figures.get("gate_bandwidth")
    if gb:
        one_qubit = [r for r in gb["records"] if r["dtype"] == "complex64" and r["mode"] == "PairAuto"
                     and r["controls"] == 0 and FAMILIES[r["family"]][0] == 1 and r["fraction_of_copy"]]
        if one_qubit:
            worst = min(one_qubit, key=lambda r: r["fraction_of_copy"])
            found["one_qubit_pass_fraction_of_copy"] = {
                "goal": 0.9, "qubits": gb["qubits"], "lowest": worst["fraction_of_copy"],
                "lowest_at": f"{worst['family']} {worst['case']}",
                "median": float(np.median([r["fraction_of_copy"] for r in one_qubit])),
                "at_goal_conditions": gb["qubits"] == 30 and run.on_device}
    circ = figures.get("circuits")
    if circ:
        plans = {r["qubits"]: r for r in circ["plans"]}
        if 30 in plans:
            found["gates_per_pass"] = {"goal": 10, "qubits": 30, "depth": 20,
                                       "value": plans[30]["gates_per_pass"], "passes": plans[30]["passes"],
                                       "gates": plans[30]["gates"], "source": "default plan (host planner)"}
        measured = [r for r in circ["records"] if r["qubits"] == 30 and r["dtype"] == "complex64"]
        entry = {"goal_s": 0.25, "qubits": 30, "depth": 20, "dtype": "complex64"}
        if measured and run.on_device and circ["depth"] == 20:
            entry["measured_s"] = measured[0]["pair_auto_fusion_s"]
            entry["measured_on"] = run.machine["summary"]
        elif 30 in plans:
            state_bytes = 8 << 30
            entry["estimate"] = {
                f"{name} at 90%": plans[30]["passes"] * 2 * state_bytes / (0.9 * bandwidth)
                for name, bandwidth in H100_NOMINAL_BANDWIDTH.items()}
            entry["estimate_note"] = ("ESTIMATE, not a measurement: passes of the default plan x 2 x 8 GiB / "
                                      "(90% of nominal HBM bandwidth); ignores launch gaps, planning and "
                                      "DenseMM arithmetic")
        found["depth20_30q_complex64"] = entry
    peer = figures.get("peers")
    if peer and peer["statevector"]:
        top = max(r["qubits"] for r in peer["statevector"])
        found["peers_at_largest_size"] = [
            {"qubits": top, "dtype": r["dtype"], "peer": r["peer"], "peer_over_ours": r["peer_over_ours"]}
            for r in peer["statevector"] if r["qubits"] == top]
    return found


# --- main -------------------------------------------------------------------

RUNNERS = {"gate_bandwidth": gate_bandwidth, "circuits": circuits, "qasm": qasm, "sampling": sampling,
           "density_kernels": density_kernels, "density_fusion": density_fusion, "host_costs": host_costs,
           "peers": peer_figures}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=Path("benchmark-results"), help="folder for the JSON and plots")
    parser.add_argument("--gpu", action="store_true", help="the goals' sizes and the peers' GPU builds")
    parser.add_argument("--tiny", action="store_true", help="tiny sizes on the chosen path (a trial run)")
    parser.add_argument("--sections", nargs="+", choices=SECTIONS, default=SECTIONS)
    parser.add_argument("--no-plots", action="store_true")
    args = parser.parse_args(argv)
    run = Run(args)
    if args.gpu and not run.on_device:
        print(f"NOTE: --gpu on a {stavex.backend} build: the GPU path at its sizes, but not GPU figures")
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    result = {"meta": {"date": run.date, "machine": run.machine, "backend": {"stavex": stavex.backend,
                                                                          "plexar": plexar.backend},
                       "profile": run.profile_name, "sizes": run.profile,
                       "command": " ".join([Path(sys.argv[0]).name] + (argv if argv is not None else sys.argv[1:]))},
              "figures": {}, "section_seconds": {}}
    for name in args.sections:
        t = time.perf_counter()
        print(f"== {name}", flush=True)
        result["figures"][name] = RUNNERS[name](run)
        result["section_seconds"][name] = time.perf_counter() - t
        print(f"   {result['section_seconds'][name]:.1f} s", flush=True)
    result["goals"] = goals(run, result["figures"])
    result["elapsed_s"] = time.perf_counter() - started
    result["plots"] = []
    if not args.no_plots:
        import plots

        result["plots"] = plots.write_all(result, args.out)
    with open(args.out / "figures.json", "w") as f:
        json.dump(result, f, indent=1, default=float)
    text = summary.markdown(result)
    (args.out / "summary.md").write_text(text)
    print(text)
    print(f"wrote {args.out / 'figures.json'}, summary.md and {len(result['plots'])} plots in "
          f"{result['elapsed_s']:.0f} s")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
