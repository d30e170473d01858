"""Hostile but legal Python input must end in a Python exception or in the
right result, never in a crash, and must leave the state usable. Every case
runs in a forked child process, so that a crash fails its test."""

import gc
import importlib
import re

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import stavex
from conftest import random_state
from hostile import ACTIONS, CONTAINERS, N, REPLACEMENTS, TEMPLATES, as_gate_objects, build, reference_parse
from isolation import run_isolated

BOUND_CLASSES = {"DeviceState", "PreparedFusionChunk", "DeviceDensityState"}
MODULES = [m for m in (stavex, importlib.util.find_spec("plexar") and importlib.import_module("plexar")) if m]


def valid_arguments(module):
    """Arguments of a successful call of every function that takes a bound
    object, by function name."""
    if module.__name__ == "stavex":
        state = stavex.DeviceState.zero_state(2)
        args = {
            "run_circuit_device": dict(state=state, gate_ir=[]),
            "run_circuit_device_gates": dict(state=state, gates=[]),
            "measure_device": dict(state=state, targets=[0]),
            "sample_measure_device": dict(state=state, targets=[0], shots=1),
        }
        if hasattr(stavex, "prepare_fusion_chunk_gates"):
            chunk = stavex.prepare_fusion_chunk_gates(2, [])
            args["execute_prepared_fusion_chunk"] = dict(state=state, chunk=chunk)
        return args
    state = module.DeviceDensityState.zero_state(2)
    return {
        "run_density_operations_device": dict(state=state, num_qubits=2, operations=[]),
        "measure_device": dict(state=state, targets=[0]),
    }


def bound_parameters(module):
    """(function, parameter) for every module function parameter whose type is
    one of the modules' classes, read from the signatures the binding writes."""
    found = []
    for name in dir(module):
        function = getattr(module, name)
        if name.startswith("_") or not callable(function) or isinstance(function, type):
            continue
        signature = (function.__doc__ or "").split("\n", 1)[0]
        for parameter, annotation in re.findall(r"(\w+): ([\w.]+)", signature):
            if annotation.rsplit(".", 1)[-1] in BOUND_CLASSES:
                found.append((module, name, parameter))
    return found


BOUND_PARAMETERS = [p for m in MODULES for p in bound_parameters(m)]


@pytest.mark.parametrize("module,function,parameter", BOUND_PARAMETERS,
                         ids=[f"{m.__name__}.{f}.{p}" for m, f, p in BOUND_PARAMETERS])
def test_none_for_a_bound_object_is_a_type_error(module, function, parameter):
    def case():
        args = valid_arguments(module)[function]
        getattr(module, function)(**args)  # the call is valid as it stands
        args[parameter] = None
        try:
            getattr(module, function)(**args)
        except TypeError as e:
            assert "incompatible function arguments" in str(e)
            return "TypeError"
        return "accepted"

    assert run_isolated(case, f"{module.__name__}.{function}({parameter}=None)") == ("ok", "TypeError")


def test_every_bound_parameter_is_covered():
    assert {("stavex", "run_circuit_device", "state"), ("stavex", "measure_device", "state")} <= {
        (m.__name__, f, p) for m, f, p in BOUND_PARAMETERS}


# ---- methods called through their class ---------------------------------------------

def bound_instances():
    """One instance of every class the modules define, by class."""
    made = {stavex.DeviceState: stavex.DeviceState.zero_state(2),
            stavex.PreparedFusionChunk: stavex.prepare_fusion_chunk_gates(2, []),
            stavex.KernelMode: stavex.PairAuto}
    for module in MODULES[1:]:
        made[module.DeviceDensityState] = module.DeviceDensityState.zero_state(2)
    return made


# Arguments after `self` of the methods that take any; None where the binding
# library's own conversion protocol takes arguments no caller passes.
METHOD_ARGUMENTS = {"copy_to_numpy": lambda: (np.zeros(4, np.complex128),), "__eq__": lambda: (stavex.PairAuto,),
                    "__ne__": lambda: (stavex.PairAuto,), "__init__": lambda: (2,), "__setstate__": lambda: (2,),
                    "_pybind11_conduit_v1_": None}


