"""Qiskit circuits to the neutral instruction list (`program.Program`).

Standard gates of the vocabulary map one to one, their controls and control
states included; other controlled gates become their base gate's translation
with the controls added to every gate of it. Gates outside the vocabulary on
one or two qubits, and `UnitaryGate`s, pass as a `unitary` matrix; larger
ones follow Qiskit's own definition, unless that would take more gates than
their matrix has rows. Qiskit's matrices are little-endian in the qubit list,
as the modules' `unitary` is: row bit j stands for the instruction's j-th
qubit. The circuit's global phase (with the phases of the definitions used)
becomes one `gp` gate.

Measurements, resets and `if_else` blocks become `Measure`, `Reset` and
`Conditional` records; `for_loop` bodies are unrolled and `box` bodies
inlined. Noise channels, when asked for, follow the instructions they belong
to.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._optional import require
from .noise import NoiseSource
from .program import ClassicalRegister, Conditional, Gate, Instruction, Measure, Program, Reset

if TYPE_CHECKING:
    from qiskit import QuantumCircuit

_HALF_PI = math.pi / 2

# Standard gates by name: (vocabulary name, leading control qubits, parameter
# rewrite). An open-controlled gate has another name (cx_o0) and takes the
# general path.
_STANDARD: dict[str, tuple[str, int, Callable[[list[float]], list[float]] | None]] = {
    "x": ("x", 0, None), "y": ("y", 0, None), "z": ("z", 0, None), "h": ("h", 0, None),
    "s": ("s", 0, None), "sdg": ("s_dag", 0, None), "t": ("t", 0, None), "tdg": ("t_dag", 0, None),
    "sx": ("sx", 0, None), "sxdg": ("sxdg", 0, None),
    "rx": ("rx", 0, None), "ry": ("ry", 0, None), "rz": ("rz", 0, None), "p": ("p", 0, None),
    "u": ("u", 0, None), "u3": ("u", 0, None), "u1": ("p", 0, None),
    "u2": ("u", 0, lambda p: [_HALF_PI, p[0], p[1]]),
    # R(θ, φ) = U(θ, φ − π/2, π/2 − φ) exactly.
    "r": ("u", 0, lambda p: [p[0], p[1] - _HALF_PI, _HALF_PI - p[1]]),
    "swap": ("swap", 0, None),
    "cx": ("x", 1, None), "cy": ("y", 1, None), "cz": ("z", 1, None), "ch": ("h", 1, None),
    "cs": ("s", 1, None), "csdg": ("s_dag", 1, None), "csx": ("sx", 1, None),
    "crx": ("rx", 1, None), "cry": ("ry", 1, None), "crz": ("rz", 1, None),
    "cp": ("p", 1, None), "cu1": ("p", 1, None), "cu3": ("u", 1, None),
    "cswap": ("swap", 1, None), "ccx": ("x", 2, None), "ccz": ("z", 2, None),
    "c3x": ("x", 3, None), "c3sx": ("sx", 3, None),
}
_SKIPPED = frozenset({"barrier", "delay", "id"})
# Standard gates without parameters; shared empty lists of the fast path.
_FIXED = frozenset(name for name in _STANDARD if name in {
    "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg", "swap", "cx", "cy", "cz", "ch", "cs", "csdg", "csx",
    "cswap", "ccx", "ccz", "c3x", "c3sx"})
_NO_PARAMETERS: list[float] = []
_NO_CONTROLS: list[int] = []
_UNSUPPORTED_FLOW = frozenset({"while_loop", "switch_case", "break_loop", "continue_loop", "store"})

# Largest unitary passed as a matrix instead of its definition: plexar stores
# matrices on up to 6 targets; a larger matrix for stavex costs more than most
# definitions do.
STAVEX_UNITARY_QUBITS = 10
PLEXAR_UNITARY_QUBITS = 6


def _qiskit() -> Any:
    return require("qiskit", "translating Qiskit circuits")


def to_gate_ir(circuit: QuantumCircuit) -> list[dict[str, Any]]:
    """The stavex gate_ir dictionaries of a circuit of gates (all parameters
    bound). Measurements, resets and conditionals have no gate form: use
    `zorvane_gpu.run` for those."""
    gate_ir = []
    for position, instruction in enumerate(translate(circuit).instructions):
        if not isinstance(instruction, Gate):
            raise ValueError(f"instruction {position} ({type(instruction).__name__.lower()}) is not a gate; "
                             "to_gate_ir takes circuits of gates only (run() executes the rest)")
        gate_ir.append(instruction.as_dict())
    return gate_ir


def translate(circuit: QuantumCircuit, noise: NoiseSource | None = None, *,
              max_unitary_qubits: int = STAVEX_UNITARY_QUBITS) -> Program:
    qiskit = _qiskit()
    if not isinstance(circuit, qiskit.QuantumCircuit):
        raise TypeError(f"expected a qiskit QuantumCircuit, got {type(circuit).__name__}")
    unbound = sorted(p.name for p in circuit.parameters)
    if unbound:
        raise ValueError(f"circuit has unbound parameters: {', '.join(unbound)}; bind them with assign_parameters")
    translator = _Translator(noise, max_unitary_qubits)
    qubit_index = {bit: i for i, bit in enumerate(circuit.qubits)}
    clbit_index = {bit: i for i, bit in enumerate(circuit.clbits)}
    body: list[Instruction] = []
    translator.circuit(circuit, qubit_index, clbit_index, body, top=True)
    phase = translator.global_phase + float(circuit.global_phase)
    if phase % (2 * math.pi) != 0.0:
        body.insert(0, Gate.of("gp", [], parameter=[phase]))
    registers = [ClassicalRegister(r.name, [clbit_index[b] for b in r]) for r in circuit.cregs]
    readout: dict[int, np.ndarray] = {}
    if noise is not None:
        for instruction in _measurements(body):
            matrix = noise.readout(instruction.qubit)
            if matrix is not None:
                readout[instruction.qubit] = matrix
    return Program(circuit.num_qubits, circuit.num_clbits, body, registers, readout, circuit.name)


def _measurements(body: list[Instruction]) -> list[Measure]:
    found: list[Measure] = []
    for instruction in body:
        if isinstance(instruction, Measure):
            found.append(instruction)
        elif isinstance(instruction, Conditional):
            found += _measurements(instruction.true_body) + _measurements(instruction.false_body)
    return found


class _Translator:
    def __init__(self, noise: NoiseSource | None, max_unitary_qubits: int) -> None:
        self.noise = noise
        self.max_unitary_qubits = max_unitary_qubits
        self.global_phase = 0.0
        self._matrices: dict[tuple[str, tuple[float, ...]], np.ndarray] = {}

    # ---- circuits and blocks ----------------------------------------------------

    def circuit(self, circuit: Any, qubit_index: dict[Any, int], clbit_index: dict[Any, int],
                out: list[Instruction], top: bool) -> None:
        # The loop that long circuits spend their time in: standard gates are
        # read from the instruction without building its operation object;
        # records of gates without parameters are made once per name and
        # qubits, qubit lists once per qubit tuple.
        standard = _STANDARD
        noise = self.noise
        make = tuple.__new__
        append = out.append
        qubit_lists: dict[tuple[Any, ...], list[int]] = {}
        qubits: list[int] | None
        fixed_gates: dict[str, dict[tuple[Any, ...], Gate]] = {name: {} for name in _FIXED}
        for ins in circuit.data:
            name = ins.name
            entry = standard.get(name)
            if entry is not None and ins.is_standard_gate():
                bits = ins.qubits
                vocabulary_name, controls, rewrite = entry
                if name in fixed_gates:
                    known = fixed_gates[name]
                    gate = known.get(bits)
                    if gate is None:
                        qubits = [qubit_index[q] for q in bits]
                        gate = known[bits] = make(Gate, (vocabulary_name, qubits[controls:], qubits[:controls],
                                                         [1] * controls, _NO_PARAMETERS, None))
                else:
                    qubits = qubit_lists.get(bits)
                    if qubits is None:
                        qubits = qubit_lists[bits] = [qubit_index[q] for q in bits]
                    # A new list each read; standard gates hold bound values as floats.
                    params = ins.params if rewrite is None else rewrite(ins.params)
                    if controls:
                        gate = make(Gate, (vocabulary_name, qubits[controls:], qubits[:controls], [1] * controls,
                                           params, None))
                    else:
                        gate = make(Gate, (vocabulary_name, qubits, _NO_CONTROLS, _NO_CONTROLS, params, None))
                append(gate)
                if noise is not None:
                    out += noise.after_gate(name, gate.control + gate.target)
                continue
            self.instruction(ins.operation, [qubit_index[q] for q in ins.qubits],
                             [clbit_index[c] for c in ins.clbits], qubit_index, clbit_index, out, top)

    def instruction(self, op: Any, qubits: list[int], clbits: list[int], qubit_index: dict[Any, int],
                    clbit_index: dict[Any, int], out: list[Instruction], top: bool) -> None:
        name = op.name
        if name in _SKIPPED:
            return
        if name == "measure":
            if self.noise is not None:
                out += self.noise.before_measure(qubits[0])
            out.append(Measure(qubits[0], clbits[0]))
            return
        if name == "reset":
            out.append(Reset(qubits[0]))
            if self.noise is not None:
                out += self.noise.after_gate(name, qubits)
            return
        if name == "if_else":
            out.append(self._conditional(op, qubits, clbits, clbit_index))
            return
        if name == "box":
            self._block(op.blocks[0], qubits, clbits, out)
            return
        if name == "for_loop":
            indexset, parameter, body = op.params
            for value in indexset:
                block = body if parameter is None else body.assign_parameters({parameter: value})
                self._block(block, qubits, clbits, out)
            return
        if name in _UNSUPPORTED_FLOW:
            raise ValueError(f"control flow {name!r} is not supported (if_else, for_loop and box are)")
        start = len(out)
        self.gate(op, qubits, [], [], out)
        if self.noise is not None:
            out += self.noise.after_gate(name, qubits)
        if not top:
            self._materialise_phase(out, start)

    def _block(self, block: Any, qubits: list[int], clbits: list[int], out: list[Instruction]) -> None:
        qubit_index = dict(zip(block.qubits, qubits))
        clbit_index = dict(zip(block.clbits, clbits))
        start = len(out)
        self.circuit(block, qubit_index, clbit_index, out, top=False)
        phase = float(block.global_phase)
        if phase:
            out.insert(start, Gate.of("gp", [], parameter=[phase]))

    def _materialise_phase(self, out: list[Instruction], start: int) -> None:
        # Inside a conditional body a definition's phase belongs to the body.
        if self.global_phase:
            out.insert(start, Gate.of("gp", [], parameter=[self.global_phase]))
            self.global_phase = 0.0

    def _conditional(self, op: Any, qubits: list[int], clbits: list[int],
                     clbit_index: dict[Any, int]) -> Conditional:
        condition, text = _condition(op.condition, clbit_index)
        saved_phase, self.global_phase = self.global_phase, 0.0
        true_body: list[Instruction] = []
        self._block(op.blocks[0], qubits, clbits, true_body)
        false_body: list[Instruction] = []
        if len(op.blocks) > 1 and op.blocks[1] is not None:
            self._block(op.blocks[1], qubits, clbits, false_body)
        self.global_phase = saved_phase
        return Conditional(condition, true_body, false_body, text)

    # ---- gates -----------------------------------------------------------------

    def gate(self, op: Any, qubits: list[int], controls: list[int], states: list[int],
             out: list[Instruction]) -> None:
        """Appends the translation of unitary `op` on `qubits`, every gate of it
        controlled by `controls` (in `states`)."""
        qiskit = _qiskit()
        library = qiskit.circuit.library
        name = op.name
        if name in _SKIPPED:
            return
        if isinstance(op, library.CUGate):
            # base_gate drops γ: the controlled U times a controlled phase e^{iγ}.
            theta, phi, lam, gamma = (float(p) for p in op.params)
            inner = list(controls) + qubits[:1]
            inner_states = list(states) + [(op.ctrl_state >> 0) & 1]
            out.append(Gate("u", qubits[1:], inner, inner_states, [theta, phi, lam]))
            out.append(Gate("gp", [], inner.copy(), inner_states.copy(), [gamma]))
            return
        if name == "global_phase":
            self._phase(float(op.params[0]), controls, states, out)
            return
        if isinstance(op, qiskit.circuit.AnnotatedOperation):
            self._annotated(op, qubits, controls, states, out)
            return
        if isinstance(op, qiskit.circuit.ControlledGate):
            count = op.num_ctrl_qubits
            bits = [(op.ctrl_state >> j) & 1 for j in range(count)]
            self.gate(op.base_gate, qubits[count:], list(controls) + qubits[:count], list(states) + bits, out)
            return
        entry = _STANDARD.get(name)
        if entry is not None and entry[1] == 0 and _is_standard(op):
            vocabulary_name, _, rewrite = entry
            params = [float(p) for p in op.params]
            if name == "u" and len(params) == 4:
                # The base of a controlled CU: U with the phase e^{iγ} carried as a fourth parameter.
                self._phase(params.pop(), controls, states, out)
            out.append(Gate(vocabulary_name, qubits, list(controls), list(states),
                            rewrite(params) if rewrite else params))
            return
        if not isinstance(op, qiskit.circuit.Gate) and op.definition is None:
            raise ValueError(f"instruction {name!r} cannot be simulated (no unitary and no definition)")
        k = len(qubits)
        if isinstance(op, qiskit.circuit.Gate) and (k <= 2 or name == "unitary") and k <= self.max_unitary_qubits:
            out.append(Gate.of("unitary", qubits, controls, states, matrix=self._matrix(op)))
            return
        definition = op.definition
        if definition is None:
            raise ValueError(f"gate {name!r} on {k} qubits has no definition to decompose")
        expanded: list[Instruction] = []
        self._definition(definition, qubits, controls, states, expanded)
        if isinstance(op, qiskit.circuit.Gate) and len(expanded) > 2**k and k <= self.max_unitary_qubits:
            out.append(Gate.of("unitary", qubits, controls, states, matrix=self._matrix(op)))
        else:
            out += expanded

    def _annotated(self, op: Any, qubits: list[int], controls: list[int], states: list[int],
                   out: list[Instruction]) -> None:
        """Control modifiers add controls in front of the qubits, the last
        modifier's first; any other modifier takes the operation's matrix."""
        modifiers = op.modifiers
        if not all(isinstance(m, _qiskit().circuit.ControlModifier) for m in modifiers):
            if len(qubits) > self.max_unitary_qubits:
                raise ValueError(f"annotated {op.base_op.name!r} on {len(qubits)} qubits is too wide for a matrix")
            out.append(Gate.of("unitary", qubits, controls, states, matrix=self._matrix(op)))
            return
        controls, states = list(controls), list(states)
        position = 0
        for modifier in reversed(modifiers):
            count = modifier.num_ctrl_qubits
            controls += qubits[position:position + count]
            states += [(modifier.ctrl_state >> j) & 1 for j in range(count)]
            position += count
        self.gate(op.base_op, qubits[position:], controls, states, out)

    def _definition(self, definition: Any, qubits: list[int], controls: list[int], states: list[int],
                    out: list[Instruction]) -> None:
        index = dict(zip(definition.qubits, qubits))
        self._phase(float(definition.global_phase), controls, states, out)
        for ins in definition.data:
            op = ins.operation
            inner = [index[q] for q in ins.qubits]
            if op.name == "reset" and not controls:
                out.append(Reset(inner[0]))
            elif op.name == "reset" or ins.clbits:
                raise ValueError(f"a gate's definition holds {op.name!r}, which has no unitary form here")
            else:
                self.gate(op, inner, controls, states, out)

    def _phase(self, phase: float, controls: list[int], states: list[int], out: list[Instruction]) -> None:
        if not phase:
            return
        if controls:
            out.append(Gate("gp", [], list(controls), list(states), [phase]))
        else:
            self.global_phase += phase

    def _matrix(self, op: Any) -> np.ndarray:
        key = (op.name, tuple(float(p) for p in op.params)) if _is_standard(op) else None
        cached = self._matrices.get(key) if key else None
        if cached is not None:
            return cached
        matrix = np.ascontiguousarray(_qiskit().quantum_info.Operator(op).data, dtype=np.complex128)
        if key:
            self._matrices[key] = matrix
        return matrix


def _is_standard(op: Any) -> bool:
    return getattr(op, "_standard_gate", None) is not None


# ---- classical conditions ------------------------------------------------------------

def _condition(condition: Any, clbit_index: dict[Any, int]) -> tuple[Callable[[Sequence[int]], bool], str]:
    qiskit = _qiskit()
    if isinstance(condition, tuple):
        target, value = condition
        if isinstance(target, qiskit.circuit.Clbit):
            bit, wanted = clbit_index[target], int(value)
            return (lambda bits: bits[bit] == wanted), f"c[{bit}] == {wanted}"
        indices = [clbit_index[b] for b in target]
        wanted = int(value)
        return (lambda bits: _register_value(bits, indices) == wanted), f"{target.name} == {wanted}"
    evaluate = _expression(condition, clbit_index)
    return (lambda bits: bool(evaluate(bits))), str(condition)


def _register_value(bits: Sequence[int], indices: Sequence[int]) -> int:
    return sum(bits[i] << j for j, i in enumerate(indices))


def _expression(node: Any, clbit_index: dict[Any, int]) -> Callable[[Sequence[int]], int]:
    """A classical expression (qiskit.circuit.classical.expr) as a function of
    the classical bits."""
    expr = _qiskit().circuit.classical.expr
    types = _qiskit().circuit.classical.types
    if isinstance(node, expr.Var):
        var = node.var
        if isinstance(var, _qiskit().circuit.Clbit):
            bit = clbit_index[var]
            return lambda bits: bits[bit]
        if isinstance(var, _qiskit().circuit.ClassicalRegister):
            indices = [clbit_index[b] for b in var]
            return lambda bits: _register_value(bits, indices)
        raise ValueError(f"classical variable {node.name!r} is not supported (bits and registers are)")
    if isinstance(node, expr.Value):
        value = int(node.value)
        return lambda bits: value
    if isinstance(node, expr.Cast):
        operand = _expression(node.operand, clbit_index)
        if isinstance(node.type, types.Bool):
            return lambda bits: int(bool(operand(bits)))
        return operand
    if isinstance(node, expr.Index):
        target, index = _expression(node.target, clbit_index), _expression(node.index, clbit_index)
        return lambda bits: (target(bits) >> index(bits)) & 1
    if isinstance(node, expr.Unary):
        operand = _expression(node.operand, clbit_index)
        if node.op is expr.Unary.Op.LOGIC_NOT:
            return lambda bits: int(not operand(bits))
        if node.op is expr.Unary.Op.BIT_NOT:
            mask = (1 << node.type.width) - 1 if isinstance(node.type, types.Uint) else 1
            return lambda bits: ~operand(bits) & mask
        raise ValueError(f"classical operation {node.op.name} is not supported")
    if isinstance(node, expr.Binary):
        left, right = _expression(node.left, clbit_index), _expression(node.right, clbit_index)
        function = _BINARY.get(node.op.name)
        if function is None:
            raise ValueError(f"classical operation {node.op.name} is not supported")
        return lambda bits: int(function(left(bits), right(bits)))
    raise ValueError(f"classical expression {type(node).__name__} is not supported")


_BINARY: dict[str, Callable[[int, int], Any]] = {
    "BIT_AND": lambda a, b: a & b, "BIT_OR": lambda a, b: a | b, "BIT_XOR": lambda a, b: a ^ b,
    "LOGIC_AND": lambda a, b: bool(a) and bool(b), "LOGIC_OR": lambda a, b: bool(a) or bool(b),
    "EQUAL": lambda a, b: a == b, "NOT_EQUAL": lambda a, b: a != b,
    "LESS": lambda a, b: a < b, "LESS_EQUAL": lambda a, b: a <= b,
    "GREATER": lambda a, b: a > b, "GREATER_EQUAL": lambda a, b: a >= b,
}
