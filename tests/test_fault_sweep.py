"""Fault-injection sweep over the entry points of both modules on the CPU
execution layer. For each call and each fault kind, the 1st, 2nd, ... operation
of that kind fails, until the fault waits for more operations than the call
performs (so the last k tells how many it performs). Every failure must raise
the error documented for the operation that failed, give back every device
allocation, host registration, page-locked host allocation and cuBLAS handle,
leave the state the model
predicts for the work done before it, and leave that state usable: the same
call, repeated without a fault, gives the model's result from it.

The sequence of operations each call performs (and the message each one's
failure gives) is modelled below from the call's documented steps; the states
come from the NumPy models."""

import gc
from collections import Counter
from functools import lru_cache

import numpy as np
import pytest

import plexar
import stavex
from conftest import cpu_layer_only, gate, random_state
from density_reference import (ALIASES, CHANNELS, collapse, draw_outcome, full_operator, gate_matrix,
                               outcome_probabilities, outcome_text)
from density_support import RELATIVE_TOLERANCE, Gate, Kraus, assert_close, random_rho
from gate_reference import SWAP
from test_fusion import (AUTOPAIR, DENSEMM, SPARSESHAREMEM, TOLERANCE, as_objects, chunk_groups, fault_chunk,
                         model, on_thread, prefix_states, random_unitary)
from test_measure import assert_collapsed, reference_collapse, reference_sample
from test_state_parts import Exported, reference_draw, reference_probabilities

pytestmark = cpu_layer_only

KINDS = ["allocation", "copy", "launch", "host_register", "cublas_create", "cublas_set_stream", "cublas_gemm",
         "host_allocation"]
# The layer's errors when none is named: a failed allocation, a failed copy or launch.
OUT_OF_MEMORY, LAUNCH_FAILURE = "out of memory", "unspecified launch failure"
OOM, FAILED = f"CUDA error: {OUT_OF_MEMORY}", f"CUDA error: {LAUNCH_FAILURE}"
TALLY = Counter()  # (module, "calls" or "failures") -> (call, kind, k) cases run, and those that failed


class Case:
    """One call under the sweep.

    setup() builds what the call works on (a device state, a NumPy array or
    None) inside the attempt's thread; call(obj) makes the call; observe(obj)
    reads that state back (None for calls that only create one);
    check(obj, result, start) verifies a successful call against the model
    from the state `start`. `events` lists (kind, message, stage) for the
    call's operations in order, a failure at `stage` leaving stages[stage].
    Where the model does not fix the operations (density fusion), events is
    None, `allowed` gives the messages per kind and `stages` every state a
    failure may leave. `cache_bytes`: the size of the DenseMM scratch buffers
    the attempt thread's cache may keep."""

    def __init__(self, module, setup, call, observe, check, events=None, stages=(None,), allowed=None,
                 cache_bytes=None):
        self.module, self.setup, self.call, self.observe, self.check = module, setup, call, observe, check
        self.events, self.stages, self.allowed, self.cache_bytes = events, list(stages), allowed, cache_bytes


def live(module):
    return Counter(module._cpu_layer_live_allocations())


def matches(actual, expected, dtype):
    if expected is None:
        return actual is None
    scale = max(1.0, float(np.max(np.abs(expected))))
    tol = TOLERANCE[dtype] if actual.ndim == 1 else RELATIVE_TOLERANCE[dtype]
    return actual.shape == expected.shape and bool(np.all(np.abs(actual - expected) <= tol * scale))


