"""Hostile but legal gate lists, and what the modules must make of them.

A hostile value runs a callback while the module converts it: an integer's
__index__, a number's __float__, a matrix element's __complex__, a dict
subclass's __getitem__, an attribute getter, an iterator's __next__. The
callback clears, shrinks, grows or rewrites a container (the list being read,
the gate list, the gate itself, a matrix) or raises.

`build(plan)` makes a fresh structure from a plan, so that one structure can
be handed to the module while an identical twin is read by `reference_parse`,
which reads it in the module's order with the module's conversion rules and
returns plain gate dictionaries. Running those plain gates must give exactly
what the hostile run gave: the same state, and the same exception, if any.
"""

import gc
import operator
import types

import numpy as np

N = 3
QUARTER_PI = 0.7853981633974483

# name, number of targets, number of controls, number of parameters, has matrix
TEMPLATES = [
    ("h", 1, 0, 0, False),
    ("cx", 1, 1, 0, False),
    ("rx", 1, 0, 1, False),
    ("u", 1, 1, 3, False),
    ("unitary", 1, 0, 0, True),
    ("swap", 2, 0, 0, False),
    ("t", 1, 0, 0, False),
]
FIELDS = ["id", "target", "control", "control_state", "parameter"]
ACTIONS = ["clear", "pop", "grow", "replace", "delete", "raise", "collect"]
CONTAINERS = ["own", "gates", "gate", "matrix", "row", "other"]
REPLACEMENTS = [0, 1, 2, 7, -1, 1.5, None, "x", [0], "gate"]
MATRIX = [[0.6, 0.8j], [0.8j, 0.6]]


class HostileCallback(Exception):
    pass


class Action:
    """What a hostile value does when it is converted. Plain attributes only,
    so that `build` can wire it to the containers of one structure."""

    def __init__(self, kind, container, key, replacement):
        self.kind, self.container, self.key, self.replacement = kind, container, key, replacement

    def __call__(self):
        c, kind = self.container, self.kind
        if kind == "raise":
            raise HostileCallback("hostile callback")
        if kind == "collect" or c is None:
            gc.collect()
            return
        value = self.replacement
        if isinstance(c, list):
            if kind == "clear":
                c.clear()
            elif kind == "pop" and c:
                c.pop()
            elif kind == "grow":
                c.extend([value] * 3)
            elif kind == "replace":
                if c:
                    c[0] = value
                else:
                    c.append(value)
            elif kind == "delete" and c:
                del c[0]
        elif isinstance(c, dict):
            if kind == "clear":
                c.clear()
            elif kind == "pop" and c:
                c.popitem()
            elif kind == "grow":
                c["extra"] = value
            elif kind == "replace":
                c[self.key] = value
            elif kind == "delete":
                c.pop(self.key, None)
        else:  # a gate object
            attributes = object.__getattribute__(c, "__dict__")
            if kind == "clear":
                attributes.clear()
            elif kind == "pop" and attributes:
                attributes.popitem()
            elif kind == "grow":
                attributes["extra"] = value
            elif kind == "replace":
                attributes[self.key] = value
            elif kind == "delete":
                attributes.pop(self.key, None)


class HIndex:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class HFloat:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return self.value


class HComplex:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __complex__(self):
        self.action()
        return complex(self.value)


class HDict(dict):
    """A gate dictionary whose lookup of one key runs the action."""

    def __init__(self, items, key, action):
        super().__init__(items)
        self.hostile_key, self.action = key, action

    def __getitem__(self, key):
        if key == self.hostile_key:
            self.action()
        return super().__getitem__(key)


class Gate:
    """A gate object; reading the attribute `hostile_name` runs the action."""

    def __init__(self, fields, hostile_name=None, action=None):
        object.__setattr__(self, "_hostile", (hostile_name, action))
        object.__getattribute__(self, "__dict__").update(fields)

    def __getattribute__(self, name):
        hostile_name, action = object.__getattribute__(self, "_hostile")
        if name == hostile_name:
            action()
        return object.__getattribute__(self, name)


