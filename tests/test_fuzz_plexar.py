"""Property-based fuzzing of every entry point of plexar. Each example runs in
a child process; it must end in the documented exception or in the right
result, leave the state usable with the contents the rules give (a list that
fails its checks changes nothing), and free all device memory it allocated.
A failing example prints as a call to one of the check_* functions below."""

import os
import types

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import plexar
from density_reference import (ALIASES, CHANNELS, GATES, apply_kraus, apply_unitary, collapse, draw_outcome,
                               gate_matrix, outcome_probabilities)
from density_support import RELATIVE_TOLERANCE, Gate, Kraus, cpu_layer_only, random_rho
from fuzz_support import (  # noqa: F401
                          BOUNDARIES, CAPACITY, CastFailed, Exploding, Failure, INT64, INT_LIKE, INVALID_DEVICE,
                          IndexOnly, IntOnly, NOT_INT, OUT_OF_MEMORY, UINT64, array, arrays, as_float, as_index, as_int,
                          as_list, at_odd_address, build, cast_error, check_error, complex_arrays, converted,
                          created_zero_state, device_ordinal, device_texts, dtype_error, dtype_texts, endians, fuzz,
                          int64, iterator, label, leak_checked, mostly, ndarray, outcome, quoted, rarely,
                          signature_error, spoil, text_bytes, text_or_fail, uint64, vector_argument, wide_ints)
from isolation import run_isolated

pytestmark = cpu_layer_only
nan, inf = float("nan"), float("inf")
QUBITS = "num_qubits must be in [0, 15] for the GPU density backend"


def x_on_qubit_0(state):
    """The state stays usable: X on qubit 0 permutes exactly what it holds."""
    before = state.to_numpy()
    if state.num_qubits == 0:
        assert state.copy().to_numpy().tobytes() == before.tobytes()
        return
    plexar.run_density_operations_device(state, state.num_qubits, [types.SimpleNamespace(
        id="x", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)])
    flip = np.arange(before.shape[0]) ^ 1
    assert state.to_numpy().tobytes() == before[np.ix_(flip, flip)].tobytes()


# ---- DeviceDensityState: creation, copies, downloads ------------------------------------------


def density_array_error(n, a):
    if not 0 <= n <= 15:
        return ValueError, QUBITS
    if a.ndim != 2 or a.shape != (2**n, 2**n):
        return ValueError, "state shape must be (2**n, 2**n)"
    if not a.flags.c_contiguous:
        return ValueError, "state must be C-contiguous"
    if not a.flags.writeable:
        return ValueError, "state must be writable"
    return dtype_error(str(a.dtype).encode())