def attempt(case, kind, k, dtype):
    """One call with the k-th operation of `kind` failing; False once the call
    performed fewer than k of them."""
    m = case.module
    obj = case.setup()
    start = case.observe(obj)
    held, registered = live(m), m._cpu_layer_host_registrations()
    pinned = Counter(m._cpu_layer_live_host_allocations())
    m._cpu_layer_inject_fault(kind, k)
    try:
        result, error = case.call(obj), None
    except RuntimeError as e:
        result, error = None, str(e)
    finally:
        fired = m._cpu_layer_pending_fault(kind) == 0
        m._cpu_layer_clear_faults()
    assert m._cpu_layer_host_registrations() == registered
    if not fired or kind == "host_register":  # a failed page-lock is silent
        assert error is None, error
        case.check(obj, result, start)
        return fired
    assert error is not None, "the fault fired, the call succeeded"
    if case.events is None:
        assert error in case.allowed.get(kind, ()), error
        expected_states = case.stages
    else:
        events = [(message, stage) for e_kind, message, stage in case.events if e_kind == kind]
        assert k <= len(events), f"operation {k} of {kind} is not in the model; it failed with {error}"
        message, stage = events[k - 1]
        assert error == message
        expected_states = [case.stages[stage]]
    now = live(m)
    assert not held - now, "a failure freed what it did not own"
    assert Counter(m._cpu_layer_live_host_allocations()) == pinned
    assert all(entry == (0, case.cache_bytes) for entry in (now - held).elements()), now - held
    after = case.observe(obj)
    assert any(matches(after, s, dtype) for s in expected_states), "the state is not the model's"
    case.check(obj, case.call(obj), after)
    return True


def sweep(case, kind, dtype, limit=120):
    m = case.module
    gc.collect()
    baseline, handles = live(m), m._cpu_layer_live_cublas_handles()
    pinned = Counter(m._cpu_layer_live_host_allocations())
    for k in range(1, limit):
        fired = []
        # A fresh thread each time: its DenseMM cache starts empty, and is
        # gone (with what it held) when the thread ends.
        on_thread(lambda: fired.append(attempt(case, kind, k, dtype)))
        gc.collect()
        assert live(m) == baseline and m._cpu_layer_live_cublas_handles() == handles
        assert Counter(m._cpu_layer_live_host_allocations()) == pinned
        TALLY[m.__name__, "calls"] += 1
        TALLY[m.__name__, "failures"] += fired[0] and kind != "host_register"
        if not fired[0]:
            return k - 1
    raise AssertionError("the call never ran out of operations of this kind")


# ---- state-vector calls ----------------------------------------------------------------------

N = 6
FAMILY = {"h": "cu_h", "cx": "cu_x", "sqrty_dag": "cu_sqrtydag", "rz": "cu_rz", "rx": "cu_rx", "u": "cu_u",
          "swap": "cu_swap", "gp": "cu_global_phase", "t": "cu_phase"}


def mode_chunk():
    """Every launcher family the mode runs reach, UNITARY on 1, 2, 3 and 6 targets."""
    rng = np.random.default_rng(31)
    return [gate("h", [0]), gate("cx", [1], [0], [1]), gate("sqrty_dag", [3], [2], [0]),
            gate("rz", [4], parameter=[0.7]), gate("u", [0], [5], [1], [0.3, -0.2, 1.1]),
            gate("swap", [0, 3]), gate("swap", [2, 4], [1], [1]), gate("gp", [], [5], [0], [0.4]), gate("t", [5]),
            gate("unitary", [2], [1], [0], matrix=random_unitary(2, rng)),
            gate("unitary", [4, 0], matrix=random_unitary(4, rng)),
            gate("unitary", [5, 1, 3], [0], [1], matrix=random_unitary(8, rng)),
            gate("unitary", [3, 0, 5, 2, 1, 4], matrix=random_unitary(64, rng))]


def fused_run_chunk():
    """A chunk whose default plan is DenseMM, AutoPair, SparseShareMem, AutoPair."""
    rng = np.random.default_rng(33)
    gates = [gate("u", [0], parameter=[0.1 * i, 0.2, -0.3]) for i in range(20)]
    gates += [gate("unitary", [2, 0, 4], matrix=random_unitary(8, rng)), gate("h", [1]),
              gate("rx", [3], parameter=[0.4]), gate("cx", [2], [1], [1]), gate("swap", [1, 5]),
              gate("unitary", [5, 4, 3, 2, 1, 0], matrix=random_unitary(64, rng))]
    groups = chunk_groups(stavex.prepare_fusion_chunk_gates(N, as_objects(gates)))
    assert [kind for kind, _, _ in groups] == [DENSEMM, AUTOPAIR, SPARSESHAREMEM, AUTOPAIR]
    return gates, groups


