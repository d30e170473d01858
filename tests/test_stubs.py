"""The shipped type stubs of both modules against the built modules.

mypy's stubtest (run by CI) checks that every name exists with the right
kind, but the binding library's functions carry no introspectable signature,
so their parameters are compared here with the signature line the binding
writes into each docstring: the same names in the same order, and the same
defaults (a stub may write `...` for a default that is no literal)."""

import ast
import importlib
import pathlib

import pytest

STUBS = pathlib.Path(__file__).resolve().parent.parent / "stubs"


def split_top_level(text):
    """Splits a parameter list at the commas outside brackets and <...>."""
    parts, depth, current = [], 0, ""
    for ch in text:
        depth += ch in "([{<"
        depth -= ch in ")]}>"
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    return [p for p in parts + [current.strip()] if p]


def runtime_parameters(function):
    line = (function.__doc__ or "").split("\n", 1)[0]
    inner = line[line.index("(") + 1:line.rindex(") ->")]
    out = []
    for part in split_top_level(inner):
        name, _, rest = part.partition(":")
        default = rest.split(" = ", 1)[1] if " = " in rest else None
        out.append((name.strip(), default))
    return out


def stub_functions(module_name):
    """(qualified name, [(parameter, default source or None)]) of every def."""
    tree = ast.parse((STUBS / f"{module_name}-stubs" / "__init__.pyi").read_text())
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                if any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
                    continue
                args = node.args.args
                defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
                found[prefix + node.name] = [(a.arg, None if d is None else ast.unparse(d))
                                             for a, d in zip(args, defaults)]
    visit(tree.body, "")
    return found


CASES = [(m, name, params) for m in ("stavex", "plexar") for name, params in stub_functions(m).items()
         if not name.split(".")[-1].startswith("__")]


@pytest.mark.parametrize("module_name,name,stub", CASES, ids=[f"{m}.{n}" for m, n, _ in CASES])
def test_stub_signature_matches_the_binding(module_name, name, stub):
    target = importlib.import_module(module_name)
    for part in name.split("."):
        target = getattr(target, part)
    runtime = runtime_parameters(target)
    assert [p for p, _ in stub] == [p for p, _ in runtime]
    for (parameter, stub_default), (_, runtime_default) in zip(stub, runtime):
        assert (stub_default is None) == (runtime_default is None), parameter
        if stub_default not in (None, "..."):
            assert ast.literal_eval(stub_default) == ast.literal_eval(runtime_default), parameter
        elif stub_default == "...":  # allowed only where the binding's default is no literal
            with pytest.raises((ValueError, SyntaxError)):
                ast.literal_eval(runtime_default)


def test_every_public_function_has_a_stub():
    for module_name in ("stavex", "plexar"):
        module = importlib.import_module(module_name)
        public = {n for n in dir(module) if callable(getattr(module, n)) and not n.startswith("_")
                  and not isinstance(getattr(module, n), type)}
        assert public <= set(stub_functions(module_name)), module_name
