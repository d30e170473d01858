#!/usr/bin/env bash
# Runs the whole test suite: the C++ unit tests of the CPU execution layer and
# the host-side helpers, then the Python suite against the installed modules.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/cpp-tests -G Ninja -DZORVANE_BACKEND=cpu -DZORVANE_BUILD_TESTS=ON \
  -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
cmake --build build/cpp-tests --target cpu_layer_tests stavex_host_tests fusion_tests plexar_host_tests
ctest --test-dir build/cpp-tests --output-on-failure

# Run from outside the source tree so the installed modules are the ones tested.
cd tests && python3 -m pytest -q -p no:cacheprovider "$@" .
