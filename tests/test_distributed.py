"""DistributedState under MPI: each test starts `mpirun -n k --oversubscribe`
on distributed_child.py (one process per rank, one CPU-layer thread each) and
reads what the ranks print. Rank 0 checks against the NumPy model: random
circuits of every gate kind in every kernel mode and as prepared fusion chunks,
from |0..0> and from a scattered random state, twice in a row; seeded sampling
and measurement (counts, last outcome and collapsed state, the same as one
process gives) in both endians. Failures must end every rank, in bounded time.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

mpi4py = pytest.importorskip("mpi4py", reason="the distributed layer needs mpi4py")
MPIRUN = shutil.which("mpirun")
pytestmark = pytest.mark.skipif(MPIRUN is None, reason="needs mpirun (Open MPI)")

CHILD = Path(__file__).with_name("distributed_child.py")


def launch(ranks, *scenarios, timeout=240):
    env = dict(os.environ, ZORVANE_CPU_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_btl_vader_single_copy_mechanism="none",
               PYTHONPATH=os.pathsep.join(filter(None, [str(CHILD.parent), os.environ.get("PYTHONPATH")])))
    command = [MPIRUN, "-n", str(ranks), "--oversubscribe", sys.executable, "-m", "mpi4py", str(CHILD), *scenarios]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("ranks", [1, 2, 4, 8])
def test_circuits_and_measurement_equal_the_model(ranks):
    # On 4 ranks also a state that no single (emulated) device can hold.
    beyond = ["beyond-one-device"] if ranks == 4 else []
    done = launch(ranks, "circuits", "measurement", *beyond)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "OK circuits" in done.stdout and "OK measurement" in done.stdout
    assert not beyond or "OK beyond one device" in done.stdout


def test_every_rank_raises_on_failure():
    ranks = 4
    done = launch(ranks, "failures", timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()

    def raised(what):
        found = sorted(line for line in lines if re.match(rf"rank \d+ {what}: ", line))
        assert len(found) == ranks, (what, done.stdout)
        return found

    # The same bad argument everywhere: the same error everywhere, and the state stays usable.
    assert all(": ValueError: target qubit index must be in [0, n) for the state's n" in line
               for line in raised("bad gate"))
    assert all("ValueError: measuring: the ranks were not given the same arguments" in line
               for line in raised("ranks disagree"))
    assert all("MemoryError: the whole state needs" in line for line in raised("too large to gather"))
    found = raised("three ranks")
    assert all("ValueError: the number of ranks must be a power of two, got 3" in line for line in found[:3])
    assert found[3].endswith("nothing raised")  # alone, a valid group of one
    # A device fault on the last rank: it raises the fault, the others name it; the state is lost.
    for kind, message in [("launch", "kernel launch failed"), ("copy", "CUDA error")]:
        found = raised(f"{kind} fault")
        assert message in found[-1] and "RuntimeError" in found[-1], found
        assert all(f"failed on rank {ranks - 1}: RuntimeError" in line for line in found[:-1]), found
        assert all("RuntimeError: the distributed state was lost" in line for line in raised(f"after {kind} fault"))
    assert sum(line.endswith(" done") for line in lines) == ranks


def test_mpi_failure_aborts_every_rank():
    done = launch(4, "mpi-failure", timeout=120)
    assert done.returncode != 0
    assert "rank 3 of 4 failed while exchanging amplitudes" in done.stderr
    assert "was not stopped" not in done.stdout
