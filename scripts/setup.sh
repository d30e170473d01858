#!/usr/bin/env bash
# Installs what the project needs on a Debian machine with the CUDA toolkit,
# builds and installs both modules for the default backend (ZORVANE_BACKEND,
# auto: CUDA when nvcc and a GPU are present, else the CPU execution layer),
# then runs the example. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in cmake ninja-build g++ libboost-context-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

python3 -m pip install -q --disable-pip-version-check numpy "pybind11>=3.1" "scikit-build-core>=0.10" pytest hypothesis matplotlib
python3 -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Cbuild-dir=build/wheel .
python3 -c 'import stavex; print("stavex built for backend:", stavex.backend)'
python3 -c 'import plexar; print("plexar built for backend:", plexar.backend)'
python3 examples/ghz.py
