"""Runs a circuit on the modules: noiseless circuits on `stavex`, noisy ones
on `plexar`.

A circuit whose measurements all come last (nothing touches a qubit after it
is measured, no conditionals) runs once: its gates in chunks, then one draw of
all shots (`sample_measure_device` for a pure state; for a density matrix, a
draw from its diagonal). With `PairAutoFusion` the chunks stream: a worker
thread plans chunk i + 1 with `prepare_fusion_chunk_gates` while chunk i
executes (both calls release the interpreter lock). Any other circuit runs
shot by shot: the gates before its first measurement once, then per shot a
copy of that state through the rest, measuring with `measure_device`, a reset
as a measurement and an X on outcome 1 (on a density matrix, reset is a
channel), conditionals on the classical bits of the shot. Each segment of
gates is planned once and executed in every shot.
"""
from __future__ import annotations

import time
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

import plexar
import stavex

from .noise import NoiseLike, noise_source
from .program import Channel, Conditional, Gate, Instruction, Measure, Program, Reset, plexar_operations, \
    touched_qubits
from .result import RunResult, count_key

if TYPE_CHECKING:
    from qiskit import QuantumCircuit

PairAutoFusion = stavex.PairAutoFusion
DEFAULT_CHUNK_GATES = 4096
PLEXAR_MAX_QUBITS = 15
STAVEX_MAX_QUBITS = 62

Progress = Callable[[int, int, str], None]
"""Called as progress(done, total, unit) with unit "gates" or "shots"."""


class CircuitTooLargeError(ValueError):
    """The state of a circuit does not fit the module or the device."""

    def __init__(self, message: str, needed_bytes: int, available_bytes: int | None) -> None:
        super().__init__(message)
        self.needed_bytes = needed_bytes
        self.available_bytes = available_bytes


# ---- arguments ----------------------------------------------------------------------

def _dtype_name(dtype: Any) -> str:
    try:
        name = np.dtype(dtype).name
    except TypeError:
        name = ""
    if name not in ("complex64", "complex128"):
        raise ValueError(f"dtype must be complex64 or complex128, got {dtype!r}")
    return name


def kernel_mode(mode: stavex.KernelMode | str | int) -> stavex.KernelMode:
    """A stavex.KernelMode from a member, its name or its number."""
    if isinstance(mode, stavex.KernelMode):
        return mode
    members = stavex.KernelMode.__members__
    if isinstance(mode, str) and mode in members:
        return members[mode]
    if isinstance(mode, int) and not isinstance(mode, bool):
        for member in members.values():
            if int(member) == mode:
                return member
    raise ValueError(f"mode must be one of {', '.join(members)}, got {mode!r}")


def _shots(shots: Any) -> int:
    if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)) or shots < 0:
        raise ValueError(f"shots must be a non-negative integer, got {shots!r}")
    return int(shots)


# ---- splitting a program --------------------------------------------------------------

@dataclass
class _Split:
    body: list[Gate | Channel]
    finals: list[Measure]


def _split_final_measurements(program: Program, density: bool) -> _Split | None:
    """The gates (and channels) and the measurements that can all be drawn at
    the end, or None when the circuit must run shot by shot. A reset of a qubit
    nothing has touched yet is dropped; on a density matrix any reset is a
    channel."""
    body: list[Gate | Channel] = []
    finals: list[Measure] = []
    touched: set[int] = set()
    measured: set[int] = set()
    for instruction in program.instructions:
        if isinstance(instruction, Conditional):
            return None
        if isinstance(instruction, Measure):
            finals.append(instruction)
            measured.add(instruction.qubit)
            continue
        qubits = set(touched_qubits(instruction))
        if qubits & measured:
            return None
        if isinstance(instruction, Reset):
            if density:
                body.append(_reset_channel(instruction.qubit))
            elif instruction.qubit in touched:
                return None
            continue
        touched |= qubits
        body.append(instruction)
    return _Split(body, finals)


_RESET_KRAUS = np.array([[[1, 0], [0, 0]], [[0, 1], [0, 0]]], dtype=complex)