def gate_events(g, stage):
    """A dispatched gate: one launch; a UNITARY on k >= 3 targets first
    uploads its matrix, its targets and (k <= 5) its sorted targets, and on
    k >= 6 copies the state through a scratch buffer."""
    if g["id"] != "unitary":
        return [("launch", f"{FAMILY[g['id']]} kernel launch failed: {LAUNCH_FAILURE}", stage)]
    k = len(g["target"])
    uploads = 0 if k < 3 else 3 if k <= 5 else 2
    scratch = 1 if k >= 6 else 0
    return ([("allocation", OOM, stage)] * (uploads + scratch) + [("copy", FAILED, stage)] * (uploads + 2 * scratch)
            + [("launch", FAILED, stage)])


def plan_events(gates, groups, dtype):
    """A plan's upload (records, matrices, then the thread's empty DenseMM
    cache: handle and two buffers), then its groups in order."""
    kinds = {kind for kind, _, _ in groups}
    events = []
    for kind, what in ((SPARSESHAREMEM, "SparseShareMem gates"), (DENSEMM, "DenseMM matrices")):
        if kind in kinds:
            events += [("allocation", f"cudaMalloc {what}: {OUT_OF_MEMORY}", 0),
                       ("copy", f"cudaMemcpy {what}: {LAUNCH_FAILURE}", 0)]
    if DENSEMM in kinds:
        events += [("cublas_create", "cublasCreate DenseMM cache failed", 0),
                   ("allocation", f"cudaMalloc cached DenseMM transpose buffer: {OUT_OF_MEMORY}", 0),
                   ("allocation", f"cudaMalloc cached DenseMM GEMM buffer: {OUT_OF_MEMORY}", 0)]
    gemm = "cublasCgemm" if dtype == np.complex64 else "cublasZgemm"
    for stage, (kind, members, _) in enumerate(groups):
        if kind == AUTOPAIR:
            events += gate_events(gates[members[0]], stage)
        elif kind == SPARSESHAREMEM:
            events.append(("launch", FAILED, stage))
        else:  # gather, product, scatter
            events += [("launch", FAILED, stage), ("cublas_set_stream", "cublasSetStream DenseMM failed", stage),
                       ("cublas_gemm", f"{gemm} DenseMM failed", stage), ("launch", FAILED, stage)]
    return events


def measure_events(collapse):
    """Labels and probability table allocated, labels up, probabilities,
    table down, collapse."""
    return ([("allocation", OOM, 0)] * 2 + [("copy", FAILED, 0), ("launch", FAILED, 0), ("copy", FAILED, 0)]
            + [("launch", FAILED, 0)] * collapse)


def transfer_events(pinned):
    return [("host_register", None, 0)] * pinned + [("copy", FAILED, 0)]


def at_start(events):
    """The events of work on a temporary state: the caller's array stays as it was."""
    return [(kind, message, 0) for kind, message, _ in events]


def exactly(actual, expected):
    np.testing.assert_array_equal(actual, expected)
    assert actual.dtype == expected.dtype


