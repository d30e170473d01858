"""Kraus channels and the built-in noise channels against the NumPy model
sum_K K rho K^dagger.

A Kraus operation named after one of the five channels, with the channel's
number of matrices, runs the built-in channel kernel only when the matrices
define that very channel; otherwise it stays a general Kraus action. Which
kernel ran is seen, on the CPU execution layer, from the message of an
injected launch failure, which names the kernel family.
"""

import numpy as np
import pytest

import plexar
from density_reference import CHANNELS, X, Y, Z, apply_kraus, apply_unitary, gate_matrix
from density_support import (DTYPES, Gate, Kraus, assert_close, cpu_layer_only, density_no_leaks,  # noqa: F401
                             device_state, random_matrix, random_rho, run)

I2 = np.eye(2)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets, count", [
    (1, [0], 1), (3, [1], 3), (4, [2, 0], 2), (4, [0, 3], 4), (5, [4, 1, 2], 2), (5, [0, 2, 3], 3), (3, [2, 0, 1], 1),
])
def test_general_kraus_in_target_order(n, targets, count, dtype):
    rng = np.random.default_rng(n * 10 + count)
    operators = [random_matrix(rng, 2 ** len(targets)) for _ in range(count)]
    rho = random_rho(n, dtype, seed=count)
    assert_close(run(rho, [Kraus(targets, operators)]), apply_kraus(rho, operators, targets), dtype)


def formula(rho, target, name, p):
    """The channel's update of every 2 x 2 block, in the state's precision,
    each product and sum rounded as written."""
    real = rho.real.dtype.type
    p = real(p)
    one, two = real(1), real(2)
    n = rho.shape[0].bit_length() - 1
    index = np.arange(2**n)
    low = index[((index >> target) & 1) == 0]
    high = low | (1 << target)
    m00, m01 = rho[np.ix_(low, low)], rho[np.ix_(low, high)]
    m10, m11 = rho[np.ix_(high, low)], rho[np.ix_(high, high)]

    def mix(s, a, t, b):
        return (s * a.real + t * b.real) + 1j * (s * a.imag + t * b.imag)

    def scale(s, a):
        return s * a.real + 1j * (s * a.imag)

    if name == "bit_flip":
        q = one - p
        new = mix(q, m00, p, m11), mix(q, m01, p, m10), mix(q, m10, p, m01), mix(q, m11, p, m00)
    elif name == "phase_flip":
        s = one - two * p
        new = m00, scale(s, m01), scale(s, m10), m11
    elif name == "depolarizing":
        half = p / two
        keep = one - half
        new = mix(keep, m00, half, m11), scale(one - p, m01), scale(one - p, m10), mix(half, m00, keep, m11)
    elif name == "amplitude_damping":
        q = one - p
        s = np.sqrt(q)
        new = (m00.real + p * m11.real) + 1j * (m00.imag + p * m11.imag), scale(s, m01), scale(s, m10), scale(q, m11)
    else:
        new = m00, scale(one - p, m01), scale(one - p, m10), m11
    out = rho.copy()
    for (rows, cols), block in zip([(low, low), (low, high), (high, low), (high, high)], new):
        out[np.ix_(rows, cols)] = block.astype(rho.dtype)
    return out


def parameter_read(name, operators):
    """The parameter as the channel's name reads it from one element of K1."""
    k1 = operators[1]
    element = k1[0, 0] if name in ("phase_flip", "phase_damping") else k1[0, 1]
    return (4 if name == "depolarizing" else 1) * np.real(element) ** 2


def kernel_family(state, op):
    """What the operation launches ("channel kernel", "kraus_kernel", ...), read
    from the message of a failure injected into its launch."""
    plexar._cpu_layer_inject_fault("launch", 1)
    try:
        with pytest.raises(RuntimeError) as info:
            plexar.run_density_operations_device(state, state.num_qubits, [op])
    finally:
        plexar._cpu_layer_clear_faults()
    return str(info.value).split(" launch failed: ")[0]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p", [0.0, 0.3, 0.5, 1.0])