def _reset_channel(qubit: int) -> Channel:
    return Channel((qubit,), _RESET_KRAUS)


def _outcome_word(bits: str, slots: Sequence[tuple[int, int]], base: int = 0) -> int:
    """Writes the measured characters (bits[position] to classical bit clbit,
    in measurement order) into an outcome word."""
    word = base
    for position, clbit in slots:
        if bits[position] == "1":
            word |= 1 << clbit
        else:
            word &= ~(1 << clbit)
    return word


def _measure_slots(finals: Sequence[Measure]) -> tuple[list[int], list[tuple[int, int]]]:
    targets: list[int] = []
    slots = []
    for m in finals:
        if m.qubit not in targets:
            targets.append(m.qubit)
        slots.append((targets.index(m.qubit), m.clbit))
    return targets, slots


# ---- memory -----------------------------------------------------------------------------

def _check_fits(module: Any, label: str, num_qubits: int, limit: int, elements: int, itemsize: int,
                device: str) -> int:
    needed = elements * itemsize
    available = _free_bytes(module, device)
    if num_qubits > limit:
        raise CircuitTooLargeError(
            f"{num_qubits} qubits: {label} holds at most {limit}; the state would need {needed} bytes"
            + (f", {available} bytes are available on {device}" if available is not None else ""),
            needed, available)
    if available is not None and needed > available:
        raise CircuitTooLargeError(
            f"circuit too large for {device}: its {label} state of {num_qubits} qubits needs {needed} bytes, "
            f"{available} bytes are available", needed, available)
    return needed


def _free_bytes(module: Any, device: str) -> int | None:
    info = getattr(module, "device_memory_info", None)
    if info is None:
        return None
    try:
        return int(info(device)[0])
    except (RuntimeError, ValueError, IndexError):
        return None


def _out_of_memory(error: RuntimeError, module: Any, needed: int, device: str) -> CircuitTooLargeError | None:
    if "out of memory" not in str(error):
        return None
    available = _free_bytes(module, device)
    return CircuitTooLargeError(
        f"circuit too large for {device}: its state needs {needed} bytes (more for the fused kernels' scratch "
        f"buffers) and the device ran out of memory ({available if available is not None else 'unknown'} bytes "
        f"free now)", needed, available)


# ---- chunks of gates ---------------------------------------------------------------------

@dataclass
class _Clock:
    plan: float = 0.0
    execute: float = 0.0


class _GateRunner:
    """Runs lists of gates on a stavex state: planned chunks with
    PairAutoFusion, the per-gate path in other modes."""

    def __init__(self, n: int, mode: stavex.KernelMode, chunk_gates: int, clock: _Clock) -> None:
        self.n = n
        self.mode = mode
        self.fused = mode == stavex.PairAutoFusion
        self.chunk_gates = max(1, int(chunk_gates))
        self.clock = clock

    def _chunks(self, gates: Sequence[Gate]) -> list[Sequence[Gate]]:
        return [gates[i:i + self.chunk_gates] for i in range(0, len(gates), self.chunk_gates)]

    def plan(self, gates: Sequence[Gate]) -> stavex.PreparedFusionChunk:
        start = time.perf_counter()
        chunk = stavex.prepare_fusion_chunk_gates(self.n, gates)
        self.clock.plan += time.perf_counter() - start
        return chunk

    def prepare(self, gates: Sequence[Gate]) -> list[Any]:
        """A segment ready to run any number of times."""
        if not self.fused:
            return list(self._chunks(gates))
        return [self.plan(chunk) for chunk in self._chunks(gates)]

    def execute(self, state: stavex.DeviceState, prepared: Sequence[Any]) -> None:
        start = time.perf_counter()
        for chunk in prepared:
            if self.fused:
                stavex.execute_prepared_fusion_chunk(state, chunk)
            else:
                stavex.run_circuit_device_gates(state, chunk, mode=self.mode)
        self.clock.execute += time.perf_counter() - start

    def stream(self, state: stavex.DeviceState, gates: Sequence[Gate], overlap: bool,
               progress: Progress | None) -> None:
        """Runs a long gate list once, planning the next chunk on a worker
        thread while the current one executes (or, without `overlap`, planning
        every chunk first)."""
        chunks = self._chunks(gates)
        done = 0
        for prepared, size in self._prepared_chunks(chunks, overlap):
            self.execute(state, [prepared])
            done += size
            if progress is not None:
                progress(done, len(gates), "gates")

    def _prepared_chunks(self, chunks: list[Sequence[Gate]], overlap: bool) -> Iterator[tuple[Any, int]]:
        if not self.fused:
            yield from ((chunk, len(chunk)) for chunk in chunks)
        elif not overlap or len(chunks) < 2:
            yield from zip([self.plan(chunk) for chunk in chunks], map(len, chunks))
        else:
            with ThreadPoolExecutor(max_workers=1, thread_name_prefix="zorvane-plan") as planner:
                upcoming = planner.submit(self.plan, chunks[0])
                for i, chunk in enumerate(chunks):
                    prepared = upcoming.result()
                    if i + 1 < len(chunks):
                        upcoming = planner.submit(self.plan, chunks[i + 1])
                    yield prepared, len(chunk)