def stavex_case(name, dtype):
    v = random_state(N, dtype, seed=5)
    new_state = lambda: stavex.DeviceState.from_numpy(N, v)  # noqa: E731
    on_device = dict(setup=new_state, observe=lambda s: s.to_numpy())
    in_array = dict(setup=lambda: v.copy(), observe=lambda a: a.copy())
    basis0 = np.eye(2**N, dtype=dtype)[0]

    def runs(gates):
        def check(s, result, start):
            got = s.to_numpy() if isinstance(s, stavex.DeviceState) else result
            assert result is None or result is s
            assert matches(got, model(N, gates, start), dtype)
        return check

    def measured(targets, shots, collapse, seeded=True):
        def check(s, result, start):
            counts, last, cum = reference_sample(start, N, targets, "little", shots or 1, 11)
            text = format(last, f"0{len(targets)}b")
            if seeded:
                assert result == (text if shots is None else (counts, text))
            else:  # an unseeded draw: any outcome of positive probability, collapsed onto
                last = int(result, 2)
                assert cum[last] - (cum[last - 1] if last else 0) > 0
            got = s.to_numpy() if isinstance(s, stavex.DeviceState) else s
            assert_collapsed(got, reference_collapse(start, N, targets, "little", last, cum) if collapse else start)
        return check

    if name in ("zero_state", "from_numpy", "from_numpy_pinned"):
        pinned = name.endswith("pinned")
        make = ((lambda: stavex.DeviceState.zero_state(N, np.dtype(dtype).name)) if name == "zero_state"
                else lambda: stavex.DeviceState.from_numpy(N, v, use_pinned_host=pinned))
        events = [("allocation", OOM, 0)] + transfer_events(pinned)
        return Case(stavex, lambda: None, lambda _: make(), lambda _: None,
                    lambda _, s, __: exactly(s.to_numpy(), basis0 if name == "zero_state" else v), events)
    if name in ("to_numpy_pinned", "copy_to_numpy_pinned"):
        def download(s):
            if name == "to_numpy_pinned":
                return s.to_numpy(use_pinned_host=True)
            out = np.zeros_like(v)
            s.copy_to_numpy(out, use_pinned_host=True)
            return out
        return Case(stavex, call=download, check=lambda _, r, start: exactly(r, start), events=transfer_events(True),
                    stages=[v], **on_device)
    if name.startswith("run_"):  # run_<entry point>-<mode>
        entry, mode_name = name[4:].split("-")
        mode = getattr(stavex, mode_name)
        if mode == stavex.PairAutoFusion:
            gates, groups = fused_run_chunk()
            events = plan_events(gates, groups, dtype)
        else:
            gates = mode_chunk()
            groups = [(AUTOPAIR, [i], []) for i in range(len(gates))]
            events = [e for i, g in enumerate(gates) for e in gate_events(g, i)]
        if entry == "numpy":  # with pinning: upload, run, download
            events = [("allocation", OOM, 0)] + transfer_events(True) + at_start(events) + transfer_events(True)
            return Case(stavex, call=lambda a: stavex.run_circuit(N, a, gates, mode=mode, use_pinned_host=True),
                        check=runs(gates), events=events, stages=[v], cache_bytes=v.itemsize << N, **in_array)
        if entry == "gates":
            run = lambda s: stavex.run_circuit_device_gates(s, as_objects(gates), mode=mode)  # noqa: E731
        else:
            run = lambda s: stavex.run_circuit_device(s, gates, mode=mode)  # noqa: E731
        return Case(stavex, call=run, check=runs(gates), events=events, stages=prefix_states(N, gates, groups, v),
                    cache_bytes=v.itemsize << N, **on_device)
    if name == "prepare_chunk":  # planning only: no device operation at all
        gates, groups = fused_run_chunk()

        def planned(_, result, __):
            assert result.gate_count == len(gates) and chunk_groups(result) == groups
        return Case(stavex, lambda: None, lambda _: stavex.prepare_fusion_chunk_gates(N, as_objects(gates)),
                    lambda _: None, planned, events=[])
    if name == "prepared_chunk":
        gates, chunk = fault_chunk(N)
        groups = chunk_groups(chunk)
        return Case(stavex, call=lambda s: stavex.execute_prepared_fusion_chunk(s, chunk), check=runs(gates),
                    events=plan_events(gates, groups, dtype), stages=prefix_states(N, gates, groups, v),
                    cache_bytes=v.itemsize << N, **on_device)
    if name == "measure_device":
        return Case(stavex, call=lambda s: stavex.measure_device(s, [4, 1, 2], seed=11),
                    check=measured([4, 1, 2], None, True), events=measure_events(True), stages=[v], **on_device)
    if name in ("sample_collapse", "sample_keep"):
        collapse = name == "sample_collapse"
        return Case(stavex, call=lambda s: stavex.sample_measure_device(s, [5, 0], 40, seed=11, collapse_last=collapse),
                    check=measured([5, 0], 40, collapse), events=measure_events(collapse), stages=[v], **on_device)
    if name == "measure_pinned":
        events = [("allocation", OOM, 0)] + transfer_events(True) + measure_events(True) + transfer_events(True)
        return Case(stavex, call=lambda a: stavex.measure(N, a, [3, 5], use_pinned_host=True),
                    check=measured([3, 5], None, True, seeded=False), events=events, stages=[v], **in_array)
    if name == "outcome_probabilities":
        def probabilities(s, table, start):
            expected = reference_probabilities(start, N, [4, 1, 2], "big")
            assert np.allclose(table, expected, rtol=1e-6, atol=0) and matches(s.to_numpy(), start, dtype)
        return Case(stavex, call=lambda s: stavex._outcome_probabilities(s, [4, 1, 2], "big"), check=probabilities,
                    events=measure_events(False), stages=[v], **on_device)
    if name == "draw_outcomes":  # host work only
        table = reference_probabilities(v, N, [3, 1], "little")

        def drawn(_, result, __):
            assert result == reference_draw(table, 50, 3)
        return Case(stavex, lambda: None, lambda _: stavex._draw_outcomes(table, 50, 3), lambda _: None, drawn,
                    events=[])
    if name.startswith("collapse_"):  # keep: labels up, collapse; all: no labels; drop: a memset
        targets = {"collapse_keep": [5, 0], "collapse_all": []}.get(name, [2])
        norm2 = np.sum(np.abs(v.astype(np.complex128)) ** 2)
        cum = np.cumsum(reference_probabilities(v, N, targets, "little")) if targets else np.array([norm2])
        outcome = min(2, 2 ** len(targets) - 1)
        p = cum[outcome] - (cum[outcome - 1] if outcome else 0.0)
        keep = name != "collapse_drop"

        def collapsed(s, _, start):
            if not keep:
                expected = np.zeros_like(start)
            elif targets:
                expected = reference_collapse(start, N, targets, "little", outcome, cum)
            else:
                expected = start * np.asarray(1 / np.sqrt(p), start.real.dtype)
            assert_collapsed(s.to_numpy(), expected)
        events = {"collapse_keep": [("allocation", OOM, 0), ("copy", FAILED, 0), ("launch", FAILED, 0)],
                  "collapse_all": [("launch", FAILED, 0)]}.get(name, [])
        return Case(stavex, call=lambda s: stavex._collapse_outcome(s, targets, outcome, p, keep=keep),
                    check=collapsed, events=events, stages=[v], **on_device)
    if name.startswith("copy_range_"):  # a range of 20 amplitudes: 5.. to 37..
        def copied(source, target_start):
            out = target_start.copy()
            out[37:57] = source[5:25]
            return out
        if name == "copy_range_download":
            def download(s):
                out = v[::-1].copy()
                stavex._copy_range(s, 5, out, 37, 20, use_pinned_host=True)
                return out
            return Case(stavex, call=download, check=lambda _, r, start: exactly(r, copied(start, v[::-1])),
                        events=transfer_events(True), stages=[v], **on_device)
        host = v[::-1].copy()
        call = {"copy_range_upload": lambda s: stavex._copy_range(host, 5, s, 37, 20, use_pinned_host=True),
                "copy_range_within": lambda s: stavex._copy_range(s, 5, s, 37, 20),
                "copy_range_foreign": lambda s: stavex._copy_range(s, 5, Exported(s), 37, 20)}[name]
        source = (lambda start: host) if name == "copy_range_upload" else (lambda start: start)
        return Case(stavex, call=call, check=lambda s, _, start: exactly(s.to_numpy(), copied(source(start), start)),
                    events=transfer_events(name == "copy_range_upload"), stages=[v], **on_device)
    if name == "pinned_host_array":
        def pinned(_, array, __):
            assert array.dtype == dtype and array.shape == (64,)
            assert array.nbytes in stavex._cpu_layer_live_host_allocations()
        return Case(stavex, lambda: None, lambda _: stavex._pinned_host_array(64, np.dtype(dtype).name),
                    lambda _: None, pinned, events=[("host_allocation", OOM, 0)])
    raise KeyError(name)


