#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer run of the CPU backend:
# builds the modules and the C++ unit tests instrumented (build/sanitize),
# runs the C++ tests with leak detection, then the Python suite against the
# instrumented modules, with the sanitizer runtime preloaded into the
# interpreter. Any finding stops the run with an error. Arguments are passed to
# pytest, so a caller can run a subset (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=build/sanitize
FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"

cmake -S . -B "$BUILD" -G Ninja -DZORVANE_BACKEND=cpu -DZORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$FLAGS" \
  -DCMAKE_SHARED_LINKER_FLAGS="$FLAGS" -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir "$BUILD" --output-on-failure

# The instrumented modules, importable from one folder.
SITE=$BUILD/site
rm -rf "$SITE" && mkdir -p "$SITE"
find "$BUILD" -path "$SITE" -prune -o -name '*.cpython-*.so' -print | while read -r module; do
  ln -s "$ROOT/$module" "$SITE/"
done
# The interpreter itself is not instrumented and keeps objects alive at exit
# by design, so leak detection is off for it; device memory leaks are what the
# suite's own live-allocation checks catch. The C++ runtime is preloaded with
# the sanitizer's, so that its exception interceptors find it. Output is
# captured at the Python level only, so a sanitizer report written to the
# process's standard error is shown even when it ends the run.
cd tests
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so)" \
  PYTHONPATH="$ROOT/$SITE" python3 -m pytest -q -p no:cacheprovider --capture=sys "$@" .
