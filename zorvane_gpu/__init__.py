"""zorvane_gpu: the Python layer above the stavex and plexar extension modules.

The front-end's modules are imported on first use of their names, and
Qiskit and the other optional libraries only when a function needs them, so
`import zorvane_gpu` needs none of them (nor the extension modules); the
front-end asks for `pip install 'zorvane-gpu[circuits]'` when Qiskit is
missing. The distributed state vector is the subpackage
`zorvane_gpu.distributed`.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# `translate` is also the name of its submodule, and importing a submodule
# (run() does, on first use) binds the package attribute to the module; bound
# here, the function keeps its name. The module needs neither Qiskit nor the
# extension modules.
from .translate import to_gate_ir, translate

if TYPE_CHECKING:
    from .execute import CircuitTooLargeError, run
    from .loading import QasmError, load_qasm
    from .noise import GateNoise
    from .program import Program
    from .result import RunResult
    from .sampler import Sampler

__version__ = "0.1.0"

_LAZY = {
    "run": "execute", "RunResult": "result", "CircuitTooLargeError": "execute", "Program": "program",
    "GateNoise": "noise", "load_qasm": "loading", "QasmError": "loading", "Sampler": "sampler",
}

__all__ = ["CircuitTooLargeError", "GateNoise", "Program", "QasmError", "RunResult", "Sampler", "load_qasm", "run",
           "to_gate_ir", "translate"]


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'zorvane_gpu' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value