STAVEX_CALLS = (["zero_state", "from_numpy", "from_numpy_pinned", "to_numpy_pinned", "copy_to_numpy_pinned"]
                + [f"run_{entry}-{mode}" for entry in ("device", "gates", "numpy")
                   for mode in ("AllState", "Pair", "PairAuto", "PairAutoFusion")]
                + ["prepare_chunk", "prepared_chunk", "measure_device", "sample_collapse", "sample_keep", "measure_pinned"]
                + ["outcome_probabilities", "draw_outcomes", "collapse_keep", "collapse_all", "collapse_drop"]
                + ["copy_range_download", "copy_range_upload", "copy_range_within", "copy_range_foreign",
                   "pinned_host_array"])


# ---- density-matrix calls --------------------------------------------------------------------

DN = 8  # fusion forms shared-memory groups (of 4 qubits) from 8 qubits on
DIAGONAL = {"p", "rz", "s", "s_dag", "t", "t_dag", "z", "-z"}


def kraus_set(rng, dim, count):
    """Kraus operators of a random channel (the blocks of an isometry)."""
    v = random_unitary(dim * count, rng)[:, :dim]
    return [v[j * dim:(j + 1) * dim] for j in range(count)]


def density_ops():
    """Every operation form: named, diagonal, permutation and stored-matrix
    gates, controlled or not, on 1, 2, 3 and 6 targets; an uncontrolled global
    phase (skipped); built-in channels and general Kraus sets on 1 to 3
    targets. Under fusion: a group on qubits 0-3, a gate followed by a channel
    on one qubit, a run on two qubits, and unfusable operations between them
    (which also keep the operations mostly in one chain, and so the states a
    fused run can fail in few)."""
    rng = np.random.default_rng(41)
    return [Gate("h", [0]), Gate("cx", [1], [0], [1]), Gate("rz", [2], parameter=[0.3]),
            Kraus([3], CHANNELS["bit_flip"](0.2), "bit_flip"), Gate("ry", [3], [2], [0], [0.7]),
            Gate("cz", [2], [1], [1]), Kraus([3, 4], kraus_set(rng, 4, 2)), Gate("swap", [4, 5]),
            Gate("unitary", [5], matrix=random_unitary(2, rng)),
            Kraus([5], CHANNELS["depolarizing"](0.1), "depolarizing"),
            Kraus([5, 6], kraus_set(rng, 4, 3)), Gate("x", [6], [7], [0]),
            Kraus([7], CHANNELS["amplitude_damping"](0.3), "amplitude_damping"), Gate("gp", [6], parameter=[0.5]),
            Gate("unitary", [1, 5], [6], [1], matrix=random_unitary(4, rng)),
            Gate("unitary", [1, 5, 6], matrix=random_unitary(8, rng)),
            Gate("unitary", [0, 2, 3, 4, 6, 7], matrix=random_unitary(64, rng)),
            Kraus([0, 3, 6], kraus_set(rng, 8, 2))]


