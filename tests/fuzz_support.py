"""Shared pieces of the property-based fuzzing of both modules.

Every example runs in a forked child process (`fuzz`), so that a crash fails
its test, and hypothesis shrinks it, instead of taking the runner down. The
values of an example are plain Python data and recipes: a recipe builds a
fresh object for each use (an array of a given layout, a one-shot iterator)
and its repr is the code that builds it, so a failing example prints as a
call that can be pasted after `from test_fuzz_stavex import *` (or
`test_fuzz_plexar`).

The expected outcome of a call is worked out from the modules' documented
rules, independently of the modules: None for success, or (exception type,
message), the message an exact text, a compiled pattern, or None for any.
The conversions mirror the binding library's: an integer is whatever has
__index__, or, failing that, any number that int() accepts, except a Python
float; a float is any number that float() accepts.
"""

import gc
import operator
import os
import re
import threading
import time

import numpy as np
from hypothesis import event
from hypothesis import strategies as st

from isolation import run_isolated

CAST = re.compile("^Unable to cast Python instance of type ")
SIGNATURE = re.compile("incompatible function arguments")
# The emulated device memory inside a child: no case allocates more.
CAPACITY = 1 << 20
INT64 = (-(2**63), 2**63 - 1)
UINT64 = (0, 2**64 - 1)


# ---- running an example -------------------------------------------------------------


def fuzz(case, **arguments):
    """Runs case(**arguments) in a child process; a crash or a failed check
    fails the test, described by the call that reproduces it."""
    call = f"{case.__name__}({', '.join(f'{k}={v!r}' for k, v in arguments.items())})"
    outcome = run_isolated(lambda: case(**arguments), call)
    assert outcome[0] == "ok", f"{call}\n{outcome[3]}"
    event(outcome[1])  # what the example ended in, for --hypothesis-show-statistics


def on_thread(work):
    """Runs work on a new thread and returns once the thread has ended at the
    system level, its C++ thread-local objects (stavex's DenseMM caches)
    destroyed."""
    native, errors, result = [], [], []

    def run():
        native.append(threading.get_native_id())
        try:
            result.append(work())
        except BaseException as e:  # noqa: BLE001 - raised below
            errors.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    deadline = time.monotonic() + 30
    while os.path.exists(f"/proc/self/task/{native[0]}") and time.monotonic() < deadline:
        time.sleep(0.0005)
    if errors:
        raise errors[0]
    return result[0]


def leak_checked(module, work, devices=1, capacity=CAPACITY):
    """Runs work on its own thread with `devices` emulated devices of
    `capacity` bytes each; every device allocation must be freed once the
    thread and the objects it made are gone."""
    module._cpu_layer_set_device_count(devices)
    module._cpu_layer_set_memory_capacity(capacity)
    # Young garbage inherited from the parent goes first; every older object
    # is set aside, so that the collection below only walks what work made.
    gc.collect(1)
    gc.freeze()
    before = sorted(module._cpu_layer_live_allocations())
    result = on_thread(work)
    gc.collect()
    module._cpu_layer_clear_faults()
    assert sorted(module._cpu_layer_live_allocations()) == before, "device memory leaked"
    return result


def outcome(call):
    try:
        return call(), None
    except Exception as e:  # noqa: BLE001 - compared with the expectation
        return None, e


def label(error):
    """What a call ended in, in a few words."""
    return "ok" if error is None else f"{type(error).__name__}: {str(error)[:48]}"


def check_error(error, expected):
    if expected is None:
        assert error is None, f"raised {type(error).__name__}: {error}"
        return
    kind, message = expected
    assert error is not None, f"no error, expected {kind.__name__}: {message}"
    text = str(error)
    assert isinstance(error, kind), f"raised {type(error).__name__}: {text}, expected {kind}: {message}"
    if isinstance(message, re.Pattern):
        assert message.search(text), f"message {text!r} does not match {message.pattern!r}"
    elif message is not None:
        assert text == message, f"message {text!r}, expected {message!r}"


def cast_error():
    return RuntimeError, CAST


def signature_error():
    return TypeError, SIGNATURE


# ---- recipes ------------------------------------------------------------------------


class Recipe:
    def __init__(self, text, make):
        self.text, self.make = text, make

    def __repr__(self):
        return self.text


def recipe(function):
    def bound(*args):
        return Recipe(f"{function.__name__}({', '.join(map(repr, args))})", lambda: function(*args))

    bound.__name__ = function.__name__
    return bound


