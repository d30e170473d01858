"""The command line end to end: the shipped examples, JSON and plot output,
bad files with the parser's position, and each documented exit code."""
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("qiskit")
import stavex  # noqa: E402
from zorvane_gpu import cli  # noqa: E402

from conftest import cpu_layer_only  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def _run(capsys, *arguments):
    code = cli.main(["run", *map(str, arguments)])
    out, err = capsys.readouterr()
    return code, out, err


def test_shipped_examples_through_the_console_script(tmp_path):
    # As a user runs it: the installed entry point in a fresh process.
    command = shutil.which("zorvane-gpu")
    command = [command] if command else [sys.executable, "-m", "zorvane_gpu"]
    out = subprocess.run([*command, "run", EXAMPLES / "ghz.qasm", "--shots", "300", "--seed", "4",
                          "--json", tmp_path / "ghz.json"], capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "backend: stavex" in out.stdout and "time:" in out.stdout
    data = json.loads((tmp_path / "ghz.json").read_text())
    assert set(data["counts"]) == {"00000", "11111"} and sum(data["counts"].values()) == 300
    assert data["seed"] == 4 and data["num_qubits"] == 5 and data["timings"]["execute_s"] >= 0


def test_qft_and_noisy_bell_examples(capsys, tmp_path):
    code, out, _ = _run(capsys, EXAMPLES / "qft.qasm", "--shots", "100")
    assert code == 0 and "0101" in out and "1.0000" in out
    plot = tmp_path / "bell.png"
    code, out, _ = _run(capsys, EXAMPLES / "bell_noisy.qasm", "--noise", "depolarizing:0.2", "--shots", "4000",
                        "--seed", "1", "--plot", plot, "--json", tmp_path / "bell.json")
    assert code == 0 and "plexar" in out
    counts = json.loads((tmp_path / "bell.json").read_text())["counts"]
    assert set(counts) == {"00", "01", "10", "11"} and counts["01"] + counts["10"] > 200
    if pytest.importorskip("matplotlib"):
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_progress_bar_on_stderr(capsys, tmp_path):
    source = tmp_path / "long.qasm"
    source.write_text('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[3];\ncreg c[3];\n'
                      + "h q[0];\ncx q[0],q[1];\n" * 5000 + "measure q -> c;\n")
    code, out, err = _run(capsys, source, "--progress", "always", "--shots", "10")
    assert code == 0 and "gates" in err and "100.0%" in err and "[" not in out


@pytest.mark.parametrize("text,line,column", [
    ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\nh q[0]\ncx q[0],q[1];\n', 5, 0),
    ('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[2] q;\nh q[0];\nfoo q[1];\n', 5, 0),
    ('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[2] q;\nh q[0]\ncx q[0], q[1];\n', 5, 0),
])
def test_bad_line_reports_parser_position(capsys, tmp_path, text, line, column):
    source = tmp_path / "bad.qasm"
    source.write_text(text)
    code, out, err = _run(capsys, source)
    assert code == cli.EXIT_PARSE and f"bad.qasm:{line}:{column}:" in err and out == ""


def test_exit_codes(capsys, tmp_path):
    assert _run(capsys, tmp_path / "missing.qasm")[0] == cli.EXIT_UNREADABLE
    loop = tmp_path / "loop.qasm"
    loop.write_text('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit q;\nbit c;\n'
                    "c = measure q;\nwhile (c) { x q; c = measure q; }\n")
    code, _, err = _run(capsys, loop)
    assert code == cli.EXIT_UNSUPPORTED and "while_loop" in err
    for bad in (["--noise", "melting:0.1"], ["--mode", "Fast"], ["--shots", "-3"]):
        assert _run(capsys, EXAMPLES / "ghz.qasm", *bad)[0] == cli.EXIT_USAGE
    code, _, err = _run(capsys, EXAMPLES / "ghz.qasm", "--json", tmp_path / "no" / "dir.json")
    assert code == cli.EXIT_OUTPUT and "cannot write" in err
    codes = [cli.EXIT_OK, cli.EXIT_USAGE, cli.EXIT_UNREADABLE, cli.EXIT_PARSE, cli.EXIT_UNSUPPORTED,
             cli.EXIT_TOO_LARGE, cli.EXIT_MISSING_LIBRARY, cli.EXIT_DEVICE, cli.EXIT_OUTPUT]
    assert len(set(codes)) == len(codes)
    assert all(f"{code}  " in cli._EXIT_CODES for code in codes)


@cpu_layer_only
def test_too_large_states_needed_and_available_memory(capsys, tmp_path):
    source = tmp_path / "wide.qasm"
    source.write_text('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[20];\nh q[0];\n')
    capacity = stavex._cpu_layer_memory_capacity()
    stavex._cpu_layer_set_memory_capacity(1 << 20)
    try:
        code, _, err = _run(capsys, source, "--shots", "0")
    finally:
        stavex._cpu_layer_set_memory_capacity(capacity)
    assert code == cli.EXIT_TOO_LARGE and f"{2**20 * 16} bytes" in err