def is_kraus(op):
    return getattr(op, "operation_kind", None) == "kraus"


class FullOperator:
    """A full operator G, multiplied from the left through the nonzero
    entries of its rows when they are few (the model's runs are then cheap)."""

    def __init__(self, g):
        self.dense = g
        width = int(np.max(np.count_nonzero(g, axis=1)))
        self.columns = np.argsort(g == 0, axis=1, kind="stable")[:, :width] if width <= 8 else None
        self.values = None if self.columns is None else np.take_along_axis(g, self.columns, 1)

    def __matmul__(self, m):
        if self.columns is None:
            return self.dense @ m
        return np.einsum("rj,rjc->rc", self.values, m[self.columns])


def operators(op):
    """The full operators of an operation: its Kraus set, or its gate."""
    if is_kraus(op):
        matrices, controls = op.kraus_matrices, ((), ())
    else:
        name = ALIASES.get(op.id, op.id)
        matrices = [op.stored_matrix if op.has_stored_matrix else SWAP if name == "swap"
                    else gate_matrix(op.id, op.parameter)]
        controls = (op.control, op.control_state)
    return [FullOperator(full_operator(DN, m, op.target, *controls)) for m in matrices]


def apply(ops_full, rho):
    """sum of G rho G^dagger, formed as (G (G rho)^dagger)^dagger."""
    return sum((g @ (g @ rho).conj().T).conj().T for g in ops_full)