def build(value):
    """A fresh object from data holding recipes."""
    if isinstance(value, Recipe):
        return value.make()
    if isinstance(value, list):
        return [build(v) for v in value]
    if isinstance(value, tuple):
        return tuple(build(v) for v in value)
    if isinstance(value, dict):
        return {k: build(v) for k, v in value.items()}
    return value


@recipe
def iterator(items):
    return iter(build(items))


@recipe
def ndarray(value, dtype):
    return np.array(value, dtype)


@recipe
def array(dtype, shape, layout="C", writable=True, seed=0, scale=1.0):
    """An array of any dtype, shape and layout: "C", "F", "strided" (every
    other element of a wider array), "reversed" (negative strides),
    "broadcast" (zero strides, read-only) or "unaligned" (one byte into a
    buffer). Numbers are random normal times `scale`."""
    dt = np.dtype(dtype)
    size = int(np.prod(shape, dtype=np.int64))
    rng = np.random.default_rng(seed)
    values = (rng.normal(size=size) + 1j * rng.normal(size=size)) * scale
    with np.errstate(all="ignore"):
        if dt.kind == "c":
            base = values.astype(dt)
        elif dt.kind in "biuf":
            base = np.nan_to_num(values.real).astype(dt)
        else:
            base = np.zeros(size, dt)
    base = base.reshape(shape)
    if layout == "F":
        a = np.asfortranarray(base)
    elif layout == "strided" and base.ndim:
        a = np.repeat(base, 2, axis=-1)[..., ::2]
    elif layout == "reversed" and base.ndim:
        a = base[..., ::-1]
    elif layout == "broadcast" and size:
        a = np.broadcast_to(base.reshape(-1)[:1].reshape((1,) * base.ndim), base.shape)
    elif layout == "unaligned" and dt.kind != "O" and dt.itemsize > 1:
        a = at_odd_address(base)
    else:
        a = base
    if not writable:
        a.flags.writeable = False
    return a


def at_odd_address(values):
    """A writable, C-ordered copy of `values` one byte into a buffer: its
    elements are not aligned."""
    values = np.asarray(values)
    a = np.frombuffer(bytearray(values.nbytes + 1), values.dtype, count=values.size, offset=1).reshape(values.shape)
    a[...] = values
    return a


class IndexOnly:
    """An integer through __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class IntOnly:
    """A number through __int__ alone."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntOnly({self.value!r})"


class Exploding:
    """A number whose every conversion raises."""

    def __index__(self):
        raise ZeroDivisionError("converted")

    __int__ = __float__ = __index__

    def __repr__(self):
        return "Exploding()"


# ---- strategies ---------------------------------------------------------------------

BOUNDARIES = [-(2**64), -(2**63) - 1, -(2**63), -(2**31) - 1, -(2**31), -1, 0, 1, 2**31 - 1, 2**31, 2**32,
              2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64]


def mostly(common, rare, weight=4):
    """`common` about `weight` times as often as `rare`; shrinks towards common.
    (A float decides: hypothesis draws integers and sampled elements far
    from evenly.)"""
    return st.floats(0, 1).flatmap(lambda f: rare if f * (weight + 1) > weight else common)


def rarely(rarity):
    """True about once in `rarity` draws."""
    return st.floats(0, 1).map(lambda f: f * rarity > rarity - 1)


def spoil(draw, fields, hostile, rarity):
    """`fields` with each field replaced, about once in `rarity` draws, by a
    value drawn from its strategy in `hostile`, and now and then one field
    removed."""
    for field, values in hostile.items():
        if draw(rarely(rarity)):
            fields[field] = draw(values)
    if draw(rarely(2 * rarity)):
        del fields[draw(st.sampled_from(sorted(fields)))]
    return fields


def wide_ints(low, high):
    """Mostly [low, high], also the edges of the 32- and 64-bit ranges and
    anything beyond them."""
    return st.one_of(st.integers(low, high), st.sampled_from(BOUNDARIES), st.integers(-(2**66), 2**66))


# Odd but integer-like values, and values that are not integers.
INT_LIKE = [True, np.int8(1), np.uint64(1), IndexOnly(1), IntOnly(1), np.float32(1.0), ndarray(1, "int8"),
            ndarray(1.7, "float64")]
