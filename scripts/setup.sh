#!/usr/bin/env bash
# Installs what the project needs on a Debian machine with the CUDA toolkit,
# builds and installs both modules for the default backend (ZORVANE_BACKEND,
# auto: CUDA when nvcc and a GPU are present, else the CPU execution layer),
# with the zorvane_gpu front-end and its optional libraries, then runs the
# modules' example. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in cmake ninja-build g++ libboost-context-dev libgtest-dev openmpi-bin libopenmpi-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

python3 -m pip install -q --disable-pip-version-check numpy "pybind11>=3.1" "scikit-build-core>=0.10" pytest hypothesis mypy
# The modules and the zorvane_gpu package with the front-end's optional groups
# (Qiskit and the OpenQASM 3 importer, Qiskit Aer, matplotlib), which the tests use too.
python3 -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/wheel \
  ".[circuits,noise,plot]"
# pyenv finds new console scripts (zorvane-gpu) only after a rehash.
if command -v pyenv >/dev/null 2>&1; then pyenv rehash; fi
command -v zorvane-gpu >/dev/null 2>&1 || echo "note: zorvane-gpu is not on PATH; python3 -m zorvane_gpu runs it too"
# The 'mpi' group (zorvane_gpu.distributed and its tests), over Debian's Open MPI.
python3 -m pip install -q --disable-pip-version-check "mpi4py>=4.0"
python3 -c 'from mpi4py import MPI; print("MPI for the distributed layer:", MPI.Get_library_version().splitlines()[0])'
python3 -c 'import stavex; print("stavex built for backend:", stavex.backend)'
python3 -c 'import plexar; print("plexar built for backend:", plexar.backend)'
python3 examples/ghz.py