@pytest.mark.parametrize("name", sorted(CHANNELS))
def test_standard_channels(name, p, dtype):
    rho = random_rho(3, dtype, seed=4, hermitian=True)
    op = Kraus([1], CHANNELS[name](p), name)
    out = run(rho, [op])
    assert_close(out, apply_kraus(rho, CHANNELS[name](p), [1]), dtype)
    # The built-in kernel's arithmetic, bit for bit.
    np.testing.assert_array_equal(out, formula(rho, 1, name, parameter_read(name, op.kraus_matrices)))
    assert np.isclose(np.trace(out), np.trace(rho), atol=1e-6)


@cpu_layer_only
@pytest.mark.parametrize("name", sorted(CHANNELS))
def test_standard_channels_run_the_builtin_kernel(name, density_no_leaks):
    state = device_state(random_rho(2, np.complex128, seed=5))
    assert kernel_family(state, Kraus([0], CHANNELS[name](0.2), name)) == "channel kernel"


def test_channel_edge_cases():
    one = np.zeros((2, 2), complex)
    one[1, 1] = 1
    zero = np.zeros((2, 2), complex)
    zero[0, 0] = 1
    plus = np.full((2, 2), 0.5, complex)
    np.testing.assert_array_equal(run(zero, [Kraus([0], CHANNELS["bit_flip"](1), "bit_flip")]), one)
    np.testing.assert_array_equal(run(one, [Kraus([0], CHANNELS["amplitude_damping"](1), "amplitude_damping")]), zero)
    for name, p in [("phase_flip", 0.5), ("phase_damping", 1.0), ("depolarizing", 1.0)]:
        np.testing.assert_allclose(run(plus, [Kraus([0], CHANNELS[name](p), name)]), np.eye(2) / 2, atol=1e-15)


# ---- Kraus sets that name a channel but are not its standard form --------------

