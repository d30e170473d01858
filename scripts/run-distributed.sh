#!/usr/bin/env bash
# Runs one circuit on a state vector spread over several GPUs, one MPI rank
# per GPU: bash scripts/run-distributed.sh CIRCUIT [options of
# python -m zorvane_gpu.distributed, e.g. --shots 1000].
#
# RANKS: number of ranks (a power of two; default: the GPUs nvidia-smi lists
# on this machine). MPIRUN_ARGS: more mpirun arguments, e.g. a host file for
# several nodes ("--hostfile hosts --map-by ppr:8:node"); each rank then takes
# the GPU of its rank on the node. ZORVANE_MPI_CUDA_AWARE=0/1 overrides what
# the MPI library reports about reading device memory.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${RANKS:-}" ]; then
  RANKS=$(nvidia-smi -L 2>/dev/null | grep -c '^GPU' || true)
  [ "$RANKS" -gt 0 ] || { echo "no GPU found by nvidia-smi; set RANKS" >&2; exit 2; }
fi
ROOT_ARGS=()
[ "$(id -u)" -ne 0 ] || ROOT_ARGS=(--allow-run-as-root)
# -m mpi4py: an exception left uncaught on one rank aborts all of them.
# shellcheck disable=SC2086
exec mpirun -n "$RANKS" "${ROOT_ARGS[@]}" --bind-to none ${MPIRUN_ARGS:-} \
  python3 -m mpi4py -m zorvane_gpu.distributed "$@"