NOT_INT = [1.0, np.float64(0.0), "0", b"1", None, 1j, Exploding(), [0]]

ARRAY_DTYPES = ["complex64", "complex128", ">c8", ">c16", "clongdouble", "float64", "float32", "float16",
                "longdouble", "int8", "uint16", "int64", "uint64", "bool", "object", "U3", "S3",
                "datetime64[s]", "timedelta64[ms]", "V8", "f8,f8"]
LAYOUTS = ["C", "F", "strided", "reversed", "broadcast", "unaligned"]


def arrays(shapes, dtypes=st.sampled_from(ARRAY_DTYPES), scales=st.just(1.0)):
    """Array recipes: mostly C-ordered and writable."""
    return st.builds(array, dtypes, shapes, st.sampled_from(LAYOUTS) | st.just("C"), st.booleans() | st.just(True),
                     st.integers(0, 3), scales)


def complex_arrays(shapes, scales=st.just(1.0)):
    return arrays(shapes, st.sampled_from(["complex64", "complex128"]), scales)


DEVICE_TEXTS = ["cuda", "gpu", "cuda:0", "cuda:1", "cuda:2", "cuda: 1", "cuda:+0", "cuda:-1", "cuda:1x", "cuda:",
                "cuda: ", "cuda:x", "cuda:99999999999", "cuda:2147483647", "cuda:-2147483649", "CUDA", "cpu",
                "gpu:0", "cuda\0", "cuda:0\0x", "cuda:\x001", "cuda:\t\n2", "cuda:\u20001", "cuda:0x1", "cuda:\ud800"]
device_texts = mostly(st.sampled_from(["cuda", "gpu", "cuda:0", "cuda:1"]), st.one_of(
    st.sampled_from(DEVICE_TEXTS), st.text(max_size=8).map(lambda s: "cuda:" + s), st.text(max_size=8),
    st.sampled_from([b"cuda:0", bytearray(b"gpu"), b"cuda:\xff", b"\xff", None, 0])))
dtype_texts = mostly(st.sampled_from(["complex64", "complex128"]), st.one_of(
    st.sampled_from(["complex", "float64", "Complex64", "complex64\0", "<c16", "", b"complex64", b"\xfe", None]),
    st.text(max_size=6)))
endians = mostly(st.sampled_from(["little", "big"]), st.one_of(
    st.sampled_from(["Little", "", "big\0", "middle", b"big", bytearray(b"little"), "\ud800", None]),
    st.text(max_size=6)))


# ---- the binding library's conversions ----------------------------------------------


class CastFailed(Exception):
    pass


def number_check(value):
    t = type(value)
    return isinstance(value, complex) or any(hasattr(t, slot) for slot in ("__index__", "__int__", "__float__"))


def as_int(value, bounds=INT64):
    low, high = bounds
    if isinstance(value, float):
        raise CastFailed
    try:
        result = operator.index(value)
    except Exception:  # noqa: BLE001 - retried below, as the binding does
        result = None
    if result is None or not low <= result <= high:
        if not number_check(value):
            raise CastFailed
        try:
            result = int(value)
        except Exception:  # noqa: BLE001
            raise CastFailed from None
    if not low <= result <= high:
        raise CastFailed
    return result


def as_index(value):
    """An element of a qubit or control-state list: an integer (its
    __index__) within 64 bits; anything else, floats and objects that would
    only truncate to an integer included, is the cast error."""
    if isinstance(value, float):
        raise CastFailed
    try:
        result = operator.index(value)
    except Exception:  # noqa: BLE001
        raise CastFailed from None
    if not INT64[0] <= result <= INT64[1]:
        raise CastFailed
    return result


def as_float(value):
    if not number_check(value):
        raise CastFailed
    try:
        return float(value)
    except Exception:  # noqa: BLE001
        raise CastFailed from None


def as_list(value, convert):
    """A qubit or parameter list as the modules read it: any iterable but a
    text, every element converted."""
    if isinstance(value, (str, bytes)):
        raise CastFailed
    try:
        items = tuple(value)
    except TypeError:
        raise CastFailed from None
    return [convert(v) for v in items]