class HIter:
    """Walks a list by position, as a list iterator does (so it sees changes
    to the list), and runs the action before yielding item `step`."""

    def __init__(self, items, step, action):
        self.items, self.step, self.action, self.position = items, step, action, 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.position == self.step:
            self.action()
        if self.position >= len(self.items):
            raise StopIteration
        self.position += 1
        return self.items[self.position - 1]


def plain_gate_fields(template, qubits, angles):
    name, n_targets, n_controls, n_params, has_matrix = TEMPLATES[template]
    fields = {
        "id": name,
        "target": list(qubits[:n_targets]),
        "control": list(qubits[n_targets:n_targets + n_controls]),
        "control_state": [1] * n_controls,
        "parameter": list(angles[:n_params]),
    }
    if has_matrix:
        fields["matrix"] = [list(row) for row in MATRIX]
    return fields


def build(plan):
    """plan = (form, gates, injection); gates = [(template, qubits, angles)];
    injection = (gate index, site, element index, action kind, container,
    replacement index). Returns (the object to pass, the list of gates)."""
    form, gate_plans, (g, site, element, kind, container, replacement) = plan
    fields = [plain_gate_fields(*p) for p in gate_plans]
    g %= len(fields)
    action = Action(kind, None, FIELDS[element % len(FIELDS)], None)
    mine = fields[g]
    wrapped_site = site

    # Wrap one element in a hostile value; fall back to a field read when the
    # chosen list is empty.
    if site in ("target", "control", "control_state", "parameter") and mine[site]:
        j = element % len(mine[site])
        wrap = HFloat if site == "parameter" else HIndex
        mine[site][j] = wrap(mine[site][j], action)
    elif site == "matrix" and "matrix" in mine:
        r, c = divmod(element % 4, 2)
        mine["matrix"][r][c] = HComplex(mine["matrix"][r][c], action)
    elif site != "next":
        wrapped_site = "field"

    as_dicts = form in ("ir", "numpy")
    if as_dicts:
        gates = [dict(f) for f in fields]
        if wrapped_site == "field":
            key = FIELDS[element % len(FIELDS)]
            gates[g] = HDict(fields[g], key, action)
    else:
        gates = []
        for i, f in enumerate(fields):
            if wrapped_site == "field" and i == g:
                gates.append(Gate(f, FIELDS[element % len(FIELDS)], action))
            else:
                gates.append(Gate(f))
        iterate = site == "next"

    # Wire the action to the container it acts on.
    own = {"target": mine["target"], "control": mine["control"], "control_state": mine["control_state"],
           "parameter": mine["parameter"], "matrix": mine.get("matrix")}.get(site, mine["target"])
    action.container = {
        "own": own,
        "gates": gates,
        "gate": gates[g],
        "matrix": mine.get("matrix"),
        "row": mine["matrix"][0] if "matrix" in mine else None,
        "other": fields[(g + 1) % len(fields)]["target"],
    }[container]
    value = REPLACEMENTS[replacement % len(REPLACEMENTS)]
    if value == "gate":
        plain = plain_gate_fields(0, [0], [])
        value = dict(plain) if as_dicts else Gate(plain)
    action.replacement = value

    if not as_dicts and iterate:
        return HIter(gates, element % (len(gates) + 1), action), gates
    return gates, gates


# ---- the module's reading rules, in its order ----------------------------------


class CastError(Exception):
    """The binding library's cast error (a RuntimeError in Python)."""


def _number_protocol(value):
    t = type(value)
    return any(hasattr(t, slot) for slot in ("__index__", "__int__", "__float__"))


def _convert_int(value):
    """Integers only: one __index__, within 64 bits."""
    if isinstance(value, float):
        raise CastError
    try:
        result = operator.index(value)
    except Exception:  # noqa: BLE001 - any failure is the cast error
        raise CastError from None
    if not -(2**63) <= result < 2**63:
        raise CastError
    return result


def _convert_float(value):
    if isinstance(value, (str, bytes)):
        raise CastError
    try:
        return float(value)
    except Exception:  # noqa: BLE001
        if not _number_protocol(value):
            raise CastError from None
        try:
            return float(value)
        except Exception:  # noqa: BLE001
            raise CastError from None