def launch_family(op):
    """Which kernel family an unfused operation launches, and how often."""
    if is_kraus(op):
        return ("channel kernel" if getattr(op, "channel_name", None) in CHANNELS else "kraus_kernel"), 1
    name = ALIASES.get(op.id, op.id)
    if not op.has_stored_matrix:
        if name == "gp" and not op.control:
            return None, 0
        if name in DIAGONAL or name == "gp":
            return "diagonal kernel", 1
        if name == "swap" or (name == "x" and len(op.target) == 1):
            return "permutation kernel", 1
    return "unitary kernel", 1 if len(op.target) < 3 else 2  # three targets on: left, then right


@lru_cache(maxsize=None)
def density_model():
    """The operations, their full operators, and the start state in double
    precision (a complex64 start is its rounding, well inside the tolerance)."""
    ops = density_ops()
    return ops, [operators(op) for op in ops], random_rho(DN, np.complex128, seed=7, hermitian=True)


@lru_cache(maxsize=None)
def unfused_events():
    """The pool (one allocation, one copy), then each launch; a 3+ target
    unitary is two launches, and a failed first one stops before the second."""
    ops, full, rho = density_model()
    events, stages = [], [rho]
    if any(launch_family(op)[0] in ("unitary kernel", "kraus_kernel") for op in ops):
        events += [("allocation", OOM, 0), ("copy", FAILED, 0)]
    for op, g in zip(ops, full):
        family, launches = launch_family(op)
        message = f"{family} launch failed: {LAUNCH_FAILURE}"
        if launches == 2:
            stages += [rho, g[0] @ rho]
            events += [("launch", message, len(stages) - 2), ("launch", message, len(stages) - 1)]
        elif launches:
            stages.append(rho)
            events.append(("launch", message, len(stages) - 1))
        rho = apply(g, rho)
    return events, stages


@lru_cache(maxsize=None)
def reachable_states():
    """Every state an executor that keeps the order of operations on shared
    qubits can leave: the operations of each set that holds, with each of its
    operations, every earlier one sharing a qubit with it; and each such
    state followed by the first pass of a 3+ target unitary it may run next."""
    ops, full, rho = density_model()
    qubits = [set(op.target) | set(getattr(op, "control", ())) for op in ops]
    before = [{j for j in range(i) if qubits[j] & qubits[i]} for i in range(len(ops))]
    states, todo = {frozenset(): rho}, [frozenset()]
    halves = []
    while todo:
        done = todo.pop()
        for i in range(len(ops)):
            if i in done or not before[i] <= done:
                continue
            if launch_family(ops[i]) == ("unitary kernel", 2):
                g = full[i][0]
                halves.append(g @ states[done])
            nxt = done | {i}
            if nxt not in states:
                states[nxt] = apply(full[i], states[done])
                todo.append(nxt)
    return list(states.values()) + halves


DENSITY_FAMILIES = ["unitary kernel", "diagonal kernel", "permutation kernel", "channel kernel", "kraus_kernel",
                    "unitary_channel kernel", "density_sparsesharemem kernel"]