def check_density_creation(n, source, device, devices, shrink):
    def work():
        a = build(source)
        text = text_bytes(device)
        if not int64(n) or text is None or not isinstance(a, np.ndarray):
            expected = signature_error()
        else:
            ordinal, expected = device_ordinal(text)
            expected = density_array_error(n, a) or expected or (
                INVALID_DEVICE if not 0 <= ordinal < devices else None)
        state, error = outcome(lambda: plexar.DeviceDensityState.from_numpy(n, a, device))
        check_error(error, expected)
        if state is None:
            return "from_numpy " + label(error)
        assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 2**n, str(a.dtype), ordinal)
        assert state.to_numpy().tobytes() == a.tobytes()
        copy, error = outcome(state.copy)
        if error is None:
            assert copy.to_numpy().tobytes() == a.tobytes() and copy.device_id == ordinal
            x_on_qubit_0(copy)  # an independent copy
            assert state.to_numpy().tobytes() == a.tobytes()
        else:
            check_error(error, OUT_OF_MEMORY if 2 * a.nbytes > CAPACITY // 2 else None)
        x_on_qubit_0(state)
        if shrink:  # the device of the state goes away: every call reports it, the state is freed all the same
            plexar._cpu_layer_set_device_count(1)
            if ordinal > 0:
                x = types.SimpleNamespace(id="x", target=[0], control=[], control_state=[], parameter=None,
                                          has_stored_matrix=False)
                measured = INVALID_DEVICE if n else (ValueError, "num_qubits must be in [1, 15]")
                for call, expected in ((state.to_numpy, INVALID_DEVICE), (state.copy, INVALID_DEVICE),
                                       (lambda: plexar.run_density_operations_device(state, n, [x]), INVALID_DEVICE),
                                       (lambda: plexar.measure_device(state, [0]), measured)):
                    check_error(outcome(call)[1], expected)
        return "from_numpy ok; copy " + label(error)

    return leak_checked(plexar, work, devices)


def density_arrays(n):
    square = st.just((2**n, 2**n))
    odd = st.sampled_from([(2**n,), (2 ** (n + 1), 2 ** (n + 1)), (2**n, 2 ** (n + 1)), (), (0, 0), (1, 2**n, 2**n)])
    return mostly(complex_arrays(square), st.one_of(arrays(square), arrays(odd), st.sampled_from([None, [[1j]], 0])),
                  weight=2)


@given(data=st.data(), n=st.integers(0, 4), device=device_texts, devices=st.integers(1, 3), shrink=st.booleans())
def test_density_state_creation_and_copies(data, n, device, devices, shrink):
    fuzz(check_density_creation, n=data.draw(mostly(st.just(n), wide_ints(-1, 16)), label="n_arg"),
         source=data.draw(density_arrays(n), label="source"), device=device, devices=devices, shrink=shrink)


def check_density_zero_state(n, dtype, device, devices):
    def work():
        state, error, dtype_text, ordinal = created_zero_state(
            plexar.DeviceDensityState.zero_state, n, dtype, device, devices, range(0, 16), (ValueError, QUBITS),
            lambda n: 4**n)
        if state is not None:
            assert (state.num_qubits, state.dtype, state.device_id) == (n, quoted(dtype_text), ordinal)
            zero = np.zeros((2**n, 2**n), state.dtype)
            zero[0, 0] = 1
            assert state.to_numpy().tobytes() == zero.tobytes()
            x_on_qubit_0(state)
        return label(error)

    return leak_checked(plexar, work, devices)


@given(n=mostly(st.integers(0, 9), wide_ints(-1, 64), weight=2), dtype=dtype_texts, device=device_texts,
       devices=st.integers(1, 3))
def test_density_zero_state_across_the_whole_range(n, dtype, device, devices):
    fuzz(check_density_zero_state, n=n, dtype=dtype, device=device, devices=devices)


# ---- operation lists --------------------------------------------------------------------------


def fail(message):
    raise Failure((RuntimeError, message))


def numpy_matrix(value):
    """The array NumPy makes of a matrix; its errors pass through."""
    try:
        return np.array(value, dtype=np.complex128)
    except Exception as e:  # noqa: BLE001 - NumPy's own error is what the call raises
        raise Failure((type(e), str(e))) from None


def parse_operations(operations):
    """The records the module reads, or Failure."""
    parsed = []
    for item in operations:
        try:
            if hasattr(item, "operation_kind"):
                kind = converted(text_or_fail, item.operation_kind)
                if kind != b"kraus":
                    fail(f"unsupported density operation kind '{quoted(kind)}'")
                op = {"kraus": True, "target": converted(lambda v: as_list(v, as_index), item.target),
                      "channel": converted(text_or_fail, item.channel_name) if hasattr(item, "channel_name") else b""}
                m = numpy_matrix(item.kraus_matrices)
                if m.ndim != 3 or m.shape[0] < 1 or m.shape[1] < 1 or m.shape[1] != m.shape[2]:
                    fail("Kraus matrices must have shape (count, dimension, dimension)")
                op["matrices"] = m
            else:
                name = converted(text_or_fail, item.id)
                op = {"kraus": False, "name": name, "target": converted(lambda v: as_list(v, as_index), item.target),
                      "control": converted(lambda v: as_list(v, as_index), item.control),
                      "control_state": converted(lambda v: as_list(v, as_index), item.control_state)}
                parameter = item.parameter
                op["parameter"] = [] if parameter is None else converted(lambda v: as_list(v, as_float), parameter)
                op["matrix"] = None
                if bool(item.has_stored_matrix):
                    m = numpy_matrix(item.stored_matrix)
                    if m.ndim != 2 or m.shape[0] != m.shape[1]:
                        fail("operation matrix must be square")
                    op["matrix"] = m
        except (AttributeError, ZeroDivisionError) as e:
            raise Failure((type(e), str(e))) from None
        parsed.append(op)
    return parsed


def parameters(op, count):
    if len(op["parameter"]) != count:
        fail(f"invalid parameter count for density operation '{quoted(op['name'])}'")
    if not all(np.isfinite(p) for p in op["parameter"]):
        fail("density operation parameters must be finite")
    return op["parameter"]


def distinct_in_range(qubits, n):
    return all(0 <= q < n for q in qubits) and len(set(qubits)) == len(qubits)


def channel_of(op):
    names = {"bit_flip": 2, "phase_flip": 2, "depolarizing": 4, "amplitude_damping": 2, "phase_damping": 3}
    name = op["channel"].decode("utf-8", "replace")
    m = op["matrices"]
    return len(op["target"]) == 1 and m.shape[1] == 2 and names.get(name) == m.shape[0]


def prepare(op, n):
    """What the driver makes of one operation: ("skip",), ("unitary", matrix,
    targets, controls, states) or ("kraus", matrices, targets); or Failure."""
    t = op["target"]
    if op["kraus"]:
        m = op["matrices"]
        if not t:
            fail("Kraus operation requires at least one target")
        if not distinct_in_range(t, n):
            fail("invalid or duplicate Kraus target qubit")
        if m.shape[1] != 2 ** len(t):
            fail("Kraus matrix dimension does not match targets")
        if not np.all(np.isfinite(m)):
            fail("Kraus matrices must contain only finite values")
        if len(t) > 3 and not channel_of(op):
            fail("GPU density Kraus supports at most 3 targets")
        return "kraus", list(m), t
    c, s = op["control"], op["control_state"]
    if not t:
        fail("density operation requires at least one target")
    if len(c) != len(s):
        fail("controls and control_state sizes must match")
    if not distinct_in_range(t, n):
        fail("invalid or duplicate target qubit")
    for i, q in enumerate(c):
        if not 0 <= q < n or q in t or q in c[:i]:
            fail("invalid, duplicate, or overlapping control qubit")
        if s[i] not in (0, 1):
            fail("control_state must contain only 0 or 1")
    if len(t) > 6:
        fail("GPU density unitary supports at most 6 targets")
    if op["matrix"] is not None:
        m = op["matrix"]
        if not np.all(np.isfinite(m)):
            fail("unitary matrix must contain only finite values")
        if m.size != 4 ** len(t):
            fail("unitary matrix size does not match targets")
        return "unitary", m, t, c, s
    name = quoted(op["name"])
    canonical = ALIASES.get(name, name)
    if canonical == "gp" and not c:
        return ("skip",)
    if canonical == "gp" and len(t) == 1:
        return "unitary", gate_matrix("gp", parameters(op, 1)), t, c, s
    if len(t) == 1 and canonical in ("p", "rz"):
        return "unitary", gate_matrix(canonical, parameters(op, 1)), t, c, s
    if len(t) == 1 and canonical in ("s", "s_dag", "t", "t_dag", "z", "-z"):
        return "unitary", gate_matrix(canonical, []), t, c, s
    if (canonical, len(t)) in (("x", 1), ("swap", 2)):
        if op["parameter"]:
            fail(f"density operation '{name}' requires no parameters")
    if canonical == "swap":
        parameters(op, 0)
        if len(t) != 2:
            fail("swap requires exactly two targets")
        return "unitary", np.eye(4)[[0, 2, 1, 3]], t, c, s
    if len(t) != 1:
        fail("named density operation requires one target")
    if canonical not in GATES:
        fail(f"unsupported named density operation '{name}'")
    return "unitary", gate_matrix(canonical, parameters(op, GATES[canonical][0])), t, c, s


def tame(action, dtype):
    """Whether the model's numbers are fit for comparison (moderate values,
    angles that single precision keeps)."""
    if action[0] == "skip":
        return True
    m = np.asarray(action[1])
    return bool(np.all(np.isfinite(m.astype(dtype)))) and float(np.max(np.abs(m), initial=0)) <= 4


def run_model(n, operations, rho, dtype):
    """(state, tame, expected error): the whole list is checked before
    anything runs."""
    try:
        actions = [prepare(op, n) for op in operations]
    except Failure as f:
        return rho, True, f.expected
    out, ok = np.asarray(rho, np.complex128), True
    for action, op in zip(actions, operations):
        ok = ok and tame(action, dtype) and all(abs(p) <= 64 for p in op.get("parameter", []))
        if not ok or action[0] == "skip":
            continue
        if action[0] == "kraus":
            out = apply_kraus(out, [k.astype(dtype) for k in action[1]], action[2])
        else:
            m = action[1] if op["matrix"] is None else action[1].astype(dtype)
            out = apply_unitary(out, m, action[2], action[3], action[4])
    return out, ok, None


def as_operation(fields):
    return types.SimpleNamespace(**fields) if isinstance(fields, dict) else fields


def check_operations(n, dtype, operations, num_qubits, container, fusion, seed):
    """container: "list", "tuple" or "iterator" for the operations, or a
    value that is not iterable."""
    def work():
        if fusion is None:
            os.environ.pop("ZORVANE_DENSITY_FUSION", None)
        else:
            os.environ["ZORVANE_DENSITY_FUSION"] = fusion
        rng = np.random.default_rng(seed)
        a = rng.normal(size=(2**n, 2**n)) + 1j * rng.normal(size=(2**n, 2**n))
        rho = (a @ a.conj().T / np.trace(a @ a.conj().T).real).astype(dtype)
        expected_state, ok, expected, ran = rho, True, None, False
        wrap = {"list": list, "tuple": tuple, "iterator": iter}.get(container)
        if wrap is None or not int64(num_qubits):
            expected = signature_error()
        else:
            try:
                parsed = parse_operations([as_operation(f) for f in build(operations)])
                if parsed and num_qubits != n:
                    expected = ValueError, "num_qubits does not match DeviceDensityState"
                elif parsed:
                    expected_state, ok, expected = run_model(n, parsed, rho, dtype)
                    ran = expected is None
            except Failure as f:
                expected = f.expected
        state = plexar.DeviceDensityState.from_numpy(n, rho.copy())
        ops = wrap([as_operation(f) for f in build(operations)]) if wrap else container
        _, error = outcome(lambda: plexar.run_density_operations_device(state, num_qubits, ops))
        check_error(error, expected)
        after = state.to_numpy()
        if not ran:
            assert after.tobytes() == rho.tobytes(), "the state changed"
        elif ok:
            scale = max(1.0, float(np.max(np.abs(expected_state))))
            tolerance = RELATIVE_TOLERANCE[np.dtype(dtype).type] * scale
            np.testing.assert_allclose(after, expected_state, rtol=0, atol=tolerance)
        x_on_qubit_0(state)
        return label(error) + ("" if ok else " (values not compared)")

    return leak_checked(plexar, work)


NAMES = sorted(GATES) + sorted(ALIASES) + ["cgp", "X", "", "h\0", "unitary", b"z", bytearray(b"s"), b"\xff",
                                            "\ud800", 5, None]
PARAMETER_COUNTS = {name: GATES[ALIASES.get(name, name)][0] for name in list(GATES) + list(ALIASES)}
QUBIT_VALUES = [0, 1, 2, 3, 4, -1, 5, 15, 16, 64] + BOUNDARIES + INT_LIKE + NOT_INT
ANGLES = [0.0, 0.5, -1.25, 3.0, -0.0, 5e-324, nan, inf, -inf, 1e300, 10**400, 7, np.float32(0.5), True,
          IndexOnly(2), "1", None, 1j, Exploding()]


def hostile_lists(values):
    elements = st.lists(st.sampled_from(values), max_size=3)
    return st.one_of(elements, elements.map(tuple), elements.map(iterator),
                     st.lists(st.integers(-2, 5), max_size=3).map(lambda v: ndarray(v, "int64")),
                     st.sampled_from([0, None, 1.5, "01", b"\x00", {1}]))


def matrices(shape):
    odd = st.sampled_from([(2, 2), (4, 4), (2, 3), (2,), (2, 2, 2), (0, 0), (1, 1), (1, 2, 2), (0, 2, 2), (2, 4, 4)])
    return st.one_of(complex_arrays(st.just(shape)), arrays(st.just(shape)),
                     complex_arrays(odd, st.sampled_from([1.0, nan, inf, 1e300])),
                     st.sampled_from([None, "ab", [[1, 0], [0, 1]], [[1, 2], [3]], Exploding(), 10**400]))


@st.composite
def gate_operations(draw, n, rarity=16):
    name = draw(st.sampled_from(NAMES))
    known = name if isinstance(name, str) and name in PARAMETER_COUNTS else None
    stored = known is None or draw(rarely(6))
    k = 2 if known == "swap" else draw(mostly(st.integers(1, 3), st.integers(1, 7))) if stored else 1
    c = draw(mostly(st.integers(0, max(0, min(2, n - k))), st.integers(0, max(0, n - k))))
    order = draw(st.permutations(range(max(n, k + c))))
    count = PARAMETER_COUNTS.get(known, 0)
    angle = st.integers(-64, 64).map(lambda a: a / 8)
    fields = {"id": name, "target": order[:k], "control": order[k:k + c],
              "control_state": draw(st.lists(st.integers(0, 1), min_size=c, max_size=c)),
              "parameter": draw(st.lists(angle, min_size=count, max_size=count) | st.just(None)),
              "has_stored_matrix": stored, "stored_matrix": None}
    if stored:
        fields["stored_matrix"] = draw(complex_arrays(st.just((2**k, 2**k))))
    hostile = {"id": st.sampled_from(NAMES), "target": hostile_lists(QUBIT_VALUES),
               "control": hostile_lists(QUBIT_VALUES), "control_state": hostile_lists(QUBIT_VALUES),
               "parameter": hostile_lists(ANGLES), "has_stored_matrix": st.sampled_from([True, False, None, 1, "", []]),
               "stored_matrix": matrices((2**k, 2**k))}
    return spoil(draw, fields, hostile, rarity)


@st.composite
def kraus_operations(draw, n, rarity=16):
    k = draw(mostly(st.integers(1, 2), st.integers(3, 4), 6))
    targets = draw(st.permutations(range(max(n, k))))[:k]
    fields = {"operation_kind": "kraus", "target": targets}
    channel = draw(st.sampled_from(sorted(CHANNELS) + [None, "Bit_Flip", "", b"depolarizing"]))
    if channel is not None:
        fields["channel_name"] = channel
    if isinstance(channel, str) and channel in CHANNELS and k == 1 and draw(rarely(3)) is False:
        p = draw(st.sampled_from([0.0, 0.1, 0.5, 1.0]))
        fields["kraus_matrices"] = np.array(CHANNELS[channel](p)).tolist()
    else:
        fields["kraus_matrices"] = draw(complex_arrays(st.just((draw(st.integers(1, 3)), 2**k, 2**k)),
                                                       st.just(0.5)))
    hostile = {"operation_kind": st.sampled_from(["unitary", "Kraus", "", b"kraus", 5, None]),
               "target": hostile_lists(QUBIT_VALUES), "channel_name": st.sampled_from([5, None, "\ud800", b"\xff"]),
               "kraus_matrices": matrices((2, 2**k, 2**k))}
    return spoil(draw, fields, hostile, rarity)


@given(data=st.data(), n=mostly(st.integers(0, 5), st.integers(6, 7)),
       dtype=st.sampled_from(["complex64", "complex128"]),
       fusion=st.sampled_from([None, None, "1", "0", "", "yes", "off", "0x"]), seed=st.integers(0, 3))
def test_operation_lists(data, n, dtype, fusion, seed):
    size = max(n, 1)
    operation = mostly(mostly(gate_operations(size), kraus_operations(size), 2), st.sampled_from([None, 5, "x"]), 12)
    operations = data.draw(st.lists(operation, max_size=5), label="operations")
    fuzz(check_operations, n=n, dtype=dtype, operations=operations,
         num_qubits=data.draw(mostly(st.just(n), wide_ints(-1, 16), 8), label="num_qubits"),
         container=data.draw(mostly(st.sampled_from(["list", "tuple", "iterator"]), st.sampled_from([5, None]), 12),
                             label="container"),
         fusion=fusion, seed=seed)


# ---- measurement ------------------------------------------------------------------------------


def check_density_measurement(n, dtype, source, targets, endian, seed):
    def work():
        rho = build(source)
        labels = vector_argument(build(targets))
        endian_text = text_bytes(endian)
        if labels is None or endian_text is None:
            expected = signature_error()
        elif endian_text not in (b"little", b"big"):
            expected = ValueError, "endian must be 'little' or 'big'"
        elif seed is not None and not uint64(seed):
            expected = cast_error()
        elif not 1 <= n <= 15:
            expected = ValueError, "num_qubits must be in [1, 15]"
        elif not labels:
            expected = ValueError, "measure targets must not be empty"
        else:
            expected = next(((ValueError, "measure target index out of range") if not 0 <= t < n else
                             (ValueError, "duplicate measure target index") for i, t in enumerate(labels)
                             if not 0 <= t < n or t in labels[:i]), None)
        end = "little" if endian_text == b"little" else "big"
        probs = outcome_probabilities(rho, labels, end) if expected is None else None
        if expected is None and not (np.sum(probs) > 0 and np.isfinite(np.sum(probs))):
            expected = RuntimeError, "density matrix has zero or invalid trace."
        known = None
        if expected is None and seed is not None:
            known = draw_outcome(probs, as_int(seed, UINT64))
            if not probs[known] > 0:
                expected = RuntimeError, "Selected measurement probability is zero."
        state = plexar.DeviceDensityState.from_numpy(n, rho.copy())
        result, error = outcome(lambda: plexar.measure_device(state, build(targets), endian, seed))
        check_error(error, expected)
        after = state.to_numpy()
        if error is None:
            got = int(result, 2)
            assert len(result) == len(labels) and (known is None or got == known), (result, known)
            assert probs[got] > 0
            expected_state = collapse(rho, labels, end, got, probs[got])
            np.testing.assert_allclose(after, expected_state, atol=0,
                                       rtol=4 * RELATIVE_TOLERANCE[np.dtype(dtype).type])
        else:
            assert after.tobytes() == rho.tobytes()
        x_on_qubit_0(state)
        return label(error)

    return leak_checked(plexar, work)


TARGET_VALUES = [0, 1, 2, 3, -1, 4, 15, 16] + BOUNDARIES + INT_LIKE + [1.0, np.float64(1), "0", None, 1j]


@given(data=st.data(), n=st.integers(0, 4), dtype=st.sampled_from(["complex64", "complex128"]))
def test_density_measurement(data, n, dtype):
    valid = st.lists(st.integers(0, max(n - 1, 0)), min_size=1, max_size=max(n, 1), unique=True)
    odd = st.lists(st.sampled_from(TARGET_VALUES), max_size=4)
    targets = mostly(valid, st.one_of(odd, odd.map(tuple), odd.map(iterator), valid.map(set),
                                      valid.map(lambda t: ndarray(t, "int16")),
                                      valid.map(lambda t: ndarray(t, "float64")),
                                      st.sampled_from(["0", b"\x00", 0, None, {0: 1}])))
    scales = mostly(st.just(1.0), st.sampled_from([0.0, nan, inf, 1e200, 1e-200, -1.0]))
    fuzz(check_density_measurement, n=n, dtype=dtype,
         source=data.draw(st.builds(array, st.just(dtype), st.just((2**n, 2**n)), st.just("C"), st.just(True),
                                    st.integers(0, 3), scales), label="source"),
         targets=data.draw(targets, label="targets"), endian=data.draw(endians, label="endian"),
         seed=data.draw(mostly(st.integers(0, 2**64 - 1), st.sampled_from([None, -1, 2**64, 1.5, "7", np.uint64(9),
                                                                           np.float64(2.0), True, IntOnly(5), [1]])),
                        label="seed"))


# ---- reproducers of what the fuzzing found ----------------------------------------------------


def test_stored_and_kraus_matrices_at_odd_addresses():
    # Complex128 matrices one byte into a buffer were read in place, through
    # misaligned pointers (reported by the undefined-behaviour sanitizer).
    rng = np.random.default_rng(6)
    m = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    kraus = rng.normal(size=(2, 2, 2)) + 1j * rng.normal(size=(2, 2, 2))
    rho = random_rho(2, np.complex128, seed=6, hermitian=True)
    state = plexar.DeviceDensityState.from_numpy(2, rho.copy())
    plexar.run_density_operations_device(state, 2, [Gate("-z", [1, 0], matrix=at_odd_address(m)),
                                                    Kraus([1], at_odd_address(kraus))])
    expected = apply_kraus(apply_unitary(rho, m, [1, 0]), list(kraus), [1])
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)
    # the state itself may sit at an odd address too: it is copied byte for byte
    odd = plexar.DeviceDensityState.from_numpy(2, at_odd_address(rho))
    assert odd.to_numpy().tobytes() == rho.tobytes()


class ClearingIndex:
    """A target whose conversion empties the list holding it."""

    def __init__(self, value, holder):
        self.value, self.holder = value, holder

    def __index__(self):
        self.holder.clear()
        return self.value


def test_measurement_targets_that_empty_their_list():
    # Targets convert with the arguments now; a list that a conversion
    # empties must still not crash, and the state stays usable.
    def case():
        state = plexar.DeviceDensityState.zero_state(3)
        targets = [0, 1, 2]
        targets[1] = ClearingIndex(1, targets)
        result, error = outcome(lambda: plexar.measure_device(state, targets, seed=5))
        assert error is None or isinstance(error, (TypeError, ValueError)), error
        assert plexar.measure_device(state, [0], seed=1) == "0"
        return label(error) if error else result

    result = run_isolated(case, "measure_device with targets that empty their list")
    assert result[0] == "ok", result