def vector_argument(value, bounds=INT64):
    """A list-of-integers argument of a bound function: a sequence (not a
    text), a generator, a set or a dict view, with every element an integer;
    None when the call matches no signature."""
    sequence = hasattr(type(value), "__getitem__") and hasattr(type(value), "__len__") and not isinstance(value, dict)
    if isinstance(value, (str, bytes)) or not (sequence or isinstance(value, (set, frozenset)) or
                                                type(value).__name__ in ("generator", "dict_keys", "dict_values")):
        return None
    try:
        return [as_int(v, bounds) for v in tuple(value)]
    except CastFailed:
        return None


def as_bool(value):
    """A bool argument: anything with a truth value of its own, or None."""
    if value is None:
        return False
    if isinstance(value, (bool, np.bool_)) or hasattr(type(value), "__bool__"):
        return bool(value)
    raise CastFailed


# ---- device and element-type texts --------------------------------------------------

DEVICE_MESSAGE = "device must be 'cuda', 'gpu', or 'cuda:<id>', got: "


def text_bytes(value):
    """A text argument as the module holds it (str as UTF-8, bytes and
    bytearray as they are), or None when the call matches no signature."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        try:
            return value.encode("utf-8")
        except UnicodeEncodeError:
            return None
    return None


def quoted(text):
    """A text as a message quotes it."""
    return text.decode("utf-8", "replace")


INVALID_DEVICE = (RuntimeError, "CUDA error: invalid device ordinal")
OUT_OF_MEMORY = (RuntimeError, "CUDA error: out of memory")


def device_ordinal(text):
    """(ordinal, None), or (None, the expected parse error); text as
    `text_bytes` gives it. The ordinal may name no device: that fails later,
    when the device is selected (INVALID_DEVICE)."""
    if text in (b"cuda", b"gpu"):
        ordinal = 0
    elif len(text) > 4 and text.startswith(b"cuda:"):
        match = re.match(rb"[ \t\n\v\f\r]*([+-]?[0-9]+)", text[5:].split(b"\0")[0])
        if match is None:
            return None, (ValueError, "invalid stoi argument")
        ordinal = int(match.group(1))
        if not -(2**31) <= ordinal < 2**31:
            return None, (IndexError, "stoi argument out of range")
    else:
        return None, (ValueError, DEVICE_MESSAGE + quoted(text))
    return ordinal, None


def dtype_error(text):
    if text in (b"complex64", b"complex128"):
        return None
    return ValueError, "dtype must be 'complex64' or 'complex128', got: " + quoted(text)


def int64(value):
    """Whether the binding takes `value` as a 64-bit integer argument."""
    return isinstance(value, int) and INT64[0] <= value <= INT64[1]


def uint64(value):
    """Whether the binding takes `value` as an unsigned 64-bit integer argument."""
    try:
        as_int(value, UINT64)
        return True
    except CastFailed:
        return False


class Failure(Exception):
    """The outcome a model of a call expects, raised where the model stops."""

    def __init__(self, expected):
        super().__init__(expected)
        self.expected = expected


def converted(convert, value):
    """convert(value), or the binding library's cast error as the expected outcome."""
    try:
        return convert(value)
    except CastFailed:
        raise Failure(cast_error()) from None


def text_or_fail(value):
    """The bytes of a text argument, or CastFailed for a value that is not text."""
    text = text_bytes(value)
    if text is None:
        raise CastFailed
    return text


def created_zero_state(create, n, dtype, device, devices, valid_n, qubit_error, elements):
    """Calls create(n, dtype, device) with `devices` emulated devices and
    checks its error: the signature error for an n or a text the binding
    refuses, then the device text's, the dtype's, `qubit_error` for n outside
    `valid_n`, an ordinal with no device, and out of memory for a state of
    `elements(n)` elements beyond the capacity (close to it, either outcome).
    Returns (state or None, error, dtype text, ordinal)."""
    texts = text_bytes(device), text_bytes(dtype)
    ordinal = None
    if not int64(n) or None in texts:
        expected = signature_error()
    else:
        ordinal, expected = device_ordinal(texts[0])
        expected = expected or dtype_error(texts[1]) or (
            qubit_error if n not in valid_n else INVALID_DEVICE if not 0 <= ordinal < devices else None)
    size = elements(n) * (16 if texts[1] == b"complex128" else 8) if expected is None else 0
    if size > CAPACITY:
        expected = OUT_OF_MEMORY
    state, error = outcome(lambda: create(n, dtype, device))
    if expected is None and size > CAPACITY // 4 and error is not None:
        expected = OUT_OF_MEMORY
    check_error(error, expected)
    return state, error, texts[1], ordinal
