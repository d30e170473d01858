"""zorvane_gpu: the Python package above the stavex and plexar modules.

Names are imported on first use, so `import zorvane_gpu` needs neither Qiskit
nor the other optional libraries; the circuit front-end asks for
`pip install 'zorvane-gpu[circuits]'` when Qiskit is missing.
"""
from __future__ import annotations

import importlib
from typing import Any

__version__ = "0.1.0"

_LAZY = {
    "run": "execute", "RunResult": "result", "CircuitTooLargeError": "execute",
    "to_gate_ir": "translate", "translate": "translate", "Program": "program",
    "GateNoise": "noise", "load_qasm": "loading", "QasmError": "loading", "Sampler": "sampler",
}

__all__ = sorted(_LAZY)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'zorvane_gpu' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value