# ---- shot by shot -------------------------------------------------------------------------

@dataclass
class _Step:
    kind: str  # "gates", "measure", "reset", "if"
    payload: Any


_Steps = list[_Step]


def _compile(instructions: Sequence[Instruction], prepare: Callable[[list[Any]], Any],
             density: bool) -> _Steps:
    """Groups a program into steps: runs of gates (and channels) prepared once,
    groups of measurements of distinct qubits, resets and conditionals."""
    steps: _Steps = []
    run: list[Any] = []
    for instruction in instructions:
        if isinstance(instruction, Reset) and density:
            instruction = _reset_channel(instruction.qubit)
        if isinstance(instruction, (Gate, Channel)):
            run.append(instruction)
            continue
        if run:
            steps.append(_Step("gates", prepare(run)))
            run = []
        if isinstance(instruction, Measure):
            last = steps[-1] if steps else None
            if last is not None and last.kind == "measure" and instruction.qubit not in last.payload[0]:
                last.payload[0].append(instruction.qubit)
                last.payload[1].append((len(last.payload[0]) - 1, instruction.clbit))
            else:
                steps.append(_Step("measure", ([instruction.qubit], [(0, instruction.clbit)])))
        elif isinstance(instruction, Reset):
            steps.append(_Step("reset", instruction.qubit))
        else:
            steps.append(_Step("if", (instruction.condition, _compile(instruction.true_body, prepare, density),
                                      _compile(instruction.false_body, prepare, density))))
    if run:
        steps.append(_Step("gates", prepare(run)))
    return steps


class _ShotMachine:
    """Runs compiled steps on one shot's state, keeping its classical bits."""

    def __init__(self, run_gates: Callable[[Any, Any], None], measure: Callable[[Any, list[int], int], str],
                 flip: Callable[[Any, int], None], rng: np.random.Generator,
                 readout: dict[int, np.ndarray]) -> None:
        self.run_gates = run_gates
        self.measure = measure
        self.flip = flip
        self.rng = rng
        self.readout = readout

    def run(self, state: Any, steps: _Steps, word: int) -> int:
        for step in steps:
            if step.kind == "gates":
                self.run_gates(state, step.payload)
            elif step.kind == "measure":
                targets, slots = step.payload
                bits = self.measure(state, targets, self._seed())
                if self.readout:
                    bits = "".join(self._recorded(q, b) for q, b in zip(targets, bits))
                word = _outcome_word(bits, slots, word)
            elif step.kind == "reset":
                if self.measure(state, [step.payload], self._seed()) == "1":
                    self.flip(state, step.payload)
            else:
                condition, true_steps, false_steps = step.payload
                word = self.run(state, true_steps if condition(_Bits(word)) else false_steps, word)
        return word

    def _seed(self) -> int:
        return int(self.rng.integers(0, 2**63))

    def _recorded(self, qubit: int, bit: str) -> str:
        matrix = self.readout.get(qubit)
        if matrix is None:
            return bit
        return "1" if self.rng.random() < matrix[int(bit)][1] else "0"


