"""A short run of the soak (scripts/soak.py, whose full run is 10,000 calls):
a seeded mix of valid calls of both modules, calls they must reject and calls
with injected faults leaks no device allocation, changes no state it rejects,
and fails only with the documented exception types."""

import os
import runpy

from conftest import cpu_layer_only


@cpu_layer_only
def test_short_soak():
    soak = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "scripts", "soak.py"))
    figures = soak["run"](calls=500, seed=2, every=250, report=lambda line: None)
    assert figures["problems"] == []
    assert figures["end_live"] == figures["start_live"]
    assert figures["failing"] > figures["injected"] > 0