def plexar_case(name, dtype):
    rho = density_model()[2].astype(dtype)
    small = random_rho(3, dtype, seed=8)
    on_device = dict(observe=lambda s: s.to_numpy())
    if name in ("zero_state", "from_numpy"):
        make = ((lambda: plexar.DeviceDensityState.zero_state(3, np.dtype(dtype).name)) if name == "zero_state"
                else lambda: plexar.DeviceDensityState.from_numpy(3, small.copy()))
        expected = small
        if name == "zero_state":
            expected = np.zeros((8, 8), dtype)
            expected[0, 0] = 1
        return Case(plexar, lambda: None, lambda _: make(), lambda _: None,
                    lambda _, s, __: exactly(s.to_numpy(), expected), [("allocation", OOM, 0), ("copy", FAILED, 0)])
    new_small = lambda: plexar.DeviceDensityState.from_numpy(3, small.copy())  # noqa: E731
    if name == "to_numpy":
        return Case(plexar, new_small, lambda s: s.to_numpy(), check=lambda _, r, start: exactly(r, start),
                    events=[("copy", FAILED, 0)], stages=[small], **on_device)
    if name == "copy":
        def check(s, copied, start):
            exactly(copied.to_numpy(), start)
            plexar.run_density_operations_device(copied, 3, [Gate("x", [0])])
            exactly(s.to_numpy(), start)  # independent of its source
        return Case(plexar, new_small, lambda s: s.copy(), check=check,
                    events=[("allocation", OOM, 0), ("copy", FAILED, 0)], stages=[small], **on_device)
    new_state = lambda: plexar.DeviceDensityState.from_numpy(DN, rho.copy())  # noqa: E731
    if name in ("run", "run_fusion"):
        ops, full, _ = density_model()

        def check(s, _, start):
            for g in full:
                start = apply(g, start)
            assert_close(s.to_numpy(), start, dtype)
        call = lambda s: plexar.run_density_operations_device(s, DN, ops)  # noqa: E731
        if name == "run":
            events, stages = unfused_events()
            return Case(plexar, new_state, call, check=check, events=events, stages=stages, **on_device)
        allowed = {"allocation": {OOM}, "copy": {FAILED},
                   "launch": {f"{f} launch failed: {LAUNCH_FAILURE}" for f in DENSITY_FAMILIES}}
        return Case(plexar, new_state, call, check=check, stages=reachable_states(), allowed=allowed, **on_device)
    if name == "measure":
        def measured(s, result, start):
            probs = outcome_probabilities(start, [6, 1], "big")
            outcome = draw_outcome(probs, 9)
            assert result == outcome_text(outcome, 2)
            assert_close(s.to_numpy(), collapse(start, [6, 1], "big", outcome, probs[outcome]), dtype)
        return Case(plexar, new_state, lambda s: plexar.measure_device(s, [6, 1], "big", seed=9), check=measured,
                    events=measure_events(True), stages=[rho], **on_device)
    raise KeyError(name)


PLEXAR_CALLS = ["zero_state", "from_numpy", "to_numpy", "copy", "run", "run_fusion", "measure"]


# ---- the sweep ---------------------------------------------------------------------------------

@lru_cache(maxsize=None)
def build(module, name, dtype):
    return (stavex_case if module == "stavex" else plexar_case)(name, dtype)


@pytest.fixture(scope="module", autouse=True)
def tally():
    """Prints (with -s) how many (call, kind, k) cases ran, and how many of them failed."""
    yield
    for module in ("stavex", "plexar"):
        print(f"\nfault sweep, {module}: {TALLY[module, 'calls']} (call, kind, k) cases, "
              f"{TALLY[module, 'failures']} with the call failing")


CALLS = [("stavex", c) for c in STAVEX_CALLS] + [("plexar", c) for c in PLEXAR_CALLS]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128], ids=["c64", "c128"])
@pytest.mark.parametrize("module, name", CALLS, ids=[f"{m}.{c}" for m, c in CALLS])
def test_every_failing_operation(module, name, dtype, kind, monkeypatch):
    # Density runs read the switch at each call; fusion applies from 5 qubits on.
    monkeypatch.setenv("ZORVANE_DENSITY_FUSION", "1" if name == "run_fusion" else "0")
    case = build(module, name, dtype)
    count = sweep(case, kind, dtype)
    if case.events is not None:
        assert count == sum(1 for e_kind, _, _ in case.events if e_kind == kind)
