"""OpenQASM files to Qiskit circuits, through Qiskit's own loaders
(`qiskit.qasm2` for OpenQASM 2, `qiskit.qasm3` with qiskit-qasm3-import for
OpenQASM 3). A file that does not parse raises `QasmError` with the line and
column the parser reports."""
from __future__ import annotations

import contextlib
import io
import os
import re
from typing import TYPE_CHECKING

from ._optional import require

if TYPE_CHECKING:
    from qiskit import QuantumCircuit

_VERSION = re.compile(r"^\s*OPENQASM\s+(\d+)(?:\.\d+)?\s*;", re.MULTILINE)
_COMMENTS = re.compile(r"//[^\n]*|/\*.*?\*/", re.DOTALL)
_POSITION = re.compile(r"(?:line )?(\d+)[,:](\d+):? (.*)", re.DOTALL)


class QasmError(ValueError):
    """A file the parser rejected; `line` and `column` as the parser counts
    them (None when it gives none)."""

    def __init__(self, source: str, message: str, line: int | None, column: int | None) -> None:
        where = f"{source}:{line}:{column}" if line is not None else source
        super().__init__(f"{where}: {message}")
        self.source = source
        self.line = line
        self.column = column
        self.message = message


def qasm_version(text: str) -> int:
    """2 or 3 from the OPENQASM statement (3 without one, as OpenQASM 3 allows)."""
    match = _VERSION.search(_COMMENTS.sub("", text))
    return int(match.group(1)) if match else 3


def load_qasm(path: str | os.PathLike[str]) -> QuantumCircuit:
    require("qiskit", "loading OpenQASM")
    with open(path, encoding="utf-8") as file:
        text = file.read()
    return loads_qasm(text, source=os.fspath(path), include_dir=os.path.dirname(os.path.abspath(path)))


def loads_qasm(text: str, source: str = "<input>", include_dir: str | None = None) -> QuantumCircuit:
    qiskit = require("qiskit", "loading OpenQASM")
    from qiskit import qasm2, qasm3

    version = qasm_version(text)
    if version == 2:
        try:
            return qasm2.loads(text, include_path=(include_dir,) if include_dir else (),
                               custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
        except qasm2.QASM2ParseError as error:
            raise _qasm_error(source, str(error).strip('"')) from None
    if version != 3:
        raise QasmError(source, f"OPENQASM {version} is not supported (2 and 3 are)", None, None)
    require("qiskit_qasm3_import", "loading OpenQASM 3")
    from openqasm3.parser import QASM3ParsingError
    # The OpenQASM 3 parser reports syntax errors on standard error and raises
    # with no position; the report is captured to read the position from it.
    # Its converter can fail with any exception on a bad file (an IndexError
    # for a qubit out of range): each is a bad file here.
    report = io.StringIO()
    try:
        with contextlib.redirect_stderr(report):
            return qasm3.loads(text)
    except (qiskit.exceptions.QiskitError, QASM3ParsingError) as error:
        lines = [line for line in report.getvalue().splitlines() if _POSITION.match(line.strip())]
        raise _qasm_error(source, lines[0].strip() if lines else str(error).strip('"')) from None
    except Exception as error:  # noqa: BLE001 - see above
        raise QasmError(source, f"the OpenQASM 3 importer failed: {type(error).__name__}: {error}", None,
                        None) from None


def _qasm_error(source: str, text: str) -> QasmError:
    text = re.sub(r"^<input>:", "", text)
    match = _POSITION.match(text)
    if match is None:
        return QasmError(source, text, None, None)
    return QasmError(source, match.group(3).strip(), int(match.group(1)), int(match.group(2)))
