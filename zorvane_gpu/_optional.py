"""The optional libraries of the front-end, imported on use with a message
that says what to install."""
from __future__ import annotations

import importlib
from types import ModuleType

_EXTRAS = {"qiskit": "circuits", "qiskit_qasm3_import": "circuits", "qiskit_aer": "noise", "matplotlib": "plot"}


class MissingDependency(ImportError):
    pass


def require(module: str, purpose: str) -> ModuleType:
    """Imports `module`, or raises MissingDependency naming the extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = _EXTRAS[module.split(".")[0]]
        raise MissingDependency(
            f"{purpose} needs {module.split('.')[0]}: pip install 'zorvane-gpu[{extra}]'") from error
