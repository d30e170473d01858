#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU and no network: builds the CUDA
# backend for the local GPU, runs the whole Python suite (both modules) against
# it, then the GPU figures (stavex: gate bandwidth against device copy
# bandwidth; a 30-qubit, depth-20 random circuit in complex64 with
# PairAutoFusion against PairAuto; a 32-qubit state whose results are known
# exactly; plexar: a one-qubit unitary and channel on a 14-qubit complex128
# density matrix against device copy bandwidth, and the speedup of density
# fusion on a noisy layered circuit of the same size), and then every figure
# of both modules at the goals' sizes with peers through benchmarks/run.py
# --gpu (JSON and plots in ZORVANE_GPU_OUT, default /tmp/zorvane_gpu_figures).
# Prints a short summary at the end. ZORVANE_GPU_QUBITS sets the size of the
# first two stavex figures (default 30).
# ZORVANE_GPU_ARCH overrides the architecture (default: the local GPU).
set -uo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
SITE=${ZORVANE_GPU_SITE:-/tmp/zorvane_gpu_site}
export ZORVANE_BACKEND=cuda PYTHONUNBUFFERED=1
nvidia-smi -L || true

t0=$(date +%s)
rm -rf "$SITE"
if ! "$PY" -m pip install -q --no-build-isolation --no-deps --no-index --target "$SITE" \
    -Ccmake.define.CMAKE_CUDA_ARCHITECTURES=${ZORVANE_GPU_ARCH:-native} -Cbuild-dir=build/gpu \
    -Ccmake.define.CMAKE_CUDA_COMPILER="$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)" . ; then
  echo "SUMMARY: CUDA build FAILED"; exit 1
fi
t1=$(date +%s)
export PYTHONPATH="$SITE${PYTHONPATH:+:$PYTHONPATH}"
"$PY" -c 'import stavex; assert stavex.backend == "cuda", stavex.backend; print("stavex backend:", stavex.backend)' || exit 1
"$PY" -c 'import plexar; assert plexar.backend == "cuda", plexar.backend; print("plexar backend:", plexar.backend)' || exit 1

(cd tests && "$PY" -m pytest -q -p no:cacheprovider .) | tee /tmp/zorvane_gpu_pytest.log
tests_rc=${PIPESTATUS[0]}
t2=$(date +%s)
"$PY" benchmarks/bench_gpu.py --qubits "${ZORVANE_GPU_QUBITS:-30}" | tee /tmp/zorvane_gpu_bench.log
bench_rc=${PIPESTATUS[0]}
"$PY" benchmarks/bench_gpu_density.py | tee -a /tmp/zorvane_gpu_bench.log
density_rc=${PIPESTATUS[0]}
OUT=${ZORVANE_GPU_OUT:-/tmp/zorvane_gpu_figures}
"$PY" benchmarks/run.py --gpu --out "$OUT" | tee /tmp/zorvane_gpu_run.log
run_rc=${PIPESTATUS[0]}
t3=$(date +%s)

echo "SUMMARY: build $((t1 - t0)) s; tests rc=$tests_rc in $((t2 - t1)) s: $(tail -n 1 /tmp/zorvane_gpu_pytest.log)"
echo "SUMMARY: benchmarks rc=$bench_rc (density rc=$density_rc, run.py rc=$run_rc) in $((t3 - t2)) s; figures in $OUT"
grep '^RESULT' /tmp/zorvane_gpu_bench.log || true
[ "$tests_rc" -eq 0 ] && [ "$bench_rc" -eq 0 ] && [ "$density_rc" -eq 0 ] && [ "$run_rc" -eq 0 ]
