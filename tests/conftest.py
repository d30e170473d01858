import gc
import os

import numpy as np
import pytest
from hypothesis import settings

# Property tests: a fixed seed and a bounded run by default (CI); a longer,
# freshly seeded search with HYPOTHESIS_PROFILE=long.
settings.register_profile("ci", max_examples=150, deadline=None, derandomize=True, print_blob=True)
settings.register_profile("long", max_examples=3000, deadline=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

import stavex

cpu_layer_only = pytest.mark.skipif(
    stavex.backend != "cpu", reason="needs the CPU execution layer's controls"
)

DTYPES = [np.complex64, np.complex128]


def random_state(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v / np.linalg.norm(v)).astype(dtype)


def gate(name, target=(), control=(), control_state=(), parameter=(), **extra):
    """One gate_ir entry."""
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": list(parameter), **extra}


def live_bytes():
    return sorted(stavex._cpu_layer_live_allocations())


def watch_allocations(module):
    """Fixture body: fails the test if device allocations of `module` (each
    module has its own CPU execution layer) outlive it; clears injected faults."""
    if module.backend != "cpu":
        yield
        return
    gc.collect()
    before = sorted(module._cpu_layer_live_allocations())
    yield
    module._cpu_layer_clear_faults()
    gc.collect()  # states held by exception tracebacks
    assert sorted(module._cpu_layer_live_allocations()) == before


@pytest.fixture
def no_leaks():
    yield from watch_allocations(stavex)