class _Bits(Sequence[int]):
    """An outcome word read as a sequence of classical bits."""

    def __init__(self, word: int) -> None:
        self.word = word

    def __getitem__(self, index: Any) -> Any:
        return (self.word >> index) & 1

    def __len__(self) -> int:
        return max(self.word.bit_length(), 1)


# ---- the two engines -------------------------------------------------------------------------

@dataclass
class _Outcome:
    counts: dict[int, int]
    statevector: np.ndarray | None = None
    density_matrix: np.ndarray | None = None
    shot_by_shot: bool = False


def _run_pure(program: Program, shots: int, rng: np.random.Generator, dtype: str, mode: stavex.KernelMode,
              device: str, want_state: bool, chunk_gates: int, overlap: bool, progress: Progress | None,
              clock: _Clock) -> _Outcome:
    n = program.num_qubits
    if n < 1:
        raise ValueError("circuit has no qubits")
    needed = _check_fits(stavex, "stavex", n, STAVEX_MAX_QUBITS, 2**n, np.dtype(dtype).itemsize, device)
    runner = _GateRunner(n, mode, chunk_gates, clock)
    try:
        split = _split_final_measurements(program, density=False)
        state = stavex.DeviceState.zero_state(n, dtype=dtype, device=device)
        if split is not None:
            # A program that is not noisy holds no channels: its body is gates.
            runner.stream(state, cast(list[Gate], split.body), overlap, progress)
            counts: dict[int, int] = {}
            if shots and split.finals:
                targets, slots = _measure_slots(split.finals)
                start = time.perf_counter()
                drawn, _ = stavex.sample_measure_device(state, targets, shots, seed=int(rng.integers(0, 2**63)),
                                                        collapse_last=False)
                clock.execute += time.perf_counter() - start
                counts = {_outcome_word(bits, slots): count for bits, count in drawn.items()}
            elif shots:
                counts = {0: shots}
            return _Outcome(counts, state.to_numpy() if want_state else None)
        return _shot_by_shot_pure(program, shots, rng, dtype, device, runner, state, want_state, progress)
    except RuntimeError as error:
        too_large = _out_of_memory(error, stavex, needed, device)
        if too_large is None:
            raise
        raise too_large from error


def _leading_gates(instructions: list[Instruction]) -> tuple[list[Gate | Channel], list[Instruction]]:
    leading: list[Gate | Channel] = []
    for instruction in instructions:
        if not isinstance(instruction, (Gate, Channel)):
            break
        leading.append(instruction)
    return leading, instructions[len(leading):]


def _kept_copy(state: stavex.DeviceState) -> stavex.DeviceState | np.ndarray:
    """The state where every shot starts: a second device state when the
    device has room for it (a shot then starts with a device-side copy), else
    a host array (then with an upload)."""
    try:
        kept = stavex.DeviceState.zero_state(state.n, dtype=state.dtype, device=f"cuda:{state.device_id}")
    except RuntimeError:  # no room on the device
        return state.to_numpy()
    stavex._copy_range(state, 0, kept, 0, state.num_state)
    return kept


def _restored(start: stavex.DeviceState | np.ndarray, state: stavex.DeviceState) -> stavex.DeviceState:
    """`state` set back, in place, to the start of a shot."""
    stavex._copy_range(start, 0, state, 0, state.num_state)
    return state