p = 0.3
NOT_THE_NAMED_CHANNEL = {
    # bit flip with a phase on K1: reads p = 0, is a bit flip with p
    "bit flip, K1 = i sqrt(p) X": ("bit_flip", [np.sqrt(1 - p) * I2, 1j * np.sqrt(p) * X]),
    # named bit flip, defined as a phase flip
    "bit_flip naming a phase flip": ("bit_flip", [np.sqrt(1 - p) * I2, np.sqrt(p) * Z]),
    # the bit-flip element as read, but K0 does not complete the channel
    "bit flip with K0 = I": ("bit_flip", [I2, np.sqrt(p) * X]),
    # K1 with a complex phase reads a quarter of gamma
    "amplitude damping, complex K1": ("amplitude_damping",
                                      [np.diag([1, np.sqrt(1 - p)]),
                                       np.exp(1j * np.pi / 3) * np.sqrt(p) * np.array([[0, 1], [0, 0]])]),
    "depolarizing naming Y, X, Z": ("depolarizing", [np.sqrt(1 - 3 * p / 4) * I2] +
                                    [np.sqrt(p / 4) * m for m in (Y, X, Z)]),
    "phase damping, K2 = sqrt(lambda)|1><0|": ("phase_damping",
                                               [np.sqrt(1 - p) * I2, np.sqrt(p) * np.diag([1, 0]),
                                                np.sqrt(p) * np.array([[0, 0], [1, 0]])]),
}
# Other forms of the very channel that is named: the built-in kernel applies.
SAME_CHANNEL = {
    "depolarizing, K1 = -sqrt(p/4) X": ("depolarizing", [np.sqrt(1 - 3 * p / 4) * I2] +
                                        [s * np.sqrt(p / 4) * m for s, m in ((-1, X), (1j, Y), (1, Z))]),
    "bit flip, K0 = -sqrt(1-p) I": ("bit_flip", [-np.sqrt(1 - p) * I2, np.sqrt(p) * X]),
    "phase damping, K0 with a phase": ("phase_damping", [1j * np.sqrt(1 - p) * I2, np.sqrt(p) * np.diag([1, 0]),
                                                         np.sqrt(p) * np.diag([0, 1])]),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("case", sorted(NOT_THE_NAMED_CHANNEL) + sorted(SAME_CHANNEL))
def test_named_kraus_sets_apply_their_matrices(case, dtype):
    name, operators = {**NOT_THE_NAMED_CHANNEL, **SAME_CHANNEL}[case]
    rho = random_rho(3, dtype, seed=6, hermitian=True)
    assert_close(run(rho, [Kraus([2], operators, name)]), apply_kraus(rho, operators, [2]), dtype)


@cpu_layer_only
@pytest.mark.parametrize("case", sorted(NOT_THE_NAMED_CHANNEL) + sorted(SAME_CHANNEL))
def test_named_kraus_sets_choose_their_kernel(case, density_no_leaks):
    name, operators = {**NOT_THE_NAMED_CHANNEL, **SAME_CHANNEL}[case]
    state = device_state(random_rho(2, np.complex128, seed=7))
    expected = "kraus_kernel" if case in NOT_THE_NAMED_CHANNEL else "channel kernel"
    assert kernel_family(state, Kraus([0], operators, name)) == expected


@cpu_layer_only
@pytest.mark.parametrize("op", [
    Kraus([0], CHANNELS["bit_flip"](0.1), "Bit_Flip"),
    Kraus([0], CHANNELS["bit_flip"](0.1) + [np.zeros((2, 2))], "bit_flip"),
    Kraus([0], CHANNELS["bit_flip"](0.1)),
    Kraus([0], CHANNELS["bit_flip"](0.1), ""),
    Kraus([0, 1], [np.kron(m, I2) for m in CHANNELS["bit_flip"](0.1)], "bit_flip"),
], ids=["capitalised", "three matrices", "no name", "empty name", "two targets"])
def test_unrecognised_channels_stay_kraus(op, density_no_leaks):
    rho = random_rho(2, np.complex128, seed=8)
    ops = [np.asarray(k) for k in op.kraus_matrices]
    assert_close(run(rho, [op]), apply_kraus(rho, ops, op.target), np.complex128)
    assert kernel_family(device_state(rho), op) == "kraus_kernel"


def test_gate_then_channel_on_one_qubit():
    rho = random_rho(5, np.complex128, seed=9, hermitian=True)
    ops = [Gate("h", [0]), Kraus([0], CHANNELS["bit_flip"](0.2), "bit_flip"),
           Gate("rx", [3], parameter=[0.4]), Kraus([3], CHANNELS["amplitude_damping"](0.7), "amplitude_damping")]
    expected = apply_kraus(apply_unitary(rho, gate_matrix("h", []), [0]), CHANNELS["bit_flip"](0.2), [0])
    expected = apply_kraus(apply_unitary(expected, gate_matrix("rx", [0.4]), [3]),
                           CHANNELS["amplitude_damping"](0.7), [3])
    assert_close(run(rho, ops), expected, np.complex128)


# ---- messages, in order, with the state unchanged ------------------------------


@pytest.mark.parametrize("op, message", [
    (Kraus([], [I2]), "Kraus operation requires at least one target"),
    (Kraus([], [np.eye(4)]), "Kraus operation requires at least one target"),
    (Kraus([0, 0], [I2]), "invalid or duplicate Kraus target qubit"),
    (Kraus([4], [I2]), "invalid or duplicate Kraus target qubit"),
    (Kraus([-1], [I2]), "invalid or duplicate Kraus target qubit"),
    (Kraus([0, 1], [I2]), "Kraus matrix dimension does not match targets"),
    (Kraus([0, 1], [np.full((2, 2), np.nan)]), "Kraus matrix dimension does not match targets"),
    (Kraus([0, 1, 2, 3], [np.eye(16)]), "GPU density Kraus supports at most 3 targets"),
    (Kraus([0], [I2, [[np.nan, 0], [0, 1]]]), "Kraus matrices must contain only finite values"),
    (Kraus([0], [I2, [[1j * np.inf, 0], [0, 1]]], "bit_flip"), "Kraus matrices must contain only finite values"),
])
def test_invalid_kraus_leaves_state_unchanged(op, message, density_no_leaks):
    rho = random_rho(4, np.complex64, seed=10)
    state = device_state(rho)
    good = Kraus([1], CHANNELS["depolarizing"](0.1), "depolarizing")
    with pytest.raises(RuntimeError) as info:
        plexar.run_density_operations_device(state, 4, [good, good, op])
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), rho)