def _iterable(value):
    try:
        iter(value)
    except TypeError:
        return False
    return not isinstance(value, (str, bytes))


def _convert_list(value, convert):
    if not _iterable(value):
        raise CastError
    return [convert(item) for item in tuple(value)]


def _convert_text(value):
    if isinstance(value, str):
        return value
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    raise CastError


KNOWN_NAMES = {
    "x", "cx", "mcx", "y", "cy", "mcy", "z", "cz", "mcz", "h", "ch", "mch", "s", "cs", "mcs", "s_dag",
    "sqrtx", "sx", "sqrtx_dag", "sxdg", "sqrty", "sqrty_dag", "swap", "rx", "crx", "mcrx", "ry", "cry",
    "mcry", "rz", "crz", "mcrz", "phase", "p", "cp", "mcp", "gp", "global_phase", "gphase", "u", "u1", "u2",
    "u3", "unitary",
}


class ParseError(Exception):
    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind


def _convert_matrix(value):
    def snapshot(v, depth=0):
        if depth < 64 and isinstance(v, (list, tuple)):
            return tuple(snapshot(x, depth + 1) for x in tuple(v))
        return v

    try:
        array = np.array(snapshot(value), dtype=np.complex128)
    except Exception:  # noqa: BLE001
        raise ParseError(ValueError, "unitary matrix must be array-like.") from None
    if array.ndim != 2 or array.shape[0] != array.shape[1] or array.shape[0] <= 0:
        raise ParseError(ValueError, "unitary matrix must be a non-empty square 2-D array.")
    return array.tolist()


def _parse_one(read, parameter_may_be_none):
    name = _convert_text(read("id"))
    targets = _convert_list(read("target"), _convert_int)
    controls = _convert_list(read("control"), _convert_int)
    state = _convert_list(read("control_state"), _convert_int)
    parameter = read("parameter")
    params = [] if parameter_may_be_none and parameter is None else _convert_list(parameter, _convert_float)
    if name in ("t", "ct", "mct"):
        name, params = "phase", params + [QUARTER_PI]
    elif name == "t_dag":
        name, params = "phase", params + [-QUARTER_PI]
    if name not in KNOWN_NAMES:
        raise ParseError(ValueError, "Unsupported CUDA gate id: " + name)
    return {"id": name, "target": targets, "control": controls, "control_state": state, "parameter": params}


def _check_unitary(gate):
    if gate["id"] != "unitary":
        return
    if "matrix" not in gate:
        raise ParseError(ValueError, "UNITARY gate requires a matrix.")
    if 2 ** len(gate["target"]) != len(gate["matrix"]):
        raise ParseError(ValueError, "UNITARY matrix dimension must be 2**num_targets.")


def reference_parse(form, gates):
    """Plain gate dictionaries as the module reads `gates`, or the exception
    (type, message or None for a cast error) the reading raises."""
    parsed = []
    try:
        if form == "ir":
            for item in tuple(gates):
                d = item if isinstance(item, dict) else dict(item)
                gate = _parse_one(lambda key: d[key], False)
                if dict.__contains__(d, "matrix"):
                    matrix = d["matrix"]
                    if matrix is not None:
                        gate["matrix"] = _convert_matrix(matrix)
                _check_unitary(gate)
                parsed.append(gate)
        else:
            for item in gates:
                gate = _parse_one(lambda name: getattr(item, name), True)
                if gate["id"] == "unitary":
                    matrix = item.matrix
                    if matrix is not None:
                        gate["matrix"] = _convert_matrix(matrix)
                _check_unitary(gate)
                parsed.append(gate)
    except CastError:
        return None, (RuntimeError, None)
    except ParseError as e:
        return None, (e.kind, str(e))
    except Exception as e:  # noqa: BLE001 - a callback's or a lookup's own exception
        return None, (type(e), str(e))
    return parsed, None


def as_gate_objects(plain):
    return [types.SimpleNamespace(matrix=g.get("matrix"), **{k: g[k] for k in FIELDS}) for g in plain]