def _shot_by_shot_pure(program: Program, shots: int, rng: np.random.Generator, dtype: str, device: str,
                       runner: _GateRunner, state: stavex.DeviceState, want_state: bool,
                       progress: Progress | None) -> _Outcome:
    n = program.num_qubits
    prefix, rest = _leading_gates(program.instructions)
    runner.stream(state, cast(list[Gate], prefix), overlap=True, progress=None)  # not noisy: gates only
    start_state = _kept_copy(state) if prefix else None
    steps = _compile(rest, runner.prepare, density=False)
    machine = _ShotMachine(
        run_gates=runner.execute,
        measure=lambda s, targets, seed: stavex.measure_device(s, targets, seed=seed),
        flip=lambda s, q: stavex.run_circuit_device_gates(s, [Gate.of("x", [q])]),
        rng=rng, readout={})
    counts: Counter[int] = Counter()
    for shot in range(shots):
        if shot:
            state = _restored(start_state, state) if start_state is not None else (
                stavex.DeviceState.zero_state(n, dtype=dtype, device=device))
        counts[machine.run(state, steps, 0)] += 1
        if progress is not None:
            progress(shot + 1, shots, "shots")
    if shots == 0:
        # No shots: one pass through the circuit gives the state asked for.
        machine.run(state, steps, 0)
    return _Outcome(dict(counts), state.to_numpy() if want_state else None, shot_by_shot=True)


def _run_density(program: Program, shots: int, rng: np.random.Generator, dtype: str, device: str,
                 chunk_gates: int, progress: Progress | None, clock: _Clock) -> _Outcome:
    n = program.num_qubits
    needed = _check_fits(plexar, "plexar (density matrix)", n, PLEXAR_MAX_QUBITS, 4**n, np.dtype(dtype).itemsize,
                         device)
    try:
        state = plexar.DeviceDensityState.zero_state(n, dtype=dtype, device=device)
        split = _split_final_measurements(program, density=True)
        if split is None:
            return _shot_by_shot_density(program, shots, rng, state, progress, clock)
        operations = plexar_operations(split.body)
        step = max(1, int(chunk_gates))
        for i in range(0, len(operations), step):
            start = time.perf_counter()
            plexar.run_density_operations_device(state, n, operations[i:i + step])
            clock.execute += time.perf_counter() - start
            if progress is not None:
                progress(min(i + step, len(operations)), len(operations), "operations")
        rho = state.to_numpy()
        counts: dict[int, int] = {}
        if shots:
            counts = _draw_from_density(rho, n, split.finals, shots, rng, program.readout_errors)
        return _Outcome(counts, density_matrix=rho)
    except RuntimeError as error:
        too_large = _out_of_memory(error, plexar, needed, device)
        if too_large is None:
            raise
        raise too_large from error


def _draw_from_density(rho: np.ndarray, n: int, finals: Sequence[Measure], shots: int, rng: np.random.Generator,
                       readout: dict[int, np.ndarray]) -> dict[int, int]:
    if not finals:
        return {0: shots}
    targets, slots = _measure_slots(finals)
    k = len(targets)
    probabilities = np.clip(np.real(np.diagonal(rho)).astype(np.float64), 0.0, None)
    # Outcome of basis state i: bit k-1-j is qubit targets[j], as the modules' bit strings read.
    index = np.arange(2**n)
    outcome = np.zeros(2**n, dtype=np.int64)
    for j, q in enumerate(targets):
        outcome |= ((index >> q) & 1) << (k - 1 - j)
    marginal = np.bincount(outcome, weights=probabilities, minlength=2**k)
    drawn = rng.multinomial(shots, marginal / marginal.sum())
    outcomes = np.nonzero(drawn)[0]
    bits = (outcomes[:, None] >> (k - 1 - np.arange(k))[None, :]) & 1
    if readout:
        bits = np.repeat(bits, drawn[outcomes], axis=0)
        for j, q in enumerate(targets):
            matrix = readout.get(q)
            if matrix is not None:
                bits[:, j] = rng.random(len(bits)) < matrix[bits[:, j], 1]
        rows, tallies = np.unique(bits, axis=0, return_counts=True)
    else:
        rows, tallies = bits, drawn[outcomes]
    counts: Counter[int] = Counter()
    for row, tally in zip(rows, tallies):
        counts[_outcome_word("".join("1" if b else "0" for b in row), slots)] += int(tally)
    return dict(counts)