def class_members():
    """(class, member name, is property) for every method and property getter
    of every class of both modules, read from the classes themselves."""
    found = []
    for module in MODULES:
        for name in dir(module):
            cls = getattr(module, name)
            if not isinstance(cls, type) or cls.__module__ != module.__name__:
                continue
            for member, value in vars(cls).items():
                if type(value) is property or type(value).__name__ == "instancemethod":
                    found.append((cls, member, type(value) is property))
    return found


CLASS_MEMBERS = class_members()


def test_every_class_is_covered():
    assert {c.__name__ for c, _, _ in CLASS_MEMBERS} >= BOUND_CLASSES
    assert {"to_numpy", "copy"} <= {m for c, m, _ in CLASS_MEMBERS if c.__name__ == "DeviceDensityState"}


@pytest.mark.parametrize("cls,member,is_property", CLASS_MEMBERS,
                         ids=[f"{c.__module__}.{c.__name__}.{m}" for c, m, _ in CLASS_MEMBERS])
def test_none_or_another_class_as_self_is_a_type_error(cls, member, is_property):
    # An enumeration's members come from the binding library and take any
    # object (they raise for a wrong one); every other class refuses it.
    is_enumeration = hasattr(cls, "__members__")

    def case():
        instances = bound_instances()
        function = vars(cls)[member].fget if is_property else vars(cls)[member]
        arguments = METHOD_ARGUMENTS.get(member, tuple)
        if arguments is not None:
            function(instances[cls], *arguments())  # the call is valid with a real self
        refused = []
        for wrong in [None] + [obj for other, obj in instances.items() if other is not cls]:
            try:
                function(wrong, *(arguments() if arguments else ()))
            except TypeError as e:
                if "incompatible function arguments" in str(e):
                    refused.append(type(wrong).__name__)
            except (AttributeError, ValueError):
                if not is_enumeration:
                    raise
        return refused

    outcome = run_isolated(case, f"{cls.__name__}.{member}(wrong self)")
    expected = ["NoneType"] + [c.__name__ for c in bound_instances() if c is not cls]
    assert outcome[0] == "ok", outcome
    if not is_enumeration:
        assert outcome[1] == expected


# ---- hostile gate lists ------------------------------------------------------------

MODES = [stavex.AllState, stavex.Pair, stavex.PairAuto, stavex.PairAutoFusion]


def run_form(form, gates, start, mode):
    """Runs `gates` in one of the three entry points; returns the state after
    the call and the exception it raised (or None)."""
    error = None
    if form == "numpy":
        state = start.copy()
        try:
            stavex.run_circuit(N, state, gates, mode=mode)
        except Exception as e:  # noqa: BLE001
            error = e
        return state, error, None
    device = stavex.DeviceState.from_numpy(N, start.copy())
    try:
        if form == "ir":
            stavex.run_circuit_device(device, gates, mode=mode)
        elif form == "chunk":
            stavex.execute_prepared_fusion_chunk(device, stavex.prepare_fusion_chunk_gates(N, gates))
        else:
            stavex.run_circuit_device_gates(device, gates, mode=mode)
    except Exception as e:  # noqa: BLE001
        error = e
    return device.to_numpy(), error, device


def same_error(actual, expected):
    if expected is None or actual is None:
        return actual is None and expected is None
    kind, message = expected if isinstance(expected, tuple) else (type(expected), str(expected))
    if message is None:  # the binding library's cast error
        return isinstance(actual, RuntimeError) and str(actual).startswith("Unable to cast Python instance of type")
    return type(actual) is kind and str(actual) == message


def check_plan(plan, mode, dtype):
    form = plan[0]
    start = random_state(N, dtype, seed=7)
    read_as = "ir" if form in ("ir", "numpy") else "objects"

    twin, _ = build(plan)
    parsed, parse_error = reference_parse(read_as, twin)
    if parse_error is not None:
        expected_state, expected_error = start, parse_error
    else:
        plain = parsed if read_as == "ir" else as_gate_objects(parsed)
        expected_state, expected_error, _ = run_form(form, plain, start, mode)

    hostile, _ = build(plan)
    state, error, device = run_form(form, hostile, start, mode)
    del hostile
    gc.collect()
    assert same_error(error, expected_error), f"raised {error!r}, expected {expected_error!r}"
    assert state.tobytes() == expected_state.tobytes(), "state differs from a plain run of what was read"

    # The state object and the module still work, and report errors cleanly.
    if device is not None:
        stavex.run_circuit_device(device, [{"id": "x", "target": [0], "control": [], "control_state": [],
                                            "parameter": []}], mode=mode)
        flipped = device.to_numpy()
        assert flipped.tobytes() == state[np.arange(2**N) ^ 1].tobytes()
    with pytest.raises(ValueError, match="^Unsupported CUDA gate id: bogus$"):
        stavex.run_circuit(N, start.copy(), [{"id": "bogus", "target": [0], "control": [], "control_state": [],
                                              "parameter": []}])
    return "raised" if error is not None else "ran"


