"""benchmarks/run.py end to end at tiny sizes, on the default path and on the
--gpu path (on a CPU build the latter runs the same code, its peers' GPU
builds missing): the JSON holds every section with labelled, finite figures,
and the plots are PNG files."""
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SECTIONS = {"gate_bandwidth", "circuits", "qasm", "sampling", "density_kernels", "density_fusion", "host_costs",
            "peers"}
LABEL_KEYS = {"machine", "backend", "dtype", "date"}

# Under the sanitizer run the interpreter carries the instrumented modules and
# the sanitizer runtime into every child; the script only calls entry points
# the rest of the suite covers there.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="too slow under AddressSanitizer; covered by the ordinary run")


def labels(figure):
    return [figure["label"]] if "label" in figure else list(figure["labels"].values())


@pytest.mark.parametrize("path", [[], ["--gpu"]], ids=["default", "gpu-path"])
def test_run_writes_labelled_figures_and_plots(tmp_path, path):
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("ZORVANE_DENSITY_FUSION", None)
    done = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--tiny", "--out", str(tmp_path),
                           *path], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    result = json.loads((tmp_path / "figures.json").read_text())
    figures = result["figures"]
    assert set(figures) == SECTIONS
    assert result["meta"]["profile"] == ("gpu-tiny" if path else "cpu-tiny")
    for name, figure in figures.items():
        assert labels(figure), name
        assert all(set(label) == LABEL_KEYS and all(label.values()) for label in labels(figure)), name

    gates = figures["gate_bandwidth"]["records"]
    assert {(r["family"], r["mode"]) for r in gates} >= {(f, m) for f in ("h", "u", "swap", "unitary")
                                                          for m in ("AllState", "Pair", "PairAuto")}
    assert all(r["bytes"] == 2 * 2 ** (8 - r["controls"]) * {"complex64": 8, "complex128": 16}[r["dtype"]]
               for r in gates)
    values = ([r["fraction_of_copy"] for r in gates] + [r["speedup"] for r in figures["circuits"]["records"]]
              + [r["shots_per_second"] for r in figures["sampling"]["records"]]
              + [r["fraction_of_copy"] for r in figures["density_kernels"]["records"]]
              + [r["speedup"] for r in figures["density_fusion"]["records"]]
              + [r["seconds_per_item"] for r in figures["host_costs"]["records"]])
    assert all(math.isfinite(v) and v > 0 for v in values)
    assert all(r["max_abs_difference"] < 1e-10 for r in figures["density_fusion"]["records"])
    assert all(r["gates_per_pass"] >= 1 for r in figures["circuits"]["plans"])
    qasm = figures["qasm"]
    assert qasm.get("skipped") or qasm["records"]

    peers = figures["peers"]
    assert peers["device"] == ("GPU" if path else "CPU")
    assert peers["statevector"] or peers["notes"]
    assert all(abs(r["fidelity"] - 1) < 1e-4 for r in peers["statevector"] + peers["density"])
    assert {"one_qubit_pass_fraction_of_copy", "gates_per_pass", "depth20_30q_complex64"} <= set(result["goals"])

    assert result["plots"] and {"gate_bandwidth.png", "circuits.png", "density_kernels.png"} <= set(result["plots"])
    for name in result["plots"]:
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "| gates per pass >= 10" in (tmp_path / "summary.md").read_text()