def _shot_by_shot_density(program: Program, shots: int, rng: np.random.Generator, state: plexar.DeviceDensityState,
                          progress: Progress | None, clock: _Clock) -> _Outcome:
    n = program.num_qubits

    def run_operations(rho: Any, operations: Any) -> None:
        start = time.perf_counter()
        plexar.run_density_operations_device(rho, n, operations)
        clock.execute += time.perf_counter() - start

    prefix, rest = _leading_gates(program.instructions)
    run_operations(state, plexar_operations(prefix))
    steps = _compile(rest, plexar_operations, density=True)
    machine = _ShotMachine(
        run_gates=run_operations,
        measure=lambda rho, targets, seed: plexar.measure_device(rho, targets, seed=seed),
        flip=lambda rho, q: plexar.run_density_operations_device(rho, n, plexar_operations([Gate.of("x", [q])])),
        rng=rng, readout=program.readout_errors)
    counts: Counter[int] = Counter()
    last = state
    for shot in range(shots):
        last = state.copy()
        counts[machine.run(last, steps, 0)] += 1
        if progress is not None:
            progress(shot + 1, shots, "shots")
    if shots == 0:
        machine.run(last, steps, 0)
    return _Outcome(dict(counts), density_matrix=last.to_numpy(), shot_by_shot=True)


# ---- the entry point ----------------------------------------------------------------------------

def run(circuit: QuantumCircuit | Program, shots: int = 0, *, seed: int | None = None,
        dtype: npt.DTypeLike = "complex128", mode: stavex.KernelMode | str | int = PairAutoFusion,
        noise: NoiseLike = None, device: str = "cuda:0",
        statevector: bool | None = None, chunk_gates: int = DEFAULT_CHUNK_GATES, overlap_planning: bool = True,
        progress: Progress | None = None) -> RunResult:
    """Runs a Qiskit `QuantumCircuit` (all parameters bound) or a translated
    `Program`; returns a `RunResult`.

    shots: draws of the classical bits (0: no draws; the final state only).
    seed: makes the draws reproducible. dtype: complex64 or complex128.
    mode: a stavex.KernelMode (or its name) for noiseless circuits.
    noise: 'depolarizing:0.01', a `GateNoise`, a list of them or a qiskit_aer
    NoiseModel; noisy circuits run on plexar (at most 15 qubits).
    statevector: return the final pure state (default: when shots is 0).
    chunk_gates: gates planned and executed at a time.
    overlap_planning: plan the next chunk while the current one executes.
    progress: called as progress(done, total, unit) after each chunk or shot.
    """
    started = time.perf_counter()
    shots = _shots(shots)
    dtype = _dtype_name(dtype)
    mode = kernel_mode(mode)
    source = noise_source(noise)
    if isinstance(circuit, Program):
        program = circuit
    else:
        from .translate import PLEXAR_UNITARY_QUBITS, STAVEX_UNITARY_QUBITS, translate

        program = translate(circuit, source,
                            max_unitary_qubits=PLEXAR_UNITARY_QUBITS if source else STAVEX_UNITARY_QUBITS)
    translated = time.perf_counter()
    density = source is not None or program.is_noisy()
    rng = np.random.default_rng(seed)
    clock = _Clock()
    want_state = shots == 0 if statevector is None else bool(statevector)
    module: ModuleType
    if density:
        outcome = _run_density(program, shots, rng, dtype, device, chunk_gates, progress, clock)
        module = plexar
    else:
        outcome = _run_pure(program, shots, rng, dtype, mode, device, want_state, chunk_gates, overlap_planning,
                            progress, clock)
        module = stavex
    finished = time.perf_counter()
    counts = {count_key(word, program.registers, program.num_clbits): c for word, c in outcome.counts.items()}
    timings = {"translate_s": translated - started, "plan_s": clock.plan, "execute_s": clock.execute,
               "total_s": finished - started}
    return RunResult(
        counts=counts, outcome_counts=outcome.counts, shots=shots, num_qubits=program.num_qubits,
        num_clbits=program.num_clbits, registers=program.registers,
        backend=f"{module.__name__} ({module.backend})", device=device, dtype=dtype,
        mode="density matrix" if density else mode.name, seed=seed, timings=timings,
        statevector=outcome.statevector, density_matrix=outcome.density_matrix,
        shot_by_shot=outcome.shot_by_shot, gate_count=program.gate_count())