gate_plans = st.lists(
    st.tuples(st.integers(0, len(TEMPLATES) - 1), st.permutations(range(N)),
              st.lists(st.sampled_from([0.0, 0.3, -1.25, 2.5]), min_size=3, max_size=3)),
    min_size=1, max_size=4)
injections = st.tuples(
    st.integers(0, 3), st.sampled_from(["target", "control", "control_state", "parameter", "matrix", "field", "next"]),
    st.integers(0, 11), st.sampled_from(ACTIONS), st.sampled_from(CONTAINERS),
    st.integers(0, len(REPLACEMENTS) - 1))
plans = st.tuples(st.sampled_from(["ir", "objects", "numpy", "chunk"]), gate_plans, injections)

H0 = (0, (0, 1, 2), [0.0, 0.0, 0.0])
RX1 = (2, (1, 0, 2), [0.3, 0.0, 0.0])
U2 = (3, (2, 0, 1), [0.3, -1.25, 2.5])
UNITARY0 = (4, (0, 1, 2), [0.0, 0.0, 0.0])


@given(plan=plans, mode=st.sampled_from(MODES), dtype=st.sampled_from([np.complex64, np.complex128]))
# an element's conversion clears, shrinks or grows its own list
@example(plan=("ir", [U2, H0], (0, "target", 0, "clear", "own", 0)), mode=stavex.PairAuto, dtype=np.complex128)
@example(plan=("ir", [U2], (0, "parameter", 0, "pop", "own", 0)), mode=stavex.Pair, dtype=np.complex64)
@example(plan=("objects", [RX1], (0, "parameter", 0, "grow", "own", 5)), mode=stavex.PairAuto, dtype=np.complex128)
# ... or the gate list around it, or replaces a gate in it
@example(plan=("ir", [H0, RX1, U2], (1, "target", 0, "clear", "gates", 0)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("objects", [H0, RX1, U2], (0, "target", 0, "replace", "gates", 7)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("numpy", [H0, RX1], (0, "target", 0, "grow", "gates", 9)), mode=stavex.AllState,
         dtype=np.complex128)
# ... or a matrix it belongs to
@example(plan=("ir", [UNITARY0], (0, "matrix", 1, "clear", "matrix", 0)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("objects", [UNITARY0], (0, "matrix", 3, "replace", "row", 7)), mode=stavex.PairAuto,
         dtype=np.complex64)
# getters, lookups and iterators that raise or rewrite the gate
@example(plan=("ir", [H0, RX1], (1, "field", 4, "delete", "gate", 0)), mode=stavex.PairAuto, dtype=np.complex128)
@example(plan=("objects", [H0, RX1], (1, "field", 1, "raise", "gate", 0)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("objects", [H0, RX1, U2], (0, "next", 1, "clear", "gates", 0)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("objects", [H0, RX1], (0, "next", 2, "raise", "gates", 0)), mode=stavex.PairAuto,
         dtype=np.complex128)
@example(plan=("chunk", [H0, RX1, U2], (1, "parameter", 0, "clear", "gates", 0)), mode=stavex.PairAuto,
         dtype=np.complex64)
def test_hostile_gate_lists_raise_or_run_what_was_read(plan, mode, dtype):
    outcome = run_isolated(lambda: check_plan(plan, mode, dtype), f"plan={plan!r} mode={mode} dtype={dtype}")
    assert outcome[0] == "ok", outcome[2] + "\n" + outcome[3]


class ClearingIndex:
    """A qubit label whose conversion empties the list holding it."""

    def __init__(self, value, holder):
        self.value, self.holder = value, holder

    def __index__(self):
        self.holder.clear()
        gc.collect()
        return self.value


@pytest.mark.parametrize("call", ["measure_device", "sample_measure_device"])
def test_measured_targets_that_empty_their_list(call):
    def case():
        state = stavex.DeviceState.zero_state(3)
        targets = [0, 1, 2]
        targets[1] = ClearingIndex(1, targets)
        args = (targets, 4) if call == "sample_measure_device" else (targets,)
        try:
            result = getattr(stavex, call)(state, *args, seed=5)
        except Exception as e:  # noqa: BLE001
            result = type(e).__name__
        assert stavex.measure_device(state, [0], seed=1) == "0"
        return str(result)

    outcome = run_isolated(case, call)
    assert outcome[0] == "ok", outcome


# ---- hostile operation lists of the density module -----------------------------------

def density_cases():
    """(operations, what a plain reading of them gives) for callbacks that
    change what is being read; the module reads owned snapshots."""
    from density_support import Gate, Kraus
    from hostile import Action, HComplex, HFloat, HIndex

    def hostile(kind, wrap_site):
        gate = Gate("rx", [1], parameter=[0.3])
        flip = Kraus([0], [np.sqrt(0.8) * np.eye(2), np.sqrt(0.2) * np.array([[0, 1], [1, 0]])])
        operations = [gate, Gate("h", [0]), flip]
        flip.kraus_matrices = flip.kraus_matrices.tolist()
        action = Action(kind, None, "target", 7)
        if wrap_site == "target":
            gate.target[0] = HIndex(1, action)
            action.container = gate.target
        elif wrap_site == "parameter":
            gate.parameter[0] = HFloat(0.3, action)
            action.container = operations
        else:  # an element of a Kraus matrix, changing the nested lists around it
            flip.kraus_matrices[1][0][1] = HComplex(flip.kraus_matrices[1][0][1], action)
            action.container = flip.kraus_matrices if kind != "replace" else flip.kraus_matrices[1][0]
        return operations

    plain = [Gate("rx", [1], parameter=[0.3]), Gate("h", [0]),
             Kraus([0], [np.sqrt(0.8) * np.eye(2), np.sqrt(0.2) * np.array([[0, 1], [1, 0]])])]
    return [
        ("target cleared", lambda: hostile("clear", "target"), lambda: plain),
        ("target grown", lambda: hostile("grow", "target"), lambda: plain),
        ("matrix cleared", lambda: hostile("clear", "kraus"), lambda: plain),
        ("matrix row replaced", lambda: hostile("replace", "kraus"), lambda: plain),
        # the list iterator sees the cleared list: only the operation being read runs
        ("list cleared", lambda: hostile("clear", "parameter"), lambda: plain[:1]),
        # ... and the elements added to it, which are no operations
        ("list grown", lambda: hostile("grow", "parameter"), lambda: AttributeError),
        # a failed number conversion is the binding library's cast error
        ("callback raises", lambda: hostile("raise", "parameter"), lambda: RuntimeError),
    ]


@pytest.mark.skipif(len(MODULES) < 2, reason="needs plexar")
@pytest.mark.parametrize("name,operations,expected", density_cases(), ids=[c[0] for c in density_cases()])
def test_hostile_operation_lists_run_what_was_read(name, operations, expected):
    plexar = MODULES[1]

    def case():
        state = plexar.DeviceDensityState.zero_state(2)
        hostile = operations()
        try:
            plexar.run_density_operations_device(state, 2, hostile)
        except Exception as e:  # noqa: BLE001
            result = type(e).__name__
        else:
            result = state.to_numpy()
        del hostile
        gc.collect()
        plain = expected()
        if isinstance(plain, type):  # an error, raised before anything ran
            assert result == plain.__name__
            assert state.to_numpy().tobytes() == plexar.DeviceDensityState.zero_state(2).to_numpy().tobytes()
        else:
            reference = plexar.DeviceDensityState.zero_state(2)
            plexar.run_density_operations_device(reference, 2, plain)
            assert result.tobytes() == reference.to_numpy().tobytes()
        assert plexar.measure_device(state, [0, 1], seed=3) in ("00", "01", "10", "11")
        return name

    assert run_isolated(case, name) == ("ok", name)
